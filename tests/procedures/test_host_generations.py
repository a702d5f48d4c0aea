"""The klippy generations the module runs on, told apart by what the host
offers: how the bed probe is run and where its offset lives, and how the
toolhead names the axes it takes as homed. Each generation is a small stand-in
over the simulated host's own objects."""
import collections
import sys

import pytest

from in_command import call_in_command
from procedure_support import saved_option

# klippy's named probe result since 2026: bed_z is test_z less the probe's z_offset.
ProbeResult = collections.namedtuple(
    "probe_result", ["bed_x", "bed_y", "bed_z", "test_x", "test_y", "test_z"])


class ProbeSession:
    def __init__(self, probe, named):
        self.probe = probe
        self.named = named
        self.results = []
        self.ended = False

    def run_probe(self, gcmd):
        # The simulated probe answers as older klippy did: the toolhead's
        # position at the trigger.
        x, y, z = self.probe.run_probe(gcmd)[:3]
        if self.named:
            self.results.append(ProbeResult(x + self.probe.x_offset, y + self.probe.y_offset,
                                            z - self.probe.z_offset, x, y, z))
        else:
            self.results.append([x, y, z])

    def pull_probed_results(self):
        results, self.results = self.results, []
        return results

    def end_probe_session(self):
        self.ended = True


class SessionProbe:
    """The bed probe of klippy since mid-2024: sessions and get_offsets()."""

    def __init__(self, probe, named):
        self.probe = probe
        self.named = named
        self.sessions = []

    def get_offsets(self):
        return self.probe.x_offset, self.probe.y_offset, self.probe.z_offset

    def start_probe_session(self, gcmd):
        self.sessions.append(ProbeSession(self.probe, self.named))
        return self.sessions[-1]


def letter_axes(toolhead):
    """A toolhead whose set_position takes the homed axes as letters, as klippy
    since 2025 and Kalico do; an index there fails as it does in klippy."""
    set_position = toolhead.set_position

    def set_position_by_letters(newpos, homing_axes=""):
        set_position(newpos, ["xyz".index(axis) for axis in homing_axes])
    toolhead.set_position = set_position_by_letters


def klippy_2023(printer):
    pass


def klippy_2024(printer):
    printer.objects["probe"] = SessionProbe(printer.lookup_object("probe"), named=False)
    letter_axes(printer.lookup_object("toolhead"))


def klippy_2026(printer):
    printer.objects["probe"] = SessionProbe(printer.lookup_object("probe"), named=True)
    letter_axes(printer.lookup_object("toolhead"))


def kalico(printer):
    letter_axes(printer.lookup_object("toolhead"))


GENERATIONS = [klippy_2023, klippy_2024, klippy_2026, kalico]


@pytest.fixture
def host_of(make_printer, module_of, monkeypatch):
    def make(generation):
        printer = make_printer("")
        monkeypatch.setattr(printer, "objects", dict(printer.objects))
        generation(printer)
        module = module_of(printer)
        module._handle_connect()
        return printer, module
    return make


@pytest.mark.parametrize("generation", GENERATIONS, ids=lambda g: g.__name__)
def test_calibration_saves_the_same_offset_on_every_generation(host_of, generation):
    printer, module = host_of(generation)

    printer.run_gcode("Z_OFFSET_CALIBRATION")

    # The probe triggers 1.8 mm above the nozzle's contact; less tri_expand_mm.
    # Entry 2 of a named result would shift this by the probe's z_offset of 2.0.
    assert saved_option(printer, "probe", "z_offset") == "1.750"
    probe = printer.lookup_object("probe")
    if isinstance(probe, SessionProbe):
        assert len(probe.sessions) == 2 and all(s.ended for s in probe.sessions)


@pytest.mark.parametrize("generation", GENERATIONS, ids=lambda g: g.__name__)
def test_the_error_routine_declares_z_homed_on_every_generation(host_of, generation):
    printer, module = host_of(generation)
    module.toolhead = printer.lookup_object("toolhead")
    record = sys.modules[type(module).__module__].PR_ERR_CODE_SSAP_TEST_ERROR

    with pytest.raises(printer.command_error) as ended:
        call_in_command(printer, lambda: module.ck_and_raise_error(True, record))

    assert "PR_ERR_CODE_SSAP_TEST_ERROR" in str(ended.value)
    declared = printer.trace.of_kind("set_position")[-1].data
    assert declared["homing_axes"] == [2] and declared["position"][2] == 0
    assert "z" in printer.lookup_object("toolhead").get_status(0)["homed_axes"]


class OddProbe:
    """A probe of no generation the module knows."""

    def probe_once(self, gcmd):
        pass


def no_homing_axes(toolhead):
    set_position = toolhead.set_position
    toolhead.set_position = lambda newpos: set_position(newpos)


@pytest.mark.parametrize("spoil,missing", [
    (lambda p: p.objects.__setitem__("probe", OddProbe()), "start_probe_session"),
    (lambda p: no_homing_axes(p.lookup_object("toolhead")), "homing_axes"),
], ids=["probe", "toolhead"])
def test_a_host_of_no_known_generation_is_refused_at_start_up(host_of, spoil, missing):
    printer, module = host_of(klippy_2023)
    spoil(printer)

    # klippy calls this at start-up and reports a configuration error raised there.
    assert module._handle_connect in printer.event_handlers["klippy:connect"]
    with pytest.raises(printer.config_error, match=missing):
        module._handle_connect()
