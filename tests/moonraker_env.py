"""Moonraker for the tests: PyPI's moonraker 0.11.0 in a virtual environment
of its own, kept between runs (scripts/moonraker-test-env prepares it)."""
import glob
import os
import subprocess
import sys
from pathlib import Path

REPO_DIR = Path(__file__).resolve().parents[1]
PREPARE = REPO_DIR / "scripts" / "moonraker-test-env"
MIN_PYTHON = (3, 10)


def python_version(python):
    """`python`'s version as "3.11.7", or None when it cannot run."""
    try:
        result = subprocess.run(
            [python, "-c", "import platform; print(platform.python_version())"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            universal_newlines=True)
    except OSError:
        return None
    return result.stdout.strip() if result.returncode == 0 else None


def pyenv_pythons():
    """pyenv's interpreters, newest first."""
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    found = glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3"))
    return sorted(found, reverse=True,
                  key=lambda path: [int(part) for part in
                                    path.split(os.sep)[-3].split(".")
                                    if part.isdigit()])


def moonraker_python():
    """(python, version) of an interpreter that Moonraker runs on: this
    one, the machine's python3 or the newest of pyenv's; None when there
    is none."""
    for python in [sys.executable, "python3"] + pyenv_pythons():
        version = python_version(python)
        if version and tuple(int(part) for part in
                             version.split(".")[:2]) >= MIN_PYTHON:
            return python, version
    return None


def moonraker_env(python, version):
    """The directory of the prepared environment for `python`."""
    venv = REPO_DIR / (".venv-moonraker-%s" % version)
    subprocess.run([str(PREPARE), python, str(venv)], check=True)
    return venv
