"""What the dry run makes of klippy's run: the record replayed as the user
sees it, the saved configuration, the virtual clock and the heaters'
model. klippy itself runs in tests/real_klippy/test_klippy_engine.py."""
import io
import json
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from generated import budget
from z_compensate import dry_run, klippy_config, run_input, run_trace
from z_compensate.klippy_run import launcher, printer_model

START = launcher.START_TIME
ERROR = "Z_OFFSET_CALIBRATION refused: the points differ"
RECORD = {"events": [
    [START, "console", {"text": "// Klipper state: Ready"}],
    [START, "stage", {"stage": 0}],
    [START, "input", {"line": "G28"}],
    [START + 4, "move", {"start": [0, 0, 0, 0], "end": [0, 0, 10, 0], "speed": 5, "gap": 10}],
    [START + 8, "console", {"text": "ok"}],
    [START + 8, "input", {"line": "Z_OFFSET_CALIBRATION"}],
    [START + 8.5, "gcode", {"line": "G1 X10", "depth": 1}],
    [START + 8.5, "stage", {"stage": 4}],
    [START + 9, "console", {"text": "// %s\n// by 0.2 mm" % ERROR}],
    [START + 9, "console", {"text": "!! " + ERROR}],
], "facts": {"time": START + 10, "module": {}, "status": {}, "heaters": {}}}


def replayed(show_first_stage):
    command = run_input.parse_command("Z_OFFSET_CALIBRATION", [])
    run = dry_run.KlippyRun(RECORD, {}, command, Path("printer.cfg"), 1, False)
    out = io.StringIO()
    error = dry_run.replay(run, out, show_first_stage)
    return run, out.getvalue().splitlines(), error


def test_replay_shows_klippys_input_and_answers_and_the_commands_stages():
    run, lines, error = replayed(show_first_stage=False)
    assert lines == [
        "     0.000  Klipper state: Ready",
        "     0.000  > G28",
        "     8.000  > Z_OFFSET_CALIBRATION",
        "     8.500  == stage 4: calibrating",
        "     9.000  " + ERROR,
        "     9.000  by 0.2 mm",
        "     9.000  !! " + ERROR]
    # A message of several lines is klippy's error whole
    assert error == ERROR + "\nby 0.2 mm"
    # The stage holds from the module's line that revealed it
    assert run.stages == [run_trace.StageChange(8.5, 4, 5)]
    assert run.trace[5].kind == "gcode"
    assert run.printer.get_reactor().monotonic() == 10


def test_replay_of_a_wipe_shows_the_stage_it_starts_in():
    run, lines, _ = replayed(show_first_stage=True)
    assert lines[3] == "     8.000  == stage 0: starting the wipe"
    assert [change.stage for change in run.stages] == [0, 4]


def block(*lines):
    return klippy_config.AUTOSAVE_HEADER + "".join(
        ("#*# " + line).rstrip() + "\n" for line in lines)


def test_saved_file_is_the_users_with_the_new_blocks_values():
    """klippy was given a copy without [scanner] (set aside, its saved
    values commented in the block), with a stand-in [probe]: the saved file
    keeps the user's [scanner] values, takes the new ones, and carries
    nothing only the copy had."""
    body = "[printer]\nkinematics: cartesian\n\n[z_compensate]\nspeed: 5\n\n[scanner]\nx: 1\n"
    original = body + block("[scanner]", "model = 1.5", "", "[extruder]", "pid_kp = 20")
    saved = ("[printer]\nkinematics: cartesian\n\n[probe]\npin: stand-in\n"
             + block("[extruder]", "pid_kp = 22", "", "[probe]", "z_offset = 0.4", "",
                     "[z_compensate]", "speed = 7", "", "# [scanner]"))
    result = dry_run.saved_block(original, saved, {"probe"}, {"scanner": "set aside"})
    regular, new_block = klippy_config.split_autosave(result)
    sections = klippy_config.read_sections({"printer.cfg": result})
    assert "probe" not in sections and "stand-in" not in result
    assert "#*# # [scanner]" not in new_block
    assert sections["scanner"].options == {"x": "1", "model": "1.5"}
    assert sections["extruder"].options["pid_kp"] == "22"
    # The file's own value gives way to the saved one, as SAVE_CONFIG does it
    assert sections["z_compensate"].options["speed"] == "7"
    assert regular.startswith(body.split("speed")[0])
    assert result.count(klippy_config.AUTOSAVE_HEADER) == 1


class Reactor:
    NEVER = 9999999999999999.

    def __init__(self, next_timer):
        self.virtual_now = START
        self._next_timer = next_timer


