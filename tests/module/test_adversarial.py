"""Generated hostile callers and hosts: values of the wrong type, numbers that
raise as they convert, containers that change while they are read, host
calls that answer wrongly or rebind the module and pause. Whatever they do,
the module raises a Python exception of a sensible type that names the
problem, never crashes, and stays usable."""
import pytest
from hypothesis import given, strategies as st

from generated import budget
from in_command import error_in_command

WIPE_AREA = """
clr_noz_start_x: 20
clr_noz_start_y: 20
clr_noz_len_x: 50
clr_noz_len_y: 60
"""

BUDGET = budget(60)


class HostFault(Exception):
    """What a hostile object raises: passes back unchanged."""


class RaisingFloat:
    def __float__(self):
        raise HostFault("float")


class WrongFloat:
    def __float__(self):
        return "not a float"


class RaisingIndex:
    def __index__(self):
        raise HostFault("index")


class RaisingLength(list):
    def __len__(self):
        raise HostFault("len")


class Truthless:
    def __bool__(self):
        raise HostFault("bool")


class ClearingEntry:
    """An entry whose conversion empties the list that holds it."""

    def __init__(self):
        self.holder = None

    def __float__(self):
        if self.holder is not None:
            self.holder.clear()
        return 1.0


def clearing_list(size):
    entries = [ClearingEntry() for _ in range(size)]
    for entry in entries:
        entry.holder = entries
    return entries


texts = st.text(st.characters(blacklist_categories=["Cn"]), max_size=6) | st.sampled_from(
    ["\udc80", "a\ud800b", "", "1,5"])
scalars = st.one_of(
    st.floats(), st.integers(min_value=-2 ** 70, max_value=2 ** 70), st.booleans(), st.none(),
    texts, st.builds(RaisingFloat), st.builds(WrongFloat), st.builds(RaisingIndex),
    st.builds(Truthless), st.just(object()))
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner)
    | st.lists(inner, max_size=3).map(RaisingLength)
    | st.integers(min_value=1, max_value=3).map(clearing_list)
    | st.dictionaries(texts, inner, max_size=3),
    max_leaves=6)

EXPECTED = (TypeError, ValueError, OverflowError, HostFault)

PLAIN_ATTRIBUTES = [
    "shut_down", "z_offset_move", "dbg_msg", "auto_alignment_status", "tri_wave_ip",
    "tri_expand_mm", "show_msg", "bl_offset", "noz_pos_center", "noz_pos_offset",
    "pr_probe_cnt", "use_adc", "hot_rub_temp", "clr_noz_len_x", "tri_min_hold"]


def still_usable(printer, module):
    assert module.get_status(0.)["auto_alignment_status"] == module.auto_alignment_status
    module.print_msg("CHECK", "still here", True)
    assert not printer.is_shutdown()


def names_the_problem(error, name):
    if isinstance(error, HostFault):
        return True
    text = str(error)
    return text.startswith(name) or name in text or "argument" in text


@BUDGET
@given(attribute=st.sampled_from(PLAIN_ATTRIBUTES), value=values)
def test_attribute_assignment(make_printer, module_of, attribute, value):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    before = getattr(module, attribute)
    try:
        setattr(module, attribute, value)
    except EXPECTED as error:
        assert names_the_problem(error, attribute), error
        assert getattr(module, attribute) == before
    module.show_msg = False
    still_usable(printer, module)


METHODS = {
    "print_msg": ("title", "msg", "force"),
    "pnt_msg": ("msg",),
    "get_status": ("eventtime",),
    "move": ("pos", "speed", "wait"),
    "set_hot_temps": ("temp", "wait", "err"),
    "set_bed_temps": ("temp", "wait", "err"),
    "set_step_par": ("load_sys",),
    "ck_and_raise_error": ("ck", "err_code", "vals"),
}


@st.composite
def method_calls(draw):
    name = draw(st.sampled_from(sorted(METHODS)))
    parameters = METHODS[name]
    positional = draw(st.lists(values, max_size=len(parameters) + 1))
    keywords = draw(st.dictionaries(
        st.sampled_from(parameters + ("bogus",)), values, max_size=2))
    return name, positional, keywords


