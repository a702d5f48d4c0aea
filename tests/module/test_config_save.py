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


# A save's steps on the disk, a power cut after any of them and a failure at
# any of them: the loader's os calls are recorded while it saves into a
# folder of tmp_path, and a model of a journalling file system says what a
# power cut after each step would leave.

OLD = b"[printer]\r\nkinematics: none\r\n"
NEW = "[printer]\nkinematics: none\n\n#*# [probe]\n#*# z_offset = 1.900\n"
HOST_BACKUP = "-20260101_000000.cfg"
# What a failing step raises, per os call
FAILURES = {"open": errno.EROFS, "write": errno.ENOSPC, "fsync": errno.EIO,
            "rename": errno.EBUSY, "link": errno.EPERM, "remove": errno.EROFS,
            "ftruncate": errno.EIO, "fchmod": errno.EPERM, "lseek": errno.EIO,
            "close": errno.EIO}


def renaming_host(draft):
    """SAVE_CONFIG of a host that renames: a new file replaces the draft."""
    with open(draft[:-4] + "_autosave.cfg", "w") as f:
        f.write(NEW)
    os.rename(draft, draft[:-4] + HOST_BACKUP)
    os.rename(draft[:-4] + "_autosave.cfg", draft)


def in_place_host(draft):
    """SAVE_CONFIG of a host that copies into config_backups/ and writes
    the file in place."""
    folder = os.path.join(os.path.dirname(draft), "config_backups")
    os.makedirs(folder, exist_ok=True)
    shutil.copy(draft, os.path.join(folder, os.path.basename(draft)[:-4] + HOST_BACKUP))
    with open(draft, "w") as f:
        f.write(NEW)


