# Which sections klippy itself knows, in one place
#
# A section is loaded from a module of klippy's extras/ named like its first
# word, or read by klippy's own objects (printer, steppers, extruders, MCUs).
# The simulator models a few of them (its own extras/ and host objects); the
# rest of what a stock klippy knows is accepted unread and named once as not
# simulated, and any other section belongs to a module installed beside
# klippy (a scanning probe, a macro package), which the simulator cannot
# know and so names as such.
import importlib.util
import os
import re

# Modules of mainline klippy's extras/ that take a section of their own
MAINLINE_MODULES = frozenset((
    'ad5206', 'adc_scaled', 'adc_temperature', 'ads1220', 'ads131m0x',
    'ads1x1x', 'adxl345', 'aht10', 'angle', 'axis_twist_compensation',
    'bed_mesh', 'bed_screws', 'bed_tilt', 'bltouch', 'bme280', 'bmi160',
    'board_pins', 'buttons', 'canbus_ids', 'canbus_stats', 'controller_fan',
    'dac084S085', 'delayed_gcode', 'delta_calibrate', 'display',
    'display_data', 'display_glyph', 'display_status', 'display_template',
    'dotstar', 'ds18b20', 'duplicate_pin_override', 'endstop_phase',
    'error_mcu', 'exclude_object', 'extruder_stepper', 'fan', 'fan_generic',
    'filament_motion_sensor', 'filament_switch_sensor', 'firmware_retraction',
    'force_move', 'gcode_arcs', 'gcode_button', 'gcode_macro', 'gcode_move',
    'hall_filament_width_sensor', 'heater_bed', 'heater_fan',
    'heater_generic', 'heaters', 'homing', 'homing_heaters',
    'homing_override', 'htu21d', 'hx71x', 'icm20948', 'idle_timeout',
    'input_shaper', 'ldc1612', 'led', 'lis2dw', 'lis3dh', 'lm75', 'load_cell',
    'load_cell_probe', 'manual_probe', 'manual_stepper', 'mcp4018',
    'mcp4451', 'mcp4728', 'menu', 'motion_report', 'mpu9250', 'multi_pin',
    'neopixel', 'output_pin', 'palette2', 'pause_resume', 'pca9533',
    'pca9632', 'pid_calibrate', 'print_stats', 'probe', 'probe_eddy_current',
    'pulse_counter', 'pwm_cycle_time', 'pwm_tool', 'quad_gantry_level',
    'query_adc', 'query_endstops', 'replicape', 'resonance_tester',
    'respond', 'safe_z_home', 'samd_sercom', 'save_variables',
    'screws_tilt_adjust', 'sdcard_loop', 'servo', 'sht3x', 'skew_correction',
    'smart_effector', 'spi_temperature', 'static_digital_output',
    'static_pwm_clock', 'statistics', 'stepper_enable', 'sx1509',
    'temperature_combined', 'temperature_fan', 'temperature_host',
    'temperature_mcu', 'temperature_probe', 'temperature_sensor',
    'thermistor', 'tmc2130', 'tmc2208', 'tmc2209', 'tmc2240', 'tmc2660',
    'tmc5160', 'trigger_analog', 'tsl1401cl_filament_width_sensor',
    'tuning_tower', 'verify_heater', 'virtual_sdcard', 'z_thermal_adjust',
    'z_tilt', 'webhooks',
    # Sections klippy's own objects read: the MCUs, the carriages and
    # steppers of generic_cartesian kinematics and a second X or Y carriage
    'mcu', 'carriage', 'stepper', 'dual_carriage', 'extra_carriage',
))

# Modules only the Kalico fork has.  Several of them are also installed
# beside mainline klippy as third-party modules (gcode_shell_command,
# z_calibration, ...); only those below are the fork's own, which no
# mainline klippy takes
KALICO_MODULES = frozenset((
    'belay', 'control_mpc', 'danger_options', 'dockable_probe',
    'gcode_shell_command', 'heated_fan', 'indx', 'mixing_extruder',
    'mpc_ambient_temperature', 'mpc_block_temperature', 'nozzle_cleanup',
    'telemetry', 'tools_calibrate', 'trad_rack', 'z_calibration',
    'z_tilt_ng',
))
KALICO_OWN_MODULES = frozenset(('danger_options', 'z_tilt_ng'))

# Steppers and extruders beyond the ones the kinematics reads
# ("stepper_z1", "stepper_a", "extruder1")
HOST_OBJECT_NAME_RE = re.compile(r'^(stepper_\w+|extruder\d+)$')


def installed_klippy_modules():
    """Module names of a klippy installed as a Python package beside the
    simulator (the PyPI builds), which may know sections newer or older
    than the list above."""
    try:
        klippy_package = importlib.util.find_spec('klippy')
    except (ImportError, ValueError):
        return frozenset()
    if klippy_package is None or not klippy_package.submodule_search_locations:
        return frozenset()
    names = set()
    for location in klippy_package.submodule_search_locations:
        extras_dir = os.path.join(location, 'extras')
        if os.path.isdir(extras_dir):
            names.update(os.path.splitext(name)[0]
                         for name in os.listdir(extras_dir)
                         if not name.startswith('_'))
    return frozenset(names)


class SectionKinds:
    """Tells of a section without a module in the simulator's extras/
    whether the host's klippy knows it, whether it is the Kalico fork's
    own on another host, or neither (a third-party module's)."""

    def __init__(self, host_generation, known_modules=()):
        self.on_kalico = host_generation.name == 'kalico'
        self.klippy_modules = (MAINLINE_MODULES | installed_klippy_modules()
                               | frozenset(known_modules))

    def kind(self, section):
        """'klippy', 'kalico' (a Kalico section on another host),
        or 'third-party'."""
        module_name = section.split()[0]
        if (module_name in self.klippy_modules
                or HOST_OBJECT_NAME_RE.match(module_name)):
            return 'klippy'
        if self.on_kalico and module_name in KALICO_MODULES:
            return 'klippy'
        if module_name in KALICO_OWN_MODULES:
            return 'kalico'
        return 'third-party'
