"""Moves, pauses and the toolhead's speed limits."""
import pytest

from in_command import call_in_command


def command_lines(printer):
    return [event.data["line"] for event in printer.trace.of_kind("gcode")
            if event.data["depth"] > 0]


@pytest.mark.parametrize("pos,speed,line", [
    ([10, 20, 8, 0], 100, "G1 F6000 X10.000 Y20.000 Z8.000"),
    ([10, 20], 2.5, "G1 F150 X10.000 Y20.000"),
    ([10, 20, 8], 100, "G1 F6000 X10.000 Y20.000 Z8.000"),
    # The fourth entry is not part of a move: the extruder stays.
    ([10, 20, 8, 55], 100, "G1 F6000 X10.000 Y20.000 Z8.000"),
    ((10.12345, 20.9996, 7.0004), 50, "G1 F3000 X10.123 Y21.000 Z7.000"),
    # The feed rate is truncated, not rounded.
    ([10, 20], 0.99, "G1 F59 X10.000 Y20.000"),
    # Beyond the range of any integer type, still every digit.
    ([10, 20], 1e18, "G1 F60000000000000000000 X10.000 Y20.000"),
    # A line longer than any the module writes on its own.
    ([10, 20], 1e300, "G1 F%.0f X10.000 Y20.000" % (1e300 * 60)),
])
def test_move_sends_one_line(printer, module, pos, speed, line):
    call_in_command(printer, lambda: module.move(pos, speed, wait=False))

    assert command_lines(printer) == [line]
    assert printer.lookup_object("toolhead").get_position()[3] == 0


# Halfway values, exact (0.0625) or just off it in binary, and tiny values:
# every digit as printf writes it.
@pytest.mark.parametrize("x,y,z", [
    (0.0625, 0.1875, 2.0625),
    (0.0005, 1.0005, 2.0015),
    (0.0004, 1e-300, 0.0),
    (0.1875, 100.0625, 34.5675),
] + [((k + 0.5) / 1000, (k + 0.5) / 100, k / 100 + 0.0005) for k in range(0, 20000, 373)])
def test_move_rounds_coordinates_as_printf(printer, module, x, y, z):
    call_in_command(printer, lambda: module.move([x, y, z], 100, wait=False))

    assert command_lines(printer) == ["G1 F6000 X%.3f Y%.3f Z%.3f" % (x, y, z)]


@pytest.mark.parametrize("speed,error", [(float("nan"), ValueError),
                                         (float("inf"), OverflowError),
                                         (-float("inf"), OverflowError)])
def test_move_refuses_a_feed_rate_that_is_not_a_number(printer, module, speed, error):
    with pytest.raises(error):
        module.move([10, 20], speed)
    assert command_lines(printer) == []


@pytest.mark.parametrize("pos", [[float("nan"), 20], [10, float("inf")], [10, 20, -float("inf")]])
def test_move_refuses_a_coordinate_that_is_not_a_finite_number(printer, module, pos):
    with pytest.raises(ValueError, match="^pos must be a finite number$"):
        module.move(pos, 100)
    assert command_lines(printer) == []


def test_move_waits_for_the_move_to_finish_unless_told_not_to(printer, module):
    reactor = printer.get_reactor()
    times = {}

    def moves():
        start = reactor.monotonic()
        module.move([20, 30, 12], 100, wait=False)
        times["without_wait"] = reactor.monotonic() - start
        module.move([40, 50, 12], 100)
        times["with_wait"] = reactor.monotonic()
    call_in_command(printer, moves)

    assert times["without_wait"] == 0
    assert times["with_wait"] == printer.trace.of_kind("move")[-1].data["end_time"]


@pytest.mark.parametrize("wait", [True, False])
def test_move_does_nothing_while_shut_down(printer, module, wait):
    module.shut_down = True
    reactor = printer.get_reactor()
    start = reactor.monotonic()

    call_in_command(printer, lambda: module.move([50, 60, 5], 10, wait=wait))

    assert command_lines(printer) == []
    assert printer.trace.of_kind("move") == []
    assert reactor.monotonic() == start


def test_delay_s_pauses_the_command_on_the_reactor_clock(printer, module):
    reactor = printer.get_reactor()
    ticks = []
    reactor.register_timer(lambda eventtime: ticks.append(eventtime) or reactor.NEVER,
                           reactor.monotonic() + 0.5)
    times = []

    def pause():
        times.append(reactor.monotonic())
        module.delay_s(1.5)
        times.append(reactor.monotonic())
    call_in_command(printer, pause)

    assert times[1] - times[0] == pytest.approx(1.5)
    # The host went on serving its timers meanwhile.
    assert len(ticks) == 1 and times[0] < ticks[0] < times[1]


def test_delay_s_returns_at_once_when_the_host_is_shut_down(printer, module):
    reactor = printer.get_reactor()
    times = []

    def pause():
        printer.invoke_shutdown("test shutdown")
        times.append(reactor.monotonic())
        module.delay_s(5)
        times.append(reactor.monotonic())
    call_in_command(printer, pause)

    assert times[0] == times[1]


@pytest.mark.parametrize("operation", [
    lambda module: module.move([10, 20], 10),
    lambda module: module.delay_s(0.1),
    lambda module: module.set_step_par(),
    lambda module: module.set_step_par(load_sys=False),
], ids=["move", "delay_s", "restore", "save"])
def test_operations_need_the_toolhead_a_command_fetched(make_printer, module_of, operation):
    printer = make_printer("")
    module = module_of(printer)

    with pytest.raises(AttributeError, match="toolhead"):
        call_in_command(printer, lambda: operation(module))


def test_move_without_waiting_needs_no_toolhead(make_printer, module_of):
    printer = make_printer("")
    module = module_of(printer)
    call_in_command(printer, lambda: module.move([10, 20], 10, wait=False))
    assert command_lines(printer) == ["G1 F600 X10.000 Y20.000"]


def toolhead_limits(printer):
    toolhead = printer.lookup_object("toolhead")
    return [toolhead.max_velocity, toolhead.max_accel, toolhead.kin.max_z_velocity,
            toolhead.kin.max_z_accel]


def test_probing_limits_are_applied_and_the_printers_restored(make_printer, module_of):
    printer = make_printer("run_max_velocity: 150\nrun_max_accel: 900\n"
                           "run_max_z_velocity: 5\nrun_max_z_accel: 40")
    module = module_of(printer)
    module.toolhead = printer.lookup_object("toolhead")
    normal = toolhead_limits(printer)

    module.set_step_par(load_sys=False)
    assert toolhead_limits(printer) == [150, 900, 5, 40]
    assert [module.sys_max_velocity, module.sys_max_accel, module.sys_max_z_velocity,
            module.sys_max_z_accel] == normal

    module.set_step_par()
    assert toolhead_limits(printer) == normal == [300, 3000, 15, 100]


def test_there_is_one_save_slot(printer, module):
    normal = toolhead_limits(printer)

    module.set_step_par(load_sys=False)
    module.set_step_par(load_sys=False)
    module.set_step_par()

    # The second save overwrote the printer's limits with the probing ones.
    assert toolhead_limits(printer) == [500, 500, 20, 200] != normal
