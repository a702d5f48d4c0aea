# Part cooling fan: M106 and M107 set its speed, which is recorded


class PrinterFan:
    def __init__(self, config):
        self.printer = config.get_printer()
        self.max_power = config.getfloat('max_power', 1., above=0., maxval=1.)
        self.printer.lookup_object('configfile').accept_unmodeled_options(
            config.get_name())
        self.speed = 0.
        gcode = self.printer.lookup_object('gcode')
        gcode.register_command("M106", self.cmd_M106)
        gcode.register_command("M107", self.cmd_M107)

    def set_speed(self, value):
        self.speed = max(0., min(1., value))
        self.printer.trace.add('fan', speed=self.speed,
                               power=self.speed * self.max_power)

    def get_status(self, eventtime):
        return {'speed': self.speed}

    def cmd_M106(self, gcmd):
        # Set fan speed
        value = gcmd.get_float('S', 255., minval=0.) / 255.
        self.set_speed(value)

    def cmd_M107(self, gcmd):
        # Turn fan off
        self.set_speed(0.)


def load_config(config):
    return PrinterFan(config)
