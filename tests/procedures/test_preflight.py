"""The pre-flight check: a command whose points, heights, temperatures or
printer objects do not fit the printer is refused before anything heats or
moves, naming the key, its value and the limit; the same configured values
warn at start-up; a set-up that fits runs exactly as before."""
import math
import re

import pytest

from procedure_support import (CALIBRATION_SHUTDOWN_TEXT, WIPE_AREA, command_lines,
                               heater_targets, move_lines)

MODULE_KEYS = """
bl_offset: %s
noz_pos_center: %s
noz_pos_offset: 5, 15
"""


def module_keys(bl_offset="-20, 5", noz_pos_center="117.5, 117.5"):
    return MODULE_KEYS % (bl_offset, noz_pos_center)


def wipe_area(start_x=20, start_y=20, len_x=50, len_y=60):
    return ("clr_noz_start_x: %s\nclr_noz_start_y: %s\nclr_noz_len_x: %s\nclr_noz_len_y: %s\n"
            % (start_x, start_y, len_x, len_y))


# (test id, [z_compensate] body, make_printer keywords, command line, what the
# refusal names); every command refused here would otherwise run.
BAD_SET_UPS = [
    ("nozzle point beyond X", module_keys(noz_pos_center="225, 117.5") + WIPE_AREA, {},
     "Z_OFFSET_CALIBRATION",
     ["the nozzle's measuring points reach X 240.000, beyond [stepper_x] position_max = 235:"
      " [z_compensate] noz_pos_center = 225, 117.5, noz_pos_offset = 5, 15"]),
    ("nozzle point below Y", module_keys(noz_pos_center="117.5, 10") + WIPE_AREA, {},
     "Z_OFFSET_AUTO",
     ["the nozzle's measuring points reach Y -5.000, below [stepper_y] position_min = 0"]),
    ("bed probe point beyond X", module_keys(bl_offset="-110, 5") + WIPE_AREA, {},
     "Z_OFFSET_CALIBRATION",
     ["putting the bed probe over the measuring points takes the toolhead to X 242.500, beyond"
      " [stepper_x] position_max = 235: [z_compensate] noz_pos_center = 117.5, 117.5,"
      " noz_pos_offset = 5, 15, bl_offset = -110, 5"]),
    ("bed probe start above Z", WIPE_AREA, {"overrides": {"stepper_z": {"position_max": "7"}}},
     "Z_OFFSET_CALIBRATION",
     ["the bed probe starts each measurement at Z 8.000, beyond [stepper_z] position_max = 7"]),
    ("nozzle start below Z", WIPE_AREA + "vs_start_z_pos: 0",
     {"overrides": {"stepper_z": {"position_min": "0.5"}}}, "Z_OFFSET_CALIBRATION",
     ["the nozzle starts each measurement at Z 0.000, below [stepper_z] position_min = 0.5:"
      " [z_compensate] vs_start_z_pos = 0"]),
    ("wipe area beyond X", wipe_area(start_x=240), {}, "VQTWENTYMA_NOZZLE_CLEAR",
     ["the stroke's start can reach X 290.000, beyond [stepper_x] position_max = 235:"
      " [z_compensate] clr_noz_start_x = 240, clr_noz_len_x = 50, pa_clr_dis_mm_x = 0"]),
    ("stroke longer than the area", wipe_area(start_y=0, len_y=10), {}, "VQTWENTYMA_NOZZLE_CLEAR",
     ["the stroke's start can reach Y -20.000, below [stepper_y] position_min = 0:"
      " [z_compensate] clr_noz_start_y = 0, clr_noz_len_y = 10, pa_clr_dis_mm_y = 30"]),
    ("stroke end beyond Y", wipe_area(start_y=200, len_y=40), {}, "Z_OFFSET_AUTO",
     ["the stroke's end can reach Y 240.000, beyond [stepper_y] position_max = 235"]),
    ("move away beyond X", wipe_area(start_x=200, len_x=10), {}, "VQTWENTYMA_NOZZLE_CLEAR",
     ["the move away after the stroke can reach X 240.000, beyond [stepper_x] position_max ="
      " 235: [z_compensate] clr_noz_start_x = 200, clr_noz_len_x = 10, pa_clr_dis_mm_x = 0,"
      " pa_clr_dis_mm = 30"]),
    ("travel height above Z", WIPE_AREA + "bed_max_err: 8",
     {"overrides": {"stepper_z": {"position_max": "7.5"}}}, "VQTWENTYMA_NOZZLE_CLEAR",
     ["the wipe's travel moves run at Z 8.000, beyond [stepper_z] position_max = 7.5:"
      " [z_compensate] bed_max_err = 8"]),
    ("start temperature parameter", WIPE_AREA, {}, "VQTWENTYMA_NOZZLE_CLEAR HOT_START_TEMP=350",
     ["HOT_START_TEMP=350 lies above [extruder] max_temp = 300"]),
    ("rub temperature parameter", WIPE_AREA, {}, "Z_OFFSET_AUTO HOT_RUB_TEMP=320",
     ["HOT_RUB_TEMP=320 lies above [extruder] max_temp = 300"]),
    ("end temperature parameter", WIPE_AREA, {}, "VQTWENTYMA_NOZZLE_CLEAR HOT_END_TEMP=-5",
     ["HOT_END_TEMP=-5 lies below [extruder] min_temp = 0"]),
    ("bed temperature parameter", WIPE_AREA, {}, "Z_OFFSET_AUTO BED_ADDTEMP=120",
     ["BED_ADDTEMP=120 lies above [heater_bed] max_temp = 110"]),
    ("configured rub temperature", WIPE_AREA + "hot_rub_temp: 290",
     {"overrides": {"extruder": {"max_temp": "280"}}}, "VQTWENTYMA_NOZZLE_CLEAR",
     ["[z_compensate] hot_rub_temp = 290 lies above [extruder] max_temp = 280"]),
    ("configured bed temperature", WIPE_AREA,
     {"overrides": {"heater_bed": {"min_temp": "65"}}}, "Z_OFFSET_AUTO",
     ["[z_compensate] bed_add_temp = 60 lies below [heater_bed] min_temp = 65"]),
    ("too cold to draw back", WIPE_AREA, {}, "VQTWENTYMA_NOZZLE_CLEAR HOT_RUB_TEMP=175",
     ["the filament is drawn back ([z_compensate] pumpback_mm = 5) at 165, within 10 of the"
      " rubbing temperature HOT_RUB_TEMP=175, below [extruder] min_extrude_temp = 170"]),
    ("one nozzle temperature too cold", WIPE_AREA + "type_nozz: 1",
     {"overrides": {"extruder": {"min_extrude_temp": "195"}}}, "Z_OFFSET_AUTO HOT_RUB_TEMP=190",
     ["at 190, within 10 of the rubbing temperature HOT_RUB_TEMP=190, below [extruder]"
      " min_extrude_temp = 195"]),
    ("no bed mesh", WIPE_AREA, {"without": ["bed_mesh"]}, "Z_OFFSET_CALIBRATION",
     ["the printer has no [bed_mesh] section"]),
    ("no bed probe", WIPE_AREA, {"without": ["probe"], "overrides": {"stepper_z": {
        "endstop_pin": "PC2", "position_endstop": "0"}}}, "Z_OFFSET_AUTO",
     ["the printer has no bed probe: no section (such as [probe]) provides 'probe'"]),
    ("no bed heater", WIPE_AREA, {"without": ["heater_bed"]}, "VQTWENTYMA_NOZZLE_CLEAR",
     ["the printer has no [heater_bed] section"]),
    ("no extruder", WIPE_AREA, {"without": ["extruder"]}, "Z_OFFSET_AUTO",
     ["the printer has no [extruder] section"]),
    ("no fan", WIPE_AREA, {"without": ["fan"]}, "VQTWENTYMA_NOZZLE_CLEAR",
     ["the printer has no [fan] section"]),
]


