"""What klippy did during a dry run, recorded from its own objects.

Each event is [time, kind, data] on klippy's (virtual) clock:
- "input": a line of the run's G-code input, before klippy runs it
- "console": what klippy answered (one of its gcode responses, its lines
  in `text`)
- "gcode": a line that a command ran as a script (`depth` 1 for the
  command's own lines, more for the lines of the macros they call)
- "move": a move of klippy's toolhead (homing and probing included) with
  its start, end and the nozzle's gap to the modelled bed at its end
- "set_position": the toolhead's coordinates declared anew
- "probe": where the bed probe triggered
- "tensink", "tensink_result", "stepping_run": the pressure probe's calls
  and findings (the stand-in records them)
- "temperature": a heater's reading and target
- "config_set": a value SAVE_CONFIG is to store
- "remote_method": a template's call of a remote method that no API
  client registered (`method`, `params`)
- "stage": the module's auto_alignment_status, read through klippy's
  get_status, whenever it changed
- "time_limit": the run reached its limit of virtual time
- "shutdown": klippy shut down, with its reason in its own words
The file written holds the events and the facts read from klippy's objects
when it ended (the module's values and status, the toolhead's limits, the
heaters', the bed probe's offsets).
"""
import functools
import json

# The start arguments that hand the stand-ins the recorder, the seed of the
# printer model's noise and the true probe offset the dry run was given
RECORDER_ARG = "z_compensate_dry_run_recorder"
SEED_ARG = "simulated_printer_seed"
TRUE_OFFSET_ARG = "simulated_printer_true_offset"
MODULE = "z_compensate"


