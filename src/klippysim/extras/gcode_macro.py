# G-code templates, as klippy's gcode_macro module offers them to other
# modules: load_template() and the context a template is rendered with
#
# The [gcode_macro NAME] sections themselves are not simulated.  On the
# Kalico fork a template may also be a Python script; only G-code templates
# are simulated.
import contextlib
import logging
import math
import traceback

try:
    import jinja2
except ImportError:
    jinja2 = None


class StatusWrapper:
    """`printer` in a template: the status of the host's objects."""

    def __init__(self, printer):
        self.printer = printer

    def __getitem__(self, name):
        obj = self.printer.lookup_object(name, None)
        if obj is None or not hasattr(obj, 'get_status'):
            raise KeyError(name)
        reactor = self.printer.get_reactor()
        # Newer klippy forbids a status callback to pause
        no_pause = (reactor.assert_no_pause()
                    if self.printer.host_generation.events_never_pause
                    else contextlib.nullcontext())
        with no_pause:
            return obj.get_status(reactor.monotonic())

    def __contains__(self, name):
        return hasattr(self.printer.lookup_object(name, None), 'get_status')


class TemplateWrapper:
    def __init__(self, printer, env, name, script):
        self.printer = printer
        self.name = name
        self.gcode = printer.lookup_object('gcode')
        self.create_template_context = printer.lookup_object(
            'gcode_macro').create_template_context
        try:
            self.template = env.from_string(script)
        except jinja2.TemplateSyntaxError as e:
            if not printer.host_generation.template_errors_are_command_errors:
                raise printer.config_error(
                    "Error loading template '%s': %s" % (
                        name, traceback.format_exception_only(type(e), e)[-1]))
            lines = script.splitlines()
            raise self.gcode.error(
                "Error loading template '%s'\nline %s: %s # %s" % (
                    name, e.lineno, lines[e.lineno - 1], e.message))

    def render(self, context=None):
        if context is None:
            context = self.create_template_context()
        try:
            return str(self.template.render(context))
        except Exception as e:
            msg = "Error evaluating '%s': %s" % (
                self.name, traceback.format_exception_only(type(e), e)[-1])
            logging.exception(msg)
            raise self.gcode.error(msg)

    def run_gcode_from_command(self, context=None):
        self.gcode.run_script_from_command(self.render(context))


class PrinterGCodeMacro:
    def __init__(self, config):
        self.printer = config.get_printer()
        if jinja2 is None:
            raise config.error(
                "G-code templates run on the simulated printer only with"
                " jinja2 installed (pip install jinja2)")
        self.env = jinja2.Environment('{%', '%}', '{', '}')

    def load_template(self, config, option, default=None):
        name = "%s:%s" % (config.get_name(), option)
        if default is None:
            script = config.get(option)
        else:
            script = config.get(option, default)
        return TemplateWrapper(self.printer, self.env, name, script)

    def _action_emergency_stop(self, msg="action_emergency_stop"):
        self.printer.invoke_shutdown("Shutdown due to %s" % (msg,))
        return ""

    def _action_respond_info(self, msg):
        self.printer.lookup_object('gcode').respond_info(msg)
        return ""

    def _action_raise_error(self, msg):
        raise self.printer.command_error(msg)

    def _action_call_remote_method(self, method, **kwargs):
        webhooks = self.printer.lookup_object('webhooks')
        try:
            webhooks.call_remote_method(method, **kwargs)
        except self.printer.command_error:
            logging.exception("Remote Call Error")
        return ""

    def _action_log(self, msg):
        logging.info(msg)
        return ""

    def create_template_context(self, eventtime=None):
        context = {
            'printer': StatusWrapper(self.printer),
            'action_emergency_stop': self._action_emergency_stop,
            'action_respond_info': self._action_respond_info,
            'action_raise_error': self._action_raise_error,
            'action_call_remote_method': self._action_call_remote_method,
        }
        if self.printer.host_generation.name == 'kalico':
            context.update(action_log=self._action_log, math=math)
        return context


def load_config(config):
    return PrinterGCodeMacro(config)
