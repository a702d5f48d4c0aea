"""The error routine: stepping run, Z declared 0 and homed, the record
reported, the host shut down and the command ended with the record's text."""
import sys
import time

import greenlet
import pytest

from in_command import call_in_command, restart_while_suspended

SSAP_TEXT = ("{'code': 'key402', 'msg': 'PR_ERR_CODE_SSAP_TEST_ERROR: Synchronization line "
             "communication is not available, please check the connection..', 'values': []}")
SSAP_SHUTDOWN_TEXT = SSAP_TEXT.replace("'msg': '", "'msg': 'Shutdown due to ")
START_POSITION = [50.0, 60.0, 7.5, 3.0]


@pytest.fixture
def wrapper(make_printer):
    make_printer("")
    return sys.modules["extras.z_compensate_wrapper"]


@pytest.fixture
def records(wrapper, monkeypatch):
    """The module-level records; their values are put back after the test."""
    names = ("PR_ERR_CODE_CAL_DATA_ERROR", "PR_ERR_CODE_Z_OFFSET_CALIBRATION",
             "PR_ERR_CODE_SSAP_TEST_ERROR")
    for name in names:
        record = getattr(wrapper, name)
        monkeypatch.setitem(record, "values", record["values"])
    return wrapper


@pytest.fixture
def make_faulty(make_printer, module_of):
    """A printer whose module has its toolhead, as after a command fetched it."""
    def make(options=""):
        printer = make_printer(options, position=list(START_POSITION))
        module = module_of(printer)
        module.toolhead = printer.lookup_object("toolhead")
        return printer, module
    return make


def raise_fault(printer, action):
    """Runs `action` in a command and returns the command error that ended it."""
    with pytest.raises(printer.command_error) as ended:
        call_in_command(printer, action)
    return ended.value


def tensink_sends(printer):
    return [event for event in printer.trace.of_kind("tensink")
            if event.data["call"] == "start_step_tensink_cmd.send"]


def new_console_lines(printer, start):
    return printer.console_lines()[start:]


def declarations(printer):
    """Positions declared after the start-up placement of the toolhead."""
    return [event.data for event in printer.trace.of_kind("set_position")[1:]]


@pytest.mark.parametrize("ck", [False, 0, 0.0, None, [], "", {}])
def test_a_false_check_does_nothing(make_faulty, records, ck):
    printer, module = make_faulty()
    record = records.PR_ERR_CODE_SSAP_TEST_ERROR
    record["values"] = kept = [7]
    console_start = len(printer.console_lines())

    call_in_command(printer, lambda: module.ck_and_raise_error(ck, record, [1, 2]))

    assert printer.lookup_object("tensink_v2").calls == []
    assert declarations(printer) == []
    assert record["values"] is kept
    assert new_console_lines(printer, console_start) == []
    assert not printer.is_shutdown()


def sequence_of(printer, since=0):
    """The routine's steps as the host saw them, in order."""
    steps = []
    for event in printer.trace[since:]:
        if event.kind == "tensink":
            steps.append(event.data["call"])
        elif event.kind in ("set_position", "shutdown"):
            steps.append(event.kind)
        elif event.kind == "console" and event.data["text"].startswith("// [RAISE_ERROR]"):
            steps.append("RAISE_ERROR")
        elif event.kind == "console" and event.data["text"].startswith("!! "):
            steps.append("command error")
    return steps


