# Heaters with a first-order thermal model on virtual time
#
# Every sensor period the physical temperature moves toward the target:
# linear heating at the heater's heating rate up to the target (never above
# its highest reachable temperature), exponential cooling toward ambient
# otherwise.  The reported smoothed_temp follows it as klippy smooths
# sensor readings.  Heater properties come from [simulated_printer].
import math

KELVIN_TO_CELSIUS = -273.15
# Time between two sensor readings
REPORT_TIME = 0.300
# Temperature within this distance of the target (and nearly flat) counts
# as reached, like klippy's PID control
PID_SETTLE_DELTA = 1.
PID_SETTLE_SLOPE = .1
MIN_DERIV_TIME = 2.


class Heater:
    def __init__(self, config):
        self.printer = config.get_printer()
        self.reactor = self.printer.get_reactor()
        self.name = config.get_name().split()[-1]
        self.min_temp = config.getfloat('min_temp', minval=KELVIN_TO_CELSIUS)
        self.max_temp = config.getfloat('max_temp', above=self.min_temp)
        self.min_extrude_temp = config.getfloat(
            'min_extrude_temp', 170., minval=self.min_temp,
            maxval=self.max_temp)
        self.smooth_time = config.getfloat('smooth_time', 1., above=0.)
        self.printer.lookup_object('configfile').accept_unmodeled_options(
            config.get_name())
        sim = self.printer.sim
        self.thermal = sim.thermal_properties(self.name)
        self.ambient_temp = sim.ambient_temp
        self.trace_interval = sim.temperature_trace_interval
        self.temperature = self.smoothed_temp = self.ambient_temp
        self.target_temp = 0.
        self.can_extrude = self.min_extrude_temp <= 0.
        self.temp_deriv = 0.
        self.last_update_time = self.reactor.monotonic()
        self.next_trace_time = self.last_update_time
        self.reactor.register_timer(self._sensor_update, self.reactor.NOW)

    def get_name(self):
        return self.name

    def set_temp(self, degrees):
        # The range check lets 0 (off) and NaN through, as klippy's does
        if degrees and (degrees < self.min_temp or degrees > self.max_temp):
            raise self.printer.command_error(
                "Requested temperature (%.1f) out of range (%.1f:%.1f)"
                % (degrees, self.min_temp, self.max_temp))
        self.target_temp = degrees
        self.printer.trace.add('heater_target', heater=self.name,
                               target=degrees)

    def get_temp(self, eventtime):
        return self.smoothed_temp, self.target_temp

    def check_busy(self, eventtime):
        return (abs(self.target_temp - self.smoothed_temp) > PID_SETTLE_DELTA
                or abs(self.temp_deriv) > PID_SETTLE_SLOPE)

    def _physical_step(self, dt):
        props = self.thermal
        target = self.target_temp
        powered = target > 0. and not self.printer.is_shutdown()
        if powered and self.temperature < target:
            ceiling = min(target, props.max_reachable_temp)
            heated = min(self.temperature + props.heating_rate * dt, ceiling)
            self.temperature = max(self.temperature, heated)
            return
        decay = math.exp(-dt / props.cooling_time)
        cooled = (self.ambient_temp
                  + (self.temperature - self.ambient_temp) * decay)
        if powered:
            # The heater holds the target while the heat drains away
            cooled = max(cooled, target)
        self.temperature = cooled

    def _sensor_update(self, eventtime):
        dt = eventtime - self.last_update_time
        self.last_update_time = eventtime
        if dt > 0.:
            self._physical_step(dt)
            adj = min(dt / self.smooth_time, 1.)
            change = (self.temperature - self.smoothed_temp) * adj
            self.smoothed_temp += change
            self.temp_deriv = ((self.temp_deriv * (MIN_DERIV_TIME - dt)
                                + change) / MIN_DERIV_TIME)
        self.can_extrude = self.smoothed_temp >= self.min_extrude_temp
        if eventtime >= self.next_trace_time:
            # Keep the sampling cadence on the interval's grid
            while self.next_trace_time <= eventtime:
                self.next_trace_time += self.trace_interval
            self.printer.trace.add('temperature', heater=self.name,
                                   temp=self.smoothed_temp,
                                   target=self.target_temp)
        return eventtime + REPORT_TIME

    def get_status(self, eventtime):
        return {'temperature': round(self.smoothed_temp, 2),
                'target': self.target_temp}


