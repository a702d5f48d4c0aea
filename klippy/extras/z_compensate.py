# Loads the [z_compensate] section: klippy only finds modules written in
# Python, so this file hands the section to the compiled module beside it.
#
# Installed from a checkout of the z-compensate repository, this file is a
# link into that checkout, while the extension beside it is a copy of a build.
# An update of the checkout (git pull, or Moonraker's update manager, which
# runs no build) therefore brings a new loader and leaves the old build: the
# loader refuses a build that no longer matches the checkout's version or
# sources, saying how to rebuild, rather than run it.
import errno
import glob
import hashlib
import logging
import os
import re
import stat
import time

# Written by the installer beside the extension: the digest of the sources it
# was built from and the command that rebuilds it
STAMP_NAME = "z_compensate_wrapper.stamp"
# The files of the checkout that the extension is built from
SOURCE_DIRS = ("host", os.path.join("klippy", "extras", "z_compensate_wrapper"))
SOURCE_FILES = ("CMakeLists.txt",)
VERSION_LINE = re.compile(r'^version\s*=\s*"([^"]+)"', re.M)


def checkout_of(loader_path):
    """The repository checkout this loader belongs to, or None when it is a
    copy (a simulated host's tree)."""
    checkout = os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.realpath(loader_path))))
    if os.path.isfile(os.path.join(checkout, "pyproject.toml")) and \
            os.path.isdir(os.path.join(checkout, SOURCE_DIRS[1])):
        return checkout
    return None


def checkout_version(checkout):
    """The version in the checkout's pyproject.toml, the one place it is set."""
    with open(os.path.join(checkout, "pyproject.toml")) as f:
        match = VERSION_LINE.search(f.read())
    return match.group(1) if match else None


def sources_digest(checkout):
    digest = hashlib.sha256()
    paths = list(SOURCE_FILES)
    for source_dir in SOURCE_DIRS:
        for name in os.listdir(os.path.join(checkout, source_dir)):
            if os.path.isfile(os.path.join(checkout, source_dir, name)):
                paths.append(os.path.join(source_dir, name))
    for path in sorted(paths):
        with open(os.path.join(checkout, path), "rb") as f:
            content = f.read()
        digest.update(path.replace(os.sep, "/").encode() + b"\0")
        digest.update(hashlib.sha256(content).digest())
    return digest.hexdigest()


def read_stamp(path):
    """{key: value} of the stamp's "key: value" lines; {} without a stamp."""
    if not os.path.isfile(path):
        return {}
    stamp = {}
    with open(path) as f:
        for line in f:
            key, sep, value = line.partition(":")
            if sep:
                stamp[key.strip()] = value.strip()
    return stamp


def stale_build(extension_version, checkout, stamp):
    """Why the installed build does not match `checkout`, or None."""
    wanted = checkout_version(checkout)
    if extension_version != wanted:
        return "the installed build is version %s, the checkout %s is %s" % (
            extension_version, checkout, wanted)
    if stamp.get("sources") != sources_digest(checkout):
        return "the sources in %s changed after the installed build" % (
            checkout,)
    return None


def rebuild_hint(checkout, stamp):
    command = stamp.get("rebuild") or os.path.join(
        checkout, "scripts", "install-klipper.sh")
    return "rebuild it with: %s, then restart Klipper" % (command,)


def load_build(config):
    # klippy/extras/ or, on hosts that keep third-party modules apart,
    # klippy/plugins/: the extension is imported relative to this package
    module_dir = os.path.dirname(os.path.abspath(__file__))
    checkout = checkout_of(__file__)
    stamp = read_stamp(os.path.join(module_dir, STAMP_NAME))
    try:
        from . import z_compensate_wrapper
    except ImportError as error:
        hint = (rebuild_hint(checkout, stamp) if checkout
                else "install the module again")
        raise config.error("z_compensate: the compiled module in %s cannot be"
                           " loaded (%s): %s" % (module_dir, error, hint))
    version = getattr(z_compensate_wrapper, "__version__", None)
    if checkout is not None:
        problem = stale_build(version, checkout, stamp)
        if problem is not None:
            raise config.error("z_compensate: %s; %s" % (
                problem, rebuild_hint(checkout, stamp)))
    logging.info("z_compensate %s loaded from %s%s", version,
                 z_compensate_wrapper.__file__,
                 " (checkout %s)" % (checkout,) if checkout else "")
    return z_compensate_wrapper


