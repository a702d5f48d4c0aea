"""The dry run: one of the module's commands on the simulated printer built
from a printer.cfg, with the console, the stages, a summary and a picture."""
import collections
import contextlib
import io
import re
import statistics
import subprocess
import sys
from pathlib import Path

import klippysim.generations
import pytest
from hypothesis import given
from hypothesis import strategies as st
from klippysim.trace import TraceEvent

from generated import budget
from z_compensate import dry_run, run_input, run_trace

REPO_DIR = Path(__file__).resolve().parents[2]
EXAMPLE_TEXT = run_input.EXAMPLE_CONFIG.read_text()


def example_value(option):
    return float(re.search(r"^%s: (\S+)" % option, EXAMPLE_TEXT, re.M).group(1))


# The example's simulated printer has its probe trigger this far above the
# nozzle's contact, so a calibration must find it less tri_expand_mm
TRUE_PROBE_OFFSET = example_value("true_probe_offset")
EXPECTED_Z_OFFSET = TRUE_PROBE_OFFSET - example_value("tri_expand_mm")
# The example's probe and contact noise is 0.002 mm (one sigma)
NOISE = 0.01

class Outcome(collections.namedtuple("Outcome", ["code", "stdout", "stderr", "out_dir"])):
    @property
    def run_folder(self):
        """The one folder that the run wrote in the out directory."""
        [folder] = self.out_dir.iterdir()
        return folder

    def written(self):
        return sorted(path.name for path in self.run_folder.iterdir())


def dry(klippy_dir, out_dir, *args):
    stdout, stderr = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
        code = dry_run.main(["--out", str(out_dir)] + list(args), klippy_dir=klippy_dir)
    return Outcome(code, stdout.getvalue(), stderr.getvalue(), out_dir)


def example_with(*replacements):
    """The example printer.cfg with (old line, new line) replacements."""
    text = EXAMPLE_TEXT
    for old, new in replacements:
        assert re.search(r"^%s$" % re.escape(old), text, re.M), old
        text = re.sub(r"^%s$" % re.escape(old), new, text, flags=re.M)
    return text


@pytest.fixture
def user_config(tmp_path):
    def write(text, name="printer.cfg"):
        path = tmp_path / "config" / name
        path.parent.mkdir(exist_ok=True)
        path.write_text(text)
        return path
    return write


@pytest.fixture
def out_dir(tmp_path):
    return tmp_path / "out"


@pytest.fixture(scope="module")
def example_run(klippy_dir, tmp_path_factory):
    return dry(klippy_dir, tmp_path_factory.mktemp("example") / "out")


