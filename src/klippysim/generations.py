# What an extras module finds on its host, per generation of klippy
import collections


class HostGeneration(collections.namedtuple('HostGeneration', [
        'name', 'probe_sessions', 'probe_result_tuples',
        'homing_axes_letters', 'position_xyz_only', 'autosave_object',
        'backups_in_subdir', 'events_never_pause', 'probe_corrections',
        'twist_range_options', 'template_errors_are_command_errors'])):
    """probe_sessions: the bed probe offers start_probe_session() and
      get_offsets() instead of run_probe() and z_offset.
    probe_result_tuples: pulled probe results are ProbeResult tuples
      (bed_x, bed_y, bed_z, test_x, test_y, test_z) instead of [x, y, z].
    homing_axes_letters: toolhead.set_position() takes homing_axes as a
      string of axis letters ("z") instead of axis indices ([2]).
    position_xyz_only: set_position() leaves the extruder position alone.
    autosave_object: SAVE_CONFIG and the pending values live on
      configfile.autosave instead of on the configfile object.
    backups_in_subdir: SAVE_CONFIG copies the file into a backup in the
      directory config_backups/ beside printer.cfg and writes the file in
      place, rather than renaming it to a backup next to it.
    events_never_pause: klippy:ready and klippy:shutdown handlers run with
      pauses forbidden.
    probe_corrections: how host corrections (axis twist compensation)
      reach a probe result: 'lookup' (the probe adds the
      [axis_twist_compensation] object's get_z_compensation_value(pos) to
      the result's Z), 'event' (the probe sends "probe:update_results" with
      the [x, y, z] result, whose Z the handlers change in place) or
      'event_results' (it sends a list holding the ProbeResult, which the
      handlers replace by one with bed_z corrected; test_z stays raw).
    twist_range_options: the [axis_twist_compensation] options giving the
      X range over which z_compensations are spread.
    template_errors_are_command_errors: a G-code template that does not
      parse fails at start-up with the command error naming its line
      rather than with a configuration error."""

    def homing_axes(self, letters):
        """`letters` ("xz") in the form this host's set_position takes."""
        if self.homing_axes_letters:
            return letters
        return ["xyz".index(axis) for axis in letters]


# Where axis twist calibration writes its range since late 2024
COMPENSATION_RANGE = ('compensation_start_x', 'compensation_end_x')

GENERATIONS = collections.OrderedDict((g.name, g) for g in [
    # klippy of the v0.12 era, 2023 to mid-2024
    HostGeneration('2023', probe_sessions=False, probe_result_tuples=False,
                   homing_axes_letters=False,
                   position_xyz_only=False, autosave_object=False,
                   backups_in_subdir=False, events_never_pause=False,
                   probe_corrections='lookup',
                   twist_range_options=('calibrate_start_x',
                                        'calibrate_end_x'),
                   template_errors_are_command_errors=False),
    # mainline klippy from mid-2024 to the end of 2025
    HostGeneration('mainline-2024', probe_sessions=True,
                   probe_result_tuples=False, homing_axes_letters=True,
                   position_xyz_only=True, autosave_object=True,
                   backups_in_subdir=False, events_never_pause=True,
                   probe_corrections='event',
                   twist_range_options=COMPENSATION_RANGE,
                   template_errors_are_command_errors=True),
    # mainline klippy since 2026
    HostGeneration('mainline-2026', probe_sessions=True,
                   probe_result_tuples=True, homing_axes_letters=True,
                   position_xyz_only=True, autosave_object=True,
                   backups_in_subdir=False, events_never_pause=True,
                   probe_corrections='event_results',
                   twist_range_options=COMPENSATION_RANGE,
                   template_errors_are_command_errors=True),
    # the Kalico fork
    HostGeneration('kalico', probe_sessions=False, probe_result_tuples=False,
                   homing_axes_letters=True,
                   position_xyz_only=True, autosave_object=False,
                   backups_in_subdir=True, events_never_pause=False,
                   probe_corrections='lookup',
                   twist_range_options=COMPENSATION_RANGE,
                   template_errors_are_command_errors=True),
])

DEFAULT_GENERATION = '2023'


def lookup(name):
    try:
        return GENERATIONS[name]
    except KeyError:
        raise ValueError("Unknown host generation %r (known: %s)"
                         % (name, ", ".join(GENERATIONS)))
