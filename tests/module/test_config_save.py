"""CXSAVE_CONFIG as the loader provides it where the host has none."""
import glob
import os
import time

import pytest

from klippysim import generations

ALL = list(generations.GENERATIONS)


def backups(printer):
    """Backups beside printer.cfg, or in config_backups/ (Kalico)."""
    path = printer.get_start_args()["config_file"]
    folder, name = os.path.split(path[:-4])
    return sorted(glob.glob(path[:-4] + "-*.cfg") + glob.glob(
        os.path.join(folder, "config_backups", name + "-*.cfg")))


def save_twice(printer):
    configfile = printer.lookup_object("configfile")
    configfile.set("probe", "z_offset", "1.900")
    printer.run_gcode("CXSAVE_CONFIG")
    configfile.set("probe", "z_offset", "1.800")
    printer.run_gcode("CXSAVE_CONFIG")


@pytest.mark.parametrize("generation", ALL)
def test_saves_like_save_config_without_restart(make_printer, generation):
    printer = make_printer("", host_generation=generation)
    path = printer.get_start_args()["config_file"]
    before = open(path).read()
    save_twice(printer)
    text = open(path).read()
    assert text.count("SAVE_CONFIG") == 1
    assert "#*# [probe]\n#*# z_offset = 1.800\n" in text
    assert "\n#z_offset: 2.0\n" in text
    assert printer.restart_request is None
    assert len(printer.trace.of_kind("config_save")) == 2
    status = printer.lookup_object("configfile").get_status(0.)
    assert status["save_config_pending"] is False
    assert status["save_config_pending_items"] == {}
    # The host keeps running; the earliest backup is the file before
    assert open(backups(printer)[0]).read() == before
    printer.run_gcode("M400")


@pytest.mark.parametrize("generation", ALL)
def test_two_saves_in_one_second_keep_the_first_backup(make_printer,
                                                       monkeypatch,
                                                       generation):
    printer = make_printer("", host_generation=generation)
    path = printer.get_start_args()["config_file"]
    before = open(path).read()
    one_second = time.localtime()
    strftime = time.strftime
    monkeypatch.setattr(time, "strftime",
                        lambda fmt, t=None: strftime(fmt, one_second))
    save_twice(printer)
    [backup] = backups(printer)
    assert open(backup).read() == before
    assert "#*# z_offset = 1.800" in open(path).read()


def test_nothing_pending_writes_nothing(make_printer):
    printer = make_printer("")
    path = printer.get_start_args()["config_file"]
    before = open(path).read()
    printer.run_gcode("CXSAVE_CONFIG")
    assert open(path).read() == before
    assert backups(printer) == []


def test_refused_save_keeps_the_file_and_the_pending_values(make_printer,
                                                            write_config):
    # A pending value that an included file also sets cannot be saved
    write_config("[probe]\nspeed: 4\n", name="probe_speed.cfg")
    printer = make_printer("", extra_sections="[include probe_speed.cfg]\n")
    path = printer.get_start_args()["config_file"]
    before = open(path).read()
    configfile = printer.lookup_object("configfile")
    configfile.set("probe", "speed", "3")
    with pytest.raises(printer.command_error,
                       match="SAVE_CONFIG section 'probe' option 'speed'"
                             " conflicts with included value"):
        printer.run_gcode("CXSAVE_CONFIG")
    assert open(path).read() == before
    assert configfile.get_status(0.)["save_config_pending"] is True
    assert printer.restart_request is None


@pytest.mark.parametrize("generation", ALL)
def test_host_with_its_own_cxsave_config_keeps_it(make_printer, generation):
    printer = make_printer("", host_generation=generation,
                           host_cxsave_config=True)
    configfile = printer.lookup_object("configfile")
    assert configfile.cmd_CXSAVE_CONFIG.__self__ is configfile
    configfile.set("probe", "z_offset", "1.900")
    printer.run_gcode("CXSAVE_CONFIG")
    assert len(printer.trace.of_kind("config_save")) == 1


def test_plain_save_config_still_restarts(make_printer):
    printer = make_printer("")
    printer.lookup_object("configfile").set("probe", "z_offset", "1.900")
    printer.run_gcode("SAVE_CONFIG")
    assert printer.restart_request == "restart"
