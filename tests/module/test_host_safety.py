"""The module as a guest of the host's single thread: status polled while a
command sleeps, commands torn down by a restart, and wrong input from Python
callers or from the host that ends in a Python exception, never in a crash."""
import sys
import types

import greenlet
import pytest

from in_command import call_in_command, restart_while_suspended

WIPE_AREA_OPTIONS = """
clr_noz_start_x: 20
clr_noz_start_y: 20
clr_noz_len_x: 50
clr_noz_len_y: 60
"""


@pytest.fixture
def ssap_record(module, monkeypatch):
    record = sys.modules[type(module).__module__].PR_ERR_CODE_SSAP_TEST_ERROR
    monkeypatch.setitem(record, "values", record["values"])
    return record


def still_usable(module):
    """The object answers and works after what happened."""
    assert module.get_status(0.)["auto_alignment_status"] == module.auto_alignment_status
    module.print_msg("CHECK", "still here", True)
    assert module.tri_z_down_spd == 10


@pytest.mark.parametrize("suspended_in", ["delay_s", "error routine"])
def test_status_is_answered_while_a_command_is_suspended(printer, module, ssap_record,
                                                         suspended_in):
    reactor = printer.get_reactor()
    answers = []
    state = {"suspended": False}

    def poll(eventtime):
        answers.append((state["suspended"], module.get_status(eventtime)))
        return eventtime + 0.1 if len(answers) < 3 else reactor.NEVER
    reactor.register_timer(poll, reactor.monotonic() + 0.05)

    def suspend():
        module.auto_alignment_status = 4
        state["suspended"] = True
        try:
            if suspended_in == "delay_s":
                module.delay_s(1.0)
            else:
                module.ck_and_raise_error(True, ssap_record)
        finally:
            state["suspended"] = False
    if suspended_in == "delay_s":
        call_in_command(printer, suspend)
    else:
        with pytest.raises(printer.command_error):
            call_in_command(printer, suspend)

    assert [suspended for suspended, _ in answers] == [True, True, True]
    assert all(status["auto_alignment_status"] == 4 for _, status in answers)
    assert len({id(status) for _, status in answers}) == 3


class SlowKinematics:
    """Kinematics whose Z speed limit is read through a host call that may pause."""

    def __init__(self, kin, pause_first):
        self._kin = kin
        self._pause_first = pause_first
        self.max_z_accel = kin.max_z_accel

    def __getattr__(self, name):
        return getattr(self._kin, name)

    @property
    def max_z_velocity(self):
        self._pause_first()
        return self._kin.max_z_velocity

    @max_z_velocity.setter
    def max_z_velocity(self, value):
        self._kin.max_z_velocity = value


def pause_in(owner, name, pause_first):
    """Makes the host method `name` of `owner` pause before it answers."""
    method = getattr(owner, name)

    def paused(*args, **kwargs):
        pause_first()
        return method(*args, **kwargs)
    setattr(owner, name, paused)


def slow_speed_limits(printer, module, pause_first):
    toolhead = printer.lookup_object("toolhead")
    toolhead.kin = SlowKinematics(toolhead.kin, pause_first)


def command(printer, line):
    return printer.lookup_object("gcode").create_gcode_command(line, line, {})


def construct_again(printer, module):
    # The commands are already registered: the second registrations are not
    # the host's business here.
    printer.lookup_object("gcode").register_command = lambda *args, **kwargs: None
    return type(module)(module.config)


# Every operation that calls the host, the host call that pauses in it, and
# the call itself.
SUSPENDING = [
    ("constructor", lambda p, m: m.config, "get_printer", lambda p, m: construct_again(p, m)),
    ("delay_s", lambda p, m: p.lookup_object("toolhead"), "get_last_move_time",
     lambda p, m: m.delay_s(0.5)),
    ("TEST_SWAP", lambda p, m: p.lookup_object("tensink_v2").write_swap_tensink_cmd, "send",
     lambda p, m: m.TEST_SWAP()),
    ("print_msg", lambda p, m: p.lookup_object("gcode"), "respond_info",
     lambda p, m: m.print_msg("TITLE", "text", True)),
    ("pnt_msg", lambda p, m: p.lookup_object("gcode"), "respond_info",
     lambda p, m: m.pnt_msg("text")),
    ("ck_and_raise_error", lambda p, m: p.lookup_object("tensink_v2"), "enable_steps",
     lambda p, m: m.ck_and_raise_error(True, {"code": "key402", "msg": "m", "values": []})),
    ("move", lambda p, m: p.lookup_object("gcode"), "run_script_from_command",
     lambda p, m: m.move([20, 30, 5], 100)),
    ("set_hot_temps", lambda p, m: p.lookup_object("heaters"), "set_temperature",
     lambda p, m: m.set_hot_temps(0)),
    ("set_bed_temps", lambda p, m: p.lookup_object("heaters"), "set_temperature",
     lambda p, m: m.set_bed_temps(0)),
    ("set_step_par", None, slow_speed_limits, lambda p, m: m.set_step_par(False)),
    ("vq20ma_clear_nozzle", lambda p, m: p.lookup_object("gcode"), "run_script_from_command",
     lambda p, m: m.vq20ma_clear_nozzle(140, 200, 140, 60)),
    ("cmd_VQ20MA_NOZZLE_CLEAR", lambda p, m: p, "lookup_object",
     lambda p, m: m.cmd_VQ20MA_NOZZLE_CLEAR(command(p, "VQTWENTYMA_NOZZLE_CLEAR"))),
    ("cmd_Z_OFFSET_CALIBRATION", lambda p, m: p, "lookup_object",
     lambda p, m: m.cmd_Z_OFFSET_CALIBRATION(command(p, "Z_OFFSET_CALIBRATION"))),
    ("cmd_Z_OFFSET_AUTO", lambda p, m: p, "lookup_object",
     lambda p, m: m.cmd_Z_OFFSET_AUTO(command(p, "Z_OFFSET_AUTO"))),
]


