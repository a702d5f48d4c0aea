"""The z-compensate command: a dry run on a simulated printer and the
diagnostics receiver, each a module with its own main. (Installation into
Klipper is scripts/install-klipper.sh of the checkout.)"""
import argparse
import importlib
import sys
from importlib import metadata

# Subcommand -> (module of this package, what it does, the extra it needs)
SUBCOMMANDS = {
    "run": ("dry_run", "run a command on a simulated printer built from a printer.cfg",
            "sim"),
    "receive": ("receiver", "print the module's diagnostic datagrams", None),
}


def parse_args(argv):
    """(subcommand, its own arguments)."""
    parser = argparse.ArgumentParser(
        prog="z-compensate",
        description="Tools for the z_compensate klippy module.",
        epilog="See z-compensate COMMAND --help for a command's own arguments.")
    parser.add_argument("--version", action="version",
                        version="%(prog)s " + metadata.version("z-compensate"))
    subcommands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, (_, help_text, _) in SUBCOMMANDS.items():
        # The subcommand's own parser reads the rest, --help included
        subcommands.add_parser(name, help=help_text, add_help=False)
    args, arguments = parser.parse_known_args(argv)
    return args.command, arguments


def main(argv=None):
    command, arguments = parse_args(argv)
    module_name, _, extra = SUBCOMMANDS[command]
    try:
        module = importlib.import_module("z_compensate." + module_name)
    except ImportError as error:
        if extra is None or error.name is None or error.name.startswith("z_compensate"):
            raise
        print("error: z-compensate %s needs %s: pip install 'z-compensate[%s]'"
              % (command, error.name, extra), file=sys.stderr)
        return 2
    return module.main(arguments)


if __name__ == "__main__":
    sys.exit(main())
