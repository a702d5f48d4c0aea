"""One rule for every value, whichever way it comes in (a key of the
section, an attribute set from Python, a command parameter); host errors
that pass unchanged; texts that hold whatever the user typed; and a class
that always finds the module that made it."""
import json
import math
import re
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, strategies as st

from generated import budget
from in_command import COMMAND, call_in_command, error_in_command

WIPE_AREA = """
clr_noz_start_x: 20
clr_noz_start_y: 20
clr_noz_len_x: 50
clr_noz_len_y: 60
"""

# (key, attribute, parameter, command): the settings a user can give all three ways.
THREE_WAYS = [
    ("hot_start_temp", "hot_start_temp", "HOT_START_TEMP", "VQTWENTYMA_NOZZLE_CLEAR"),
    ("hot_rub_temp", "hot_rub_temp", "HOT_RUB_TEMP", "VQTWENTYMA_NOZZLE_CLEAR"),
    ("hot_end_temp", "hot_end_temp", "HOT_END_TEMP", "VQTWENTYMA_NOZZLE_CLEAR"),
    ("bed_add_temp", "bed_add_temp", "BED_ADDTEMP", "VQTWENTYMA_NOZZLE_CLEAR"),
    ("max_offset_change", "max_offset_change", "MAX_OFFSET_CHANGE", "Z_OFFSET_CALIBRATION"),
    ("point_tolerance", "point_tolerance", "POINT_TOLERANCE", "Z_OFFSET_CALIBRATION"),
    ("point_retries", "point_retries", "POINT_RETRIES", "Z_OFFSET_CALIBRATION"),
]
# What each of them must be, as every way words it.
RULES = {
    "max_offset_change": [(lambda v: v >= 0, "must have minimum of 0")],
    "point_tolerance": [(lambda v: v >= 0, "must have minimum of 0")],
    "point_retries": [(lambda v: v == int(v), "must be a whole number"),
                      (lambda v: v >= 0, "must have minimum of 0"),
                      (lambda v: v <= 10, "must have maximum of 10")],
}
HOSTILE = st.sampled_from([math.nan, math.inf, -math.inf, -1.0, -0.01, 0.0, 1.5, 11.0])


def broken_rule(key, value):
    """The first rule `value` breaks, or None."""
    if not math.isfinite(value):
        return "must be a finite number"
    for keeps, text in RULES.get(key, []):
        if not keeps(value):
            return text
    return None


def written(value):
    """As a user types it: whole numbers without a fraction."""
    return "%d" % value if math.isfinite(value) and value == int(value) else repr(value)


@budget(100)
@given(setting=st.sampled_from(THREE_WAYS), value=HOSTILE)
def test_a_value_is_refused_by_the_same_rule_whichever_way_it_comes(
        make_printer, module_of, setting, value):
    key, attribute, parameter, command = setting
    rule = broken_rule(key, value)
    text = written(value)

    # A key: klippy's own bounds of a configured value come first; the
    # module's rule refuses what they let through.
    try:
        make_printer(WIPE_AREA + "%s: %s" % (key, text))
    except Exception as error:
        message = str(error)
    else:
        message = None
    if rule is not None:
        assert message is not None
        if not message.startswith("Unable to parse"):
            assert message.startswith("Option '%s' in section 'z_compensate' must" % key)

    # Without a bed mesh both commands stop at their check of the set-up,
    # right after they have read their parameters.
    printer = make_printer(WIPE_AREA, without=("bed_mesh",))
    module = module_of(printer)
    # An attribute: refused by name and value, the old value kept.
    before = getattr(module, attribute)
    whole = key == "point_retries"
    try:
        setattr(module, attribute, int(value) if whole and rule is None else value)
    except (ValueError, TypeError) as error:
        assert rule is not None
        if isinstance(error, ValueError):
            assert str(error) == "%s = %r: %s" % (attribute, value, rule)
        assert getattr(module, attribute) == before
    else:
        assert rule is None

    # A parameter: the host's words for a refused parameter.
    line = "%s %s=%s" % (command, parameter, text)
    try:
        printer.run_gcode(line)
    except printer.command_error as error:
        message = str(error)
    else:
        message = None
    if rule is None:
        assert message.startswith(command + " refused: ")
    else:
        assert message == "Error on '%s': %s %s" % (line, parameter, rule)
    assert printer.trace.of_kind("heater_target") == []


@pytest.mark.parametrize("attribute, value", [
    ("noz_pos_center", [math.nan, 110]), ("noz_pos_offset", [math.nan, 6]),
    ("bl_offset", [0, math.inf]), ("vs_start_z_pos", math.nan),
    ("tri_expand_mm", -math.inf), ("bed_max_err", math.nan)])
