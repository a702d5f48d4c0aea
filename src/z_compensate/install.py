"""Installs the compiled module and its loader into a Klipper checkout.

klippy loads a [z_compensate] section from klippy/extras/z_compensate.py,
which imports the extension z_compensate_wrapper beside it. Both files come
from this package's module/ directory, where the wheel puts them.
"""
import argparse
import shutil
import subprocess
import sys
from pathlib import Path

MODULE_DIR = Path(__file__).resolve().parent / "module"
LOADER_NAME = "z_compensate.py"
EXTENSION_GLOB = "z_compensate_wrapper.*.so"
# Byte code that klippy's Python writes for the loader once it has run.
LOADER_CACHE_GLOB = "__pycache__/z_compensate.*.pyc"

DEFAULT_KLIPPER_DIR = "~/klipper"
ORIGIN_PLACEHOLDER = "<url of your clone of this repository>"
INSTALL_SCRIPT = "scripts/install-klipper.sh"


class InstallError(Exception):
    pass


def extras_dir(klipper_dir):
    extras = Path(klipper_dir).expanduser() / "klippy" / "extras"
    if not extras.is_dir():
        raise InstallError(
            "%s does not exist: give the Klipper checkout with --klipper DIR" % extras
        )
    return extras


def built_files(module_dir=MODULE_DIR):
    """The extension and the loader to copy, as (extension, loader)."""
    extensions = sorted(Path(module_dir).glob(EXTENSION_GLOB))
    loader = Path(module_dir) / LOADER_NAME
    if len(extensions) != 1 or not loader.is_file():
        raise InstallError(
            "no built module in %s: install this package with pip first" % module_dir
        )
    return extensions[0], loader


def installed_files(extras):
    """Every file in `extras` that an installation of this module put there."""
    found = list(extras.glob(EXTENSION_GLOB)) + list(extras.glob(LOADER_CACHE_GLOB))
    loader = extras / LOADER_NAME
    if loader.exists():
        found.append(loader)
    return sorted(found)


def install(klipper_dir, module_dir=MODULE_DIR):
    """Copies the module into `klipper_dir`; returns the files written."""
    extras = extras_dir(klipper_dir)
    extension, loader = built_files(module_dir)
    # Unlinking, not overwriting, leaves the copy that a running klippy has
    # mapped intact, and drops builds for the environment's earlier Pythons.
    for old_build in extras.glob(EXTENSION_GLOB):
        old_build.unlink()
    written = []
    for source in (extension, loader):
        target = extras / source.name
        shutil.copyfile(str(source), str(target))
        written.append(target)
    return written


def uninstall(klipper_dir):
    """Removes what `install` put into `klipper_dir`; returns the files removed."""
    removed = installed_files(extras_dir(klipper_dir))
    for path in removed:
        path.unlink()
    return removed


def git_origin(repo_dir):
    try:
        result = subprocess.run(
            ["git", "-C", str(repo_dir), "remote", "get-url", "origin"],
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            universal_newlines=True,
        )
    except OSError:
        return None
    return result.stdout.strip() if result.returncode == 0 else None


def home_relative(path):
    """`path` written with ~ for the home directory, as moonraker.conf files do."""
    path = Path(path).expanduser().resolve()
    home = Path.home().resolve()
    try:
        return "~/" + path.relative_to(home).as_posix()
    except ValueError:
        return path.as_posix()


def moonraker_section(repo_dir, origin=None):
    """The moonraker.conf section that keeps this repository up to date."""
    origin = origin or git_origin(repo_dir) or ORIGIN_PLACEHOLDER
    return "\n".join(
        [
            "[update_manager z_compensate]",
            "type: git_repo",
            "path: %s" % home_relative(repo_dir),
            "origin: %s" % origin,
            "primary_branch: main",
            "install_script: %s" % INSTALL_SCRIPT,
            "managed_services: klipper",
        ]
    ) + "\n"


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python -m z_compensate.install",
        description="Install the z_compensate module into a Klipper checkout.",
    )
    parser.add_argument(
        "--klipper",
        metavar="DIR",
        default=DEFAULT_KLIPPER_DIR,
        help="Klipper checkout (default: %(default)s)",
    )
    action = parser.add_mutually_exclusive_group()
    action.add_argument(
        "--uninstall",
        action="store_true",
        help="remove the module from the Klipper checkout",
    )
    action.add_argument(
        "--print-moonraker",
        action="store_true",
        help="print the moonraker.conf update_manager section",
    )
    parser.add_argument(
        "--repo",
        metavar="DIR",
        default=".",
        help="this repository's checkout, for --print-moonraker (default: .)",
    )
    parser.add_argument(
        "--origin",
        metavar="URL",
        help="git URL for --print-moonraker (default: the checkout's origin remote)",
    )
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    try:
        if args.print_moonraker:
            sys.stdout.write(moonraker_section(args.repo, args.origin))
        elif args.uninstall:
            removed = uninstall(args.klipper)
            for path in removed:
                print("removed %s" % path)
            if not removed:
                print("z_compensate is not installed in %s" % args.klipper)
        else:
            for path in install(args.klipper, MODULE_DIR):
                print("installed %s" % path)
            print("Restart Klipper to load the module.")
    except InstallError as error:
        print("error: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
