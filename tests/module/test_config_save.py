"""CXSAVE_CONFIG as the loader provides it where the host has none."""
import errno
import glob
import itertools
import os
import re
import shutil
import stat
import sys
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


# The loader's own step, and the host's save into the draft
@pytest.mark.parametrize("refused", ["printer.cfg", ".printer.z_compensate-"])
def test_a_file_that_cannot_be_written_is_a_command_error_naming_why(make_printer,
                                                                    monkeypatch, refused):
    printer = make_printer("")
    path = printer.get_start_args()["config_file"]
    before = open(path).read()
    printer.lookup_object("configfile").set("probe", "z_offset", "1.900")

    def rename(source, destination, rename=os.rename):
        if os.path.basename(destination).startswith(refused):
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


# A save's steps on the disk, a power cut after any of them and a failure at
# any of them: the loader's os calls are recorded while it saves into
# tmp_path, and a model of a journalling file system says what a power cut
# after each step could leave.

OLD = b"[printer]\r\nkinematics: none\r\n"
NEW = b"[printer]\nkinematics: none\n\n#*# [probe]\n#*# z_offset = 1.900\n"
# What a failing step raises, per os call
FAILURES = {"open": errno.EROFS, "write": errno.ENOSPC, "fsync": errno.EIO,
            "rename": errno.EBUSY, "link": errno.EPERM, "remove": errno.EROFS,
            "ftruncate": errno.EIO, "fchmod": errno.EPERM, "lseek": errno.EIO,
            "close": errno.EIO}


def renaming_host(draft):
    """SAVE_CONFIG of a host that replaces the draft by a new file."""
    with open(draft[:-4] + "_autosave.cfg", "wb") as f:
        f.write(NEW)
    os.rename(draft, draft[:-4] + "-20260101_000000.cfg")
    os.rename(draft[:-4] + "_autosave.cfg", draft)


def in_place_host(draft):
    """SAVE_CONFIG of a host that copies the draft into config_backups/ and
    writes it in place."""
    shutil.copy(draft, os.path.join(os.path.dirname(draft), "config_backups",
                                    ".printer.z_compensate-20260101_000000.cfg"))
    with open(draft, "wb") as f:
        f.write(NEW)


