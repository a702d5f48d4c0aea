"""Builds the z_compensate module for klippy's Python and installs it into a
Klipper checkout.

klippy loads a [z_compensate] section from klippy/extras/z_compensate.py,
which imports the extension z_compensate_wrapper beside it; the Kalico fork
also loads third-party modules from klippy/plugins/, which its own .gitignore
keeps out of git, and takes a module found in both folders for an error. From
a checkout of this repository the installer builds the extension with CMake
for the Python of klippy's virtual environment (nothing is installed into
that environment), copies it into klippy/plugins/ where the host has that
folder and into klippy/extras/ otherwise, links the loader there to the
checkout's own and writes a stamp of the sources it was built from. The
loader compares the stamp and the extension's version with the checkout at
every start of klippy, so that an update of the checkout without a rebuild
is refused rather than run. When a wheel in the checkout's dist/ (or the
directory given with --wheels) fits klippy's Python and was built from the
checkout's sources, its extension is installed instead of a build: no
compiler and no network are needed then.

Simulated hosts take the extension and the loader that the wheel carries in
this package's module/ directory (`install`).

Each installation keeps a record of the files it wrote in the folder beside
them. A later installation or an uninstall removes only the files of that
record which are still as written; any other file of the module's names
(placed by hand, or changed since) is left alone and named.
"""
import argparse
import hashlib
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.parse
import urllib.request
from pathlib import Path

PACKAGE_DIR = Path(__file__).resolve().parent
MODULE_DIR = PACKAGE_DIR / "module"
# This file's checkout, when it is run from one (as scripts/install-klipper.sh does)
CHECKOUT = PACKAGE_DIR.parents[1]
# What makes a directory a Klipper checkout: klippy's main program beside its
# extras package
KLIPPY_MAIN = Path("klippy") / "klippy.py"
EXTRAS = Path("klippy") / "extras"
PLUGINS = Path("klippy") / "plugins"
LOADER_PATH = EXTRAS / "z_compensate.py"
LOADER_NAME = LOADER_PATH.name
EXTENSION_NAME = "z_compensate_wrapper"
EXTENSION_GLOB = EXTENSION_NAME + ".*.so"
STAMP_NAME = EXTENSION_NAME + ".stamp"
# The installer's record of the files it wrote into a folder, beside them:
# what it installed is all it ever removes
RECORD_NAME = "z_compensate.installed"
# Byte code that klippy's Python writes for the loader once it has run.
LOADER_CACHE_GLOB = "__pycache__/z_compensate.*.pyc"

# Lines of the Klipper checkout's .git/info/exclude that keep the installed
# files out of `git status` (and Moonraker's "untracked files" warning)
EXCLUDE_HEADER = "# z_compensate module, placed here by its installer"
EXCLUDE_PATTERNS = ["/%s/%s" % (EXTRAS.as_posix(), name)
                    for name in (LOADER_NAME, EXTENSION_GLOB, STAMP_NAME, RECORD_NAME)]

DEFAULT_KLIPPER_DIR = "~/klipper"
DEFAULT_ENV_DIR = "~/klippy-env"
ORIGIN_PLACEHOLDER = "<url of your clone of this repository>"
INSTALL_SCRIPT = "scripts/install-klipper.sh"
# Where scripts/build-wheels leaves its wheels, and where the release's
# downloads go
DEFAULT_WHEELS_DIR = "dist"
MIN_CMAKE = (3, 15)
# The wheels' build type, which the installer's build takes too
BUILD_TYPE_LINE = re.compile(r'^cmake\.build-type\s*=\s*"([^"]+)"', re.M)
# Where the wheel, and CMake's install step, put the extension and the loader
PACKAGED_MODULE_DIR = Path("z_compensate") / "module"
BUILD_PACKAGES = "sudo apt-get install build-essential cmake python3-dev"


class InstallError(Exception):
    pass


