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
    parser = argparse.ArgumentParser(
        prog="z-compensate",
        description="Tools for the z_compensate klippy module.",
        epilog="\n".join("%-8s %s" % (name, help_text)
                         for name, (_, help_text, _) in SUBCOMMANDS.items()),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version",
                        version="%(prog)s " + metadata.version("z-compensate"))
    parser.add_argument("subcommand", choices=list(SUBCOMMANDS))
    parser.add_argument("arguments", nargs=argparse.REMAINDER,
                        help="the subcommand's own arguments (see SUBCOMMAND --help)")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    module_name, _, extra = SUBCOMMANDS[args.subcommand]
    try:
        module = importlib.import_module("z_compensate." + module_name)
    except ImportError as error:
        if extra is None or error.name is None or error.name.startswith("z_compensate"):
            raise
        print("error: z-compensate %s needs %s: pip install 'z-compensate[%s]'"
              % (args.subcommand, error.name, extra), file=sys.stderr)
        return 2
    return module.main(args.arguments)


if __name__ == "__main__":
    sys.exit(main())
