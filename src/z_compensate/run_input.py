"""What a dry run is given: its command line and the configuration files,
checked with the standard library alone, so that scripts/demo can refuse
bad arguments before it builds anything:

    python -m z_compensate.run_input [z-compensate run's arguments]

exits 0 when the run may go ahead, EXIT_BAD_INPUT with the error, and
EXIT_ANSWERED once --help has been shown.
"""
import argparse
import collections
import glob
import os
import re
import sys
from pathlib import Path

EXAMPLE_CONFIG = Path(__file__).resolve().parent / "data" / "printer.cfg"
DEFAULT_COMMAND = "Z_OFFSET_AUTO"
DEFAULT_OUT_DIR = "z-compensate-out"
TEMPERATURE_PARAMETERS = ("HOT_START_TEMP", "HOT_RUB_TEMP", "HOT_END_TEMP", "BED_ADDTEMP")
LIMIT_PARAMETERS = ("MAX_OFFSET_CHANGE", "POINT_TOLERANCE", "POINT_RETRIES")
# The module's commands and the parameters each of them reads
COMMANDS = collections.OrderedDict([
    ("Z_OFFSET_AUTO", TEMPERATURE_PARAMETERS + LIMIT_PARAMETERS),
    ("Z_OFFSET_CALIBRATION", LIMIT_PARAMETERS),
    ("VQTWENTYMA_NOZZLE_CLEAR", TEMPERATURE_PARAMETERS),
])
INCLUDE_HEADER = re.compile(r"^\[include\s+(.+?)\s*\]")
SECTION_HEADER = re.compile(r"^\[([^\]]+)\]")
# Sections with which klippy provides the bed probe (its "probe" object)
# that the simulated printer does not model; it models [probe]
UNSIMULATED_PROBES = ("bltouch", "smart_effector", "probe_eddy_current", "load_cell_probe")

EXIT_BAD_INPUT = 2
EXIT_ANSWERED = 3


class BadInput(Exception):
    """The command line or the configuration cannot be run at all."""


class Command(collections.namedtuple("Command", ["name", "params", "line"])):
    """A command with its parameters ({NAME: number}) and its G-code line."""


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="z-compensate run",
        description="Run one of the module's commands on a simulated printer"
                    " built from a printer.cfg, and show what it would do.")
    parser.add_argument(
        "--config", metavar="FILE", type=Path,
        help="the printer.cfg to simulate (default: the bundled example printer)")
    parser.add_argument(
        "--out", metavar="DIR", type=Path, default=Path(DEFAULT_OUT_DIR),
        help="each run writes the saved configuration, its change and the"
             " picture into a new folder of its own in DIR (default: %(default)s)")
    add_klippy_options(parser)
    parser.add_argument(
        "command", nargs="?", default=DEFAULT_COMMAND, metavar="COMMAND",
        help="%s (default), %s" % (DEFAULT_COMMAND, " or ".join(list(COMMANDS)[1:])))
    parser.add_argument(
        "params", nargs="*", metavar="PARAM=VALUE",
        help="the command's parameters, such as HOT_RUB_TEMP=230")
    return parser.parse_args(argv)


def add_klippy_options(parser):
    parser.add_argument(
        "--klipper", metavar="PATH", type=Path,
        help="the printer's own Klipper checkout (such as ~/klipper), whose"
             " klippy checks the configuration and its homing first (default:"
             " the embedded klippy of 2023-10, when installed)")
    parser.add_argument(
        "--klipper-python", metavar="PYTHON", type=Path,
        help="the Python with klippy's packages that runs --klipper (default:"
             " klippy-env beside the checkout, or ~/klippy-env)")


def parse_command(command, words):
    name = command.upper()
    if name not in COMMANDS:
        raise BadInput("unknown command %r: the module's commands are %s"
                       % (command, ", ".join(COMMANDS)))
    params = collections.OrderedDict()
    for word in words:
        param, equals, text = word.partition("=")
        if not equals or not param:
            raise BadInput("%r is not a PARAMETER=VALUE pair" % (word,))
        try:
            params[param.upper()] = float(text)
        except ValueError:
            raise BadInput("parameter %s of %s is not a number: %r"
                           % (param.upper(), name, text))
    return Command(name, params, " ".join([name] + list(words)))


def unread_parameters(command):
    return [p for p in command.params if p not in COMMANDS[command.name]]


def read_text(path):
    try:
        return path.read_text()
    except (OSError, UnicodeDecodeError) as error:
        raise BadInput("%s: cannot be read: %s" % (path, error))


def included_patterns(text):
    for line in text.splitlines():
        match = INCLUDE_HEADER.match(line.split("#")[0])
        if match:
            yield match.group(1)


def config_files(source):
    """{path relative to `source`'s folder: text} of `source` and the files
    its [include] sections name."""
    files = collections.OrderedDict()

    def add(path):
        relative = os.path.relpath(str(path), str(source.parent))
        if relative == os.pardir or relative.startswith(os.pardir + os.sep):
            raise BadInput("%s: includes %s from outside %s, which a dry run"
                           " does not copy" % (source, path, source.parent))
        if relative in files:
            return
        files[relative] = text = read_text(path)
        for pattern in included_patterns(text):
            for included in sorted(glob.glob(str(path.parent / pattern))):
                add(Path(included))

    add(source)
    return files


def section_names(files):
    return [match.group(1).strip() for text in files.values()
            for match in map(SECTION_HEADER.match, text.splitlines()) if match]


def check_probe_simulated(config, sections):
    """Refuses a bed probe that the simulated printer would not have."""
    if "probe" in sections:
        return
    for section in sections:
        if section.split()[0] in UNSIMULATED_PROBES:
            raise BadInput(
                "%s: [%s] provides the bed probe, which the dry run does not"
                " simulate (it simulates [probe]). For a dry run, use a copy of"
                " the file with a [probe] section in its place that has the same"
                " x_offset, y_offset and z_offset and any pin, for example"
                " pin: PA0" % (config, section))


def checked_input(args):
    """(command, configuration file, {relative path: text} of its files)
    of a command line, or BadInput."""
    command = parse_command(args.command, args.params)
    config = args.config or EXAMPLE_CONFIG
    if not config.is_file():
        raise BadInput("%s: no such configuration file" % (config,))
    files = config_files(config)
    check_probe_simulated(config, section_names(files))
    return command, config, files


def main(argv=None):
    try:
        args = parse_args(argv)
    except SystemExit as exit:
        # argparse exits 0 once it has shown the help
        return EXIT_ANSWERED if exit.code == 0 else exit.code
    try:
        checked_input(args)
    except BadInput as error:
        print("error: %s" % error, file=sys.stderr)
        return EXIT_BAD_INPUT
    return 0


if __name__ == "__main__":
    sys.exit(main())
