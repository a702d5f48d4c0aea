"""The z-compensate command and its subcommands."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

from z_compensate import cli

REPO_DIR = Path(__file__).resolve().parents[2]
PROJECT_VERSION = re.search(r'^version = "(.+)"', (REPO_DIR / "pyproject.toml").read_text(),
                            re.M).group(1)


def z_compensate(*args, cwd=None):
    # A process of its own builds its own klippy tree with the module
    return subprocess.run(
        [sys.executable, "-m", "z_compensate.cli"] + list(args), cwd=cwd,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)


class TestRun:
    def test_example_run_from_a_fresh_process(self, tmp_path):
        result = z_compensate("run", "--out", "out", cwd=str(tmp_path))

        assert result.returncode == 0, result.stderr
        assert "> Z_OFFSET_AUTO" in result.stdout
        assert "== stage 5: calibrated" in result.stdout
        [picture] = (tmp_path / "out").glob("*-z_offset_auto/z_offset_auto.png")
        assert picture.stat().st_size > 0

    def test_bad_input_exits_non_zero_without_writing(self, tmp_path, capsys):
        code = cli.main(["run", "--out", str(tmp_path / "out"), "Z_OFFSET_NOW"])

        assert code != 0
        assert "unknown command 'Z_OFFSET_NOW'" in capsys.readouterr().err
        assert not (tmp_path / "out").exists()


class TestOtherSubcommands:
    def test_version_is_the_packages(self, capsys):
        with pytest.raises(SystemExit) as exit_info:
            cli.main(["--version"])

        assert exit_info.value.code == 0
        assert capsys.readouterr().out == "z-compensate %s\n" % PROJECT_VERSION

    def test_receive_takes_its_own_options(self, capsys):
        with pytest.raises(SystemExit) as exit_info:
            cli.main(["receive", "--help"])

        assert exit_info.value.code == 0
        assert "--csv" in capsys.readouterr().out

    @pytest.mark.parametrize("argv, message", [
        ([], "the following arguments are required: COMMAND"),
        (["calibrate"], "invalid choice: 'calibrate'"),
    ], ids=["none", "unknown"])
    def test_a_missing_or_unknown_subcommand_is_refused_with_the_usage(
            self, argv, message, capsys):
        with pytest.raises(SystemExit) as exit_info:
            cli.main(argv)

        err = capsys.readouterr().err
        assert exit_info.value.code == 2
        assert err.startswith("usage: z-compensate [-h] [--version] COMMAND ...\n")
        [last] = err.splitlines()[-1:]
        assert last.startswith("z-compensate: error: ") and message in last

    def test_help_lists_the_subcommands(self, capsys):
        with pytest.raises(SystemExit) as exit_info:
            cli.main(["--help"])

        out = capsys.readouterr().out
        assert exit_info.value.code == 0
        for name, (_, help_text, _) in cli.SUBCOMMANDS.items():
            assert re.search(r"^ +%s +%s$" % (name, re.escape(help_text)), out, re.M)

    def test_the_subcommand_reads_its_own_options_and_help(self, capsys):
        with pytest.raises(SystemExit) as exit_info:
            cli.main(["run", "--help"])

        assert exit_info.value.code == 0
        assert capsys.readouterr().out.startswith("usage: z-compensate run ")

    def test_run_without_the_simulators_extra_says_what_to_install(self, monkeypatch, capsys):
        # As if greenlet were not installed
        monkeypatch.setitem(sys.modules, "greenlet", None)
        monkeypatch.delitem(sys.modules, "z_compensate.dry_run", raising=False)
        monkeypatch.delitem(sys.modules, "klippysim", raising=False)
        for name in [n for n in sys.modules if n.startswith("klippysim.")]:
            monkeypatch.delitem(sys.modules, name)

        assert cli.main(["run"]) == 2
        assert capsys.readouterr().err == (
            "error: z-compensate run needs greenlet: pip install 'z-compensate[sim]'\n")
