# A small extras module standing in for a module under test: it reads a
# few options and offers commands that exercise the host's behaviour
import greenlet


class Dummy:
    def __init__(self, config):
        self.printer = config.get_printer()
        self.reactor = self.printer.get_reactor()
        self.value = config.getfloat('value', 1., minval=0., maxval=10.)
        self.pair = config.getfloatlist('pair', (0., 0.), count=2)
        self.flag = config.getboolean('flag', False)
        self.stage = 0
        self.gcode = self.printer.lookup_object('gcode')
        for name in ['DUMMY_WAIT', 'DUMMY_FAIL', 'DUMMY_CRASH',
                     'DUMMY_SWALLOW_EXIT', 'DUMMY_MEASURE']:
            self.gcode.register_command(name, getattr(self, 'cmd_' + name),
                                        desc="dummy")

    def get_status(self, eventtime):
        return {'value': self.value, 'stage': self.stage}

    def cmd_DUMMY_WAIT(self, gcmd):
        seconds = gcmd.get_float('SECONDS', 1., minval=0.)
        self.stage = 1
        self.reactor.pause(self.reactor.monotonic() + seconds)
        self.stage = 2
        gcmd.respond_info("waited %.1f" % (seconds,))

    def cmd_DUMMY_FAIL(self, gcmd):
        raise gcmd.error("dummy failure")

    def cmd_DUMMY_CRASH(self, gcmd):
        return 1 / 0

    def cmd_DUMMY_SWALLOW_EXIT(self, gcmd):
        # Misbehaves on purpose: keeps going after the host restart
        try:
            self.reactor.pause(self.reactor.monotonic() + 100.)
        except greenlet.GreenletExit:
            pass
        gcmd.respond_info("still running")

    def cmd_DUMMY_MEASURE(self, gcmd):
        # Probe offset at X, Y: bed probe height minus nozzle contact height
        x, y = gcmd.get_float('X'), gcmd.get_float('Y')
        probe = self.printer.lookup_object('probe')
        tensink = self.printer.lookup_object('tensink_v2')
        self.gcode.run_script_from_command(
            "G1 F6000 X%.3f Y%.3f Z8" % (x - probe.x_offset,
                                         y - probe.y_offset))
        self.printer.lookup_object('toolhead').wait_moves()
        probe_z = probe.run_probe(gcmd)[2]
        tensink.move([x, y, 3., 0.], 100)
        contact_z = tensink.run_step_tensink(25., 0, False, 3, 3, True)
        gcmd.respond_info("measured offset %.4f" % (probe_z - contact_z,))


def load_config(config):
    return Dummy(config)