@BUDGET
@given(call=method_calls())
def test_method_calls(make_printer, module_of, call):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    module.toolhead = printer.lookup_object("toolhead")
    module.pheaters = printer.lookup_object("heaters")
    module.heater_hot = printer.lookup_object("extruder").heater
    module.heater_bed = printer.lookup_object("heater_bed").heater
    name, positional, keywords = call
    # Only a false check: a true one ends in the shutdown it is made for.
    if name == "ck_and_raise_error":
        positional = [False] + positional[1:]
        keywords.pop("ck", None)

    error = error_in_command(printer, lambda: getattr(module, name)(*positional, **keywords))
    if error is not None:
        assert isinstance(error, EXPECTED + (printer.command_error,)), repr(error)
        assert str(error)
    module.show_msg = False
    still_usable(printer, module)


# Host calls that the calibration makes, each replaced by one that answers
# with a generated value.
HOST_CALLS = [
    ("toolhead", "get_position"),
    ("probe", "run_probe"),
    ("tensink_v2", "run_step_tensink"),
    ("gcode_move", "get_status"),
    ("bed_mesh", "get_mesh"),
]


@BUDGET
@given(host_call=st.sampled_from(HOST_CALLS), answer=values)
def test_wrong_host_answers(make_printer, module_of, host_call, answer):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    owner = printer.lookup_object(host_call[0])
    real = getattr(owner, host_call[1])
    setattr(owner, host_call[1], lambda *args, **kwargs: answer)

    error = error_in_command(printer, module.cmd_Z_OFFSET_CALIBRATION, with_gcmd=True)
    if error is not None:
        assert isinstance(error, EXPECTED + (printer.command_error, KeyError, IndexError,
                                             AttributeError)), repr(error)
    setattr(owner, host_call[1], real)
    if printer.is_shutdown():
        # The calibration's own refusal of what it measured.
        return
    module.show_msg = False
    still_usable(printer, module)


REBINDABLE = ["printer", "gcode", "toolhead", "tensink", "bed_mesh", "config"]


@BUDGET
@given(host_call=st.sampled_from(HOST_CALLS[:3]), attribute=st.sampled_from(REBINDABLE),
       pause=st.booleans())
def test_host_that_rebinds_the_module_and_pauses(make_printer, module_of, host_call,
                                                  attribute, pause):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    module.toolhead = printer.lookup_object("toolhead")
    module.bed_mesh = printer.lookup_object("bed_mesh")
    reactor = printer.get_reactor()
    owner = printer.lookup_object(host_call[0])
    real = getattr(owner, host_call[1])
    originals = {name: getattr(module, name) for name in REBINDABLE}

    def rebinding(*args, **kwargs):
        # Another object of the same kind, then the host's own again.
        setattr(module, attribute, object())
        if pause:
            reactor.pause(reactor.monotonic() + 0.01)
        setattr(module, attribute, originals[attribute])
        return real(*args, **kwargs)
    setattr(owner, host_call[1], rebinding)

    error = error_in_command(printer, module.cmd_Z_OFFSET_CALIBRATION, with_gcmd=True)
    setattr(owner, host_call[1], real)
    assert error is None or isinstance(error, (AttributeError, TypeError,
                                               printer.command_error)), repr(error)
    module.show_msg = False
    still_usable(printer, module)


# Texts the host's parser may read as numbers or not, none of them a
# temperature the wipe could heat to: each run ends before anything heats.
parameter_texts = st.one_of(
    st.sampled_from(["\udc80", "nan", "inf", "-inf", "1e400", "9" * 40, "", "0x10", "1_000"]),
    (st.floats(min_value=1000, allow_infinity=False) | st.floats(max_value=-300)).map(repr),
    st.text(st.characters(blacklist_categories=["Cc", "Zs", "Cn", "Nd"],
                          blacklist_characters="=;"), min_size=1, max_size=6))


@BUDGET
@given(parameter=st.sampled_from(["HOT_START_TEMP", "HOT_RUB_TEMP", "HOT_END_TEMP",
                                  "BED_ADDTEMP"]),
       text=parameter_texts)
def test_gcode_parameters(make_printer, module_of, parameter, text):
    printer = make_printer(WIPE_AREA)
    module = module_of(printer)
    try:
        printer.run_gcode("VQTWENTYMA_NOZZLE_CLEAR %s=%s" % (parameter, text))
    except printer.command_error as error:
        assert str(error)
        status = module.get_status(0.)
        assert status["last_result"] in ("refused", "failed")
        assert status["last_message"]
    else:
        pytest.fail("a wipe at %s=%r was not refused" % (parameter, text))
    assert printer.trace.of_kind("heater_target") == []
    still_usable(printer, module)
