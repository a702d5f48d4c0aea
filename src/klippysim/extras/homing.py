# G28 homing
#
# The kinematics decides which axes home together and where (a delta's
# towers all at once, at the top).  X and Y end exactly at their
# position_endstop.  Z homes either on its endstop (afterwards the toolhead
# Z equals the physical nozzle height) or, with "endstop_pin:
# probe:z_virtual_endstop", on the bed probe: the toolhead descends until
# the probe triggers over the bed, and that height becomes the probe's
# z_offset; then a retract and a slower second approach.


class Homing:
    """One G28: the axes it homes, and the homing moves the kinematics asks
    for (see the kinematics' home())."""

    def __init__(self, printer, toolhead, axes):
        self.printer = printer
        self.toolhead = toolhead
        self.axes = axes

    def get_axes(self):
        return self.axes

    def set_axes(self, axes):
        self.axes = axes

    def _homing_axes(self, letters):
        return self.printer.host_generation.homing_axes(letters)

    def _approach(self, target_pos, speed):
        self.toolhead.homing_move(target_pos, speed)
        self.toolhead.wait_moves()

    def home_rail(self, axis, rail, also=None):
        """Home one axis on its endstop; `also` ({axis: position}) sets
        axes that home with it (a polar arm homes at Y 0)."""
        pos = self.toolhead.get_position()
        letters = "xyz"[axis]
        for other, position in sorted((also or {}).items()):
            pos[other] = position
            letters += "xyz"[other]
        if axis == 2:
            # The Z endstop triggers where the toolhead Z of a nozzle-height
            # frame equals position_endstop
            pos[2] = rail.position_endstop + self.printer.sim.z_zero
        else:
            pos[axis] = rail.position_endstop
        self._approach(pos, rail.homing_speed)
        pos[axis] = rail.position_endstop
        self.toolhead.set_position(
            pos, homing_axes=self._homing_axes("".join(sorted(letters))))

    def home_at(self, coords, rails):
        """Home the axes of `coords` ({axis: position}) at once, where the
        rails' endstops put them (a delta's towers at the top)."""
        pos = self.toolhead.get_position()
        for axis, position in coords.items():
            pos[axis] = position
        if 2 in coords:
            pos[2] = coords[2] + self.printer.sim.z_zero
        self._approach(pos, min(rail.homing_speed for rail in rails))
        if 2 in coords:
            pos[2] = coords[2]
        self.toolhead.set_position(pos, homing_axes=self._homing_axes(
            "".join("xyz"[axis] for axis in sorted(coords))))

    def home_z_with_probe(self, rail):
        probe = self.printer.lookup_object('probe')
        endstop = probe.get_offsets()[2]
        # Like klippy, take Z as homed far above the bed so that the
        # approach is a downward move
        pos = self.toolhead.get_position()
        pos[2] = endstop + 1.5 * (rail.position_max - endstop)
        self.toolhead.set_position(pos, homing_axes=self._homing_axes("z"))
        self._probe_down(probe, endstop, endstop, rail.homing_speed)
        if rail.homing_retract_dist:
            pos = self.toolhead.get_position()
            pos[2] += rail.homing_retract_dist
            self._approach(pos, rail.homing_retract_speed)
            self._probe_down(probe, endstop,
                             endstop - rail.homing_retract_dist,
                             rail.second_homing_speed)

    def _probe_down(self, probe, endstop, lowest_z, speed):
        sim = self.printer.sim
        pos = self.toolhead.get_position()
        x_offset, y_offset = probe.get_offsets()[:2]
        trigger_z = (sim.probe_trigger_z(pos[0] + x_offset, pos[1] + y_offset)
                     + sim.probe_sample_noise())
        if trigger_z >= pos[2]:
            raise self.printer.command_error(
                "Probe triggered prior to movement")
        if trigger_z < lowest_z:
            pos[2] = lowest_z
            self._approach(pos, speed)
            raise self.printer.command_error(
                "No trigger on probe after full movement")
        pos[2] = trigger_z
        self._approach(pos, speed)
        pos[2] = endstop
        self.toolhead.set_position(pos, homing_axes=self._homing_axes("z"))


class PrinterHoming:
    def __init__(self, config):
        self.printer = config.get_printer()
        gcode = self.printer.lookup_object('gcode')
        gcode.register_command('G28', self.cmd_G28)

    def cmd_G28(self, gcmd):
        axes = []
        for pos, axis in enumerate('XYZ'):
            if gcmd.get(axis, None) is not None:
                axes.append(pos)
        if not axes:
            axes = [0, 1, 2]
        toolhead = self.printer.lookup_object('toolhead')
        kin = toolhead.get_kinematics()
        toolhead.wait_moves()
        homing = Homing(self.printer, toolhead, axes)
        kin.home(homing)
        axes = homing.get_axes()
        self.printer.trace.add('homing', axes=list(axes),
                               position=toolhead.get_position())
        self.printer.send_event("homing:home_rails_end", homing,
                                [kin.rails[a] for a in axes])


def load_config(config):
    return PrinterHoming(config)