def split_cfg_name(cfgname):
    """(stem, ext) as klippy splits a configuration file's name for its
    backups: "printer.cfg" is saved as "printer-DATE.cfg"."""
    if cfgname.endswith(".cfg"):
        return cfgname[:-4], ".cfg"
    return cfgname, ""


def read_text(name):
    with open(name) as f:
        return f.read()


def read_bytes(name):
    with open(name, "rb") as f:
        return f.read()


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def flush(path):
    """Puts a file's data, or a folder's entries (a new, renamed or
    removed name), on disk."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_flushed(name, data, like=None):
    """(Re)writes the file `name` with `data`, on disk when this returns;
    with the mode of `like` (an os.stat_result) if given, and its owner
    where this process may give a file away."""
    fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        if like is not None:
            try:
                os.fchown(fd, like.st_uid, like.st_gid)
            except PermissionError:
                pass
            os.fchmod(fd, stat.S_IMODE(like.st_mode))
        write_all(fd, data)
        os.fsync(fd)
    finally:
        os.close(fd)


def overwrite(fd, data):
    """Writes `data` over the open file from its start, then cuts it
    there: a new text no longer than the old needs no new disk space.

    A shorter text is written followed by blank lines up to the old
    length, which a configuration file reads as the same text: killed
    before the cut, the file is the new configuration, not its text
    followed by the end of the old one."""
    padding = os.fstat(fd).st_size - len(data)
    os.lseek(fd, 0, os.SEEK_SET)
    write_all(fd, data + b"\n" * max(padding, 0))
    os.ftruncate(fd, len(data))
    os.fsync(fd)


class DraftSave:
    """The host's SAVE_CONFIG run on a hidden copy of printer.cfg, the draft.

    The host names its backup after the wall clock and replaces any file
    of that name: two saves in one second, or a clock stepped back, would
    overwrite the backup of the configuration from before the first save.
    Saving into the draft lets the host do all its parsing and checking,
    while printer.cfg and its backups are written here, and only when the
    draft differs from printer.cfg.

    printer.cfg is written the way the host wrote the draft, which its
    save shows whatever its version:
    - a host that replaces the file by a rename (mainline klippy) keeps the
      old file itself as the backup, beside printer.cfg: it is flushed and
      linked under the backup's name (a flushed copy with its mode where
      the file system has no hard links), then the new text is written
      under a hidden name, flushed and renamed over printer.cfg. At every
      moment printer.cfg is the old or the new whole file.
    - a host that writes the file in place (the Kalico fork) keeps a copy
      in config_backups/: the copy is written under a hidden name, flushed
      and renamed to the backup's name, and only then is printer.cfg
      overwritten in place. Its inode, mode and owner stay, and so does a
      file mounted on its own, as containers do. A write that fails puts
      the old text back; a power cut during it leaves the backup.
    A symlinked printer.cfg keeps its link on both: its target is the file
    replaced or overwritten. A printer.cfg that cannot be replaced by a
    rename (EBUSY: mounted on its own) is overwritten in place.
    Every step is flushed before the next depends on it, so that after a
    power cut the configuration from before the save is whole on disk,
    and a backup is whole under its final name or absent. The draft and
    the hidden files are removed when the save ends, or at the next start
    after a crash."""

    def __init__(self, cfgname):
        # klippy keeps the name it was started with, which may be relative:
        # its folder must be a name that can be opened and flushed
        self.cfgname = os.path.abspath(cfgname)
        self.target = os.path.realpath(cfgname)
        folder, name = os.path.split(self.cfgname)
        stem, ext = split_cfg_name(name)
        self.draft_stem = os.path.join(folder, "." + stem + ".z_compensate")
        self.draft = self.draft_stem + ext
        hidden = os.path.basename(self.draft_stem)
        # Hidden files of this save, named so that host_leftovers() finds
        # them: the new text beside the file it replaces, a backup being
        # written
        self.new_text = os.path.join(os.path.dirname(self.target),
                                     hidden + "-new" + ext)
        self.backup_temp_name = hidden + "-backup" + ext

    def host_leftovers(self):
        """The draft, what the host made of it (its backup, beside it or in
        config_backups/ as the Kalico fork keeps them, its temporary file)
        and this save's hidden files."""
        folder, stem = os.path.split(self.draft_stem)
        pattern = glob.escape(stem) + "*"
        folders = [folder, os.path.join(folder, "config_backups")]
        if os.path.dirname(self.target) not in folders:
            folders.append(os.path.dirname(self.target))
        return [name for f in folders
                for name in glob.glob(os.path.join(glob.escape(f), pattern))]

    def remove_leftovers(self):
        """Removes what host_leftovers() finds; a name that cannot be
        removed is logged, not raised, so that it never hides why a save
        failed (the next start tries again)."""
        for name in self.host_leftovers():
            try:
                os.remove(name)
            except OSError as error:
                logging.warning("z_compensate: cannot remove %s: %s",
                                name, error)

    def backup_folder(self, leftovers):
        """Where this host keeps its backups, as its backup of the draft
        shows."""
        for name in leftovers:
            if os.path.basename(os.path.dirname(name)) == "config_backups":
                return os.path.dirname(name)
        return os.path.dirname(self.cfgname)

    def backup_name(self, folder):
        """A free name for a backup, as the host names its backups; a name
        already taken gets a number, so that no backup is ever replaced."""
        stem, ext = split_cfg_name(os.path.basename(self.cfgname))
        base = os.path.join(folder, stem + time.strftime("-%Y%m%d_%H%M%S"))
        name, number = base + ext, 1
        while os.path.lexists(name):
            number += 1
            name = "%s_%d%s" % (base, number, ext)
        return name

    def copy_backup(self, folder, text, like):
        """A backup holding `text`, whole on disk under its final name."""
        temp = os.path.join(folder, self.backup_temp_name)
        write_flushed(temp, text, like)
        name = self.backup_name(folder)
        os.rename(temp, name)
        flush(folder)
        return name

    def keep_old_file(self, folder, text, like):
        """The old printer.cfg itself as the backup, on disk."""
        flush(self.target)
        name = self.backup_name(folder)
        try:
            os.link(self.target, name)
        except OSError as error:
            # No hard links here, or printer.cfg lives on another file
            # system than its backups (a link or a mount)
            logging.info("z_compensate: backup copied, not linked: %s", error)
            return self.copy_backup(folder, text, like)
        flush(folder)
        return name

    def write_in_place(self, text, before, backup):
        fd = os.open(self.target, os.O_WRONLY)
        try:
            try:
                overwrite(fd, text)
            except OSError as error:
                try:
                    overwrite(fd, before)
                except OSError:
                    raise OSError(error.errno, "%s; the configuration from"
                                  " before the save is in %s" % (
                                      error.strerror, backup), self.target)
                raise
        finally:
            os.close(fd)

    def replace(self, text, before, backup, old):
        write_flushed(self.new_text, text, old)
        try:
            os.rename(self.new_text, self.target)
        except OSError as error:
            # A file mounted on its own cannot be renamed over, nor linked
            # to from another mount: with a copy as its backup, it is
            # written in place
            if error.errno != errno.EBUSY or \
                    os.path.samestat(os.stat(backup), old):
                raise
            self.write_in_place(text, before, backup)
        flush(os.path.dirname(self.target))

    def save(self, host_save):
        """Runs `host_save` (SAVE_CONFIG) with the draft as the
        configuration file, then writes printer.cfg and a backup if the
        draft changed."""
        try:
            before = read_bytes(self.cfgname)
            old = os.stat(self.target)
            write_flushed(self.draft, before)
            drafted = os.stat(self.draft)
            host_save(self.draft)
            if read_text(self.draft) == read_text(self.cfgname):
                logging.info("z_compensate: %s unchanged, nothing written",
                             self.cfgname)
                return
            after = read_bytes(self.draft)
            host_writes_in_place = os.stat(self.draft).st_ino == \
                drafted.st_ino
            folder = self.backup_folder(self.host_leftovers())
            if host_writes_in_place:
                backup = self.copy_backup(folder, before, old)
                self.write_in_place(after, before, backup)
            else:
                backup = self.keep_old_file(folder, before, old)
                self.replace(after, before, backup, old)
            logging.info("z_compensate: saved %s (backup in %s)",
                         self.cfgname, backup)
        finally:
            self.remove_leftovers()


