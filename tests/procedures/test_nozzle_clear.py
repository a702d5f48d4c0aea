"""VQTWENTYMA_NOZZLE_CLEAR: heat, find the bed at both ends of a random
stroke, rub the nozzle along it, cool it and home Z."""
import pytest

from procedure_support import (WIPE_AREA, command_lines, gcode_z_offset,
                               heater_targets, move_lines)

COMMAND = "VQTWENTYMA_NOZZLE_CLEAR"

# The wipe area and stroke of the worked example; the area is 50 mm deep
# for a 30 mm stroke, or exactly as deep as the stroke.
WORKED_EXAMPLE = """
pa_clr_dis_mm_x: 0
pa_clr_dis_mm_y: 30
pa_clr_down_mm: -0.15
bed_max_err: 5
pa_clr_dis_mm: 30
clr_noz_start_x: 100
clr_noz_len_x: 0
clr_noz_start_y: 10
clr_noz_len_y: %s
"""


def non_move_lines(printer):
    return [line for line in command_lines(printer)
            if not line.startswith("G1 ")]


def fake_bed_heights(printer, monkeypatch, heights):
    """The pressure probe reports `heights` in turn; returns its calls."""
    answers = iter(heights)
    calls = []

    def run_step_tensink(*args):
        calls.append(list(args))
        return next(answers)
    monkeypatch.setattr(printer.lookup_object("tensink_v2"),
                        "run_step_tensink", run_step_tensink)
    return calls


@pytest.mark.parametrize("entry_offset, pumpback, offset_line, pumpback_line", [
    (None, None, "SET_GCODE_OFFSEt Z_ADJUST=0.000000 MOVE=1", "G0 E-5.000000"),
    (0.15, 2.5, "SET_GCODE_OFFSEt Z_ADJUST=-0.150000 MOVE=1", "G0 E-2.500000"),
])
def test_the_seven_lines_besides_moves_in_order(make_printer, module_of,
                                                entry_offset, pumpback,
                                                offset_line, pumpback_line):
    options = WIPE_AREA + ("pumpback_mm: %s" % pumpback if pumpback else "")
    printer = make_printer(options)
    if entry_offset is not None:
        printer.run_gcode("SET_GCODE_OFFSET Z=%s" % entry_offset)
    printer.run_gcode(COMMAND)
    assert non_move_lines(printer) == [
        offset_line, "G91", pumpback_line, "G90", "M106 S255", "M107", "G28 Z"]
    assert gcode_z_offset(printer) == 0
    assert module_of(printer).z_offset_move == 0
    assert [e.data["speed"] for e in printer.trace.of_kind("fan")] == [1.0, 0.0]


@pytest.mark.parametrize("len_y", [50, 30])
def test_wipe_geometry_of_the_worked_example(make_printer, monkeypatch, len_y):
    printer = make_printer(WORKED_EXAMPLE % len_y)
    probe_calls = fake_bed_heights(printer, monkeypatch, [0.20, 0.30])
    printer.run_gcode(COMMAND)

    assert probe_calls == [[25.0, 0, False, 5, 5, True, 2000, 6000]] * 2
    moves = move_lines(printer)
    sy = float(moves[0].group("y"))
    assert 10 <= sy <= 10 + len_y - 30
    if len_y == 30:
        assert sy == 10
    # (feed rate, X, Y after the start, Z) of each move, in order.
    expected = [
        ("15000", "100.000", 0, "5.000"),    # over the start, probed
        ("15000", "100.000", 30, "5.000"),   # over the end, probed
        ("15000", "100.000", 0, "5.000"),    # back over the start
        ("600", "100.000", 5, "0.350"),      # lowered onto the stroke
        ("120", "100.000", 25, "0.150"),     # the stroke
        ("6000", "130.000", 30, "5.300"),    # lifted away
    ]
    assert len(moves) == len(expected)
    for move, (feed, x, dy, z) in zip(moves, expected):
        assert (move.group("f"), move.group("x"), move.group("z")) == (feed, x, z)
        assert float(move.group("y")) == pytest.approx(sy + dy, abs=0.0011)
    # The filament is drawn back on the bed, before the stroke.
    lines = command_lines(printer)
    lowered = lines.index(moves[3].group(0))
    assert lines[lowered + 1:lowered + 5] == [
        "G91", "G0 E-5.000000", "G90", moves[4].group(0)]


