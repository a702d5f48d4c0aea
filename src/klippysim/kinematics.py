# The kinematics of klippy's printers, as far as a module sees them: the
# range checks of every move (with klippy's texts), the Z speed limits and
# how G28 homes.  Moves stay cartesian XYZ; no stepper is modeled.
import math

from .configfile import sentinel

# Kinematics whose axis limits behave like cartesian ones for this purpose
CARTESIAN_LIKE_KINEMATICS = (
    'cartesian', 'corexy', 'corexz', 'hybrid_corexy', 'hybrid_corexz',
    'limited_cartesian', 'limited_corexy', 'limited_corexz',
    'generic_cartesian')

# Kinematics of klippy that the simulator does not model, and why
UNSIMULATED_KINEMATICS = {
    'winch': "klippy itself has no range checks or homing for it",
    'none': "it cannot move the toolhead",
}

# Above this ratio of tower to XY movement a delta slows its moves
DELTA_SLOW_RATIO = 3.
# Smallest angle (degrees) of a deltesian's arms with the horizontal
DELTESIAN_MIN_ANGLE = 5.


class AxisRange:
    """The range of one cartesian axis, the section it comes from and the
    option that sets its lower end."""

    def __init__(self, name, position_min, position_max,
                 min_option='position_min'):
        self.name = name
        self.position_min = position_min
        self.position_max = position_max
        self.min_option = min_option

    def get_range(self):
        return self.position_min, self.position_max


def violated_limits(ranges, position):
    """(axis, value, why) for each coordinate of `position` that lies
    outside its axis's range (one AxisRange per axis, X Y Z)."""
    for axis, value, rail in zip("xyz", position, ranges):
        if value < rail.position_min:
            yield axis, value, "below [%s] %s = %g" % (
                rail.name, rail.min_option, rail.position_min)
        elif value > rail.position_max:
            yield axis, value, "beyond [%s] position_max = %g" % (
                rail.name, rail.position_max)


class Rail(AxisRange):
    """One axis: its range and how it homes, from a stepper or carriage
    section."""

    def __init__(self, config, need_position_endstop=True,
                 need_position_minmax=True, default_position_endstop=sentinel):
        self.homing_speed = config.getfloat('homing_speed', 5.0, above=0.)
        self.second_homing_speed = config.getfloat(
            'second_homing_speed', self.homing_speed / 2., above=0.)
        self.homing_retract_dist = config.getfloat('homing_retract_dist', 5.,
                                                   minval=0.)
        self.homing_retract_speed = config.getfloat(
            'homing_retract_speed', self.homing_speed, above=0.)
        self.position_endstop = None
        if need_position_endstop:
            self.position_endstop = config.getfloat('position_endstop',
                                                    default_position_endstop)
        if need_position_minmax:
            position_min = config.getfloat('position_min', 0.)
            position_max = config.getfloat('position_max', above=position_min)
        else:
            position_min, position_max = 0., self.position_endstop
        AxisRange.__init__(self, config.get_name(), position_min,
                           position_max)
        if (need_position_endstop and need_position_minmax
                and (self.position_endstop < self.position_min
                     or self.position_endstop > self.position_max)):
            raise config.error(
                "position_endstop in section '%s' must be between"
                " position_min and position_max" % config.get_name())
        config.get_printer().lookup_object(
            'configfile').accept_unmodeled_options(self.name)


def step_distance(config):
    """Distance of one microstep of a stepper section, or 0 when the
    section lacks it."""
    rotation_distance = config.getfloat('rotation_distance', None, above=0.)
    if rotation_distance is None:
        return 0.
    full_steps = config.getint('full_steps_per_rotation', 200, minval=1)
    microsteps = config.getint('microsteps', 1, minval=1)
    gearing = 1.
    for ratio in config.getlist('gear_ratio', ()):
        driven, driving = [float(v) for v in ratio.split(':')]
        gearing *= driven / driving
    return rotation_distance / (full_steps * microsteps * gearing)


def z_homes_with_probe(config):
    # The pin as klippy parses it: pull-up and inversion marks first, and
    # blanks allowed around the chip name's colon
    pin = config.get('endstop_pin', '').strip().lstrip('^~').strip()
    chip, colon, name = pin.lstrip('!').partition(':')
    return bool(colon) and (chip.strip(), name.strip()) == ('probe',
                                                          'z_virtual_endstop')


