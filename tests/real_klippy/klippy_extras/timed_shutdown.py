# A shutdown from a timer, as a driver's or a sensor's check makes one
#
# [timed_shutdown]
# delay: <seconds after klippy is ready>
# reason: <the shutdown's reason>


class TimedShutdown:
    def __init__(self, config):
        self.printer = config.get_printer()
        self.delay = config.getfloat("delay", above=0.)
        self.reason = config.get("reason")
        self.printer.register_event_handler("klippy:ready", self.ready)

    def ready(self):
        reactor = self.printer.get_reactor()
        reactor.register_timer(self.shut_down, reactor.monotonic() + self.delay)

    def shut_down(self, eventtime):
        self.printer.invoke_shutdown(self.reason)
        return self.printer.get_reactor().NEVER


def load_config(config):
    return TimedShutdown(config)
