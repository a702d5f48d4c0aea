# G-code command parsing and dispatch, as klippy does it
import re
import shlex
import operator
import greenlet


class CommandError(Exception):
    pass


class Coord(tuple):
    """A position tuple with x, y, z, e properties (klippy's gcode.Coord)."""
    __slots__ = ()

    def __new__(cls, x, y, z, e, *args):
        return tuple.__new__(cls, (x, y, z, e) + args)

    def __getnewargs__(self):
        return tuple(self)
    x = property(operator.itemgetter(0))
    y = property(operator.itemgetter(1))
    z = property(operator.itemgetter(2))
    e = property(operator.itemgetter(3))


class GCodeCommand:
    error = CommandError

    class sentinel:
        pass

    def __init__(self, gcode, command, commandline, params):
        self._command = command
        self._commandline = commandline
        self._params = params
        self.respond_info = gcode.respond_info
        self.respond_raw = gcode.respond_raw

    def get_command(self):
        return self._command

    def get_commandline(self):
        return self._commandline

    def get_command_parameters(self):
        return self._params

    def get_raw_command_parameters(self):
        command = self._command
        origline = self._commandline
        param_start = len(command)
        param_end = len(origline)
        if origline[:param_start].upper() != command:
            # Skip a leading line number and a trailing checksum
            param_start += origline.upper().find(command)
            end = origline.rfind('*')
            if end >= 0 and origline[end+1:].isdigit():
                param_end = end
        if origline[param_start:param_start+1].isspace():
            param_start += 1
        return origline[param_start:param_end]

    def get(self, name, default=sentinel, parser=str, minval=None,
            maxval=None, above=None, below=None):
        value = self._params.get(name)
        if value is None:
            if default is self.sentinel:
                raise self.error("Error on '%s': missing %s"
                                 % (self._commandline, name))
            return default
        try:
            value = parser(value)
        except:
            raise self.error("Error on '%s': unable to parse %s"
                             % (self._commandline, value))
        if minval is not None and value < minval:
            raise self.error("Error on '%s': %s must have minimum of %s"
                             % (self._commandline, name, minval))
        if maxval is not None and value > maxval:
            raise self.error("Error on '%s': %s must have maximum of %s"
                             % (self._commandline, name, maxval))
        if above is not None and value <= above:
            raise self.error("Error on '%s': %s must be above %s"
                             % (self._commandline, name, above))
        if below is not None and value >= below:
            raise self.error("Error on '%s': %s must be below %s"
                             % (self._commandline, name, below))
        return value

    def get_int(self, name, default=sentinel, minval=None, maxval=None):
        return self.get(name, default, parser=int, minval=minval,
                        maxval=maxval)

    def get_float(self, name, default=sentinel, minval=None, maxval=None,
                  above=None, below=None):
        return self.get(name, default, parser=float, minval=minval,
                        maxval=maxval, above=above, below=below)