class TestExampleRun:
    """Z_OFFSET_AUTO on the bundled example printer, the default run."""

    def test_ends_normally(self, example_run):
        assert example_run.code == 0
        assert example_run.stderr == ""

    def test_new_offset_is_the_simulated_printers_answer(self, example_run):
        old, new = re.search(r"probe z_offset: (\S+) -> (\S+)", example_run.stdout).groups()
        assert float(old) == example_value("z_offset")
        assert float(new) == pytest.approx(EXPECTED_Z_OFFSET, abs=NOISE)

    def test_each_measuring_point_finds_the_true_probe_offset(self, example_run):
        points = re.findall(
            r"measuring point \d: X \S+ Y \S+ +bed probe Z (\S+) +nozzle Z (\S+) +offset (\S+)",
            example_run.stdout)
        assert len(points) == 2
        for probe_z, nozzle_z, offset in points:
            assert float(offset) == pytest.approx(float(probe_z) - float(nozzle_z), abs=1e-3)
            assert float(offset) == pytest.approx(TRUE_PROBE_OFFSET, abs=NOISE)

    def test_console_shows_the_calibration_messages(self, example_run):
        for text in ("[SWAP_TEST]---Swap Test Success---", "bl_data[0]= ",
                     "bl_data[1]= ", "z_offset_new = "):
            assert text in example_run.stdout

    def test_console_shows_the_calibrations_lines_as_its_documentation_does(
            self, example_run):
        text = (REPO_DIR / "docs" / "G-Codes.md").read_text()
        after = text[text.index("A calibration that saved its offset shows on the console"):]
        documented = after.split("```\n")[1].splitlines()
        console = re.findall(r"^ *\d+\.\d{3}  (?!== )(.*)$", example_run.stdout, re.M)
        first = console.index(next(line for line in console if line.startswith("bl_data[0]")))

        def shape(lines):
            return [re.sub(r"-?\d+\.\d+", "<number>", line) for line in lines]

        assert shape(console[first:first + len(documented)]) == shape(documented)

    def test_console_lines_come_with_the_simulated_time(self, example_run):
        line = next(text for text in example_run.stdout.splitlines() if "z_offset_new" in text)
        assert re.match(r"^ *\d+\.\d{3}  z_offset_new = \d+\.\d{6}$", line)

    def test_every_stage_is_shown_in_order_as_reached(self, example_run):
        stages = re.findall(r"^ *(\d+\.\d+)  == stage (\d): (.+)$", example_run.stdout, re.M)
        assert [int(stage) for _, stage, _ in stages] == [0, 1, 2, 3, 4, 5]
        times = [float(time) for time, _, _ in stages]
        assert times == sorted(times)
        assert stages[-1][2] == "calibrated"

    def test_summary_gives_the_simulated_and_the_wall_time(self, example_run):
        simulated, _ = re.search(r"ran (\S+) s of simulated time in (\S+) s of wall time",
                                 example_run.stdout).groups()
        last_stage = re.findall(r"^ *(\d+\.\d+)  == stage", example_run.stdout, re.M)[-1]
        assert float(simulated) >= float(last_stage)

    def test_summary_shows_the_saved_configuration_change(self, example_run):
        assert "-z_offset: 2.000" in example_run.stdout
        saved = re.search(r"\+#\*# z_offset = (\S+)", example_run.stdout).group(1)
        assert float(saved) == pytest.approx(EXPECTED_Z_OFFSET, abs=NOISE)

    def test_a_folder_of_its_own_holds_the_saved_config_its_diff_and_the_picture(
            self, example_run):
        folder = example_run.run_folder
        assert re.fullmatch(r"\d{8}-\d{6}-z_offset_auto", folder.name)
        assert example_run.written() == [
            "printer.cfg", "printer.cfg.diff", "z_offset_auto.png"]
        assert "#*# [probe]" in (folder / "printer.cfg").read_text()
        assert "+#*# z_offset = " in (folder / "printer.cfg.diff").read_text()
        assert example_run.stdout.endswith("  written: %s\n" % ", ".join(
            str(folder / name) for name in example_run.written()))

    def test_picture_is_a_png(self, example_run):
        picture = (example_run.run_folder / "z_offset_auto.png").read_bytes()
        assert picture.startswith(b"\x89PNG\r\n\x1a\n")
        assert len(picture) > 10000

    def test_bundled_config_is_left_as_it_was(self, example_run):
        assert run_input.EXAMPLE_CONFIG.read_text() == EXAMPLE_TEXT

    def test_summary_sets_the_measurement_against_the_limits(self, example_run):
        spread, tolerance = re.search(
            r"the points' offsets differ by (\S+) mm, within point_tolerance (\S+)"
            r" \(measured again 0 times, point_retries 1\)", example_run.stdout).groups()
        assert float(spread) < 2 * NOISE
        assert float(tolerance) == example_value("point_tolerance")
        change, limit = re.search(r"a change of (\S+) mm \(max_offset_change (\S+)\)",
                                  example_run.stdout).groups()
        assert float(change) == pytest.approx(abs(EXPECTED_Z_OFFSET - example_value("z_offset")),
                                              abs=NOISE)
        assert float(limit) == example_value("max_offset_change")


class TestLimits:
    def test_a_refused_calibration_shows_the_spread_against_the_tolerance(
            self, klippy_dir, out_dir):
        # The noise of the example's probes keeps the points a few
        # micrometres apart: a tolerance of 1e-9 mm refuses them.
        outcome = dry(klippy_dir, out_dir, "Z_OFFSET_CALIBRATION", "POINT_TOLERANCE=1e-9",
                      "POINT_RETRIES=2")
        assert outcome.code == dry_run.EXIT_REFUSED
        assert ("Z_OFFSET_CALIBRATION refused: the two points' offsets" in outcome.stderr)
        assert "more than POINT_TOLERANCE=1e-09; the points were measured again 2 times" \
            " (POINT_RETRIES=2)" in outcome.stderr
        assert "the configuration was not saved" in outcome.stderr
        [run_dir] = out_dir.iterdir()
        assert [p.name for p in run_dir.iterdir()] == ["z_offset_calibration.png"]

    def test_picture_outcome_names_the_spread_and_the_tolerance(self, klippy_dir, out_dir,
                                                                 monkeypatch):
        drawn = []

        def draw(path, run):
            drawn.append(dry_run.run_picture.outcome_lines(run))
            path.write_bytes(b"")
        monkeypatch.setattr(dry_run.run_picture, "draw", draw)
        dry(klippy_dir, out_dir, "Z_OFFSET_CALIBRATION", "POINT_TOLERANCE=1e-9")
        dry(klippy_dir, out_dir, "Z_OFFSET_CALIBRATION", "POINT_TOLERANCE=0")
        refused, accepted = [" ".join(" ".join(lines).split()) for lines in drawn]
        assert re.search(r"the points' offsets differ by \S+ mm, beyond point_tolerance"
                         r" 1e-09 \(measured again 1 time, point_retries 1\)", refused)
        assert re.search(r"the points' offsets differ by \S+ mm, point_tolerance 0: no"
                         r" check", accepted)


