# The printer behind klippy in a dry run: its bed, its probes' triggers and
# its heaters
#
# klippy in batch mode has no hardware: every endstop and probe triggers at
# the end of its move and heaters get no readings.  This stand-in gives
# them the printer of printer_model (the [simulated_printer] section, the
# seed and the true probe offset the dry run was given):
# - a probing move ends where the bed probe triggers over the modelled bed;
# - a homing move of Z on the probe leaves the nozzle the true probe
#   offset above the bed where the probe stood; a Z endstop is exact;
# - heaters heat from the power klippy's own control sends them, and
#   klippy's heater waits wait for them;
# - print time follows the reactor's clock from the connection on, and the
#   toolhead and the step generation may pause again as on a printer.
import random
import sys

import printer_model
import recorder

# How often the heaters' sensors report, in seconds of print time
READING_INTERVAL = 0.3
# How high the nozzle stands above the bed when klippy starts, its Z at 0
# and unhomed: clear of the bed, its probe untriggered
START_HEIGHT = 10.


class HiddenOutput:
    """The printer as the heaters object sees it: without the batch mode's
    output file, so that its waits wait."""

    def __init__(self, printer):
        self._printer = printer

    def get_start_args(self):
        args = dict(self._printer.get_start_args())
        args.pop("debugoutput", None)
        return args

    def __getattr__(self, name):
        return getattr(self._printer, name)


