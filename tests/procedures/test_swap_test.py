"""The sync-line test between the pressure probe's two sides."""
import pytest

from in_command import call_in_command, error_in_command
from procedure_support import SSAP_SHUTDOWN_TEXT, WIPE_AREA, command_lines

SUCCESS_LINE = "[SWAP_TEST]---Swap Test Success---"
FAILURE_LINE = "[SWAP_TEST]!!!Swap Test ERROR!!!"
RAISE_ERROR_LINE = (
    "[RAISE_ERROR]{'code': 'key402', 'msg': 'PR_ERR_CODE_SSAP_TEST_ERROR: "
    "Synchronization line communication is not available, please check the "
    "connection..', 'values': []}")

# Level 0 written and read back, then level 1.
SWAP_CALLS = [
    ("write_swap_tensink_cmd.send", [1, 0]),
    ("read_swap_tensink_cmd.send", [2]),
    ("write_swap_tensink_cmd.send", [1, 1]),
    ("read_swap_tensink_cmd.send", [2]),
]


def with_swap_line(make_printer, mode, module_options=""):
    return make_printer(module_options, overrides={
        "tensink_v2": {"sim_swap_line": mode}})


def swap_test_lines(printer):
    return [line for line in printer.console_lines()
            if line.startswith(("[SWAP_TEST]", "[RAISE_ERROR]"))]


def test_healthy_line_passes_with_only_the_success_line(make_printer,
                                                         module_of):
    printer = make_printer("show_msg: False")
    module = module_of(printer)
    call_in_command(printer, module.TEST_SWAP)
    assert swap_test_lines(printer) == [SUCCESS_LINE]
    tensink = printer.lookup_object("tensink_v2")
    assert tensink.calls == SWAP_CALLS
    assert module.toolhead is printer.lookup_object("toolhead")
    assert not printer.is_shutdown()


@pytest.mark.parametrize("mode", ["stuck_0", "stuck_1", "empty", "absent"])
@pytest.mark.parametrize("command", ["VQTWENTYMA_NOZZLE_CLEAR", "Z_OFFSET_AUTO"])
def test_broken_line_shuts_down_before_anything_moves(make_printer, mode,
                                                      command):
    printer = with_swap_line(make_printer, mode, WIPE_AREA)
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode(command)
    assert str(raised.value) == SSAP_SHUTDOWN_TEXT
    assert printer.is_shutdown()
    assert [e.data["message"] for e in printer.trace.of_kind("shutdown")] == [
        SSAP_SHUTDOWN_TEXT]
    assert swap_test_lines(printer) == [FAILURE_LINE, RAISE_ERROR_LINE]
    assert printer.lookup_object("tensink_v2").calls[:4] == SWAP_CALLS
    assert printer.trace.of_kind("move") == []
    assert printer.trace.of_kind("heater_target") == []
    assert command_lines(printer) == []


# Replies of the stepping side to the two reads; each reply is judged only
# once both are known to carry a level, and levels compare as numbers.
@pytest.mark.parametrize("reply0, reply1, passes", [
    ({"sta": 0}, {"sta": 1}, True),
    ({"sta": 0.0}, {"sta": 1.0}, True),
    ({"sta": 1}, {"sta": 1}, False),
    ({"sta": 0}, {"sta": 0}, False),
    ({"sta": 1}, {"sta": 0}, False),
    ({}, {"sta": 1}, False),
    ({"sta": 0}, {}, False),
    ({"sta": 0}, None, False),
    ({"oid": 2}, {}, False),
    ({}, {"oid": 2}, False),
    # A level that is no number is a failed line, not a Python error.
    ({"sta": "0"}, {"sta": 1}, False),
    ({"sta": 0}, {"sta": None}, False),
    ({"sta": 0}, {"sta": [1]}, False),
])
def test_replies_are_judged_in_order(make_printer, module_of, reply0, reply1,
                                     passes):
    printer = make_printer("")
    module = module_of(printer)
    replies = iter([reply0, reply1])
    printer.lookup_object("tensink_v2").read_swap_tensink_cmd.handler = (
        lambda data: next(replies))
    if passes:
        call_in_command(printer, module.TEST_SWAP)
        assert swap_test_lines(printer) == [SUCCESS_LINE]
        return
    with pytest.raises(printer.command_error) as raised:
        call_in_command(printer, module.TEST_SWAP)
    assert str(raised.value) == SSAP_SHUTDOWN_TEXT
    assert swap_test_lines(printer) == [FAILURE_LINE, RAISE_ERROR_LINE]


def test_reply_without_level_is_a_python_error_and_the_object_stays_usable(
        make_printer, module_of):
    printer = with_swap_line(make_printer, "no_sta", WIPE_AREA)
    module = module_of(printer)
    error = error_in_command(printer, module.TEST_SWAP)
    assert isinstance(error, KeyError)
    assert swap_test_lines(printer) == []
    assert not printer.is_shutdown()

    printer.lookup_object("tensink_v2").swap_line = "healthy"
    printer.run_gcode("VQTWENTYMA_NOZZLE_CLEAR")
    assert swap_test_lines(printer) == [SUCCESS_LINE]
    assert module.auto_alignment_status == 3