@pytest.mark.parametrize("area, stroke, x_range, y_range", [
    # An area larger than the stroke holds it wholly.
    ((30, 40, 60, 70), (10, 30), (30, 80), (40, 80)),
    # As wide as the stroke: no choice in X.  Shallower than the stroke: the
    # stroke starts up to the difference before the area.
    ((30, 40, 10, 20), (10, 30), (30, 30), (30, 40)),
])
def test_strokes_are_drawn_inside_their_range_and_differ(make_printer, area,
                                                         stroke, x_range,
                                                         y_range):
    printer = make_printer(
        "clr_noz_start_x: %s\nclr_noz_start_y: %s\n"
        "clr_noz_len_x: %s\nclr_noz_len_y: %s\n" % area
        + "pa_clr_dis_mm_x: %s\npa_clr_dis_mm_y: %s\n" % stroke)
    runs = 3
    for _ in range(runs):
        printer.run_gcode(COMMAND)

    moves = move_lines(printer)
    assert len(moves) == 6 * runs
    starts = []
    for run in range(runs):
        start, end, _, lowered, rubbed, _ = moves[6 * run:6 * run + 6]
        sx, sy = float(start.group("x")), float(start.group("y"))
        assert x_range[0] <= sx <= x_range[1]
        assert y_range[0] - 0.0005 <= sy <= y_range[1] + 0.0005
        assert float(end.group("x")) == pytest.approx(sx + stroke[0], abs=0.0011)
        assert float(end.group("y")) == pytest.approx(sy + stroke[1], abs=0.0011)
        if area[3] >= stroke[1]:
            for point in (start, end, lowered, rubbed):
                assert area[0] <= float(point.group("x")) <= area[0] + area[2]
                assert area[1] <= float(point.group("y")) <= area[1] + area[3]
        starts.append(sy)
    assert len(set(starts)) == runs, "two runs chose the same stroke"


@pytest.mark.parametrize("type_nozz, parameters, nozzle, bed", [
    (0, "", [140, 140, 200, 140], 60),
    (0, " HOT_RUB_TEMP=230 BED_ADDTEMP=70", [140, 140, 230, 140], 70),
    (0, " BED_ADD_TEMP=90", [140, 140, 200, 140], 60),
    (0, " HOT_START_TEMP=150 HOT_END_TEMP=120", [150, 150, 200, 120], 60),
    (2, " HOT_START_TEMP=150 HOT_END_TEMP=120", [150, 150, 200, 120], 60),
    (1, " HOT_START_TEMP=150 HOT_END_TEMP=120", [200, 200, 200, 200], 60),
    (1, " HOT_RUB_TEMP=190", [190, 190, 190, 190], 60),
])
def test_temperatures_from_parameters_and_nozzle_type(make_printer, module_of,
                                                      type_nozz, parameters,
                                                      nozzle, bed):
    printer = make_printer(WIPE_AREA + "type_nozz: %d" % type_nozz)
    printer.run_gcode(COMMAND + parameters)
    assert heater_targets(printer, "extruder") == nozzle
    assert heater_targets(printer, "heater_bed") == [bed] * 4
    # The parameters apply to this run only.
    module = module_of(printer)
    assert (module.hot_start_temp, module.hot_rub_temp, module.hot_end_temp,
            module.bed_add_temp) == (140, 200, 140, 60)