class TestUserConfig:
    def test_file_is_never_modified(self, klippy_dir, user_config, out_dir):
        config = user_config(EXAMPLE_TEXT, "my.cfg")

        outcome = dry(klippy_dir, out_dir, "--config", str(config), "Z_OFFSET_CALIBRATION")

        assert outcome.code == 0
        assert config.read_text() == EXAMPLE_TEXT
        assert sorted(p.name for p in config.parent.iterdir()) == ["my.cfg"]
        assert "#*# z_offset = " in (outcome.run_folder / "my.cfg").read_text()

    def test_without_simulator_options_runs_on_defaults(self, klippy_dir, user_config, out_dir):
        text = re.sub(r"^(sim_|#).*\n", "", EXAMPLE_TEXT, flags=re.M)
        text = text[:text.index("[simulated_printer]")] + text[text.index("[z_compensate]"):]
        config = user_config(text)

        outcome = dry(klippy_dir, out_dir, "--config", str(config), "Z_OFFSET_CALIBRATION")

        assert outcome.code == 0
        assert "== stage 5: calibrated" in outcome.stdout

    def test_included_files_are_read(self, klippy_dir, user_config, out_dir):
        user_config("[gcode_macro PARK]\ngcode:\n  G1 X0 Y0\n", "macros.cfg")
        config = user_config(EXAMPLE_TEXT.replace("[fan]", "[include macros.cfg]\n\n[fan]"))

        outcome = dry(klippy_dir, out_dir, "--config", str(config), "Z_OFFSET_CALIBRATION")

        assert outcome.code == 0

    def test_the_hook_of_a_refused_command_shows_where_it_runs(self, klippy_dir, user_config,
                                                               out_dir):
        config = user_config(example_with(
            ("#on_error_gcode:", "on_error_gcode:"),
            ('#  {action_respond_info("%s failed: %s" % (params.COMMAND, params.ERROR))}',
             '  {action_respond_info("%s failed: %s" % (params.COMMAND, params.ERROR))}\n'
             '  {action_call_remote_method("notify", name="phone", message=params.COMMAND)}')))

        outcome = dry(klippy_dir, out_dir, "--config", str(config), "Z_OFFSET_CALIBRATION",
                      "MAX_OFFSET_CHANGE=0.001")

        assert outcome.code == dry_run.EXIT_REFUSED
        shown = re.findall(r"^ *[\d.]+  (Z_OFFSET_CALIBRATION failed: .*|remote method .*)$",
                           outcome.stdout, re.M)
        assert shown == [
            "Z_OFFSET_CALIBRATION failed: Z_OFFSET_CALIBRATION refused: the new offset " +
            shown[0].split("the new offset ")[1],
            "remote method notify(message='Z_OFFSET_CALIBRATION', name='phone') for Moonraker"
            " (none in a dry run)"]
        assert "more than MAX_OFFSET_CHANGE=0.001" in shown[0]

    def test_command_parameters_reach_the_module(self, klippy_dir, out_dir):
        outcome = dry(klippy_dir, out_dir, "VQTWENTYMA_NOZZLE_CLEAR",
                      "HOT_RUB_TEMP=230", "BED_ADDTEMP=70")

        assert outcome.code == 0
        assert "saved configuration: unchanged" in outcome.stdout
        assert "wipe stroke: " in outcome.stdout
        # Nothing saved: no copy of the configuration, no empty diff
        assert outcome.written() == ["vqtwentyma_nozzle_clear.png"]

    def test_without_matplotlib_everything_but_the_picture_is_written(
            self, klippy_dir, out_dir, monkeypatch):
        monkeypatch.setattr(dry_run.run_picture, "available", lambda: False)

        outcome = dry(klippy_dir, out_dir, "Z_OFFSET_CALIBRATION")

        assert outcome.code == 0
        assert "no picture without matplotlib" in outcome.stderr
        assert outcome.written() == ["printer.cfg", "printer.cfg.diff"]

    def test_parameter_the_command_does_not_read_is_noted(self, klippy_dir, out_dir):
        outcome = dry(klippy_dir, out_dir, "VQTWENTYMA_NOZZLE_CLEAR", "BED_ADD_TEMP=70")

        assert outcome.code == 0
        assert "VQTWENTYMA_NOZZLE_CLEAR does not read BED_ADD_TEMP" in outcome.stderr


