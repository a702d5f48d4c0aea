"""scripts/demo as a new user runs it: from a clean clone, from another
directory, with a bad argument, a refused run and a saved run.

It builds the module, so scripts/test runs it once, under the interpreter
whose version it sets in Z_COMPENSATE_DEMO_TEST (by hand:
Z_COMPENSATE_DEMO_TEST=<python version> pytest tests/cli/test_demo.py). The
demo's build tools and packages live in .venv-demo-test of this checkout,
kept between runs and shared by the clones; each clone builds the module
afresh.
"""
import os
import platform
import re
import shutil
import subprocess
import types
from pathlib import Path

import pytest

REPO_DIR = Path(__file__).resolve().parents[2]
SHARED_VENV = REPO_DIR / ".venv-demo-test"

pytestmark = [
    pytest.mark.skipif(
        os.environ.get("Z_COMPENSATE_DEMO_TEST") != platform.python_version(),
        reason="builds the module from a clone; scripts/test runs it once, under the"
               " CPython named by Z_COMPENSATE_DEMO_TEST"),
    pytest.mark.skip_allowed("a slow test that scripts/test runs under one interpreter"),
]


def git(directory, *args):
    return subprocess.run(["git", "-C", str(directory)] + list(args), check=True,
                          stdout=subprocess.PIPE, universal_newlines=True).stdout


def clean_clone(dest):
    """A clone of this checkout as its working tree has it (changed and new
    files that git does not ignore included), without its builds, outputs
    and environments."""
    git(REPO_DIR, "clone", "--quiet", str(REPO_DIR), str(dest))
    for relative in git(REPO_DIR, "ls-files", "--modified", "--others",
                        "--exclude-standard").splitlines():
        source = REPO_DIR / relative
        if source.is_file():
            (dest / relative).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(str(source), str(dest / relative))
        elif (dest / relative).exists():
            (dest / relative).unlink()
    return dest


def demo(clone, cwd, *args):
    environment = dict(os.environ, Z_COMPENSATE_DEMO_VENV=str(SHARED_VENV))
    # The tests' own environment is not the demo's
    for name in ("PYTHONPATH", "VIRTUAL_ENV"):
        environment.pop(name, None)
    return subprocess.run([str(clone / "scripts" / "demo")] + list(args), cwd=str(cwd),
                          env=environment, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)


def run_folders(clone):
    out = clone / "out"
    return sorted(out.iterdir()) if out.is_dir() else []


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """The clone, the directory the user runs the demo from, and the
    outcomes of a bad argument, a refused run and a saved run after the
    user edited the example printer."""
    root = tmp_path_factory.mktemp("demo")
    runs = types.SimpleNamespace(clone=clean_clone(root / "z-compensate"),
                                 elsewhere=root / "elsewhere")
    runs.example = runs.clone / "examples" / "printer.cfg"
    runs.elsewhere.mkdir()
    runs.bogus = demo(runs.clone, runs.elsewhere, "--bogus")
    runs.built_after_bogus = (runs.clone / "build").exists()
    runs.refused = demo(runs.clone, runs.elsewhere, "VQTWENTYMA_NOZZLE_CLEAR",
                        "HOT_RUB_TEMP=320")
    runs.refused_folders = run_folders(runs.clone)
    runs.example.write_text(runs.example.read_text().replace(
        "\nz_offset: 2.000\n", "\nz_offset: 2.500\n"))
    runs.saved = demo(runs.clone, runs.elsewhere, "Z_OFFSET_CALIBRATION")
    return runs


def test_a_bad_argument_is_refused_before_anything_is_built(runs):
    assert runs.bogus.returncode == 2
    assert "unrecognized arguments: --bogus" in runs.bogus.stderr
    assert runs.bogus.stdout == ""
    assert not runs.built_after_bogus


def test_a_refused_run_writes_only_its_picture_in_a_folder_of_its_own(runs):
    assert runs.refused.returncode == 1, runs.refused.stderr
    assert "Simulating VQTWENTYMA_NOZZLE_CLEAR HOT_RUB_TEMP=320 on %s\n" % runs.example \
        in runs.refused.stdout
    assert "HOT_RUB_TEMP=320 lies above [extruder] max_temp = 300" in runs.refused.stderr
    [folder] = runs.refused_folders
    assert [p.name for p in folder.iterdir()] == ["vqtwentyma_nozzle_clear.png"]
    assert runs.refused.stderr.rstrip().endswith(
        "written: %s" % (folder / "vqtwentyma_nozzle_clear.png"))


def test_a_saved_run_of_the_edited_example_names_it_and_saves_in_a_new_folder(runs):
    assert runs.saved.returncode == 0, runs.saved.stderr
    assert "Simulating Z_OFFSET_CALIBRATION on %s\n" % runs.example in runs.saved.stdout
    [folder] = set(run_folders(runs.clone)) - set(runs.refused_folders)
    assert re.fullmatch(r"\d{8}-\d{6}-z_offset_calibration", folder.name)
    assert sorted(p.name for p in folder.iterdir()) == [
        "printer.cfg", "printer.cfg.diff", "z_offset_calibration.png"]
    assert "-z_offset: 2.500" in (folder / "printer.cfg.diff").read_text()
    assert "z_offset: 2.500" in runs.example.read_text()


def test_nothing_is_written_where_the_demo_was_run_from(runs):
    assert list(runs.elsewhere.iterdir()) == []
