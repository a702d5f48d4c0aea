# G28 through the printer's own homing script
#
# As klippy runs it: a G28 that homes any of `axes` (or no axis named) first
# sets the set_position_x/y/z coordinates as homed, then runs the `gcode`
# script, in which G28 is the plain homing again.  The script is a template
# as in a G-code macro when jinja2 is installed; without it only a script
# without template markup can run.
try:
    import jinja2
except ImportError:
    jinja2 = None

from .gcode_macro import StatusWrapper


class HomingOverride:
    def __init__(self, config):
        self.printer = config.get_printer()
        self.start_pos = [config.getfloat('set_position_' + a, None)
                          for a in 'xyz']
        self.axes = config.get('axes', 'XYZ').upper()
        self.script = config.get('gcode')
        self.template = self._load_template(config)
        self.in_script = False
        self.printer.load_object(config, 'homing')
        self.gcode = self.printer.lookup_object('gcode')
        self.prev_G28 = self.gcode.register_command("G28", None)
        self.gcode.register_command("G28", self.cmd_G28)

    def _load_template(self, config):
        if jinja2 is None:
            if '{' in self.script:
                raise config.error(
                    "Option 'gcode' in section '%s' is a template, which the"
                    " simulated printer runs only with jinja2 installed"
                    " (pip install jinja2)" % (config.get_name(),))
            return None
        env = jinja2.Environment('{%', '%}', '{', '}')
        try:
            return env.from_string(self.script)
        except jinja2.TemplateSyntaxError as error:
            raise config.error("Error loading template '%s:gcode': %s"
                               % (config.get_name(), error))

    def _render(self, gcmd):
        if self.template is None:
            return self.script
        return self.template.render(
            printer=StatusWrapper(self.printer),
            params=gcmd.get_command_parameters(),
            rawparams=gcmd.get_raw_command_parameters())

    def cmd_G28(self, gcmd):
        if self.in_script:
            # Called from the script: the real G28
            self.prev_G28(gcmd)
            return
        named = [axis for axis in 'XYZ' if gcmd.get(axis, None) is not None]
        if named and not [axis for axis in self.axes if axis in named]:
            self.prev_G28(gcmd)
            return
        toolhead = self.printer.lookup_object('toolhead')
        pos = toolhead.get_position()
        homing_axes = ""
        for axis, loc in enumerate(self.start_pos):
            if loc is not None:
                pos[axis] = loc
                homing_axes += "xyz"[axis]
        toolhead.set_position(
            pos, homing_axes=self.printer.host_generation.homing_axes(
                homing_axes))
        script = self._render(gcmd)
        try:
            self.in_script = True
            self.gcode.run_script_from_command(script)
        finally:
            self.in_script = False


def load_config(config):
    return HomingOverride(config)