def assert_only_the_picture(outcome):
    """A refused run saved no configuration: its picture is all it wrote."""
    [written] = outcome.written()
    assert written.endswith(".png")
    assert outcome.stderr.rstrip().endswith(
        "the configuration was not saved; written: %s" % (outcome.run_folder / written))


class TestRefusedBeforeHeating:
    """What the printer cannot take ends the run as soon as the command has
    read its parameters (after the sync-line test, 10 ms of simulated time),
    with the key, its value and the limit, a non-zero exit and only the picture."""

    @pytest.mark.parametrize("replacements, words, expected", [
        ([("clr_noz_start_x: 60", "clr_noz_start_x: 240")], [],
         ["the stroke's start can reach X 280.000, beyond [stepper_x] position_max = 235",
          "clr_noz_start_x = 240"]),
        ([("clr_noz_start_y: 10", "clr_noz_start_y: 0"), ("clr_noz_len_y: 50", "clr_noz_len_y: 10")],
         ["VQTWENTYMA_NOZZLE_CLEAR"],
         ["[stepper_y] position_min = 0", "clr_noz_len_y = 10, pa_clr_dis_mm_y = 30"]),
        ([("position_max: 235", "position_max: 140"),
          ("home_xy_position: 117.5, 117.5", "home_xy_position: 70, 70")],
         ["Z_OFFSET_CALIBRATION"],
         ["bed probe over the measuring points takes the toolhead to X 160.000, beyond"
          " [stepper_x] position_max = 140",
          "noz_pos_center = 117.5, 117.5, noz_pos_offset = 5, 15, bl_offset = -27.5, -19"]),
        ([("max_temp: 110", "max_temp: 55")], [],
         ["[z_compensate] bed_add_temp = 60 lies above [heater_bed] max_temp = 55"]),
        ([], ["VQTWENTYMA_NOZZLE_CLEAR", "HOT_RUB_TEMP=320"],
         ["HOT_RUB_TEMP=320 lies above [extruder] max_temp = 300"]),
        ([], ["VQTWENTYMA_NOZZLE_CLEAR", "HOT_RUB_TEMP=150"],
         ["rubbing temperature HOT_RUB_TEMP=150, below [extruder] min_extrude_temp = 170"]),
    ], ids=["wipe-area-beyond-the-bed", "stroke-before-the-bed", "measuring-point-beyond-the-bed",
            "bed-temperature", "temperature-parameter", "too-cold-to-draw-back"])
    def test_is_refused_at_the_start(self, klippy_dir, user_config, out_dir, replacements,
                                     words, expected):
        config = user_config(example_with(*replacements))

        outcome = dry(klippy_dir, out_dir, "--config", str(config), *words)

        assert outcome.code == dry_run.EXIT_REFUSED
        assert re.search(r"^ *0\.0[01]0  !! \w+ refused: ", outcome.stdout, re.M)
        for fragment in expected:
            assert fragment in outcome.stderr
        assert "stage 1" not in outcome.stdout
        assert_only_the_picture(outcome)

    def test_configured_values_the_printer_cannot_take_are_shown_at_start(
            self, klippy_dir, user_config, out_dir):
        config = user_config(example_with(("position_min: -2", "position_min: 0")))

        outcome = dry(klippy_dir, out_dir, "--config", str(config), "Z_OFFSET_CALIBRATION")

        assert outcome.code == 0
        assert re.search(r"^ *0\.000  z_compensate: \[stepper_z\] position_min = 0 lies above"
                         r" -\|pa_clr_down_mm\| = -0\.15", outcome.stdout, re.M)

    def test_bad_key_value(self, klippy_dir, user_config, out_dir):
        config = user_config(example_with(("pa_clr_dis_mm: 30", "pa_clr_dis_mm: 300")))

        outcome = dry(klippy_dir, out_dir, "--config", str(config))

        assert outcome.code != 0
        assert "Option 'pa_clr_dis_mm' in section 'z_compensate' must have maximum of 100" \
            in outcome.stderr
        assert not outcome.out_dir.exists()


@pytest.fixture
def drawn_runs(monkeypatch):
    """The runs whose pictures were drawn."""
    runs = []
    draw = dry_run.run_picture.draw

    def keep(path, run):
        runs.append(run)
        draw(path, run)
    monkeypatch.setattr(dry_run.run_picture, "draw", keep)
    return runs


