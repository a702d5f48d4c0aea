"""The module's command run inside PyPI's klippy itself: klippy loads the
copy, homes the printer its own way (the printer's macros included) and
runs the command in the same batch run, on the simulated bed, probes and
heaters."""
import contextlib
import io
import re

import pytest

from z_compensate import dry_run, run_input

SAFE_Z_HOME = """[safe_z_home]
home_xy_position: 117.5, 117.5
speed: 100
z_hop: 10
z_hop_speed: 10
"""
# Homing through a macro that reads klippy's own toolhead status
HOMING_MACROS = """[homing_override]
axes: xyz
gcode:
  G28 X Y
  _HOME_Z

[gcode_macro _HOME_Z]
gcode:
  G90
  G1 X{printer.toolhead.axis_maximum.x / 2} Y{printer.toolhead.axis_maximum.y / 2} F6000
  G28 Z
  G1 Z10 F600
"""
TRUE_OFFSET = 1.5
TRI_EXPAND_MM = 0.05
# The probe's and the nozzle's noise is 0.002 mm (one sigma)
NOISE = 0.01
SAVED_Z_OFFSET = re.compile(r"^#\*# z_offset = (\S+)$", re.M)
# SPI drivers whose status check reads the coil current back
SPI_DRIVERS = {
    "tmc2130": "[tmc2130 stepper_x]\ncs_pin: PA4\nrun_current: 0.6\n",
    "tmc2660": "[tmc2660 stepper_x]\ncs_pin: PA4\nrun_current: 0.6\nsense_resistor: 0.051\n",
}


def dry(klippy_site, klippy_python, tmp_path, config_text, *args):
    config = tmp_path / "printer.cfg"
    config.write_text(config_text)
    stdout, stderr = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
        code = dry_run.main(["--klipper", klippy_site, "--klipper-python", klippy_python,
                             "--config", str(config), "--out", str(tmp_path / "out"),
                             "--seed", "11"] + list(args))
    return code, stdout.getvalue(), stderr.getvalue()


def without_wall_times(text):
    return re.sub(r"in \S+ s of wall time|written: .*", "", text)


def test_homing_macros_run_in_klippy_and_the_offset_is_saved(
        klippy_site, klippy_python, tmp_path):
    example = run_input.EXAMPLE_CONFIG.read_text()
    assert SAFE_Z_HOME in example
    config = example.replace(SAFE_Z_HOME, HOMING_MACROS)
    runs = [dry(klippy_site, klippy_python, tmp_path, config,
                "--true-offset", str(TRUE_OFFSET)) for _ in range(2)]
    code, stdout, stderr = runs[0]
    assert code == 0, stderr
    assert "klippy's own (--host applies only to the simulated printer)" in stdout
    assert "Unknown command" not in stdout
    [saved] = [folder / "printer.cfg" for folder in (tmp_path / "out").iterdir()
               if (folder / "printer.cfg").is_file()][:1]
    offset = float(SAVED_Z_OFFSET.search(saved.read_text()).group(1))
    assert abs(offset - (TRUE_OFFSET - TRI_EXPAND_MM)) < NOISE
    assert "== stage 5: calibrated" in stdout
    # One seed, one run
    assert without_wall_times(runs[1][1]) == without_wall_times(stdout)


@pytest.mark.parametrize("driver", sorted(SPI_DRIVERS))
def test_stepper_drivers_answering_zeros_do_not_shut_klippy_down(
        klippy_site, klippy_python, tmp_path, driver):
    # Batch mode answers every register read with zeros, which a periodic
    # status check would take for a driver reset once a second has passed
    config = run_input.EXAMPLE_CONFIG.read_text() + "\n" + SPI_DRIVERS[driver]
    code, stdout, stderr = dry(klippy_site, klippy_python, tmp_path, config)
    assert code == 0, stderr
    assert "== stage 5: calibrated" in stdout


