import inspect

import pytest

from klippysim import generations
from klippysim.reactor import ReactorError
from sim_support import FLAT_BED

ALL = list(generations.GENERATIONS)
OLD_PROBE = ['2023', 'kalico']
SESSIONS = ['mainline-2024', 'mainline-2026']
LETTERS = ['mainline-2024', 'mainline-2026', 'kalico']


def probe_gcmd(printer):
    return printer.lookup_object('gcode').create_gcode_command(
        "PROBE", "PROBE", {})


def in_command(printer, func):
    """Runs func() inside a G-code command and returns its result."""
    result = []
    gcode = printer.lookup_object('gcode')
    gcode.register_command("TEST_RUN", None)
    gcode.register_command("TEST_RUN", lambda gcmd: result.append(func()))
    printer.run_gcode("TEST_RUN")
    return result[0]


class TestProbeInterface:
    @pytest.mark.parametrize('generation', OLD_PROBE)
    def test_run_probe_and_z_offset(self, make_printer, generation):
        printer = make_printer(overrides=FLAT_BED, host_generation=generation)
        probe = printer.lookup_object('probe')
        assert probe.z_offset == 2.0
        assert not hasattr(probe, 'start_probe_session')
        pos = in_command(printer, lambda: probe.run_probe(probe_gcmd(printer)))
        assert pos == pytest.approx([117.5, 117.5, 2.0])

    @pytest.mark.parametrize('generation', SESSIONS)
    def test_sessions_and_offsets(self, make_printer, generation):
        printer = make_printer(overrides=FLAT_BED, host_generation=generation)
        probe = printer.lookup_object('probe')
        assert not hasattr(probe, 'run_probe')
        assert not hasattr(probe, 'z_offset')
        assert probe.get_offsets() == (-20., 5., 2.)

        def measure():
            session = probe.start_probe_session(probe_gcmd(printer))
            session.run_probe(probe_gcmd(printer))
            results = session.pull_probed_results()
            session.end_probe_session()
            return results
        [result] = in_command(printer, measure)
        # The trigger height is that of the toolhead; the bed under the
        # probe lies the probe's z_offset lower
        if generation == 'mainline-2026':
            assert tuple(result) == pytest.approx(
                (97.5, 122.5, 0.0, 117.5, 117.5, 2.0))
            assert result.test_z == pytest.approx(2.0)
            assert result.bed_z == pytest.approx(0.0)
        else:
            assert result == pytest.approx([117.5, 117.5, 2.0])

    def test_second_session_is_refused(self, make_printer):
        printer = make_printer(host_generation='mainline-2024')
        probe = printer.lookup_object('probe')

        def start_twice():
            probe.start_probe_session(probe_gcmd(printer))
            probe.start_probe_session(probe_gcmd(printer))
        with pytest.raises(printer.command_error,
                           match="start/end probe session mismatch"):
            in_command(printer, start_twice)
        # A command error ends the open session, as klippy does
        in_command(printer, lambda: probe.start_probe_session(
            probe_gcmd(printer)).end_probe_session())


# A twist correction rising 0.1 mm per 100 mm of X, over the range each
# generation reads; at the start position (X 117.5) it is 0.0175
TWIST = """
[axis_twist_compensation]
calibrate_start_x: 20
calibrate_end_x: 220
calibrate_y: 117.5
compensation_start_x: 20
compensation_end_x: 220
z_compensations: -0.08, 0.02, 0.12
"""
TWIST_AT_START = 0.0175


def probe_once(printer):
    """One probe result, as the generation's probe hands it out."""
    probe = printer.lookup_object('probe')
    if not printer.host_generation.probe_sessions:
        return in_command(printer, lambda: probe.run_probe(probe_gcmd(printer)))

    def measure():
        session = probe.start_probe_session(probe_gcmd(printer))
        session.run_probe(probe_gcmd(printer))
        [result] = session.pull_probed_results()
        session.end_probe_session()
        return result
    return in_command(printer, measure)