@pytest.mark.parametrize("options,step_cnts_args,low_spd_nul,send_step_duty", [
    ("", [25.0, 10.0], 5, 16),
    ("g29_down_min_z: 40\nspeed: 8\nlow_spd_nul: 3\nsend_step_duty: 7", [40.0, 8.0], 3, 7),
])
def test_the_whole_sequence(make_faulty, records, options, step_cnts_args, low_spd_nul,
                            send_step_duty):
    printer, module = make_faulty(options)
    tensink = printer.lookup_object("tensink_v2")
    step_cnts = tensink.get_step_cnts(*step_cnts_args)
    del tensink.calls[:]
    trace_start = len(printer.trace)
    console_start = len(printer.console_lines())

    error = raise_fault(printer, lambda: module.ck_and_raise_error(
        True, records.PR_ERR_CODE_SSAP_TEST_ERROR))

    assert str(error) == SSAP_SHUTDOWN_TEXT
    assert sequence_of(printer, trace_start) == [
        "enable_steps", "get_step_cnts", "start_step_tensink_cmd.send",
        "start_step_tensink_cmd.send", "set_position", "disable_steps", "RAISE_ERROR",
        "shutdown", "command error"]
    start, stop = (args for name, args in tensink.calls if name == "start_step_tensink_cmd.send")
    assert tensink.calls[1] == ("get_step_cnts", step_cnts_args)
    assert start == [2, 1, 10] + list(step_cnts) + [low_spd_nul, send_step_duty, 0]
    assert stop == [2, 0, 0, 0, 0, 0, low_spd_nul, send_step_duty, 0]
    assert all(type(value) is int for value in start + stop)

    # The results arrive 0.5 s after the start; the wait polls every 0.01 s.
    start_event, stop_event = tensink_sends(printer)
    assert 0.5 <= stop_event.time - start_event.time < 0.5 + 0.02

    assert declarations(printer) == [{"position": [50.0, 60.0, 0, 3.0], "homing_axes": [2]}]
    assert "z" in printer.lookup_object("toolhead").get_status(0)["homed_axes"]

    lines = new_console_lines(printer, console_start)
    assert lines.count("[RAISE_ERROR]" + SSAP_TEXT) == 1
    assert lines[-1] == "!! " + SSAP_SHUTDOWN_TEXT
    assert printer.shutdown_message == SSAP_SHUTDOWN_TEXT
    assert printer.is_shutdown()


def test_the_callers_values_are_written_into_the_record(make_faulty, make_printer, module_of,
                                                        records):
    printer, module = make_faulty()
    record = records.PR_ERR_CODE_Z_OFFSET_CALIBRATION
    values = [1.234, -0.5, "note"]
    console_start = len(printer.console_lines())

    error = raise_fault(printer, lambda: module.ck_and_raise_error(True, record, values))

    assert records.PR_ERR_CODE_Z_OFFSET_CALIBRATION["values"] is values
    assert record["msg"] == "PR_ERR_CODE_Z_OFFSET_CALIBRATION: Ceramic pressure sensitive mistrigger.."
    expected = repr({"code": "key401", "msg": record["msg"], "values": values})
    assert "[RAISE_ERROR]" + expected in new_console_lines(printer, console_start)
    assert str(error) == expected.replace("'msg': '", "'msg': 'Shutdown due to ")
    # Another object sees the very same record.
    other = module_of(make_printer(""))
    assert sys.modules[type(other).__module__].PR_ERR_CODE_Z_OFFSET_CALIBRATION["values"] \
        is values


def test_a_second_fault_reports_the_same_texts(make_faulty, records):
    record = records.PR_ERR_CODE_SSAP_TEST_ERROR
    reports = []
    for _ in range(2):
        printer, module = make_faulty()
        console_start = len(printer.console_lines())
        error = raise_fault(printer, lambda: module.ck_and_raise_error(True, record))
        lines = new_console_lines(printer, console_start)
        reports.append((str(error), printer.shutdown_message,
                        [line for line in lines if line.startswith("[RAISE_ERROR]")]))

    assert reports[0] == reports[1] == (SSAP_SHUTDOWN_TEXT, SSAP_SHUTDOWN_TEXT,
                                        ["[RAISE_ERROR]" + SSAP_TEXT])
    assert record["msg"].count("Shutdown due to ") == 0


def test_results_already_complete_need_no_pause(make_faulty, records):
    printer, module = make_faulty()
    tensink = printer.lookup_object("tensink_v2")

    def complete_at_once(data):
        if data[1] == 1:
            tensink.step_res[:] = [{"index": i} for i in range(32)]
    tensink.start_step_tensink_cmd.handler = complete_at_once
    reactor = printer.get_reactor()
    times = []

    def fault():
        times.append(reactor.monotonic())
        try:
            module.ck_and_raise_error(True, records.PR_ERR_CODE_SSAP_TEST_ERROR)
        finally:
            times.append(reactor.monotonic())
    raise_fault(printer, fault)

    assert times[0] == times[1]
    names = [name for name, _ in tensink.calls]
    assert names[2:4] == ["start_step_tensink_cmd.send", "start_step_tensink_cmd.send"]


