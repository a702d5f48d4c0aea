# Reading and writing printer.cfg, with klippy's section wrapper and texts
import configparser
import glob
import io
import os
import time

error = configparser.Error


class sentinel:
    pass


class ConfigWrapper:
    error = configparser.Error

    def __init__(self, printer, fileconfig, access_tracking, section):
        self.printer = printer
        self.fileconfig = fileconfig
        self.access_tracking = access_tracking
        self.section = section

    def get_printer(self):
        return self.printer

    def get_name(self):
        return self.section

    def _get_wrapper(self, parser, option, default, minval=None, maxval=None,
                     above=None, below=None, note_valid=True):
        if not self.fileconfig.has_option(self.section, option):
            if default is not sentinel:
                if note_valid and default is not None:
                    acc_id = (self.section.lower(), option.lower())
                    self.access_tracking[acc_id] = default
                # A default is used as given: no bound applies to it
                return default
            raise error("Option '%s' in section '%s' must be specified"
                        % (option, self.section))
        try:
            v = parser(self.section, option)
        except self.error:
            raise
        except:
            raise error("Unable to parse option '%s' in section '%s'"
                        % (option, self.section))
        if note_valid:
            self.access_tracking[(self.section.lower(), option.lower())] = v
        # Comparisons with NaN are false, so NaN passes every bound
        if minval is not None and v < minval:
            raise error("Option '%s' in section '%s' must have minimum of %s"
                        % (option, self.section, minval))
        if maxval is not None and v > maxval:
            raise error("Option '%s' in section '%s' must have maximum of %s"
                        % (option, self.section, maxval))
        if above is not None and v <= above:
            raise error("Option '%s' in section '%s' must be above %s"
                        % (option, self.section, above))
        if below is not None and v >= below:
            raise error("Option '%s' in section '%s' must be below %s"
                        % (option, self.section, below))
        return v

    def get(self, option, default=sentinel, note_valid=True):
        return self._get_wrapper(self.fileconfig.get, option, default,
                                 note_valid=note_valid)

    def getint(self, option, default=sentinel, minval=None, maxval=None,
               note_valid=True):
        return self._get_wrapper(self.fileconfig.getint, option, default,
                                 minval, maxval, note_valid=note_valid)

    def getfloat(self, option, default=sentinel, minval=None, maxval=None,
                 above=None, below=None, note_valid=True):
        return self._get_wrapper(self.fileconfig.getfloat, option, default,
                                 minval, maxval, above, below,
                                 note_valid=note_valid)

    def getboolean(self, option, default=sentinel, note_valid=True):
        return self._get_wrapper(self.fileconfig.getboolean, option, default,
                                 note_valid=note_valid)

    def getchoice(self, option, choices, default=sentinel, note_valid=True):
        if choices and type(list(choices.keys())[0]) == int:
            c = self.getint(option, default, note_valid=note_valid)
        else:
            c = self.get(option, default, note_valid=note_valid)
        if c not in choices:
            raise error("Choice '%s' for option '%s' in section '%s'"
                        " is not a valid choice" % (c, option, self.section))
        return choices[c]

    def getlists(self, option, default=sentinel, seps=(',',), count=None,
                 parser=str, note_valid=True):
        def lparser(value, pos):
            if len(value.strip()) == 0:
                # An empty text is an empty list, not a list of one blank
                return ()
            if pos:
                parts = [p.strip() for p in value.split(seps[pos])]
                return tuple([lparser(p, pos - 1) for p in parts if p])
            res = [parser(p.strip()) for p in value.split(seps[pos])]
            if count is not None and len(res) != count:
                raise error("Option '%s' in section '%s' must have %d elements"
                            % (option, self.section, count))
            return tuple(res)

        def fcparser(section, option):
            return lparser(self.fileconfig.get(section, option), len(seps) - 1)
        return self._get_wrapper(fcparser, option, default,
                                 note_valid=note_valid)

    def getlist(self, option, default=sentinel, sep=',', count=None,
                note_valid=True):
        return self.getlists(option, default, seps=(sep,), count=count,
                             parser=str, note_valid=note_valid)

    def getintlist(self, option, default=sentinel, sep=',', count=None,
                   note_valid=True):
        return self.getlists(option, default, seps=(sep,), count=count,
                             parser=int, note_valid=note_valid)

    def getfloatlist(self, option, default=sentinel, sep=',', count=None,
                     note_valid=True):
        return self.getlists(option, default, seps=(sep,), count=count,
                             parser=float, note_valid=note_valid)

    def getsection(self, section):
        return ConfigWrapper(self.printer, self.fileconfig,
                             self.access_tracking, section)

    def has_section(self, section):
        return self.fileconfig.has_section(section)

    def get_prefix_sections(self, prefix):
        return [self.getsection(s) for s in self.fileconfig.sections()
                if s.startswith(prefix)]

    def get_prefix_options(self, prefix):
        return [o for o in self.fileconfig.options(self.section)
                if o.startswith(prefix)]


