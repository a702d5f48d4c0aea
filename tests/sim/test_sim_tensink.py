import pytest

from in_command import call_in_command
from sim_support import FLAT_BED


def tensink_printer(make_printer, extra='', **options):
    overrides = {'tensink_v2': options} if options else None
    printer = make_printer(extra, overrides=overrides)
    return printer, printer.lookup_object('tensink_v2')


def swap_replies(tensink):
    replies = []
    for level in (0, 1):
        tensink.write_swap_tensink_cmd.send([tensink.pres_oid, level])
        replies.append(tensink.read_swap_tensink_cmd.send(
            [tensink.step_oid]))
    return replies


class TestSyncLine:
    @pytest.mark.parametrize('mode, levels', [
        ('healthy', [0, 1]), ('stuck_0', [0, 0]), ('stuck_1', [1, 1])])
    def test_levels(self, make_printer, mode, levels):
        printer, tensink = tensink_printer(make_printer, sim_swap_line=mode)
        replies = call_in_command(printer, lambda: swap_replies(tensink))
        assert [r['sta'] for r in replies] == levels
        assert replies[0]['oid'] == tensink.step_oid

    @pytest.mark.parametrize('mode, reply', [
        ('empty', {}), ('absent', None)])
    def test_empty_and_absent_replies(self, make_printer, mode, reply):
        printer, tensink = tensink_printer(make_printer, sim_swap_line=mode)
        assert call_in_command(printer, lambda: swap_replies(tensink)) == \
            [reply, reply]

    def test_reply_without_level(self, make_printer):
        printer, tensink = tensink_printer(make_printer,
                                           sim_swap_line='no_sta')
        replies = call_in_command(printer, lambda: swap_replies(tensink))
        assert replies[0] and 'sta' not in replies[0]

    def test_a_read_waits_for_the_reply(self, make_printer):
        printer, tensink = tensink_printer(make_printer)
        reactor = printer.get_reactor()
        start = reactor.monotonic()
        call_in_command(printer, lambda: swap_replies(tensink))
        assert reactor.monotonic() == pytest.approx(start + 0.01)

    def test_calls_are_recorded_in_order(self, make_printer):
        printer, tensink = tensink_printer(make_printer)
        call_in_command(printer, lambda: swap_replies(tensink))
        assert tensink.calls == [
            ('write_swap_tensink_cmd.send', [1, 0]),
            ('read_swap_tensink_cmd.send', [2]),
            ('write_swap_tensink_cmd.send', [1, 1]),
            ('read_swap_tensink_cmd.send', [2])]


class TestSteppingRun:
    def start_run(self, printer, tensink):
        step_cnt, step_us, acc_cnt = tensink.get_step_cnts(25., 10.)
        tensink.start_step_tensink_cmd.send(
            [tensink.step_oid, 1, tensink.tri_send_ms, step_cnt, step_us,
             acc_cnt, 5, 16, 0])

    def test_step_counts(self, make_printer):
        printer, tensink = tensink_printer(make_printer)
        assert tensink.get_step_cnts(25., 10.) == (10000, 250, 100)
        assert tensink.get_mm_per_step() == 0.0025

    def test_results_arrive_later(self, make_printer):
        printer, tensink = tensink_printer(make_printer)
        tensink.step_res.append('stale')
        self.start_run(printer, tensink)
        assert tensink.step_res == []
        printer.run_for(0.4)
        assert len(tensink.step_res) == 0
        printer.run_for(0.2)
        assert len(tensink.step_res) == 32

    @pytest.mark.parametrize('count, expected', [(0, 0), (40, 40)])
    def test_never_or_too_many_results(self, make_printer, count, expected):
        printer, tensink = tensink_printer(
            make_printer, sim_step_result_count=count)
        self.start_run(printer, tensink)
        printer.run_for(5.)
        assert len(tensink.step_res) == expected

    def test_stop_cancels_pending_results(self, make_printer):
        printer, tensink = tensink_printer(make_printer)
        self.start_run(printer, tensink)
        tensink.start_step_tensink_cmd.send(
            [tensink.step_oid, 0, 0, 0, 0, 0, 5, 16, 0])
        printer.run_for(5.)
        assert tensink.step_res == []

    def test_the_run_lowers_the_nozzle_onto_the_bed(self, make_printer):
        printer, tensink = tensink_printer(make_printer)
        toolhead = printer.lookup_object('toolhead')
        tensink.enable_steps()
        self.start_run(printer, tensink)
        # The toolhead does not know; its Z is unchanged, the nozzle is down
        assert printer.sim.nozzle_gap(toolhead.get_position()) == \
            pytest.approx(0.)
        pos = toolhead.get_position()
        toolhead.set_position([pos[0], pos[1], 0., pos[3]], homing_axes=[2])
        assert printer.sim.nozzle_gap(toolhead.get_position()) == \
            pytest.approx(0.)
        tensink.disable_steps()
        assert [c[0] for c in tensink.calls] == [
            'enable_steps', 'get_step_cnts', 'start_step_tensink_cmd.send',
            'disable_steps']


class TestContactProbing:
    def test_contact_height_and_final_position(self, make_printer):
        printer = make_printer(overrides=FLAT_BED)
        tensink = printer.lookup_object('tensink_v2')
        toolhead = printer.lookup_object('toolhead')

        def probe():
            tensink.move([100., 100., 3., 0.], 100)
            return tensink.run_step_tensink(25., 0, False, 5, 5, True)
        contact_z = call_in_command(printer, probe)
        # Started as if homed on the probe: contact is z_offset below the
        # true probe distance
        assert contact_z == pytest.approx(2.0 - 1.8)
        assert toolhead.get_position()[2] == pytest.approx(contact_z)
        assert tensink.calls[-1] == (
            'run_step_tensink', [25., 0, False, 5, 5, True])

    def test_eight_arguments(self, make_printer):
        printer = make_printer(overrides=FLAT_BED)
        tensink = printer.lookup_object('tensink_v2')
        call_in_command(printer, lambda: tensink.run_step_tensink(
            25., 0, False, 5, 5, True, 2000, 6000))
        assert tensink.calls[-1][1] == [25., 0, False, 5, 5, True, 2000, 6000]

    def test_no_contact_within_the_travel(self, make_printer):
        printer = make_printer(overrides=FLAT_BED)
        tensink = printer.lookup_object('tensink_v2')
        with pytest.raises(printer.command_error) as info:
            call_in_command(printer, lambda: tensink.run_step_tensink(
                5., 0, False, 1, 1, True))
        assert str(info.value) == "Pressure probe: no contact within 5.000 mm"

    def test_measured_offset_is_the_true_probe_offset(self, make_printer):
        printer = make_printer("[dummy]\n", overrides={
            'simulated_printer': {'true_probe_offset': 1.85}})
        printer.run_gcode("DUMMY_MEASURE X=80 Y=150")
        line = [l for l in printer.console_lines()
                if l.startswith("measured offset")][0]
        assert float(line.split()[-1]) == pytest.approx(1.85, abs=0.01)