@pytest.mark.parametrize("arriving,correction", [
    (33, lambda results: results.pop()),
    (31, lambda results: results.append({"index": 31})),
], ids=["more than 32", "fewer than 32"])
def test_only_exactly_32_results_end_the_wait(make_faulty, records, arriving, correction):
    printer, module = make_faulty()
    tensink = printer.lookup_object("tensink_v2")
    tensink.step_result_count = arriving
    reactor = printer.get_reactor()
    corrected_at = reactor.monotonic() + 3.0

    def correct(eventtime):
        correction(tensink.step_res)
        return reactor.NEVER
    reactor.register_timer(correct, corrected_at)

    raise_fault(printer, lambda: module.ck_and_raise_error(
        True, records.PR_ERR_CODE_SSAP_TEST_ERROR))

    stop_time = tensink_sends(printer)[1].time
    assert corrected_at <= stop_time < corrected_at + 0.02


def test_more_than_32_results_wait_to_the_time_limit(make_faulty, records):
    # The one test that takes the limit's 20 seconds of real time.
    printer, module = make_faulty()
    printer.lookup_object("tensink_v2").step_result_count = 33

    trace_start = len(printer.trace)
    started = time.time()
    error = raise_fault(printer, lambda: module.ck_and_raise_error(
        True, records.PR_ERR_CODE_SSAP_TEST_ERROR))
    waited = time.time() - started

    assert waited >= 20
    # Reaching the limit is not reported: the routine ends as usual.
    assert str(error) == SSAP_SHUTDOWN_TEXT
    assert sequence_of(printer, trace_start)[3:] == [
        "start_step_tensink_cmd.send", "set_position", "disable_steps", "RAISE_ERROR",
        "shutdown", "command error"]


class CountedResults(list):
    """A results list that counts how often its length is read."""
    reads = 0

    def __len__(self):
        CountedResults.reads += 1
        return list.__len__(self)


def test_wait_ends_at_once_when_the_host_is_shut_down(make_faulty, records, monkeypatch):
    printer, module = make_faulty()
    tensink = printer.lookup_object("tensink_v2")
    tensink.step_result_count = 0
    tensink.step_res = CountedResults()
    monkeypatch.setattr(CountedResults, "reads", 0)

    def fault():
        printer.invoke_shutdown("MCU lost")
        module.ck_and_raise_error(True, records.PR_ERR_CODE_SSAP_TEST_ERROR)
    error = raise_fault(printer, fault)

    # Pauses return at once on a shut down host: a wait that went on testing
    # the results would spin for 20 seconds.
    assert CountedResults.reads <= 1
    start_event, stop_event = tensink_sends(printer)
    assert start_event.time == stop_event.time
    assert str(error) == SSAP_SHUTDOWN_TEXT
    # The host keeps the reason of its first shutdown.
    assert printer.shutdown_message == "MCU lost"


def fail_disable_steps(printer, error):
    def disable_steps():
        raise error
    printer.lookup_object("tensink_v2").disable_steps = disable_steps


def fail_console_line(printer, error):
    gcode = printer.lookup_object("gcode")
    respond_info = gcode.respond_info

    def failing_respond_info(msg, log=True):
        if msg.startswith("[RAISE_ERROR]"):
            raise error
        respond_info(msg, log)
    gcode.respond_info = failing_respond_info


@pytest.mark.parametrize("failure", [fail_disable_steps, fail_console_line],
                         ids=["disable_steps", "console line"])
def test_failures_after_z_was_declared_still_shut_down(make_faulty, records, failure):
    printer, module = make_faulty()
    failure(printer, RuntimeError("MCU 'mcu' shutdown: Timer too close"))
    console_start = len(printer.console_lines())

    error = raise_fault(printer, lambda: module.ck_and_raise_error(
        True, records.PR_ERR_CODE_SSAP_TEST_ERROR))

    assert str(error) == SSAP_SHUTDOWN_TEXT
    assert printer.shutdown_message == SSAP_SHUTDOWN_TEXT
    assert [d["position"][2] for d in declarations(printer)] == [0]
    # Every later step still ran: the console line too, unless it was the one that failed.
    raise_error_lines = new_console_lines(printer, console_start).count(
        "[RAISE_ERROR]" + SSAP_TEXT)
    assert raise_error_lines == (0 if failure is fail_console_line else 1)


