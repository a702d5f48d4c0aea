"""The printer that the real-klippy tests run, and how klippy runs it."""
import re

from z_compensate import klippy_check, klippy_code

# The printer: the bed probe reports Z = position_min (-2) plus the axis
# twist compensation (3.9), 1.9; the nozzle touches the bed at Z 0.05. A
# calibration therefore finds 1.85, less tri_expand_mm (0.05): 1.800.
BASE_CONFIG = """
[mcu]
serial: /dev/null

[printer]
kinematics: cartesian
max_velocity: 300
max_accel: 3000
max_z_velocity: 15
max_z_accel: 100

[stepper_x]
step_pin: PA0
dir_pin: PA1
enable_pin: !PA2
microsteps: 16
rotation_distance: 40
endstop_pin: ^PA3
position_endstop: 0
position_max: 235
homing_speed: 50

[stepper_y]
step_pin: PA4
dir_pin: PA5
enable_pin: !PA6
microsteps: 16
rotation_distance: 40
endstop_pin: ^PA7
position_endstop: 0
position_max: 235
homing_speed: 50

[stepper_z]
step_pin: PA8
dir_pin: PA9
enable_pin: !PA10
microsteps: 16
rotation_distance: 8
endstop_pin: probe:z_virtual_endstop
position_min: -2
position_max: 250

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
max_temp: 300

[heater_bed]
heater_pin: PB1
sensor_type: EPCOS 100K B57560G104F
sensor_pin: PC1
control: watermark
min_temp: 0
max_temp: 110

[fan]
pin: PB2

[probe]
pin: PB3
x_offset: -20
y_offset: 5
z_offset: 2.0

[axis_twist_compensation]
calibrate_start_x: 20
calibrate_end_x: 200
calibrate_y: 117.5
z_compensations: 3.9, 3.9

[bed_mesh]
mesh_min: 15, 15
mesh_max: 200, 220

[heater_feed]

[gcode_macro SHOW_STATUS]
gcode:
  {action_respond_info("status=%s"
                       % printer["z_compensate"].auto_alignment_status)}
"""

TENSINK = "\n[tensink_v2]\ncontact_z: 0.05\n"

REQUIRED_KEYS = """
[z_compensate]
bl_offset: -20, 5
noz_pos_center: 117.5, 117.5
noz_pos_offset: 5, 15
"""

WIPE_AREA = """clr_noz_start_x: 60
clr_noz_start_y: 10
clr_noz_len_x: 40
clr_noz_len_y: 50
"""

PRINTER = BASE_CONFIG + TENSINK + REQUIRED_KEYS + WIPE_AREA

KNOWN_Z_OFFSET = "1.800"


def write_printer_files(directory, config, klippy_dir):
    """printer.cfg with `config` and the MCU's data dictionary (mcu.dict)
    made for it and the klippy in `klippy_dir`, in `directory`."""
    (directory / "printer.cfg").write_text(config)
    klippy_check.write_dictionaries(
        klippy_check.read_sections({"printer.cfg": config}),
        klippy_code.KlippyFormats(klippy_dir), directory)


def klippy_command(python, directory, *input_args):
    """klippy on the files in `directory`: the MCU's messages go to
    output.serial, the log to klippy.log. `input_args` say where G-code
    comes from (-i FILE, or -I PTY)."""
    return ([python, "-m", "klippy.klippy", str(directory / "printer.cfg")]
            + list(input_args)
            + ["-o", str(directory / "output.serial"),
               "-d", str(directory / "mcu.dict"),
               "-l", str(directory / "klippy.log")])


def saved_z_offset(text):
    """The probe's z_offset in the SAVE_CONFIG block of printer.cfg's
    `text`, or None."""
    found = re.search(r"#\*# \[probe\]\n#\*# z_offset = (\S+)\n", text)
    return found and found.group(1)
