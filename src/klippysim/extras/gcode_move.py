# G-code coordinate handling: G1/G0, G90/G91, M82/M83, G92 and the G-code
# offsets of SET_GCODE_OFFSET, as klippy does it


class GCodeMove:
    def __init__(self, config):
        self.printer = printer = config.get_printer()
        printer.register_event_handler("klippy:ready", self._handle_ready)
        printer.register_event_handler("klippy:shutdown",
                                       self._handle_shutdown)
        # Any direct toolhead positioning invalidates the G-code position
        for event in ["toolhead:set_position", "toolhead:manual_move",
                      "gcode:command_error"]:
            printer.register_event_handler(event, self.reset_last_position)
        printer.register_event_handler("homing:home_rails_end",
                                       self._handle_home_rails_end)
        self.is_printer_ready = False
        gcode = printer.lookup_object('gcode')
        for cmd in ['G1', 'G20', 'G21', 'M82', 'M83', 'G90', 'G91', 'G92',
                    'M220', 'M221', 'SET_GCODE_OFFSET']:
            func = getattr(self, 'cmd_' + cmd)
            desc = getattr(self, 'cmd_' + cmd + '_help', None)
            gcode.register_command(cmd, func, False, desc)
        gcode.register_command('G0', self.cmd_G1)
        gcode.register_command('M114', self.cmd_M114, True)
        self.Coord = gcode.Coord
        self.absolute_coord = self.absolute_extrude = True
        self.base_position = [0.0, 0.0, 0.0, 0.0]
        self.last_position = [0.0, 0.0, 0.0, 0.0]
        # Entry 2 is the G-code Z offset
        self.homing_position = [0.0, 0.0, 0.0, 0.0]
        self.speed = 25.
        self.speed_factor = 1. / 60.
        self.extrude_factor = 1.
        self.move_transform = self.move_with_transform = None
        self.position_with_transform = (lambda: [0., 0., 0., 0.])

    def _handle_ready(self):
        self.is_printer_ready = True
        if self.move_transform is None:
            toolhead = self.printer.lookup_object('toolhead')
            self.move_with_transform = toolhead.move
            self.position_with_transform = toolhead.get_position
        self.reset_last_position()

    def _handle_shutdown(self):
        self.is_printer_ready = False

    def _handle_home_rails_end(self, homing_state, rails):
        self.reset_last_position()
        for axis in homing_state.get_axes():
            self.base_position[axis] = self.homing_position[axis]

    def set_move_transform(self, transform, force=False):
        if self.move_transform is not None and not force:
            raise self.printer.config_error(
                "G-Code move transform already specified")
        old_transform = self.move_transform
        if old_transform is None:
            old_transform = self.printer.lookup_object('toolhead', None)
        self.move_transform = transform
        self.move_with_transform = transform.move
        self.position_with_transform = transform.get_position
        return old_transform

    def _get_gcode_position(self):
        p = [lp - bp for lp, bp in zip(self.last_position, self.base_position)]
        p[3] /= self.extrude_factor
        return p

    def _get_gcode_speed(self):
        return self.speed / self.speed_factor

    def get_status(self, eventtime=None):
        move_position = self._get_gcode_position()
        return {
            'speed_factor': self.speed_factor * 60.,
            'speed': self._get_gcode_speed(),
            'extrude_factor': self.extrude_factor,
            'absolute_coordinates': self.absolute_coord,
            'absolute_extrude': self.absolute_extrude,
            'homing_origin': self.Coord(*self.homing_position),
            'position': self.Coord(*self.last_position),
            'gcode_position': self.Coord(*move_position),
        }

    def reset_last_position(self):
        if self.is_printer_ready:
            self.last_position = self.position_with_transform()

    # G-code movement commands
    def cmd_G1(self, gcmd):
        params = gcmd.get_command_parameters()
        # klippy's parser reads "Znan" or "Xinf" as a parameter of that whole
        # name, so the move silently keeps its old coordinate; the trace
        # keeps every such word
        for name in params:
            if name[:1] in 'XYZEF' and name[1:] in ('NAN', 'INF'):
                self.printer.trace.add('non_finite_coordinate',
                                       line=gcmd.get_commandline(),
                                       position=None)
        try:
            for pos, axis in enumerate('XYZ'):
                if axis in params:
                    v = float(params[axis])
                    if not self.absolute_coord:
                        # Relative to the position of the last move
                        self.last_position[pos] += v
                    else:
                        # Relative to the base coordinate position
                        self.last_position[pos] = v + self.base_position[pos]
            if 'E' in params:
                v = float(params['E']) * self.extrude_factor
                if not self.absolute_coord or not self.absolute_extrude:
                    self.last_position[3] += v
                else:
                    self.last_position[3] = v + self.base_position[3]
            if 'F' in params:
                gcode_speed = float(params['F'])
                if gcode_speed <= 0.:
                    raise gcmd.error("Invalid speed in '%s'"
                                     % (gcmd.get_commandline(),))
                self.speed = gcode_speed * self.speed_factor
        except ValueError:
            raise gcmd.error("Unable to parse move '%s'"
                             % (gcmd.get_commandline(),))
        self.move_with_transform(self.last_position, self.speed)

    def cmd_G20(self, gcmd):
        raise gcmd.error('Machine does not support G20 (inches) command')

    def cmd_G21(self, gcmd):
        pass

    def cmd_M82(self, gcmd):
        self.absolute_extrude = True

    def cmd_M83(self, gcmd):
        self.absolute_extrude = False

    def cmd_G90(self, gcmd):
        self.absolute_coord = True

    def cmd_G91(self, gcmd):
        self.absolute_coord = False

    def cmd_G92(self, gcmd):
        offsets = [gcmd.get_float(a, None) for a in 'XYZE']
        for i, offset in enumerate(offsets):
            if offset is not None:
                if i == 3:
                    offset *= self.extrude_factor
                self.base_position[i] = self.last_position[i] - offset
        if offsets == [None, None, None, None]:
            self.base_position = list(self.last_position)

    def cmd_M114(self, gcmd):
        p = self._get_gcode_position()
        gcmd.respond_raw("X:%.3f Y:%.3f Z:%.3f E:%.3f" % tuple(p))

    def cmd_M220(self, gcmd):
        value = gcmd.get_float('S', 100., above=0.) / (60. * 100.)
        self.speed = self._get_gcode_speed() * value
        self.speed_factor = value

    def cmd_M221(self, gcmd):
        new_extrude_factor = gcmd.get_float('S', 100., above=0.) / 100.
        last_e_pos = self.last_position[3]
        e_value = (last_e_pos - self.base_position[3]) / self.extrude_factor
        self.base_position[3] = last_e_pos - e_value * new_extrude_factor
        self.extrude_factor = new_extrude_factor

    cmd_SET_GCODE_OFFSET_help = "Set a virtual offset to g-code positions"

    def cmd_SET_GCODE_OFFSET(self, gcmd):
        move_delta = [0., 0., 0., 0.]
        for pos, axis in enumerate('XYZE'):
            offset = gcmd.get_float(axis, None)
            if offset is None:
                offset = gcmd.get_float(axis + '_ADJUST', None)
                if offset is None:
                    continue
                offset += self.homing_position[pos]
            delta = offset - self.homing_position[pos]
            move_delta[pos] = delta
            self.base_position[pos] += delta
            self.homing_position[pos] = offset
        self.printer.trace.add('gcode_offset',
                               homing_position=list(self.homing_position))
        # MOVE=1 moves the toolhead by the change at once
        if gcmd.get_int('MOVE', 0):
            speed = gcmd.get_float('MOVE_SPEED', self.speed, above=0.)
            for pos, delta in enumerate(move_delta):
                self.last_position[pos] += delta
            self.move_with_transform(self.last_position, speed)


def load_config(config):
    return GCodeMove(config)