class TestPicture:
    def test_a_run_refused_before_heating_names_the_temperatures_it_was_to_use(
            self, klippy_dir, out_dir, drawn_runs):
        outcome = dry(klippy_dir, out_dir, "VQTWENTYMA_NOZZLE_CLEAR", "HOT_RUB_TEMP=320")

        assert outcome.code == dry_run.EXIT_REFUSED
        [run] = drawn_runs
        assert dry_run.run_picture.unheated_lines(run) == [
            "No heater was set before the refusal (0.010 s of simulated time).",
            "The command's temperatures:",
            "  extruder: [z_compensate] hot_start_temp = %g" % example_value("hot_start_temp"),
            "  extruder: HOT_RUB_TEMP=320 on the command line",
            "  extruder: [z_compensate] hot_end_temp = %g" % example_value("hot_end_temp"),
            "  heater_bed: [z_compensate] bed_add_temp = %g" % example_value("bed_add_temp"),
        ]

    def test_each_problem_of_a_refusal_starts_a_line_of_the_outcome(
            self, klippy_dir, user_config, out_dir, drawn_runs):
        config = user_config(example_with(("clr_noz_start_x: 60", "clr_noz_start_x: 240"),
                                          ("max_temp: 110", "max_temp: 55")))

        dry(klippy_dir, out_dir, "--config", str(config))

        lines = dry_run.run_picture.outcome_lines(drawn_runs[0])
        assert any(line.startswith("  the stroke's end can reach X 280.000") for line in lines)
        assert any(line.startswith("  [z_compensate] bed_add_temp = 60 lies above")
                   for line in lines)
        assert all(len(line) <= dry_run.run_picture.OUTCOME_WIDTH for line in lines)


def run_lines(outcome):
    """What a run printed that its seed decides: all but the wall time and
    the folder it wrote."""
    return [line for line in outcome.stdout.splitlines()
            if "wall time" not in line and "written: " not in line]


def point_offsets(text):
    return [float(offset) for offset in re.findall(r"measuring point \d: .* offset (\S+)", text)]


class TestRepeatable:
    @pytest.mark.parametrize("command", ["Z_OFFSET_CALIBRATION", "VQTWENTYMA_NOZZLE_CLEAR"])
    def test_the_seed_a_run_prints_repeats_it(self, klippy_dir, out_dir, command):
        first = dry(klippy_dir, out_dir, command)
        seed = re.search(r"^  seed (\d+), simulated klippy host", first.stdout, re.M).group(1)
        assert "  seed %s: --seed %s repeats this run" % (seed, seed) in first.stdout

        again = dry(klippy_dir, out_dir, "--seed", seed, command)
        other = dry(klippy_dir, out_dir, "--seed", str(int(seed) + 1), command)

        assert run_lines(again) == run_lines(first)
        assert [line for line in run_lines(other) if "seed" not in line] != [
            line for line in run_lines(first) if "seed" not in line]


def without_simulated_truth(text):
    return re.sub(r"^true_probe_offset: .*\n", "", text, flags=re.M)


class TestSimulatedTruth:
    def test_given_true_offset_is_what_the_calibration_finds(self, klippy_dir, out_dir):
        outcome = dry(klippy_dir, out_dir, "--true-offset", "1.2", "Z_OFFSET_CALIBRATION")

        assert outcome.code == 0
        assert "the bed probe triggers 1.200 mm above the nozzle's contact (given by" \
            " --true-offset)" in outcome.stdout
        for offset in point_offsets(outcome.stdout):
            assert offset == pytest.approx(1.2, abs=NOISE)

    def test_without_one_the_probes_z_offset_is_the_truth(
            self, klippy_dir, user_config, out_dir):
        config = user_config(without_simulated_truth(EXAMPLE_TEXT))

        outcome = dry(klippy_dir, out_dir, "--config", str(config), "Z_OFFSET_CALIBRATION")

        assert "the bed probe triggers 2.000 mm above the nozzle's contact (the probe's" \
            " z_offset; --true-offset MM sets another)" in outcome.stdout

    def test_placeholder_z_offset_is_named_with_what_to_change(
            self, klippy_dir, user_config, out_dir):
        config = user_config(without_simulated_truth(
            example_with(("z_offset: 2.000", "z_offset: 0"))))

        outcome = dry(klippy_dir, out_dir, "--config", str(config), "Z_OFFSET_CALIBRATION")

        assert outcome.code == dry_run.EXIT_REFUSED
        assert "PR_ERR_CODE_Z_OFFSET_CALIBRATION" in outcome.stderr
        assert "taken from the probe's z_offset = 0, the placeholder" in outcome.stderr
        assert "--true-offset MM (such as --true-offset 1.2)" in outcome.stderr