class GCodeDispatch:
    error = CommandError
    Coord = Coord

    def __init__(self, printer):
        self.printer = printer
        printer.register_event_handler("klippy:ready", self._handle_ready)
        printer.register_event_handler("klippy:shutdown",
                                       self._handle_shutdown)
        self.is_printer_ready = False
        # How many command lines enclose the line being run (0: a line
        # from outside)
        self.nesting_depth = 0
        self.mutex = printer.get_reactor().mutex()
        self.output_callbacks = []
        # Until the printer is ready only the "when not ready" commands run
        self.base_gcode_handlers = self.gcode_handlers = {}
        self.ready_gcode_handlers = {}
        self.gcode_help = {}
        for cmd in ['M110', 'M112', 'M115', 'ECHO', 'STATUS', 'HELP']:
            func = getattr(self, 'cmd_' + cmd)
            desc = getattr(self, 'cmd_' + cmd + '_help', None)
            self.register_command(cmd, func, True, desc)

    def is_traditional_gcode(self, cmd):
        # A "traditional" g-code command is a letter followed by a number
        try:
            cmd = cmd.upper().split()[0]
            float(cmd[1:])
            return cmd[0].isupper() and cmd[1].isdigit()
        except:
            return False

    def register_command(self, cmd, func, when_not_ready=False, desc=None):
        if func is None:
            old_cmd = self.ready_gcode_handlers.get(cmd)
            self.ready_gcode_handlers.pop(cmd, None)
            self.base_gcode_handlers.pop(cmd, None)
            return old_cmd
        if cmd in self.ready_gcode_handlers:
            raise self.printer.config_error(
                "gcode command %s already registered" % (cmd,))
        if not self.is_traditional_gcode(cmd):
            if (cmd.upper() != cmd or not cmd.replace('_', 'A').isalnum()
                    or cmd[0].isdigit() or cmd[1:2].isdigit()):
                raise self.printer.config_error(
                    "Can't register '%s' as it is an invalid name" % (cmd,))
            origfunc = func
            func = lambda gcmd: origfunc(self._get_extended_params(gcmd))
        self.ready_gcode_handlers[cmd] = func
        if when_not_ready:
            self.base_gcode_handlers[cmd] = func
        if desc is not None:
            self.gcode_help[cmd] = desc

    def get_command_help(self):
        return dict(self.gcode_help)

    def register_output_handler(self, cb):
        self.output_callbacks.append(cb)

    def _handle_ready(self):
        self.is_printer_ready = True
        self.gcode_handlers = self.ready_gcode_handlers
        self._respond_state("Ready")

    def _handle_shutdown(self):
        if not self.is_printer_ready:
            return
        self.is_printer_ready = False
        self.gcode_handlers = self.base_gcode_handlers
        self._respond_state("Shutdown")

    # Parse input into commands
    args_r = re.compile('([A-Z_]+|[A-Z*])')

    def _process_commands(self, commands, need_ack=True):
        for line in commands:
            line = origline = line.strip()
            cpos = line.find(';')
            if cpos >= 0:
                line = line[:cpos]
            # The command word is the first letters and the number after
            # them; the line is upper-cased first, so names match in any case
            parts = self.args_r.split(line.upper())
            if ''.join(parts[:2]) == 'N':
                cmd = ''.join(parts[3:5]).strip()
            else:
                cmd = ''.join(parts[:3]).strip()
            params = {parts[i]: parts[i+1].strip()
                      for i in range(1, len(parts), 2)}
            gcmd = GCodeCommand(self, cmd, origline, params)
            if origline:
                self.printer.trace.add('gcode', line=origline,
                                       depth=self.nesting_depth)
            handler = self.gcode_handlers.get(cmd, self.cmd_default)
            self.nesting_depth += 1
            try:
                handler(gcmd)
            except greenlet.GreenletExit:
                # A host restart tears the command down; nothing to report
                raise
            except self.error as e:
                self._respond_error(str(e))
                self.printer.send_event("gcode:command_error")
                if not need_ack:
                    raise
            except:
                msg = 'Internal error on command:"%s"' % (cmd,)
                self.printer.invoke_shutdown(msg)
                self._respond_error(msg)
                if not need_ack:
                    raise
            finally:
                self.nesting_depth -= 1

    def request_restart(self, result):
        self.printer.request_exit(result)

    def run_script_from_command(self, script):
        self._process_commands(script.split('\n'), need_ack=False)

    def run_script(self, script):
        with self.mutex:
            self._process_commands(script.split('\n'), need_ack=False)

    def get_mutex(self):
        return self.mutex

    def create_gcode_command(self, command, commandline, params):
        return GCodeCommand(self, command, commandline, params)

    # Response handling
    def respond_raw(self, msg):
        for cb in self.output_callbacks:
            cb(msg)

    def respond_info(self, msg, log=True):
        lines = [l.strip() for l in msg.strip().split('\n')]
        self.respond_raw("// " + "\n// ".join(lines))

    def _respond_error(self, msg):
        lines = msg.strip().split('\n')
        if len(lines) > 1:
            self.respond_info("\n".join(lines), log=False)
        self.respond_raw('!! %s' % (lines[0].strip(),))

    def _respond_state(self, state):
        self.respond_info("Klipper state: %s" % (state,), log=False)

    def _get_extended_params(self, gcmd):
        rawparams = gcmd.get_raw_command_parameters()
        # NAME=value words, with shell style quoting
        s = shlex.shlex(rawparams, posix=True)
        s.whitespace_split = True
        s.commenters = '#;'
        try:
            eparams = [earg.split('=', 1) for earg in s]
            eparams = {k.upper(): v for k, v in eparams}
        except ValueError:
            raise self.error("Malformed command '%s'"
                             % (gcmd.get_commandline(),))
        gcmd._params.clear()
        gcmd._params.update(eparams)
        return gcmd

    # Commands that are known before the configuration is loaded
    def cmd_default(self, gcmd):
        cmd = gcmd.get_command()
        if cmd == 'M105':
            return
        if cmd == 'M21':
            return
        if not self.is_printer_ready:
            raise gcmd.error(self.printer.get_state_message()[0])
        if not cmd:
            return
        if cmd in ['M140', 'M104'] and not gcmd.get_float('S', 0.):
            # Turning off a heater that is not present is not worth a warning
            return
        if cmd == 'M107' or (cmd == 'M106' and not gcmd.get_float('S', 1.)):
            return
        gcmd.respond_info('Unknown command:"%s"' % (cmd,))

    def cmd_M110(self, gcmd):
        # Set Current Line Number
        pass

    def cmd_M112(self, gcmd):
        # Emergency Stop
        self.printer.invoke_shutdown("Shutdown due to M112 command")

    def cmd_M115(self, gcmd):
        gcmd.respond_info("FIRMWARE_NAME:Klipper FIRMWARE_VERSION:%s"
                          % (self.printer.get_start_args().get(
                              'software_version'),))

    def cmd_ECHO(self, gcmd):
        gcmd.respond_info(gcmd.get_commandline(), log=False)

    cmd_STATUS_help = "Report the printer status"

    def cmd_STATUS(self, gcmd):
        if self.is_printer_ready:
            self._respond_state("Ready")
            return
        msg = self.printer.get_state_message()[0]
        msg = msg.rstrip() + "\nKlipper state: Not ready"
        raise gcmd.error(msg)

    cmd_HELP_help = "Report the list of available extended G-Code commands"

    def cmd_HELP(self, gcmd):
        cmdhelp = []
        if not self.is_printer_ready:
            cmdhelp.append(
                "Printer is not ready - not all commands available.")
        cmdhelp.append("Available extended commands:")
        for cmd in sorted(self.gcode_handlers):
            if cmd in self.gcode_help:
                cmdhelp.append("%-10s: %s" % (cmd, self.gcode_help[cmd]))
        gcmd.respond_info("\n".join(cmdhelp), log=False)
