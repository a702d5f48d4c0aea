# The simulated klippy host: loads printer.cfg and the extras modules like
# klippy, then runs G-code commands on virtual time
import collections
import contextlib
import importlib
import os
import sys

import greenlet

from . import configfile, gcode, generations, toolhead, extruder
from .extras import probe
from .modules import SectionKinds
from .physics import SimulatedPrinter
from .reactor import VirtualReactor
from .status import StatusPoller
from .trace import Trace

message_ready = "Printer is ready"

message_startup = """
Printer is not ready
The klippy host software is attempting to connect.  Please
retry in a few moments.
"""

message_shutdown = """
Once the underlying issue is corrected, use the
"FIRMWARE_RESTART" command to reset the firmware, reload the
config, and restart the host software.
Printer is shutdown
"""

# Sections read by the simulator's own host objects rather than by an
# extras module: the toolhead reads [printer] and [stepper_x|y|z], the
# extruder [extruder], the physics [simulated_printer]
HOST_SECTIONS = ('printer', 'stepper_x', 'stepper_y', 'stepper_z',
                 'extruder', 'simulated_printer')

# Sections with which klippy's own modules provide the bed probe
PROBE_SECTION_MODULES = ('probe', 'bltouch', 'smart_effector',
                         'probe_eddy_current', 'load_cell_probe')

# Virtual seconds after which run_gcode gives up on a command.  Large,
# because a wait timed on the wall clock (20 s of polling every 0.01 s of
# virtual time) lets a lot of virtual time pass
DEFAULT_COMMAND_TIMEOUT = 1000000.


class SimulationTimeout(Exception):
    """A command did not end within its virtual time limit; it stays
    suspended (see Printer.abort_command and Printer.run_for)."""

    def __init__(self, run, seconds):
        Exception.__init__(
            self, "Command %r still running after %.1f s of virtual time"
            % (run.script, seconds))
        self.run = run


class WebHooks:
    """klippy's API server, with no client connected: a remote method that
    a template calls is never registered."""

    def __init__(self, printer):
        self.printer = printer

    def call_remote_method(self, method, **kwargs):
        self.printer.trace.add('remote_method', method=method, params=kwargs)
        raise self.printer.command_error(
            "Remote method '%s' not registered" % (method,))


class CommandRun:
    """One script sent from outside, and how it ended."""

    def __init__(self, script):
        self.script = script
        self.done = False
        # The exception that ended the script (None: it ran to its end)
        self.exception = None
        self.greenlet = None
        self.start_time = self.end_time = None


