"""The module inside PyPI's klippy of 2023-10, in batch mode."""
import os
import stat

import pytest

from real_printer import (BASE_CONFIG, KNOWN_Z_OFFSET, PRINTER,
                          REQUIRED_KEYS, TENSINK, saved_z_offset)

ALL_KEYS = """
[z_compensate]
tri_wave_ip: 127.0.0.1
tri_expand_mm: 0.05
g29_down_min_z: 25
z_offset_cex_axis: 3
vs_start_z_pos: 3
show_msg: True
bl_offset: -20, 5
noz_pos_center: 117.5, 117.5
noz_pos_offset: 5, 15
pumpback_mm: 5
pr_probe_cnt: 3
pr_clear_probe_cnt: 3
type_nozz: 0
use_adc: False
hot_start_temp: 140
hot_end_temp: 140
hot_rub_temp: 200
bed_add_temp: 60
pa_clr_dis_mm: 30
pa_clr_down_mm: -0.15
clr_noz_start_x: 60
clr_noz_start_y: 10
clr_noz_len_x: 40
clr_noz_len_y: 50
clr_xy_spd: 2.0
tri_min_hold: 2000
tri_max_hold: 6000
bed_max_err: 5
pa_clr_dis_mm_x: 0
pa_clr_dis_mm_y: 30
speed: 10
lift_speed: 10
rdy_xy_spd: 250
rdy_z_spd: 10
acc_ctl_mm: 0.5
low_spd_nul: 5
send_step_duty: 10
run_max_velocity: 500
run_max_accel: 500
run_max_z_velocity: 20
run_max_z_accel: 200
max_offset_change: 1.0
point_tolerance: 0.1
point_retries: 1
on_error_gcode: {action_respond_info("not run")}
"""


@pytest.mark.parametrize("section", [ALL_KEYS, REQUIRED_KEYS],
                         ids=["all 45 keys", "required keys"])
def test_start_up_and_status_read_by_a_macro(run_klippy, section):
    assert section.count(":") == (45 if section is ALL_KEYS else 3)
    run = run_klippy(BASE_CONFIG + TENSINK + section, ["SHOW_STATUS"])
    assert run.returncode == 0
    assert "status=0" in run.log


@pytest.mark.parametrize("value, message", [
    ("0.5", "Option 'tri_expand_mm' in section 'z_compensate' must have"
            " maximum of 0.3"),
    ("nan", "Option 'tri_expand_mm' in section 'z_compensate' must be a"
            " finite number"),
])
def test_configuration_refused_with_klippys_text(run_klippy, value, message):
    run = run_klippy(PRINTER + "tri_expand_mm: %s\n" % value, ["SHOW_STATUS"])
    assert run.returncode == 255
    assert "configparser.Error: " + message in run.log
    assert "status=0" not in run.log


def test_tensink_section_after_the_module_is_refused(run_klippy):
    run = run_klippy(BASE_CONFIG + REQUIRED_KEYS + TENSINK, ["SHOW_STATUS"])
    assert run.returncode == 255
    assert "Unknown config object 'tensink_v2'" in run.log


def test_calibration_saves_the_known_offset(run_klippy):
    run = run_klippy(PRINTER, ["G28", "Z_OFFSET_CALIBRATION", "SHOW_STATUS"])
    assert run.returncode == 0
    assert run.log.count("probe at ") == 2
    text = run.config_text()
    assert saved_z_offset(text) == KNOWN_Z_OFFSET
    # klippy's own SAVE_CONFIG text: the old value commented out
    assert "\n#z_offset: 2.0\n" in text
    assert run.backups() == [PRINTER]
    assert "status=5" in run.log


def test_calibration_keeps_a_symlink_and_the_old_file_as_its_backup(run_klippy):
    # printer.cfg links into a repository of configurations; the file it
    # points to has CRLF line ends and its own mode
    old = {}

    def link_into_repository(config_dir):
        path = os.path.join(config_dir, "printer.cfg")
        target = os.path.join(config_dir, "repository", "printer.cfg")
        os.makedirs(os.path.dirname(target))
        with open(target, "wb") as f:
            f.write(PRINTER.replace("\n", "\r\n").encode())
        os.chmod(target, 0o640)
        os.remove(path)
        os.symlink(target, path)
        old.update(target=target, inode=os.stat(target).st_ino)
    run = run_klippy(PRINTER, ["G28", "Z_OFFSET_CALIBRATION"], prepare=link_into_repository)
    assert run.returncode == 0
    path = os.path.join(run.config_dir, "printer.cfg")
    assert os.readlink(path) == old["target"]
    assert saved_z_offset(run.config_text()) == KNOWN_Z_OFFSET
    assert stat.S_IMODE(os.stat(old["target"]).st_mode) == 0o640
    # This host replaces printer.cfg by a new file: the backup is the old
    # file itself
    [backup] = [os.path.join(run.config_dir, name) for name in os.listdir(run.config_dir)
                if name.startswith("printer-")]
    assert os.stat(backup).st_ino == old["inode"]
    assert run.backups() == [PRINTER]
    assert [name for name in os.listdir(run.config_dir) + os.listdir(
        os.path.dirname(old["target"])) if name.startswith(".")] == []


