# The module's behaviour written as a plain klippy extra, for the benchmarks'
# side-by-side figures only: the same host calls in the same order, none of
# the native module's checks of Python callers' arguments.
import collections.abc
import inspect
import logging
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

BED_PROBE_START_Z = 8.
MAX_POINT_RETRIES = 10
RUB_TOLERANCE = 10.
STEPPER_SECTIONS = ('stepper_x', 'stepper_y', 'stepper_z')

DIAGNOSTICS_PORT = 21021
STEP_RESULT_WAIT = 20.
STEP_RESULT_POLL = .01


def resolve_ipv4(name):
    try:
        socket.inet_aton(name)
        return name
    except OSError:
        return socket.gethostbyname(name)


def between(a, b):
    return (min(a, b), max(a, b))


def shifted(span, by):
    return (span[0] + by, span[1] + by)


def joined(a, b):
    return (min(a[0], b[0]), max(a[1], b[1]))


def shown(values):
    return ", ".join("%g" % v for v in values)


class Findings:
    def __init__(self, limits):
        self.minimum, self.maximum = limits
        self.texts = []

    def add(self, text):
        if text not in self.texts:
            self.texts.append(text)

    def check_axis(self, axis, span, what, cause):
        if span[0] < self.minimum[axis]:
            self.add("%s %s %.3f, below [%s] position_min = %g: %s" % (
                what, "XYZ"[axis], span[0], STEPPER_SECTIONS[axis], self.minimum[axis], cause))
        if span[1] > self.maximum[axis]:
            self.add("%s %s %.3f, beyond [%s] position_max = %g: %s" % (
                what, "XYZ"[axis], span[1], STEPPER_SECTIONS[axis], self.maximum[axis], cause))

    def check_point(self, x, y, what, x_cause, y_cause):
        self.check_axis(0, x, what, x_cause)
        self.check_axis(1, y, what, y_cause)

    def check_temperature(self, temp, source, heater_name, heater):
        if temp == 0:
            return
        if temp < heater.min_temp:
            self.add("%s lies below [%s] min_temp = %g" % (source, heater_name, heater.min_temp))
        if temp > heater.max_temp:
            self.add("%s lies above [%s] max_temp = %g" % (source, heater_name, heater.max_temp))


def axis_limits(printer, toolhead):
    status = toolhead.get_kinematics().get_status(printer.get_reactor().monotonic())
    return list(status['axis_minimum'])[:3], list(status['axis_maximum'])[:3]


def setting_source(value, configured, key, parameter):
    if value == configured:
        return "[z_compensate] %s = %g" % (key, value)
    return "%s=%g" % (parameter, value)


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


def trigger_height(probe, gcmd, result):
    # Named results carry the host's corrections in bed_z only
    if not hasattr(result, '_fields'):
        return result[2]
    if not hasattr(result, 'bed_z'):
        raise gcmd.error("probe result: no field bed_z: %r" % (result,))
    if not isinstance(result.bed_z, (int, float)):
        raise gcmd.error("probe result: bed_z is not a number: %r" % (result.bed_z,))
    return result.bed_z + probe_z_offset(probe)


