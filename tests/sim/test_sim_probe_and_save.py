import pytest

import klippysim
from sim_support import FLAT_BED


class TestProbe:
    def test_run_probe_returns_the_trigger_height(self, make_printer):
        printer = make_printer(overrides=FLAT_BED)
        probe = printer.lookup_object('probe')
        printer.run_gcode("PROBE")
        # Started as if homed here: the trigger height is z_offset
        assert probe.last_z_result == pytest.approx(2.0)
        assert "probe at 117.500,117.500 is z=2.000000" in \
            printer.console_lines()
        assert "Result is z=2.000000" in printer.console_lines()

    def test_probe_follows_the_surface_under_the_probe(self, make_printer):
        printer = make_printer()
        sim, probe = printer.sim, printer.lookup_object('probe')
        printer.run_gcode("G1 X60 Y40 F6000\nPROBE")
        expected = sim.probe_trigger_z(60. + probe.x_offset,
                                       40. + probe.y_offset)
        assert probe.last_z_result == pytest.approx(expected, abs=0.01)

    def test_probe_errors(self, make_printer):
        printer = make_printer(homed_axes="xy")
        with pytest.raises(printer.command_error) as info:
            printer.run_gcode("PROBE")
        assert str(info.value) == "Must home before probe"
        printer = make_printer()
        printer.run_gcode("G1 Z1")
        with pytest.raises(printer.command_error) as info:
            printer.run_gcode("PROBE")
        assert str(info.value) == "Probe triggered prior to movement"


class TestApplyAndSave:
    def test_apply_probe_then_save_rewrites_the_file(self, make_printer,
                                                     klippy_dir):
        printer = make_printer()
        path = printer.get_start_args()['config_file']
        probe = printer.lookup_object('probe')
        printer.run_gcode("SET_GCODE_OFFSET Z_ADJUST=0.040000 MOVE=1")
        printer.run_gcode("Z_OFFSET_APPLY_PROBE")
        assert "probe: z_offset: 1.960" in printer.console_lines()
        # Only the pending configuration changed
        assert probe.z_offset == 2.0
        printer.run_gcode("SAVE_CONFIG")
        text = open(path).read()
        assert "#*# [probe]\n#*# z_offset = 1.960\n" in text
        assert "\n#z_offset: 2.0\n" in text
        # klippy restarts after SAVE_CONFIG; the simulator takes no more
        assert printer.restart_request == 'restart'
        with pytest.raises(RuntimeError):
            printer.run_gcode("M400")
        reread = klippysim.Printer(path, klippy_dir)
        assert reread.lookup_object('probe').z_offset == pytest.approx(1.96)

    def test_host_own_cxsave_config_saves_twice_without_restart(
            self, make_printer):
        printer = make_printer(host_cxsave_config=True)
        path = printer.get_start_args()['config_file']
        configfile = printer.lookup_object('configfile')
        configfile.set('probe', 'z_offset', '1.900')
        gcode = printer.lookup_object('gcode')
        gcmd = gcode.create_gcode_command("Z_OFFSET_AUTO", "Z_OFFSET_AUTO",
                                          {})
        configfile.cmd_CXSAVE_CONFIG(gcmd)
        configfile.cmd_CXSAVE_CONFIG(gcmd)
        text = open(path).read()
        assert text.count("SAVE_CONFIG") == 1
        assert text.count("#*# z_offset = 1.900") == 1
        assert len(printer.trace.of_kind('config_save')) == 2
        assert printer.restart_request is None
        printer.run_gcode("CXSAVE_CONFIG")
        assert configfile.get_status(0.)['save_config_pending'] is False

    def test_nothing_to_apply_with_zero_offset(self, make_printer):
        printer = make_printer()
        printer.run_gcode("SET_GCODE_OFFSET Z_ADJUST=0.000000 MOVE=1")
        printer.run_gcode("Z_OFFSET_APPLY_PROBE")
        assert "Nothing to do: Z Offset is 0" in printer.console_lines()
        assert printer.lookup_object('configfile').status_save_pending == {}

    def test_save_without_changes_leaves_the_file(self, make_printer):
        printer = make_printer()
        path = printer.get_start_args()['config_file']
        before = open(path).read()
        printer.run_gcode("SAVE_CONFIG")
        assert open(path).read() == before