AUTOSAVE_HEADER = """
#*# <---------------------- SAVE_CONFIG ---------------------->
#*# DO NOT EDIT THIS BLOCK OR BELOW. The contents are auto-generated.
#*#
"""


class ConfigFileReader:
    """Reading printer.cfg and its SAVE_CONFIG block."""

    def __init__(self, printer):
        self.printer = printer

    def _read_config_file(self, filename):
        try:
            with open(filename, 'r') as f:
                data = f.read()
        except (IOError, OSError):
            raise error("Unable to open config file %s" % (filename,))
        return data.replace('\r\n', '\n')

    def _find_autosave_data(self, data):
        regular_data = data
        autosave_data = ""
        pos = data.find(AUTOSAVE_HEADER)
        if pos >= 0:
            regular_data = data[:pos]
            autosave_data = data[pos + len(AUTOSAVE_HEADER):].strip()
        # A damaged block is treated as part of the regular file
        if "\n#*# " in regular_data:
            return data, ""
        out = [""]
        for line in autosave_data.split('\n'):
            if ((not line.startswith("#*#")
                 or (len(line) >= 4 and not line.startswith("#*# ")))
                    and autosave_data):
                return data, ""
            out.append(line[4:])
        out.append("")
        return regular_data, "\n".join(out)

    def _strip_duplicates(self, data, fileconfig):
        # Comment out the fields of `data` that `fileconfig` also defines
        lines = data.split('\n')
        section = None
        is_dup_field = False
        for lineno, line in enumerate(lines):
            pruned_line = line.split('#')[0].split(';')[0].rstrip()
            if not pruned_line:
                continue
            if pruned_line[0].isspace():
                if is_dup_field:
                    lines[lineno] = '#' + lines[lineno]
                continue
            is_dup_field = False
            if pruned_line[0] == '[':
                section = pruned_line[1:-1].strip()
                continue
            field = pruned_line
            for i, ch in enumerate(pruned_line):
                if not (ch.isalnum() or ch == '_'):
                    field = pruned_line[:i]
                    break
            if fileconfig.has_option(section, field):
                is_dup_field = True
                lines[lineno] = '#' + lines[lineno]
        return "\n".join(lines)

    def _parse_config_buffer(self, buffer, filename, fileconfig):
        if not buffer:
            return
        data = '\n'.join(buffer)
        del buffer[:]
        fileconfig.read_file(io.StringIO(data), filename)

    def _resolve_include(self, source_filename, include_pattern,
                         fileconfig, visited):
        dirname = os.path.dirname(source_filename)
        include_glob = os.path.join(dirname, include_pattern.strip())
        include_filenames = glob.glob(include_glob)
        if not include_filenames and not glob.has_magic(include_glob):
            # A pattern may match nothing, a plain file name must exist
            raise error("Include file '%s' does not exist" % (include_glob,))
        for include_filename in sorted(include_filenames):
            include_data = self._read_config_file(include_filename)
            self._parse_config(include_data, include_filename, fileconfig,
                               visited)

    def _parse_config(self, data, filename, fileconfig, visited):
        path = os.path.abspath(filename)
        if path in visited:
            raise error("Recursive include of config file '%s'" % (filename,))
        visited.add(path)
        # Lines between includes are parsed as one unit so that a later
        # value overrides an earlier one in file order
        buffer = []
        for line in data.split('\n'):
            pos = line.find('#')
            if pos >= 0:
                line = line[:pos]
            mo = configparser.RawConfigParser.SECTCRE.match(line)
            header = mo and mo.group('header')
            if header and header.startswith('include '):
                self._parse_config_buffer(buffer, filename, fileconfig)
                self._resolve_include(filename, header[8:], fileconfig,
                                      visited)
            else:
                buffer.append(line)
        self._parse_config_buffer(buffer, filename, fileconfig)
        visited.remove(path)

    def _build_config_wrapper(self, data, filename):
        fileconfig = configparser.RawConfigParser(
            strict=False, inline_comment_prefixes=(';', '#'))
        self._parse_config(data, filename, fileconfig, set())
        return ConfigWrapper(self.printer, fileconfig, {}, 'printer')

    def _build_config_string(self, fileconfig):
        sfile = io.StringIO()
        fileconfig.write(sfile)
        return sfile.getvalue().strip()

    def _disallow_include_conflicts(self, regular_data, cfgname,
                                    pending_fileconfig, gcode):
        config = self._build_config_wrapper(regular_data, cfgname)
        for section in pending_fileconfig.sections():
            for option in pending_fileconfig.options(section):
                if config.fileconfig.has_option(section, option):
                    raise gcode.error(
                        "SAVE_CONFIG section '%s' option '%s' conflicts "
                        "with included value" % (section, option))


