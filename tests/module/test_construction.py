"""Construction from the [z_compensate] section: keys, defaults, bounds and
klippy's refusals, command registration, attributes and status."""
import configparser

import pytest

import printers
from klippysim import configfile, gcode as sim_gcode

SECTION = "z_compensate"
REQUIRED = "bl_offset: -20, 5\nnoz_pos_center: 117.5, 117.5\nnoz_pos_offset: 5, 15\n"

# (getter, key, default, minval, maxval, attribute) in reading order, as
# klippy must receive them; bounds are written as klippy prints them.
# None as default: required.  Defaults that depend on earlier keys are
# given for a section with only the required keys.
KEYS = [
    ("get", "tri_wave_ip", None, None, None, "tri_wave_ip"),
    ("getfloat", "tri_expand_mm", 0.05, -0.2, 0.3, "tri_expand_mm"),
    ("getfloat", "g29_down_min_z", 25, 5, 500, "g29_down_min_z"),
    ("getfloat", "z_offset_cex_axis", 3, 1, 10, "z_offset_cex_axis"),
    ("getfloat", "vs_start_z_pos", 3, 0, 10, "vs_start_z_pos"),
    ("getboolean", "show_msg", False, None, None, "show_msg"),
    ("getfloatlist", "bl_offset", None, None, None, "bl_offset"),
    ("getfloatlist", "noz_pos_center", None, None, None, "noz_pos_center"),
    ("getfloatlist", "noz_pos_offset", None, None, None, "noz_pos_offset"),
    ("getfloat", "pumpback_mm", 5, 0, 80, "pumpback_mm"),
    ("getint", "pr_probe_cnt", 5, 1, 10, "pr_probe_cnt"),
    ("getint", "pr_clear_probe_cnt", 5, 1, 10, "pr_clear_probe_cnt"),
    ("getint", "type_nozz", 0, 0, 5, "type_nozz"),
    ("getboolean", "use_adc", False, None, None, "use_adc"),
    ("getfloat", "hot_start_temp", 140, 80, 200, "hot_start_temp"),
    ("getfloat", "hot_end_temp", 140, 80, 200, "hot_end_temp"),
    ("getfloat", "hot_rub_temp", 200, 180, 300, "hot_rub_temp"),
    ("getfloat", "bed_add_temp", 60, 45, 100, "bed_add_temp"),
    ("getfloat", "pa_clr_dis_mm", 30, 2, 100, "pa_clr_dis_mm"),
    ("getfloat", "pa_clr_down_mm", -0.15, -1, 1, "pa_clr_down_mm"),
    ("getfloat", "clr_noz_start_x", 0, -10, 1000, "clr_noz_start_x"),
    ("getfloat", "clr_noz_start_y", 0, 0, 1000, "clr_noz_start_y"),
    ("getfloat", "clr_noz_len_x", 0, -10, 1000, "clr_noz_len_x"),
    ("getfloat", "clr_noz_len_y", 0, -10, 1000, "clr_noz_len_y"),
    ("getfloat", "clr_xy_spd", 2.0, 0.1, 10, "clr_xy_spd"),
    ("getint", "tri_min_hold", 2000, 1, 200000, "tri_min_hold"),
    ("getint", "tri_max_hold", 6000, 2000, 600000, "tri_max_hold"),
    ("getfloat", "bed_max_err", 5, 1, 10, "bed_max_err"),
    ("getfloat", "pa_clr_dis_mm_x", 0, 0, 100, "pa_clr_dis_mm_x"),
    ("getfloat", "pa_clr_dis_mm_y", 30, 0, 100, "pa_clr_dis_mm_y"),
    ("getfloat", "speed", 10, 0.1, 100, "tri_z_down_spd"),
    ("getfloat", "lift_speed", 10.0, 0.1, 100, "tri_z_up_spd"),
    ("getfloat", "rdy_xy_spd", 250, 1, 1000, "rdy_xy_spd"),
    ("getfloat", "rdy_z_spd", 10.0, 1, 50, "rdy_z_spd"),
    ("getfloat", "acc_ctl_mm", 0.5, 0, 10, "acc_ctl_mm"),
    ("getint", "low_spd_nul", 5, 1, 10, "low_spd_nul"),
    ("getint", "send_step_duty", 16, 0, 10, "send_step_duty"),
    ("getfloat", "run_max_velocity", 500, 1, 5000, "run_max_velocity"),
    ("getfloat", "run_max_accel", 500, 1, 50000, "run_max_accel"),
    ("getfloat", "run_max_z_velocity", 20, 1, 5000, "run_max_z_velocity"),
    ("getfloat", "run_max_z_accel", 200, 1, 50000, "run_max_z_accel"),
    ("getfloat", "max_offset_change", 1.0, 0, None, "max_offset_change"),
    ("getfloat", "point_tolerance", 0.1, 0, None, "point_tolerance"),
    ("getint", "point_retries", 1, 0, 10, "point_retries"),
    ("get", "on_error_gcode", None, None, None, "on_error_gcode"),
]
BOUNDED = [(key, minval, maxval) for _, key, _, minval, maxval, _ in KEYS
           if minval is not None and maxval is not None]