class RecordedOs:
    """The loader's os module: each call that changes the disk is a step,
    (name, path or fd, data); the step numbered `fail_at` fails (a write
    after writing half), and a rename over `mounted` always does, as over a
    file mounted on its own."""

    def __init__(self, fail_at=None, mounted=None):
        self.steps, self.fail_at, self.mounted = [], fail_at, mounted

    def __getattr__(self, name):
        return getattr(os, name)

    def step(self, name, subject, data=None):
        self.steps.append((name, subject, data))
        if len(self.steps) - 1 == self.fail_at:
            raise OSError(FAILURES[name], os.strerror(FAILURES[name]))

    def open(self, path, flags, mode=0o777):
        self.step("open", (os.path.abspath(path), flags))
        fd = os.open(path, flags, mode)
        self.steps[-1] = ("open", (os.path.abspath(path), flags), fd)
        return fd

    def write(self, fd, data):
        data = bytes(data)
        if len(self.steps) == self.fail_at and len(data) > 1:
            data = data[:len(data) // 2]
            os.write(fd, data)
        self.step("write", fd, data)
        return os.write(fd, data)

    def rename(self, source, destination):
        self.step("rename", (source, destination))
        if destination == self.mounted:
            raise OSError(errno.EBUSY, os.strerror(errno.EBUSY), destination)
        os.rename(source, destination)

    def link(self, source, destination):
        self.step("link", (source, destination))
        if source == self.mounted:
            raise OSError(errno.EXDEV, os.strerror(errno.EXDEV), source)
        os.link(source, destination)

    def remove(self, path):
        self.step("remove", path)
        os.remove(path)

    def close(self, fd):
        os.close(fd)
        self.step("close", fd)

    def lseek(self, fd, position, how):
        self.step("lseek", fd, position)
        return os.lseek(fd, position, how)

    def ftruncate(self, fd, length):
        self.step("ftruncate", fd, length)
        os.ftruncate(fd, length)

    def fsync(self, fd):
        self.step("fsync", fd)
        os.fsync(fd)

    def fchmod(self, fd, mode):
        self.step("fchmod", fd)
        os.fchmod(fd, mode)

    def fchown(self, fd, uid, gid):
        os.fchown(fd, uid, gid)


UNKNOWN = "unflushed"


class JournalledDisk:
    """What a power cut leaves of `steps`: a file's data is what its last
    fsync saw, or unknown if it changed since; a folder's entries are
    those after its last fsync, or after any later step (the journal
    commits them in order, any time)."""

    def __init__(self, files, steps):
        self.inodes = {path: [data, data] for path, data in files.items()}
        self.names = {path: self.inodes[path] for path in files}
        self.fds = {}
        # For each folder, its entries after each of its changes since its
        # last fsync
        self.folder_states = {}
        for folder in {os.path.dirname(path) for path in files}:
            self.folder_states[folder] = [self.entries(folder)]
        for step in steps:
            self.apply(*step)

    def entries(self, folder):
        return {p: i for p, i in self.names.items() if os.path.dirname(p) == folder}

    def changed(self, folder):
        self.folder_states.setdefault(folder, []).append(self.entries(folder))

    def apply(self, name, subject, data):
        if name == "open":
            path, flags = subject
            if os.path.isdir(path) or flags & os.O_DIRECTORY:
                self.fds[data] = [path, 0]
                return
            if path not in self.names:
                self.names[path] = [b"", b""]
                self.changed(os.path.dirname(path))
            if flags & os.O_TRUNC:
                self.names[path][0] = b""
                self.names[path][1] = UNKNOWN
            self.fds[data] = [self.names[path], 0]
        elif name == "write":
            inode, offset = self.fds[subject]
            inode[0] = inode[0][:offset] + data + inode[0][offset + len(data):]
            inode[1] = UNKNOWN
            self.fds[subject][1] += len(data)
        elif name == "lseek":
            self.fds[subject][1] = data
        elif name == "ftruncate":
            inode = self.fds[subject][0]
            inode[0], inode[1] = inode[0][:data], UNKNOWN
        elif name == "fsync":
            target = self.fds[subject][0]
            if isinstance(target, str):
                self.folder_states[target] = [self.entries(target)]
            else:
                target[1] = target[0]
        elif name in ("rename", "link"):
            source, destination = subject
            self.names[destination] = self.names[source]
            if name == "rename":
                del self.names[source]
                self.changed(os.path.dirname(source))
            self.changed(os.path.dirname(destination))
        elif name == "remove" and subject in self.names:
            del self.names[subject]
            self.changed(os.path.dirname(subject))

    def after_power_cut(self):
        """Every {path: durable data} a power cut could leave."""
        folders = sorted(self.folder_states)
        for choice in itertools.product(*(self.folder_states[f] for f in folders)):
            yield {path: inode[1] for entries in choice for path, inode in entries.items()}


def saved_files(folders):
    return {os.path.join(f, name): open(os.path.join(f, name), "rb").read()
            for f in folders for name in os.listdir(f)
            if os.path.isfile(os.path.join(f, name))}


# How printer.cfg is kept and written: the host's way, a link into another
# folder, a file mounted on its own
KINDS = {"renaming": (renaming_host, False, False),
         "renaming, symlinked": (renaming_host, True, False),
         "renaming, mounted": (renaming_host, False, True),
         "in place": (in_place_host, False, False),
         "in place, symlinked": (in_place_host, True, False)}


def check_whole(files, target, backups_before, may_be_partial):
    """printer.cfg is the old or the new whole file (or, written in place,
    the backup holds the old one), the old one is whole somewhere, and every
    new backup is whole."""
    new_backups = {p: d for p, d in files.items()
                   if re.search(r"/printer-\d{8}_\d{6}(_\d+)?\.cfg$", p) and p not in backups_before}
    assert all(data == OLD for data in new_backups.values()), new_backups
    assert len(new_backups) <= 1
    assert OLD in (files.get(target), *new_backups.values())
    if not (may_be_partial and new_backups):
        assert files.get(target) in (OLD, NEW.encode())
    # What is left besides is hidden, removed at the next start
    leftovers = [p for p in files if p not in backups_before and p != target
                 and p not in new_backups]
    assert all(os.path.basename(p).startswith(".printer.z_compensate") for p in leftovers)


@pytest.mark.parametrize("kind", KINDS)
def test_a_save_survives_a_power_cut_or_a_failure_at_any_step(make_printer, tmp_path,
                                                              monkeypatch, kind):
    make_printer("")
    loader = sys.modules["extras.z_compensate"]
    host, symlinked, mounted = KINDS[kind]
    folder, repository = tmp_path / "config", tmp_path / "repository"
    cfgname = str(folder / "printer.cfg")
    target = str(repository / "printer.cfg") if symlinked else cfgname
    backup_folders = [str(folder), str(folder / "config_backups")]
    may_be_partial = host is in_place_host or mounted

    def attempt(fail_at):
        shutil.rmtree(tmp_path)
        for f in [*backup_folders, str(repository)]:
            os.makedirs(f)
        with open(target, "wb") as f:
            f.write(OLD)
        os.chmod(target, 0o640)
        if symlinked:
            os.symlink(target, cfgname)
        # An earlier backup stays as it is
        with open(str(folder / "printer-20250101_000000.cfg"), "wb") as f:
            f.write(b"earlier")
        files = saved_files([*backup_folders, str(repository)])
        recorded = RecordedOs(fail_at, target if mounted else None)
        monkeypatch.setattr(loader, "os", recorded)
        try:
            loader.DraftSave(cfgname).save(host)
            error = None
        except OSError as raised:
            error = raised
        finally:
            monkeypatch.setattr(loader, "os", os)
        return files, recorded.steps, error

    before, steps, error = attempt(None)
    assert error is None
    after = saved_files([*backup_folders, str(repository)])
    assert after[target] == NEW.encode()
    assert os.path.islink(cfgname) == symlinked
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o640
    [backup] = [p for p in after if p not in before and "z_compensate" not in p]
    assert after[backup] == OLD and stat.S_IMODE(os.stat(backup).st_mode) == 0o640
    for cut in range(len(steps) + 1):
        disk = JournalledDisk(before, steps[:cut])
        for files in disk.after_power_cut():
            check_whole(files, target, before, may_be_partial)
            if cut == len(steps):
                # Saved means on disk
                assert files[target] == NEW.encode()

    for fail_at, (name, subject, _) in enumerate(steps):
        before, failed_steps, error = attempt(fail_at)
        after = saved_files([*backup_folders, str(repository)])
        if error is None:
            # A link refused is a copy, a leftover not removed is logged, a
            # rename refused over printer.cfg is a write in place
            assert name in ("link", "remove", "rename") and after[target] == NEW.encode()
        else:
            assert error.strerror.startswith(os.strerror(FAILURES[name])), error
        check_whole(after, target, before, False)
        assert os.path.islink(cfgname) == symlinked
        leftovers = [p for p in after if "z_compensate" in p]
        assert leftovers in ([], [subject] if name == "remove" else [])
        for files in JournalledDisk(before, failed_steps).after_power_cut():
            check_whole(files, target, before, may_be_partial)


@pytest.mark.parametrize("generation", ALL)
def test_a_symlinked_file_keeps_its_link_and_the_old_file_stays_whole(make_printer, tmp_path,
                                                                      generation):
    printer = make_printer("", host_generation=generation)
    path = printer.get_start_args()["config_file"]
    target = str(tmp_path / "repository" / "printer.cfg")
    os.makedirs(os.path.dirname(target))
    before = open(path).read().replace("\n", "\r\n").encode()
    with open(target, "wb") as f:
        f.write(before)
    os.chmod(target, 0o600)
    os.remove(path)
    os.symlink(target, path)
    printer.lookup_object("configfile").set("probe", "z_offset", "1.900")
    printer.run_gcode("CXSAVE_CONFIG")
    assert os.readlink(path) == target
    assert "#*# z_offset = 1.900" in open(target).read()
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o600
    [backup] = backups(printer)
    assert open(backup, "rb").read() == before
    assert hidden_files(os.path.dirname(path)) == hidden_files(os.path.dirname(target)) == []


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
