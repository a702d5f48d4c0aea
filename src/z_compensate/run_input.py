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
import importlib.util
import math
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

# The largest --seed: the module takes it as a signed 64-bit number
MAX_SEED = 2 ** 63 - 1

EXIT_BAD_INPUT = 2
EXIT_ANSWERED = 3


class BadInput(Exception):
    """The command line or the configuration cannot be run at all."""


class Command(collections.namedtuple("Command", ["name", "params", "line"])):
    """A command with its parameters ({NAME: number}) and its G-code line."""


def parse_args(argv):
    return argument_parser().parse_args(argv)


def argument_parser():
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
    add_simulation_options(parser)
    add_klippy_options(parser)
    parser.add_argument(
        "command", nargs="?", default=DEFAULT_COMMAND, metavar="COMMAND",
        help="%s (default), %s" % (DEFAULT_COMMAND, " or ".join(list(COMMANDS)[1:])))
    parser.add_argument(
        "params", nargs="*", metavar="PARAM=VALUE",
        help="the command's parameters, such as HOT_RUB_TEMP=230")
    return parser


def host_generations():
    """The klippy generations the simulated host offers, oldest first.
    Read from the simulator's own list, without importing the simulator
    (it needs greenlet, which these checks run without)."""
    simulator = importlib.util.find_spec("klippysim")
    path = os.path.join(simulator.submodule_search_locations[0], "generations.py")
    spec = importlib.util.spec_from_file_location("z_compensate_host_generations", path)
    generations = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generations)
    return list(generations.GENERATIONS)


def newest_mainline(names):
    return [name for name in names if name.startswith("mainline")][-1]


def seed_number(text):
    try:
        seed = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a whole number" % (text,))
    if not 0 <= seed <= MAX_SEED:
        raise argparse.ArgumentTypeError("%s does not lie between 0 and %d" % (text, MAX_SEED))
    return seed


def finite_number(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number" % (text,))
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError("%r is not a finite number" % (text,))
    return value


def add_simulation_options(parser):
    """The options that choose what the simulated printer is: its random
    numbers, its probe's true offset and the klippy it stands for."""
    parser.add_argument(
        "--seed", metavar="N", type=seed_number,
        help="the seed of the module's random points and stroke and of the simulated"
             " noise: a run with the same seed, file and command repeats exactly"
             " (default: a new seed, printed at the start of the run)")
    parser.add_argument(
        "--true-offset", metavar="MM", type=finite_number,
        help="how far above the nozzle's contact the simulated bed probe really"
             " triggers, the offset a calibration should find (default:"
             " [simulated_printer] true_probe_offset, else the probe's z_offset)")
    generations = host_generations()
    parser.add_argument(
        "--host", metavar="GENERATION", choices=generations,
        default=newest_mainline(generations),
        help="where no klippy answers, the klippy whose interfaces the simulated"
             " host offers: %s (default: %%(default)s)" % ", ".join(generations))


def add_klippy_options(parser):
    parser.add_argument(
        "--klipper", metavar="PATH", type=Path,
        help="the printer's own Klipper checkout (such as ~/klipper), whose"
             " klippy loads the configuration, homes the printer and runs the"
             " command (default: the embedded klippy of 2023-10, when installed)")
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


def checked_input(args):
    """(command, configuration file, {relative path: text} of its files)
    of a command line, or BadInput."""
    command = parse_command(args.command, args.params)
    config = args.config or EXAMPLE_CONFIG
    if not config.is_file():
        raise BadInput("%s: no such configuration file" % (config,))
    files = config_files(config)
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
