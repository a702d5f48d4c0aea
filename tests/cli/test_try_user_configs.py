"""scripts/try-user-configs prepares a user's configuration from a local
clone, as a user keeps it: the main file at its commit with its includes,
a stand-in for an include the repository lacks, and the README's additions
before the SAVE_CONFIG block, which stays intact and last."""
import subprocess
import sys
from pathlib import Path

from hypothesis import given, strategies as st

from z_compensate import run_input

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
sys.path.insert(0, str(SCRIPTS / "lib"))
import config_trial  # noqa: E402

BLOCK = ("#*# <---------------------- SAVE_CONFIG ---------------------->\n"
         "#*# DO NOT EDIT THIS BLOCK OR BELOW. The contents are auto-generated.\n"
         "#*#\n#*# [heater_bed]\n#*# control = pid\n")


def git(folder, *args):
    return subprocess.run(["git", "-C", str(folder)] + list(args), check=True,
                          stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()


def user_repository(tmp_path):
    """A user's configuration repository cloned bare into a folder of
    mirrors; the commit that holds the configuration."""
    work = tmp_path / "work"
    (work / "config" / "macros").mkdir(parents=True)
    main = run_input.EXAMPLE_CONFIG.read_text().split("[probe]")[0]
    (work / "config" / "printer.cfg").write_text(
        "[include hardware.cfg]\n[include macros/*.cfg]\n[include mainsail.cfg]\n"
        + main + "\n" + BLOCK)
    (work / "config" / "steppers.cfg").write_text("[gcode_macro STEPPERS]\ngcode:\n  M84\n")
    (work / "config" / "hardware.cfg").symlink_to("steppers.cfg")
    (work / "config" / "macros" / "homing.cfg").write_text("[gcode_macro HOME]\ngcode:\n  G28\n")
    git(work, "init", "-q")
    git(work, "add", ".")
    git(work, "-c", "user.name=someone", "-c", "user.email=someone@example.org",
        "commit", "-q", "-m", "printer")
    subprocess.run(["git", "clone", "-q", "--bare", str(work),
                    str(tmp_path / "mirrors" / "someone+printer" / "repo")], check=True)
    return git(work, "rev-parse", "HEAD")


def test_prepares_the_copy_from_a_local_clone(tmp_path):
    commit = user_repository(tmp_path)
    listing = tmp_path / "list"
    listing.write_text("# a comment\nsomeone/printer %s config/printer.cfg  # the printer\n"
                       "someone/elsewhere %s printer.cfg\n" % (commit, commit))

    result = subprocess.run(
        [sys.executable, str(SCRIPTS / "try-user-configs"), str(listing),
         "--mirrors", str(tmp_path / "mirrors"), "--keep", str(tmp_path / "copies"),
         "--prepare-only"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
        cwd=str(tmp_path))

    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    copy = tmp_path / "copies" / "someone+printer" / commit[:10] / "config"
    assert lines[0] == "prepared %s (stood in: mainsail.cfg)" % (
        copy / "printer.cfg").relative_to(tmp_path)
    assert lines[1].startswith("absent   someone/elsewhere:printer.cfg@")
    assert (copy / "hardware.cfg").read_text().startswith("[gcode_macro STEPPERS]")
    assert (copy / "macros" / "homing.cfg").is_file()
    assert (copy / "mainsail.cfg").read_text() == ""
    prepared = (copy / "printer.cfg").read_text()
    assert prepared.endswith("\n" + BLOCK)
    added = prepared[:-len(BLOCK)]
    assert "[probe]\npin: ^" in added and "[z_compensate]" in added
    assert "[bed_mesh]" in added and "[tensink_v2]" in added


@given(st.text(st.sampled_from("[]#*:ab \n"), max_size=60), st.booleans())
def test_additions_leave_the_save_config_block_intact_and_last(text, with_block):
    original = text + ("\n" + BLOCK if with_block else "")
    added = "\n[tensink_v2]\n"

    result = config_trial.with_additions(original, added)

    if with_block:
        assert result.endswith("\n" + BLOCK)
        assert result[:-len(BLOCK)].rstrip("\n").endswith("[tensink_v2]")
    else:
        assert result.startswith(original) and result.endswith(added)