@pytest.mark.parametrize("max_temp, refused", [(300, True), (350, False)])
def test_rub_temperature_beyond_configured_bounds_is_passed_on(
        make_printer, max_temp, refused):
    printer = make_printer(WIPE_AREA, overrides={
        "extruder": {"max_temp": str(max_temp)}})
    if refused:
        # Only the heater's range refuses it, before anything heats.
        with pytest.raises(printer.command_error) as raised:
            printer.run_gcode(COMMAND + " HOT_RUB_TEMP=320")
        assert str(raised.value) == (
            "VQTWENTYMA_NOZZLE_CLEAR refused: HOT_RUB_TEMP=320 lies above"
            " [extruder] max_temp = 300")
        assert heater_targets(printer, "extruder") == []
    else:
        printer.run_gcode(COMMAND + " HOT_RUB_TEMP=320")
        assert heater_targets(printer, "extruder") == [140, 140, 320, 140]


@pytest.mark.parametrize("name", [
    "HOT_START_TEMP", "HOT_RUB_TEMP", "HOT_END_TEMP", "BED_ADDTEMP"])
@pytest.mark.parametrize("value, complaint", [
    ("abc", "unable to parse abc"),
    ("nan", "{name} must be a finite number"),
    ("inf", "{name} must be a finite number"),
    ("-inf", "{name} must be a finite number"),
])
def test_parameter_that_is_no_number_is_refused_before_anything_happens(
        make_printer, module_of, name, value, complaint):
    printer = make_printer(WIPE_AREA)
    line = "%s %s=%s" % (COMMAND, name, value)
    # A wipe takes minutes of virtual time; a heater chasing a NaN target
    # would wait forever.
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode(line, timeout=3600)
    assert str(raised.value) == "Error on '%s': %s" % (
        line, complaint.format(name=name))
    assert printer.trace.of_kind("heater_target") == []
    assert printer.trace.of_kind("move") == []
    assert command_lines(printer) == []
    assert not printer.is_shutdown()
    assert module_of(printer).auto_alignment_status == 0


def test_error_in_second_probe_run_leaves_the_wipe_state(make_printer,
                                                        module_of,
                                                        monkeypatch):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    tensink = printer.lookup_object("tensink_v2")
    real_run = tensink.run_step_tensink
    no_contact = printer.command_error("Pressure probe: no contact")
    runs = []

    def run_step_tensink(*args):
        runs.append(args)
        if len(runs) == 2:
            raise no_contact
        return real_run(*args)
    monkeypatch.setattr(tensink, "run_step_tensink", run_step_tensink)
    bed_mesh = printer.lookup_object("bed_mesh")
    assert bed_mesh.get_mesh() is not None

    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode(COMMAND)
    assert raised.value is no_contact
    assert module.auto_alignment_status == 3
    assert bed_mesh.get_mesh() is None
    toolhead = printer.lookup_object("toolhead")
    assert (toolhead.max_velocity, toolhead.max_accel,
            toolhead.kin.max_z_velocity, toolhead.kin.max_z_accel) == (
                500, 500, 20, 200)
    assert "G28 Z" not in command_lines(printer)


def test_status_stages_follow_the_heater_steps(make_printer, module_of,
                                               monkeypatch):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    module.auto_alignment_status = 5
    pheaters = printer.lookup_object("heaters")
    real_set_temperature = pheaters.set_temperature
    seen = []

    def set_temperature(heater, temp, wait=False):
        seen.append((heater.get_name(), temp, module.auto_alignment_status))
        return real_set_temperature(heater, temp, wait)
    monkeypatch.setattr(pheaters, "set_temperature", set_temperature)

    printer.run_gcode(COMMAND)
    assert seen == [
        ("heater_bed", 60, 0), ("extruder", 140, 0),
        ("extruder", 140, 1),
        ("heater_bed", 60, 2),
        ("extruder", 200, 3), ("extruder", 140, 3),
        ("heater_bed", 60, 3), ("heater_bed", 60, 3),
    ]
    assert module.auto_alignment_status == 3
    # Mesh and speed limits are back as they were.
    assert printer.lookup_object("bed_mesh").get_mesh() is not None
    toolhead = printer.lookup_object("toolhead")
    assert (toolhead.max_velocity, toolhead.kin.max_z_velocity) == (300, 15)