# Checks made before anything is built or placed
def target_dir(klipper_dir, checkout=CHECKOUT):
    """The folder of the Klipper checkout `klipper_dir` that the module goes
    into: klippy/plugins/ where the host has one, else klippy/extras/.
    Refuses a directory that is not a Klipper checkout, and this repository's
    own checkout, whose loader the installation would replace with a link to
    itself."""
    klipper = Path(klipper_dir).expanduser()
    if klipper.resolve() == Path(checkout).resolve():
        raise InstallError(
            "%s is this module's own checkout, not Klipper's: give the Klipper"
            " checkout with --klipper DIR" % klipper)
    if not (klipper / KLIPPY_MAIN).is_file() or not (klipper / EXTRAS).is_dir():
        raise InstallError(
            "%s is not a Klipper checkout: expected %s and %s/ in it; give the"
            " Klipper checkout with --klipper DIR" % (klipper, KLIPPY_MAIN, EXTRAS))
    plugins = klipper / PLUGINS
    return plugins if plugins.is_dir() else klipper / EXTRAS


def env_python(env_dir):
    python = Path(env_dir).expanduser() / "bin" / "python"
    if not os.access(str(python), os.X_OK):
        raise InstallError(
            "no Python at %s: give klippy's virtual environment with --env DIR" % python
        )
    return python


def python_facts(python):
    """What the build needs to know of klippy's Python."""
    script = ("import sys, sysconfig; print(sys.implementation.cache_tag);"
              " print(sysconfig.get_config_var('EXT_SUFFIX'));"
              " print(sysconfig.get_paths()['include']);"
              " print('%d.%d' % sys.version_info[:2])")
    output = subprocess.run([str(python), "-c", script], stdout=subprocess.PIPE,
                            universal_newlines=True, check=True).stdout.split("\n")
    return dict(zip(("cache_tag", "ext_suffix", "include", "version"), output))


def cmake_version(cmake):
    output = subprocess.run([cmake, "--version"], stdout=subprocess.PIPE,
                            universal_newlines=True).stdout
    match = re.search(r"(\d+)\.(\d+)", output)
    return tuple(int(part) for part in match.groups()) if match else (0, 0)


def missing_build_tools(facts):
    """What the build lacks, each as a sentence; empty when nothing."""
    missing = []
    cmake = shutil.which("cmake")
    if cmake is None:
        missing.append("CMake (cmake) is not installed")
    elif cmake_version(cmake) < MIN_CMAKE:
        missing.append("CMake %d.%d or newer is needed, %s is %d.%d"
                       % (MIN_CMAKE + (cmake,) + cmake_version(cmake)))
    if not any(shutil.which(name) for name in (os.environ.get("CXX", "c++"), "g++", "clang++")):
        missing.append("no C++ compiler (c++, g++ or clang++) is installed")
    if not any(shutil.which(name) for name in ("ninja", "make")):
        missing.append("neither make nor ninja is installed")
    if not (Path(facts["include"]) / "Python.h").is_file():
        missing.append("the headers of Python %s (Python.h in %s) are not installed"
                       % (facts["version"], facts["include"]))
    return missing


def check_python_version(facts):
    if tuple(int(part) for part in facts["version"].split(".")) < (3, 8):
        raise InstallError("klippy runs on Python %s; the module needs 3.8 or newer"
                           % facts["version"])


# The build
def checkout_version(checkout):
    return load_checkout_loader(checkout).checkout_version(str(checkout))


def load_checkout_loader(checkout):
    """The checkout's loader as a module of its own, for the functions that
    it shares with the installer (the version and the sources' digest)."""
    found = importlib.util.spec_from_file_location(
        "z_compensate_loader", str(Path(checkout) / LOADER_PATH))
    loader = importlib.util.module_from_spec(found)
    found.loader.exec_module(loader)
    return loader


def build_type(checkout):
    return BUILD_TYPE_LINE.search((Path(checkout) / "pyproject.toml").read_text()).group(1)


