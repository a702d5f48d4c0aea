# [smart_effector]: a delta effector that senses the nozzle touching the
# bed, as a bed probe; its sensitivity and recovery are not modeled
from . import probe


def load_config(config):
    return probe.add_bed_probe(config)