def run_probe(probe, gcmd):
    if not has_probe_sessions(probe):
        return trigger_height(probe, gcmd, probe.run_probe(gcmd))
    session = probe.start_probe_session(gcmd)
    session.run_probe(gcmd)
    result = session.pull_probed_results()[0]
    session.end_probe_session()
    return trigger_height(probe, gcmd, result)


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
        self.printer.register_event_handler("klippy:ready", self._handle_ready)
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
        self.max_offset_change = self._float('max_offset_change', 1.0, 0, None)
        self.point_tolerance = self._float('point_tolerance', 0.1, 0, None)
        self.point_retries = config.getint('point_retries', 1, minval=0, maxval=MAX_POINT_RETRIES)
        self.auto_alignment_status = 0
        self.running_command = self.last_command = self.last_result = self.last_message = ""
        self.last_z_offset = self.saved_z_offset = None
        self.last_point_offsets = []
        self.last_point_spread = None
        self.last_remeasurements = 0
        self._refusal = None
        self._start_gcode_z_offset = 0.
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

    # Pre-flight check
    def _preflight_findings(self, wipe, calibration, temps):
        printer = self.printer
        findings = Findings(axis_limits(printer, printer.lookup_object('toolhead')))

        def has(name, missing):
            if printer.lookup_object(name, None) is not None:
                return True
            findings.add(missing)
            return False
        has('bed_mesh', "the printer has no [bed_mesh] section")
        if calibration:
            has('probe', "the printer has no bed probe: no section (such as [probe]) provides "
                         "'probe'")
        has_extruder = wipe and has('extruder', "the printer has no [extruder] section")
        has_bed = wipe and has('heater_bed', "the printer has no [heater_bed] section")
        if wipe:
            has('fan', "the printer has no [fan] section")

        if calibration:
            offset = between(*self.noz_pos_offset)
            nozzle = [joined(shifted(offset, c), shifted((-offset[1], -offset[0]), c))
                      for c in self.noz_pos_center]
            cause = "[z_compensate] noz_pos_center = %s, noz_pos_offset = %s" % (
                shown(self.noz_pos_center), shown(self.noz_pos_offset))
            findings.check_point(nozzle[0], nozzle[1], "the nozzle's measuring points reach",
                                 cause, cause)
            probe_cause = cause + ", bl_offset = %s" % (shown(self.bl_offset),)
            findings.check_point(
                shifted(nozzle[0], -self.bl_offset[0]), shifted(nozzle[1], -self.bl_offset[1]),
                "putting the bed probe over the measuring points takes the toolhead to",
                probe_cause, probe_cause)
            findings.check_axis(2, (BED_PROBE_START_Z, BED_PROBE_START_Z),
                                "the bed probe starts each measurement at", "a fixed height")
            findings.check_axis(2, (self.vs_start_z_pos, self.vs_start_z_pos),
                                "the nozzle starts each measurement at",
                                "[z_compensate] vs_start_z_pos = %g" % self.vs_start_z_pos)

        if wipe:
            start_x = shifted(between(0, self.clr_noz_len_x - self.pa_clr_dis_mm_x),
                              self.clr_noz_start_x)
            start_y = shifted(between(0, self.clr_noz_len_y - self.pa_clr_dis_mm_y),
                              self.clr_noz_start_y)
            end_x = shifted(start_x, self.pa_clr_dis_mm_x)
            end_y = shifted(start_y, self.pa_clr_dis_mm_y)
            x_cause = ("[z_compensate] clr_noz_start_x = %g, clr_noz_len_x = %g, "
                       "pa_clr_dis_mm_x = %g" % (self.clr_noz_start_x, self.clr_noz_len_x,
                                                 self.pa_clr_dis_mm_x))
            y_cause = ("[z_compensate] clr_noz_start_y = %g, clr_noz_len_y = %g, "
                       "pa_clr_dis_mm_y = %g" % (self.clr_noz_start_y, self.clr_noz_len_y,
                                                 self.pa_clr_dis_mm_y))
            findings.check_point(start_x, joined(start_y, shifted(start_y, 5)),
                                 "the stroke's start can reach", x_cause, y_cause)
            findings.check_point(end_x, joined(end_y, shifted(end_y, -5)),
                                 "the stroke's end can reach", x_cause, y_cause)
            findings.check_point(shifted(end_x, self.pa_clr_dis_mm), end_y,
                                 "the move away after the stroke can reach",
                                 x_cause + ", pa_clr_dis_mm = %g" % self.pa_clr_dis_mm, y_cause)
            findings.check_axis(2, (self.bed_max_err, self.bed_max_err),
                                "the wipe's travel moves run at",
                                "[z_compensate] bed_max_err = %g" % self.bed_max_err)

        hot_start, hot_rub, hot_end, bed_add = temps
        if has_extruder:
            rub_source = setting_source(hot_rub, self.hot_rub_temp, 'hot_rub_temp',
                                            'HOT_RUB_TEMP')
            if self.type_nozz == 1:
                hot_start, hot_end = hot_rub, hot_rub
                start_source = end_source = rub_source
            else:
                start_source = setting_source(hot_start, self.hot_start_temp,
                                                  'hot_start_temp', 'HOT_START_TEMP')
                end_source = setting_source(hot_end, self.hot_end_temp, 'hot_end_temp',
                                                'HOT_END_TEMP')
            heater = printer.lookup_object('extruder').heater
            for temp, source in [(hot_start, start_source), (hot_rub, rub_source),
                                 (hot_end, end_source)]:
                findings.check_temperature(temp, source, 'extruder', heater)
            draw_back = hot_rub if hot_start >= hot_rub else hot_rub - RUB_TOLERANCE
            if self.pumpback_mm > 0 and draw_back < heater.min_extrude_temp:
                findings.add(
                    "the filament is drawn back ([z_compensate] pumpback_mm = %g) at %g, within "
                    "%g of the rubbing temperature %s, below [extruder] min_extrude_temp = %g"
                    % (self.pumpback_mm, draw_back, RUB_TOLERANCE, rub_source,
                       heater.min_extrude_temp))
        if has_bed:
            findings.check_temperature(
                bed_add, setting_source(bed_add, self.bed_add_temp, 'bed_add_temp',
                                            'BED_ADDTEMP'),
                'heater_bed', printer.lookup_object('heater_bed').heater)
        return findings.texts

    def _preflight(self, command, wipe, calibration, temps):
        findings = self._preflight_findings(wipe, calibration, temps)
        if findings:
            self._refuse("%s refused: %s" % (command, "\n".join(findings)))

    def _refuse(self, message):
        self._refusal = message
        raise self.printer.command_error(message)

    def _handle_ready(self):
        try:
            warnings = self._preflight_findings(True, True, (
                self.hot_start_temp, self.hot_rub_temp, self.hot_end_temp, self.bed_add_temp))
            z_min = axis_limits(self.printer, self.printer.lookup_object('toolhead'))[0][2]
            rub_depth = abs(self.pa_clr_down_mm)
            if z_min > -rub_depth:
                warnings.append(
                    "[stepper_z] position_min = %g lies above -|pa_clr_down_mm| = %g: the nozzle "
                    "clearing rubs the nozzle %g mm below the bed height it finds, and with the "
                    "bed found near Z 0 that move is refused after the printer has heated; set "
                    "position_min to %g or lower (such as -2)"
                    % (z_min, -rub_depth, rub_depth, -rub_depth))
        except Exception as e:
            warnings = ["the start-up check could not be made: %s" % (e,)]
        for warning in warnings:
            logging.warning("z_compensate: " + warning)
            self.gcode.respond_info("z_compensate: " + warning, log=False)

    def _check_stroke_heights(self, start_bed_z, end_bed_z):
        findings = Findings(axis_limits(self.printer, self.toolhead))
        down_key = "[z_compensate] pa_clr_down_mm = %g" % self.pa_clr_down_mm
        start = start_bed_z - self.pa_clr_down_mm
        findings.check_axis(2, (start, start), "the nozzle is lowered onto the stroke at",
                            "the bed found at Z %.3f less %s" % (start_bed_z, down_key))
        end = end_bed_z + self.pa_clr_down_mm
        findings.check_axis(2, (end, end), "the stroke ends at",
                            "the bed found at Z %.3f plus %s" % (end_bed_z, down_key))
        away = end_bed_z + self.bed_max_err
        findings.check_axis(2, (away, away), "the move away after the stroke runs at",
                            "the bed found at Z %.3f plus [z_compensate] bed_max_err = %g"
                            % (end_bed_z, self.bed_max_err))
        if findings.texts:
            self._refuse("VQTWENTYMA_NOZZLE_CLEAR refused: %s" % "\n".join(findings.texts))

    # Run status
    def _run_command(self, name, body, gcmd):
        if self.running_command:
            return body(gcmd)
        self.running_command = name
        self._refusal = None
        try:
            body(gcmd)
        except BaseException as e:
            self.running_command = ""
            self.last_command = name
            if self._refusal is not None:
                self.last_result, self.last_message = "refused", self._refusal
            else:
                self.last_result = "failed"
                self.last_message = "" if not isinstance(e, Exception) else str(e)
            raise
        self.running_command = ""
        self.last_command, self.last_result, self.last_message = name, "done", ""

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
        return {'auto_alignment_status': self.auto_alignment_status,
                'running_command': self.running_command, 'last_command': self.last_command,
                'last_result': self.last_result, 'last_message': self.last_message,
                'last_z_offset': self.last_z_offset, 'saved_z_offset': self.saved_z_offset,
                'last_point_offsets': list(self.last_point_offsets),
                'last_point_spread': self.last_point_spread,
                'last_remeasurements': self.last_remeasurements}

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
        self.z_offset_move = found = self.printer.lookup_object('gcode_move').homing_position[2]
        self._send_gcode_z_offset_adjust(0 - self.z_offset_move)
        self.z_offset_move = 0
        return found

    def _restore_gcode_z_offset(self, z_offset):
        now = self.printer.lookup_object('gcode_move').homing_position[2]
        self._send_gcode_z_offset_adjust(z_offset - now)

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

    def _read_finite_parameter(self, gcmd, name, default):
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
        if not math.isfinite(sz) or not math.isfinite(ez):
            self.ck_and_raise_error(True, PR_ERR_CODE_Z_OFFSET_CALIBRATION)
        self._check_stroke_heights(sz, ez)

        self.move([sx, sy, self.bed_max_err], self.rdy_xy_spd)
        self.move([sx, sy + 5, sz - self.pa_clr_down_mm], self.rdy_z_spd)
        self.set_hot_temps(hot_rub_temp, True, RUB_TOLERANCE)
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

    def _read_offset_limits(self, gcmd):
        def refuse(name, rule):
            raise self.printer.command_error("Error on '%s': %s %s"
                                             % (gcmd.get_commandline(), name, rule))

        def distance(name, configured):
            value = self._read_finite_parameter(gcmd, name, configured)
            if value < 0:
                refuse(name, "must have minimum of 0")
            return value
        max_change = distance("MAX_OFFSET_CHANGE", self.max_offset_change)
        tolerance = distance("POINT_TOLERANCE", self.point_tolerance)
        retries = self._read_finite_parameter(gcmd, "POINT_RETRIES", float(self.point_retries))
        if retries != math.trunc(retries):
            refuse("POINT_RETRIES", "must be a whole number")
        if retries < 0:
            refuse("POINT_RETRIES", "must have minimum of 0")
        if retries > MAX_POINT_RETRIES:
            refuse("POINT_RETRIES", "must have maximum of %d" % MAX_POINT_RETRIES)
        return max_change, tolerance, int(retries)

    def _read_wipe_temperatures(self, gcmd):
        return [self._read_finite_parameter(gcmd, name, default) for name, default in [
            ("HOT_START_TEMP", self.hot_start_temp), ("HOT_RUB_TEMP", self.hot_rub_temp),
            ("HOT_END_TEMP", self.hot_end_temp), ("BED_ADDTEMP", self.bed_add_temp)]]

    def cmd_VQ20MA_NOZZLE_CLEAR(self, gcmd):
        self._run_command("VQTWENTYMA_NOZZLE_CLEAR", self._clear_nozzle, gcmd)

    def _clear_nozzle(self, gcmd):
        printer = self.printer
        self.TEST_SWAP()
        temps = self._read_wipe_temperatures(gcmd)
        self._preflight("VQTWENTYMA_NOZZLE_CLEAR", True, False, temps)
        self.bed_mesh = printer.lookup_object('bed_mesh')
        self.toolhead = printer.lookup_object('toolhead')
        self.pheaters = printer.lookup_object('heaters')
        self.heater_hot = printer.lookup_object('extruder').heater
        self.heater_bed = printer.lookup_object('heater_bed').heater
        self.vq20ma_clear_nozzle(*temps)

    def cmd_Z_OFFSET_CALIBRATION(self, gcmd):
        self._run_command("Z_OFFSET_CALIBRATION", self._calibrate, gcmd)

    def _measure_point_offsets(self, gcmd, now_pos, z_offset_old):
        printer = self.printer
        tensink = self.tensink
        offset = self.noz_pos_offset
        pr_pos_x = self._rng.uniform(offset[0], offset[1])
        pr_pos_y = self._rng.uniform(offset[0], offset[1])
        cx, cy = self.noz_pos_center
        pr_pos = [(cx + pr_pos_x, cy + pr_pos_y), (cx - pr_pos_x, cy - pr_pos_y)]
        bl_data, pr_data, z_offset = [], [], []
        for px, py in pr_pos:
            self.move([px - self.bl_offset[0], py - self.bl_offset[1], BED_PROBE_START_Z,
                       now_pos[3]], 100)
            bl_data.append(run_probe(printer.lookup_object('probe'), gcmd))
            tensink.move([px, py, self.vs_start_z_pos, now_pos[3]], 100)
            tensink.get_mm_per_step()
            pr_data.append(tensink.run_step_tensink(self.g29_down_min_z, 0, False,
                                                    self.pr_probe_cnt, self.pr_probe_cnt,
                                                    True))
            z_offset.append(bl_data[-1] - pr_data[-1])
        for i in range(2):
            self.pnt_msg("bl_data[%d]= %f, pr_data[%d] = %f, z_offset[%d] = %f"
                         % (i, bl_data[i] - z_offset_old, i, pr_data[i] - z_offset_old, i,
                            z_offset[i]))
        return z_offset

    def _calibrate(self, gcmd):
        max_change, tolerance, retries = self._read_offset_limits(gcmd)
        self._preflight("Z_OFFSET_CALIBRATION", False, True, (
            self.hot_start_temp, self.hot_rub_temp, self.hot_end_temp, self.bed_add_temp))
        printer = self.printer
        gcode = self.gcode
        command = self.running_command
        self.auto_alignment_status = 4
        bed_mesh = self.bed_mesh = printer.lookup_object('bed_mesh')
        toolhead = self.toolhead = printer.lookup_object('toolhead')
        mesh = bed_mesh.get_mesh()
        bed_mesh.set_mesh(None)
        found_gcode_z_offset = self._cancel_gcode_z_offset()
        if command == "Z_OFFSET_CALIBRATION":
            self._start_gcode_z_offset = found_gcode_z_offset
        now_pos = toolhead.get_position()
        z_offset_old = probe_z_offset(printer.lookup_object('probe'))

        self.last_remeasurements = 0
        while True:
            z_offset = self._measure_point_offsets(gcmd, now_pos, z_offset_old)
            z_offset_new = (z_offset[0] + z_offset[1]) / 2 - self.tri_expand_mm
            spread = abs(z_offset[0] - z_offset[1])
            self.pnt_msg("z_offset_new = %f " % z_offset_new)
            if math.isfinite(z_offset_new):
                self.last_z_offset = z_offset_new
                self.last_point_offsets = [z_offset[0], z_offset[1]]
                self.last_point_spread = spread
            points_agree = tolerance == 0 or spread <= tolerance
            if (not math.isfinite(z_offset_new) or z_offset_new < 0 or points_agree
                    or self.last_remeasurements == retries):
                break
            self.last_remeasurements += 1
            self.pnt_msg("the points' offsets differ by %f mm, measuring them again" % spread)

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

        def refuse_implausible(why):
            self.z_offset_move = 0
            self._restore_gcode_z_offset(self._start_gcode_z_offset)
            bed_mesh.set_mesh(mesh)
            self._refuse("%s refused: %s" % (command, why))
        if tolerance != 0 and spread > tolerance:
            refuse_implausible(
                "the two points' offsets %f and %f differ by %f mm, more than %s; the points "
                "were measured again %d time%s (%s)"
                % (z_offset[0], z_offset[1], spread,
                   setting_source(tolerance, self.point_tolerance, "point_tolerance",
                                  "POINT_TOLERANCE"),
                   self.last_remeasurements, "" if self.last_remeasurements == 1 else "s",
                   setting_source(retries, self.point_retries, "point_retries",
                                  "POINT_RETRIES")))
        change = abs(z_offset_new - z_offset_old)
        if max_change != 0 and change > max_change:
            refuse_implausible(
                "the new offset %f lies %f mm from the probe's z_offset %f, more than %s"
                % (z_offset_new, change, z_offset_old,
                   setting_source(max_change, self.max_offset_change, "max_offset_change",
                                  "MAX_OFFSET_CHANGE")))

        gcode.run_script_from_command("Z_OFFSET_APPLY_PROBE")
        gcode.run_script_from_command("CXSAVE_CONFIG")
        self.saved_z_offset = z_offset_new
        bed_mesh.set_mesh(mesh)
        self.auto_alignment_status = 5

    def cmd_Z_OFFSET_AUTO(self, gcmd):
        self._run_command("Z_OFFSET_AUTO", self._z_offset_auto, gcmd)

    def _z_offset_auto(self, gcmd):
        printer = self.printer
        self.TEST_SWAP()
        self._read_offset_limits(gcmd)
        self._preflight("Z_OFFSET_AUTO", True, True, self._read_wipe_temperatures(gcmd))
        self._start_gcode_z_offset = self._cancel_gcode_z_offset()
        self.cmd_VQ20MA_NOZZLE_CLEAR(gcmd)
        self.cmd_Z_OFFSET_CALIBRATION(gcmd)
        printer.lookup_object('configfile').cmd_CXSAVE_CONFIG(gcmd)


def load_config(config):
    return ZCompensateInitWrapper(config)