class PendingSaves(ConfigFileReader):
    """The pending values of the SAVE_CONFIG block and SAVE_CONFIG itself;
    methods of the configfile object in older klippy, of its `autosave`
    member since klippy split its configfile in 2024."""

    cmd_SAVE_CONFIG_help = "Overwrite config file and restart"

    def __init__(self, printer):
        ConfigFileReader.__init__(self, printer)
        self.status_save_pending = {}
        self.save_config_pending = False

    def pending_fileconfig(self):
        raise NotImplementedError

    def set(self, section, option, value):
        fileconfig = self.pending_fileconfig()
        if not fileconfig.has_section(section):
            fileconfig.add_section(section)
        svalue = str(value)
        fileconfig.set(section, option, svalue)
        pending = dict(self.status_save_pending)
        pending[section] = dict(pending.get(section, {}))
        pending[section][option] = svalue
        self.status_save_pending = pending
        self.save_config_pending = True
        self.printer.trace.add('config_set', section=section, option=option,
                               value=svalue)

    def remove_section(self, section):
        self.pending_fileconfig().remove_section(section)
        if section in self.status_save_pending:
            pending = dict(self.status_save_pending)
            del pending[section]
            self.status_save_pending = pending
        self.save_config_pending = True

    def pending_status(self):
        return {'save_config_pending': self.save_config_pending,
                'save_config_pending_items': self.status_save_pending}

    def write_pending(self, gcmd):
        """Writes the SAVE_CONFIG block into printer.cfg as klippy does,
        with a dated backup; False if nothing is pending."""
        fileconfig = self.pending_fileconfig()
        if not fileconfig.sections():
            return False
        gcode = self.printer.lookup_object('gcode')
        autosave_data = self._build_config_string(fileconfig)
        lines = [('#*# ' + l).strip() for l in autosave_data.split('\n')]
        lines.insert(0, "\n" + AUTOSAVE_HEADER.rstrip())
        lines.append("")
        autosave_data = '\n'.join(lines)
        cfgname = self.printer.get_start_args()['config_file']
        try:
            data = self._read_config_file(cfgname)
            regular_data, old_autosave_data = self._find_autosave_data(data)
            self._build_config_wrapper(regular_data, cfgname)
        except error:
            raise gcode.error("Unable to parse existing config on SAVE_CONFIG")
        regular_data = self._strip_duplicates(regular_data, fileconfig)
        self._disallow_include_conflicts(regular_data, cfgname, fileconfig,
                                         gcode)
        data = regular_data.rstrip() + autosave_data
        datestr = time.strftime("-%Y%m%d_%H%M%S")
        backup_name = cfgname + datestr
        temp_name = cfgname + "_autosave"
        if cfgname.endswith(".cfg"):
            backup_name = cfgname[:-4] + datestr + ".cfg"
            temp_name = cfgname[:-4] + "_autosave.cfg"
        if self.printer.host_generation.backups_in_subdir:
            backup_dir = os.path.join(os.path.dirname(cfgname),
                                      "config_backups")
            backup_name = os.path.join(backup_dir,
                                       os.path.basename(backup_name))
        try:
            if not os.path.isdir(os.path.dirname(backup_name)):
                os.mkdir(os.path.dirname(backup_name))
            if self.printer.host_generation.backups_in_subdir:
                # This host copies the file into its backup and writes the
                # file in place
                with open(cfgname) as current, open(backup_name, 'w') as f:
                    f.write(current.read())
                with open(cfgname, 'w') as f:
                    f.write(data)
            else:
                with open(temp_name, 'w') as f:
                    f.write(data)
                os.rename(cfgname, backup_name)
                os.rename(temp_name, cfgname)
        except (IOError, OSError):
            raise gcode.error("Unable to write config file during SAVE_CONFIG")
        self.printer.trace.add('config_save', filename=cfgname,
                               backup=backup_name)
        return True

    def cmd_SAVE_CONFIG(self, gcmd):
        if self.write_pending(gcmd):
            self.printer.lookup_object('gcode').request_restart('restart')


class ConfigAutoSave(PendingSaves):
    """klippy's configfile.autosave since the split."""

    def __init__(self, printer):
        PendingSaves.__init__(self, printer)
        self.fileconfig = None

    def pending_fileconfig(self):
        return self.fileconfig

    def get_status(self, eventtime):
        return self.pending_status()


