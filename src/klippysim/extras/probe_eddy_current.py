# [probe_eddy_current NAME]: a scanning probe, as a bed probe.  It reports
# the bed's height itself, so its Z offset is 0 (its z_offset option, where
# given, is how far it descends); the sensor and its calibration are not
# modeled
from . import probe


def load_config_prefix(config):
    return probe.add_bed_probe(config, z_offset=0.)