COMMANDS = [
    ("Z_OFFSET_CALIBRATION", "cmd_Z_OFFSET_CALIBRATION", "Z offset calibration"),
    ("Z_OFFSET_AUTO", "cmd_Z_OFFSET_AUTO", "Z offset auto"),
    ("VQTWENTYMA_NOZZLE_CLEAR", "cmd_VQ20MA_NOZZLE_CLEAR", "Clear the nozzle on bed."),
]


def refusal(make_printer, options, **kwargs):
    with pytest.raises(configparser.Error) as refused:
        make_printer(options, **kwargs)
    return str(refused.value)


@pytest.fixture
def host_calls(monkeypatch):
    """Every getter call on the module's section and every command
    registration, in the order klippy receives them."""
    calls = []

    def spy_getter(name):
        original = getattr(configfile.ConfigWrapper, name)

        def getter(self, option, *args, **kwargs):
            if self.get_name() == SECTION:
                calls.append((name, option, args, kwargs))
            return original(self, option, *args, **kwargs)
        monkeypatch.setattr(configfile.ConfigWrapper, name, getter)

    for name in ("get", "getfloat", "getint", "getboolean", "getfloatlist", "getlist",
                 "getintlist", "getchoice"):
        spy_getter(name)
    original_register = sim_gcode.GCodeDispatch.register_command

    def register_command(self, cmd, func, *args, **kwargs):
        if cmd in [name for name, _, _ in COMMANDS]:
            calls.append(("register_command", cmd, (func,) + args, kwargs))
        return original_register(self, cmd, func, *args, **kwargs)
    monkeypatch.setattr(sim_gcode.GCodeDispatch, "register_command", register_command)
    return calls


def test_keys_are_read_in_order_with_their_getters_and_bounds(make_printer, module_of,
                                                              host_calls):
    module = module_of(make_printer(""))

    getter_calls = [call for call in host_calls if call[0] != "register_command"]
    assert [(getter, key) for getter, key, *_ in getter_calls] == \
        [(getter, key) for getter, key, *_ in KEYS]
    for (getter, key, args, kwargs), (_, _, default, minval, maxval, _) in zip(getter_calls, KEYS):
        bounds = {name: kwargs[name] for name in ("minval", "maxval") if name in kwargs}
        expected = {name: value for name, value in (("minval", minval), ("maxval", maxval))
                    if value is not None}
        # repr tells 5 from 5.0: klippy prints the bound as it was given.
        assert {n: repr(v) for n, v in bounds.items()} == \
            {n: repr(v) for n, v in expected.items()}, key
        if getter == "getfloatlist":
            assert args == () and kwargs == {"count": 2}, key
        elif default is not None or getter == "get":
            assert args[:1] == (default,), key
        if key in ("tri_wave_ip", "low_spd_nul", "send_step_duty"):
            assert len(args) == 1, key  # the default is passed positionally

    # The commands are registered between z_offset_cex_axis and vs_start_z_pos,
    # with the object's own bound methods and their help texts as `desc`.
    keys_then_commands = [call[1] for call in host_calls]
    position = keys_then_commands.index("z_offset_cex_axis") + 1
    assert keys_then_commands[position:position + 3] == [name for name, _, _ in COMMANDS]
    for (_, command, args, kwargs), (_, handler, help_text) in zip(
            host_calls[position:position + 3], COMMANDS):
        assert args == (getattr(module, handler),)
        assert args[0].__self__ is module
        assert kwargs == {"desc": help_text}


def test_a_section_with_only_the_required_keys_takes_every_default(make_printer, module_of):
    module = module_of(make_printer(""))

    for getter, key, default, _, _, attribute in KEYS:
        if getter != "getfloatlist":
            assert getattr(module, attribute) == default, key
    assert module.bl_offset == [-20.0, 5.0]
    assert list(module.noz_pos_center) == [117.5, 117.5]
    assert list(module.noz_pos_offset) == [5.0, 15.0]
    assert isinstance(module.send_step_duty, int) and isinstance(module.tri_min_hold, int)


