# The [extruder]: its heater, M104/M109, and klippy's checks on moves
# that extrude
import math


class PrinterExtruder:
    def __init__(self, config):
        self.printer = config.get_printer()
        self.name = config.get_name()
        pheaters = self.printer.load_object(config, 'heaters')
        self.heater = pheaters.setup_heater(config, 'T0')
        self.nozzle_diameter = config.getfloat('nozzle_diameter', above=0.)
        filament_diameter = config.getfloat(
            'filament_diameter', minval=self.nozzle_diameter)
        filament_area = math.pi * (filament_diameter * .5)**2
        def_max_extrude_ratio = 4. * self.nozzle_diameter**2 / filament_area
        toolhead = self.printer.lookup_object('toolhead')
        max_velocity, max_accel = toolhead.get_max_velocity()
        self.max_e_velocity = config.getfloat(
            'max_extrude_only_velocity', max_velocity * def_max_extrude_ratio,
            above=0.)
        self.max_e_accel = config.getfloat(
            'max_extrude_only_accel', max_accel * def_max_extrude_ratio,
            above=0.)
        self.max_e_dist = config.getfloat('max_extrude_only_distance', 50.,
                                          minval=0.)
        toolhead.set_extruder(self, 0.)
        gcode = self.printer.lookup_object('gcode')
        gcode.register_command("M104", self.cmd_M104)
        gcode.register_command("M109", self.cmd_M109)

    def get_heater(self):
        return self.heater

    def get_status(self, eventtime):
        return self.heater.get_status(eventtime)

    def check_move(self, move):
        axis_r = move.axes_r[3]
        if not self.heater.can_extrude:
            raise self.printer.command_error(
                "Extrude below minimum temp\n"
                "See the 'min_extrude_temp' config option for details")
        if (not move.axes_d[0] and not move.axes_d[1]) or axis_r < 0.:
            # Extrude only move (or retraction move)
            if abs(move.axes_d[3]) > self.max_e_dist:
                raise self.printer.command_error(
                    "Extrude only move too long (%.3fmm vs %.3fmm)\n"
                    "See the 'max_extrude_only_distance' config"
                    " option for details" % (move.axes_d[3], self.max_e_dist))
            inv_extrude_r = 1. / abs(axis_r)
            move.limit_speed(self.max_e_velocity * inv_extrude_r,
                             self.max_e_accel * inv_extrude_r)

    def cmd_M104(self, gcmd, wait=False):
        # Set Extruder Temperature
        temp = gcmd.get_float('S', 0.)
        index = gcmd.get_int('T', None, minval=0)
        if index is not None:
            section = 'extruder'
            if index:
                section = 'extruder%d' % (index,)
            extruder = self.printer.lookup_object(section, None)
            if extruder is None:
                if temp <= 0.:
                    return
                raise gcmd.error("Extruder not configured")
        else:
            extruder = self.printer.lookup_object('toolhead').get_extruder()
        pheaters = self.printer.lookup_object('heaters')
        pheaters.set_temperature(extruder.get_heater(), temp, wait)

    def cmd_M109(self, gcmd):
        # Set Extruder Temperature and Wait
        self.cmd_M104(gcmd, wait=True)


def add_printer_objects(config):
    if config.has_section('extruder'):
        printer = config.get_printer()
        printer.add_object('extruder',
                           PrinterExtruder(config.getsection('extruder')))
