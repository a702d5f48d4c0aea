# The physical truth behind a dry run's printer: bed surface, nozzle
# height, probe trigger distance, noise and heater behaviour
#
# All of it comes from the [simulated_printer] section (see
# docs/Dry_Run.md), read by the simulated host and by the stand-ins that
# run inside klippy alike; nothing here imports either.  Heights are in mm.  The toolhead's Z coordinate and the
# physical nozzle height differ by `z_zero`, the toolhead Z at which the
# nozzle tip would sit at surface height 0; homing and set_position move
# that relation, physics never does.
import collections
import math
import random

ThermalProperties = collections.namedtuple(
    'ThermalProperties', ['heating_rate', 'max_reachable_temp',
                          'cooling_time'])

# Heater name -> (heating rate in C/s, highest reachable temperature,
# cooling time constant in s)
DEFAULT_THERMAL = {
    'extruder': (4.0, 320., 60.),
    'heater_bed': (0.8, 120., 600.),
}


class BedSurface:
    """Height of the bed surface: a gentle tilt plus a grid of bumps."""

    def __init__(self, config):
        self.tilt_x = config.getfloat('surface_tilt_x', 0.0003)
        self.tilt_y = config.getfloat('surface_tilt_y', -0.0002)
        self.bump_height = config.getfloat('surface_bump_height', 0.02,
                                           minval=0.)
        self.bump_pitch = config.getfloat('surface_bump_pitch', 50.,
                                          above=0.)

    def height(self, x, y):
        wave_x = math.sin(2. * math.pi * x / self.bump_pitch)
        wave_y = math.sin(2. * math.pi * y / self.bump_pitch)
        return (self.tilt_x * x + self.tilt_y * y
                + self.bump_height * wave_x * wave_y)


class SimulatedPrinter:
    def __init__(self, config):
        self.surface = BedSurface(config)
        # The probe's z_offset is what the printer believes; this is the
        # real distance between nozzle tip and probe trigger point.  Not
        # given, it is the bed probe's own (see note_configured_probe_offset)
        self.true_probe_offset = config.getfloat('true_probe_offset', None)
        self.true_probe_offset_given = self.true_probe_offset is not None
        if self.true_probe_offset is None:
            self.true_probe_offset = 0.
        self.probe_noise = config.getfloat('probe_noise', 0.002, minval=0.)
        self.contact_noise = config.getfloat('contact_noise', 0.002,
                                             minval=0.)
        self.rng = random.Random(config.getint('seed', 0))
        self.mesh_active_at_start = config.getboolean('mesh_active_at_start',
                                                      True)
        self.ambient_temp = config.getfloat('ambient_temp', 25.)
        self.temperature_trace_interval = config.getfloat(
            'temperature_trace_interval', 1., above=0.)
        self.status_poll_interval = config.getfloat('status_poll_interval',
                                                    0.25, minval=0.)
        self.status_trace_objects = config.getlist('status_trace_objects',
                                                   ('z_compensate',))
        self.thermal = {}
        for name, (rate, reachable, cooling) in sorted(
                DEFAULT_THERMAL.items()):
            self.thermal[name] = ThermalProperties(
                config.getfloat(name + '_heating_rate', rate, above=0.),
                config.getfloat(name + '_max_reachable_temp', reachable),
                config.getfloat(name + '_cooling_time', cooling, above=0.))
        self.z_zero = 0.

    def note_configured_probe_offset(self, z_offset):
        """The bed probe's configured z_offset, which is the true one
        unless true_probe_offset was given."""
        if not self.true_probe_offset_given:
            self.true_probe_offset = z_offset

    def heated(self, heater_name, temp, power, dt):
        """A heater's temperature after `dt` seconds at `power` (0 to 1):
        at full power it heats at heating_rate, less as it nears the
        highest temperature it can reach; the power it does not use, the
        heat drains to the air with cooling_time."""
        props = self.thermal_properties(heater_name)
        headroom = ((props.max_reachable_temp - temp)
                    / (props.max_reachable_temp - self.ambient_temp))
        rate = (power * props.heating_rate * headroom
                + (1. - power) * (self.ambient_temp - temp) / props.cooling_time)
        return temp + rate * dt

    def thermal_properties(self, heater_name):
        if heater_name in self.thermal:
            return self.thermal[heater_name]
        return ThermalProperties(*DEFAULT_THERMAL['extruder'])

    # Nozzle and bed
    def surface_height(self, x, y):
        return self.surface.height(x, y)

    def contact_z(self, x, y):
        """Toolhead Z at which the nozzle tip touches the bed at x, y."""
        return self.z_zero + self.surface.height(x, y)

    def nozzle_gap(self, pos):
        """Distance from nozzle tip down to the bed for a toolhead
        position (negative: pressed into the bed)."""
        return pos[2] - self.contact_z(pos[0], pos[1])

    def probe_trigger_z(self, probe_x, probe_y):
        """Toolhead Z at which a probe standing over probe_x, probe_y
        triggers."""
        return self.contact_z(probe_x, probe_y) + self.true_probe_offset

    def shift_frame(self, delta_z):
        # The toolhead declared its Z `delta_z` higher than before, with the
        # nozzle where it was
        self.z_zero += delta_z

    def probe_sample_noise(self):
        return self.rng.gauss(0., self.probe_noise)

    def contact_sample_noise(self):
        return self.rng.gauss(0., self.contact_noise)
