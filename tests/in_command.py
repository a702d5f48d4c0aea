"""Running test code inside a G-code command of its own, as a handler runs.

What pauses or needs a running command (the error routine, delays, moves that
wait, whole procedures) is called from the test command, so that it runs in
the command's greenlet exactly as the module's own handlers run it.
"""
import pytest

COMMAND = "TEST_CALL"


class CommandAction:
    """The test command's handler for one action: calls it, with the
    command's gcmd when asked, and keeps what it returned or, when asked to
    catch it, what it raised."""

    def __init__(self, action, with_gcmd=False, catch=False):
        self.action = action
        self.with_gcmd = with_gcmd
        self.catch = catch
        self.result = self.error = None

    def __call__(self, gcmd):
        if not self.catch:
            self.result = self.call(gcmd)
            return
        # Caught here, the error does not reach the host, which would take it
        # for an internal error and shut down.
        try:
            self.result = self.call(gcmd)
        except Exception as error:
            self.error = error

    def call(self, gcmd):
        """Calls the action. The module's methods have no Python frame of
        their own: what they call sees this frame as its caller."""
        return self.action(gcmd) if self.with_gcmd else self.action()


def _register(printer, handler):
    gcode = printer.lookup_object("gcode")
    # Unregister first: each call brings its own action.
    gcode.register_command(COMMAND, None)
    gcode.register_command(COMMAND, handler)


def call_in_command(printer, action, with_gcmd=False, **run_kwargs):
    """Runs `action()` (`action(gcmd)` with_gcmd) inside the test command and
    returns its result; `run_kwargs` go to `printer.run_gcode`.

    Whatever ended the command (the host's command error, another exception)
    is raised here, as `printer.run_gcode` raises it.
    """
    handler = CommandAction(action, with_gcmd)
    _register(printer, handler)
    printer.run_gcode(COMMAND, **run_kwargs)
    return handler.result


def error_in_command(printer, action, with_gcmd=False):
    """Runs `action` as call_in_command does and returns the exception it
    raised (or None) instead of letting it end the command."""
    handler = CommandAction(action, with_gcmd, catch=True)
    _register(printer, handler)
    printer.run_gcode(COMMAND)
    return handler.error


def start_in_command(printer, action):
    """Queues `action()` inside the test command without driving the reactor;
    returns the CommandRun to hand to `printer.wait_command`."""
    _register(printer, CommandAction(action))
    return printer.start_gcode(COMMAND)


def restart_while_suspended(printer, action, timeout):
    """Starts `action()` inside the test command, lets `timeout` seconds of
    virtual time pass with the command still suspended and restarts the
    host; returns the aborted CommandRun."""
    run = start_in_command(printer, action)
    with pytest.raises(Exception):
        printer.wait_command(run, timeout=timeout)
    return printer.abort_command()
