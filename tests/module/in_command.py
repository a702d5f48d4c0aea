"""Running module operations inside a G-code command, as a handler would.

Operations that pause or need a running command (the error routine, delays,
moves with waiting) are called from a small test command, so that they run in
the command's greenlet exactly as the procedures run them.
"""

TEST_COMMAND = "TEST_CALL"


def call_in_command(printer, action):
    """Runs `action()` inside the command TEST_CALL and returns its result.

    Whatever ended the command (the host's command error, another exception)
    is raised here, as `printer.run_gcode` raises it.
    """
    gcode = printer.lookup_object("gcode")
    outcome = {}

    def handler(gcmd):
        outcome["result"] = action()

    # Unregister first: each call brings its own action.
    gcode.register_command(TEST_COMMAND, None)
    gcode.register_command(TEST_COMMAND, handler)
    printer.run_gcode(TEST_COMMAND)
    return outcome.get("result")


def start_in_command(printer, action):
    """Queues `action()` inside TEST_CALL without driving the reactor; returns
    the CommandRun to hand to `printer.wait_command`."""
    gcode = printer.lookup_object("gcode")
    gcode.register_command(TEST_COMMAND, None)
    gcode.register_command(TEST_COMMAND, lambda gcmd: action())
    return printer.start_gcode(TEST_COMMAND)
