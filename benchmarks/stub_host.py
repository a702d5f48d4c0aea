"""A host that answers every call the module makes at once, with fixed
answers, so that a benchmark sees the module's own cost and nothing else.
Fields are set on the instances, as klippy's objects set theirs in their
constructors: the interpreter reads and writes those faster than class
attributes, and the floor should be what a printer's host gives."""
import math

FULL_SECTION = {
    'tri_wave_ip': None, 'tri_expand_mm': 0.05, 'g29_down_min_z': 25.,
    'z_offset_cex_axis': 3., 'vs_start_z_pos': 3., 'show_msg': False,
    'bl_offset': [-20., 5.], 'noz_pos_center': [117.5, 117.5], 'noz_pos_offset': [5., 15.],
    'pumpback_mm': 5., 'pr_probe_cnt': 5, 'pr_clear_probe_cnt': 5, 'type_nozz': 0,
    'use_adc': False, 'hot_start_temp': 140., 'hot_end_temp': 140., 'hot_rub_temp': 200.,
    'bed_add_temp': 60., 'pa_clr_dis_mm': 30., 'pa_clr_down_mm': -0.15,
    'clr_noz_start_x': 20., 'clr_noz_start_y': 20., 'clr_noz_len_x': 50.,
    'clr_noz_len_y': 60., 'clr_xy_spd': 2., 'tri_min_hold': 2000, 'tri_max_hold': 6000,
    'bed_max_err': 5., 'pa_clr_dis_mm_x': 0., 'pa_clr_dis_mm_y': 30., 'speed': 10.,
    'lift_speed': 10., 'rdy_xy_spd': 250., 'rdy_z_spd': 10., 'acc_ctl_mm': 0.5,
    'low_spd_nul': 5, 'send_step_duty': 8, 'run_max_velocity': 500.,
    'run_max_accel': 500., 'run_max_z_velocity': 20., 'run_max_z_accel': 200.,
}


class StubObject:
    """A host object; the recorder follows these, and only these."""


class ConfigError(Exception):
    pass


class CommandError(Exception):
    pass


class Config(StubObject):
    error = ConfigError

    def __init__(self, printer, options):
        self.printer = printer
        self.options = options

    def get_name(self):
        return 'z_compensate'

    def get_printer(self):
        return self.printer

    def get(self, key, default):
        return self.options.get(key, default)

    def getfloat(self, key, default=None, minval=None, maxval=None):
        return float(self.options.get(key, default))

    def getint(self, key, default=None, minval=None, maxval=None):
        return int(self.options.get(key, default))

    def getboolean(self, key, default=None):
        return bool(self.options.get(key, default))

    def getfloatlist(self, key, count=None):
        return list(self.options[key])


class Reactor(StubObject):
    def __init__(self):
        self.clock = 0.

    def monotonic(self):
        return self.clock

    def pause(self, waketime):
        self.clock = max(self.clock, waketime)
        return self.clock


class Command(StubObject):
    """A command given without parameters: each takes its default."""

    def __init__(self):
        self.params = {}

    def get_command_parameters(self):
        return self.params

    def get_float(self, name, default):
        return default

    def get_commandline(self):
        return 'Z_OFFSET_AUTO'


class GCode(StubObject):
    def register_command(self, command, handler, desc=None):
        pass

    def run_script_from_command(self, script):
        pass

    def respond_info(self, msg, log=True):
        pass


class Kinematics(StubObject):
    def __init__(self):
        self.max_z_velocity = 10.
        self.max_z_accel = 100.

    def get_status(self, eventtime):
        return {'axis_minimum': (0., 0., -2., 0.), 'axis_maximum': (235., 235., 250., 0.)}


class Toolhead(StubObject):
    def __init__(self):
        self.max_velocity = 300.
        self.max_accel = 3000.
        self.kin = Kinematics()

    def get_kinematics(self):
        return self.kin

    def wait_moves(self):
        pass

    def get_last_move_time(self):
        return 0.

    def get_position(self):
        return [100., 100., 5., 0.]

    def set_position(self, pos, homing_axes=()):
        pass


class GCodeMove(StubObject):
    def __init__(self):
        self.homing_position = [0., 0., 0., 0.]


class BedMesh(StubObject):
    def __init__(self):
        self.mesh = object()

    def get_mesh(self):
        return self.mesh

    def set_mesh(self, mesh):
        pass


class Heater(StubObject):
    def __init__(self, max_temp):
        self.target_temp = self.smoothed_temp = 0.
        self.min_temp = 0.
        self.max_temp = max_temp
        self.min_extrude_temp = 170.


class HeaterOwner(StubObject):
    def __init__(self, max_temp):
        self.heater = Heater(max_temp)


class Fan(StubObject):
    pass


class Heaters(StubObject):
    def set_temperature(self, heater, temp, wait=False):
        heater.target_temp = heater.smoothed_temp = temp


class Probe(StubObject):
    def __init__(self):
        self.z_offset = 1.8

    def run_probe(self, gcmd):
        return [100., 100., 1.85]


class ConfigFile(StubObject):
    def cmd_CXSAVE_CONFIG(self, gcmd):
        pass


class McuCommand(StubObject):
    def __init__(self, answer=None):
        self.answer = answer

    def send(self, data):
        return self.answer(data) if self.answer else None


class Tensink(StubObject):
    def __init__(self):
        self.pres_oid = 1
        self.step_oid = 2
        self.tri_send_ms = 10
        self.step_res = [0] * 32
        self.level = 0
        self.start_step_tensink_cmd = McuCommand()
        self.write_swap_tensink_cmd = McuCommand(self._write)
        self.read_swap_tensink_cmd = McuCommand(lambda data: {'sta': self.level})

    def _write(self, data):
        self.level = data[1]

    def run_step_tensink(self, *args):
        return 0.05

    def move(self, pos, speed):
        pass

    def get_mm_per_step(self):
        return 0.0025

    def enable_steps(self):
        pass

    def disable_steps(self):
        pass

    def get_step_cnts(self, down_min_z, down_speed):
        return 1000, 250, 10


class Printer(StubObject):
    command_error = CommandError

    def __init__(self):
        self.reactor = Reactor()
        self.objects = {
            'gcode': GCode(), 'toolhead': Toolhead(), 'gcode_move': GCodeMove(),
            'bed_mesh': BedMesh(), 'heaters': Heaters(), 'extruder': HeaterOwner(300.),
            'heater_bed': HeaterOwner(110.), 'fan': Fan(), 'probe': Probe(),
            'configfile': ConfigFile(), 'tensink_v2': Tensink()}
        # klippy's own start arguments: no fixed seed for the random draws
        self.start_args = {'config_file': 'printer.cfg', 'start_reason': 'startup'}

    def get_start_args(self):
        return self.start_args

    def get_reactor(self):
        return self.reactor

    def is_shutdown(self):
        return False

    def invoke_shutdown(self, msg):
        pass

    def register_event_handler(self, event, callback):
        pass

    def lookup_object(self, name, default=KeyError):
        if default is KeyError:
            return self.objects[name]
        return self.objects.get(name, default)


def printer_and_config():
    printer = Printer()
    return printer, Config(printer, dict(FULL_SECTION))


def is_literal(value):
    if value is None or isinstance(value, (bool, int, str)):
        return True
    if isinstance(value, float):
        return math.isfinite(value)
    if isinstance(value, (list, tuple)):
        return all(is_literal(v) for v in value)
    if isinstance(value, dict):
        return all(is_literal(k) and is_literal(v) for k, v in value.items())
    return False
