"""Printer configurations shared by the tests."""

# A small but complete printer; tests append their own sections
BASE_CONFIG = """
[printer]
kinematics: cartesian
max_velocity: 300
max_accel: 3000
max_z_velocity: 15
max_z_accel: 100

[stepper_x]
position_endstop: 0
position_max: 235

[stepper_y]
position_endstop: 0
position_max: 235

[stepper_z]
endstop_pin: probe:z_virtual_endstop
position_min: -2
position_max: 250

[extruder]
nozzle_diameter: 0.4
filament_diameter: 1.75
min_temp: 0
max_temp: 300

[heater_bed]
min_temp: 0
max_temp: 110

[fan]

[probe]
x_offset: -20
y_offset: 5
z_offset: 2.0

[tensink_v2]
"""
