"""The calibration's plausibility limits: two points that disagree are
measured again, and a result beyond max_offset_change or point_tolerance
ends the command as a command error, with the printer as the command found
it and nothing saved. A negative or non-finite result keeps its error
routine whatever the limits say."""
import math

import pytest
from hypothesis import given, strategies as st

from generated import budget
from procedure_support import (CALIBRATION_SHUTDOWN_TEXT, WIPE_AREA,
                               command_lines, config_text, gcode_z_offset,
                               probe_answers, saved_option)

CALIBRATE = "Z_OFFSET_CALIBRATION"
NOZZLE = 0.05
NAN = float("nan")


def bed_heights(*offsets):
    """Bed probe heights that give these point offsets over a nozzle
    touching at NOZZLE."""
    return [offset + NOZZLE for offset in offsets]


def status_of(printer):
    return printer.lookup_object("z_compensate").get_status(0.)


def nozzle_points(printer):
    return [tuple(args[0][:2]) for call, args
            in printer.lookup_object("tensink_v2").calls if call == "move"]


def assert_put_back_and_nothing_saved(printer, config_before, entry_offset, mesh):
    assert not printer.is_shutdown()
    assert printer.trace.of_kind("shutdown") == []
    assert "Z_OFFSET_APPLY_PROBE" not in command_lines(printer)
    assert printer.trace.of_kind("config_set") == []
    assert printer.trace.of_kind("config_save") == []
    assert config_text(printer) == config_before
    assert gcode_z_offset(printer) == pytest.approx(entry_offset, abs=1e-6)
    assert printer.lookup_object("bed_mesh").get_mesh() is mesh
    assert printer.lookup_object("z_compensate").z_offset_move == 0


def refused(printer, script):
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode(script)
    message = str(raised.value)
    status = status_of(printer)
    assert (status["last_result"], status["last_message"]) == ("refused", message)
    return message


def run_refused(make_printer, monkeypatch, options, script, bed, entry_offset=0.3):
    printer = make_printer(options)
    probe_answers(printer, monkeypatch, bed, [NOZZLE] * len(bed))
    printer.run_gcode("SET_GCODE_OFFSET Z=%s" % entry_offset)
    config_before = config_text(printer)
    mesh = printer.lookup_object("bed_mesh").get_mesh()
    message = refused(printer, script)
    assert_put_back_and_nothing_saved(printer, config_before, entry_offset, mesh)
    return printer, message


@pytest.mark.parametrize("options, script, message", [
    ("", CALIBRATE,
     "Z_OFFSET_CALIBRATION refused: the two points' offsets 1.800000 and 1.950000 differ"
     " by 0.150000 mm, more than [z_compensate] point_tolerance = 0.1; the points were"
     " measured again 1 time ([z_compensate] point_retries = 1)"),
    ("point_tolerance: 0.12\npoint_retries: 0",
     CALIBRATE + " POINT_TOLERANCE=0.05 POINT_RETRIES=1",
     "Z_OFFSET_CALIBRATION refused: the two points' offsets 1.800000 and 1.950000 differ"
     " by 0.150000 mm, more than POINT_TOLERANCE=0.05; the points were measured again"
     " 1 time (POINT_RETRIES=1)"),
], ids=["keys", "parameters"])
def test_points_that_disagree_again_are_refused(make_printer, monkeypatch, options,
                                                script, message):
    # Both measurements disagree by 0.15 mm (the first 0.2 mm).
    printer, text = run_refused(make_printer, monkeypatch, options, script,
                                bed_heights(1.8, 2.0, 1.8, 1.95))
    assert text == message
    status = status_of(printer)
    assert status["last_point_offsets"] == pytest.approx([1.8, 1.95])
    assert status["last_point_spread"] == pytest.approx(0.15)
    assert status["last_remeasurements"] == 1
    # Measured again at a new draw.
    first, second = nozzle_points(printer)[0::2]
    assert first != second


