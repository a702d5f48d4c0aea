"""Installation for real: the package built into its own virtual environment,
as on a printer's klippy-env, and installed into a Klipper checkout."""
import os
import subprocess

import pytest

pytestmark = [
    pytest.mark.venv_install,
    pytest.mark.skipif(
        os.environ.get("Z_COMPENSATE_VENV_TEST") != "1",
        reason="builds the extension in a fresh venv; set Z_COMPENSATE_VENV_TEST=1",
    ),
]

IMPORT_CHECK = """
import sys
sys.path.insert(0, sys.argv[1])
import extras.z_compensate_wrapper as module
import extras.z_compensate as loader
print(module.__file__)
print(module.ZCompensateInitWrapper.__name__)
print(loader.load_config.__name__)
"""


def run(command, **kwargs):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    return subprocess.run(
        [str(part) for part in command],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        **kwargs
    )


def install_with(env_dir, klipper, *options):
    python = env_dir / "bin" / "python"
    result = run([python, "-m", "z_compensate.install", "--klipper", klipper] + list(options))
    assert result.returncode == 0, result.stderr
    return result


def import_from_klippy(env_dir, klipper):
    """What klippy's Python finds when it loads the [z_compensate] section."""
    python = env_dir / "bin" / "python"
    result = run([python, "-c", IMPORT_CHECK, klipper / "klippy"], cwd=str(klipper))
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_install_script_builds_and_installs(klippy_env):
    env_dir, klipper = klippy_env

    module_file, class_name, loader_name = import_from_klippy(env_dir, klipper)

    assert module_file.startswith(str(klipper / "klippy" / "extras"))
    assert class_name == "ZCompensateInitWrapper"
    assert loader_name == "load_config"


def test_install_twice_in_a_row(klippy_env, make_checkout, tmp_path):
    env_dir, _ = klippy_env
    klipper = make_checkout(tmp_path)

    install_with(env_dir, klipper)
    install_with(env_dir, klipper)

    extras = klipper / "klippy" / "extras"
    assert len(list(extras.glob("z_compensate_wrapper.*.so"))) == 1
    module_file, class_name, _ = import_from_klippy(env_dir, klipper)
    assert module_file.startswith(str(extras))
    assert class_name == "ZCompensateInitWrapper"


def test_uninstall_after_use_brings_the_tree_back(
    klippy_env, make_checkout, tmp_path, tree_snapshot
):
    env_dir, _ = klippy_env
    klipper = make_checkout(tmp_path)
    before = tree_snapshot(klipper)
    install_with(env_dir, klipper)
    import_from_klippy(env_dir, klipper)

    install_with(env_dir, klipper, "--uninstall")

    assert tree_snapshot(klipper) == before
    assert not list(klipper.rglob("z_compensate*"))