def test_working_state_starts_empty(make_printer, module_of):
    module = module_of(make_printer(""))

    assert module.shut_down is False
    assert module.z_offset_move == 0
    assert module.dbg_msg == {}
    assert module.auto_alignment_status == 0
    assert [module.sys_max_velocity, module.sys_max_accel, module.sys_max_z_velocity,
            module.sys_max_z_accel] == [0, 0, 0, 0]
    # Nothing looked up yet that only the commands fetch.
    for attribute in ("toolhead", "bed_mesh", "pheaters", "heater_hot", "heater_bed"):
        with pytest.raises(AttributeError, match=attribute):
            getattr(module, attribute)


@pytest.mark.parametrize("key,minval,maxval", BOUNDED, ids=[key for key, _, _ in BOUNDED])
def test_configured_values_outside_the_bounds_are_refused(make_printer, key, minval, maxval):
    below = refusal(make_printer, "%s: %s" % (key, minval - 1))
    above = refusal(make_printer, "%s: %s" % (key, maxval + 1))

    assert below == "Option '%s' in section '%s' must have minimum of %s" % (key, SECTION, minval)
    assert above == "Option '%s' in section '%s' must have maximum of %s" % (key, SECTION, maxval)


@pytest.mark.parametrize("key,minval,maxval", BOUNDED, ids=[key for key, _, _ in BOUNDED])
def test_values_on_the_bounds_are_accepted(make_printer, module_of, key, minval, maxval):
    attribute = {"speed": "tri_z_down_spd", "lift_speed": "tri_z_up_spd"}.get(key, key)
    for value in (minval, maxval):
        # tri_max_hold's minimum is the tri_min_hold in force.
        extra = "tri_min_hold: 1\n" if key == "tri_max_hold" else ""
        module = module_of(make_printer("%s%s: %s" % (extra, key, value)))
        assert getattr(module, attribute) == value


@pytest.mark.parametrize("options,expected", [
    ("use_adc: true", (3, 3072)),
    ("tri_min_hold: 5000", (5000, 6000)),
    # The default lies below the configured minimum and is used all the same.
    ("use_adc: true\ntri_min_hold: 5000", (5000, 3072)),
    ("tri_min_hold: 4000\ntri_max_hold: 4000", (4000, 4000)),
])
def test_hold_thresholds(make_printer, module_of, options, expected):
    module = module_of(make_printer(options))
    assert (module.tri_min_hold, module.tri_max_hold) == expected


def test_tri_max_hold_below_tri_min_hold_is_refused(make_printer):
    text = refusal(make_printer, "tri_min_hold: 5000\ntri_max_hold: 4000")
    assert text == "Option 'tri_max_hold' in section 'z_compensate' must have minimum of 5000"


@pytest.mark.parametrize("options,expected", [
    ("", (10, 10.0, 10.0)),
    ("speed: 30", (30, 30.0, 30.0)),
    # Inherited defaults are not range-checked: 80 would be refused as rdy_z_spd.
    ("speed: 80", (80, 80, 80)),
    ("lift_speed: 70", (10, 70, 70)),
    ("speed: 30\nlift_speed: 20", (30, 20, 20)),
    ("speed: 30\nrdy_z_spd: 40", (30, 30, 40)),
])
def test_speed_chain(make_printer, module_of, options, expected):
    module = module_of(make_printer(options))
    speeds = (module.tri_z_down_spd, module.tri_z_up_spd, module.rdy_z_spd)
    assert speeds == expected
    assert all(isinstance(speed, float) for speed in speeds[1:])


def test_configured_rdy_z_spd_above_its_maximum_is_refused(make_printer):
    assert refusal(make_printer, "rdy_z_spd: 80") == \
        "Option 'rdy_z_spd' in section 'z_compensate' must have maximum of 50"


@pytest.mark.parametrize("options,expected", [("", 16), ("send_step_duty: 10", 10),
                                              ("send_step_duty: 0", 0)])
def test_send_step_duty_default_lies_above_its_maximum(make_printer, module_of, options,
                                                       expected):
    assert module_of(make_printer(options)).send_step_duty == expected


def test_send_step_duty_configured_as_16_is_refused(make_printer):
    assert refusal(make_printer, "send_step_duty: 16") == \
        "Option 'send_step_duty' in section 'z_compensate' must have maximum of 10"