@pytest.mark.parametrize("body, printer_kwargs, line, named",
                         [case[1:] for case in BAD_SET_UPS],
                         ids=[case[0] for case in BAD_SET_UPS])
def test_bad_set_up_is_refused_before_anything_heats_or_moves(
        make_printer, module_of, body, printer_kwargs, line, named):
    printer = make_printer(body, **printer_kwargs)
    module = module_of(printer)
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode(line)

    message = str(raised.value)
    command = line.split()[0]
    assert message.startswith(command + " refused: ")
    for text in named:
        assert text in message
    assert printer.trace.of_kind("heater_target") == []
    assert printer.trace.of_kind("move") == []
    assert command_lines(printer) == []
    assert not printer.is_shutdown()
    status = module.get_status(0.)
    assert (status["running_command"], status["last_command"], status["last_result"],
            status["last_message"]) == ("", command, "refused", message)
    assert status["auto_alignment_status"] == 0
    # The printer took the command; it went no further.
    assert printer.console_lines()[-1] == "!! " + message.split("\n")[0]


def test_every_finding_is_named_at_once(make_printer):
    printer = make_printer(wipe_area(start_x=240), without=["fan"])
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode("VQTWENTYMA_NOZZLE_CLEAR BED_ADDTEMP=150")
    lines = str(raised.value).split("\n")
    assert lines[0] == "VQTWENTYMA_NOZZLE_CLEAR refused: the printer has no [fan] section"
    assert [line.split(",")[0] for line in lines[1:]] == [
        "the stroke's start can reach X 290.000",
        "the stroke's end can reach X 290.000",
        "the move away after the stroke can reach X 320.000",
        "BED_ADDTEMP=150 lies above [heater_bed] max_temp = 110",
    ]