@pytest.mark.parametrize("retries", [0, 1, 3])
def test_points_are_measured_again_until_they_agree(make_printer, module_of, monkeypatch,
                                                    retries):
    printer = make_printer("point_retries: %d" % retries)
    # Every measurement but the last disagrees by 0.3 mm.
    bed = bed_heights(*([1.7, 2.0] * retries + [1.81, 1.83]))
    probe_answers(printer, monkeypatch, bed, [NOZZLE] * len(bed))
    printer.run_gcode(CALIBRATE)
    assert saved_option(printer, "probe", "z_offset") == "1.770"
    status = status_of(printer)
    assert status["last_remeasurements"] == retries
    assert status["last_point_spread"] == pytest.approx(0.02)
    assert len(set(nozzle_points(printer))) == 2 * (retries + 1)


@pytest.mark.parametrize("options, script, message", [
    ("", CALIBRATE,
     "Z_OFFSET_CALIBRATION refused: the new offset 3.200000 lies 1.200000 mm from the"
     " probe's z_offset 2.000000, more than [z_compensate] max_offset_change = 1"),
    ("max_offset_change: 2", CALIBRATE + " MAX_OFFSET_CHANGE=0.5",
     "Z_OFFSET_CALIBRATION refused: the new offset 3.200000 lies 1.200000 mm from the"
     " probe's z_offset 2.000000, more than MAX_OFFSET_CHANGE=0.5"),
], ids=["key", "parameter"])
def test_an_offset_far_from_the_probes_is_refused(make_printer, monkeypatch, options,
                                                  script, message):
    printer, text = run_refused(make_printer, monkeypatch, options, script,
                                bed_heights(3.22, 3.28))
    assert text == message
    assert status_of(printer)["last_z_offset"] == pytest.approx(3.2)
    assert status_of(printer)["saved_z_offset"] is None


@pytest.mark.parametrize("options, script", [
    ("max_offset_change: 0\npoint_tolerance: 0", CALIBRATE),
    ("", CALIBRATE + " MAX_OFFSET_CHANGE=0 POINT_TOLERANCE=0"),
    ("max_offset_change: 3\npoint_tolerance: 0.7", CALIBRATE),
], ids=["keys off", "parameters off", "wide limits"])
def test_limits_switched_off_or_wide_let_the_offset_through(make_printer, monkeypatch,
                                                            options, script):
    printer = make_printer(options)
    probe_answers(printer, monkeypatch, bed_heights(4.0, 3.4), [NOZZLE] * 2)
    printer.run_gcode(script)
    assert saved_option(printer, "probe", "z_offset") == "3.650"
    assert status_of(printer)["last_remeasurements"] == 0


@pytest.mark.parametrize("offsets", [
    # Negative: also beyond max_offset_change, and the points disagree.
    (-0.4, 0.1), (0.01, 0.02), (NAN, 1.8), (1.8, NAN)])
def test_negative_or_non_finite_result_keeps_its_error_routine(make_printer, monkeypatch,
                                                               offsets):
    printer = make_printer("show_msg: True")
    # Exactly one measurement's answers: a re-measurement would run out.
    probe_answers(printer, monkeypatch, bed_heights(*offsets), [NOZZLE] * 2)
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode(CALIBRATE)
    assert str(raised.value) == CALIBRATION_SHUTDOWN_TEXT
    assert printer.is_shutdown()
    assert status_of(printer)["last_result"] == "failed"
    assert status_of(printer)["last_remeasurements"] == 0


def test_auto_puts_back_the_offset_it_found(make_printer, monkeypatch):
    printer = make_printer(WIPE_AREA)
    # The wipe finds the bed at both ends of its stroke, then the calibration
    # measures an offset 1.2 mm from the configured 2.0.
    probe_answers(printer, monkeypatch, bed_heights(3.22, 3.28), [NOZZLE] * 4)
    printer.run_gcode("SET_GCODE_OFFSET Z=0.2")
    config_before = config_text(printer)
    mesh = printer.lookup_object("bed_mesh").get_mesh()
    message = refused(printer, "Z_OFFSET_AUTO")
    assert message == ("Z_OFFSET_AUTO refused: the new offset 3.200000 lies 1.200000 mm from"
                       " the probe's z_offset 2.000000, more than [z_compensate]"
                       " max_offset_change = 1")
    # The wipe ran without the offset; the refusal restores the one AUTO found.
    assert command_lines(printer)[0] == "SET_GCODE_OFFSEt Z_ADJUST=-0.200000 MOVE=1"
    assert_put_back_and_nothing_saved(printer, config_before, 0.2, mesh)
    assert "CXSAVE_CONFIG" not in command_lines(printer)