def build(checkout, python, facts, staging_dir, out=sys.stdout):
    """Builds the extension for `python` in the checkout's build directory,
    which is kept, so that a rebuild compiles only what changed, and installs
    it stripped of its symbols into `staging_dir`, as the wheels carry it;
    returns the staged extension."""
    checkout = Path(checkout)
    build_dir = checkout / "build" / ("klippy-" + facts["cache_tag"])
    generator = "Ninja" if shutil.which("ninja") else "Unix Makefiles"
    configure = [
        "cmake", "-S", str(checkout), "-B", str(build_dir),
        "-DCMAKE_BUILD_TYPE=%s" % build_type(checkout),
        "-DPython_EXECUTABLE=%s" % python,
        "-DSKBUILD_PROJECT_NAME=z-compensate",
        "-DSKBUILD_PROJECT_VERSION=%s" % checkout_version(checkout),
    ]
    if not (build_dir / "CMakeCache.txt").exists():
        configure[1:1] = ["-G", generator]
    print("Building the module for klippy's Python %s in %s"
          % (facts["version"], build_dir), file=out, flush=True)
    if subprocess.run(configure).returncode != 0:
        raise InstallError("CMake could not set up the build (its messages are"
                           " above): install what it names, then run this again")
    jobs = str(os.cpu_count() or 1)
    if subprocess.run(["cmake", "--build", str(build_dir), "--parallel", jobs]).returncode != 0:
        raise InstallError("the build failed (the compiler's messages are above)")
    if subprocess.run(["cmake", "--install", str(build_dir), "--prefix", str(staging_dir),
                       "--strip"], stdout=subprocess.DEVNULL).returncode != 0:
        raise InstallError("CMake could not install the build (its messages are above)")
    extension, _ = built_files(Path(staging_dir) / PACKAGED_MODULE_DIR)
    return extension


