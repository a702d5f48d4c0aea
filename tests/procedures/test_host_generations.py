"""The procedures on every generation of klippy that the simulated host
offers: the bed probe's interface, the homed axes given to set_position and
the configfile's layout differ between them."""
import collections

import pytest

from klippysim import generations
from procedure_support import SSAP_SHUTDOWN_TEXT, WIPE_AREA, config_text, saved_option

ALL = list(generations.GENERATIONS)


@pytest.mark.parametrize("generation", ALL)
def test_calibration_saves_the_true_offset(make_printer, module_of,
                                           generation):
    # The old z_offset (2.0) differs from the true one (1.8): a result read
    # from the bed height of newer probe results (trigger height less the
    # old z_offset) would be off by exactly 2.0
    printer = make_printer("", host_generation=generation)
    printer.run_gcode("Z_OFFSET_CALIBRATION")
    assert saved_option(printer, "probe", "z_offset") == "1.750"
    assert len(printer.trace.of_kind("config_save")) == 1
    assert printer.restart_request is None
    assert module_of(printer).auto_alignment_status == 5


# A twist correction rising 0.1 mm per 100 mm of X, over the range every
# generation reads. The toolhead stands at X 117.5 + 20 +- d over the two
# points: the corrections average to the one at X 137.5, 0.04.
TWIST = """
[axis_twist_compensation]
calibrate_start_x: 20
calibrate_end_x: 220
calibrate_y: 117.5
compensation_start_x: 20
compensation_end_x: 220
z_compensations: -0.0775, 0.0225, 0.1225
"""


def test_twist_correction_gives_one_offset_on_every_generation(make_printer, module_of):
    # Newer hosts correct a named result's bed_z only: an offset taken from
    # its raw test_z would miss the correction there.
    saved = {}
    for generation in ALL:
        printer = make_printer("", extra_sections=TWIST, host_generation=generation)
        printer.run_gcode("Z_OFFSET_CALIBRATION")
        saved[generation] = module_of(printer).get_status(0.)["saved_z_offset"]
        assert saved_option(printer, "probe", "z_offset") == "1.790"
    assert saved == {generation: pytest.approx(1.8 + 0.04 - 0.05, abs=1e-6)
                     for generation in ALL}


@pytest.mark.parametrize("generation", ALL)
def test_error_routine_declares_z_homed_and_reports_the_record(
        make_printer, generation):
    printer = make_printer(WIPE_AREA, host_generation=generation, overrides={
        "tensink_v2": {"sim_swap_line": "stuck_0"}})
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode("Z_OFFSET_AUTO")
    assert str(raised.value) == SSAP_SHUTDOWN_TEXT
    [declared] = printer.trace.of_kind("set_position")[1:]
    assert declared.data["homing_axes"] == list(
        printer.host_generation.homing_axes("z"))
    assert declared.data["position"][2] == 0
    assert printer.shutdown_message == SSAP_SHUTDOWN_TEXT


@pytest.mark.parametrize("generation", ALL)
def test_auto_sequence_saves_twice_without_restart(make_printer, module_of,
                                                   generation):
    printer = make_printer(WIPE_AREA, host_generation=generation)
    printer.run_gcode("Z_OFFSET_AUTO")
    assert saved_option(printer, "probe", "z_offset") == "1.750"
    assert len(printer.trace.of_kind("config_save")) == 2
    assert printer.restart_request is None
    assert module_of(printer).auto_alignment_status == 5


class OddProbe:
    """A bed probe of no generation the module knows."""

    def probe_once(self, gcmd):
        pass


def no_homing_axes(toolhead):
    set_position = toolhead.set_position
    toolhead.set_position = lambda newpos: set_position(newpos)


@pytest.mark.parametrize("spoil,missing", [
    (lambda p: p.objects.__setitem__("probe", OddProbe()), "start_probe_session"),
    (lambda p: no_homing_axes(p.lookup_object("toolhead")), "homing_axes"),
], ids=["probe", "toolhead"])
def test_a_host_of_no_known_generation_is_refused_at_start_up(
        make_printer, module_of, monkeypatch, spoil, missing):
    printer = make_printer("")
    module = module_of(printer)
    monkeypatch.setattr(printer, "objects", dict(printer.objects))
    spoil(printer)

    # klippy calls this at start-up and reports a configuration error raised there.
    assert module._handle_connect in printer.event_handlers["klippy:connect"]
    with pytest.raises(printer.config_error, match=missing):
        module._handle_connect()


class RecordingProxy:
    """Stands for a printer object and notes the names read from it."""

    def __init__(self, target):
        self.target = target
        self.read = []

    def __getattr__(self, name):
        self.read.append(name)
        return getattr(self.target, name)


def test_a_lookup_drives_the_object_the_host_has_now(make_printer, monkeypatch):
    # The module keeps what it made for a looked-up object; a host that
    # answers with another object must get that one driven.
    printer = make_printer("")
    printer.run_gcode("Z_OFFSET_CALIBRATION")
    monkeypatch.setattr(printer, "objects", dict(printer.objects))
    probe = printer.objects["probe"] = RecordingProxy(printer.objects["probe"])

    printer.run_gcode("Z_OFFSET_CALIBRATION")
    assert probe.read.count("run_probe") == 2
    assert saved_option(printer, "probe", "z_offset") == "1.750"


class AnsweringSession:
    """A probe session that hands out the given result."""

    def __init__(self, result):
        self.result = result

    def run_probe(self, gcmd):
        pass

    def pull_probed_results(self):
        return [self.result]

    def end_probe_session(self):
        pass


NamedWithoutBedZ = collections.namedtuple("probe_result", ["test_x", "test_y", "test_z"])
Named = collections.namedtuple("probe_result", ["bed_x", "bed_y", "bed_z"])


@pytest.mark.parametrize("result, message", [
    (NamedWithoutBedZ(117.5, 117.5, 2.0),
     "probe result: no field bed_z: probe_result(test_x=117.5, test_y=117.5, test_z=2.0)"),
    (Named(97.5, 122.5, None), "probe result: bed_z is not a number: None"),
    (Named(97.5, 122.5, "0.0"), "probe result: bed_z is not a number: '0.0'"),
], ids=["no bed_z", "None", "text"])
def test_named_result_without_a_numeric_bed_z_ends_the_command(make_printer, module_of,
                                                              monkeypatch, result, message):
    printer = make_printer("", host_generation="mainline-2026")
    probe = printer.lookup_object("probe")
    monkeypatch.setattr(probe, "start_probe_session", lambda gcmd: AnsweringSession(result))
    config_before = config_text(printer)
    with pytest.raises(printer.command_error) as raised:
        printer.run_gcode("Z_OFFSET_CALIBRATION")
    # The host's command error, raised through the command: no shutdown.
    assert type(raised.value) is printer.command_error
    assert str(raised.value) == message
    assert not printer.is_shutdown()
    assert config_text(printer) == config_before
    status = module_of(printer).get_status(0.)
    assert (status["last_result"], status["last_message"]) == ("failed", message)
