"""Loading the module into a klippy tree: its constants, its error records and
the host's sibling module `probe` it needs."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

WRAPPER = "extras.z_compensate_wrapper"

RECORDS = {
    "PR_ERR_CODE_CAL_DATA_ERROR": (
        "key401", "PR_ERR_CODE_CAL_DATA_ERROR: An error occurred during data calculation.."),
    "PR_ERR_CODE_Z_OFFSET_CALIBRATION": (
        "key401", "PR_ERR_CODE_Z_OFFSET_CALIBRATION: Ceramic pressure sensitive mistrigger.."),
    "PR_ERR_CODE_SSAP_TEST_ERROR": (
        "key402",
        "PR_ERR_CODE_SSAP_TEST_ERROR: Synchronization line communication is not available, "
        "please check the connection.."),
}

# Imports the module in a fresh interpreter, as klippy does from its own
# directory, and reports what a freshly loaded module holds.
FRESH_LOAD = textwrap.dedent("""
    import json, sys
    sys.path.insert(0, sys.argv[1])
    try:
        import extras.z_compensate_wrapper as wrapper
    except ImportError as error:
        # The extension reports its failed start-up with the missing module as the cause.
        cause = error.__cause__ or error
        print(json.dumps({"import_error": isinstance(error, ImportError),
                          "cause": type(cause).__name__, "text": str(cause)}))
        sys.exit(0)
    names = [name for name in vars(wrapper) if name.startswith(("PR_ERR_", "MAX_"))]
    print(json.dumps({
        "constants": {n: getattr(wrapper, n) for n in ("MAX_BUF_LEN", "MAX_PRES_CNT", "MAX_STEP_CNT")},
        "records": {n: [list(getattr(wrapper, n).items()), repr(getattr(wrapper, n))]
                    for n in names if n.startswith("PR_ERR_")},
        "probe_loaded": "extras.probe" in sys.modules,
    }))
""")


@pytest.fixture(scope="module")
def scratch_klipper(installed_klippy_tree):
    """A klippy tree of its own, so that the session's loaded module stays untouched."""
    return installed_klippy_tree("scratch_klipper")


def load_fresh(klippy_dir):
    done = subprocess.run([sys.executable, "-c", FRESH_LOAD, klippy_dir],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, check=True)
    return json.loads(done.stdout)


def test_fresh_module_holds_the_constants_and_empty_records(scratch_klipper):
    loaded = load_fresh(scratch_klipper)

    assert loaded["constants"] == {"MAX_BUF_LEN": 32, "MAX_PRES_CNT": 4, "MAX_STEP_CNT": 4}
    assert loaded["probe_loaded"]
    assert set(loaded["records"]) == set(RECORDS)
    for name, (code, msg) in RECORDS.items():
        entries, text = loaded["records"][name]
        assert entries == [["code", code], ["msg", msg], ["values", []]]
        # The text form is what Python prints for the same dict.
        assert text == repr({"code": code, "msg": msg, "values": []})


def test_loading_fails_with_import_error_without_the_probe_module(installed_klippy_tree):
    without_probe = installed_klippy_tree("without_probe")
    os.remove(os.path.join(without_probe, "extras", "probe.py"))

    loaded = load_fresh(without_probe)

    assert loaded["import_error"]
    assert loaded["cause"] == "ModuleNotFoundError"
    assert "extras.probe" in loaded["text"]


def test_loader_builds_the_object_from_printer_cfg(make_printer, module_of, klippy_dir):
    module = module_of(make_printer(""))

    wrapper = sys.modules[WRAPPER]
    assert type(module) is wrapper.ZCompensateInitWrapper
    extras = os.path.join(klippy_dir, "extras")
    assert os.path.dirname(wrapper.__file__) == extras
    assert sys.modules["extras.z_compensate"].__file__ == os.path.join(extras, "z_compensate.py")


def test_two_records_share_a_code_but_not_their_fault(make_printer):
    make_printer("")
    wrapper = sys.modules[WRAPPER]
    cal_data = wrapper.PR_ERR_CODE_CAL_DATA_ERROR
    calibration = wrapper.PR_ERR_CODE_Z_OFFSET_CALIBRATION

    assert cal_data["code"] == calibration["code"] == "key401"
    assert cal_data != calibration
