"""on_error_gcode: run once when a command ends in a refusal or a command
error with the printer still up, never after the error routine's shutdown;
the command's own error stands whatever the hook does, on every generation
of klippy."""
import greenlet
import pytest

import klippysim
from klippysim import gcode as sim_gcode, generations
from procedure_support import SSAP_SHUTDOWN_TEXT

ALL = list(generations.GENERATIONS)

REFUSED = "Z_OFFSET_CALIBRATION MAX_OFFSET_CHANGE=0.1"
REFUSAL = ("Z_OFFSET_CALIBRATION refused: the new offset 1.750000 lies 0.250000 mm from"
           " the probe's z_offset 2.000000, more than MAX_OFFSET_CHANGE=0.1")
# The base printer's wipe area does not fit its bed: refused before anything moves.
WIPE_REFUSAL = "Z_OFFSET_AUTO refused: the stroke's start can reach Y -30.000"
PARAMETER_ERROR = "Error on 'Z_OFFSET_CALIBRATION POINT_RETRIES=11': POINT_RETRIES must have maximum of 10"

# Shows on the console what the hook was given.
SHOW = '{action_respond_info("HOOK %s|%s|%s" % (params.COMMAND, params.ERROR, params.CODE))}'
STUCK_SYNC_LINE = {"tensink_v2": {"sim_swap_line": "stuck_0"}}

# name: (the hook's further lines, command line, overrides, the error that
# ends the command, whether the hook runs, the hook's own failure or None)
SCENARIOS = {
    "refusal": ("", REFUSED, None, REFUSAL, True, None),
    "refusal inside Z_OFFSET_AUTO": ("", "Z_OFFSET_AUTO", None, WIPE_REFUSAL, True, None),
    "parameter refused": ("", "Z_OFFSET_CALIBRATION POINT_RETRIES=11", None, PARAMETER_ERROR,
                          True, None),
    "hook raises": ('{action_raise_error("no phone")}', REFUSED, None, REFUSAL, True,
                    "no phone"),
    "hook's template fails": ("{params.NOTHING.deeper}", REFUSED, None, REFUSAL, True,
                              "Error evaluating 'z_compensate:on_error_gcode'"),
    "hook's G-code fails": ("G1 X-500", REFUSED, None, REFUSAL, True, "Move out of range"),
    "hook runs an unknown command": ("NO_SUCH_COMMAND", REFUSED, None, REFUSAL, True, None),
    # Runs once: its failure does not run the hook again.
    "hook runs the refused command": (REFUSED, REFUSED, None, REFUSAL, True, REFUSAL),
    "error routine's shutdown": ("M112", "VQTWENTYMA_NOZZLE_CLEAR", STUCK_SYNC_LINE,
                                 SSAP_SHUTDOWN_TEXT, False, None),
}


def hook_option(*lines):
    return "on_error_gcode: " + "\n  ".join(line for line in lines if line)


@pytest.mark.parametrize("scenario", list(SCENARIOS))
@pytest.mark.parametrize("generation", ALL)
def test_the_hook_runs_once_and_the_error_stands(make_printer, monkeypatch, generation,
                                                 scenario):
    further, command, overrides, error, runs, hook_failure = SCENARIOS[scenario]
    printer = make_printer(hook_option(SHOW, further), host_generation=generation,
                           overrides=overrides)
    made = []

    class RecordedError(sim_gcode.CommandError):
        def __init__(self, *args):
            sim_gcode.CommandError.__init__(self, *args)
            made.append(self)
    monkeypatch.setattr(printer, "command_error", RecordedError)
    before = len(printer.console)

    with pytest.raises(sim_gcode.CommandError) as raised:
        printer.run_gcode(command)

    assert str(raised.value).startswith(error)
    if made and isinstance(raised.value, RecordedError):
        assert raised.value is made[0]
    messages = printer.console[before:]
    given = "HOOK %s|%s|" % (command.split()[0], raised.value)
    assert [message for message in messages if message.startswith("// HOOK ")] == \
        (["// " + "\n// ".join(given.split("\n"))] if runs else [])
    lines = "\n".join(messages).split("\n")
    warnings = [line for line in lines if "on_error_gcode" in line and "failed" in line]
    if hook_failure is None:
        assert warnings == []
    else:
        assert len(warnings) == 1
        assert warnings[0].startswith("// z_compensate: on_error_gcode of %s failed: "
                                      % command.split()[0])
        assert hook_failure in warnings[0]
    # The host reports the command's own error last.
    assert lines[-1] == "!! " + str(raised.value).split("\n")[0]
    if not runs:
        # The error routine's shutdown, as without a hook.
        assert printer.is_shutdown()
        assert printer.shutdown_message == error
        assert printer.trace.of_kind("shutdown")[0].data["message"] == error


@pytest.mark.parametrize("generation", ALL)
def test_a_hook_that_is_no_template_stops_the_start(make_printer, generation):
    with pytest.raises(Exception) as refused:
        make_printer(hook_option("{% if %}"), host_generation=generation)
    assert "Error loading template 'z_compensate:on_error_gcode'" in str(refused.value)


def test_a_restart_while_the_hook_waits_ends_the_command_at_once(make_printer, module_of):
    printer = make_printer(hook_option(SHOW, "G4 P100000", "M400"))
    run = printer.start_gcode(REFUSED)
    with pytest.raises(klippysim.SimulationTimeout):
        printer.wait_command(run, timeout=60)
    assert any(line.startswith("HOOK ") for line in printer.console_lines())

    aborted = printer.abort_command()
    assert isinstance(aborted.exception, greenlet.GreenletExit)
    assert not any("on_error_gcode" in line for line in printer.console_lines())


def test_an_error_routine_that_fails_before_its_shutdown_runs_no_hook(make_printer,
                                                                     monkeypatch):
    # A fault was found: the printer stays as the routine left it, unmoved.
    printer = make_printer(hook_option(SHOW), overrides=STUCK_SYNC_LINE)

    def enable_steps():
        raise printer.command_error("no stepping run")
    monkeypatch.setattr(printer.lookup_object("tensink_v2"), "enable_steps", enable_steps)

    with pytest.raises(sim_gcode.CommandError, match="no stepping run"):
        printer.run_gcode("VQTWENTYMA_NOZZLE_CLEAR")
    assert not printer.is_shutdown()
    assert not any(line.startswith("HOOK ") for line in printer.console_lines())