class TestBedBelowZMin:
    """With [stepper_z] position_min = 0 the nozzle cannot follow a bed that
    lies below Z 0: the refusal names position_min where it stops the run."""

    @pytest.mark.parametrize("tilt, true_offset, expected", [
        # A bed lower towards the wipe area (low Y) than where Z was homed:
        # the descent onto it stops first
        ("0.01", "2", [r"Pressure probe: no contact within", r"descent at X \S+ Y \S+ stopped at"
                  r" \[stepper_z\] position_min = 0 before the nozzle touched the bed, which"
                  r" lies at Z -0\.\d+ there"]),
        # A flat bed found at Z 0.05: the stroke pressed 0.15 mm into it is refused
        ("0", "1.95", [r"the stroke ends at Z -0\.\d+, below \[stepper_z\] position_min = 0"]),
    ], ids=["descent", "stroke"])
    def test_refusal_names_position_min_and_the_fix(
            self, klippy_dir, user_config, out_dir, tilt, true_offset, expected):
        config = user_config(example_with(
            ("position_min: -2", "position_min: 0"),
            ("surface_tilt_x: 0.0003", "surface_tilt_x: 0"),
            ("surface_tilt_y: -0.0002", "surface_tilt_y: " + tilt),
            ("surface_bump_height: 0.02", "surface_bump_height: 0")))

        # Z 0 is the bed below the homing point less the difference between
        # the probe's z_offset (2) and its true offset
        outcome = dry(klippy_dir, out_dir, "--config", str(config), "--true-offset", true_offset,
                      "VQTWENTYMA_NOZZLE_CLEAR")

        assert outcome.code == dry_run.EXIT_REFUSED
        assert "[stepper_z] position_min = 0 lies above" in outcome.stdout
        for pattern in expected:
            assert re.search(pattern, outcome.stderr), outcome.stderr
        assert "set [stepper_z] position_min: -2 (or lower)" in outcome.stderr


class TestSeveralProbeSamples:
    @pytest.mark.parametrize("samples_result", ["average", "median"])
    def test_each_point_shows_its_own_offset(self, klippy_dir, user_config, out_dir,
                                             drawn_runs, samples_result):
        config = user_config(example_with(
            ("samples: 1", "samples: 3\nsamples_result: %s" % samples_result),
            ("probe_noise: 0.002", "probe_noise: 0.01")))

        outcome = dry(klippy_dir, out_dir, "--config", str(config), "Z_OFFSET_CALIBRATION")

        assert outcome.code == 0
        [run] = drawn_runs
        status = run.module.get_status(0)
        module_offsets = status["last_point_offsets"]
        assert point_offsets(outcome.stdout) == pytest.approx(module_offsets, abs=1e-4)
        picture_offsets = [float(offset) for line in dry_run.run_picture.outcome_lines(run)
                           for offset in re.findall(r"^point \d .* = (\S+)$", line)]
        assert picture_offsets == pytest.approx(module_offsets, abs=1e-4)
        spread = float(re.search(r"differ by (\S+) mm", outcome.stdout).group(1))
        assert spread == pytest.approx(status["last_point_spread"], abs=1e-4)
        assert len(run.trace.of_kind("probe")) == 6
        found = run.measurements()
        assert found[0].probe_at != found[1].probe_at


@given(points=st.lists(st.lists(st.floats(-5, 5), min_size=1, max_size=5), min_size=1,
                        max_size=4),
       samples_result=st.sampled_from(["average", "median"]))
@budget(50)
def test_each_point_takes_the_probe_samples_since_the_previous_contact(points, samples_result):
    stages = [run_trace.StageChange(0., run_trace.CALIBRATING, 1)]
    trace = [TraceEvent(0., "probe", {"position": [0., 0., 9.]})]
    for number, samples in enumerate(points):
        trace += [TraceEvent(0., "probe", {"position": [number, 1., z]}) for z in samples]
        trace.append(TraceEvent(0., "tensink_result", {"x": number, "y": 2., "z": -number}))

    found = run_trace.measurements(trace, stages, (10., 20.), samples_result)

    combine = statistics.median if samples_result == "median" else statistics.mean
    assert [m.probe_z for m in found] == pytest.approx([combine(zs) for zs in points])
    assert [m.probe_at for m in found] == [(number + 10., 21.) for number in range(len(points))]
    assert [(m.point, m.nozzle_z) for m in found] == [
        ((number, 2.), -number) for number in range(len(points))]


