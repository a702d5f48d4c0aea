# G28 homing
#
# X and Y end exactly at their position_endstop.  Z homes either on its
# endstop (afterwards the toolhead Z equals the physical nozzle height) or,
# with "endstop_pin: probe:z_virtual_endstop", on the bed probe: the
# toolhead descends until the probe triggers over the bed, and that height
# becomes the probe's z_offset; then a retract and a slower second approach.


class Homing:
    def __init__(self, printer, axes):
        self.printer = printer
        self.axes = axes

    def get_axes(self):
        return self.axes


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
        for axis in axes:
            if axis == 2 and kin.z_homes_with_probe:
                self._home_z_with_probe(toolhead)
            else:
                self._home_on_endstop(toolhead, axis)
        self.printer.trace.add('homing', axes=list(axes),
                               position=toolhead.get_position())
        self.printer.send_event("homing:home_rails_end",
                                Homing(self.printer, axes),
                                [kin.rails[a] for a in axes])

    def _approach(self, toolhead, axis, target_pos, speed):
        # A homing move may start or end outside the axis range (the axis
        # is not homed yet), so the range check is widened for this move
        kin = toolhead.get_kinematics()
        start = toolhead.get_position()[axis]
        saved_limits = kin.limits[axis]
        kin.limits[axis] = (min(start, target_pos[axis]),
                            max(start, target_pos[axis]))
        try:
            toolhead.move(target_pos, speed)
        finally:
            kin.limits[axis] = saved_limits
        toolhead.wait_moves()

    def _homing_axes(self, letters):
        return self.printer.host_generation.homing_axes(letters)

    def _home_on_endstop(self, toolhead, axis):
        rail = toolhead.get_kinematics().rails[axis]
        pos = toolhead.get_position()
        if axis == 2:
            # The Z endstop triggers where the toolhead Z of a nozzle-height
            # frame equals position_endstop
            pos[2] = rail.position_endstop + self.printer.sim.z_zero
        else:
            pos[axis] = rail.position_endstop
        self._approach(toolhead, axis, pos, rail.homing_speed)
        pos[axis] = rail.position_endstop
        toolhead.set_position(pos,
                              homing_axes=self._homing_axes("xyz"[axis]))

    def _home_z_with_probe(self, toolhead):
        probe = self.printer.lookup_object('probe')
        rail = toolhead.get_kinematics().rails[2]
        endstop = probe.get_offsets()[2]
        # Like klippy, take Z as homed far above the bed so that the
        # approach is a downward move
        pos = toolhead.get_position()
        pos[2] = endstop + 1.5 * (rail.position_max - endstop)
        toolhead.set_position(pos, homing_axes=self._homing_axes("z"))
        self._probe_down(toolhead, probe, endstop, endstop, rail.homing_speed)
        if rail.homing_retract_dist:
            pos = toolhead.get_position()
            pos[2] += rail.homing_retract_dist
            toolhead.move(pos, rail.homing_retract_speed)
            toolhead.wait_moves()
            self._probe_down(toolhead, probe, endstop,
                             endstop - rail.homing_retract_dist,
                             rail.second_homing_speed)

    def _probe_down(self, toolhead, probe, endstop, lowest_z, speed):
        sim = self.printer.sim
        pos = toolhead.get_position()
        x_offset, y_offset = probe.get_offsets()[:2]
        trigger_z = (sim.probe_trigger_z(pos[0] + x_offset, pos[1] + y_offset)
                     + sim.probe_sample_noise())
        if trigger_z >= pos[2]:
            raise self.printer.command_error(
                "Probe triggered prior to movement")
        if trigger_z < lowest_z:
            pos[2] = lowest_z
            self._approach(toolhead, 2, pos, speed)
            raise self.printer.command_error(
                "No trigger on probe after full movement")
        pos[2] = trigger_z
        self._approach(toolhead, 2, pos, speed)
        pos[2] = endstop
        toolhead.set_position(pos, homing_axes=self._homing_axes("z"))


def load_config(config):
    return PrinterHoming(config)