@pytest.mark.parametrize("command", [CALIBRATE, "Z_OFFSET_AUTO"])
@pytest.mark.parametrize("parameter, rule", [
    ("MAX_OFFSET_CHANGE=-0.1", "MAX_OFFSET_CHANGE must have minimum of 0"),
    ("POINT_TOLERANCE=-1", "POINT_TOLERANCE must have minimum of 0"),
    ("POINT_RETRIES=-1", "POINT_RETRIES must have minimum of 0"),
    ("POINT_RETRIES=11", "POINT_RETRIES must have maximum of 10"),
    ("POINT_RETRIES=1.5", "POINT_RETRIES must be a whole number"),
    ("MAX_OFFSET_CHANGE=nan", "MAX_OFFSET_CHANGE must be a finite number"),
    ("POINT_TOLERANCE=inf", "POINT_TOLERANCE must be a finite number"),
    ("POINT_RETRIES=-inf", "POINT_RETRIES must be a finite number"),
    ("POINT_TOLERANCE=tight", "unable to parse tight"),
])
def test_bad_parameter_is_refused_before_anything_moves_or_heats(make_printer, command,
                                                                 parameter, rule):
    printer = make_printer(WIPE_AREA)
    line = "%s %s" % (command, parameter)
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode(line)
    assert str(raised.value) == "Error on '%s': %s" % (line, rule)
    assert printer.trace.of_kind("move") == []
    assert printer.trace.of_kind("heater_target") == []
    assert printer.trace.of_kind("gcode_offset") == []
    assert not printer.is_shutdown()


@budget(40)
@given(first=st.floats(0.0, 3.5), second=st.floats(0.0, 3.5),
       tolerance=st.sampled_from([0, 0.05, 0.3]), max_change=st.sampled_from([0, 0.5, 1.0]))
def test_outcome_follows_the_limits(make_printer, monkeypatch, first, second, tolerance,
                                    max_change):
    # One measurement (no retries): saved when both limits hold, otherwise
    # refused as a command error naming the limit that failed first.
    printer = make_printer("tri_expand_mm: 0\npoint_retries: 0\npoint_tolerance: %s\n"
                           "max_offset_change: %s" % (tolerance, max_change))
    with monkeypatch.context() as patch:
        probe_answers(printer, patch, bed_heights(first, second), [NOZZLE] * 2)
        new_offset = (first + second) / 2
        spread_fails = tolerance != 0 and abs(first - second) > tolerance
        change_fails = max_change != 0 and abs(new_offset - 2.0) > max_change
        if not spread_fails and not change_fails:
            printer.run_gcode(CALIBRATE)
            assert status_of(printer)["saved_z_offset"] == pytest.approx(new_offset)
            return
        message = refused(printer, CALIBRATE)
        if spread_fails:
            assert "more than [z_compensate] point_tolerance = %g;" % tolerance in message
        else:
            assert message.endswith("more than [z_compensate] max_offset_change = %g"
                                    % max_change)
        assert math.isclose(status_of(printer)["last_point_spread"], abs(first - second),
                            abs_tol=1e-9)


@pytest.mark.parametrize("options, script, bed, named", [
    ("max_offset_change: 0.5", CALIBRATE + " MAX_OFFSET_CHANGE=0.5", bed_heights(3.0, 3.0),
     "more than MAX_OFFSET_CHANGE=0.5"),
    ("point_retries: 0", CALIBRATE + " POINT_TOLERANCE=0.1 POINT_RETRIES=0",
     bed_heights(1.8, 1.95), "more than POINT_TOLERANCE=0.1; the points were measured again"
     " 0 times (POINT_RETRIES=0)"),
], ids=["max_offset_change", "point_tolerance"])
def test_a_limit_typed_on_the_command_line_is_named_as_typed(make_printer, monkeypatch,
                                                            options, script, bed, named):
    """Even where the typed value equals the configured one."""
    _, message = run_refused(make_printer, monkeypatch, options, script, bed)
    assert named in message
