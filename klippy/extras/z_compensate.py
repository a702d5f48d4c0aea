# Loads the [z_compensate] section: klippy only finds modules written in
# Python, so this file hands the section to the compiled module beside it.
from . import z_compensate_wrapper


def load_config(config):
    return z_compensate_wrapper.ZCompensateInitWrapper(config)
