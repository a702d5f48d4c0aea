import greenlet
import pytest

import klippysim
from klippysim.reactor import ReactorError, VirtualReactor


class TestReactor:
    def test_pause_lets_timers_run_in_other_greenlets(self):
        reactor = VirtualReactor()
        events = []

        def ticker(eventtime):
            events.append(('tick', eventtime, greenlet.getcurrent()))
            return eventtime + 1.

        def command(eventtime):
            me = greenlet.getcurrent()
            events.append(('start', eventtime, me))
            woke = reactor.pause(eventtime + 2.5)
            events.append(('resumed', woke, greenlet.getcurrent() is me))
            reactor.end()
        reactor.register_timer(ticker, 0.5)
        reactor.register_callback(command)
        reactor.run()
        kinds = [(e[0], e[1]) for e in events]
        assert kinds == [('start', 0.), ('tick', .5), ('tick', 1.5),
                         ('tick', 2.5), ('resumed', 2.5)]
        # The paused command resumed in its own greenlet; the ticks ran in
        # a different one
        command_greenlet = events[0][2]
        assert events[-1][2] is True
        assert all(e[2] is not command_greenlet for e in events
                   if e[0] == 'tick')

    def test_timer_callback_may_pause(self):
        reactor = VirtualReactor()
        order = []

        def slow(eventtime):
            order.append(('slow start', eventtime))
            reactor.pause(eventtime + 1.)
            order.append(('slow end', reactor.monotonic()))
            return reactor.NEVER

        def fast(eventtime):
            order.append(('fast', eventtime))
            return reactor.NEVER
        reactor.register_timer(slow, 1.)
        reactor.register_timer(fast, 1.5)
        reactor.run(until=5.)
        assert order == [('slow start', 1.), ('fast', 1.5), ('slow end', 2.)]
        assert reactor.monotonic() == 5.

    def test_completion_and_mutex(self):
        reactor = VirtualReactor()
        completion = reactor.completion()
        mutex = reactor.mutex()
        results = []

        def waiter(eventtime):
            results.append(completion.wait())

        def holder(eventtime):
            with mutex:
                reactor.pause(eventtime + 1.)
                results.append('holder done')

        def contender(eventtime):
            with mutex:
                results.append('contender in at %.1f' % reactor.monotonic())
            completion.complete('ready')
        reactor.register_callback(waiter)
        reactor.register_callback(holder)
        reactor.register_callback(contender, .5)
        reactor.run(until=10.)
        assert results == ['holder done', 'contender in at 1.0', 'ready']


class TestCommands:
    def test_timer_runs_while_a_command_is_suspended(self, make_printer):
        printer = make_printer("[dummy]\n")
        reactor = printer.get_reactor()
        seen = []

        def watch(eventtime):
            seen.append(printer.pending_command is not None)
            return reactor.NEVER
        start = reactor.monotonic()
        reactor.register_timer(watch, start + 1.)
        printer.run_gcode("DUMMY_WAIT SECONDS=3")
        assert seen == [True]
        assert reactor.monotonic() == pytest.approx(start + 3.)
        assert "waited 3.0" in printer.console_lines()

    def test_command_error_is_raised_as_the_host_object(self, make_printer):
        printer = make_printer("[dummy]\n")
        with pytest.raises(printer.command_error) as info:
            printer.run_gcode("DUMMY_FAIL")
        assert str(info.value) == "dummy failure"
        assert "!! dummy failure" in printer.console
        assert not printer.is_shutdown()

    def test_other_errors_shut_the_host_down(self, make_printer):
        printer = make_printer("[dummy]\n")
        with pytest.raises(ZeroDivisionError):
            printer.run_gcode("DUMMY_CRASH")
        assert printer.is_shutdown()
        assert printer.shutdown_message == \
            'Internal error on command:"DUMMY_CRASH"'
        assert '!! Internal error on command:"DUMMY_CRASH"' in printer.console
        # Afterwards only the basic commands exist
        with pytest.raises(printer.command_error) as info:
            printer.run_gcode("G1 X10")
        assert str(info.value).startswith(
            'Internal error on command:"DUMMY_CRASH"\nOnce the underlying')
        assert str(info.value).endswith("Printer is shutdown\n")

    def test_invoke_shutdown_returns_and_is_recorded(self, make_printer):
        printer = make_printer()
        printer.invoke_shutdown("Shutdown due to a test")
        assert printer.is_shutdown()
        assert printer.trace.of_kind('shutdown')[0].data == {
            'message': "Shutdown due to a test"}
        assert "Klipper state: Shutdown" in printer.console_lines()

    def test_timeout_then_restart_passes_greenlet_exit(self, make_printer):
        printer = make_printer("[dummy]\n")
        with pytest.raises(klippysim.SimulationTimeout) as info:
            printer.run_gcode("DUMMY_WAIT SECONDS=100", timeout=10.)
        assert info.value.run is printer.pending_command
        run = printer.abort_command()
        assert isinstance(run.exception, greenlet.GreenletExit)
        assert "waited 100.0" not in printer.console_lines()
        assert printer.trace[-1].kind == 'restart'
        with pytest.raises(RuntimeError):
            printer.run_gcode("G4")

    def test_restart_reveals_a_swallowed_greenlet_exit(self, make_printer):
        printer = make_printer("[dummy]\n")
        printer.start_gcode("DUMMY_SWALLOW_EXIT")
        printer.run_for(5.)
        run = printer.abort_command()
        assert run.done and run.exception is None
        kinds = [e.kind for e in printer.trace]
        after_restart = kinds[kinds.index('restart') + 1:]
        assert 'console' in after_restart

    def test_run_for_finishes_a_started_command(self, make_printer):
        printer = make_printer("[dummy]\n")
        run = printer.start_gcode("DUMMY_WAIT SECONDS=2")
        printer.run_for(1.)
        assert not run.done
        printer.run_for(1.5)
        assert run.done and run.exception is None
        assert printer.pending_command is None


class TestStatusPolling:
    def test_status_is_polled_while_a_command_waits(self, make_printer):
        printer = make_printer("[dummy]\n", overrides={'simulated_printer': {
            'status_trace_objects': 'dummy'}})
        printer.run_gcode("DUMMY_WAIT SECONDS=1")
        printer.run_for(0.5)
        stages = [e.data['status']['stage']
                  for e in printer.trace.of_kind('status')]
        assert stages == [0, 1, 2]

    def test_get_status_must_not_pause(self, make_printer):
        printer = make_printer()
        reactor = printer.get_reactor()

        class Pausing:
            def get_status(self, eventtime):
                reactor.pause(eventtime + 1.)
        printer.add_object('pausing', Pausing())
        with pytest.raises(ReactorError):
            printer.run_for(1.)
