import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO_DIR = Path(__file__).resolve().parents[2]
INSTALL_SCRIPT = REPO_DIR / "scripts" / "install-klipper.sh"


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "venv_install: builds the package in a fresh virtual environment "
        "(slow; runs when Z_COMPENSATE_VENV_TEST=1)",
    )


def make_klipper_checkout(root):
    """A directory laid out like the part of a Klipper checkout the installer uses."""
    extras = root / "klipper" / "klippy" / "extras"
    extras.mkdir(parents=True)
    (extras / "__init__.py").write_text("# Package definition for the extras directory\n")
    (extras / "probe.py").write_text("# Stands in for klippy's probe module.\n")
    return root / "klipper"


def snapshot(root):
    """Every file below `root` with its content, byte code caches left out."""
    return {
        path.relative_to(root).as_posix(): path.read_bytes()
        for path in sorted(root.rglob("*"))
        if path.is_file() and "__pycache__" not in path.parts
    }


@pytest.fixture
def klipper_dir(tmp_path):
    return make_klipper_checkout(tmp_path)


@pytest.fixture
def make_checkout():
    return make_klipper_checkout


@pytest.fixture
def tree_snapshot():
    return snapshot


@pytest.fixture(scope="session")
def klippy_env(tmp_path_factory):
    """A virtual environment into which the install script has built the package.

    Yields (environment, Klipper checkout the script installed into). Building
    compiles the extension, so it happens once per test session.
    """
    root = tmp_path_factory.mktemp("klippy-env")
    env_dir = root / "klippy-env"
    subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True)
    klipper = make_klipper_checkout(root)
    # Keeps the test's build out of the developer's own build directory.
    build_env = dict(os.environ, SKBUILD_BUILD_DIR=str(root / "build"))
    build_env.pop("PYTHONPATH", None)
    subprocess.run(
        ["bash", str(INSTALL_SCRIPT), "--klipper", str(klipper), "--env", str(env_dir)],
        check=True,
        env=build_env,
    )
    return env_dir, klipper