@pytest.mark.parametrize("options, parameters, refused", [
    # Coming down from a hotter start the nozzle is never below the rubbing
    # temperature when the filament is drawn back.
    ("", "HOT_START_TEMP=200 HOT_RUB_TEMP=175", False),
    ("", "HOT_RUB_TEMP=180", False),
    ("", "HOT_RUB_TEMP=179", True),
    # Nothing is drawn back.
    ("pumpback_mm: 0", "HOT_RUB_TEMP=150", False),
    # 0 turns a heater off, which every heater accepts.
    ("", "HOT_END_TEMP=0 BED_ADDTEMP=0", False),
])
def test_the_draw_back_and_heater_limits_are_exactly_what_the_printer_takes(
        make_printer, options, parameters, refused):
    printer = make_printer(WIPE_AREA + options)
    line = "VQTWENTYMA_NOZZLE_CLEAR " + parameters
    if refused:
        with pytest.raises(printer.command_error, match="min_extrude_temp = 170"):
            printer.run_gcode(line)
        assert printer.trace.of_kind("heater_target") == []
        return
    printer.run_gcode(line)
    assert "G28 Z" in command_lines(printer)


def test_stroke_below_the_z_minimum_is_refused_before_the_nozzle_is_lowered(
        make_printer, module_of):
    # The bed is found at Z 0.2; the stroke would end 0.5 below it.
    printer = make_printer(WIPE_AREA + "pa_clr_down_mm: -0.5",
                           overrides={"stepper_z": {"position_min": "0"}})
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode("VQTWENTYMA_NOZZLE_CLEAR")
    assert str(raised.value) == (
        "VQTWENTYMA_NOZZLE_CLEAR refused: the stroke ends at Z -0.300, below [stepper_z]"
        " position_min = 0: the bed found at Z 0.200 plus [z_compensate] pa_clr_down_mm = -0.5")
    # Only the travel to both ends of the stroke, at the travel height.
    assert [float(move.group("z")) for move in move_lines(printer)] == [5, 5]
    assert "G91" not in command_lines(printer)
    assert not printer.is_shutdown()
    assert module_of(printer).get_status(0.)["last_result"] == "refused"


@pytest.mark.parametrize("heights", [
    [math.nan, 0.3], [0.2, math.inf], [-math.inf, math.nan]])
def test_non_finite_bed_height_stops_the_wipe_before_a_move_uses_it(
        make_printer, module_of, monkeypatch, heights):
    printer = make_printer(WIPE_AREA)
    answers = iter(heights)
    monkeypatch.setattr(printer.lookup_object("tensink_v2"), "run_step_tensink",
                        lambda *args: next(answers))
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode("VQTWENTYMA_NOZZLE_CLEAR")
    # A mistriggered pressure probe, handled as the calibration handles one.
    assert str(raised.value) == CALIBRATION_SHUTDOWN_TEXT
    assert len(move_lines(printer)) == 2
    assert not [line for line in command_lines(printer) if "nan" in line or "inf" in line]
    status = module_of(printer).get_status(0.)
    assert (status["last_result"], status["last_message"]) == (
        "failed", CALIBRATION_SHUTDOWN_TEXT)


# At start-up: (configuration, make_printer keywords, the warning)
START_UP_WARNINGS = [
    ("z minimum", WIPE_AREA, {"overrides": {"stepper_z": {"position_min": "0"}}},
     "z_compensate: [stepper_z] position_min = 0 lies above -|pa_clr_down_mm| = -0.15: the"
     " nozzle clearing rubs the nozzle 0.15 mm below the bed height it finds, and with the bed"
     " found near Z 0 that move is refused after the printer has heated; set position_min to"
     " -0.15 or lower (such as -2)"),
    ("wipe area", wipe_area(start_x=240), {},
     "z_compensate: the stroke's start can reach X 290.000, beyond [stepper_x] position_max ="
     " 235: [z_compensate] clr_noz_start_x = 240, clr_noz_len_x = 50, pa_clr_dis_mm_x = 0"),
    ("rub temperature", WIPE_AREA + "hot_rub_temp: 290",
     {"overrides": {"extruder": {"max_temp": "280"}}},
     "z_compensate: [z_compensate] hot_rub_temp = 290 lies above [extruder] max_temp = 280"),
    ("no fan", WIPE_AREA, {"without": ["fan"]},
     "z_compensate: the printer has no [fan] section"),
]


@pytest.mark.parametrize("body, printer_kwargs, warning",
                         [case[1:] for case in START_UP_WARNINGS],
                         ids=[case[0] for case in START_UP_WARNINGS])