class Kinematics:
    """What every kinematics shares: the Z speed limits, the host's form of
    homed axes, and klippy's texts for a move out of range."""

    def __init__(self, toolhead, config):
        self.printer = config.get_printer()
        max_velocity, max_accel = toolhead.get_max_velocity()
        self.max_velocity, self.max_accel = max_velocity, max_accel
        self.max_z_velocity = config.getfloat(
            'max_z_velocity', max_velocity, above=0., maxval=max_velocity)
        self.max_z_accel = config.getfloat(
            'max_z_accel', max_accel, above=0., maxval=max_accel)
        self.homing_axes_letters = (
            self.printer.host_generation.homing_axes_letters)
        self.z_homes_with_probe = False
        # A round printer's reach around X 0 Y 0 (None: rectangular)
        self.print_radius = None

    def homed_indices(self, homing_axes):
        # Either form fails inside the kinematics on a host of the other
        if self.homing_axes_letters:
            return set("xyz".index(axis_name) for axis_name in homing_axes)
        return set(i for i in (0, 1, 2) if i in homing_axes)

    def limit_z_speed(self, move):
        # A move with Z is held to the slower Z limits
        z_ratio = move.move_d / abs(move.axes_d[2])
        move.limit_speed(self.max_z_velocity * z_ratio,
                         self.max_z_accel * z_ratio)

    def get_status(self, eventtime):
        return {'homed_axes': self.homed_axes(),
                'axis_minimum': [r.position_min for r in self.rails],
                'axis_maximum': [r.position_max for r in self.rails]}

    def violated_limits(self, position):
        return violated_limits(self.rails, position)


class CartKinematics(Kinematics):
    """cartesian, corexy, corexz, the hybrid and limited kinematics and
    generic_cartesian: each axis has its own range and endstop."""

    def __init__(self, toolhead, config, axis_configs):
        Kinematics.__init__(self, toolhead, config)
        z_config = axis_configs[2]
        self.z_homes_with_probe = z_homes_with_probe(z_config)
        # A Z axis homed by the bed probe takes its endstop position from
        # the probe's z_offset
        self.rails = [Rail(axis_configs[0]), Rail(axis_configs[1]),
                      Rail(z_config, not self.z_homes_with_probe)]
        self.limits = [(1.0, -1.0)] * 3

    def set_position(self, newpos, homing_axes):
        for axis in self.homed_indices(homing_axes):
            self.limits[axis] = self.rails[axis].get_range()

    def note_z_not_homed(self):
        self.limits[2] = (1.0, -1.0)

    def homed_axes(self):
        return "".join(a for a, (l, h) in zip("xyz", self.limits) if l <= h)

    def home(self, homing_state):
        for axis in homing_state.get_axes():
            if axis == 2 and self.z_homes_with_probe:
                homing_state.home_z_with_probe(self.rails[2])
            else:
                homing_state.home_rail(axis, self.rails[axis])

    def _check_endstops(self, move):
        end_pos = move.end_pos
        for i in (0, 1, 2):
            if (move.axes_d[i]
                    and (end_pos[i] < self.limits[i][0]
                         or end_pos[i] > self.limits[i][1])):
                if self.limits[i][0] > self.limits[i][1]:
                    raise move.move_error("Must home axis first")
                raise move.move_error()

    def check_move(self, move):
        limits = self.limits
        xpos, ypos = move.end_pos[:2]
        if (xpos < limits[0][0] or xpos > limits[0][1]
                or ypos < limits[1][0] or ypos > limits[1][1]):
            self._check_endstops(move)
        if not move.axes_d[2]:
            return
        self._check_endstops(move)
        self.limit_z_speed(move)


def carriage_configs(config):
    """[carriage x|y|z] of generic_cartesian kinematics, by axis."""
    by_axis = {}
    for carriage in config.get_prefix_sections('carriage '):
        name = carriage.get_name().split()[-1]
        axis = carriage.get('axis', name if name in 'xyz' else None)
        if axis is None:
            raise carriage.error("Option 'axis' in section '%s' must be"
                                 " specified" % (carriage.get_name(),))
        by_axis[axis] = carriage
    missing = [a for a in 'xyz' if a not in by_axis]
    if missing:
        raise config.error("Section 'carriage %s' must be specified"
                           % (missing[0],))
    return [by_axis[a] for a in 'xyz']