class Printer:
    config_error = configfile.error
    command_error = gcode.CommandError

    def __init__(self, config_path, klippy_dir, homed_axes="xyz",
                 position=None, overrides=None, unmodeled_sections=(),
                 host_generation=generations.DEFAULT_GENERATION,
                 host_cxsave_config=False):
        """Load `config_path` with the extras modules of `klippy_dir`.

        homed_axes: axes ("x", "y", "z") taken as homed at start.
        position: start toolhead position [X, Y, Z, E]; default: the middle
          of the X and Y ranges, Z 10, E 0.  The physical Z relation is that
          of a G28 Z at that XY.
        overrides: {section: {option: value}} applied as if written in the
          file (never saved).
        unmodeled_sections: further module names that klippy knows (and
          the simulator does not model), such as those a real klippy
          accepted.
        host_generation: the klippy generation whose interfaces the host
          offers (see generations.GENERATIONS).
        host_cxsave_config: the host has a CXSAVE_CONFIG command of its
          own, as some printer makers' klippy has.
        """
        self.host_generation = generations.lookup(host_generation)
        self.host_cxsave_config = host_cxsave_config
        self.start_args = {'config_file': os.path.abspath(config_path),
                           'software_version': 'klippysim',
                           'start_reason': 'startup'}
        self.reactor = VirtualReactor()
        self.trace = Trace(self.reactor)
        self.console = []
        self.state_message = message_startup
        self.in_shutdown_state = False
        self.shutdown_message = None
        self.event_handlers = {}
        self.objects = collections.OrderedDict()
        self.sim = None
        self.status_poller = None
        self.pending_command = None
        self.restarted = False
        # What a command asked for through gcode.request_restart()
        self.restart_request = None
        self.section_kinds = SectionKinds(self.host_generation,
                                          unmodeled_sections)
        # Sections accepted unread: those of klippy's modules that are not
        # modeled, and those of modules installed beside klippy
        self.unsimulated_sections = []
        self.third_party_sections = []
        # A third-party module's section standing in as the bed probe
        self.probe_stand_in = None
        self._use_klippy_dir(klippy_dir)
        gcode_dispatch = gcode.GCodeDispatch(self)
        gcode_dispatch.register_output_handler(self._note_output)
        self.add_object('webhooks', WebHooks(self))
        self.add_object('gcode', gcode_dispatch)
        self.add_object('configfile', configfile.create(self))
        self._read_config(overrides)
        self._connect(homed_axes, position)

    def _use_klippy_dir(self, klippy_dir):
        self.klippy_dir = os.path.abspath(klippy_dir)
        extras_dir = os.path.join(self.klippy_dir, 'extras')
        # The "extras" package of another tree may be imported already
        loaded = sys.modules.get('extras')
        if loaded is not None and [os.path.abspath(p) for p in getattr(
                loaded, '__path__', [])] != [extras_dir]:
            for name in list(sys.modules):
                if name == 'extras' or name.startswith('extras.'):
                    del sys.modules[name]
        if self.klippy_dir in sys.path:
            sys.path.remove(self.klippy_dir)
        sys.path.insert(0, self.klippy_dir)
        importlib.invalidate_caches()

    # Objects
    def get_start_args(self):
        return self.start_args

    def get_reactor(self):
        return self.reactor

    def add_object(self, name, obj):
        if name in self.objects:
            raise self.config_error(
                "Printer object '%s' already created" % (name,))
        self.objects[name] = obj

    def lookup_object(self, name, default=configfile.sentinel):
        if name in self.objects:
            return self.objects[name]
        if default is configfile.sentinel:
            raise self.config_error("Unknown config object '%s'" % (name,))
        return default

    def lookup_objects(self, module=None):
        if module is None:
            return list(self.objects.items())
        prefix = module + ' '
        objs = [(n, self.objects[n])
                for n in self.objects if n.startswith(prefix)]
        if module in self.objects:
            return [(module, self.objects[module])] + objs
        return objs

    def load_object(self, config, section, default=configfile.sentinel):
        if section in self.objects:
            return self.objects[section]
        module_parts = section.split()
        module_name = module_parts[0]
        extras_dir = os.path.join(self.klippy_dir, 'extras')
        py_name = os.path.join(extras_dir, module_name + '.py')
        py_dirname = os.path.join(extras_dir, module_name, '__init__.py')
        if not os.path.exists(py_name) and not os.path.exists(py_dirname):
            if default is not configfile.sentinel:
                return default
            raise self.config_error("Unable to load module '%s'" % (section,))
        mod = importlib.import_module('extras.' + module_name)
        init_func = 'load_config'
        if len(module_parts) > 1:
            init_func = 'load_config_prefix'
        init_func = getattr(mod, init_func, None)
        if init_func is None:
            if default is not configfile.sentinel:
                return default
            raise self.config_error("Unable to load module '%s'" % (section,))
        self.objects[section] = init_func(config.getsection(section))
        return self.objects[section]

    @property
    def ignored_sections(self):
        return self.unsimulated_sections + self.third_party_sections

    def _read_config(self, overrides):
        pconfig = self.lookup_object('configfile')
        config = pconfig.read_main_config(overrides)
        self.sim = SimulatedPrinter(config.getsection('simulated_printer'))
        has_probe_section = any(
            config.get_prefix_sections(name)
            for name in PROBE_SECTION_MODULES)
        # Objects are created in config-file order, like klippy does
        for section_config in config.get_prefix_sections(''):
            name = section_config.get_name()
            if name in HOST_SECTIONS:
                continue
            if (self.load_object(config, name, None) is None
                    and not has_probe_section and 'probe' not in self.objects
                    and self.section_kinds.kind(name) == 'third-party'
                    and self._provides_probe_offsets(section_config)):
                self._add_probe_stand_in(section_config)
        toolhead.add_printer_objects(config)
        extruder.add_printer_objects(config)
        self._sort_unread_sections(
            [name for name in pconfig.unread_sections(config)
             if name != 'simulated_printer'])
        kin = self.lookup_object('toolhead').get_kinematics()
        if kin.z_homes_with_probe and 'probe' not in self.objects:
            raise self.config_error(
                "Unknown pin chip name 'probe'\n"
                "  [stepper_z] endstop_pin: probe:z_virtual_endstop homes Z"
                " on the bed probe: add its section ([probe], [bltouch], ...)"
                " with its x_offset, y_offset and z_offset")
        pconfig.check_unused_options(config, self.ignored_sections)

    def _provides_probe_offsets(self, section_config):
        return any(section_config.get(option, None, note_valid=False)
                   is not None for option in ('x_offset', 'y_offset'))

    def _add_probe_stand_in(self, section_config):
        # A scanning probe's own module provides klippy's "probe" object on
        # the printer; here a plain probe at its offsets stands in for it
        self.probe_stand_in = section_config.get_name()
        probe.add_bed_probe(section_config, section_config.getfloat(
            'z_offset', 0., note_valid=False))

    def _sort_unread_sections(self, names):
        for name in names:
            kind = self.section_kinds.kind(name)
            if kind == 'kalico':
                raise self.config_error(
                    "Section '%s' is not a valid config section\n"
                    "  [%s] is a section of the Kalico fork's own: choose"
                    " --host kalico" % (name, name))
            if kind == 'klippy':
                self.unsimulated_sections.append(name)
            else:
                self.third_party_sections.append(name)

    def section_report(self):
        """Lines telling what of the configuration the simulated printer
        leaves out, each list once."""
        lines = []
        if self.unsimulated_sections:
            lines.append("not simulated: " + ", ".join(
                "[%s]" % name for name in self.unsimulated_sections))
        if self.third_party_sections:
            lines.append(
                "not simulated, from modules installed beside klippy: "
                + ", ".join("[%s]" % name
                            for name in self.third_party_sections))
        if self.probe_stand_in is not None:
            lines.append(
                "[%s] of a module installed beside klippy provides the bed"
                " probe: simulated as a plain probe at its x_offset, y_offset"
                " and z_offset" % (self.probe_stand_in,))
        return lines

    def _connect(self, homed_axes, position):
        for cb in self.event_handlers.get("klippy:connect", []):
            cb()
        self._place_toolhead(homed_axes, position)
        self.state_message = message_ready
        with self._event_pause_check():
            for cb in self.event_handlers.get("klippy:ready", []):
                cb()
        if self.sim.status_poll_interval:
            self.status_poller = StatusPoller(
                self, self.sim.status_poll_interval,
                self.sim.status_trace_objects)

    def _place_toolhead(self, homed_axes, position):
        head = self.lookup_object('toolhead')
        kin = head.get_kinematics()
        if position is None:
            x_rail, y_rail = kin.rails[0], kin.rails[1]
            position = [(x_rail.position_min + x_rail.position_max) / 2.,
                        (y_rail.position_min + y_rail.position_max) / 2.,
                        10., 0.]
        axes = "".join(axis for axis in 'xyz' if axis in homed_axes)
        head.set_position(list(position),
                          homing_axes=self.host_generation.homing_axes(axes))
        # The nozzle's physical height is that of a G28 Z at this XY
        self.sim.z_zero = 0.
        if kin.z_homes_with_probe:
            x_offset, y_offset, z_offset = (
                self.lookup_object('probe').get_offsets())
            probe_z = self.sim.probe_trigger_z(position[0] + x_offset,
                                               position[1] + y_offset)
            self.sim.z_zero = z_offset - probe_z

    # Events and state
    def _event_pause_check(self):
        if self.host_generation.events_never_pause:
            return self.reactor.assert_no_pause()
        return contextlib.nullcontext()

    def register_event_handler(self, event, callback):
        self.event_handlers.setdefault(event, []).append(callback)

    def send_event(self, event, *params):
        return [cb(*params) for cb in self.event_handlers.get(event, [])]

    def get_state_message(self):
        if self.state_message == message_ready:
            category = "ready"
        elif self.state_message == message_startup:
            category = "startup"
        elif self.in_shutdown_state:
            category = "shutdown"
        else:
            category = "error"
        return self.state_message, category

    def is_shutdown(self):
        return self.in_shutdown_state

    def invoke_shutdown(self, msg):
        if self.in_shutdown_state:
            return
        self.in_shutdown_state = True
        self.shutdown_message = msg
        if self.state_message in (message_ready, message_startup):
            self.state_message = "%s%s" % (msg, message_shutdown)
        self.trace.add('shutdown', message=msg)
        with self._event_pause_check():
            for cb in self.event_handlers.get("klippy:shutdown", []):
                cb()

    def _note_output(self, msg):
        self.console.append(msg)
        self.trace.add('console', text=msg)

    def console_lines(self):
        """Console output split into lines, without the "// " of info
        lines; error lines keep their "!! "."""
        lines = []
        for msg in self.console:
            for line in msg.split('\n'):
                if line.startswith('// '):
                    line = line[3:]
                lines.append(line)
        return lines

    def request_exit(self, result):
        self.restart_request = result
        self.trace.add('restart_request', result=result)

    # Running commands
    def start_gcode(self, script):
        """Queue `script` as one request from outside (like a console
        line); the reactor runs it when driven (run_gcode, run_for)."""
        if self.restarted:
            raise RuntimeError("The simulated host was restarted")
        if self.pending_command is not None:
            raise RuntimeError("Command %r is still running"
                               % (self.pending_command.script,))
        run = CommandRun(script)
        self.pending_command = run
        self.reactor.register_callback(lambda eventtime: self._execute(run))
        return run

    def _execute(self, run):
        run.greenlet = greenlet.getcurrent()
        run.start_time = self.reactor.monotonic()
        try:
            self.lookup_object('gcode').run_script(run.script)
        except BaseException as e:
            run.exception = e
        run.done = True
        # Only a suspended command is ever aborted; held longer, the greenlet
        # would keep the printer alive through its own frames.
        run.greenlet = None
        run.end_time = self.reactor.monotonic()
        self.pending_command = None
        if isinstance(run.exception, greenlet.GreenletExit):
            raise run.exception
        if self.restarted:
            # The command ignored its kill; end its greenlet all the same
            raise greenlet.GreenletExit()
        if self.restart_request is not None:
            # klippy restarts once the command has handed back control
            self.restarted = True
        self.reactor.end()

    def wait_command(self, run, timeout=DEFAULT_COMMAND_TIMEOUT):
        deadline = self.reactor.monotonic() + timeout
        while not run.done:
            self.reactor.run(until=deadline)
            if not run.done and self.reactor.monotonic() >= deadline:
                raise SimulationTimeout(run, timeout)

    def run_gcode(self, script, timeout=DEFAULT_COMMAND_TIMEOUT):
        """Run `script` to its end on virtual time.  The exception that
        ended it is raised again here: the command error as the host
        raised it, or any other error after klippy's "Internal error"
        report and shutdown.  Returns the CommandRun."""
        run = self.start_gcode(script)
        self.wait_command(run, timeout)
        if run.exception is not None:
            raise run.exception
        return run

    def run_for(self, seconds):
        """Let `seconds` of virtual time pass, running timers and any
        suspended command."""
        if self.restarted:
            raise RuntimeError("The simulated host was restarted")
        end_time = self.reactor.monotonic() + seconds
        while self.reactor.monotonic() < end_time:
            self.reactor.run(until=end_time)

    def abort_command(self):
        """Restart the host while a command is suspended: GreenletExit is
        raised where the command waits.  Returns its CommandRun; its
        `exception` tells what reached the host's top level."""
        run = self.pending_command
        if run is None or run.greenlet is None or run.done:
            raise RuntimeError("No command is suspended")
        self.restarted = True
        self.trace.add('restart', script=run.script)
        g = run.greenlet
        if g.timer is not None:
            self.reactor.unregister_timer(g.timer)
            g.timer = None
        try:
            g.throw(greenlet.GreenletExit)
        except BaseException as e:
            # The command's greenlet ended with another error
            run.exception = e
        self.pending_command = None
        return run