def simulated_batch_mode(make_printer, config, trigger_z, contact_z):
    """The simulated host on `config`, measuring as batch mode does: every
    probing move triggers at `trigger_z` (stepper_z's position_min) and the
    nozzle touches the bed at the stand-in's `contact_z`, wherever either
    stands, without noise."""
    printer = make_printer(None, base=config, unmodeled_sections=["heater_feed"],
                           overrides={"simulated_printer": {"probe_noise": "0",
                                                            "contact_noise": "0"}})
    printer.sim.probe_trigger_z = lambda x, y: trigger_z
    printer.sim.contact_z = lambda x, y: contact_z
    return printer


@pytest.mark.parametrize("z_compensations, known", [
    ("3.9, 3.9", KNOWN_Z_OFFSET),
    # Along X from 3.7 at X 20 to 4.1 at X 200: the toolhead stands at
    # X 137.5 +- d over the two points, where the corrections average
    # 3.961111; less 2 + 0.05 + 0.05 that saves 1.861.
    ("3.7, 4.1", "1.861"),
], ids=["constant", "along X"])
def test_twist_corrected_offset_is_the_simulated_hosts(run_klippy, make_printer,
                                                       z_compensations, known):
    # The same printer.cfg and the same correction on both hosts; the
    # simulated one measures as batch mode does.
    config = PRINTER.replace("z_compensations: 3.9, 3.9",
                             "z_compensations: " + z_compensations)
    run = run_klippy(config, ["G28", "Z_OFFSET_CALIBRATION"])
    assert run.returncode == 0
    assert saved_z_offset(run.config_text()) == known

    simulated = simulated_batch_mode(make_printer, config, trigger_z=-2.0, contact_z=0.05)
    simulated.run_gcode("Z_OFFSET_CALIBRATION")
    with open(simulated.get_start_args()["config_file"]) as f:
        assert saved_z_offset(f.read()) == known


def test_offset_beyond_the_change_limit_is_refused_without_shutdown(run_klippy):
    run = run_klippy(PRINTER, ["G28", "Z_OFFSET_CALIBRATION MAX_OFFSET_CHANGE=0.1"])
    # Batch mode ends on any command error
    assert run.returncode == 255
    assert ("Z_OFFSET_CALIBRATION refused: the new offset 1.800000 lies 0.200000 mm"
            " from the probe's z_offset 2.000000, more than MAX_OFFSET_CHANGE=0.1") in run.log
    assert "Transition to shutdown state" not in run.log
    assert "Internal error" not in run.log
    assert run.config_text() == PRINTER


SHOW_HOOK = ('on_error_gcode:\n  {action_respond_info("HOOK %s|%s|%s"'
             ' % (params.COMMAND, params.ERROR, params.CODE))}\n')
CHANGE_REFUSAL = ("Z_OFFSET_CALIBRATION refused: the new offset 1.800000 lies 0.200000 mm"
                  " from the probe's z_offset 2.000000, more than MAX_OFFSET_CHANGE=0.1")


@pytest.mark.parametrize("further, hook_failure", [
    ("", None),
    ('  {action_raise_error("no phone")}\n', "no phone"),
    ("  G1 X-500\n", "Move out of range"),
], ids=["hook", "hook raising its error", "hook with a failing line"])
def test_a_refused_calibration_runs_the_hook_once_and_keeps_its_error(
        run_klippy, further, hook_failure):
    config = PRINTER + SHOW_HOOK + further
    run = run_klippy(config, ["G28", "Z_OFFSET_CALIBRATION MAX_OFFSET_CHANGE=0.1"])
    assert run.returncode == 255
    shown = "HOOK Z_OFFSET_CALIBRATION|%s|" % CHANGE_REFUSAL
    # klippy's log also holds printer.cfg, the template's text
    assert run.log.count("HOOK Z_OFFSET") == 1 and shown in run.log
    failed = [line for line in run.log.splitlines()
              if "z_compensate: on_error_gcode of Z_OFFSET_CALIBRATION failed: " in line]
    assert len(failed) == (0 if hook_failure is None else 1)
    assert hook_failure is None or hook_failure in failed[0]
    # klippy reports the command's own error once the hook has run
    assert run.log.rindex(CHANGE_REFUSAL) > run.log.index(shown) + len(shown)
    assert "Transition to shutdown state" not in run.log
    assert "Internal error" not in run.log
    assert run.config_text() == config