class DeltaKinematics(Kinematics):
    """A linear delta: towers A, B, C home together at the top; every move
    must stay within the print radius, which narrows into a cone near the
    top, and between minimum_z_position and the lowest tower endstop."""

    def __init__(self, toolhead, config):
        Kinematics.__init__(self, toolhead, config)
        tower_configs = [config.getsection('stepper_' + a) for a in 'abc']
        self.towers = tower_rails(tower_configs)
        self.radius = radius = config.getfloat('delta_radius', above=0.)
        print_radius = config.getfloat('print_radius', radius, above=0.)
        arm_a = tower_configs[0].getfloat('arm_length', above=radius)
        arms = [c.getfloat('arm_length', arm_a, above=radius)
                for c in tower_configs]
        angles = [c.getfloat('angle', angle)
                  for c, angle in zip(tower_configs, (210., 330., 90.))]
        tower_xy = [(math.cos(math.radians(a)) * radius,
                     math.sin(math.radians(a)) * radius) for a in angles]
        # Height of each carriage's pivot over Z 0 when it is at its endstop
        abs_endstops = [t.position_endstop + math.sqrt(arm**2 - radius**2)
                        for t, arm in zip(self.towers, arms)]
        self.home_position = effector_position(
            [(x, y, z) for (x, y), z in zip(tower_xy, abs_endstops)], arms)
        self.max_z = min(t.position_endstop for t in self.towers)
        self.min_z = config.getfloat('minimum_z_position', 0,
                                     maxval=self.max_z)
        # Above this height the reachable radius narrows
        self.limit_z = min(e - arm for e, arm in zip(abs_endstops, arms))
        self.min_arm_length = min_arm = min(arms)
        half_step = min(step_distance(c) for c in tower_configs) * .5

        def radius_at_ratio(ratio):
            return (ratio * math.sqrt(min_arm**2 / (ratio**2 + 1.)
                                      - half_step**2)
                    + half_step - radius)
        self.slow_xy2 = radius_at_ratio(DELTA_SLOW_RATIO)**2
        self.very_slow_xy2 = radius_at_ratio(2. * DELTA_SLOW_RATIO)**2
        self.set_reach(min(print_radius, min_arm - radius,
                           radius_at_ratio(4. * DELTA_SLOW_RATIO)))

    def set_reach(self, max_xy):
        self.max_xy = self.print_radius = max_xy
        self.max_xy2 = max_xy**2
        self.rails = [AxisRange('printer', -max_xy, max_xy),
                      AxisRange('printer', -max_xy, max_xy),
                      AxisRange('printer', self.min_z, self.max_z,
                                'minimum_z_position')]
        self.need_home = True

    def set_position(self, newpos, homing_axes):
        if self.homed_indices(homing_axes) == {0, 1, 2}:
            self.need_home = False

    def note_z_not_homed(self):
        self.need_home = True

    def homed_axes(self):
        return '' if self.need_home else 'xyz'

    def home(self, homing_state):
        # All towers home at once, to the top
        homing_state.set_axes([0, 1, 2])
        homing_state.home_at(dict(enumerate(self.home_position)),
                             self.towers)

    def allowed_radius2(self, z):
        """Square of the radius reachable at height z."""
        if z <= self.limit_z:
            return self.max_xy2
        above = z - self.limit_z
        cone = self.radius - math.sqrt(self.min_arm_length**2
                                       - (self.min_arm_length - above)**2)
        return min(self.max_xy2, cone**2)

    def check_move(self, move):
        end_pos = move.end_pos
        end_xy2 = end_pos[0]**2 + end_pos[1]**2
        if self.need_home:
            raise move.move_error("Must home first")
        end_z = end_pos[2]
        if (end_xy2 > self.allowed_radius2(end_z) or end_z > self.max_z
                or end_z < self.min_z):
            # A move back to the top of the towers is allowed
            if (tuple(end_pos[:2]) != tuple(self.home_position[:2])
                    or end_z < self.min_z or end_z > self.home_position[2]):
                raise move.move_error()
        self.limit_speed(move, end_xy2)

    def limit_speed(self, move, end_xy2):
        if move.axes_d[2]:
            self.limit_z_speed(move)
        extreme_xy2 = max(end_xy2,
                          move.start_pos[0]**2 + move.start_pos[1]**2)
        if extreme_xy2 > self.slow_xy2:
            ratio = 0.25 if extreme_xy2 > self.very_slow_xy2 else 0.5
            move.limit_speed(self.max_velocity * ratio,
                             self.max_accel * ratio)

    def get_status(self, eventtime):
        status = Kinematics.get_status(self, eventtime)
        status['cone_start_z'] = self.limit_z
        return status

    def violated_limits(self, position):
        x, y, z = position[:3]
        if z < self.min_z:
            yield 'z', z, "below [printer] minimum_z_position = %g" % (
                self.min_z,)
        elif z > self.max_z:
            yield 'z', z, ("above the lowest tower endstop (position_endstop"
                           " = %g)" % (self.max_z,))
        distance = math.sqrt(x**2 + y**2)
        allowed = math.sqrt(self.allowed_radius2(z))
        if distance > allowed:
            why = "the delta's print radius %.3f" % (self.max_xy,)
            if allowed < self.max_xy:
                why = ("the radius %.3f that a delta reaches at Z %.3f"
                       % (allowed, z))
            yield 'x', x, ("with Y %.3f, %.3f mm from the centre: beyond %s"
                           % (y, distance, why))


