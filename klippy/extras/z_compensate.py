# Loads the [z_compensate] section: klippy only finds modules written in
# Python, so this file hands the section to the compiled module beside it.
#
# Installed from a checkout of the z-compensate repository, this file is a
# link into that checkout, while the extension beside it is a copy of a build.
# An update of the checkout (git pull, or Moonraker's update manager, which
# runs no build) therefore brings a new loader and leaves the old build: the
# loader refuses a build that no longer matches the checkout's version or
# sources, saying how to rebuild, rather than run it.
import hashlib
import logging
import os
import re

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
    extras = os.path.dirname(os.path.abspath(__file__))
    checkout = checkout_of(__file__)
    stamp = read_stamp(os.path.join(extras, STAMP_NAME))
    try:
        from . import z_compensate_wrapper
    except ImportError as error:
        hint = (rebuild_hint(checkout, stamp) if checkout
                else "install the module again")
        raise config.error("z_compensate: the compiled module in %s cannot be"
                           " loaded (%s): %s" % (extras, error, hint))
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


def load_config(config):
    return load_build(config).ZCompensateInitWrapper(config)