class ConfigLoader(ConfigFileReader):
    """What every generation's configfile object does: loading printer.cfg,
    checking for unused options, and a host's own CXSAVE_CONFIG."""

    cmd_CXSAVE_CONFIG_help = "Overwrite config file without restart"

    def __init__(self, printer):
        ConfigFileReader.__init__(self, printer)
        # Sections whose objects model only some of klippy's options; the
        # options they do not read are accepted as they are
        self.unmodeled_option_sections = set()
        gcode = printer.lookup_object('gcode')
        gcode.register_command("SAVE_CONFIG", self.saver().cmd_SAVE_CONFIG,
                               desc=PendingSaves.cmd_SAVE_CONFIG_help)
        if printer.host_cxsave_config:
            # As some printer makers' klippy has it
            self.cmd_CXSAVE_CONFIG = self._save_without_restart
            gcode.register_command("CXSAVE_CONFIG", self.cmd_CXSAVE_CONFIG,
                                   desc=self.cmd_CXSAVE_CONFIG_help)

    def saver(self):
        """The object with cmd_SAVE_CONFIG and the pending values."""
        raise NotImplementedError

    def pending_fileconfig(self):
        return self.saver().pending_fileconfig()

    def _save_without_restart(self, gcmd):
        saver = self.saver()
        if saver.write_pending(gcmd):
            saver.save_config_pending = False
            saver.status_save_pending = {}

    def get_printer(self):
        return self.printer

    def accept_unmodeled_options(self, section):
        self.unmodeled_option_sections.add(section.lower())

    def read_main_config(self, overrides=None):
        filename = self.printer.get_start_args()['config_file']
        data = self._read_config_file(filename)
        regular_data, autosave_data = self._find_autosave_data(data)
        regular_config = self._build_config_wrapper(regular_data, filename)
        autosave_data = self._strip_duplicates(autosave_data,
                                               regular_config.fileconfig)
        self.keep_pending_config(
            self._build_config_wrapper(autosave_data, filename))
        config = self._build_config_wrapper(regular_data + autosave_data,
                                            filename)
        # Values given to the simulator directly act as if written in the
        # file, but are never saved
        for section, options in sorted((overrides or {}).items()):
            if not config.fileconfig.has_section(section):
                config.fileconfig.add_section(section)
            for option, value in options.items():
                config.fileconfig.set(section, option, str(value))
        return config

    def _access_tracking(self, config):
        access_tracking = dict(config.access_tracking)
        pending = self.pending_fileconfig()
        for section in pending.sections():
            for option in pending.options(section):
                access_tracking[(section.lower(), option.lower())] = 1
        return access_tracking

    def unread_sections(self, config):
        """Sections that no object was made from and none read."""
        objects = dict(self.printer.lookup_objects())
        valid_sections = {s: 1 for s, o in self._access_tracking(config)}
        return [name for name in config.fileconfig.sections()
                if name.lower() not in valid_sections
                and name.lower() not in objects
                and name.lower() not in self.unmodeled_option_sections]

    def check_unused_options(self, config, ignored_sections):
        # Every section is read, or accepted unread as one of
        # `ignored_sections`
        fileconfig = config.fileconfig
        access_tracking = self._access_tracking(config)
        for section_name in fileconfig.sections():
            section = section_name.lower()
            if (section_name in ignored_sections
                    or section in self.unmodeled_option_sections):
                continue
            for option in fileconfig.options(section_name):
                option = option.lower()
                if (section, option) not in access_tracking:
                    raise error("Option '%s' is not valid in section '%s'"
                                % (option, section))



class PrinterConfig(ConfigLoader, PendingSaves):
    """The configfile object of klippy until 2024 and of the Kalico fork:
    `autosave` is the SAVE_CONFIG block as a section wrapper."""

    def __init__(self, printer):
        PendingSaves.__init__(self, printer)
        ConfigLoader.__init__(self, printer)
        self.autosave = None

    def saver(self):
        return self

    def keep_pending_config(self, config):
        self.autosave = config

    def pending_fileconfig(self):
        return self.autosave.fileconfig

    def get_status(self, eventtime):
        return self.pending_status()


class SplitPrinterConfig(ConfigLoader):
    """The configfile object of mainline klippy since 2024-10."""

    def __init__(self, printer):
        self.autosave = ConfigAutoSave(printer)
        ConfigLoader.__init__(self, printer)

    def saver(self):
        return self.autosave

    def keep_pending_config(self, config):
        self.autosave.fileconfig = config.fileconfig

    def set(self, section, option, value):
        self.autosave.set(section, option, value)

    def remove_section(self, section):
        self.autosave.remove_section(section)

    def get_status(self, eventtime):
        return self.autosave.get_status(eventtime)


def create(printer):
    if printer.host_generation.autosave_object:
        return SplitPrinterConfig(printer)
    return PrinterConfig(printer)
