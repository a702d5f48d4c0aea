# Temperature readings for klippy's batch mode, where heaters get none
#
# Every `interval` seconds each named heater is given a reading that has
# moved `rate` degrees per second toward its target (toward `ambient` when
# the heater is off), through the heater's own sensor callback.


class HeaterFeed:
    def __init__(self, config):
        self.printer = config.get_printer()
        self.reactor = self.printer.get_reactor()
        self.heater_names = config.getlist('heaters', ('extruder',
                                                      'heater_bed'))
        self.rate = config.getfloat('rate', 100., above=0.)
        self.ambient = config.getfloat('ambient', 25.)
        self.interval = config.getfloat('interval', 0.1, above=0.)
        self.heaters = []
        self.temps = {}
        self.printer.register_event_handler("klippy:ready", self._ready)

    def _ready(self):
        pheaters = self.printer.lookup_object('heaters')
        self.heaters = [pheaters.lookup_heater(n) for n in self.heater_names]
        self.temps = {h: self.ambient for h in self.heaters}
        self.reactor.register_timer(self._feed, self.reactor.NOW)

    def _feed(self, eventtime):
        step = self.rate * self.interval
        for heater in self.heaters:
            target = heater.target_temp or self.ambient
            temp = self.temps[heater]
            temp += max(-step, min(step, target - temp))
            self.temps[heater] = temp
            heater.temperature_callback(eventtime, temp)
        return eventtime + self.interval


def load_config(config):
    return HeaterFeed(config)