class TestAxisTwistCompensation:
    @pytest.mark.parametrize('generation', ALL)
    def test_correction_reaches_the_result_the_generations_way(
            self, make_printer, generation):
        printer = make_printer(TWIST, overrides=FLAT_BED,
                               host_generation=generation)
        result = probe_once(printer)
        corrected = 2.0 + TWIST_AT_START
        if generation == 'mainline-2026':
            # bed_z only; test_z is the raw trigger height
            assert tuple(result) == pytest.approx(
                (97.5, 122.5, corrected - 2.0, 117.5, 117.5, 2.0))
        else:
            assert result == pytest.approx([117.5, 117.5, corrected])
        # The correction is the host's arithmetic, not the toolhead's
        # position: the toolhead stopped at the raw trigger height
        assert printer.trace.of_kind('probe')[-1].data['position'] == \
            pytest.approx([117.5, 117.5, 2.0])

    @pytest.mark.parametrize('generation', ALL)
    @pytest.mark.parametrize('x, correction', [
        (20, -0.08), (120, 0.02), (170, 0.07), (220, 0.12),
        # Beyond the range the first and last spans go on
        (0, -0.1), (235, 0.135)])
    def test_correction_interpolated_along_x(self, make_printer, generation,
                                             x, correction):
        printer = make_printer(TWIST, overrides=FLAT_BED,
                               host_generation=generation)
        printer.run_gcode("G1 X%s F6000\nPROBE" % x)
        assert printer.lookup_object('probe').last_z_result == \
            pytest.approx(2.0 + correction)

    @pytest.mark.parametrize('generation', ALL)
    def test_range_of_the_generation_required(self, make_printer, generation):
        start, end = generations.lookup(generation).twist_range_options
        text = "\n".join(line for line in TWIST.split("\n")
                         if not line.startswith(start))
        with pytest.raises(Exception, match="z_compensations requires %s and"
                           " %s to be set" % (start, end)):
            make_printer(text, host_generation=generation)


class TestSetPosition:
    @pytest.mark.parametrize('generation', ALL)
    def test_homing_axes_of_the_other_form_raise_type_error(
            self, make_printer, generation):
        printer = make_printer(homed_axes="xy", host_generation=generation)
        toolhead = printer.lookup_object('toolhead')
        own = printer.host_generation.homing_axes("z")
        other = [2] if generation in LETTERS else "z"
        # As in klippy, the default tells the form
        default = inspect.signature(toolhead.set_position).parameters[
            'homing_axes'].default
        assert default == ("" if generation in LETTERS else ())
        with pytest.raises(TypeError):
            toolhead.set_position([10., 10., 0., 5.], homing_axes=other)
        toolhead.set_position([10., 10., 0., 5.], homing_axes=own)
        assert toolhead.get_status(0.)['homed_axes'] == "xyz"

    @pytest.mark.parametrize('generation', ALL)
    def test_extruder_position_kept_on_newer_hosts(self, make_printer,
                                                    generation):
        printer = make_printer(host_generation=generation)
        toolhead = printer.lookup_object('toolhead')
        toolhead.set_position([10., 10., 0., 5.])
        expected_e = 0. if generation in LETTERS else 5.
        assert toolhead.get_position() == [10., 10., 0., expected_e]


class TestConfigfileLayout:
    @pytest.mark.parametrize('generation', ALL)
    def test_save_config_restarts_and_no_cxsave_config(self, make_printer,
                                                        generation):
        printer = make_printer(host_generation=generation)
        configfile = printer.lookup_object('configfile')
        saver = configfile
        if generation in SESSIONS:
            saver = configfile.autosave
            assert not hasattr(configfile, 'cmd_SAVE_CONFIG')
        assert not hasattr(configfile, 'cmd_CXSAVE_CONFIG')
        configfile.set('probe', 'z_offset', '1.900')
        assert saver.save_config_pending
        printer.run_gcode("CXSAVE_CONFIG")
        assert "Unknown command:\"CXSAVE_CONFIG\"" in printer.console_lines()
        printer.run_gcode("SAVE_CONFIG")
        path = printer.get_start_args()['config_file']
        assert "#*# z_offset = 1.900" in open(path).read()
        assert printer.restart_request == 'restart'

    @pytest.mark.parametrize('generation', ALL)
    def test_host_with_its_own_cxsave_config(self, make_printer, generation):
        printer = make_printer(host_generation=generation,
                               host_cxsave_config=True)
        configfile = printer.lookup_object('configfile')
        configfile.set('probe', 'z_offset', '1.900')
        printer.run_gcode("CXSAVE_CONFIG")
        assert configfile.get_status(0.)['save_config_pending'] is False
        assert printer.restart_request is None


@pytest.mark.parametrize('generation', SESSIONS)
def test_shutdown_handler_must_not_pause(make_printer, generation):
    printer = make_printer(host_generation=generation)
    reactor = printer.get_reactor()
    printer.register_event_handler(
        "klippy:shutdown", lambda: reactor.pause(reactor.monotonic() + 1))
    with pytest.raises(ReactorError, match="reactor pause disabled"):
        printer.invoke_shutdown("test")


def test_unknown_generation_is_refused(make_printer):
    with pytest.raises(ValueError, match="Unknown host generation 'v0.9'"):
        make_printer(host_generation='v0.9')