class ConfigSaveWithoutRestart:
    """CXSAVE_CONFIG for a host that has none: the host's own SAVE_CONFIG
    prepares the file and its restart request is withheld.

    A save that changes nothing writes nothing; a save that changes the
    file keeps the file from before it as a new backup, whatever the wall
    clock reads."""

    cmd_CXSAVE_CONFIG_help = "Overwrite config file without restart"

    def __init__(self, printer):
        self.printer = printer
        configfile = printer.lookup_object('configfile')
        # Since klippy split its configfile, saving lives on its autosave
        self.saver = getattr(configfile, 'autosave', None)
        if not hasattr(self.saver, 'cmd_SAVE_CONFIG'):
            self.saver = configfile
        # What a save cut short by a crash or a power cut left
        DraftSave(printer.get_start_args()['config_file']).remove_leftovers()

    def cmd_CXSAVE_CONFIG(self, gcmd):
        start_args = self.printer.get_start_args()
        cfgname = start_args['config_file']
        gcode = self.printer.lookup_object('gcode')

        def host_save(draft):
            # SAVE_CONFIG reads the file's name from the start arguments and
            # ends in gcode.request_restart(); it does not pause, so no
            # other code sees either stand-in
            start_args['config_file'] = draft
            gcode.request_restart = lambda result: None
            try:
                self.saver.cmd_SAVE_CONFIG(gcmd)
            except self.printer.command_error as error:
                # The host's error for a file it could not write names no
                # reason: the system's is the error it was handling
                if isinstance(error.__context__, (IOError, OSError)):
                    raise error.__context__
                raise
            finally:
                del gcode.request_restart
                start_args['config_file'] = cfgname
        try:
            DraftSave(cfgname).save(host_save)
        except (IOError, OSError) as error:
            logging.exception("z_compensate: CXSAVE_CONFIG failed")
            raise gcmd.error("Unable to write config file during CXSAVE_CONFIG:"
                             " %s" % (error,))
        # The file now holds what was pending
        self.saver.save_config_pending = False
        self.saver.status_save_pending = {}


def provide_cxsave_config(printer):
    configfile = printer.lookup_object('configfile')
    if hasattr(configfile, 'cmd_CXSAVE_CONFIG'):
        return
    saver = ConfigSaveWithoutRestart(printer)
    printer.lookup_object('gcode').register_command(
        "CXSAVE_CONFIG", saver.cmd_CXSAVE_CONFIG,
        desc=saver.cmd_CXSAVE_CONFIG_help)
    configfile.cmd_CXSAVE_CONFIG = saver.cmd_CXSAVE_CONFIG


def load_config(config):
    wrapper = load_build(config)
    provide_cxsave_config(config.get_printer())
    return wrapper.ZCompensateInitWrapper(config)
