# [load_cell_probe]: a bed probe that weighs the nozzle's touch; the load
# cell is not modeled
from . import probe


def load_config(config):
    return probe.add_bed_probe(config)