class Fds:
    def __init__(self, ready):
        self.ready = ready

    def poll(self, timeout):
        assert timeout == 0
        return self.ready


def test_virtual_clock_jumps_to_the_next_timer_and_never_blocks():
    reactor = Reactor(START + 3)
    idle = launcher.VirtualPoll(Fds([]), reactor)
    assert idle.poll(1000) == []
    assert reactor.virtual_now == START + 1
    idle.poll(5000)
    assert reactor.virtual_now == START + 3
    # Something to read: only the loop's own time passes
    busy = launcher.VirtualPoll(Fds([(4, 1)]), reactor)
    assert busy.poll(1000) == [(4, 1)]
    assert reactor.virtual_now == START + 3 + launcher.LOOP_TIME


class Defaults:
    def getfloat(self, option, default=None, **limits):
        return default

    getint = getboolean = getlist = getfloat


@budget(100)
@given(heater=st.sampled_from(sorted(printer_model.DEFAULT_THERMAL)),
       fraction=st.floats(0, 1), power=st.floats(0, 1))
def test_heater_stays_between_the_air_and_its_highest_temperature(heater, fraction, power):
    model = printer_model.SimulatedPrinter(Defaults())
    highest = model.thermal_properties(heater).max_reachable_temp
    temp = model.ambient_temp + fraction * (highest - model.ambient_temp)
    heated = model.heated(heater, temp, power, 0.3)
    assert model.ambient_temp <= heated <= highest
    if power == 0:
        assert heated <= temp
    if power == 1:
        assert heated >= temp


def test_module_built_for_another_python_is_refused_clearly(monkeypatch, tmp_path):
    from z_compensate import install, klippy_run
    extension = tmp_path / "z_compensate_wrapper.cpython-311-x86_64-linux-gnu.so"
    monkeypatch.setattr(install, "built_files", lambda: (extension, tmp_path / "loader.py"))
    monkeypatch.setattr(install, "python_facts",
                        lambda python: {"ext_suffix": ".cpython-39-x86_64-linux-gnu.so"})
    with pytest.raises(klippy_run.EngineUnavailable,
                       match="not for /home/pi/klippy-env/bin/python that runs this klippy"):
        klippy_run.module_files("/home/pi/klippy-env/bin/python")


# klippy's folder as a plain checkout holds it, and as a checkout holds it
# whose klippy/ is a package and whose klippy.py only starts its printer
KLIPPY_TREES = {
    "plain": {"klippy.py": "class Printer:\n    pass\n"},
    "package": {"__init__.py": "",
                "klippy.py": "if __name__ == '__main__':\n    from klippy.printer import main\n",
                "printer.py": "from . import reactor\nclass Printer:\n    pass\n",
                "reactor.py": ""},
}


@pytest.mark.parametrize("tree, module, prefix", [("plain", "klippy", ""),
                                                  ("package", "klippy.printer", "klippy.")])
def test_launcher_imports_klippy_as_its_tree_holds_it(tmp_path, tree, module, prefix):
    klippy_dir = tmp_path / "klippy"
    klippy_dir.mkdir()
    for name, text in KLIPPY_TREES[tree].items():
        (klippy_dir / name).write_text(text)
    # In a Python of its own, as the launcher runs, where klippy's names are free
    imported = subprocess.run(
        [sys.executable, "-c", "import json, sys; sys.path.insert(0, sys.argv[1]); import launcher;"
         " main, prefix = launcher.import_klippy(sys.argv[2], False);"
         " print(json.dumps([main.__name__, prefix, hasattr(main, 'Printer')]))",
         str(Path(launcher.__file__).parent), str(klippy_dir)],
        check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
    assert json.loads(imported) == [module, prefix, True]


@pytest.mark.parametrize("events, failure", [
    # The module's own fault shuts klippy down with its record: the record
    ([[START, "console", {"text": "!! " + ERROR}],
      [START, "shutdown", {"reason": "Shutdown due to " + ERROR}]], ERROR),
    # An error that only follows a shutdown gives way to its reason
    ([[START, "shutdown", {"reason": "MCU 'mcu' shutdown: Timer too close"}],
      [START, "console", {"text": "!! Homing failed due to printer shutdown"}]],
     "MCU 'mcu' shutdown: Timer too close"),
    ([[START, "console", {"text": "!! " + ERROR}]], ERROR),
    ([], None),
])
def test_klippys_failure_is_its_shutdown_reason_unless_that_carries_its_error(
        events, failure):
    from z_compensate import klippy_run
    engine = klippy_run.Engine.__new__(klippy_run.Engine)
    engine.record = {"events": events}
    assert engine.failure() == failure
