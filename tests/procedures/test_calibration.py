"""Z_OFFSET_CALIBRATION: the bed probe's Z offset measured against the
nozzle's own contact height, applied and saved."""
import math

import pytest

from procedure_support import (CALIBRATION_SHUTDOWN_TEXT, command_lines,
                               config_text, gcode_z_offset, offset_lines,
                               probe_answers, saved_option)

# Calibration messages, as the console shows them.
MESSAGE_PREFIXES = ("bl_data[", "z_offset_new")

# A bed far from flat: a bed probe that stands anywhere but over the point
# the nozzle touches measures another height.
ROUGH_BED = {"surface_tilt_x": "0.002", "surface_tilt_y": "-0.0015",
             "surface_bump_height": "0.05", "surface_bump_pitch": "30"}


def calibration_messages(printer):
    return [line for line in printer.console_lines()
            if line.startswith(MESSAGE_PREFIXES)]


def status_values(printer):
    return [e.data["status"]["auto_alignment_status"]
            for e in printer.trace.of_kind("status")]


def tensink_calls(printer, name):
    return [args for call, args in printer.lookup_object("tensink_v2").calls
            if call == name]


@pytest.mark.parametrize("bed", ["flat", "rough"])
@pytest.mark.parametrize("true_offset, tri_expand_mm", [
    (1.8, 0.05), (1.8, -0.15), (0.9, 0.3), (2.4, 0.1)])
def test_saved_offset_is_what_the_geometry_implies(make_printer, module_of,
                                                  bed, true_offset,
                                                  tri_expand_mm):
    sim_options = {"true_probe_offset": str(true_offset)}
    if bed == "rough":
        sim_options.update(ROUGH_BED)
    # The offsets lie up to 1.4 mm from the configured 2.0.
    printer = make_printer("tri_expand_mm: %s\nmax_offset_change: 1.5" % tri_expand_mm,
                           overrides={"simulated_printer": sim_options})
    module = module_of(printer)
    printer.run_gcode("Z_OFFSET_CALIBRATION")

    expected = true_offset - tri_expand_mm
    assert saved_option(printer, "probe", "z_offset") == "%.3f" % expected
    assert module.auto_alignment_status == 5
    assert 4 in status_values(printer)
    # The G-code offset is left at the change of the probe offset (as sent
    # with six decimals).
    assert gcode_z_offset(printer) == pytest.approx(2.0 - expected, abs=1e-5)
    assert module.z_offset_move == pytest.approx(2.0 - expected, abs=1e-5)
    assert printer.lookup_object("bed_mesh").get_mesh() is not None


def test_worked_example_digit_for_digit(make_printer, module_of, monkeypatch):
    printer = make_printer("show_msg: True\ntri_expand_mm: 0.1\n"
                           "bl_offset: -20, 5\nnoz_pos_center: 117.5, 117.5\n"
                           "noz_pos_offset: 10, 10")
    probe_answers(printer, monkeypatch, bed_probe_z=[2.10, 2.14],
                  nozzle_z=[0.05, 0.07])
    printer.run_gcode("Z_OFFSET_CALIBRATION")

    assert calibration_messages(printer) == [
        "bl_data[0]= 0.100000, pr_data[0] = -1.950000, z_offset[0] = 2.050000",
        "bl_data[1]= 0.140000, pr_data[1] = -1.930000, z_offset[1] = 2.070000",
        "z_offset_new = 1.960000",
        "z_offset_new = 1.960000",
    ]
    assert command_lines(printer) == [
        "SET_GCODE_OFFSEt Z_ADJUST=0.000000 MOVE=1",
        "G1 F6000 X147.500 Y122.500 Z8.000",
        "G1 F6000 X127.500 Y102.500 Z8.000",
        "SET_GCODE_OFFSEt Z_ADJUST=0.040000 MOVE=1",
        "Z_OFFSET_APPLY_PROBE",
        "CXSAVE_CONFIG",
    ]
    assert saved_option(printer, "probe", "z_offset") == "1.960"
    assert module_of(printer).auto_alignment_status == 5