def wheel_extension(wheels_dir, python, checkout, unpack_dir, out=sys.stdout):
    """The extension of the wheel in `wheels_dir` that klippy's Python takes,
    unpacked into `unpack_dir`, or None when no wheel there fits or the one
    that fits was built from other sources than the checkout's. pip of
    klippy's environment chooses among the wheels as for an install, from
    that directory alone."""
    wheels_dir = Path(wheels_dir).expanduser()
    if not list(wheels_dir.glob("z_compensate-*.whl")):
        return None
    version = checkout_version(checkout)
    result = subprocess.run(
        [str(python), "-m", "pip", "install", "--no-index", "--no-deps",
         "--disable-pip-version-check", "--find-links", str(wheels_dir),
         "--target", str(unpack_dir), "z-compensate==" + version],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    chosen = re.search(r"Processing \S*?(z_compensate-\S+\.whl)", result.stdout)
    if result.returncode != 0 or chosen is None:
        print("No wheel of version %s in %s fits klippy's Python"
              % (version, wheels_dir), file=out)
        return None
    module_dir = Path(unpack_dir) / PACKAGED_MODULE_DIR
    extension, _ = built_files(module_dir)
    loader = load_checkout_loader(checkout)
    built_from = loader.read_stamp(str(module_dir / STAMP_NAME)).get("sources")
    if built_from != loader.sources_digest(str(checkout)):
        print("The wheel %s was not built from the sources in %s"
              % (chosen.group(1), checkout), file=out)
        return None
    print("Installing the module from the wheel %s: nothing to build"
          % chosen.group(1), file=out, flush=True)
    return extension


# Placing the files
def built_files(module_dir=MODULE_DIR):
    """The extension and the loader that the wheel carries, as (extension, loader)."""
    extensions = sorted(Path(module_dir).glob(EXTENSION_GLOB))
    loader = Path(module_dir) / LOADER_NAME
    if len(extensions) != 1 or not loader.is_file():
        raise InstallError(
            "no built module in %s: install this package with pip first" % module_dir
        )
    return extensions[0], loader


def fingerprint(path):
    """What `path` holds: a link's target or a file's digest."""
    if path.is_symlink():
        return "link " + os.readlink(str(path))
    return "sha256 " + hashlib.sha256(path.read_bytes()).hexdigest()


def write_record(folder, written):
    record = {path.name: fingerprint(path) for path in written}
    (folder / RECORD_NAME).write_text(json.dumps(record, indent=1, sort_keys=True) + "\n")


def module_files(folder):
    """Every file in `folder` that has one of the names an installation
    gives its files."""
    found = list(folder.glob(EXTENSION_GLOB)) + list(folder.glob(LOADER_CACHE_GLOB))
    for name in (LOADER_NAME, STAMP_NAME, RECORD_NAME):
        # A link whose checkout is gone counts too
        if (folder / name).is_symlink() or (folder / name).exists():
            found.append(folder / name)
    return sorted(found)


def read_record(folder):
    """{name: fingerprint} of the files an installation wrote into `folder`.
    An installation made before the installer kept a record is told by its
    stamp, which names the command that rebuilds it, beside a loader linked
    into a checkout: its stamp, loader and extensions count as recorded."""
    record_path = folder / RECORD_NAME
    if record_path.is_file():
        return json.loads(record_path.read_text())
    stamp, loader = folder / STAMP_NAME, folder / LOADER_NAME
    if stamp.is_file() and "\nrebuild: " in stamp.read_text() and loader.is_symlink():
        return {path.name: fingerprint(path)
                for path in [stamp, loader] + list(folder.glob(EXTENSION_GLOB))}
    return {}


def installed_files(folder):
    """(installed, left_alone): the files in `folder` that this installer's
    record lists as it wrote them, with the record itself and the byte code
    that klippy made of the installed loader; and the other files of the
    module's names, which it did not install or which changed since."""
    record_path = folder / RECORD_NAME
    record = read_record(folder)
    installed = [folder / name for name, written in sorted(record.items())
                 if ((folder / name).is_symlink() or (folder / name).is_file())
                 and fingerprint(folder / name) == written]
    if record_path.is_file():
        installed.append(record_path)
    if folder / LOADER_NAME in installed:
        installed += folder.glob(LOADER_CACHE_GLOB)
    left_alone = [path for path in module_files(folder) if path not in installed]
    return sorted(installed), left_alone


def remove_installed(folder):
    """Removes what the installer's record lists in `folder`; returns
    (removed, left_alone)."""
    removed, left_alone = installed_files(folder)
    for path in removed:
        path.unlink()
    return removed, left_alone


def place(folder, extension, loader, link_loader, stamp_text=None):
    """Puts the extension (a copy), the loader (a copy or a link) and the
    stamp into `folder`, over an earlier installation, and records them;
    returns (written, left_alone). Refuses to replace a file it did not
    install."""
    names = [extension.name, LOADER_NAME] + ([STAMP_NAME] if stamp_text else [])
    _, left_alone = installed_files(folder)
    in_the_way = [str(path) for path in left_alone if path.name in names]
    if in_the_way:
        raise InstallError(
            "%s: not installed by this installer, or changed since: move %s away"
            " and run this again" % (", ".join(in_the_way),
                                     "it" if len(in_the_way) == 1 else "them"))
    # Unlinking, not overwriting, leaves the copy that a running klippy has
    # mapped intact, and drops builds for the environment's earlier Pythons.
    remove_installed(folder)
    shutil.copyfile(str(extension), str(folder / extension.name))
    if link_loader:
        (folder / LOADER_NAME).symlink_to(loader.resolve())
    else:
        shutil.copyfile(str(loader), str(folder / LOADER_NAME))
    if stamp_text:
        (folder / STAMP_NAME).write_text(stamp_text)
    written = [folder / name for name in names]
    write_record(folder, written)
    return written, left_alone


def install(klipper_dir, built_dir=MODULE_DIR):
    """Copies the wheel's module into `klipper_dir`; returns the files written."""
    target = target_dir(klipper_dir)
    extension, loader = built_files(built_dir)
    written, _ = place(target, extension, loader, link_loader=False)
    keep_in_one_folder(klipper_dir, target)
    return written


def install_build(klipper_dir, extension, checkout, rebuild_command):
    """Installs a build of `checkout`: the extension copied, the loader linked
    to the checkout's and the stamp that the loader checks. Returns the files
    written, those of an earlier installation that the move into
    klippy/plugins/ removed from klippy/extras/, and the files of the
    module's names that it left alone."""
    target = target_dir(klipper_dir, checkout)
    digest = load_checkout_loader(checkout).sources_digest(str(checkout))
    written, left_alone = place(target, extension, Path(checkout) / LOADER_PATH,
                                link_loader=True, stamp_text="sources: %s\nrebuild: %s\n"
                                % (digest, rebuild_command))
    moved_away, left_in_extras = keep_in_one_folder(klipper_dir, target)
    return written, moved_away, left_alone + left_in_extras


def keep_in_one_folder(klipper_dir, target):
    """Keeps the module in one folder: an installation into klippy/plugins/
    removes an earlier one from klippy/extras/ (klippy would refuse to start
    with both) and the exclude lines that went with it, which the host's own
    .gitignore makes needless there. Returns (removed, left_alone)."""
    extras = Path(klipper_dir).expanduser() / EXTRAS
    if target == extras:
        add_excludes(klipper_dir)
        return [], []
    removed = remove_installed(extras)
    remove_excludes(klipper_dir)
    return removed


def uninstall(klipper_dir, checkout=CHECKOUT):
    """Removes what an installation put into `klipper_dir`, in klippy/plugins/
    and klippy/extras/ alike; returns (removed, left_alone)."""
    target = target_dir(klipper_dir, checkout)
    extras = Path(klipper_dir).expanduser() / EXTRAS
    removed, left_alone = remove_installed(target)
    if target != extras:
        removed_from_extras, left_in_extras = remove_installed(extras)
        removed += removed_from_extras
        left_alone += left_in_extras
    remove_excludes(klipper_dir)
    return removed, left_alone


# The Klipper checkout's git exclude list
def exclude_file(klipper_dir):
    """The checkout's info/exclude file, or None when `klipper_dir` is not
    the top of a git checkout."""
    klipper_dir = Path(klipper_dir).expanduser().resolve()
    try:
        result = subprocess.run(
            ["git", "-C", str(klipper_dir), "rev-parse", "--show-toplevel",
             "--git-path", "info/exclude"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, universal_newlines=True)
    except OSError:
        return None
    lines = result.stdout.splitlines()
    if result.returncode != 0 or len(lines) != 2 or Path(lines[0]).resolve() != klipper_dir:
        return None
    # Relative to the directory git ran in
    return klipper_dir / lines[1]


def set_excludes(klipper_dir, wanted):
    """Puts this installer's exclude lines at the end of the checkout's
    exclude file (`wanted`) or takes them out; an earlier installation's
    lines, a part of today's, go either way, and other lines stay."""
    path = exclude_file(klipper_dir)
    if path is None or not (wanted or path.exists()):
        return
    lines = path.read_text().splitlines() if path.exists() else []
    ours = [EXCLUDE_HEADER] + EXCLUDE_PATTERNS
    new = [line for line in lines if line not in ours] + (ours if wanted else [])
    if new != lines:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("".join(line + "\n" for line in new))


def add_excludes(klipper_dir):
    set_excludes(klipper_dir, True)


def remove_excludes(klipper_dir):
    set_excludes(klipper_dir, False)


# Earlier versions installed the checkout as a package into klippy's
# environment with pip, which keeps where a package came from
PACKAGE_SOURCE = """import json, sys
from importlib import metadata
try:
    url = json.loads(metadata.distribution("z-compensate").read_text("direct_url.json") or "{}")
except metadata.PackageNotFoundError:
    sys.exit(1)
print(url.get("url", ""))
"""


def installed_from_checkout(url, checkout):
    parts = urllib.parse.urlsplit(url)
    return parts.scheme == "file" and Path(
        urllib.request.url2pathname(parts.path)).resolve() == Path(checkout).resolve()


def remove_package_from_env(python, checkout, out=sys.stdout):
    """Removes the z-compensate package from klippy's environment when pip
    installed it there from `checkout`, as earlier versions of this
    installer did; any other one is left alone."""
    found = subprocess.run([str(python), "-c", PACKAGE_SOURCE], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, universal_newlines=True)
    if found.returncode != 0:
        return
    env = Path(python).parents[1]
    url = found.stdout.strip()
    if not installed_from_checkout(url, checkout):
        print("left alone the z-compensate package in %s: this installer did not"
              " install it (from %s); %s -m pip uninstall z-compensate removes it"
              % (env, url or "an unknown source", python), file=out)
        return
    print("Removing the z-compensate package that an earlier version"
          " installed into %s" % env, file=out, flush=True)
    subprocess.run([str(python), "-m", "pip", "uninstall", "--yes", "--quiet", "z-compensate"],
                   check=True)


# Moonraker
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
    """The moonraker.conf section that keeps this repository up to date.

    An update pulls the new commits and restarts Klipper; it runs no build,
    so the loader then refuses the old build until the install script has
    rebuilt it."""
    origin = origin or git_origin(repo_dir) or ORIGIN_PLACEHOLDER
    return "\n".join(
        [
            "[update_manager z_compensate]",
            "type: git_repo",
            "path: %s" % home_relative(repo_dir),
            "origin: %s" % origin,
            "primary_branch: main",
            "managed_services: klipper",
        ]
    ) + "\n"


def shell_path(path):
    return str(Path(path).expanduser().resolve())


def install_main(args, out=sys.stdout):
    checkout = Path(args.repo).resolve()
    # Both directories are checked before anything is built
    target_dir(args.klipper, checkout)
    python = env_python(args.env)
    facts = python_facts(python)
    check_python_version(facts)
    wheels_dir = args.wheels or checkout / DEFAULT_WHEELS_DIR
    rebuild = " ".join([shell_path(checkout / INSTALL_SCRIPT),
                        "--klipper", shell_path(args.klipper),
                        "--env", shell_path(args.env)])
    with tempfile.TemporaryDirectory() as staging_dir:
        extension = wheel_extension(wheels_dir, python, checkout, staging_dir, out)
        if extension is None:
            missing = missing_build_tools(facts)
            if missing:
                raise InstallError("cannot build the module: %s.\nOn Debian-based"
                                   " systems: %s" % ("; ".join(missing), BUILD_PACKAGES))
            extension = build(checkout, python, facts, staging_dir, out)
        written, moved_away, left_alone = install_build(args.klipper, extension, checkout,
                                                        rebuild)
    for path in moved_away:
        print("removed %s (the module now lives in %s)" % (path, written[0].parent), file=out)
    for path in written:
        print("installed %s" % path, file=out)
    report_left_alone(left_alone, out)
    remove_package_from_env(python, checkout, out)
    print("z_compensate %s is installed. Restart Klipper to load it:"
          " sudo systemctl restart klipper" % checkout_version(checkout), file=out)


def report_left_alone(paths, out):
    for path in paths:
        print("left alone %s: this installer did not install it, or it changed since"
              % path, file=out)


def uninstall_main(args, out=sys.stdout):
    checkout = Path(args.repo).resolve()
    removed, left_alone = uninstall(args.klipper, checkout)
    for path in removed:
        print("removed %s" % path, file=out)
    if not removed:
        print("z_compensate is not installed in %s" % args.klipper, file=out)
    report_left_alone(left_alone, out)
    python = Path(args.env).expanduser() / "bin" / "python"
    if os.access(str(python), os.X_OK):
        remove_package_from_env(python, checkout, out)


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog=INSTALL_SCRIPT,
        description="Build the z_compensate module for klippy's Python and"
                    " install it into a Klipper checkout.",
    )
    parser.add_argument(
        "--klipper", metavar="DIR", default=DEFAULT_KLIPPER_DIR,
        help="Klipper checkout (default: %(default)s)",
    )
    parser.add_argument(
        "--env", metavar="DIR", default=DEFAULT_ENV_DIR,
        help="klippy's virtual environment, whose Python the module is built"
             " for; nothing is installed into it (default: %(default)s)",
    )
    action = parser.add_mutually_exclusive_group()
    action.add_argument(
        "--uninstall", action="store_true",
        help="remove the module from the Klipper checkout",
    )
    action.add_argument(
        "--print-moonraker", action="store_true",
        help="print the moonraker.conf update_manager section",
    )
    parser.add_argument(
        "--repo", metavar="DIR", default=str(CHECKOUT),
        help="this repository's checkout (default: %(default)s)",
    )
    parser.add_argument(
        "--wheels", metavar="DIR",
        help="wheels to install from instead of building, when one fits klippy's"
             " Python (default: the checkout's %s/)" % DEFAULT_WHEELS_DIR,
    )
    parser.add_argument(
        "--origin", metavar="URL",
        help="git URL for --print-moonraker (default: the checkout's origin remote)",
    )
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    try:
        if args.print_moonraker:
            sys.stdout.write(moonraker_section(args.repo, args.origin))
        elif args.uninstall:
            uninstall_main(args)
        else:
            install_main(args)
    except InstallError as error:
        print("error: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
