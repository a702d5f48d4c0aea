"""The parts of klippy's check that need no klippy: the data dictionary
made from a klippy tree's code, the configuration's sections, the cause
named in a refusal, and the dry run when no klippy can answer. The check
itself, by PyPI's klippy, is in tests/real_klippy/test_klippy_answers.py."""
import contextlib
import io
import sys
import textwrap

import pytest
from hypothesis import given, strategies as st

from z_compensate import dry_run, klippy_check, klippy_code, klippy_config, mcu_dictionary

# A klippy tree in miniature: its core, two extras (one importing a helper),
# one extra no section uses, and one that klippy loads by a file of its own
KLIPPY_FILES = {
    "klippy.py": """
        def read_config(config, axis):
            for section in config.get_prefix_sections(""):
                config.getsection("stepper_" + axis)
            config.get_prefix_sections("carriage ")
        """,
    "mcu.py": """
        def setup(mcu, oid):
            mcu.add_config_cmd("config_pwm_out oid=%d pin=%s cycle_ticks=%d"
                               % (oid, "PA1", 100))
            mcu.lookup_command("queue_pwm_out oid=%c clock=%u value=%hu")
            mcu.lookup_command("reset")
        """,
    "extras/widget.py": """
        from . import bus
        def load_config(config, mcu, oid):
            mcu.lookup_query_command("widget_read oid=%c",
                                     "widget_result oid=%c data=%*s")
            mcu.add_config_cmd("config_widget oid=%d cs_pin=%s spi_bus=%s"
                               " thermocouple_type=%s data=%s" % (oid,))
        """,
    "extras/bus.py": """
        def send(mcu, oid):
            mcu.add_config_cmd("spi_send oid=%d data=%s" % (oid, "0102"))
            mcu.lookup_command("spi_send oid=%c data=%*s")
        """,
    "extras/unused.py": 'def f(mcu): mcu.lookup_command("unused_cmd oid=%c")\n',
    "extras/sensors.cfg": "[default_sensor]\n",
    "extras/default_sensor.py": """
        def load_config(config, ppins, name):
            ppins.setup_pin("adc", "%s:ADC_INSIDE" % (name,))
            config.get_printer().load_object(config, "helper")
        """,
    "extras/helper/__init__.py": 'def f(mcu): mcu.lookup_command("helper_cmd oid=%c")\n',
    "docs/hooks.py": 'X = "docs_cmd oid=%c"\n',
}


@pytest.fixture(scope="module")
def formats(tmp_path_factory):
    klippy_dir = tmp_path_factory.mktemp("klipper") / "klippy"
    for relative, text in KLIPPY_FILES.items():
        path = klippy_dir / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    return klippy_code.KlippyFormats(str(klippy_dir))


def test_messages_derived_from_the_klippy_code_that_a_configuration_uses(formats):
    commands, responses = formats.messages({"widget", "stepper_x"})
    assert set(commands) == set(mcu_dictionary.PROTOCOL_COMMANDS) | {
        # formatted by Python: pins and buses enumerated, other text a buffer
        "config_pwm_out oid=%u pin=%u cycle_ticks=%u",
        "config_widget oid=%u cs_pin=%u spi_bus=%u thermocouple_type=%u data=%*s",
        # looked up: the exact format wins over the one only formatted
        "queue_pwm_out oid=%c clock=%u value=%hu",
        "spi_send oid=%c data=%*s",
        "widget_read oid=%c",
        # loaded by a file of klippy's own, and what that loads
        "helper_cmd oid=%c",
    }
    assert "widget_result oid=%c data=%*s" in responses
    assert formats.pins({"widget"}) == {"ADC_INSIDE"}
    assert formats.module_exists("widget") and formats.module_exists("helper")
    assert not formats.module_exists("unused_cmd")
    # Sections klippy's code reads by name are not a module's
    assert formats.reads_section("stepper_x") and formats.reads_section("carriage x")
    assert not formats.reads_section("scanner")