@pytest.mark.parametrize("center, distance, bl_offset", [
    ((117.5, 117.5), 10, (-20, 5)),
    ((90, 140), 4, (25, -10)),
])
def test_points_are_diagonal_and_probes_stand_over_them(
        make_printer, center, distance, bl_offset):
    printer = make_printer(
        "bl_offset: %s, %s\nnoz_pos_center: %s, %s\n"
        "noz_pos_offset: %s, %s\nvs_start_z_pos: 4"
        % (bl_offset + center + (distance, distance)),
        overrides={"probe": {"x_offset": str(bl_offset[0]),
                             "y_offset": str(bl_offset[1])}})
    printer.run_gcode("Z_OFFSET_CALIBRATION")

    points = [(center[0] + distance, center[1] + distance),
              (center[0] - distance, center[1] - distance)]
    # The bed probe: the toolhead goes to the point less bl_offset, 8 mm up.
    probe_lines = [line for line in command_lines(printer)
                   if line.startswith("G1")]
    assert probe_lines == [
        "G1 F6000 X%.3f Y%.3f Z8.000" % (x - bl_offset[0], y - bl_offset[1])
        for x, y in points]
    # The nozzle: straight over the point at vs_start_z_pos.
    assert tensink_calls(printer, "move") == [
        [[x, y, 4.0, 0.0], 100] for x, y in points]
    assert tensink_calls(printer, "run_step_tensink") == [
        [25.0, 0, False, 5, 5, True]] * 2
    # Both probes measured the bed at the same points.
    assert [e.data["position"][:2] for e in printer.trace.of_kind("probe")] \
        == [pytest.approx([x - bl_offset[0], y - bl_offset[1]])
            for x, y in points]
    assert [(e.data["x"], e.data["y"])
            for e in printer.trace.of_kind("tensink_result")] \
        == [pytest.approx(p) for p in points]


@pytest.mark.parametrize("bounds", [(5, 15), (15, 5)])
def test_random_points_fall_between_the_bounds_in_either_order(
        make_printer, bounds):
    printer = make_printer("bl_offset: -20, 5\nnoz_pos_center: 117.5, 117.5\n"
                           "noz_pos_offset: %s, %s" % bounds)
    runs = 4
    for _ in range(runs):
        printer.run_gcode("Z_OFFSET_CALIBRATION")

    moves = tensink_calls(printer, "move")
    assert len(moves) == 2 * runs
    distances = []
    for first, second in zip(moves[0::2], moves[1::2]):
        dx, dy = first[0][0] - 117.5, first[0][1] - 117.5
        assert second[0][:2] == pytest.approx([117.5 - dx, 117.5 - dy])
        for d in (dx, dy):
            assert min(bounds) <= d <= max(bounds)
        distances += [dx, dy]
    assert len(set(distances)) == len(distances), "draws repeat"
    assert saved_option(printer, "probe", "z_offset") == "1.750"


def test_gcode_offset_on_entry_is_cancelled(make_printer):
    printer = make_printer("")
    printer.run_gcode("SET_GCODE_OFFSET Z=0.3")
    printer.run_gcode("Z_OFFSET_CALIBRATION")
    assert offset_lines(printer) == [
        "SET_GCODE_OFFSEt Z_ADJUST=-0.300000 MOVE=1",
        "SET_GCODE_OFFSEt Z_ADJUST=0.250000 MOVE=1",
    ]
    assert saved_option(printer, "probe", "z_offset") == "1.750"
    assert gcode_z_offset(printer) == pytest.approx(0.25)


def test_offset_of_exactly_zero_is_accepted(make_printer, module_of,
                                            monkeypatch):
    # 2.5 - 2.25 - 0.25 is exactly 0 in binary floating point, 2 mm from
    # the configured offset.
    printer = make_printer("show_msg: True\ntri_expand_mm: 0.25\nmax_offset_change: 0")
    probe_answers(printer, monkeypatch, bed_probe_z=[2.5, 2.5],
                  nozzle_z=[2.25, 2.25])
    printer.run_gcode("Z_OFFSET_CALIBRATION")
    assert calibration_messages(printer)[-1] == "z_offset_new = 0.000000"
    assert offset_lines(printer)[-1] == "SET_GCODE_OFFSEt Z_ADJUST=2.000000 MOVE=1"
    assert saved_option(printer, "probe", "z_offset") == "0.000"
    assert module_of(printer).auto_alignment_status == 5
    assert not printer.is_shutdown()