@pytest.mark.parametrize("name,owner,hook,call", SUSPENDING,
                         ids=[entry[0] for entry in SUSPENDING])
def test_two_suspended_calls_may_resume_out_of_order(make_printer, module_of, name, owner, hook,
                                                     call):
    # The command's call is entered first and sleeps briefly in the host; a
    # timer's call is entered second and sleeps long. The first one entered
    # returns first, while the second is still suspended.
    printer = make_printer("show_msg: True\n" + WIPE_AREA_OPTIONS)
    module = module_of(printer)
    module.toolhead = printer.lookup_object("toolhead")
    module.pheaters = printer.lookup_object("heaters")
    module.heater_hot = printer.lookup_object("extruder").heater
    module.heater_bed = printer.lookup_object("heater_bed").heater
    module.bed_mesh = printer.lookup_object("bed_mesh")
    reactor = printer.get_reactor()
    pause_for = {}

    def pause_first():
        seconds = pause_for.pop(greenlet.getcurrent(), None)
        if seconds is not None:
            reactor.pause(reactor.monotonic() + seconds)
    if owner is None:
        hook(printer, module, pause_first)
    else:
        pause_in(owner(printer, module), hook, pause_first)
    finished = []

    def run(who, seconds):
        pause_for[greenlet.getcurrent()] = seconds
        try:
            call(printer, module)
            finished.append((who, "returned"))
        except Exception as error:
            finished.append((who, type(error).__name__))

    def timer_call(eventtime):
        run("timer", 300)
        return reactor.NEVER
    reactor.register_timer(timer_call, reactor.monotonic() + 0.1)
    call_in_command(printer, lambda: run("command", 1), timeout=300)
    assert [who for who, _ in finished] == ["command"]
    printer.run_for(800)

    # Each ended as it would alone: only the error routine raises.
    ending = "CommandError" if name == "ck_and_raise_error" else "returned"
    assert finished == [("command", ending), ("timer", ending)]
    assert module.get_status(0)["auto_alignment_status"] == module.auto_alignment_status
    module.show_msg = False
    module.print_msg("CHECK", "still here", True)


def test_a_restart_during_a_pause_passes_through_and_leaves_the_object_usable(printer,
                                                                              module):
    aborted = restart_while_suspended(printer, lambda: module.delay_s(3600), timeout=10.0)

    assert type(aborted.exception) is greenlet.GreenletExit
    still_usable(module)


