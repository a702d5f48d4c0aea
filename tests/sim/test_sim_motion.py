import pytest

from sim_support import FLAT_BED


def heat_extruder(printer, temp=200.):
    printer.lookup_object('heaters').set_temperature(
        printer.lookup_object('extruder').heater, temp)
    printer.run_for(120.)


class TestToolhead:
    def test_start_position_and_fresh_lists(self, make_printer):
        printer = make_printer()
        toolhead = printer.lookup_object('toolhead')
        pos = toolhead.get_position()
        assert pos == [117.5, 117.5, 10., 0.]
        pos[0] = 1.
        assert toolhead.get_position()[0] == 117.5

    def test_move_out_of_range(self, make_printer):
        printer = make_printer()
        with pytest.raises(printer.command_error) as info:
            printer.run_gcode("G1 X300 Y100")
        assert str(info.value) == (
            "Move out of range: 300.000 100.000 10.000 [0.000]")

    def test_unhomed_axis(self, make_printer):
        printer = make_printer(homed_axes="xy")
        with pytest.raises(printer.command_error) as info:
            printer.run_gcode("G1 Z5")
        assert str(info.value) == (
            "Must home axis first: 117.500 117.500 5.000 [0.000]")
        toolhead = printer.lookup_object('toolhead')
        toolhead.set_position([117.5, 117.5, 0., 0.], homing_axes=[2])
        printer.run_gcode("G1 Z5")

    @pytest.mark.parametrize("line", ["G1 X100 Y100 Znan", "G1 Xinf Y80"])
    def test_non_finite_word_is_dropped_as_klippy_does_and_recorded(
            self, make_printer, line):
        printer = make_printer()
        printer.run_gcode("G1 X50 Y50 Z5")
        printer.run_gcode(line)
        end = printer.trace.of_kind('move')[-1].data['end']
        assert end[:3] in ([100., 100., 5.], [50., 80., 5.])
        recorded = printer.trace.of_kind('non_finite_coordinate')
        assert [(e.data['line'], e.data['position']) for e in recorded] == [
            (line, None)]

    def test_non_finite_target_is_taken_and_recorded(self, make_printer):
        printer = make_printer()
        toolhead = printer.lookup_object('toolhead')
        toolhead.move([50., float('nan'), 5., 0.], 10.)
        recorded = printer.trace.of_kind('non_finite_coordinate')
        assert len(recorded) == 1
        assert recorded[0].data['line'] is None
        assert str(recorded[0].data['position']) == "[50.0, nan, 5.0, 0.0]"

    def test_moves_take_virtual_time(self, make_printer):
        printer = make_printer()
        reactor = printer.get_reactor()
        start = reactor.monotonic()
        # 117.5 mm at 100 mm/s with 3000 mm/s^2 to start and stop
        printer.run_gcode("G1 X0 F6000\nM400")
        assert reactor.monotonic() - start == pytest.approx(
            117.5 / 100. + 100. / 3000.)
        # A Z move is held to max_z_velocity 15 and max_z_accel 100
        start = reactor.monotonic()
        printer.run_gcode("G1 Z20 F6000\nM400")
        assert reactor.monotonic() - start == pytest.approx(
            10. / 15. + 15. / 100.)
        move = printer.trace.of_kind('move')[-1]
        assert move.data['speed'] == 15.
        assert move.data['end'] == [0., 117.5, 20., 0.]

    def test_limits_written_directly_apply_to_the_next_move(self,
                                                            make_printer):
        printer = make_printer()
        toolhead = printer.lookup_object('toolhead')
        toolhead.max_velocity = 10.
        toolhead.kin.max_z_velocity = 2.
        printer.run_gcode("G1 X100 F6000\nG1 Z12")
        speeds = [e.data['speed'] for e in printer.trace.of_kind('move')]
        assert speeds == [10., 2.]

    def test_relative_retract(self, make_printer):
        printer = make_printer()
        with pytest.raises(printer.command_error) as info:
            printer.run_gcode("G91\nG0 E-5.000000\nG90")
        assert str(info.value) == (
            "Extrude below minimum temp\n"
            "See the 'min_extrude_temp' config option for details")
        assert "!! Extrude below minimum temp" in printer.console
        printer.run_gcode("G90")
        heat_extruder(printer)
        printer.run_gcode("G91\nG0 E-5.000000\nG90\nG1 X100")
        assert printer.lookup_object('toolhead').get_position() == [
            100., 117.5, 10., -5.]


class TestGCodeOffset:
    def test_z_adjust_accumulates_and_moves(self, make_printer):
        printer = make_printer()
        toolhead = printer.lookup_object('toolhead')
        gcode_move = printer.lookup_object('gcode_move')
        printer.run_gcode("SET_GCODE_OFFSET Z_ADJUST=0.2")
        assert gcode_move.homing_position == [0., 0., 0.2, 0.]
        assert toolhead.get_position()[2] == 10.
        printer.run_gcode("SET_GCODE_OFFSEt Z_ADJUST=-0.050000 MOVE=1")
        assert gcode_move.homing_position[2] == pytest.approx(0.15)
        # MOVE=1 moves by this command's change only
        assert toolhead.get_position()[2] == pytest.approx(9.95)
        printer.run_gcode("G1 Z5")
        assert toolhead.get_position()[2] == pytest.approx(5.15)
        assert gcode_move.get_status()['homing_origin'].z == \
            pytest.approx(0.15)

    def test_move_speed(self, make_printer):
        printer = make_printer()
        printer.run_gcode("SET_GCODE_OFFSET Z=1 MOVE=1 MOVE_SPEED=2")
        assert printer.trace.of_kind('move')[-1].data['speed'] == 2.


class TestHomingAndMesh:
    def test_g28_z_homes_on_the_probe(self, make_printer):
        printer = make_printer(overrides=FLAT_BED)
        sim = printer.sim
        printer.run_gcode("G1 Z20\nG28 Z")
        toolhead = printer.lookup_object('toolhead')
        pos = toolhead.get_position()
        # At the trigger, the toolhead Z is the probe's z_offset; the
        # nozzle really stands the true probe distance above the bed
        assert pos[2] == pytest.approx(2.0)
        assert sim.nozzle_gap(pos) == pytest.approx(1.8)
        assert printer.trace.of_kind('homing')[-1].data['axes'] == [2]

    def test_safe_z_home(self, make_printer):
        printer = make_printer("""
[safe_z_home]
home_xy_position: 100, 90
z_hop: 10
""", overrides=FLAT_BED, homed_axes="")
        printer.run_gcode("G28")
        pos = printer.lookup_object('toolhead').get_position()
        assert pos == pytest.approx([100., 90., 10., 0.])
        status = printer.lookup_object('toolhead').get_status(0.)
        assert status['homed_axes'] == "xyz"

    def test_mesh_transform(self, make_printer):
        printer = make_printer("""
[bed_mesh]
mesh_min: 20, 20
mesh_max: 210, 210
probe_count: 4, 4
""")
        bed_mesh = printer.lookup_object('bed_mesh')
        toolhead = printer.lookup_object('toolhead')
        mesh = bed_mesh.get_mesh()
        assert mesh is not None
        printer.run_gcode("G1 X50 Y60 Z1")
        assert toolhead.get_position()[2] == pytest.approx(
            1. + mesh.calc_z(50., 60.))
        bed_mesh.set_mesh(None)
        printer.run_gcode("G1 X50 Y60 Z1")
        assert toolhead.get_position()[2] == pytest.approx(1.)
        bed_mesh.set_mesh(mesh)
        assert bed_mesh.get_mesh() is mesh