def test_unchanged_offset_shifts_by_zero_and_completes(make_printer, module_of,
                                                       monkeypatch):
    # 2.5 - 0.25 - 0.25 is exactly the configured 2.0.
    printer = make_printer("tri_expand_mm: 0.25")
    probe_answers(printer, monkeypatch, bed_probe_z=[2.5, 2.5],
                  nozzle_z=[0.25, 0.25])
    printer.run_gcode("Z_OFFSET_CALIBRATION")
    assert offset_lines(printer) == [
        "SET_GCODE_OFFSEt Z_ADJUST=0.000000 MOVE=1"] * 2
    assert command_lines(printer)[-2:] == ["Z_OFFSET_APPLY_PROBE",
                                           "CXSAVE_CONFIG"]
    assert module_of(printer).auto_alignment_status == 5
    assert not printer.is_shutdown()


def assert_refused_and_nothing_saved(printer, module, config_before):
    assert printer.is_shutdown()
    assert [e.data["message"] for e in printer.trace.of_kind("shutdown")] == [
        CALIBRATION_SHUTDOWN_TEXT]
    assert "Z_OFFSET_APPLY_PROBE" not in command_lines(printer)
    assert "CXSAVE_CONFIG" not in command_lines(printer)
    assert printer.trace.of_kind("config_set") == []
    assert printer.trace.of_kind("config_save") == []
    assert config_text(printer) == config_before
    assert module.auto_alignment_status == 4
    assert module.z_offset_move == 0
    assert gcode_z_offset(printer) == 0


@pytest.mark.parametrize("how", ["geometry", "just below zero"])
def test_negative_offset_is_refused(make_printer, module_of, monkeypatch, how):
    if how == "geometry":
        # The probe triggers 0.05 mm above the bed: 0.05 - 0.1 < 0.
        printer = make_printer("tri_expand_mm: 0.1", overrides={
            "simulated_printer": {"true_probe_offset": "0.05"}})
    else:
        printer = make_printer("tri_expand_mm: 0.25")
        nozzle = 2.25 + 2 ** -20
        probe_answers(printer, monkeypatch, bed_probe_z=[2.5, 2.5],
                      nozzle_z=[nozzle, nozzle])
    module = module_of(printer)
    config_before = config_text(printer)
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode("Z_OFFSET_CALIBRATION")
    assert str(raised.value) == CALIBRATION_SHUTDOWN_TEXT

    cancel, shift, take_back = offset_lines(printer)
    assert cancel == "SET_GCODE_OFFSEt Z_ADJUST=0.000000 MOVE=1"
    shift_value = float(shift.split("=")[1].split()[0])
    assert shift_value > 2.0
    assert take_back == "SET_GCODE_OFFSEt Z_ADJUST=%f MOVE=1" % -shift_value
    assert_refused_and_nothing_saved(printer, module, config_before)
    assert printer.lookup_object("bed_mesh").get_mesh() is None


NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize("bed_probe_z, nozzle_z, shown", [
    ([NAN, 2.1], [0.05, 0.05], "nan"),
    ([2.1, 2.1], [0.05, NAN], "nan"),
    ([INF, 2.1], [0.05, 0.05], "inf"),
    ([2.1, 2.1], [INF, 0.05], "-inf"),
])
def test_non_finite_offset_is_refused_before_any_offset_line(
        make_printer, module_of, monkeypatch, bed_probe_z, nozzle_z, shown):
    printer = make_printer("show_msg: True")
    probe_answers(printer, monkeypatch, bed_probe_z, nozzle_z)
    module = module_of(printer)
    config_before = config_text(printer)
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode("Z_OFFSET_CALIBRATION")
    assert str(raised.value) == CALIBRATION_SHUTDOWN_TEXT
    assert calibration_messages(printer)[-1] == "z_offset_new = %s" % shown
    assert offset_lines(printer) == ["SET_GCODE_OFFSEt Z_ADJUST=0.000000 MOVE=1"]
    assert_refused_and_nothing_saved(printer, module, config_before)


def test_non_finite_stored_probe_offset_is_refused(make_printer, module_of,
                                                   monkeypatch):
    printer = make_printer("")
    monkeypatch.setattr(printer.lookup_object("probe"), "z_offset", NAN)
    module = module_of(printer)
    config_before = config_text(printer)
    with pytest.raises(printer.command_error):
        printer.run_gcode("Z_OFFSET_CALIBRATION")
    assert offset_lines(printer) == ["SET_GCODE_OFFSEt Z_ADJUST=0.000000 MOVE=1"]
    assert not math.isnan(gcode_z_offset(printer))
    assert_refused_and_nothing_saved(printer, module, config_before)