# Calls from Python with arguments of the wrong type or shape.
WRONG_CALLS = [
    ("move one entry", lambda m: m.move([1], 10), IndexError),
    ("move empty", lambda m: m.move([], 10), IndexError),
    ("move text", lambda m: m.move("ab", 1), TypeError),
    ("move number", lambda m: m.move(5, 1), TypeError),
    ("move text entry", lambda m: m.move([1, "y"], 1), TypeError),
    ("move text speed", lambda m: m.move([1, 2], "fast"), TypeError),
    ("print_msg numbers", lambda m: m.print_msg(1, 2), TypeError),
    ("pnt_msg number", lambda m: m.pnt_msg(3), TypeError),
    ("text record", lambda m: m.ck_and_raise_error(True, "not a record"), TypeError),
    ("list record", lambda m: m.ck_and_raise_error(True, ["key402", "msg"]), TypeError),
    ("record without msg", lambda m: m.ck_and_raise_error(True, {"code": "key402"}), KeyError),
    ("record with number msg",
     lambda m: m.ck_and_raise_error(True, {"code": "key402", "msg": 5, "values": []}),
     TypeError),
    # The values go into the record in place: a read-only mapping cannot hold them.
    ("read-only record",
     lambda m: m.ck_and_raise_error(True, types.MappingProxyType(
         {"code": "key402", "msg": "m", "values": []})), TypeError),
    ("hot temperature text", lambda m: m.set_hot_temps("hot"), TypeError),
    ("bed temperature text", lambda m: m.set_bed_temps(None), TypeError),
    ("delay text", lambda m: m.delay_s("1s"), TypeError),
    ("wipe temperatures", lambda m: m.vq20ma_clear_nozzle("a", 1, 2, 3), TypeError),
    ("wipe too few", lambda m: m.vq20ma_clear_nozzle(1, 2, 3), TypeError),
    ("status without time", lambda m: m.get_status(), TypeError),
    ("bl_offset of three", lambda m: setattr(m, "bl_offset", [1, 2, 3]), TypeError),
    ("bl_offset text", lambda m: setattr(m, "bl_offset", "ab"), TypeError),
    ("dbg_msg text index", lambda m: setattr(m, "dbg_msg", {"a": "zero"}), TypeError),
    ("tri_wave_ip number", lambda m: setattr(m, "tri_wave_ip", 5), TypeError),
    ("status text", lambda m: setattr(m, "auto_alignment_status", "done"), TypeError),
]


@pytest.mark.parametrize("call,error", [(call, error) for _, call, error in WRONG_CALLS],
                         ids=[name for name, _, _ in WRONG_CALLS])
def test_wrong_arguments_raise_a_python_exception(printer, module, call, error):
    with pytest.raises(error):
        call_in_command(printer, lambda: call(module))

    # Nothing was sent to the host or to the probe module.
    assert printer.lookup_object("tensink_v2").calls == []
    assert printer.trace.of_kind("gcode")[-1].data["line"] == "TEST_CALL"
    still_usable(module)


def answer(owner, name, value):
    """Makes the host method `name` of `owner` answer `value`."""
    setattr(owner, name, lambda *args: value)


# Host answers of the wrong type or shape while the error routine runs.
WRONG_ANSWERS = [
    ("position of three", lambda p: answer(p.lookup_object("toolhead"), "get_position",
                                           [1., 2., 3.]), ValueError),
    ("position with text", lambda p: answer(p.lookup_object("toolhead"), "get_position",
                                            [1., 2., "z", 0.]), TypeError),
    ("no position", lambda p: answer(p.lookup_object("toolhead"), "get_position", None),
     TypeError),
    ("two step counts", lambda p: answer(p.lookup_object("tensink_v2"), "get_step_cnts",
                                         (100, 250)), ValueError),
    ("four step counts", lambda p: answer(p.lookup_object("tensink_v2"), "get_step_cnts",
                                          (100, 250, 10, 1)), ValueError),
    ("step counts as text", lambda p: answer(p.lookup_object("tensink_v2"), "get_step_cnts",
                                             "abc"), TypeError),
    ("step count not a number", lambda p: answer(p.lookup_object("tensink_v2"),
                                                 "get_step_cnts", (100, None, 10)), TypeError),
    ("step count beyond 64 bits", lambda p: answer(p.lookup_object("tensink_v2"),
                                                   "get_step_cnts", (2 ** 70, 250, 10)),
     OverflowError),
    ("no results list", lambda p: setattr(p.lookup_object("tensink_v2"), "step_res", None),
     TypeError),
    ("object id as text", lambda p: setattr(p.lookup_object("tensink_v2"), "step_oid", "two"),
     TypeError),
    ("command error that is no exception",
     lambda p: setattr(p, "command_error", lambda msg: msg), TypeError),
]


@pytest.mark.parametrize("spoil,error", [(spoil, error) for _, spoil, error in WRONG_ANSWERS],
                         ids=[name for name, _, _ in WRONG_ANSWERS])
def test_wrong_host_answers_raise_a_python_exception(printer, module, ssap_record, spoil,
                                                     error):
    spoil(printer)

    with pytest.raises(error):
        call_in_command(printer, lambda: module.ck_and_raise_error(True, ssap_record))

    still_usable(module)


@pytest.mark.parametrize("field,owner", [("max_velocity", "toolhead"),
                                         ("max_z_accel", "kin")])
def test_a_speed_limit_that_is_not_a_number_is_refused(printer, module, field, owner):
    toolhead = printer.lookup_object("toolhead")
    setattr(toolhead if owner == "toolhead" else toolhead.kin, field, "fast")

    with pytest.raises(TypeError, match=field):
        module.set_step_par(load_sys=False)

    still_usable(module)
