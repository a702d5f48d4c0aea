import re
import shutil

import pytest

import klippysim
from sim_support import EXAMPLE_CONFIG


MODULE_KEYS = [
    'tri_wave_ip', 'tri_expand_mm', 'g29_down_min_z', 'z_offset_cex_axis',
    'vs_start_z_pos', 'show_msg', 'bl_offset', 'noz_pos_center',
    'noz_pos_offset', 'pumpback_mm', 'pr_probe_cnt', 'pr_clear_probe_cnt',
    'type_nozz', 'use_adc', 'hot_start_temp', 'hot_end_temp', 'hot_rub_temp',
    'bed_add_temp', 'pa_clr_dis_mm', 'pa_clr_down_mm', 'clr_noz_start_x',
    'clr_noz_start_y', 'clr_noz_len_x', 'clr_noz_len_y', 'clr_xy_spd',
    'tri_min_hold', 'tri_max_hold', 'bed_max_err', 'pa_clr_dis_mm_x',
    'pa_clr_dis_mm_y', 'speed', 'lift_speed', 'rdy_xy_spd', 'rdy_z_spd',
    'acc_ctl_mm', 'low_spd_nul', 'send_step_duty', 'run_max_velocity',
    'run_max_accel', 'run_max_z_velocity', 'run_max_z_accel',
    'max_offset_change', 'point_tolerance', 'point_retries', 'on_error_gcode']


@pytest.fixture
def example(tmp_path):
    path = str(tmp_path / 'printer.cfg')
    shutil.copy(EXAMPLE_CONFIG, path)
    return path


def test_example_loads_on_the_simulator(example, klippy_dir):
    printer = klippysim.Printer(example, klippy_dir,
                                unmodeled_sections=['z_compensate'])
    assert printer.ignored_sections == ['mcu', 'z_compensate']
    probe = printer.lookup_object('probe')
    assert (probe.x_offset, probe.y_offset) == (-27.5, -19.0)
    assert printer.sim.true_probe_offset == 1.85
    printer.run_gcode("G28\nPROBE")


def test_example_names_every_module_key(example):
    text = open(example).read()
    section = text[text.index('[z_compensate]'):]
    keys = re.findall(r'^#?(\w+):', section, re.MULTILINE)
    assert sorted(keys) == sorted(MODULE_KEYS)
    assert '\n#tri_wave_ip:' in section