@pytest.mark.parametrize("key", ["bl_offset", "noz_pos_center", "noz_pos_offset"])
@pytest.mark.parametrize("values", ["1", "1, 2, 3"])
def test_lists_of_another_length_than_two_are_refused(make_printer, key, values):
    options = "\n".join(line if not line.startswith(key + ":") else "%s: %s" % (key, values)
                        for line in REQUIRED.splitlines())
    assert refusal(make_printer, options) == \
        "Option '%s' in section 'z_compensate' must have 2 elements" % key


def test_bl_offset_holds_the_configured_pair(make_printer, module_of):
    options = REQUIRED.replace("bl_offset: -20, 5", "bl_offset: 12.5, -3")
    assert module_of(make_printer(options)).bl_offset == [12.5, -3.0]


@pytest.mark.parametrize("key", ["bl_offset", "noz_pos_center", "noz_pos_offset"])
def test_missing_required_key_is_refused(make_printer, key):
    options = "\n".join(line for line in REQUIRED.splitlines() if not line.startswith(key))
    assert refusal(make_printer, options) == \
        "Option '%s' in section 'z_compensate' must be specified" % key


@pytest.mark.parametrize("option,key", [
    ("g29_down_min_z: deep", "g29_down_min_z"),
    ("pr_probe_cnt: 2.5", "pr_probe_cnt"),
    ("show_msg: sometimes", "show_msg"),
    ("use_adc: 2", "use_adc"),
])
def test_unparsable_values_are_refused(make_printer, option, key):
    assert refusal(make_printer, option) == \
        "Unable to parse option '%s' in section 'z_compensate'" % key


def test_unparsable_list_value_is_refused(make_printer):
    options = REQUIRED.replace("bl_offset: -20, 5", "bl_offset: -20, five")
    assert refusal(make_printer, options) == \
        "Unable to parse option 'bl_offset' in section 'z_compensate'"


@pytest.mark.parametrize("place", ["absent", "after the module"])
def test_pressure_probe_module_must_exist_before_construction(make_printer, host_calls, place):
    base = printers.BASE_CONFIG.replace("[tensink_v2]\n", "")
    if place == "absent":
        text = refusal(make_printer, "", base=base)
    else:
        # klippy builds objects in file order.
        module_then_probe = "\n[z_compensate]\n" + REQUIRED + "\n[tensink_v2]\n"
        text = refusal(make_printer, None, base=base, extra_sections=module_then_probe)
    assert text == "Unknown config object 'tensink_v2'"
    assert host_calls == []


@pytest.mark.parametrize("option,key", [
    ("g29_down_min_z: nan", "g29_down_min_z"),
    ("hot_rub_temp: nan", "hot_rub_temp"),
    ("speed: nan", "speed"),
    ("run_max_z_accel: NaN", "run_max_z_accel"),
])
def test_float_that_is_not_a_finite_number_is_refused(make_printer, option, key):
    assert refusal(make_printer, option) == \
        "Option '%s' in section 'z_compensate' must be a finite number" % key


@pytest.mark.parametrize("key", ["max_offset_change", "point_tolerance", "point_retries"])
@pytest.mark.parametrize("value,message", [
    ("-0.01", "must have minimum of 0"),
    ("-1", "must have minimum of 0"),
    ("loose", None),
    ("nan", "must be a finite number"),
    ("inf", "must be a finite number"),
])
def test_plausibility_limit_that_is_negative_or_no_finite_number_is_refused(
        make_printer, key, value, message):
    text = refusal(make_printer, "%s: %s" % (key, value))
    if message is None or (key == "point_retries" and value in ("-0.01", "nan", "inf")):
        # klippy's own words for what its getter cannot parse (an int getter
        # parses no fraction, nan or inf)
        assert text == "Unable to parse option '%s' in section 'z_compensate'" % key
    else:
        assert text == "Option '%s' in section 'z_compensate' %s" % (key, message)


@pytest.mark.parametrize("key,values", [
    ("bl_offset", "nan, 5"),
    ("noz_pos_center", "117.5, inf"),
    ("noz_pos_offset", "-inf, 15"),
])
def test_list_entry_that_is_not_a_finite_number_is_refused(make_printer, key, values):
    options = "\n".join(line if not line.startswith(key + ":") else "%s: %s" % (key, values)
                        for line in REQUIRED.splitlines())
    assert refusal(make_printer, options) == \
        "Option '%s' in section 'z_compensate' must be a finite number" % key


@pytest.mark.parametrize("address", ["127.0.0.1", "10.1.2.3", "localhost"])
def test_usable_tri_wave_ip_is_kept_as_written(make_printer, module_of, address):
    assert module_of(make_printer("tri_wave_ip: %s" % address)).tri_wave_ip == address


