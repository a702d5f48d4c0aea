"""scripts/try-stock-configs on a folder of configurations of our own: the
README's additions make a printer without a probe or the module's sections
run, and each file's outcome and the counts are printed."""
import re
import subprocess
import sys
from pathlib import Path

from z_compensate import run_input

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "try-stock-configs"


def without_sections(text, names):
    for name in names:
        text = re.sub(r"^\[%s\]\n(?:[^\[].*\n|\n)*" % re.escape(name), "", text, flags=re.M)
    return text


def test_outcomes_and_counts(tmp_path):
    bare = without_sections(run_input.EXAMPLE_CONFIG.read_text(),
                            ["probe", "bed_mesh", "tensink_v2", "simulated_printer",
                             "z_compensate"])
    (tmp_path / "printer-bare.cfg").write_text(bare)
    (tmp_path / "generic-no-fan.cfg").write_text(without_sections(bare, ["fan"]))
    (tmp_path / "sample-ignored.cfg").write_text(bare)

    result = subprocess.run([sys.executable, str(SCRIPT), str(tmp_path), "--", "--host", "2023"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)

    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "refused  generic-no-fan.cfg",
        "         Z_OFFSET_AUTO on generic-no-fan.cfg stopped during stage 0 (starting the wipe):"
        " Z_OFFSET_AUTO refused: the printer has no [fan] section",
        "sound    printer-bare.cfg",
        "",
        "2 files, seed 1: 1 sound, 1 refused, 0 unclear, 0 crashed; 0 differ between runs",
    ]
    assert sorted(path.name for path in tmp_path.iterdir()) == [
        "generic-no-fan.cfg", "printer-bare.cfg", "sample-ignored.cfg"]
