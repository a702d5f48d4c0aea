"""Faults that hostile host answers, callers and imports used to reach in the
binding: each ends in a Python exception that names what was wrong, and the
object stays usable."""
import inspect
import json
import math
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, strategies as st

from generated import budget
from in_command import call_in_command

WIPE_AREA = """
clr_noz_start_x: 20
clr_noz_start_y: 20
clr_noz_len_x: 50
clr_noz_len_y: 60
"""


def still_usable(module):
    assert module.get_status(0.)["auto_alignment_status"] == module.auto_alignment_status
    module.print_msg("CHECK", "still here", True)


class UnknownToolhead:
    """A toolhead whose set_position takes no homing axes: a host the module
    does not know, so the connect check raises a configuration error."""

    def set_position(self, newpos):
        pass


class HostProxy:
    """Forwards to a host object; `overrides` replace some of its methods."""

    def __init__(self, target, **overrides):
        self._target = target
        self.__dict__.update(overrides)

    def __getattr__(self, name):
        return getattr(self._target, name)


class TestHostCallsThatRebindTheModule:
    def test_config_rebound_while_its_name_is_read(self, printer, module):
        config = module.config

        def get_name():
            # Drops the adapter whose raise_error is being called.
            module.config = HostProxy(config)
            return config.get_name()
        module.config = HostProxy(config, get_name=get_name)
        module.printer = HostProxy(
            printer, lookup_object=lambda name, *default: UnknownToolhead()
            if name == "toolhead" else printer.lookup_object(name, *default))

        with pytest.raises(printer.config_error, match=r"^\[z_compensate\] needs a klippy it knows"):
            module._handle_connect()
        module.printer = printer
        still_usable(module)

    def test_printer_rebound_while_it_looks_up(self, printer, module):
        def lookup_object(name, *default):
            module.printer = printer
            return printer.lookup_object(name, *default)
        module.printer = HostProxy(printer, lookup_object=lookup_object)

        module._handle_connect()
        assert module.printer is printer
        still_usable(module)


class TestValuesThatChangeWhileTheyConvert:
    def test_list_cleared_by_an_entry(self, module):
        values = []

        class Clearing:
            def __float__(self):
                values.clear()
                return "not a float"
        values.extend([Clearing(), 2.0])

        with pytest.raises(TypeError, match="^bl_offset: expected a number"):
            module.bl_offset = values
        assert module.bl_offset == [0.0, 0.0] or len(module.bl_offset) == 2
        still_usable(module)

    def test_dict_cleared_while_a_wrong_type_is_named(self, module):
        titles = {}

        class ClearingName(type):
            @property
            def __name__(cls):
                titles.clear()
                return "Odd"

        class Odd(metaclass=ClearingName):
            pass
        titles["a"] = Odd()

        with pytest.raises(TypeError, match="^dbg_msg: expected a whole number, got Odd$"):
            module.dbg_msg = titles
        still_usable(module)

    def test_type_name_that_is_no_text(self, module):
        class Unnamed(type):
            @property
            def __name__(cls):
                return "\udc80"

        class Value(metaclass=Unnamed):
            pass

        with pytest.raises(TypeError, match="^tri_z_down_spd: expected a number, got Value$"):
            module.tri_z_down_spd = Value()
        still_usable(module)


IMPORT_TWICE = textwrap.dedent("""
    import gc, json, sys
    klippy_dir = sys.argv[1]
    sys.path.insert(0, klippy_dir)
    import extras.z_compensate_wrapper as first
    sys.path.insert(0, klippy_dir + "/extras")
    import z_compensate_wrapper as second
    first_class = first.ZCompensateInitWrapper
    del first, second
    sys.modules.pop("z_compensate_wrapper")
    gc.collect()
    # The first module's methods after the second import and its release.
    plain = first_class.__new__(first_class)
    try:
        plain.move([1, 2], 10)
    except RuntimeError as error:
        message = str(error)
    print(json.dumps({"message": message, "module": first_class.__module__,
                      "signature": str(__import__("inspect").signature(first_class))}))
""")

SUBINTERPRETER_CODE = textwrap.dedent("""
    import sys
    sys.path.insert(0, %r)
    import extras.z_compensate_wrapper as wrapper
    assert wrapper.PR_ERR_CODE_SSAP_TEST_ERROR["code"] == "key402"
    plain = wrapper.ZCompensateInitWrapper.__new__(wrapper.ZCompensateInitWrapper)
    assert not hasattr(plain, "bl_offset")
""")

IN_SUBINTERPRETERS = textwrap.dedent("""
    import json, sys
    import _testcapi
    klippy_dir, code = sys.argv[1], sys.argv[2]
    sys.path.insert(0, klippy_dir)
    import extras.z_compensate_wrapper as wrapper
    first = _testcapi.run_in_subinterp(code % klippy_dir)
    second = _testcapi.run_in_subinterp(code % klippy_dir)
    print(json.dumps([first, second, wrapper.PR_ERR_CODE_SSAP_TEST_ERROR["code"]]))
""")