def test_a_value_that_no_move_can_take_is_refused_as_an_attribute(
        make_printer, module_of, attribute, value):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    before = getattr(module, attribute)
    with pytest.raises(ValueError, match=r"^%s = .*: must be a finite number$" % attribute):
        setattr(module, attribute, value)
    assert getattr(module, attribute) == before
    printer.run_gcode("Z_OFFSET_CALIBRATION")
    assert module.get_status(0.)["last_result"] == "done"


class SecondLengthFails(Exception):
    pass


class Pair:
    """Two numbers whose length can be asked once."""

    def __init__(self):
        self.asked = 0

    def __len__(self):
        self.asked += 1
        if self.asked > 1:
            raise SecondLengthFails("asked twice")
        return 2

    def __getitem__(self, index):
        if index > 1:
            raise IndexError(index)
        return 1.0


class HostProxy:
    def __init__(self, target, **overrides):
        self._target = target
        self.__dict__.update(overrides)

    def __getattr__(self, name):
        return getattr(self._target, name)


def test_a_list_from_the_host_is_measured_once(printer, module_of):
    """An error the host raises while a list is measured is the host's own,
    never replaced by one of the module's."""
    module = module_of(printer)
    config = module.config
    gcode = HostProxy(printer.lookup_object("gcode"), register_command=lambda *a, **k: None)
    host = HostProxy(printer, register_event_handler=lambda *args: None,
                     lookup_object=lambda name, *default: gcode if name == "gcode"
                     else printer.lookup_object(name, *default))
    proxy = HostProxy(config, get_printer=lambda: host,
                      getfloatlist=lambda key, count: Pair())
    made = type(module)(proxy)
    assert made.bl_offset == [1.0, 1.0]


def test_a_nul_in_a_command_line_is_quoted_whole(make_printer):
    printer = make_printer(WIPE_AREA)
    line = "Z_OFFSET_CALIBRATION POINT_RETRIES=-1 COMMENT=a\0b"
    with pytest.raises(printer.command_error) as refused:
        printer.run_gcode(line)
    assert str(refused.value) == "Error on '%s': POINT_RETRIES must have minimum of 0" % line


CLASS_KEEPS_ITS_MODULE = textwrap.dedent("""
    import gc, json, sys, weakref
    sys.path.insert(0, sys.argv[1])
    import extras.z_compensate_wrapper as wrapper
    cls = wrapper.ZCompensateInitWrapper
    result = {}
    try:
        type("Derived", (cls,), {})
        result["subclass"] = "made"
    except TypeError:
        result["subclass"] = "refused"
    # Whatever a Python caller sets on the class, an object uses no other
    # module's state: construction fails as a Python error.
    original = cls.__dict__.get("_defining_module")
    cls._defining_module = sys
    plain = None
    try:
        plain = cls.__new__(cls)
        plain.__init__(None)
    except Exception as error:
        result["made"] = "refused"
    if original is None:
        del cls._defining_module
    else:
        cls._defining_module = original
    # An object that its own module refers to goes with the module.
    kept = cls.__new__(cls)
    wrapper.kept = kept
    gone = weakref.ref(kept)
    del kept, plain, original, cls, wrapper
    for name in [name for name in sys.modules if "z_compensate_wrapper" in name]:
        del sys.modules[name]
    sys.modules["extras"].__dict__.pop("z_compensate_wrapper", None)
    gc.collect()
    result["freed"] = gone() is None
    print(json.dumps(result))
""")


