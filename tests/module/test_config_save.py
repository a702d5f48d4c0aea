"""CXSAVE_CONFIG as the loader provides it where the host has none."""
import glob
import os
import time
from unittest import mock

import pytest
from hypothesis import given, strategies as st

from generated import budget
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


class WallClock:
    """The wall clock as the host and the loader read it: `second` is what
    time.strftime() names a backup by, and time.time() reads `ahead`
    seconds from it (another clock source, or a step between two reads)."""

    EPOCH = 1800000000

    def __init__(self):
        self.second = 0
        self.ahead = 0.

    def reading(self):
        strftime, localtime = time.strftime, time.localtime
        now = self.EPOCH + self.second
        return mock.patch.multiple(
            time, time=lambda: now + self.ahead,
            localtime=lambda t=None: localtime(now if t is None else t),
            strftime=lambda fmt, t=None: strftime(fmt, localtime(now) if t is None else t))


def hidden_files(folder):
    return glob.glob(os.path.join(folder, ".*")) + glob.glob(
        os.path.join(folder, "config_backups", ".*"))


# One save: the wall clock's second (it may repeat or step back), how far
# time.time() reads ahead of it, and the z_offset made pending first (None:
# save what is pending again, as Z_OFFSET_AUTO's second save does)
SAVES = st.lists(st.tuples(st.integers(0, 3), st.sampled_from([0., 0.004, 1.5, -1.5]),
                           st.sampled_from(["1.900", "1.800", None])), min_size=1, max_size=6)


@budget(40)
@given(generation=st.sampled_from(ALL), saves=SAVES)
def test_every_save_keeps_the_file_before_it_whatever_the_clock(make_printer, tmp_path,
                                                                generation, saves):
    for name in glob.glob(str(tmp_path / "**" / "*-*.cfg"), recursive=True):
        os.remove(name)
    printer = make_printer("", host_generation=generation)
    path = printer.get_start_args()["config_file"]
    configfile = printer.lookup_object("configfile")
    clock = WallClock()
    replaced = []
    for clock.second, clock.ahead, z_offset in saves:
        if z_offset is not None:
            configfile.set("probe", "z_offset", z_offset)
        before, before_stat = open(path).read(), os.stat(path)
        with clock.reading():
            printer.run_gcode("CXSAVE_CONFIG")
        if open(path).read() != before:
            replaced.append(before)
        else:
            # A save that changes nothing writes nothing
            after_stat = os.stat(path)
            assert (after_stat.st_ino, after_stat.st_mtime_ns) == (
                before_stat.st_ino, before_stat.st_mtime_ns)
    # One backup for each save that changed the file, holding the file
    # from before that save
    assert sorted(open(name).read() for name in backups(printer)) == sorted(replaced)
    assert hidden_files(os.path.dirname(path)) == []


# Backups beside printer.cfg, and in config_backups/
@pytest.mark.parametrize("generation", ["2023", "kalico"])
def test_unchanged_saves_leave_one_backup(make_printer, generation):
    printer = make_printer("", host_generation=generation)
    path = printer.get_start_args()["config_file"]
    before = open(path).read()
    configfile = printer.lookup_object("configfile")
    clock = WallClock()
    for clock.second in range(300):
        # What a calibration that measures the same offset makes pending
        configfile.set("probe", "z_offset", "1.150")
        with clock.reading():
            printer.run_gcode("CXSAVE_CONFIG")
    [backup] = backups(printer)
    assert open(backup).read() == before
    assert len(printer.trace.of_kind("config_save")) == 300


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


def test_a_file_that_cannot_be_written_is_a_command_error(make_printer, monkeypatch):
    printer = make_printer("")
    path = printer.get_start_args()["config_file"]
    before = open(path).read()
    printer.lookup_object("configfile").set("probe", "z_offset", "1.900")

    def rename(source, destination, rename=os.rename):
        if destination == path:
            raise PermissionError(13, "Permission denied", destination)
        rename(source, destination)
    monkeypatch.setattr(os, "rename", rename)
    with pytest.raises(printer.command_error, match="Unable to write config file during"
                                                    " CXSAVE_CONFIG: .*Permission denied"):
        printer.run_gcode("CXSAVE_CONFIG")
    monkeypatch.undo()
    assert open(path).read() == before
    assert hidden_files(os.path.dirname(path)) == []
    assert printer.lookup_object("configfile").get_status(0.)["save_config_pending"] is True


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