class TestHostGenerations:
    @pytest.mark.parametrize("host", klippysim.generations.GENERATIONS)
    def test_each_generation_calibrates(self, klippy_dir, out_dir, host):
        outcome = dry(klippy_dir, out_dir, "--host", host, "Z_OFFSET_CALIBRATION")

        assert outcome.code == 0, outcome.stderr
        assert "simulated klippy host: %s (--host)" % host in outcome.stdout
        assert "== stage 5: calibrated" in outcome.stdout

    def test_newest_mainline_is_the_default(self, example_run):
        assert "simulated klippy host: mainline-2026 (--host)" in example_run.stdout


MISSING_TENSINK = re.sub(r"\[tensink_v2\]\n(#.*\n|sim_.*\n)*", "", EXAMPLE_TEXT)
MISSING_MODULE = EXAMPLE_TEXT[:EXAMPLE_TEXT.index("[z_compensate]")]
WITH_BLTOUCH = example_with(("[probe]", "[bltouch]"), ("pin: ^PC14", "sensor_pin: ^PC14"))


def test_a_bltouch_printer_runs_and_saves_its_offset(klippy_dir, user_config, out_dir):
    outcome = dry(klippy_dir, out_dir, "--config", str(user_config(WITH_BLTOUCH)))

    assert outcome.code == 0, outcome.stdout + outcome.stderr
    saved = (outcome.run_folder / "printer.cfg").read_text()
    [offset] = re.findall(r"^#\*# \[bltouch\]\n#\*# z_offset = (\S+)$", saved, re.M)
    assert float(offset) == pytest.approx(EXPECTED_Z_OFFSET, abs=NOISE)


DELTA_PRINTER = """
[printer]
kinematics: delta
max_velocity: 300
max_accel: 3000
delta_radius: 100
print_radius: 90
minimum_z_position: -2

[stepper_a]
position_endstop: 250
arm_length: 220

[stepper_b]

[stepper_c]

[extruder]
nozzle_diameter: 0.4
filament_diameter: 1.75
min_temp: 0
max_temp: 300

[heater_bed]
min_temp: 0
max_temp: 110

[fan]

[probe]
pin: PA0
z_offset: 1.5

[bed_mesh]
mesh_radius: 60

[tensink_v2]

[z_compensate]
bl_offset: 0, 0
noz_pos_center: 0, 0
noz_pos_offset: 5, 15
clr_noz_start_x: 0
clr_noz_start_y: 10
clr_noz_len_x: 30
clr_noz_len_y: 40
"""


def test_a_delta_printer_runs_and_saves_its_offset(klippy_dir, user_config, out_dir):
    outcome = dry(klippy_dir, out_dir, "--config", str(user_config(DELTA_PRINTER)))

    assert outcome.code == 0, outcome.stdout + outcome.stderr
    saved = (outcome.run_folder / "printer.cfg").read_text()
    [offset] = re.findall(r"^#\*# z_offset = (\S+)$", saved, re.M)
    assert float(offset) == pytest.approx(1.5 - example_value("tri_expand_mm"), abs=NOISE)



def test_a_delta_below_its_lowest_z_is_told_its_own_option(klippy_dir, user_config, out_dir):
    # The bed lies 0.05 below the probe's Z 0: the nozzle must go below
    # minimum_z_position = 0, a delta's [printer] option, not a stepper's
    config = user_config(DELTA_PRINTER.replace("minimum_z_position: -2", "minimum_z_position: 0"))
    outcome = dry(klippy_dir, out_dir, "--config", str(config), "--true-offset", "1.45")

    assert outcome.code == dry_run.EXIT_REFUSED, outcome.stdout + outcome.stderr
    assert "set [printer] minimum_z_position: -2 (or lower)" in outcome.stderr, outcome.stderr


class TestBadInput:
    @pytest.mark.parametrize("text, words, expected", [
        ("[printer\nkinematics: corexy\n", [], ["printer.cfg", "line"]),
        (example_with(("bl_offset: -27.5, -19.0", "")), [],
         ["printer.cfg", "'bl_offset'", "'z_compensate'", "must be specified"]),
        (EXAMPLE_TEXT, ["G29_NOZZLE_CLEAR"], ["unknown command 'G29_NOZZLE_CLEAR'"]),
        (EXAMPLE_TEXT, ["VQTWENTYMA_NOZZLE_CLEAR", "HOT_RUB_TEMP=abc"],
         ["parameter HOT_RUB_TEMP", "not a number: 'abc'"]),
        (EXAMPLE_TEXT, ["Z_OFFSET_AUTO", "BED_ADDTEMP"], ["'BED_ADDTEMP'", "PARAMETER=VALUE"]),
        (MISSING_MODULE, [], ["printer.cfg has no [z_compensate] section"]),
        (MISSING_TENSINK, [], ["Unknown config object 'tensink_v2'", "[tensink_v2] section"]),
    ], ids=["unparsable", "missing-key", "unknown-command", "parameter-not-a-number",
            "parameter-without-value", "no-module-section", "no-pressure-probe"])
    def test_is_refused_with_a_clear_message(
            self, klippy_dir, user_config, out_dir, text, words, expected):
        config = user_config(text)

        outcome = dry(klippy_dir, out_dir, "--config", str(config), *words)

        assert outcome.code == dry_run.EXIT_BAD_INPUT
        assert outcome.stderr.startswith("error: ")
        for fragment in expected:
            assert fragment in outcome.stderr
        assert not out_dir.exists()

    def test_missing_file(self, klippy_dir, tmp_path, out_dir):
        outcome = dry(klippy_dir, out_dir, "--config", str(tmp_path / "nowhere.cfg"))

        assert outcome.code == dry_run.EXIT_BAD_INPUT
        assert "nowhere.cfg: no such configuration file" in outcome.stderr
        assert not out_dir.exists()



