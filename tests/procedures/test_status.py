"""The status beyond the progress stage: which command runs, how the last one
ended, and the offsets the last calibration found and saved."""
import greenlet
import pytest

import klippysim
from in_command import error_in_command
from procedure_support import (CALIBRATION_SHUTDOWN_TEXT, SSAP_SHUTDOWN_TEXT, WIPE_AREA,
                               probe_answers)

OUTCOME = ("running_command", "last_command", "last_result", "last_message")


def outcome(status):
    return tuple(status[key] for key in OUTCOME)


def traced_statuses(printer):
    """Each z_compensate status that the printer's front end saw change."""
    return [event.data["status"] for event in printer.trace.of_kind("status")
            if event.data["object"] == "z_compensate"]


def test_a_finished_run_reports_what_it_measured_and_saved(make_printer, module_of):
    printer = make_printer(WIPE_AREA)
    printer.run_gcode("Z_OFFSET_AUTO")

    seen = traced_statuses(printer)
    # Seen by the front end while it ran; the commands it runs are part of it.
    assert {status["running_command"] for status in seen} == {"", "Z_OFFSET_AUTO"}
    status = module_of(printer).get_status(0.)
    assert outcome(status) == ("", "Z_OFFSET_AUTO", "done", "")
    assert status["auto_alignment_status"] == 5
    assert status["last_z_offset"] == pytest.approx(1.75, abs=1e-6)
    assert status["saved_z_offset"] == pytest.approx(1.75, abs=1e-6)
    assert status["last_point_offsets"] == pytest.approx([1.8, 1.8], abs=1e-6)
    assert status["last_point_spread"] == pytest.approx(0, abs=1e-6)
    assert status["last_remeasurements"] == 0


def test_a_refused_offset_is_reported_measured_but_not_saved(make_printer, module_of,
                                                            monkeypatch):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    printer.run_gcode("Z_OFFSET_CALIBRATION")
    saved = module.get_status(0.)["saved_z_offset"]

    # Bed probe and nozzle meet the bed 0.01 and 0.03 mm apart: less the
    # allowance of 0.05 the offset would be negative.
    probe_answers(printer, monkeypatch, [1.01, 1.03], [1.0, 1.0])
    with pytest.raises(printer.command_error):
        printer.run_gcode("Z_OFFSET_CALIBRATION")
    status = module.get_status(0.)
    assert outcome(status) == ("", "Z_OFFSET_CALIBRATION", "failed", CALIBRATION_SHUTDOWN_TEXT)
    assert status["last_z_offset"] == pytest.approx(-0.03)
    assert status["last_point_offsets"] == pytest.approx([0.01, 0.03])
    assert status["last_point_spread"] == pytest.approx(0.02)
    assert status["last_remeasurements"] == 0
    assert status["saved_z_offset"] == saved


@pytest.mark.parametrize("break_it, message", [
    (lambda printer: setattr(printer.lookup_object("tensink_v2"), "swap_line", "stuck_1"),
     SSAP_SHUTDOWN_TEXT),
    (lambda printer: setattr(printer.lookup_object("tensink_v2"), "run_step_tensink",
                             lambda *args: (_ for _ in ()).throw(
                                 printer.command_error("Pressure probe: no contact"))),
     "Pressure probe: no contact"),
])
def test_a_failed_run_reports_the_error_that_ended_it(make_printer, module_of, break_it,
                                                      message):
    printer = make_printer(WIPE_AREA)
    break_it(printer)
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode("Z_OFFSET_AUTO")
    assert str(raised.value) == message
    status = module_of(printer).get_status(0.)
    assert outcome(status) == ("", "Z_OFFSET_AUTO", "failed", message)
    assert status["last_z_offset"] is None


def test_each_command_replaces_the_last_outcome(make_printer, module_of):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    printer.run_gcode("Z_OFFSET_CALIBRATION")
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode("VQTWENTYMA_NOZZLE_CLEAR HOT_RUB_TEMP=400")
    status = module.get_status(0.)
    assert outcome(status) == ("", "VQTWENTYMA_NOZZLE_CLEAR", "refused", str(raised.value))
    # The refused command measured nothing: the calibration's values stay.
    assert status["saved_z_offset"] == pytest.approx(1.75, abs=1e-6)
    assert status["auto_alignment_status"] == 5

    printer.run_gcode("VQTWENTYMA_NOZZLE_CLEAR")
    assert outcome(module.get_status(0.)) == ("", "VQTWENTYMA_NOZZLE_CLEAR", "done", "")


def test_a_command_ended_by_a_restart_is_no_longer_running(make_printer, module_of):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    run = printer.start_gcode("Z_OFFSET_AUTO")
    with pytest.raises(klippysim.SimulationTimeout):
        printer.wait_command(run, timeout=20)
    assert module.get_status(0.)["running_command"] == "Z_OFFSET_AUTO"

    aborted = printer.abort_command()
    assert isinstance(aborted.exception, greenlet.GreenletExit)
    # The host's own exit is passed on without asking the host for its text.
    assert outcome(module.get_status(0.)) == ("", "Z_OFFSET_AUTO", "failed", "")


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


def test_an_error_without_a_text_passes_unchanged(make_printer, module_of, monkeypatch):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    error = Unprintable()

    def run_step_tensink(*args):
        raise error
    monkeypatch.setattr(printer.lookup_object("tensink_v2"), "run_step_tensink",
                        run_step_tensink)
    assert error_in_command(printer, module.cmd_VQ20MA_NOZZLE_CLEAR, with_gcmd=True) is error
    assert outcome(module.get_status(0.)) == (
        "", "VQTWENTYMA_NOZZLE_CLEAR", "failed", "unprintable Unprintable")


def test_after_a_restart_the_status_shows_the_probe_offset_in_force(make_printer, module_of,
                                                                    klippy_dir):
    printer = make_printer(WIPE_AREA)
    assert module_of(printer).get_status(0.)["probe_z_offset"] == 2.0
    printer.run_gcode("Z_OFFSET_AUTO")
    # Saved, but in force only from the next start.
    assert module_of(printer).get_status(0.)["probe_z_offset"] == 2.0

    restarted = klippysim.Printer(printer.get_start_args()["config_file"], klippy_dir)
    status = module_of(restarted).get_status(0.)
    assert status["saved_z_offset"] is None
    assert status["probe_z_offset"] == pytest.approx(1.75, abs=1e-6)


def test_without_a_bed_probe_the_probe_offset_is_none(make_printer, module_of):
    printer = make_printer(WIPE_AREA, without=("probe",), overrides={
        "stepper_z": {"endstop_pin": "PC2", "position_endstop": "0"}})
    assert module_of(printer).get_status(0.)["probe_z_offset"] is None
