# Loads the [z_compensate] section: klippy only finds modules written in
# Python, so this file hands the section to the compiled module beside it.
import os
import time

from . import z_compensate_wrapper


def backup_names(cfgname, when):
    """The names klippy gives the backup of a save at `when`: beside the
    file, or in config_backups/ as the Kalico fork does."""
    datestr = time.strftime("-%Y%m%d_%H%M%S", time.localtime(when))
    base, ext = cfgname, ""
    if cfgname.endswith(".cfg"):
        base, ext = cfgname[:-4], ".cfg"
    dirname, basename = os.path.split(base)
    return [base + datestr + ext,
            os.path.join(dirname, "config_backups", basename + datestr + ext)]


def read_text(name):
    with open(name) as f:
        return f.read()


def read_backups(cfgname, when):
    """The backups that a save at `when` or in the next second would
    overwrite, as {name: text}."""
    return {name: read_text(name)
            for second in (when, when + 1.)
            for name in backup_names(cfgname, second)
            if os.path.isfile(name)}


class ConfigSaveWithoutRestart:
    """CXSAVE_CONFIG for a host that has none: the host's own SAVE_CONFIG
    writes the file, backup included, and its restart request is withheld.

    Two saves within one second get the same backup name; the earlier
    backup, the configuration before the first save, is kept."""

    cmd_CXSAVE_CONFIG_help = "Overwrite config file without restart"

    def __init__(self, printer):
        self.printer = printer
        configfile = printer.lookup_object('configfile')
        # Since klippy split its configfile, saving lives on its autosave
        self.saver = getattr(configfile, 'autosave', None)
        if not hasattr(self.saver, 'cmd_SAVE_CONFIG'):
            self.saver = configfile

    def cmd_CXSAVE_CONFIG(self, gcmd):
        gcode = self.printer.lookup_object('gcode')
        cfgname = self.printer.get_start_args()['config_file']
        earlier_backups = read_backups(cfgname, time.time())
        # SAVE_CONFIG ends in gcode.request_restart() and does not pause
        # before it, so no other code sees the stand-in
        gcode.request_restart = lambda result: None
        try:
            self.saver.cmd_SAVE_CONFIG(gcmd)
        finally:
            del gcode.request_restart
            for name, text in earlier_backups.items():
                if read_text(name) != text:
                    with open(name, 'w') as f:
                        f.write(text)
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
    provide_cxsave_config(config.get_printer())
    return z_compensate_wrapper.ZCompensateInitWrapper(config)