class TestImports:
    def run(self, script, *args):
        done = subprocess.run([sys.executable, "-c", script] + list(args),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)

    def test_the_same_file_under_two_names(self, klippy_dir):
        result = self.run(IMPORT_TWICE, klippy_dir)
        assert result == {"message": "ZCompensateInitWrapper object is not initialised",
                          "module": "extras.z_compensate_wrapper", "signature": "(config)"}

    @pytest.mark.skip_allowed("an interpreter built without _testcapi cannot run sub-interpreters")
    def test_in_sub_interpreters(self, klippy_dir):
        pytest.importorskip("_testcapi")
        assert self.run(IN_SUBINTERPRETERS, klippy_dir, SUBINTERPRETER_CODE) == [0, 0, "key402"]


def test_lone_surrogate_in_a_parameter_is_a_command_error(make_printer, module_of):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    line = "Z_OFFSET_AUTO HOT_START_TEMP=\udc80"

    with pytest.raises(printer.command_error):
        printer.run_gcode(line)
    assert not printer.is_shutdown()
    status = module.get_status(0.)
    assert status["last_result"] == "failed"
    assert "\\udc80" in status["last_message"]


def test_host_error_from_the_probe_results_passes_unchanged(make_printer, module_of):
    printer = make_printer(WIPE_AREA, host_generation="mainline-2026")
    module = module_of(printer)
    probe = printer.lookup_object("probe")

    class LengthFails(Exception):
        pass

    class Results:
        def __len__(self):
            raise LengthFails("no length")

        def __getitem__(self, index):
            raise IndexError(index)
    real_start = probe.start_probe_session

    def start_probe_session(gcmd):
        session = real_start(gcmd)
        session.pull_probed_results = lambda: (session.results.clear(), Results())[1]
        return session
    probe.start_probe_session = start_probe_session

    error = None
    try:
        call_in_command(printer, module.cmd_Z_OFFSET_CALIBRATION, with_gcmd=True)
    except Exception as raised:
        error = raised
    assert type(error) is LengthFails
    assert str(error) == "no length"


@pytest.mark.parametrize("field, value", [("bed_z", "1.5"), ("bed_z", None)])
def test_named_probe_result_without_a_numeric_field_is_a_command_error(
        make_printer, module_of, field, value):
    printer = make_printer(WIPE_AREA, host_generation="mainline-2026")
    module = module_of(printer)
    probe = printer.lookup_object("probe")
    real_start = probe.start_probe_session

    def start_probe_session(gcmd):
        session = real_start(gcmd)
        real_pull = session.pull_probed_results

        def pull():
            results = real_pull()
            return [result._replace(**{field: value}) for result in results]
        session.pull_probed_results = pull
        return session
    probe.start_probe_session = start_probe_session

    with pytest.raises(printer.command_error, match="^probe result: bed_z is not a number: "):
        call_in_command(printer, module.cmd_Z_OFFSET_CALIBRATION, with_gcmd=True)
    assert not printer.is_shutdown()


LOCALE_SCRIPT = textwrap.dedent("""
    import json, locale, sys
    locale.setlocale(locale.LC_NUMERIC, "de_DE.UTF-8")
    assert locale.localeconv()["decimal_point"] == ","
    klippy_dir, tests_dir, config = sys.argv[1:4]
    sys.path.insert(0, tests_dir)
    import klippysim
    from in_command import call_in_command
    printer = klippysim.Printer(config, klippy_dir)
    module = printer.lookup_object("z_compensate")
    module.toolhead = printer.lookup_object("toolhead")
    try:
        printer.run_gcode("VQTWENTYMA_NOZZLE_CLEAR HOT_RUB_TEMP=320.5")
    except printer.command_error as error:
        refusal = str(error)
    # A number too large for the fast formatter takes printf's path.
    lines = []
    module.gcode = type("Recorder", (), {
        "run_script_from_command": lambda self, line: lines.append(line)})()
    call_in_command(printer, lambda: module.move([1.0, 2.0, 1e13], 100, False))
    print(json.dumps({"refusal": refusal, "lines": lines}))
""")


@pytest.mark.skip_allowed("a machine without glibc's locale sources cannot make a German locale")
def test_texts_do_not_follow_the_locale(tmp_path, make_printer, klippy_dir):
    if shutil.which("localedef") is None:
        pytest.skip("no localedef here")
    locales = tmp_path / "locales"
    locales.mkdir()
    made = subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8",
                           str(locales / "de_DE.UTF-8")],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    env = dict(os.environ, LOCPATH=str(locales))
    usable = subprocess.run([sys.executable, "-c", "import locale; "
                             "locale.setlocale(locale.LC_NUMERIC, 'de_DE.UTF-8')"],
                            env=env, stderr=subprocess.DEVNULL)
    if usable.returncode != 0:
        pytest.skip("no German locale can be made here: " + made.stdout)
    printer = make_printer(WIPE_AREA)
    config = printer.get_start_args()["config_file"]
    tests_dir = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    done = subprocess.run([sys.executable, "-c", LOCALE_SCRIPT, klippy_dir, tests_dir, config],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, env=env)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout.splitlines()[-1])
    assert "HOT_RUB_TEMP=320.5 lies above [extruder] max_temp = 300" in result["refusal"]
    assert result["lines"] == ["G1 F6000 X1.000 Y2.000 Z10000000000000.000"]