def tower_rails(tower_configs):
    # The first tower's endstop is the others' default
    first = Rail(tower_configs[0], need_position_minmax=False)
    return [first] + [Rail(c, need_position_minmax=False,
                           default_position_endstop=first.position_endstop)
                      for c in tower_configs[1:]]


class RotaryArm:
    """One arm of a rotary delta: a shoulder on the platform above the
    bed turns an upper arm in the upright plane at its angle; a lower arm
    joins the elbow to the effector."""

    def __init__(self, shoulder_radius, shoulder_height, angle, upper_arm,
                 lower_arm):
        self.shoulder_radius = shoulder_radius
        self.shoulder_height = shoulder_height
        self.cos = math.cos(math.radians(angle))
        self.sin = math.sin(math.radians(angle))
        self.upper_arm = upper_arm
        self.lower_arm = lower_arm

    def angle_for(self, x, y, z):
        """Upper arm angle (radians) with the effector at x, y, z."""
        # In the arm's plane, from the shoulder: out, up, and the effector's
        # distance from the plane
        out = x * self.cos + y * self.sin - self.shoulder_radius
        up = z - self.shoulder_height
        aside = y * self.cos - x * self.sin
        upper2 = self.upper_arm**2
        lower2 = self.lower_arm**2 - aside**2
        # The elbow lies on both circles: its up = c1 - c2 * out
        c1 = .5 * (out**2 + up**2 + upper2 - lower2) / up
        c2 = out / up
        scale = c2**2 + 1.
        elbow_out = c1 * c2 + math.sqrt(scale * upper2 - c1**2)
        elbow_up = c1 * scale - c2 * elbow_out
        return math.atan2(elbow_up, elbow_out)

    def elbow(self, angle):
        out = self.upper_arm * math.cos(angle) + self.shoulder_radius
        return (out * self.cos, out * self.sin,
                self.upper_arm * math.sin(angle) + self.shoulder_height)


