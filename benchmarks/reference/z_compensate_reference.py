# The module's behaviour written as a plain klippy extra, for the benchmarks'
# side-by-side figures only: the same host calls in the same order, none of
# the native module's checks of Python callers' arguments.
import collections.abc
import inspect
import math
import random
import socket
import time

from . import probe  # noqa: F401  (the native module loads it as well)

MAX_BUF_LEN = 32
MAX_PRES_CNT = 4
MAX_STEP_CNT = 4

PR_ERR_CODE_CAL_DATA_ERROR = {
    'code': 'key401',
    'msg': 'PR_ERR_CODE_CAL_DATA_ERROR: An error occurred during data calculation..',
    'values': []}
PR_ERR_CODE_Z_OFFSET_CALIBRATION = {
    'code': 'key401',
    'msg': 'PR_ERR_CODE_Z_OFFSET_CALIBRATION: Ceramic pressure sensitive mistrigger..',
    'values': []}
PR_ERR_CODE_SSAP_TEST_ERROR = {
    'code': 'key402',
    'msg': 'PR_ERR_CODE_SSAP_TEST_ERROR: Synchronization line communication is not '
           'available, please check the connection..',
    'values': []}

DIAGNOSTICS_PORT = 21021
STEP_RESULT_WAIT = 20.
STEP_RESULT_POLL = .01


def resolve_ipv4(name):
    try:
        socket.inet_aton(name)
        return name
    except OSError:
        return socket.gethostbyname(name)


def has_probe_sessions(probe):
    return hasattr(probe, 'start_probe_session') and hasattr(probe, 'get_offsets')


def homing_axes_z(toolhead):
    try:
        default = inspect.signature(toolhead.set_position).parameters['homing_axes'].default
    except (AttributeError, KeyError, TypeError, ValueError):
        return None
    if isinstance(default, str):
        return "z"
    if isinstance(default, (tuple, list)):
        return [2]
    return None


def trigger_height(result):
    return result.test_z if hasattr(result, 'test_z') else result[2]


def run_probe(probe, gcmd):
    if not has_probe_sessions(probe):
        return trigger_height(probe.run_probe(gcmd))
    session = probe.start_probe_session(gcmd)
    session.run_probe(gcmd)
    result = session.pull_probed_results()[0]
    session.end_probe_session()
    return trigger_height(result)


def probe_z_offset(probe):
    if has_probe_sessions(probe):
        return probe.get_offsets()[2]
    return probe.z_offset


