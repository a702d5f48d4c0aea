# Toolhead on virtual time
#
# Moves are checked against the axis limits exactly as klippy checks them
# and take the time of a trapezoidal velocity profile from rest to rest.
# There is no look-ahead: each move starts where the previous one ended.
import math

from . import kinematics


class Move:
    def __init__(self, toolhead, start_pos, end_pos, speed):
        self.toolhead = toolhead
        self.start_pos = tuple(start_pos)
        self.end_pos = tuple(end_pos)
        self.accel = toolhead.max_accel
        velocity = min(speed, toolhead.max_velocity)
        self.is_kinematic_move = True
        self.axes_d = axes_d = [end_pos[i] - start_pos[i] for i in range(4)]
        self.move_d = move_d = math.sqrt(sum([d*d for d in axes_d[:3]]))
        if move_d < .000000001:
            # Extrude only move
            self.end_pos = (start_pos[0], start_pos[1], start_pos[2],
                            end_pos[3])
            axes_d[0] = axes_d[1] = axes_d[2] = 0.
            self.move_d = move_d = abs(axes_d[3])
            inv_move_d = 0.
            if move_d:
                inv_move_d = 1. / move_d
            self.accel = 99999999.9
            velocity = speed
            self.is_kinematic_move = False
        else:
            inv_move_d = 1. / move_d
        self.axes_r = [d * inv_move_d for d in axes_d]
        self.velocity = velocity

    def limit_speed(self, speed, accel):
        self.velocity = min(self.velocity, speed)
        self.accel = min(self.accel, accel)

    def move_error(self, msg="Move out of range"):
        ep = self.end_pos
        m = "%s: %.3f %.3f %.3f [%.3f]" % (msg, ep[0], ep[1], ep[2], ep[3])
        return self.toolhead.printer.command_error(m)

    def duration(self):
        # Accelerate from rest and decelerate to rest; a short move never
        # reaches its cruise velocity
        v, a, d = self.velocity, self.accel, self.move_d
        if d >= v * v / a:
            return d / v + v / a
        return 2. * math.sqrt(d / a)


class DummyExtruder:
    def check_move(self, move):
        raise move.move_error("Extrude when no extruder present")


class ToolHead:
    def __init__(self, config):
        self.printer = config.get_printer()
        self.reactor = self.printer.get_reactor()
        self.commanded_pos = [0., 0., 0., 0.]
        self.max_velocity = config.getfloat('max_velocity', above=0.)
        self.max_accel = config.getfloat('max_accel', above=0.)
        # Virtual time at which the last queued move ends
        self.print_time = 0.
        self.can_pause = True
        self.extruder = DummyExtruder()
        self.kin = kinematics.load_kinematics(self, config)
        self.printer.lookup_object('configfile').accept_unmodeled_options(
            'printer')
        gcode = self.printer.lookup_object('gcode')
        gcode.register_command('G4', self.cmd_G4)
        gcode.register_command('M400', self.cmd_M400)
        self.printer.register_event_handler("klippy:shutdown",
                                            self._handle_shutdown)
        for module_name in ["gcode_move", "homing"]:
            self.printer.load_object(config, module_name)

    def _handle_shutdown(self):
        self.can_pause = False

    def get_max_velocity(self):
        return self.max_velocity, self.max_accel

    def get_kinematics(self):
        return self.kin

    def get_extruder(self):
        return self.extruder

    def set_extruder(self, extruder, extrude_pos):
        self.extruder = extruder
        self.commanded_pos[3] = extrude_pos

    # Position
    def get_position(self):
        return list(self.commanded_pos)

    def set_position(self, newpos, homing_axes=()):
        # The nozzle stays where it is; only its coordinates change
        self.printer.sim.shift_frame(newpos[2] - self.commanded_pos[2])
        if self.printer.host_generation.position_xyz_only:
            self.commanded_pos[:3] = newpos[:3]
        else:
            self.commanded_pos[:] = newpos
        self.kin.set_position(newpos, homing_axes)
        self.printer.trace.add('set_position', position=list(newpos),
                               homing_axes=list(homing_axes))
        self.printer.send_event("toolhead:set_position")

    # Movement
    def move(self, newpos, speed):
        # klippy takes a NaN or infinite coordinate without complaint; the
        # trace keeps every one, so that a test can tell none was sent
        if not all(math.isfinite(c) for c in newpos):
            self.printer.trace.add('non_finite_coordinate', line=None,
                                   position=list(newpos))
        move = Move(self, self.commanded_pos, newpos, speed)
        if not move.move_d:
            return
        if move.is_kinematic_move:
            self.kin.check_move(move)
        if move.axes_d[3]:
            self.extruder.check_move(move)
        self._queue(move)

    def homing_move(self, newpos, speed):
        # Homing and probing moves run past the range checks, as klippy's
        # do, and their speed is only held to the Z limits
        move = Move(self, self.commanded_pos, newpos, speed)
        if not move.move_d:
            return
        if move.axes_d[2]:
            self.kin.limit_z_speed(move)
        self._queue(move)

    def _queue(self, move):
        self.commanded_pos[:] = move.end_pos
        start_time = max(self.print_time, self.reactor.monotonic())
        self.print_time = start_time + move.duration()
        sim = self.printer.sim
        self.printer.trace.add(
            'move', start=list(move.start_pos), end=list(move.end_pos),
            speed=move.velocity, start_time=start_time,
            end_time=self.print_time, gap=sim.nozzle_gap(move.end_pos))

    def manual_move(self, coord, speed):
        curpos = list(self.commanded_pos)
        for i in range(len(coord)):
            if coord[i] is not None:
                curpos[i] = coord[i]
        self.move(curpos, speed)
        self.printer.send_event("toolhead:manual_move")

    def dwell(self, delay):
        self.print_time = max(self.print_time,
                              self.reactor.monotonic()) + max(0., delay)

    def wait_moves(self):
        # Suspends the calling command until the queued moves are done
        while self.can_pause and self.reactor.monotonic() < self.print_time:
            self.reactor.pause(self.print_time)

    def get_last_move_time(self):
        return max(self.print_time, self.reactor.monotonic())

    def get_status(self, eventtime):
        status = self.kin.get_status(eventtime)
        status.update({'position': self.printer.lookup_object(
                           'gcode').Coord(*self.commanded_pos),
                       'max_velocity': self.max_velocity,
                       'max_accel': self.max_accel,
                       'print_time': self.print_time})
        return status

    def cmd_G4(self, gcmd):
        # Dwell
        delay = gcmd.get_float('P', 0., minval=0.) / 1000.
        self.dwell(delay)

    def cmd_M400(self, gcmd):
        # Wait for current moves to finish
        self.wait_moves()


class LetterAxesToolHead(ToolHead):
    """The toolhead of newer hosts, whose set_position takes the homed
    axes as letters."""

    def set_position(self, newpos, homing_axes=""):
        ToolHead.set_position(self, newpos, homing_axes)


def add_printer_objects(config):
    printer = config.get_printer()
    toolhead_class = ToolHead
    if printer.host_generation.homing_axes_letters:
        toolhead_class = LetterAxesToolHead
    printer.add_object('toolhead', toolhead_class(config))