class RecordedOs:
    """The loader's os module: every call that changes the disk is a step
    (name, args, result); the step numbered `fail_at` fails (a write after
    writing half), and a printer.cfg `mounted` on its own cannot be renamed
    over nor linked to."""

    def __init__(self, fail_at, mounted):
        self.steps, self.fail_at, self.mounted = [], fail_at, mounted

    def __getattr__(self, name):
        if name not in FAILURES:
            return getattr(os, name)

        def step(*args):
            args = tuple(bytes(a) if isinstance(a, memoryview) else a for a in args)
            if (name, args[1 if name == "rename" else 0]) in (("rename", self.mounted),
                                                              ("link", self.mounted)):
                failure = errno.EBUSY if name == "rename" else errno.EXDEV
                raise OSError(failure, os.strerror(failure))
            if len(self.steps) == self.fail_at:
                self.fail_at = None
                if name == "write":
                    args = (args[0], args[1][:len(args[1]) // 2])
                    self.steps.append((name, args, os.write(*args)))
                if name == "close":
                    os.close(*args)
                raise OSError(FAILURES[name], os.strerror(FAILURES[name]))
            self.steps.append((name, args, getattr(os, name)(*args)))
            return self.steps[-1][2]
        return step


class JournalledDisk:
    """What a power cut after `steps` could leave: a file holds what its last
    fsync saw, or None (unknown) if it changed since; a folder's entries
    are those after its last fsync or after any of its later changes (the
    journal commits them in order, at any time)."""

    def __init__(self, files, steps):
        # path: [data, data on disk]
        self.names = {path: [data, data] for path, data in files.items()}
        self.folders = {os.path.dirname(p): [self.entries(os.path.dirname(p))] for p in files}
        self.fds = {}
        for name, args, result in steps:
            getattr(self, name)(result, *args)

    def entries(self, folder):
        return {p: inode for p, inode in self.names.items() if os.path.dirname(p) == folder}

    def changed(self, *paths):
        for folder in {os.path.dirname(p) for p in paths}:
            self.folders.setdefault(folder, [{}]).append(self.entries(folder))

    def open(self, fd, path, flags, mode=0o777):
        if os.path.isdir(path):
            self.fds[fd] = path
            return
        if path not in self.names:
            self.names[path] = [b"", b""]
            self.changed(path)
        if flags & os.O_TRUNC:
            self.names[path][:] = [b"", None]
        self.fds[fd] = [self.names[path], 0]

    def write(self, count, fd, data):
        inode, offset = self.fds[fd]
        inode[:] = [inode[0][:offset] + data[:count] + inode[0][offset + count:], None]
        self.fds[fd][1] += count

    def lseek(self, result, fd, position, how):
        self.fds[fd][1] = position

    def ftruncate(self, result, fd, length):
        inode = self.fds[fd][0]
        inode[:] = [inode[0][:length], None]

    def fsync(self, result, fd):
        if isinstance(self.fds[fd], str):
            self.folders[self.fds[fd]] = [self.entries(self.fds[fd])]
        else:
            self.fds[fd][0][1] = self.fds[fd][0][0]

    def rename(self, result, source, destination):
        self.names[destination] = self.names.pop(source)
        self.changed(source, destination)

    def link(self, result, source, destination):
        self.names[destination] = self.names[source]
        self.changed(destination)

    def remove(self, result, path):
        if self.names.pop(path, None) is not None:
            self.changed(path)

    def close(self, *args):
        pass
    fchmod = close

    def after_power_cut(self):
        """Every {path: data on disk} a power cut could leave."""
        for choice in itertools.product(*self.folders.values()):
            yield {p: inode[1] for entries in choice for p, inode in entries.items()}


def check_whole(files, target, before, may_be_partial):
    """printer.cfg is the old or the new whole file (written in place, it
    may be cut off while a backup holds the old one), the old one is whole
    somewhere, and any other new file is one whole backup or a hidden one
    that the next start removes."""
    new = [p for p in files if p not in before and p != target]
    backups = [files[p] for p in new if os.path.basename(p).startswith("printer-")]
    assert backups in ([], [OLD])
    assert OLD in [files.get(target)] + backups
    if not (may_be_partial and backups):
        assert files.get(target) in (OLD, NEW)
    assert all(re.match(r"printer-|\.printer\.z_compensate", os.path.basename(p)) for p in new)


# How printer.cfg is written: the host's way, through a link into another
# folder, as a file mounted on its own
KINDS = {"renaming": (renaming_host, False, False),
         "renaming, symlinked": (renaming_host, True, False),
         "renaming, mounted": (renaming_host, False, True),
         "in place": (in_place_host, False, False),
         "in place, symlinked": (in_place_host, True, False)}


@pytest.mark.parametrize("kind", KINDS)
def test_a_save_survives_a_power_cut_or_a_failure_at_any_step(make_printer, tmp_path,
                                                              monkeypatch, kind):
    make_printer("")
    loader = sys.modules["extras.z_compensate"]
    host, symlinked, mounted = KINDS[kind]
    folders = [str(tmp_path / "config"), str(tmp_path / "config" / "config_backups"),
               str(tmp_path / "repository")]
    cfgname = os.path.join(folders[0], "printer.cfg")
    target = os.path.join(folders[2 if symlinked else 0], "printer.cfg")
    may_be_partial = host is in_place_host or mounted

    def files():
        paths = [os.path.join(f, name) for f in folders for name in os.listdir(f)]
        return {p: open(p, "rb").read() for p in paths
                if os.path.isfile(p) and not os.path.islink(p)}

    def attempt(fail_at):
        for folder in (folders[0], folders[2]):
            shutil.rmtree(folder, ignore_errors=True)
        for folder in folders:
            os.makedirs(folder)
        with open(target, "wb") as f:
            f.write(OLD)
        os.chmod(target, 0o640)
        if symlinked:
            os.symlink(target, cfgname)
        before, recorded = files(), RecordedOs(fail_at, target if mounted else None)
        monkeypatch.setattr(loader, "os", recorded)
        try:
            loader.DraftSave(cfgname).save(host)
        except OSError as error:
            return before, recorded.steps, error
        finally:
            monkeypatch.setattr(loader, "os", os)
        return before, recorded.steps, None

    before, steps, error = attempt(None)
    after = files()
    [backup] = [p for p in after if p not in before]
    assert error is None and after[target] == NEW and after[backup] == OLD
    assert os.path.islink(cfgname) == symlinked
    assert {stat.S_IMODE(os.stat(p).st_mode) for p in (target, backup)} == {0o640}
    for cut in range(len(steps) + 1):
        for on_disk in JournalledDisk(before, steps[:cut]).after_power_cut():
            check_whole(on_disk, target, before, may_be_partial)
            # Saved means on disk
            assert cut < len(steps) or on_disk[target] == NEW

    for fail_at, (name, args, _) in enumerate(steps):
        before, failed_steps, error = attempt(fail_at)
        after = files()
        if error is None:
            # A link refused is a copy, a leftover not removed is logged, a
            # rename refused over printer.cfg is a write in place
            assert name in ("link", "remove", "rename") and after[target] == NEW
        else:
            assert error.strerror.startswith(os.strerror(FAILURES[name]))
        check_whole(after, target, before, False)
        assert os.path.islink(cfgname) == symlinked
        assert [p for p in after if ".z_compensate" in p] in (
            [], [args[0]] if name == "remove" else [])
        for on_disk in JournalledDisk(before, failed_steps).after_power_cut():
            check_whole(on_disk, target, before, may_be_partial)


def test_what_a_save_cut_short_left_goes_at_the_next_start(make_printer, tmp_path):
    leftovers = [".printer.z_compensate.cfg", ".printer.z_compensate-new.cfg",
                 ".printer.z_compensate_autosave.cfg",
                 os.path.join("config_backups", ".printer.z_compensate-backup.cfg")]
    kept = ["printer-20250101_000000.cfg", ".printer.cfg.swp"]
    os.makedirs(str(tmp_path / "config_backups"))
    for name in leftovers + kept:
        (tmp_path / name).write_text("[printer]\n")
    make_printer("")
    assert sorted(p for p in os.listdir(str(tmp_path)) if p.startswith((".", "printer-"))) == \
        sorted(kept)
    assert os.listdir(str(tmp_path / "config_backups")) == []


@pytest.mark.parametrize("host", [renaming_host, in_place_host], ids=["renaming", "in place"])
def test_a_configuration_named_relative_to_klippys_folder_saves(make_printer, tmp_path,
                                                                 monkeypatch, host):
    # klippy started as `klippy.py printer.cfg` keeps that name
    make_printer("")
    loader = sys.modules["extras.z_compensate"]
    os.makedirs(str(tmp_path / "saved" / "config_backups"))
    (tmp_path / "saved" / "printer.cfg").write_bytes(OLD)
    monkeypatch.chdir(tmp_path / "saved")
    loader.DraftSave("printer.cfg").save(host)
    assert (tmp_path / "saved" / "printer.cfg").read_bytes() == NEW
    assert [open(p, "rb").read() for p in glob.glob("printer-*.cfg")
            + glob.glob("config_backups/printer-*.cfg")] == [OLD]
    assert hidden_files(str(tmp_path / "saved")) == []


class Killed(BaseException):
    """Klipper killed at a step: nothing after it runs."""


@budget(60)
@given(old=st.binary(max_size=300), new=st.binary(max_size=300))
def test_killed_before_the_cut_a_file_written_in_place_holds_the_new_text(
        make_printer, tmp_path, monkeypatch, old, new):
    make_printer("")
    loader = sys.modules["extras.z_compensate"]
    path = str(tmp_path / "in_place.cfg")
    with open(path, "wb") as f:
        f.write(old)

    def killed(*args):
        raise Killed()
    monkeypatch.setattr(loader.os, "ftruncate", killed)
    fd = os.open(path, os.O_WRONLY)
    try:
        with pytest.raises(Killed):
            loader.overwrite(fd, new)
    finally:
        os.close(fd)
        monkeypatch.undo()
    # The new text, then blank lines where the old text was longer
    content = open(path, "rb").read()
    assert content[:len(new)] == new
    assert content[len(new):] == b"\n" * max(len(old) - len(new), 0)