def plain(value):
    """`value` as JSON holds it (klippy's Coord tuples become lists)."""
    if isinstance(value, dict):
        return dict((str(k), plain(v)) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return str(value)


class Recorder:
    def __init__(self, path):
        self.path = path
        self.printer = None
        self.events = []
        self.stage = None
        self.failed = False
        self.script_depth = 0
        # A homing or probing move is recorded whole, by the printer model
        self.in_homing_move = False

    def now(self):
        return self.printer.get_reactor().monotonic()

    def add(self, kind, **data):
        self.events.append([self.now(), kind, plain(data)])
        self.check_stage()

    def check_stage(self):
        module = self.printer.lookup_object(MODULE, None)
        if module is None:
            return
        stage = module.get_status(self.now()).get("auto_alignment_status")
        if stage != self.stage:
            self.stage = stage
            self.events.append([self.now(), "stage", {"stage": stage}])

    def note_time_limit(self, limit):
        self.add("time_limit", limit=limit)

    # Hooks into klippy's objects
    def attach(self, printer):
        self.printer = printer
        printer.register_event_handler("klippy:connect", self.connected)
        printer.register_event_handler("klippy:shutdown", self.shut_down)

    def shut_down(self):
        # Older klippy gives the message alone, newer with its category;
        # the reason is its first line, before klippy's advice on restarting
        state = self.printer.get_state_message()
        message = state[0] if isinstance(state, tuple) else state
        self.events.append([self.now(), "shutdown",
                            {"reason": message.strip().split("\n")[0]}])

    def connected(self):
        printer = self.printer
        gcode = printer.lookup_object("gcode")
        gcode.register_output_handler(self.console)
        self.wrap_input(gcode)
        self.wrap_scripts(gcode)
        toolhead = printer.lookup_object("toolhead")
        self.wrap_toolhead(toolhead)
        self.wrap_remote_methods(printer.lookup_object("webhooks"))
        configfile = printer.lookup_object("configfile")
        original_set = configfile.set

        def config_set(section, option, value):
            self.add("config_set", section=section, option=option, value=value)
            original_set(section, option, value)
        configfile.set = config_set

    def console(self, msg):
        self.add("console", text=msg)
        if msg.startswith("!! "):
            self.failed = True

    def wrap_input(self, gcode):
        """The input's lines one at a time, none after a refusal: batch
        mode would run the lines it has read before it stops."""
        original = gcode._process_commands

        def process_commands(commands, need_ack=True):
            if not need_ack:
                return original(commands, need_ack)
            for line in commands:
                if self.failed:
                    return
                if line.strip():
                    self.add("input", line=line.strip())
                original([line], need_ack)
        gcode._process_commands = process_commands

    def wrap_scripts(self, gcode):
        original = gcode.run_script_from_command

        @functools.wraps(original)
        def run_script_from_command(script):
            self.script_depth += 1
            try:
                for line in script.split("\n"):
                    if line.strip():
                        self.add("gcode", line=line.strip(), depth=self.script_depth)
                    original(line)
            finally:
                self.script_depth -= 1
        gcode.run_script_from_command = run_script_from_command

    def wrap_remote_methods(self, webhooks):
        """A remote method is recorded where no client takes it: in batch
        mode none is connected, and klippy would only log its refusal."""
        original = webhooks.call_remote_method

        @functools.wraps(original)
        def call_remote_method(method, **kwargs):
            try:
                original(method, **kwargs)
            except self.printer.command_error:
                self.add("remote_method", method=method, params=kwargs)
        webhooks.call_remote_method = call_remote_method

    def wrap_toolhead(self, toolhead):
        original_move = toolhead.move
        original_set_position = toolhead.set_position
        model = self.printer.lookup_object("simulated_printer")

        @functools.wraps(original_move)
        def move(newpos, speed):
            if self.in_homing_move:
                return original_move(newpos, speed)
            start = toolhead.get_position()
            original_move(newpos, speed)
            end = toolhead.get_position()
            self.add("move", start=start[:4], end=end[:4], speed=speed,
                     gap=model.physics.nozzle_gap(end))

        @functools.wraps(original_set_position)
        def set_position(newpos, *args, **kwargs):
            old = toolhead.get_position()
            original_set_position(newpos, *args, **kwargs)
            # The nozzle stays where it is; only its coordinates change
            model.physics.shift_frame(toolhead.get_position()[2] - old[2])
            self.add("set_position", position=list(newpos)[:4])
        toolhead.move = move
        toolhead.set_position = set_position

    # At the end
    def facts(self):
        printer = self.printer
        eventtime = self.now()
        facts = {"time": eventtime}
        module = printer.lookup_object(MODULE, None)
        if module is not None:
            facts["status"] = plain(module.get_status(eventtime))
            values = {}
            for name in dir(module):
                if name.startswith("_"):
                    continue
                value = getattr(module, name, None)
                if not callable(value):
                    values[name] = plain(value)
            facts["module"] = values
        toolhead = printer.lookup_object("toolhead", None)
        if toolhead is not None:
            status = toolhead.get_status(eventtime)
            facts["toolhead"] = {"axis_minimum": plain(status["axis_minimum"]),
                                 "axis_maximum": plain(status["axis_maximum"])}
        probe = printer.lookup_object("probe", None)
        if probe is not None:
            # On the probe itself, or on newer klippy's parameter helper
            settings = getattr(probe, "param_helper", probe)
            facts["probe"] = {"offsets": plain(probe.get_offsets()),
                              "samples_result": getattr(settings, "samples_result", "average")}
        heaters = {}
        for name, heater in getattr(printer.lookup_object("heaters", None),
                                    "heaters", {}).items():
            heaters[name] = {"min_temp": heater.min_temp, "max_temp": heater.max_temp,
                             "min_extrude_temp": heater.min_extrude_temp}
        facts["heaters"] = heaters
        extruder = printer.lookup_object("extruder", None)
        if extruder is not None:
            facts["max_e_dist"] = getattr(extruder, "max_e_dist", None)
        model = printer.lookup_object("simulated_printer", None)
        if model is not None:
            facts["true_probe_offset"] = model.physics.true_probe_offset
        return facts

    def write(self):
        record = {"events": self.events,
                  "facts": self.facts() if self.printer is not None else {}}
        with open(self.path, "w") as f:
            json.dump(record, f)