def test_a_hook_that_is_no_template_stops_the_start(run_klippy):
    run = run_klippy(PRINTER + "on_error_gcode: {% if %}\n", ["SHOW_STATUS"])
    assert run.returncode == 255
    assert "Error loading template 'z_compensate:on_error_gcode'" in run.log
    assert "status=0" not in run.log


def test_nozzle_clear(run_klippy):
    run = run_klippy(PRINTER, ["G28", "VQTWENTYMA_NOZZLE_CLEAR",
                               "SHOW_STATUS"])
    assert run.returncode == 0
    assert run.log.count("[SWAP_TEST]---Swap Test Success---") == 1
    assert run.log.count("tensink_v2: run_step_tensink") == 2
    assert "status=3" in run.log
    assert run.config_text() == PRINTER


def test_auto_sequence_saves_twice_and_keeps_the_first_backup(run_klippy):
    run = run_klippy(PRINTER, ["G28", "SET_GCODE_OFFSET Z=0.3",
                               "Z_OFFSET_AUTO", "SHOW_STATUS"])
    assert run.returncode == 0
    assert run.log.count("SAVE_CONFIG to ") == 2
    assert saved_z_offset(run.config_text()) == KNOWN_Z_OFFSET
    # The second save changes nothing and writes nothing: one backup, the
    # configuration before the run
    assert run.backups() == [PRINTER]
    assert "status=5" in run.log


def test_saves_keep_the_first_backup_and_unchanged_saves_write_nothing(run_klippy):
    # time.time() 1.5 s ahead of the clock klippy names its backups by, two
    # calibrations within a second, then 300 saves a second apart that
    # change nothing
    config = PRINTER + "\n[wall_clock]\n"
    run = run_klippy(config, ["WALL_CLOCK AHEAD=1.5", "G28", "Z_OFFSET_CALIBRATION",
                              "Z_OFFSET_CALIBRATION"]
                     + ["WALL_CLOCK STEP=1", "CXSAVE_CONFIG"] * 300)
    assert run.returncode == 0
    assert run.log.count("SAVE_CONFIG to ") == 302
    assert saved_z_offset(run.config_text()) == KNOWN_Z_OFFSET
    assert run.backups() == [config]


@pytest.mark.parametrize("hook", ["", SHOW_HOOK + "  G1 Z20\n  M112\n"],
                         ids=["without a hook", "with a hook"])
def test_sync_line_failure_shuts_down_with_the_record(run_klippy, hook):
    config = PRINTER.replace(TENSINK, TENSINK + "swap_line: stuck_0\n") + hook
    run = run_klippy(config, ["G28", "Z_OFFSET_AUTO", "SHOW_STATUS"])
    # The error routine's shutdown runs no hook
    assert "HOOK Z_OFFSET" not in run.log
    assert run.returncode == 255
    assert ("Transition to shutdown state: {'code': 'key402', 'msg':"
            " 'Shutdown due to PR_ERR_CODE_SSAP_TEST_ERROR: Synchronization"
            " line communication is not available, please check the"
            " connection..', 'values': []}") in run.log
    assert "Internal error" not in run.log
    assert run.config_text() == config


@pytest.mark.parametrize("parameter", ["HOT_RUB_TEMP=nan", "BED_ADDTEMP=inf"])
def test_non_finite_parameter_refused(run_klippy, parameter):
    run = run_klippy(PRINTER, ["G28", "VQTWENTYMA_NOZZLE_CLEAR " + parameter])
    assert run.returncode == 255
    name = parameter.split("=")[0]
    assert ("Error on 'VQTWENTYMA_NOZZLE_CLEAR %s': %s must be a finite"
            " number" % (parameter, name)) in run.log
    assert "tensink_v2: run_step_tensink" not in run.log


def test_wipe_area_beyond_the_axis_warned_at_start_up_and_refused(run_klippy):
    config = PRINTER.replace("clr_noz_start_x: 60", "clr_noz_start_x: 220")
    run = run_klippy(config, ["G28", "VQTWENTYMA_NOZZLE_CLEAR"])
    finding = ("the stroke's start can reach X 260.000, beyond [stepper_x]"
               " position_max = 235: [z_compensate] clr_noz_start_x = 220,"
               " clr_noz_len_x = 40, pa_clr_dis_mm_x = 0")
    # klippy's kinematics, heaters and console as they are: the start-up
    # check warns and the printer starts
    assert "z_compensate: " + finding in run.log
    assert "start-up check could not be made" not in run.log
    assert run.returncode == 255
    assert "VQTWENTYMA_NOZZLE_CLEAR refused: " + finding in run.log
    assert "tensink_v2: run_step_tensink" not in run.log
    assert "Internal error" not in run.log
