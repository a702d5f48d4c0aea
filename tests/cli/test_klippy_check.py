"""The parts of klippy's check that need no klippy: the cause named in a
refusal, the choice of klippy, and the dry run when no klippy can answer.
The check itself, by PyPI's klippy, is in
tests/real_klippy/test_klippy_answers.py."""
import contextlib
import io
import sys
import textwrap

from hypothesis import given, strategies as st

from z_compensate import dry_run, klippy_check, klippy_config

# (conftest.py takes it away from the other tests)
PRINTER_KLIPPY = klippy_check.printer_klippy

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
    assert stdout.startswith("No klippy to ask for ")
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
    monkeypatch.setattr(klippy_check, "printer_klippy", PRINTER_KLIPPY)
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


def test_a_file_named_by_a_home_path_is_found_in_klippys_message(monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path))
    sections = klippy_config.read_sections(
        {"printer.cfg": "[save_variables]\nfilename: ~/printer_data/variables.cfg\n"})
    message = "[Errno 2] No such file or directory: '%s/printer_data/variables.cfg'" % tmp_path
    assert klippy_check.find_cause(message, sections) == (
        "save_variables", "filename", "~/printer_data/variables.cfg")


def test_a_template_or_a_macros_command_named_in_klippys_message():
    sections = klippy_config.read_sections({"printer.cfg": textwrap.dedent("""\
        [gcode_macro CLEAR_PAUSE]
        rename_existing: BASE_CLEAR_PAUSE
        gcode: BASE_CLEAR_PAUSE
        [gcode_macro PRINT_START]
        gcode:
          CLEAR_PAUSE
          G1 X{printer.toolhead.axis_maximum.x}
        """)})
    assert klippy_check.find_cause(
        "Existing command 'CLEAR_PAUSE' not found in gcode_macro rename", sections) == (
            "gcode_macro CLEAR_PAUSE", None, None)
    assert klippy_check.find_cause(
        "Error evaluating 'gcode_macro PRINT_START:gcode': jinja2.exceptions.UndefinedError:"
        " ':' is undefined", sections) == (
            "gcode_macro PRINT_START", "gcode",
            "\nCLEAR_PAUSE\nG1 X{printer.toolhead.axis_maximum.x}")