class PrinterHeaters:
    def __init__(self, config):
        self.printer = config.get_printer()
        self.heaters = {}
        self.gcode_id_to_sensor = {}
        self.has_started = False
        self.printer.register_event_handler("klippy:ready",
                                            self._handle_ready)
        gcode = self.printer.lookup_object('gcode')
        gcode.register_command("TURN_OFF_HEATERS", self.cmd_TURN_OFF_HEATERS,
                               desc=self.cmd_TURN_OFF_HEATERS_help)
        gcode.register_command("M105", self.cmd_M105, when_not_ready=True)
        gcode.register_command("SET_HEATER_TEMPERATURE",
                               self.cmd_SET_HEATER_TEMPERATURE,
                               desc=self.cmd_SET_HEATER_TEMPERATURE_help)

    def _handle_ready(self):
        self.has_started = True

    def setup_heater(self, config, gcode_id=None):
        heater_name = config.get_name().split()[-1]
        if heater_name in self.heaters:
            raise config.error("Heater %s already registered" % (heater_name,))
        self.heaters[heater_name] = heater = Heater(config)
        if gcode_id is not None:
            self.gcode_id_to_sensor[gcode_id] = heater
        return heater

    def lookup_heater(self, heater_name):
        if heater_name not in self.heaters:
            raise self.printer.config_error(
                "Unknown heater '%s'" % (heater_name,))
        return self.heaters[heater_name]

    def get_all_heaters(self):
        return list(self.heaters.keys())

    def _get_temp(self, eventtime):
        # Tn:XXX /YYY B:XXX /YYY
        out = []
        if self.has_started:
            for gcode_id, sensor in sorted(self.gcode_id_to_sensor.items()):
                cur, target = sensor.get_temp(eventtime)
                out.append("%s:%.1f /%.1f" % (gcode_id, cur, target))
        if not out:
            return "T:0"
        return " ".join(out)

    def _wait_for_temperature(self, heater):
        toolhead = self.printer.lookup_object("toolhead")
        gcode = self.printer.lookup_object("gcode")
        reactor = self.printer.get_reactor()
        eventtime = reactor.monotonic()
        while not self.printer.is_shutdown() and heater.check_busy(eventtime):
            toolhead.get_last_move_time()
            gcode.respond_raw(self._get_temp(eventtime))
            eventtime = reactor.pause(eventtime + 1.)

    def set_temperature(self, heater, temp, wait=False):
        heater.set_temp(temp)
        if wait and temp:
            self._wait_for_temperature(heater)

    cmd_TURN_OFF_HEATERS_help = "Turn off all heaters"

    def cmd_TURN_OFF_HEATERS(self, gcmd):
        for heater in self.heaters.values():
            heater.set_temp(0.)

    def cmd_M105(self, gcmd):
        reactor = self.printer.get_reactor()
        gcmd.respond_raw(self._get_temp(reactor.monotonic()))

    cmd_SET_HEATER_TEMPERATURE_help = "Sets a heater temperature"

    def cmd_SET_HEATER_TEMPERATURE(self, gcmd):
        heater_name = gcmd.get('HEATER')
        if heater_name not in self.heaters:
            raise gcmd.error("The value '%s' is not valid for %s"
                             % (heater_name, 'HEATER'))
        temp = gcmd.get_float('TARGET', 0.)
        self.set_temperature(self.heaters[heater_name], temp)


def load_config(config):
    return PrinterHeaters(config)