class RotaryDeltaKinematics(DeltaKinematics):
    """A rotary delta: three arms turning on shoulders above the bed home
    together at the top; every move stays within the arms' reach, which
    narrows into a cone near the top."""

    def __init__(self, toolhead, config):
        Kinematics.__init__(self, toolhead, config)
        tower_configs = [config.getsection('stepper_' + a) for a in 'abc']
        self.towers = tower_rails(tower_configs)
        shoulder_radius = config.getfloat('shoulder_radius', above=0.)
        shoulder_height = config.getfloat('shoulder_height', above=0.)
        upper_a = tower_configs[0].getfloat('upper_arm_length', above=0.)
        lower_a = tower_configs[0].getfloat('lower_arm_length', above=0.)
        self.arms = [
            RotaryArm(shoulder_radius, shoulder_height,
                      c.getfloat('angle', angle),
                      c.getfloat('upper_arm_length', upper_a, above=0.),
                      c.getfloat('lower_arm_length', lower_a, above=0.))
            for c, angle in zip(tower_configs, (30., 150., 270.))]
        # Each endstop is the height of the effector over the centre at
        # which that arm's endstop triggers
        elbows = [arm.elbow(arm.angle_for(0., 0., tower.position_endstop))
                  for arm, tower in zip(self.arms, self.towers)]
        self.home_position = effector_position(
            elbows, [arm.lower_arm for arm in self.arms])
        self.max_z = min(t.position_endstop for t in self.towers)
        self.min_z = config.getfloat('minimum_z_position', 0,
                                     maxval=self.max_z)
        self.limit_z = min(elbow[2] - arm.lower_arm
                           for elbow, arm in zip(elbows, self.arms))
        self.set_reach(min(
            [shoulder_radius + arm.upper_arm for arm in self.arms]
            + [arm.lower_arm - shoulder_radius for arm in self.arms]))

    def allowed_radius2(self, z):
        if z <= self.limit_z:
            return self.max_xy2
        return min(self.max_xy2, (self.max_z - z)**2)

    def limit_speed(self, move, end_xy2):
        # Only Z moves are slowed, and only their velocity
        if move.axes_d[2]:
            move.limit_speed(self.max_z_velocity, move.accel)


def effector_position(joints, arms):
    """The point below three joints (a delta's carriage pivots, a rotary
    delta's elbows) at distance arms[i] from each: the nozzle (its offset
    from the joints is in the geometry)."""
    p1, p2, p3 = joints

    def sub(a, b):
        return [a[i] - b[i] for i in range(3)]

    def dot(a, b):
        return sum(a[i] * b[i] for i in range(3))

    def scale(a, f):
        return [v * f for v in a]
    p21, p31 = sub(p2, p1), sub(p3, p1)
    d = math.sqrt(dot(p21, p21))
    ex = scale(p21, 1. / d)
    i = dot(ex, p31)
    ey = sub(p31, scale(ex, i))
    ey = scale(ey, 1. / math.sqrt(dot(ey, ey)))
    ez = [ex[1] * ey[2] - ex[2] * ey[1], ex[2] * ey[0] - ex[0] * ey[2],
          ex[0] * ey[1] - ex[1] * ey[0]]
    j = dot(ey, p31)
    r1, r2, r3 = [arm**2 for arm in arms]
    x = (r1 - r2 + d**2) / (2. * d)
    y = (r1 - r3 - x**2 + (x - i)**2 + j**2) / (2. * j)
    z = -math.sqrt(r1 - x**2 - y**2)
    return tuple(p1[k] + ex[k] * x + ey[k] * y + ez[k] * z for k in range(3))