class TestOutFolders:
    def test_each_run_writes_a_folder_of_its_own(self, klippy_dir, user_config, out_dir):
        config = user_config(example_with(("max_temp: 110", "max_temp: 55")))

        saved = dry(klippy_dir, out_dir, "Z_OFFSET_CALIBRATION")
        [saved_folder] = out_dir.iterdir()
        refused = dry(klippy_dir, out_dir, "--config", str(config))

        assert (saved.code, refused.code) == (0, dry_run.EXIT_REFUSED)
        [refused_folder] = set(out_dir.iterdir()) - {saved_folder}
        assert sorted(p.name for p in saved_folder.iterdir()) == [
            "printer.cfg", "printer.cfg.diff", "z_offset_calibration.png"]
        # No earlier run's saved configuration beside the refusal's picture
        assert [p.name for p in refused_folder.iterdir()] == ["z_offset_auto.png"]

    def test_the_configurations_own_folder_as_out_dir_leaves_it_alone(
            self, klippy_dir, user_config):
        config = user_config(EXAMPLE_TEXT)

        outcome = dry(klippy_dir, config.parent, "--config", str(config),
                      "Z_OFFSET_CALIBRATION")

        assert outcome.code == 0
        assert config.read_text() == EXAMPLE_TEXT
        assert "#*# z_offset = " in (
            [p for p in config.parent.iterdir() if p.is_dir()][0] / "printer.cfg").read_text()


def test_user_docs_name_every_option_and_host_generation():
    text = (REPO_DIR / "docs" / "Dry_Run.md").read_text()
    documented = {row.split()[0] for row in re.findall(r"^\| `([^`]+)` \|", text, re.M)}
    options = {action.option_strings[-1] if action.option_strings else action.metavar
               for action in run_input.argument_parser()._actions if action.dest != "help"}
    assert options <= documented
    for generation in klippysim.generations.GENERATIONS:
        assert "`%s`" % generation in text


# What scripts/demo runs before it builds anything: the checks alone, which
# must not need the simulator or anything beyond the standard library
CHECK_ONLY = """
import sys
from z_compensate import run_input
code = run_input.main(sys.argv[1:])
assert not {"klippysim", "greenlet", "matplotlib"} & set(sys.modules), sorted(sys.modules)
sys.exit(code)
"""


class TestChecksAlone:
    @pytest.mark.parametrize("words, code, expected", [
        ([], 0, ""),
        (["--help"], run_input.EXIT_ANSWERED, ""),
        (["Z_OFFSET_NOW"], run_input.EXIT_BAD_INPUT, "unknown command 'Z_OFFSET_NOW'"),
        (["--bogus"], run_input.EXIT_BAD_INPUT, "unrecognized arguments: --bogus"),
        (["--config", "nowhere.cfg"], run_input.EXIT_BAD_INPUT,
         "nowhere.cfg: no such configuration file"),
        (["--seed", "-1"], run_input.EXIT_BAD_INPUT, "--seed: -1 does not lie between 0 and"),
        (["--true-offset", "nan"], run_input.EXIT_BAD_INPUT, "'nan' is not a finite number"),
        (["--host", "2022"], run_input.EXIT_BAD_INPUT, "invalid choice: '2022'"),
    ], ids=["good", "help", "unknown-command", "unknown-option", "missing-file", "seed",
            "true-offset", "host"])
    def test_exit_codes_without_the_simulator(self, tmp_path, words, code, expected):
        result = subprocess.run([sys.executable, "-c", CHECK_ONLY] + words, cwd=str(tmp_path),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                universal_newlines=True)

        assert result.returncode == code, result.stderr
        assert expected in result.stderr
        assert list(tmp_path.iterdir()) == []