class TestWaitsAndValuesThatCouldNeverWork:
    @pytest.mark.parametrize("setter", ["set_hot_temps", "set_bed_temps"])
    @pytest.mark.parametrize("temp, err, named", [
        (math.nan, 5, "temp"), (math.inf, 5, "temp"), (200, math.nan, "err"), (200, -1, "err")])
    def test_heater_wait_refuses_what_it_could_never_reach(self, printer, module, setter,
                                                           temp, err, named):
        module.pheaters = printer.lookup_object("heaters")
        module.heater_hot = printer.lookup_object("extruder").heater
        module.heater_bed = printer.lookup_object("heater_bed").heater
        with pytest.raises(ValueError, match="^%s must be a finite number" % named):
            call_in_command(printer, lambda: getattr(module, setter)(temp, True, err))
        assert printer.trace.of_kind("heater_target") == []

    @pytest.mark.parametrize("attribute", ["noz_pos_offset", "noz_pos_center", "bl_offset"])
    def test_pair_attributes_take_two_numbers(self, module, attribute):
        before = getattr(module, attribute)
        with pytest.raises(TypeError, match="^%s: expected two numbers, got list$" % attribute):
            setattr(module, attribute, [1.0])
        assert getattr(module, attribute) == before


    @pytest.mark.parametrize("name, value", [
        ("pr_probe_cnt", 2**63 - 1), ("auto_alignment_status", 2**63 - 1),
        ("auto_alignment_status", 2**64), ("point_retries", -2**70), ("rdy_xy_spd", 10**400)])
    def test_a_huge_integer_is_refused_by_name(self, module, name, value):
        before = getattr(module, name)
        with pytest.raises((ValueError, OverflowError), match="^%s\\b" % name):
            setattr(module, name, value)
        assert getattr(module, name) == before

    def test_an_address_with_a_nul_is_refused(self, make_printer, module):
        address = "127.0.0.1\0junk"
        with pytest.raises(ValueError, match="NUL"):
            module.tri_wave_ip = address
        assert module.tri_wave_ip is None
        with pytest.raises(Exception, match="^Option 'tri_wave_ip' .*NUL"):
            make_printer(WIPE_AREA + "tri_wave_ip: %s" % address)


class TestPythonsOwnRulesForArguments:
    def test_class_signature(self, module):
        assert str(inspect.signature(type(module))) == "(config)"

    def test_first_bad_argument_is_named(self, module):
        with pytest.raises(TypeError, match="^temp: "):
            module.set_hot_temps("hot", True, "err")
        with pytest.raises(TypeError, match="^title: "):
            module.print_msg(1, 2)
        with pytest.raises(TypeError, match="^speed: "):
            module.move([1, 2], "fast", object())

    def test_uninitialised_object_has_no_attributes(self, module):
        plain = type(module).__new__(type(module))
        assert not hasattr(plain, "bl_offset")
        assert not hasattr(plain, "printer")
        names = dict(inspect.getmembers(plain))
        assert "move" in names and "bl_offset" not in names
        with pytest.raises(RuntimeError, match="not initialised"):
            plain.move([1, 2], 10)


class PythonMethods:
    """The methods' signatures as Python defs: their argument errors are
    what the module's must read as."""

    def print_msg(self, title, msg, force=False):
        pass

    def move(self, pos, speed, wait=True):
        pass

    def set_hot_temps(self, temp, wait=False, err=5):
        pass

    def TEST_SWAP(self):
        pass

    def get_status(self, eventtime):
        pass


@budget(200)
@given(name=st.sampled_from(["print_msg", "move", "set_hot_temps", "TEST_SWAP", "get_status"]),
       positional=st.integers(min_value=0, max_value=5),
       keywords=st.lists(st.sampled_from(["title", "msg", "force", "pos", "speed", "wait",
                                          "temp", "err", "eventtime", "bogus"]),
                         unique=True, max_size=3))
def test_argument_errors_read_as_pythons(module, name, positional, keywords):
    args = [object()] * positional
    kwargs = dict.fromkeys(keywords, object())
    try:
        getattr(PythonMethods(), name)(*args, **kwargs)
    except TypeError as error:
        expected = str(error).replace("PythonMethods.", type(module).__name__ + ".")
    else:
        return
    with pytest.raises(TypeError) as raised:
        getattr(module, name)(*args, **kwargs)
    assert str(raised.value) == expected