def test_the_class_keeps_its_module_and_goes_with_it(klippy_dir):
    done = subprocess.run([sys.executable, "-c", CLASS_KEEPS_ITS_MODULE, klippy_dir],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == {"subclass": "refused", "made": "refused", "freed": True}


# Each direct call that acts on numbers, with values it acts on at once.
DIRECT_CALLS = {
    "vq20ma_clear_nozzle": [("hot_start_temp", 140), ("hot_rub_temp", 200),
                            ("hot_end_temp", 140), ("bed_add_temp", 60)],
    "delay_s": [("delay_s", 0.01)],
    "move": [("pos", [30.0, 30.0, 5.0]), ("speed", 10)],
    "set_hot_temps": [("temp", 200)],
    "set_bed_temps": [("temp", 60)],
}
# What a call that changes the printer leaves in the trace.
ACTS = {"gcode", "gcode_offset", "heater_target", "bed_mesh", "set_position", "fan", "homing",
        "probe", "tensink", "stepping_run", "config_set", "config_save", "shutdown"}
# Numbers no call can act on, and an integer no float can hold.
UNUSABLE = [math.nan, math.inf, -math.inf, 10**400]


def hostile(value, bad):
    return [coordinate if i else bad for i, coordinate in enumerate(value)] \
        if isinstance(value, list) else bad


@budget(60)
@given(call=st.sampled_from(sorted(DIRECT_CALLS)), data=st.data())
def test_a_direct_call_refuses_by_name_before_it_acts(make_printer, module_of, call, data):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    for name in ("toolhead", "bed_mesh", "heater_bed"):
        setattr(module, name, printer.lookup_object(name))
    module.pheaters = printer.lookup_object("heaters")
    module.heater_hot = printer.lookup_object("extruder").get_heater()
    parameters = DIRECT_CALLS[call]
    index = data.draw(st.integers(0, len(parameters) - 1))
    bad = data.draw(st.sampled_from(UNUSABLE))
    name = parameters[index][0]
    args = [hostile(value, bad) if i == index else value
            for i, (_, value) in enumerate(parameters)]
    start = len(printer.trace)

    refusal = error_in_command(printer, lambda: getattr(module, call)(*args))

    assert isinstance(refusal, (ValueError, OverflowError))
    assert re.match(r"%s\b" % name, str(refusal))
    assert [event.kind for event in printer.trace[start:]
            if event.kind in ACTS and event.data.get("line") != COMMAND] == []


# The attributes whose keys' bounds the procedures rely on; two keys have other names.
BOUNDED_ATTRIBUTES = """tri_expand_mm g29_down_min_z z_offset_cex_axis vs_start_z_pos pumpback_mm
    pr_probe_cnt pr_clear_probe_cnt type_nozz pa_clr_dis_mm pa_clr_down_mm clr_noz_start_x
    clr_noz_start_y clr_noz_len_x clr_noz_len_y clr_xy_spd tri_min_hold bed_max_err
    pa_clr_dis_mm_x pa_clr_dis_mm_y tri_z_down_spd tri_z_up_spd rdy_xy_spd acc_ctl_mm
    low_spd_nul run_max_velocity run_max_accel run_max_z_velocity run_max_z_accel""".split()
KEY_OF = {"tri_z_down_spd": "speed", "tri_z_up_spd": "lift_speed"}
BOUNDARIES = [-600001, -11, -10, -5, -1.5, -1, -0.3, -0.2, 0, 0.05, 0.1, 0.5, 1, 2, 5, 10,
              10.5, 11, 50, 80, 81, 100, 101, 500, 501, 1000, 1001, 5000, 5001, 50000, 50001,
              200000, 200001, 600001]


@budget(150)
@given(attribute=st.sampled_from(BOUNDED_ATTRIBUTES), value=st.sampled_from(BOUNDARIES))
def test_an_attribute_takes_the_values_its_key_takes(make_printer, module_of, attribute, value):
    key = KEY_OF.get(attribute, attribute)
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    whole = isinstance(getattr(module, attribute), int)
    if whole and value != int(value):
        return
    value = int(value) if whole else float(value)
    try:
        make_printer(WIPE_AREA + "%s: %s" % (key, value))
    except Exception as error:
        refused = str(error)
    else:
        refused = None

    if refused is not None and "Option '%s'" % key not in refused:
        return  # another key's bound, drawn from this one
    if refused is None:
        setattr(module, attribute, value)
        assert getattr(module, attribute) == value
        return
    before = getattr(module, attribute)
    with pytest.raises(ValueError) as attribute_refused:
        setattr(module, attribute, value)
    assert str(attribute_refused.value) == "%s = %r: %s" % (
        attribute, value, "must " + refused.split("' must ", 1)[1])
    assert getattr(module, attribute) == before


def nan_gcode_offset(printer, monkeypatch):
    # klippy takes the line as it is.
    printer.run_gcode("SET_GCODE_OFFSET Z=nan")


def nan_position(printer, monkeypatch):
    # Answered once, to the command's first question: klippy's own code,
    # which asks too, cannot take it.
    toolhead = printer.lookup_object("toolhead")
    real = toolhead.get_position

    def get_position():
        monkeypatch.setattr(toolhead, "get_position", real)
        return [30.0, math.nan, 5.0, 0.0]
    monkeypatch.setattr(toolhead, "get_position", get_position)


@pytest.mark.parametrize("host_value", [nan_gcode_offset, nan_position],
                         ids=["G-code offset", "position"])
@pytest.mark.parametrize("command", ["Z_OFFSET_CALIBRATION", "Z_OFFSET_AUTO",
                                     "VQTWENTYMA_NOZZLE_CLEAR"])
def test_a_host_value_that_is_no_number_is_refused_before_anything_is_sent(
        make_printer, monkeypatch, host_value, command):
    printer = make_printer(WIPE_AREA)
    host_value(printer, monkeypatch)
    start = len(printer.trace)

    with pytest.raises(printer.command_error, match="^%s refused: the " % command):
        printer.run_gcode(command)

    acted = [event for event in printer.trace[start:]
             if event.kind in ACTS - {"tensink", "gcode"}
             or (event.kind == "gcode" and event.data["line"] != command)]
    assert acted == []