class PolarKinematics(Kinematics):
    """A round bed turning under an arm: X and Y home together to the
    arm's endstop (at Y 0) and reach as far as the arm's position_max."""

    def __init__(self, toolhead, config):
        Kinematics.__init__(self, toolhead, config)
        config.getsection('stepper_bed')
        config.get_printer().lookup_object(
            'configfile').accept_unmodeled_options('stepper_bed')
        z_config = config.getsection('stepper_z')
        self.z_homes_with_probe = z_homes_with_probe(z_config)
        self.arm = Rail(config.getsection('stepper_arm'))
        self.z_rail = Rail(z_config, not self.z_homes_with_probe)
        max_xy = self.print_radius = self.arm.position_max
        self.max_xy2 = max_xy**2
        self.rails = [AxisRange(self.arm.name, -max_xy, max_xy),
                      AxisRange(self.arm.name, -max_xy, max_xy), self.z_rail]
        self.xy_homed = False
        self.limit_z = (1.0, -1.0)

    def set_position(self, newpos, homing_axes):
        homed = self.homed_indices(homing_axes)
        if 2 in homed:
            self.limit_z = self.z_rail.get_range()
        if 0 in homed and 1 in homed:
            self.xy_homed = True

    def note_z_not_homed(self):
        self.limit_z = (1.0, -1.0)

    def homed_axes(self):
        return (("xy" if self.xy_homed else "")
                + ("z" if self.limit_z[0] <= self.limit_z[1] else ""))

    def home(self, homing_state):
        axes = homing_state.get_axes()
        home_xy = 0 in axes or 1 in axes
        homing_state.set_axes(([0, 1] if home_xy else [])
                              + ([2] if 2 in axes else []))
        if home_xy:
            homing_state.home_rail(0, self.arm, also={1: 0.})
        if 2 in axes:
            if self.z_homes_with_probe:
                homing_state.home_z_with_probe(self.z_rail)
            else:
                homing_state.home_rail(2, self.z_rail)

    def check_move(self, move):
        end_pos = move.end_pos
        if end_pos[0]**2 + end_pos[1]**2 > self.max_xy2 or not self.xy_homed:
            if not self.xy_homed:
                raise move.move_error("Must home axis first")
            raise move.move_error()
        if move.axes_d[2]:
            if end_pos[2] < self.limit_z[0] or end_pos[2] > self.limit_z[1]:
                if self.limit_z[0] > self.limit_z[1]:
                    raise move.move_error("Must home axis first")
                raise move.move_error()
            self.limit_z_speed(move)

    def violated_limits(self, position):
        x, y, z = position[:3]
        distance = math.sqrt(x**2 + y**2)
        if distance > self.arm.position_max:
            yield 'x', x, ("with Y %.3f, %.3f mm from the centre: beyond"
                           " [%s] position_max = %g"
                           % (y, distance, self.arm.name,
                              self.arm.position_max))
        for found in Kinematics.violated_limits(self, [0., 0., z]):
            yield found