class SimulatedPrinter:
    def __init__(self, config):
        self.printer = config.get_printer()
        self.reactor = self.printer.get_reactor()
        start_args = self.printer.get_start_args()
        self.recorder = start_args[recorder.RECORDER_ARG]
        self.physics = printer_model.SimulatedPrinter(config)
        self.physics.shift_frame(-START_HEIGHT)
        if start_args.get(recorder.SEED_ARG) is not None:
            self.physics.rng = random.Random(start_args[recorder.SEED_ARG])
        if start_args.get(recorder.TRUE_OFFSET_ARG) is not None:
            self.physics.true_probe_offset = start_args[recorder.TRUE_OFFSET_ARG]
            self.physics.true_probe_offset_given = True
        self.temperatures = {}
        self.last_reading = None
        self.next_trace_time = 0.
        self.connect_time = None
        self.printer.register_event_handler("klippy:connect", self.connect)
        self.printer.register_event_handler("klippy:ready", self.ready)

    # Print time on the reactor's clock
    def connect(self):
        self.connect_time = self.reactor.monotonic()
        for name, mcu in self.printer.lookup_objects(module="mcu"):
            mcu.estimated_print_time = self.estimated_print_time
        self.printer.lookup_object("toolhead").can_pause = True
        # Newer klippy queues the steps apart from the toolhead
        motion_queuing = self.printer.lookup_object("motion_queuing", None)
        if motion_queuing is not None:
            motion_queuing.can_pause = True
            motion_queuing.flush_timer.callback = motion_queuing._flush_handler
        heaters = self.printer.lookup_object("heaters", None)
        if heaters is not None:
            heaters.printer = HiddenOutput(self.printer)
        probe = self.printer.lookup_object("probe", None)
        if probe is not None:
            self.physics.note_configured_probe_offset(probe.get_offsets()[2])
        self.wrap_homing_moves()

    def estimated_print_time(self, eventtime):
        return eventtime - self.connect_time

    # Endstops and the bed probe
    def wrap_homing_moves(self):
        homing = sys.modules[type(self.printer.lookup_object("homing")).__module__]
        original = homing.HomingMove.homing_move
        model = self

        def homing_move(hmove, movepos, speed, probe_pos=False, *args, **kwargs):
            return model.homing_move(original, hmove, movepos, speed, probe_pos,
                                     *args, **kwargs)
        homing.HomingMove.homing_move = homing_move

    def probe_endstop(self, hmove):
        """Whether the bed probe is the move's endstop: a probing move's
        (named "probe"), or a Z homed on probe:z_virtual_endstop."""
        probe = self.printer.lookup_object("probe", None)
        mcu_probe = getattr(probe, "mcu_probe", None)
        return any(name == "probe" or (mcu_probe is not None and endstop is mcu_probe)
                   for endstop, name in hmove.endstops)

    def probe_trigger_z(self, toolhead):
        x, y = toolhead.get_position()[:2]
        x_offset, y_offset = self.printer.lookup_object("probe").get_offsets()[:2]
        return (self.physics.probe_trigger_z(x + x_offset, y + y_offset)
                + self.physics.probe_sample_noise())

    def homing_move(self, original, hmove, movepos, speed, probe_pos, *args, **kwargs):
        """The homing or probing move, recorded as one move."""
        toolhead = self.printer.lookup_object("toolhead")
        start = toolhead.get_position()
        self.recorder.in_homing_move = True
        try:
            return self.modelled_homing_move(original, hmove, movepos, speed, probe_pos,
                                             *args, **kwargs)
        finally:
            self.recorder.in_homing_move = False
            end = toolhead.get_position()
            self.recorder.add("move", start=start[:4], end=end[:4], speed=speed,
                              gap=self.physics.nozzle_gap(end))

    def modelled_homing_move(self, original, hmove, movepos, speed, probe_pos,
                             *args, **kwargs):
        toolhead = self.printer.lookup_object("toolhead")
        start = toolhead.get_position()
        on_probe = self.probe_endstop(hmove)
        if probe_pos and on_probe:
            trigger_z = self.probe_trigger_z(toolhead)
            if trigger_z >= start[2]:
                raise self.printer.command_error("Probe triggered prior to movement")
            if trigger_z < movepos[2]:
                original(hmove, movepos, speed, probe_pos, *args, **kwargs)
                raise self.printer.command_error(
                    "No trigger on probe after full movement")
            top = toolhead.get_status(self.reactor.monotonic())["axis_maximum"][2]
            if trigger_z > top:
                # Z homing on the probe from where klippy takes an unhomed Z
                # to be: the move is klippy's, the nozzle stops at the bed
                found = original(hmove, movepos, speed, probe_pos, *args, **kwargs)
                self.physics.shift_frame(toolhead.get_position()[2] - trigger_z)
                return found
            movepos = list(movepos)
            movepos[2] = trigger_z
            found = original(hmove, movepos, speed, probe_pos, *args, **kwargs)
            self.recorder.add("probe", position=list(found[:3]))
            return found
        if probe_pos or abs(movepos[2] - start[2]) < 1e-9:
            return original(hmove, movepos, speed, probe_pos, *args, **kwargs)
        # Z homes: the endstop triggers on the printer where klippy then
        # puts the nozzle
        trigger_z = self.probe_trigger_z(toolhead) if on_probe else None
        found = original(hmove, movepos, speed, probe_pos, *args, **kwargs)
        z = toolhead.get_position()[2]
        if trigger_z is None:
            # An exact endstop: the toolhead's Z is the nozzle's height
            self.physics.z_zero = 0.
        else:
            # The probe stood the true offset above the bed
            self.physics.shift_frame(z - trigger_z)
        return found

    # Heaters
    def ready(self):
        # Batch mode never starts the statistics, through which newer
        # klippy lets its heaters keep heating
        statistics = self.printer.lookup_object("statistics", None)
        if statistics is not None and hasattr(statistics, "stats_timer"):
            self.reactor.update_timer(statistics.stats_timer, self.reactor.NOW)
        heaters = self.printer.lookup_object("heaters", None)
        if heaters is None:
            return
        for name, heater in heaters.heaters.items():
            self.temperatures[name] = self.physics.ambient_temp
        self.last_reading = self.reactor.monotonic()
        self.reactor.register_timer(self.read_heaters, self.reactor.NOW)

    def read_heaters(self, eventtime):
        heaters = self.printer.lookup_object("heaters").heaters
        dt = eventtime - self.last_reading
        self.last_reading = eventtime
        print_time = self.estimated_print_time(eventtime)
        trace = eventtime >= self.next_trace_time
        if trace:
            while self.next_trace_time <= eventtime:
                self.next_trace_time += self.physics.temperature_trace_interval
        for name, heater in heaters.items():
            power = heater.last_pwm_value if heater.target_temp else 0.
            temp = self.physics.heated(name, self.temperatures[name], power, dt)
            self.temperatures[name] = temp
            heater.temperature_callback(print_time, temp)
            if trace:
                # What the sensor reads: klippy's smoothed value starts at 0
                self.recorder.add("temperature", heater=name, temp=temp,
                                  target=heater.target_temp)
        return eventtime + READING_INTERVAL


def load_config(config):
    return SimulatedPrinter(config)