def test_refusal_in_klippy_names_the_keys_and_saves_nothing(
        klippy_site, klippy_python, tmp_path):
    config = run_input.EXAMPLE_CONFIG.read_text().replace(
        "clr_noz_start_x: 60", "clr_noz_start_x: 500")
    code, stdout, stderr = dry(klippy_site, klippy_python, tmp_path, config)
    assert code == dry_run.EXIT_REFUSED
    assert stderr.startswith(
        "error: Z_OFFSET_AUTO on printer.cfg stopped during stage 0 (starting the wipe):"
        " Z_OFFSET_AUTO refused: the stroke's start can reach X 540.000, beyond"
        " [stepper_x] position_max = 235: [z_compensate] clr_noz_start_x = 500")
    [folder] = (tmp_path / "out").iterdir()
    assert [path.name for path in folder.iterdir()] == ["z_offset_auto.png"]


def test_homing_that_never_ends_is_refused_within_the_time_limit(
        klippy_site, klippy_python, tmp_path):
    # A macro that waits longer than a run may take
    config = run_input.EXAMPLE_CONFIG.read_text().replace(
        SAFE_Z_HOME, HOMING_MACROS.replace("  G28 Z\n", "  G28 Z\n  G4 P4000000\n"))
    code, stdout, stderr = dry(klippy_site, klippy_python, tmp_path, config)
    assert code == run_input.EXIT_BAD_INPUT
    assert ("klippy refuses the configuration: klippy did not finish loading the"
            " configuration and G28 within 3600 s of simulated time") in stderr
    assert "Simulating" not in stdout


def test_the_hook_of_a_refused_command_shows_its_messages_and_remote_methods(
        klippy_site, klippy_python, tmp_path):
    # In batch mode no client registers "notify": it is shown, not refused
    hook = ("on_error_gcode:\n"
            '  {action_respond_info("%s failed: %s" % (params.COMMAND, params.ERROR))}\n'
            '  RESPOND MSG="hook of {params.COMMAND}"\n'
            '  {action_call_remote_method("notify", name="phone", message=params.COMMAND)}\n')
    config = run_input.EXAMPLE_CONFIG.read_text().replace(
        "#on_error_gcode:\n"
        '#  {action_respond_info("%s failed: %s" % (params.COMMAND, params.ERROR))}\n',
        hook) + "\n[respond]\n"
    assert hook in config
    code, stdout, stderr = dry(klippy_site, klippy_python, tmp_path, config,
                               "--true-offset", str(TRUE_OFFSET),
                               "Z_OFFSET_CALIBRATION", "MAX_OFFSET_CHANGE=0.001")
    assert code == dry_run.EXIT_REFUSED
    shown = re.findall(r"^ *[\d.]+  (Z_OFFSET_CALIBRATION failed: .*|.*hook of .*"
                       r"|remote method .*)$", stdout, re.M)
    assert "more than MAX_OFFSET_CHANGE=0.001" in shown[0]
    # The template calls the method while it renders, before its G-code runs
    assert shown[1:] == [
        "remote method notify(message='Z_OFFSET_CALIBRATION', name='phone') for Moonraker"
        " (none in a dry run)",
        "echo: hook of Z_OFFSET_CALIBRATION"]
    assert "on_error_gcode" not in stdout + stderr
    assert stderr.startswith("error: Z_OFFSET_CALIBRATION MAX_OFFSET_CHANGE=0.001 on"
                             " printer.cfg stopped during ")
    assert "Z_OFFSET_CALIBRATION refused: the new offset " in stderr


def test_klippy_shutting_down_while_it_homes_is_refused_with_its_reason(
        klippy_site, klippy_python, tmp_path):
    # Homing fails only because klippy shut down
    config = (run_input.EXAMPLE_CONFIG.read_text()
              + "\n[timed_shutdown]\ndelay: 1\nreason: Driver stepper_x reports a fault\n")
    code, stdout, stderr = dry(klippy_site, klippy_python, tmp_path, config)
    assert code == run_input.EXIT_BAD_INPUT
    assert ("klippy refuses the configuration: Driver stepper_x reports a fault"
            in stderr), stderr
    assert "Simulating" not in stdout