class DeltesianKinematics(Kinematics):
    """Two towers carrying X and Z between them on arms, and a cartesian
    Y: X and Z home together to the top, Y on its endstop.  X stays where
    the arms keep their smallest angle (or within print_width), Z below
    the height the towers reach, which falls off towards the sides."""

    def __init__(self, toolhead, config):
        Kinematics.__init__(self, toolhead, config)
        left, right, y_config = [config.getsection('stepper_' + s)
                                 for s in ('left', 'right', 'y')]
        rail_left = Rail(left, need_position_minmax=False)
        self.towers = [rail_left, Rail(
            right, need_position_minmax=False,
            default_position_endstop=rail_left.position_endstop)]
        self.y_rail = Rail(y_config)
        arm_x_left = left.getfloat('arm_x_length', above=0.)
        self.arm_x = arm_x = [arm_x_left, right.getfloat(
            'arm_x_length', arm_x_left, above=0.)]
        arm_left = left.getfloat('arm_length', above=arm_x[0])
        arms = [arm_left, right.getfloat('arm_length', arm_left,
                                         above=arm_x[1])]
        self.arm2 = [a**2 for a in arms]
        cos_angle = math.cos(math.radians(config.getfloat(
            'min_angle', DELTESIAN_MIN_ANGLE, minval=0., maxval=90.)))
        x_min = math.ceil(-min(arm_x[0], cos_angle * arms[1] - arm_x[1]))
        x_max = math.floor(min(arm_x[1], cos_angle * arms[0] - arm_x[0]))
        print_width = config.getfloat(
            'print_width', None, minval=0.,
            maxval=min(x_max - x_min, x_max * 2, -x_min * 2))
        if print_width:
            x_min, x_max = -print_width * 0.5, print_width * 0.5
        # Height of each tower's pivot over Z 0 when it is at its endstop
        self.abs_endstops = [t.position_endstop + math.sqrt(a2 - ax**2)
                             for t, a2, ax in zip(self.towers, self.arm2,
                                                  arm_x)]
        self.home_z = self._nozzle_z_at_endstops()
        z_max = min(self.pillars_z_max(x) for x in (x_min, x_max))
        z_min = config.getfloat('minimum_z_position', 0, maxval=z_max)
        self.rails = [AxisRange('printer', x_min, x_max), self.y_rail,
                      AxisRange('printer', z_min, z_max, 'minimum_z_position')]
        self.homed = [False] * 3

    def _nozzle_z_at_endstops(self):
        # Where two arms from the pivots at their endstops meet
        (ax_left, ax_right), (a2_left, a2_right) = self.arm_x, self.arm2
        dx = ax_left + ax_right
        dz = self.abs_endstops[1] - self.abs_endstops[0]
        pivots = math.sqrt(dx**2 + dz**2)
        along = (pivots**2 + a2_left - a2_right) / (2 * pivots)
        across = math.sqrt(a2_left - along**2)
        return (along * dz / pivots - across * dx / pivots
                + self.abs_endstops[0])

    def pillars_z_max(self, x):
        """Highest Z the towers reach at X."""
        drops = (math.sqrt(self.arm2[0] - (self.arm_x[0] + x)**2),
                 math.sqrt(self.arm2[1] - (self.arm_x[1] - x)**2))
        return min(top - drop for top, drop in zip(self.abs_endstops, drops))

    def set_position(self, newpos, homing_axes):
        for axis in self.homed_indices(homing_axes):
            self.homed[axis] = True

    def note_z_not_homed(self):
        self.homed[2] = False

    def homed_axes(self):
        return "".join(a for a, homed in zip("xyz", self.homed) if homed)

    def home(self, homing_state):
        axes = homing_state.get_axes()
        home_xz = 0 in axes or 2 in axes
        home_y = 1 in axes
        homing_state.set_axes(([0, 2] if home_xz else [])
                              + ([1] if home_y else []))
        if home_xz:
            homing_state.home_at({0: 0., 2: self.home_z}, self.towers)
        if home_y:
            homing_state.home_rail(1, self.y_rail)

    def _z_limit(self, x, z):
        # Above the range's top the limit follows the towers' reach
        if z > self.rails[2].position_max:
            return self.pillars_z_max(x)
        return self.rails[2].position_max

    def check_move(self, move):
        end_pos = move.end_pos
        homing_move = (end_pos[0] == 0. and end_pos[2] == self.home_z
                       and not move.axes_d[1])
        for axis in (0, 1, 2):
            if not move.axes_d[axis]:
                continue
            if not self.homed[axis]:
                raise move.move_error("Must home axis first")
            low, high = self.rails[axis].get_range()
            if axis == 2:
                high = self._z_limit(end_pos[0], end_pos[2])
            if ((end_pos[axis] < low or end_pos[axis] > high)
                    and not homing_move):
                raise move.move_error()
        if move.axes_d[2]:
            self.limit_z_speed(move)

    def violated_limits(self, position):
        x, y, z = position[:3]
        x_min, x_max = self.rails[0].get_range()
        if not x_min <= x <= x_max:
            yield 'x', x, ("outside the X range %g to %g that the arms reach"
                           " ([printer] print_width or min_angle)"
                           % (x_min, x_max))
        # Y is a cartesian axis of its own
        for found in Kinematics.violated_limits(self, [x_min, y, z]):
            if found[0] == 'y':
                yield found
        z_min = self.rails[2].position_min
        if z < z_min:
            yield 'z', z, "below [printer] minimum_z_position = %g" % (z_min,)
        elif z > self._z_limit(x, z):
            yield 'z', z, ("above %.3f, the highest the towers reach at X %.3f"
                           % (self._z_limit(x, z), x))


def load_kinematics(toolhead, config):
    name = config.get('kinematics')
    if name in CARTESIAN_LIKE_KINEMATICS:
        if name == 'generic_cartesian':
            axis_configs = carriage_configs(config)
        else:
            axis_configs = [config.getsection('stepper_' + a) for a in 'xyz']
        return CartKinematics(toolhead, config, axis_configs)
    if name == 'delta':
        return DeltaKinematics(toolhead, config)
    if name == 'polar':
        return PolarKinematics(toolhead, config)
    if name == 'deltesian':
        return DeltesianKinematics(toolhead, config)
    if name == 'rotary_delta':
        return RotaryDeltaKinematics(toolhead, config)
    if name in UNSIMULATED_KINEMATICS:
        raise config.error(
            "kinematics: %s in section 'printer' is not simulated (%s). The"
            " simulated printer has %s, delta, rotary_delta, deltesian and"
            " polar kinematics"
            % (name, UNSIMULATED_KINEMATICS[name],
               ", ".join(CARTESIAN_LIKE_KINEMATICS)))
    raise config.error("Error loading kinematics '%s'" % (name,))
