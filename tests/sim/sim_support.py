# Shared by the simulator tests: where things are and a base printer.cfg
import os

from printers import BASE_CONFIG  # noqa: F401 (shared with the module tests)

HERE = os.path.dirname(os.path.abspath(__file__))

FAKE_EXTRAS = os.path.join(HERE, 'fake_extras')
EXAMPLE_CONFIG = os.path.join(HERE, os.pardir, os.pardir, 'examples',
                              'printer.cfg')

# A flat bed without noise, and a probe that triggers 1.8 mm above it
FLAT_BED = {'simulated_printer': {
    'surface_tilt_x': 0, 'surface_tilt_y': 0, 'surface_bump_height': 0,
    'probe_noise': 0, 'contact_noise': 0, 'true_probe_offset': 1.8}}