def test_data_dictionary_message_ids_and_enumerations(formats):
    commands, responses = formats.messages({"widget"})
    dictionary = mcu_dictionary.data_dictionary(
        commands, responses, {"PA1", "PB2"}, {"spi_bus": {"spi2"}})
    tags = list(dictionary["commands"].values()) + list(dictionary["responses"].values())
    assert dictionary["commands"]["identify offset=%u count=%c"] == 1
    assert dictionary["responses"]["identify_response offset=%u data=%.*s"] == 0
    assert len(set(tags)) == len(tags) and all(-32 <= tag <= 95 for tag in tags)
    assert dictionary["enumerations"]["pin"] == {"PA1": 0, "PB2": 1}
    assert dictionary["enumerations"]["spi_bus"]["spi2"] == 0
    # without a bus named, klippy takes bus number 0
    assert list(dictionary["enumerations"]["i2c_bus"].values()) == [0]
    # More than one byte holds: ids that only a later klippy reads
    many = ["cmd%d oid=%%c" % number for number in range(130)]
    tags = mcu_dictionary.data_dictionary(many, [], set(), {})["commands"].values()
    assert sorted(tags)[-4:] == [96, 97, 98, 99]


def test_pin_names_in_option_values():
    assert mcu_dictionary.pin_names(
        ["^!PA1", "mcu2:PB3, ~P1.20", "EXP1_1=PE6, EXP1_2=<GND>"]) == {
            "PA1", "PB3", "P1.20", "EXP1_1", "PE6", "EXP1_2"}


section_names = st.sampled_from(
    ["printer", "stepper_z", "probe", "beacon", "gcode_macro PARK", "bed_mesh default"])
options = st.dictionaries(st.from_regex(r"[a-z][a-z_]{0,8}", fullmatch=True),
                          st.from_regex(r"[A-Za-z0-9.,^!:]{1,8}", fullmatch=True),
                          max_size=3)


@given(st.dictionaries(section_names, options, min_size=1))
def test_refusals_name_the_section_option_and_value(sections):
    text = "".join("[%s]\n%s" % (name, "".join(
        "%s: %s\n" % (option, value) for option, value in opts.items()))
        for name, opts in sections.items())
    read = klippy_config.read_sections({"printer.cfg": text})
    for name, opts in sections.items():
        for option, value in opts.items():
            message = ("Option '%s' in section '%s' must have minimum of 1"
                       % (option, name))
            assert klippy_check.find_cause(message, read) == (name, option, value)


def test_values_over_several_lines_and_comments():
    sections = klippy_config.read_sections({"printer.cfg": textwrap.dedent("""\
        [static_digital_output pins]
        pins:
            PG1, PG0,  # the first pair
            PK7
        [stepper_z]
        endstop_pin: probe:z_virtual_endstop ; Z homes on the probe
        """)})
    assert sections["static_digital_output pins"].options["pins"] == "\nPG1, PG0,\nPK7"
    cause = klippy_check.find_cause("Unknown pin chip name 'probe'", sections)
    assert cause == ("stepper_z", "endstop_pin", "probe:z_virtual_endstop")


def dry(args, out_dir):
    stdout, stderr = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
        code = dry_run.main(["--out", str(out_dir)] + args)
    return code, stdout.getvalue(), stderr.getvalue()


def test_dry_run_without_a_klippy_says_so_and_goes_on(tmp_path):
    # (conftest.py takes the embedded klippy away)
    code, stdout, _ = dry(["Z_OFFSET_CALIBRATION"], tmp_path)
    assert code == 0
    assert stdout.startswith("No klippy checked ")
    assert "--klipper ~/klipper" in stdout.splitlines()[0]


