# Pressure-probe module: the nozzle itself senses contact with the bed
#
# The dry run's stand-in of the pressure probe, on the simulated host's
# printer model and trace.  Sim-only options (all "sim_"): see README.md.
# Other options of a real [tensink_v2] section are accepted unread.
from z_compensate.klippy_run.extras.tensink_v2 import TensinkV2 as StandIn


class TensinkV2(StandIn):
    def accept_other_options(self, config):
        self.printer.lookup_object('configfile').accept_unmodeled_options(
            config.get_name())

    def physics(self):
        return self.printer.sim

    def record(self, kind, **data):
        self.printer.trace.add(kind, **data)


def load_config(config):
    return TensinkV2(config)