def fail_enable_steps(tensink, error):
    def enable_steps():
        raise error
    tensink.enable_steps = enable_steps


def fail_get_step_cnts(tensink, error):
    def get_step_cnts(z, speed):
        raise error
    tensink.get_step_cnts = get_step_cnts


def fail_start(tensink, error):
    def send(data):
        raise error
    tensink.start_step_tensink_cmd.send = send


@pytest.mark.parametrize("failure", [fail_enable_steps, fail_get_step_cnts, fail_start],
                         ids=["enable_steps", "get_step_cnts", "start"])
def test_failures_before_z_was_declared_pass_through(make_faulty, records, failure):
    printer, module = make_faulty()
    host_error = printer.command_error("Timeout on wait for 'tensink_step_res' response")
    failure(printer.lookup_object("tensink_v2"), host_error)

    with pytest.raises(printer.command_error) as ended:
        call_in_command(printer, lambda: module.ck_and_raise_error(
            True, records.PR_ERR_CODE_SSAP_TEST_ERROR))

    assert ended.value is host_error
    assert not printer.is_shutdown()
    assert declarations(printer) == []


def test_a_restart_during_the_wait_passes_through_at_once(make_faulty, records):
    printer, module = make_faulty()
    tensink = printer.lookup_object("tensink_v2")
    tensink.step_result_count = 0
    console_start = len(printer.console_lines())
    aborted = restart_while_suspended(printer, lambda: module.ck_and_raise_error(
        True, records.PR_ERR_CODE_SSAP_TEST_ERROR), timeout=1.0)

    assert type(aborted.exception) is greenlet.GreenletExit
    # No host call after the restart.
    assert [name for name, _ in tensink.calls][-1] == "start_step_tensink_cmd.send"
    assert len(tensink_sends(printer)) == 1
    assert declarations(printer) == []
    assert not printer.is_shutdown()
    assert not any(line.startswith("[RAISE_ERROR]")
                   for line in new_console_lines(printer, console_start))


def test_a_restart_after_z_was_declared_passes_through(make_faulty, records):
    printer, module = make_faulty()
    reactor = printer.get_reactor()
    # The host is restarted while the probe module waits on its microcontroller.
    printer.lookup_object("tensink_v2").disable_steps = lambda: reactor.pause(reactor.NEVER)
    aborted = restart_while_suspended(printer, lambda: module.ck_and_raise_error(
        True, records.PR_ERR_CODE_SSAP_TEST_ERROR), timeout=5.0)

    assert type(aborted.exception) is greenlet.GreenletExit
    assert [d["position"][2] for d in declarations(printer)] == [0]
    assert not printer.is_shutdown()
    assert not any(line.startswith("[RAISE_ERROR]") for line in printer.console_lines())


class RecordRefusingValues(dict):
    def __setitem__(self, key, value):
        raise RuntimeError("this record takes no values")


class MessageRefusingPrefix(str):
    def __radd__(self, other):
        raise RuntimeError("this message takes no prefix")


def record_refusing_values(record):
    return RecordRefusingValues(record)


def message_refusing_prefix(record):
    return dict(record, msg=MessageRefusingPrefix(record["msg"]))


@pytest.mark.parametrize("misbehaving", [record_refusing_values, message_refusing_prefix],
                         ids=["values refused", "prefix refused"])
def test_a_record_that_fails_after_z_was_declared_still_shuts_down(make_faulty, records,
                                                                    misbehaving):
    printer, module = make_faulty()
    record = misbehaving(records.PR_ERR_CODE_SSAP_TEST_ERROR)

    with pytest.raises(Exception, match="takes no"):
        call_in_command(printer, lambda: module.ck_and_raise_error(True, record))

    assert [d["position"][2] for d in declarations(printer)] == [0]
    assert printer.is_shutdown()
    assert "Shutdown due to " in printer.shutdown_message