def test_klipper_option_that_names_no_klippy_is_refused(monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path))
    code, _, stderr = dry(["--klipper", str(tmp_path)], tmp_path / "out")
    assert code == dry_run.EXIT_BAD_INPUT
    assert "%s: no klippy/klippy.py in it" % tmp_path in stderr
    (tmp_path / "klippy").mkdir()
    (tmp_path / "klippy" / "klippy.py").write_text("")
    code, _, stderr = dry(["--klipper", str(tmp_path)], tmp_path / "out")
    assert code == dry_run.EXIT_BAD_INPUT
    assert "no Python with klippy's packages found" in stderr
    assert "give one with --klipper-python" in stderr
    # A klippy that cannot run has not answered on the configuration
    (tmp_path / "klippy" / "klippy.py").write_text("import greenlet_of_another_python\n")
    code, _, stderr = dry(["--klipper", str(tmp_path), "--klipper-python",
                           sys.executable], tmp_path / "out")
    assert code == dry_run.EXIT_BAD_INPUT
    assert stderr == (
        "error: klippy (no git version) in %s (--klipper) did not start: ModuleNotFoundError:"
        " No module named 'greenlet_of_another_python'\n" % (tmp_path / "klippy"))


def test_the_printers_own_klippy_answers_by_default(monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path))
    args = dry_run.run_input.parse_args([])
    assert dry_run.chosen_klippy(args) is None
    # Klipper's install: the checkout and its Python in the home folder
    (tmp_path / "klipper" / "klippy").mkdir(parents=True)
    (tmp_path / "klipper" / "klippy" / "klippy.py").write_text("")
    (tmp_path / "klippy-env" / "bin").mkdir(parents=True)
    (tmp_path / "klippy-env" / "bin" / "python").symlink_to(sys.executable)
    klippy = dry_run.chosen_klippy(args)
    assert klippy.klippy_dir == str(tmp_path / "klipper" / "klippy")
    assert klippy.describe().endswith("(found at ~/klipper)")
    assert dry_run.chosen_klippy(dry_run.run_input.parse_args(
        ["--klipper", str(tmp_path / "klipper")])).describe().endswith("(--klipper)")


def test_klippys_own_names_plugins_and_firmware_enumerations(tmp_path):
    files = {
        "klippy/klippy.py": "import mcu\n",
        "klippy/mcu.py": "",
        "klippy/extras/__init__.py": "",
        "klippy/extras/shaper_calibrate.py":
            "import importlib\nimportlib.import_module('.shaper_defs', 'extras')\n",
        "klippy/extras/lis2dw.py": 'def f(mcu): mcu.add_config_cmd(\n'
            '    "config_lis2dw oid=%d bus_oid_type=%s "\n    "lis_chip_type=%s" % (1, "spi", "x"))\n',
        "klippy/plugins/scanner.py": "",
        "src/sensor_lis2dw.c": 'DECL_ENUMERATION("bus_oid_type", "spi", 0);\n'
                               'DECL_ENUMERATION("lis_chip_type", "LIS2DW", 0);\n',
    }
    for relative, text in files.items():
        (tmp_path / relative).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / relative).write_text(text)
    code = klippy_code.KlippyFormats(str(tmp_path / "klippy"))
    assert code.package_names() == ["extras", "mcu"]
    assert code.module_exists("scanner") and not code.module_exists("beacon")
    commands, _ = code.messages({"lis2dw"})
    assert "config_lis2dw oid=%u bus_oid_type=%u lis_chip_type=%u" in commands
    dictionary = mcu_dictionary.data_dictionary(commands, [], set(), {}, code.enumerations)
    assert dictionary["enumerations"]["lis_chip_type"] == {"LIS2DW": 0}


def test_a_file_named_by_a_home_path_is_found_in_klippys_message(monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path))
    sections = klippy_config.read_sections(
        {"printer.cfg": "[save_variables]\nfilename: ~/printer_data/variables.cfg\n"})
    message = "[Errno 2] No such file or directory: '%s/printer_data/variables.cfg'" % tmp_path
    assert klippy_check.find_cause(message, sections) == (
        "save_variables", "filename", "~/printer_data/variables.cfg")