def test_unresolvable_tri_wave_ip_is_refused(make_printer):
    # A leading hyphen is refused by the C library itself: no name query leaves.
    text = refusal(make_printer, "tri_wave_ip: -no-such-host")
    assert text.startswith("Option 'tri_wave_ip' in section 'z_compensate'")


def test_commands_are_listed_with_their_help_texts(make_printer, module_of):
    printer = make_printer("")
    module = module_of(printer)
    printer.run_gcode("HELP")

    lines = printer.console_lines()
    for command, handler, help_text in COMMANDS:
        assert "%-10s: %s" % (command, help_text) in lines
        assert getattr(type(module), handler + "_help") == help_text


def test_host_references_are_the_hosts_own_objects(make_printer, module_of):
    printer = make_printer("")
    module = module_of(printer)

    assert module.printer is printer
    assert module.gcode is printer.lookup_object("gcode")
    assert module.tensink is printer.lookup_object("tensink_v2")
    assert module.config.get_name() == SECTION
    assert module.config.get_printer() is printer


HOST_REFERENCES = ["toolhead", "bed_mesh", "pheaters", "heater_hot", "heater_bed",
                   "printer", "gcode", "tensink", "config"]


@pytest.mark.parametrize("attribute", HOST_REFERENCES)
def test_host_references_can_be_replaced_from_python(make_printer, module_of, attribute):
    printer = make_printer("")
    module = module_of(printer)
    replacement = {
        "toolhead": printer.lookup_object("toolhead"),
        "bed_mesh": printer.lookup_object("bed_mesh"),
        "pheaters": printer.lookup_object("heaters"),
        "heater_hot": printer.lookup_object("extruder").heater,
        "heater_bed": printer.lookup_object("heater_bed").heater,
        "printer": printer,
        "gcode": printer.lookup_object("gcode"),
        "tensink": printer.lookup_object("tensink_v2"),
        "config": module.config,
    }[attribute]

    setattr(module, attribute, replacement)
    assert getattr(module, attribute) is replacement


# Attribute, value written from Python, value read back.
# Attributes whose keys' bounds leave out 7.
INSIDE_BOUNDS = {"tri_expand_mm": 0.25, "type_nozz": 3, "pa_clr_down_mm": -0.5}
WRITABLE = [
    ("shut_down", True, True),
    ("z_offset_move", -0.25, -0.25),
    ("dbg_msg", {"alpha": 0, "beta": 1}, {"alpha": 0, "beta": 1}),
    ("sys_max_velocity", 123.5, 123.5),
    ("sys_max_accel", 4000, 4000),
    ("sys_max_z_velocity", 7, 7),
    ("sys_max_z_accel", 60, 60),
    ("auto_alignment_status", 4, 4),
    ("tri_wave_ip", "127.0.0.1", "127.0.0.1"),
    ("tri_wave_ip", None, None),
    ("on_error_gcode", None, None),
    ("bl_offset", [1, 2.5], [1.0, 2.5]),
    ("noz_pos_center", [100, 110], [100.0, 110.0]),
    ("noz_pos_offset", [3, 9], [3.0, 9.0]),
    ("show_msg", True, True),
    ("use_adc", True, True),
] + [(attribute, INSIDE_BOUNDS.get(attribute, 7), INSIDE_BOUNDS.get(attribute, 7))
     for getter, _, _, _, _, attribute in KEYS if getter in ("getfloat", "getint")]


@pytest.mark.parametrize("attribute,value,expected", WRITABLE,
                         ids=["%s=%r" % (a, v) for a, v, _ in WRITABLE])
def test_attributes_are_readable_and_writable(make_printer, module_of, attribute, value,
                                              expected):
    module = module_of(make_printer(""))
    setattr(module, attribute, value)
    assert getattr(module, attribute) == expected


def test_get_status_reports_the_stage_in_a_new_mapping_each_time(make_printer, module_of):
    module = module_of(make_printer(""))

    first = module.get_status(0.)
    second = module.get_status(1.)
    assert first == second == {
        "auto_alignment_status": 0, "running_command": "", "last_command": "",
        "last_result": "", "last_message": "", "last_z_offset": None,
        "saved_z_offset": None, "probe_z_offset": 2.0, "last_point_offsets": [],
        "last_point_spread": None,
        "last_remeasurements": 0}
    assert first is not second
    first["auto_alignment_status"] = 99
    first["last_point_offsets"].append(1.0)
    module.auto_alignment_status = 3
    third = module.get_status(2.)
    assert third["auto_alignment_status"] == 3
    assert third["last_point_offsets"] == []