def test_configured_values_that_do_not_fit_warn_at_start_up(
        make_printer, caplog, body, printer_kwargs, warning):
    printer = make_printer(body, **printer_kwargs)
    assert warning in printer.console_lines()
    assert [r.getMessage() for r in caplog.records
            if r.levelname == "WARNING" and r.getMessage().startswith("z_compensate:")] == [
                line for line in printer.console_lines() if line.startswith("z_compensate:")]
    assert printer.get_state_message()[1] == "ready"
    assert not printer.is_shutdown()


def test_a_set_up_that_fits_starts_without_warnings(make_printer, caplog):
    printer = make_printer(WIPE_AREA)
    assert not [line for line in printer.console_lines() if "z_compensate" in line]
    assert not [r for r in caplog.records if r.levelname == "WARNING"]


def masked(line):
    """A G-code line without its X and Y, which are drawn at random."""
    return re.sub(r" ([XY])-?[\d.]+", r" \1?", line)


WIPE_LINES = [
    "G1 F15000 X? Y? Z5.000", "G1 F15000 X? Y? Z5.000", "G1 F15000 X? Y? Z5.000",
    "G1 F600 X? Y? Z0.350", "G91", "G0 E-5.000000", "G90", "G1 F120 X? Y? Z0.050",
    "M106 S255", "G1 F6000 X? Y? Z5.200", "M107", "G28 Z"]
CALIBRATION_LINES = [
    "SET_GCODE_OFFSEt Z_ADJUST=0.000000 MOVE=1",
    "G1 F6000 X? Y? Z8.000", "G1 F6000 X? Y? Z8.000",
    "SET_GCODE_OFFSEt Z_ADJUST=0.250000 MOVE=1", "Z_OFFSET_APPLY_PROBE", "CXSAVE_CONFIG"]
OFFSET_REMOVED = "SET_GCODE_OFFSEt Z_ADJUST=0.000000 MOVE=1"


@pytest.mark.parametrize("line, expected", [
    ("Z_OFFSET_AUTO", [OFFSET_REMOVED, OFFSET_REMOVED] + WIPE_LINES + CALIBRATION_LINES),
    ("Z_OFFSET_CALIBRATION", CALIBRATION_LINES),
    ("VQTWENTYMA_NOZZLE_CLEAR HOT_RUB_TEMP=230", [OFFSET_REMOVED] + WIPE_LINES),
])
def test_a_set_up_that_fits_sends_the_same_gcode_as_before(make_printer, module_of, line,
                                                           expected):
    # Recorded with the module as it was before the check existed.
    printer = make_printer(WIPE_AREA)
    printer.run_gcode(line)
    assert [masked(sent) for sent in command_lines(printer)] == expected
    status = module_of(printer).get_status(0.)
    assert (status["last_command"], status["last_result"], status["last_message"]) == (
        line.split()[0], "done", "")


def test_a_start_up_check_that_fails_on_the_host_leaves_a_warning(make_printer, module_of,
                                                                 monkeypatch):
    printer = make_printer(WIPE_AREA)
    kinematics = printer.lookup_object("toolhead").get_kinematics()
    monkeypatch.setattr(kinematics, "get_status", lambda eventtime: {"axis_minimum": "low"})
    module_of(printer)._handle_ready()
    assert printer.console_lines()[-1] == (
        "z_compensate: the start-up check could not be made: kinematics axis_minimum:"
        " expected a sequence of numbers, got str")
    assert not printer.is_shutdown()


def test_a_probe_offset_that_cannot_be_read_keeps_the_start_up_findings(make_printer,
                                                                         module_of):
    printer = make_printer(WIPE_AREA.replace("clr_noz_len_x: 50", "clr_noz_len_x: 900"))
    probe = printer.lookup_object("probe")
    probe.z_offset = "0.5"
    probe.offsets = (0.0, 0.0, "0.5")
    start = len(printer.console_lines())
    module_of(printer)._handle_ready()
    warnings = printer.console_lines()[start:]
    assert any("clr_noz_len_x = 900" in line for line in warnings)
    assert any(line.startswith("z_compensate: the probe's z_offset could not be read: ")
               for line in warnings)


class InterruptedText(Exception):
    def __str__(self):
        raise KeyboardInterrupt


def test_an_interrupt_while_a_failure_is_described_goes_on(make_printer, module_of,
                                                           monkeypatch):
    printer = make_printer(WIPE_AREA)
    kinematics = printer.lookup_object("toolhead").get_kinematics()

    def get_status(eventtime):
        raise InterruptedText()
    monkeypatch.setattr(kinematics, "get_status", get_status)
    with pytest.raises(KeyboardInterrupt):
        module_of(printer)._handle_ready()
