# Shared by the simulator tests: where things are and a base printer.cfg
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.abspath(os.path.join(HERE, os.pardir, os.pardir,
                                                'src')))

FAKE_EXTRAS = os.path.join(HERE, 'fake_extras')
EXAMPLE_CONFIG = os.path.join(HERE, os.pardir, os.pardir, 'examples',
                              'printer.cfg')

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

# A flat bed without noise, and a probe that triggers 1.8 mm above it
FLAT_BED = {'simulated_printer': {
    'surface_tilt_x': 0, 'surface_tilt_y': 0, 'surface_bump_height': 0,
    'probe_noise': 0, 'contact_noise': 0, 'true_probe_offset': 1.8}}
