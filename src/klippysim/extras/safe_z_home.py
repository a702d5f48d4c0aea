# G28 that homes Z at a fixed XY position, with an optional Z hop first


def has_z_endstop_section(config):
    # [stepper_z], or the Z carriage of generic_cartesian kinematics
    if config.has_section('stepper_z'):
        return True
    return any(carriage.get('axis', carriage.get_name().split()[-1],
                            note_valid=False) == 'z'
               for carriage in config.get_prefix_sections('carriage '))


class SafeZHoming:
    def __init__(self, config):
        self.printer = config.get_printer()
        x_pos, y_pos = config.getfloatlist("home_xy_position", count=2)
        self.home_x_pos, self.home_y_pos = x_pos, y_pos
        self.z_hop = config.getfloat("z_hop", default=0.0)
        self.z_hop_speed = config.getfloat('z_hop_speed', 15., above=0.)
        if not has_z_endstop_section(config):
            raise config.error('Missing Z endstop config for safe_z_homing')
        self.speed = config.getfloat('speed', 50.0, above=0.)
        self.move_to_previous = config.getboolean('move_to_previous', False)
        self.printer.load_object(config, 'homing')
        self.gcode = self.printer.lookup_object('gcode')
        self.prev_G28 = self.gcode.register_command("G28", None)
        self.gcode.register_command("G28", self.cmd_G28)
        if config.has_section("homing_override"):
            raise config.error("homing_override and safe_z_homing cannot"
                               " be used simultaneously")

    def cmd_G28(self, gcmd):
        toolhead = self.printer.lookup_object('toolhead')
        kin = toolhead.get_kinematics()
        if self.z_hop != 0.0:
            curtime = self.printer.get_reactor().monotonic()
            kin_status = kin.get_status(curtime)
            pos = toolhead.get_position()
            if 'z' not in kin_status['homed_axes']:
                # Always hop when Z is not homed: declare Z 0 and lift
                pos[2] = 0
                generation = self.printer.host_generation
                toolhead.set_position(pos,
                                      homing_axes=generation.homing_axes("z"))
                toolhead.manual_move([None, None, self.z_hop],
                                     self.z_hop_speed)
                kin.note_z_not_homed()
            elif pos[2] < self.z_hop:
                toolhead.manual_move([None, None, self.z_hop],
                                     self.z_hop_speed)
        need_x, need_y, need_z = [gcmd.get(axis, None) is not None
                                  for axis in "XYZ"]
        if not need_x and not need_y and not need_z:
            need_x = need_y = need_z = True
        new_params = {}
        if need_x:
            new_params['X'] = '0'
        if need_y:
            new_params['Y'] = '0'
        if new_params:
            g28_gcmd = self.gcode.create_gcode_command("G28", "G28",
                                                       new_params)
            self.prev_G28(g28_gcmd)
        if need_z:
            curtime = self.printer.get_reactor().monotonic()
            kin_status = kin.get_status(curtime)
            if ('x' not in kin_status['homed_axes'] or
                    'y' not in kin_status['homed_axes']):
                raise gcmd.error("Must home X and Y axes first")
            prevpos = toolhead.get_position()
            toolhead.manual_move([self.home_x_pos, self.home_y_pos],
                                 self.speed)
            g28_gcmd = self.gcode.create_gcode_command("G28", "G28",
                                                       {'Z': '0'})
            self.prev_G28(g28_gcmd)
            if self.z_hop:
                pos = toolhead.get_position()
                if pos[2] < self.z_hop:
                    toolhead.manual_move([None, None, self.z_hop],
                                         self.z_hop_speed)
            if self.move_to_previous:
                toolhead.manual_move(prevpos[:2], self.speed)


def load_config(config):
    return SafeZHoming(config)
