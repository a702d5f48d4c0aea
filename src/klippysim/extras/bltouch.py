# [bltouch]: a bed probe with a deployable pin; the pin, its servo
# signals and modes are not modeled
from . import probe


def load_config(config):
    return probe.add_bed_probe(config)
