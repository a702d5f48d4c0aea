"""The install script's commands, with the environment's tools replaced by stubs
that record how they were called."""
import os
import subprocess
from pathlib import Path

import pytest

REPO_DIR = Path(__file__).resolve().parents[2]
SCRIPT = REPO_DIR / "scripts" / "install-klipper.sh"

STUB = """#!/bin/sh
echo "$(basename "$0") $*" >> "$STUB_LOG"
exit "${STUB_EXIT:-0}"
"""


def make_env(env_dir):
    """A virtual environment whose python and pip only record their arguments."""
    bin_dir = env_dir / "bin"
    bin_dir.mkdir(parents=True)
    for tool in ("python", "pip"):
        stub = bin_dir / tool
        stub.write_text(STUB)
        stub.chmod(0o755)
    return env_dir


@pytest.fixture
def home(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    return home


@pytest.fixture
def run_script(tmp_path, home):
    log = tmp_path / "calls.log"

    def run(*args, **extra_env):
        env = dict(os.environ, HOME=str(home), STUB_LOG=str(log), **extra_env)
        result = subprocess.run(
            ["bash", str(SCRIPT)] + list(args),
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            universal_newlines=True,
        )
        calls = log.read_text().splitlines() if log.exists() else []
        return result, calls

    return run


class TestInstall:
    def test_defaults_to_the_usual_klipper_locations(self, run_script, home):
        make_env(home / "klippy-env")

        result, calls = run_script()

        assert result.returncode == 0, result.stderr
        assert calls == [
            "pip install %s" % REPO_DIR,
            "python -m z_compensate.install --klipper %s/klipper" % home,
        ]

    def test_takes_klipper_and_environment_directories(self, run_script, tmp_path):
        make_env(tmp_path / "env")

        result, calls = run_script(
            "--klipper", str(tmp_path / "k"), "--env", str(tmp_path / "env")
        )

        assert result.returncode == 0, result.stderr
        assert calls == [
            "pip install %s" % REPO_DIR,
            "python -m z_compensate.install --klipper %s" % (tmp_path / "k"),
        ]

    def test_stops_when_the_build_fails(self, run_script, home):
        make_env(home / "klippy-env")

        result, calls = run_script(STUB_EXIT="1")

        assert result.returncode == 1
        assert calls == ["pip install %s" % REPO_DIR]


class TestOtherActions:
    def test_uninstall_removes_files_then_the_package(self, run_script, tmp_path):
        make_env(tmp_path / "env")

        result, calls = run_script(
            "--uninstall", "--klipper", str(tmp_path / "k"), "--env", str(tmp_path / "env")
        )

        assert result.returncode == 0, result.stderr
        assert calls == [
            "python -m z_compensate.install --uninstall --klipper %s" % (tmp_path / "k"),
            "pip uninstall --yes z-compensate",
        ]

    def test_print_moonraker_names_this_checkout(self, run_script, home):
        make_env(home / "klippy-env")

        result, calls = run_script("--print-moonraker")

        assert result.returncode == 0, result.stderr
        assert calls == [
            "python -m z_compensate.install --print-moonraker --repo %s" % REPO_DIR
        ]


class TestRefusals:
    def test_missing_environment(self, run_script, tmp_path):
        result, calls = run_script("--env", str(tmp_path / "nowhere"))

        assert result.returncode == 1
        assert "give klippy's virtual environment with --env DIR" in result.stderr
        assert calls == []

    def test_unknown_option(self, run_script):
        result, calls = run_script("--frobnicate")

        assert result.returncode == 2
        assert "Unknown option: --frobnicate" in result.stderr
        assert calls == []

    def test_option_without_its_directory(self, run_script):
        result, calls = run_script("--klipper")

        assert result.returncode == 2
        assert "--klipper needs a directory" in result.stderr

    def test_help(self, run_script):
        result, calls = run_script("--help")

        assert result.returncode == 0
        assert "--print-moonraker" in result.stdout
        assert calls == []