class ZCompensateInitWrapper:
    cmd_VQ20MA_NOZZLE_CLEAR_help = "Clear the nozzle on bed."
    cmd_Z_OFFSET_CALIBRATION_help = "Z offset calibration"
    cmd_Z_OFFSET_AUTO_help = "Z offset auto"

    def __init__(self, config):
        self._rng = random.Random()
        self.config = config
        self.printer = config.get_printer()
        self.tensink = self.printer.lookup_object('tensink_v2')
        self.gcode = self.printer.lookup_object('gcode')
        self.tri_wave_ip = config.get('tri_wave_ip', None)
        self._tri_wave_addr = None
        if self.tri_wave_ip is not None:
            try:
                self._tri_wave_addr = resolve_ipv4(self.tri_wave_ip)
            except OSError as e:
                raise config.error(
                    "Option 'tri_wave_ip' in section '%s' names no usable address: %s"
                    % (config.get_name(), e))
        self.shut_down = False
        self.tri_expand_mm = self._float('tri_expand_mm', 0.05, -0.2, 0.3)
        self.g29_down_min_z = self._float('g29_down_min_z', 25, 5, 500)
        self.z_offset_cex_axis = self._float('z_offset_cex_axis', 3, 1, 10)
        self.z_offset_move = 0
        self.dbg_msg = {}
        self.sys_max_velocity = self.sys_max_accel = 0
        self.sys_max_z_velocity = self.sys_max_z_accel = 0
        for command, handler in [('Z_OFFSET_CALIBRATION', 'cmd_Z_OFFSET_CALIBRATION'),
                                 ('Z_OFFSET_AUTO', 'cmd_Z_OFFSET_AUTO'),
                                 ('VQTWENTYMA_NOZZLE_CLEAR', 'cmd_VQ20MA_NOZZLE_CLEAR')]:
            self.gcode.register_command(command, getattr(self, handler),
                                        desc=getattr(self, handler + '_help'))
        self.vs_start_z_pos = self._float('vs_start_z_pos', 3, 0, 10)
        self.show_msg = config.getboolean('show_msg', False)
        self.bl_offset = self._pair('bl_offset')
        self.noz_pos_center = self._pair('noz_pos_center')
        self.noz_pos_offset = self._pair('noz_pos_offset')
        self.pumpback_mm = self._float('pumpback_mm', 5, 0, 80)
        self.pr_probe_cnt = config.getint('pr_probe_cnt', 5, minval=1, maxval=10)
        self.pr_clear_probe_cnt = config.getint('pr_clear_probe_cnt', 5, minval=1, maxval=10)
        self.type_nozz = config.getint('type_nozz', 0, minval=0, maxval=5)
        self.use_adc = config.getboolean('use_adc', False)
        self.hot_start_temp = self._float('hot_start_temp', 140, 80, 200)
        self.hot_end_temp = self._float('hot_end_temp', 140, 80, 200)
        self.hot_rub_temp = self._float('hot_rub_temp', 200, 180, 300)
        self.bed_add_temp = self._float('bed_add_temp', 60, 45, 100)
        self.pa_clr_dis_mm = self._float('pa_clr_dis_mm', 30, 2, 100)
        self.pa_clr_down_mm = self._float('pa_clr_down_mm', -0.15, -1, 1)
        self.clr_noz_start_x = self._float('clr_noz_start_x', 0, -10, 1000)
        self.clr_noz_start_y = self._float('clr_noz_start_y', 0, 0, 1000)
        self.clr_noz_len_x = self._float('clr_noz_len_x', 0, -10, 1000)
        self.clr_noz_len_y = self._float('clr_noz_len_y', 0, -10, 1000)
        self.clr_xy_spd = self._float('clr_xy_spd', 2.0, 0.1, 10)
        self.tri_min_hold = config.getint('tri_min_hold', 3 if self.use_adc else 2000,
                                          minval=1, maxval=200000)
        self.tri_max_hold = config.getint('tri_max_hold', 3072 if self.use_adc else 6000,
                                          minval=self.tri_min_hold, maxval=600000)
        self.bed_max_err = self._float('bed_max_err', 5, 1, 10)
        self.pa_clr_dis_mm_x = self._float('pa_clr_dis_mm_x', 0, 0, 100)
        self.pa_clr_dis_mm_y = self._float('pa_clr_dis_mm_y', 30, 0, 100)
        self.tri_z_down_spd = self._float('speed', 10, 0.1, 100)
        self.tri_z_up_spd = self._float('lift_speed', self.tri_z_down_spd * 1.0, 0.1, 100)
        self.rdy_xy_spd = self._float('rdy_xy_spd', 250, 1, 1000)
        self.rdy_z_spd = self._float('rdy_z_spd', self.tri_z_up_spd, 1, 50)
        self.acc_ctl_mm = self._float('acc_ctl_mm', 0.5, 0, 10)
        self.low_spd_nul = config.getint('low_spd_nul', 5, minval=1, maxval=10)
        self.send_step_duty = config.getint('send_step_duty', 16, minval=0, maxval=10)
        self.run_max_velocity = self._float('run_max_velocity', 500, 1, 5000)
        self.run_max_accel = self._float('run_max_accel', 500, 1, 50000)
        self.run_max_z_velocity = self._float('run_max_z_velocity', 20, 1, 5000)
        self.run_max_z_accel = self._float('run_max_z_accel', 200, 1, 50000)
        self.auto_alignment_status = 0
        self.printer.register_event_handler("klippy:connect", self._handle_connect)

    # Host generations
    def _handle_connect(self):
        toolhead = self.printer.lookup_object('toolhead')
        if homing_axes_z(toolhead) is None:
            raise self.config.error(
                "[%s] needs a klippy it knows: toolhead.set_position() takes no homing_axes "
                "given as axis letters or indices" % (self.config.get_name(),))
        probe = self.printer.lookup_object('probe', None)
        if (probe is not None and not has_probe_sessions(probe)
                and not (hasattr(probe, 'run_probe') and hasattr(probe, 'z_offset'))):
            raise self.config.error(
                "[%s] needs a klippy it knows: the probe offers neither start_probe_session() "
                "with get_offsets() nor run_probe() with z_offset" % (self.config.get_name(),))

    def _not_finite(self, key):
        raise self.config.error("Option '%s' in section '%s' must be a finite number"
                                % (key, self.config.get_name()))

    def _float(self, key, default, minval, maxval):
        value = self.config.getfloat(key, default, minval=minval, maxval=maxval)
        if not math.isfinite(value):
            self._not_finite(key)
        return value

    def _pair(self, key):
        values = self.config.getfloatlist(key, count=2)
        if not all(math.isfinite(v) for v in values):
            self._not_finite(key)
        return list(values)

    def get_status(self, eventtime):
        return {'auto_alignment_status': self.auto_alignment_status}

    # Motion and timing
    def move(self, pos, speed, wait=True):
        if self.shut_down:
            return
        feed_rate = int(speed * 60)
        if len(pos) < 3:
            line = "G1 F%d X%.3f Y%.3f" % (feed_rate, pos[0], pos[1])
        else:
            line = "G1 F%d X%.3f Y%.3f Z%.3f" % (feed_rate, pos[0], pos[1], pos[2])
        self.gcode.run_script_from_command(line)
        if wait:
            self.toolhead.wait_moves()

    def delay_s(self, delay_s):
        printer = self.printer
        reactor = printer.get_reactor()
        t0 = reactor.monotonic()
        if printer.is_shutdown():
            return
        self.toolhead.get_last_move_time()
        reactor.pause(t0 + delay_s)

    def set_step_par(self, load_sys=True):
        toolhead = self.toolhead
        if load_sys:
            toolhead.max_velocity = self.sys_max_velocity
            toolhead.max_accel = self.sys_max_accel
            toolhead.kin.max_z_velocity = self.sys_max_z_velocity
            toolhead.kin.max_z_accel = self.sys_max_z_accel
            return
        self.sys_max_velocity = toolhead.max_velocity
        self.sys_max_accel = toolhead.max_accel
        self.sys_max_z_velocity = toolhead.kin.max_z_velocity
        self.sys_max_z_accel = toolhead.kin.max_z_accel
        toolhead.max_velocity = self.run_max_velocity
        toolhead.max_accel = self.run_max_accel
        toolhead.kin.max_z_velocity = self.run_max_z_velocity
        toolhead.kin.max_z_accel = self.run_max_z_accel

    def _cancel_gcode_z_offset(self):
        self.z_offset_move = self.printer.lookup_object('gcode_move').homing_position[2]
        self._send_gcode_z_offset_adjust(0 - self.z_offset_move)
        self.z_offset_move = 0

    def _send_gcode_z_offset_adjust(self, z_adjust):
        self.gcode.run_script_from_command("SET_GCODE_OFFSEt Z_ADJUST=%f MOVE=1" % z_adjust)

    # Heaters
    def set_hot_temps(self, temp, wait=False, err=5):
        self._set_heater_temp(self.heater_hot, temp, wait, err)

    def set_bed_temps(self, temp, wait=False, err=5):
        self._set_heater_temp(self.heater_bed, temp, wait, err)

    def _set_heater_temp(self, heater, temp, wait, err):
        self.pheaters.set_temperature(heater, temp, False)
        if not wait:
            return
        while True:
            if self.shut_down or self.printer.is_shutdown():
                return
            if abs(heater.target_temp - heater.smoothed_temp) <= err:
                return
            if heater.target_temp <= 0:
                return
            self.delay_s(0.1)

    # Messages and diagnostics
    def print_msg(self, title, msg, force=False):
        if not self.show_msg and not force:
            return
        if title != "SHOW_WAVE":
            self.gcode.respond_info("[" + title + "]" + msg)
        if self.tri_wave_ip is None:
            return
        self._send_datagram(title, msg)

    def pnt_msg(self, msg):
        if self.show_msg:
            self.gcode.respond_info(msg)

    def _send_datagram(self, title, msg):
        index = self.dbg_msg.setdefault(title, len(self.dbg_msg))
        payload = "%d$%s$%s$%s\n" % (index, title, time.strftime("%H:%M:%S "), msg)
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
                sock.sendto(payload.encode(), (self._tri_wave_addr, DIAGNOSTICS_PORT))
        except OSError as e:
            self.gcode.respond_info("Diagnostics: datagram to %s:%d dropped: %s"
                                    % (self._tri_wave_addr, DIAGNOSTICS_PORT, e.strerror))

    # Error routine
    def ck_and_raise_error(self, ck, err_code, vals=[]):
        if not ck:
            return
        if not isinstance(err_code, collections.abc.MutableMapping):
            raise TypeError("err_code: expected a mutable error record mapping")
        repr(vals)
        tensink = self.tensink
        printer = self.printer
        toolhead = self.toolhead
        tensink.enable_steps()
        now_pos = toolhead.get_position()
        step_cnt, step_us, acc_ctl_cnt = tensink.get_step_cnts(self.g29_down_min_z,
                                                               self.tri_z_down_spd)
        step_oid = tensink.step_oid
        start = [step_oid, 1, tensink.tri_send_ms, step_cnt, step_us, acc_ctl_cnt,
                 self.low_spd_nul, self.send_step_duty, 0]
        tensink.start_step_tensink_cmd.send(start)
        t_last = time.time()
        while (time.time() - t_last < STEP_RESULT_WAIT and not printer.is_shutdown()
               and len(tensink.step_res) != MAX_BUF_LEN):
            self.delay_s(STEP_RESULT_POLL)
        stop = [step_oid, 0, 0, 0, 0, 0, self.low_spd_nul, self.send_step_duty, 0]
        tensink.start_step_tensink_cmd.send(stop)
        toolhead.set_position([now_pos[0], now_pos[1], 0, now_pos[3]],
                              homing_axes=homing_axes_z(toolhead))
        # Z is declared homed: every later step runs whatever fails.
        try:
            tensink.disable_steps()
        except Exception:
            pass
        err_code['values'] = vals
        try:
            self.print_msg("RAISE_ERROR", self._record_text(err_code, ""), True)
        except Exception:
            pass
        text = self._record_text(err_code, "Shutdown due to ")
        printer.invoke_shutdown(text)
        raise printer.command_error(text)

    def _record_text(self, err_code, msg_prefix):
        return repr({'code': err_code['code'], 'msg': msg_prefix + err_code['msg'],
                     'values': err_code['values']})

    # Procedures
    def TEST_SWAP(self):
        printer = self.printer
        self.toolhead = printer.lookup_object('toolhead')
        tensink = self.tensink
        pres_oid = tensink.pres_oid
        tensink.write_swap_tensink_cmd.send([pres_oid, 0])
        step_oid = tensink.step_oid
        params0 = tensink.read_swap_tensink_cmd.send([step_oid])
        pres_oid = tensink.pres_oid
        tensink.write_swap_tensink_cmd.send([pres_oid, 1])
        step_oid = tensink.step_oid
        params1 = tensink.read_swap_tensink_cmd.send([step_oid])
        if (params0 and params1 and self._level(params0) == 0
                and self._level(params1) == 1):
            self.print_msg("SWAP_TEST", "---Swap Test Success---", True)
            return
        self.print_msg("SWAP_TEST", "!!!Swap Test ERROR!!!", True)
        self.ck_and_raise_error(True, PR_ERR_CODE_SSAP_TEST_ERROR)

    @staticmethod
    def _level(params):
        level = params['sta']
        return level if isinstance(level, (int, float)) else math.nan

    def _read_temperature(self, gcmd, name, default):
        value = gcmd.get_float(name, default)
        if not math.isfinite(value):
            raise self.printer.command_error("Error on '%s': %s must be a finite number"
                                             % (gcmd.get_commandline(), name))
        return value

    def vq20ma_clear_nozzle(self, hot_start_temp, hot_rub_temp, hot_end_temp, bed_add_temp):
        gcode = self.gcode
        self.auto_alignment_status = 0
        min_x, min_y = self.clr_noz_start_x, self.clr_noz_start_y
        self._cancel_gcode_z_offset()
        if self.type_nozz == 1:
            hot_start_temp = hot_end_temp = hot_rub_temp
        self.set_bed_temps(bed_add_temp, False)
        self.set_hot_temps(hot_start_temp, False, 10)
        bed_mesh = self.bed_mesh
        mesh = bed_mesh.get_mesh()
        bed_mesh.set_mesh(None)
        self.set_step_par(False)

        self._rng.seed(time.time_ns())
        sx = min_x + self._rng.uniform(0, self.clr_noz_len_x - self.pa_clr_dis_mm_x)
        sy = min_y + self._rng.uniform(0, self.clr_noz_len_y - self.pa_clr_dis_mm_y)
        sz = ez = self.bed_max_err
        ex = sx + self.pa_clr_dis_mm_x
        ey = sy + self.pa_clr_dis_mm_y

        self.auto_alignment_status = 1
        self.set_hot_temps(hot_start_temp, True, 10)
        self.auto_alignment_status = 2
        self.set_bed_temps(bed_add_temp, True)
        self.auto_alignment_status = 3

        tensink = self.tensink
        descent = (self.g29_down_min_z, 0, False, self.pr_clear_probe_cnt,
                   self.pr_clear_probe_cnt, True, self.tri_min_hold, self.tri_max_hold)
        self.move([sx, sy, sz], self.rdy_xy_spd)
        sz = tensink.run_step_tensink(*descent)
        self.move([ex, ey, ez], self.rdy_xy_spd)
        ez = tensink.run_step_tensink(*descent)

        self.move([sx, sy, self.bed_max_err], self.rdy_xy_spd)
        self.move([sx, sy + 5, sz - self.pa_clr_down_mm], self.rdy_z_spd)
        self.set_hot_temps(hot_rub_temp, True, 10)
        gcode.run_script_from_command("G91")
        gcode.run_script_from_command("G0 E-%f" % self.pumpback_mm)
        gcode.run_script_from_command("G90")
        self.move([ex, ey - 5, ez + self.pa_clr_down_mm], self.clr_xy_spd)

        gcode.run_script_from_command("M106 S255")
        self.set_hot_temps(hot_end_temp, True, 5)
        self.set_bed_temps(bed_add_temp, True, 5)
        self.move([ex + self.pa_clr_dis_mm, ey, ez + self.bed_max_err], 100)
        gcode.run_script_from_command("M107")
        self.set_bed_temps(bed_add_temp, True, 5)

        self.set_step_par(True)
        bed_mesh.set_mesh(mesh)
        gcode.run_script_from_command("G28 Z")

    def cmd_VQ20MA_NOZZLE_CLEAR(self, gcmd):
        printer = self.printer
        self.TEST_SWAP()
        self.bed_mesh = printer.lookup_object('bed_mesh')
        self.toolhead = printer.lookup_object('toolhead')
        self.pheaters = printer.lookup_object('heaters')
        self.heater_hot = printer.lookup_object('extruder').heater
        self.heater_bed = printer.lookup_object('heater_bed').heater
        temps = [self._read_temperature(gcmd, name, default) for name, default in [
            ("HOT_START_TEMP", self.hot_start_temp), ("HOT_RUB_TEMP", self.hot_rub_temp),
            ("HOT_END_TEMP", self.hot_end_temp), ("BED_ADDTEMP", self.bed_add_temp)]]
        self.vq20ma_clear_nozzle(*temps)

    def cmd_Z_OFFSET_CALIBRATION(self, gcmd):
        printer = self.printer
        gcode = self.gcode
        tensink = self.tensink
        self.auto_alignment_status = 4
        bed_mesh = self.bed_mesh = printer.lookup_object('bed_mesh')
        toolhead = self.toolhead = printer.lookup_object('toolhead')
        mesh = bed_mesh.get_mesh()
        bed_mesh.set_mesh(None)
        self._cancel_gcode_z_offset()

        offset = self.noz_pos_offset
        pr_pos_x = self._rng.uniform(offset[0], offset[1])
        pr_pos_y = self._rng.uniform(offset[0], offset[1])
        cx, cy = self.noz_pos_center
        pr_pos = [(cx + pr_pos_x, cy + pr_pos_y), (cx - pr_pos_x, cy - pr_pos_y)]
        now_pos = toolhead.get_position()
        bl_data, pr_data, z_offset = [], [], []
        for px, py in pr_pos:
            self.move([px - self.bl_offset[0], py - self.bl_offset[1], 8, now_pos[3]], 100)
            bl_data.append(run_probe(printer.lookup_object('probe'), gcmd))
            tensink.move([px, py, self.vs_start_z_pos, now_pos[3]], 100)
            tensink.get_mm_per_step()
            pr_data.append(tensink.run_step_tensink(self.g29_down_min_z, 0, False,
                                                    self.pr_probe_cnt, self.pr_probe_cnt,
                                                    True))
            z_offset.append(bl_data[-1] - pr_data[-1])

        z_offset_old = probe_z_offset(printer.lookup_object('probe'))
        for i in range(2):
            self.pnt_msg("bl_data[%d]= %f, pr_data[%d] = %f, z_offset[%d] = %f"
                         % (i, bl_data[i] - z_offset_old, i, pr_data[i] - z_offset_old, i,
                            z_offset[i]))
        z_offset_new = (z_offset[0] + z_offset[1]) / 2 - self.tri_expand_mm
        self.pnt_msg("z_offset_new = %f " % z_offset_new)

        if not math.isfinite(z_offset_new) or not math.isfinite(z_offset_old):
            self.z_offset_move = 0
            self.ck_and_raise_error(True, PR_ERR_CODE_Z_OFFSET_CALIBRATION)
        self.z_offset_move = z_offset_old - z_offset_new
        self._send_gcode_z_offset_adjust(self.z_offset_move)
        self.pnt_msg("z_offset_new = %f " % z_offset_new)
        if z_offset_new < 0:
            self._send_gcode_z_offset_adjust(-self.z_offset_move)
            self.z_offset_move = 0
            self.ck_and_raise_error(True, PR_ERR_CODE_Z_OFFSET_CALIBRATION)

        gcode.run_script_from_command("Z_OFFSET_APPLY_PROBE")
        gcode.run_script_from_command("CXSAVE_CONFIG")
        bed_mesh.set_mesh(mesh)
        self.auto_alignment_status = 5

    def cmd_Z_OFFSET_AUTO(self, gcmd):
        printer = self.printer
        self.TEST_SWAP()
        self._cancel_gcode_z_offset()
        self.cmd_VQ20MA_NOZZLE_CLEAR(gcmd)
        self.cmd_Z_OFFSET_CALIBRATION(gcmd)
        printer.lookup_object('configfile').cmd_CXSAVE_CONFIG(gcmd)


def load_config(config):
    return ZCompensateInitWrapper(config)
