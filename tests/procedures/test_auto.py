"""Z_OFFSET_AUTO: sync-line test, G-code offset removal, nozzle clearing,
calibration and a second configuration save, as one command."""
import sys

import pytest

from in_command import CommandAction, error_in_command
from procedure_support import (CALIBRATION_SHUTDOWN_TEXT, SSAP_SHUTDOWN_TEXT,
                               WIPE_AREA, command_lines, config_text,
                               gcode_z_offset, heater_targets, saved_option)


@pytest.mark.parametrize("entry_offset", [0, 0.2])
def test_runs_end_to_end_and_saves_twice(make_printer, module_of,
                                         entry_offset):
    printer = make_printer(WIPE_AREA)
    printer.run_gcode("SET_GCODE_OFFSET Z=%s" % entry_offset)
    printer.run_gcode("Z_OFFSET_AUTO")

    assert saved_option(printer, "probe", "z_offset") == "1.750"
    assert len(printer.trace.of_kind("config_save")) == 2
    assert module_of(printer).auto_alignment_status == 5
    lines = command_lines(printer)
    # The offset found on entry is gone before the nozzle is cleaned.
    assert lines[0] == "SET_GCODE_OFFSEt Z_ADJUST=%f MOVE=1" % -entry_offset
    assert lines.count("CXSAVE_CONFIG") == 1
    assert lines[-2:] == ["Z_OFFSET_APPLY_PROBE", "CXSAVE_CONFIG"]
    assert printer.console_lines().count(
        "[SWAP_TEST]---Swap Test Success---") == 2


@pytest.mark.parametrize("mode", ["stuck_0", "empty"])
def test_broken_sync_line_stops_before_anything_is_touched(make_printer,
                                                          module_of, mode):
    printer = make_printer(WIPE_AREA, overrides={
        "tensink_v2": {"sim_swap_line": mode}})
    printer.run_gcode("SET_GCODE_OFFSET Z=0.2")
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode("Z_OFFSET_AUTO")
    assert str(raised.value) == SSAP_SHUTDOWN_TEXT
    assert [e.data["message"] for e in printer.trace.of_kind("shutdown")] == [
        SSAP_SHUTDOWN_TEXT]
    assert printer.trace.of_kind("move") == []
    assert command_lines(printer) == []
    assert gcode_z_offset(printer) == 0.2
    assert printer.trace.of_kind("config_save") == []
    assert module_of(printer).auto_alignment_status == 0


def test_negative_offset_is_refused_without_a_second_save(make_printer,
                                                         module_of):
    printer = make_printer(WIPE_AREA + "tri_expand_mm: 0.1", overrides={
        "simulated_printer": {"true_probe_offset": "0.05"}})
    config_before = config_text(printer)
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode("Z_OFFSET_AUTO")
    assert str(raised.value) == CALIBRATION_SHUTDOWN_TEXT
    assert printer.trace.of_kind("config_save") == []
    assert printer.trace.of_kind("config_set") == []
    assert config_text(printer) == config_before
    assert module_of(printer).auto_alignment_status == 4
    assert gcode_z_offset(printer) == 0


def test_temperature_parameters_are_read_from_its_command_line(make_printer):
    printer = make_printer(WIPE_AREA)
    printer.run_gcode("Z_OFFSET_AUTO HOT_START_TEMP=150 HOT_RUB_TEMP=210 "
                      "HOT_END_TEMP=130 BED_ADDTEMP=65")
    assert heater_targets(printer, "extruder") == [150, 150, 210, 130]
    assert heater_targets(printer, "heater_bed") == [65] * 4
    assert saved_option(printer, "probe", "z_offset") == "1.750"


def test_non_finite_temperature_parameter_is_refused_before_heating(
        make_printer):
    printer = make_printer(WIPE_AREA)
    line = "Z_OFFSET_AUTO BED_ADDTEMP=inf"
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode(line)
    assert str(raised.value) == (
        "Error on '%s': BED_ADDTEMP must be a finite number" % line)
    assert printer.trace.of_kind("heater_target") == []
    assert printer.trace.of_kind("move") == []


def short_bed_probe_result(printer, monkeypatch):
    probe = printer.lookup_object("probe")
    real_run_probe = probe.run_probe
    monkeypatch.setattr(probe, "run_probe",
                        lambda gcmd: real_run_probe(gcmd)[:2])


def sync_reply_without_level(printer, monkeypatch):
    monkeypatch.setattr(printer.lookup_object("tensink_v2"), "swap_line",
                        "no_sta")


def short_toolhead_position(printer, monkeypatch):
    toolhead = printer.lookup_object("toolhead")
    real_get_position = toolhead.get_position

    # Only the module's own reads get the short answer: they come straight
    # from the test command's call of the action, as the module has no Python
    # frame. The simulator's own reads stay whole.
    def get_position():
        position = real_get_position()
        if sys._getframe(1).f_code is CommandAction.call.__code__:
            return position[:3]
        return position
    monkeypatch.setattr(toolhead, "get_position", get_position)


@pytest.mark.parametrize("wrong_answer, error_type", [
    (short_bed_probe_result, (IndexError, ValueError)),
    (sync_reply_without_level, KeyError),
    (short_toolhead_position, (IndexError, ValueError)),
])
def test_host_answer_of_wrong_shape_ends_the_command_and_nothing_else(
        make_printer, module_of, monkeypatch, wrong_answer, error_type):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    with monkeypatch.context() as patch:
        wrong_answer(printer, patch)
        error = error_in_command(printer, module.cmd_Z_OFFSET_AUTO,
                                 with_gcmd=True)
    assert isinstance(error, error_type)
    assert not isinstance(error, printer.command_error)
    assert not printer.is_shutdown()
    assert printer.trace.of_kind("config_save") == []

    printer.run_gcode("Z_OFFSET_AUTO")
    assert saved_option(printer, "probe", "z_offset") == "1.750"
    assert module.auto_alignment_status == 5
