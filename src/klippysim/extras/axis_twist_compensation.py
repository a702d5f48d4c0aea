# Axis twist compensation: a Z correction of bed probe results that varies
# along X, given as z_compensations spread evenly over an X range and
# interpolated linearly (held to the first and last spans beyond it)
#
# It reaches probe results the host generation's way (see
# generations.HostGeneration.probe_corrections); the calibration command
# that measures the corrections is not modeled.
import math


class AxisTwistCompensation:
    def __init__(self, config):
        self.printer = config.get_printer()
        generation = self.printer.host_generation
        self.z_compensations = config.getlists('z_compensations', default=[],
                                               parser=float)
        start_option, end_option = generation.twist_range_options
        self.start_x = config.getfloat(start_option, None)
        self.end_x = config.getfloat(end_option, None)
        if self.z_compensations and None in (self.start_x, self.end_x):
            raise config.error("z_compensations requires %s and %s to be set"
                               % (start_option, end_option))
        # The calibration's and the Y axis' options are not modeled
        self.printer.lookup_object('configfile').accept_unmodeled_options(
            config.get_name())
        if generation.probe_corrections == 'event':
            self.printer.register_event_handler("probe:update_results",
                                                self._update_position)
        elif generation.probe_corrections == 'event_results':
            self.printer.register_event_handler("probe:update_results",
                                                self._update_results)

    def get_z_compensation_value(self, pos):
        """The correction at the toolhead X of `pos`, in mm."""
        if not self.z_compensations:
            return 0.
        sample_count = len(self.z_compensations)
        spacing = (self.end_x - self.start_x) / (sample_count - 1)
        interpolate_t = (pos[0] - self.start_x) / spacing
        interpolate_i = min(max(int(math.floor(interpolate_t)), 0),
                            sample_count - 2)
        interpolate_t -= interpolate_i
        return ((1. - interpolate_t) * self.z_compensations[interpolate_i]
                + interpolate_t * self.z_compensations[interpolate_i + 1])

    def _update_position(self, pos):
        pos[2] += self.get_z_compensation_value(pos)

    def _update_results(self, results):
        for i, result in enumerate(results):
            correction = self.get_z_compensation_value([result.test_x])
            results[i] = result._replace(bed_z=result.bed_z + correction)


def load_config(config):
    return AxisTwistCompensation(config)
