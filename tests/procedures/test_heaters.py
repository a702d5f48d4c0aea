"""Heater targets, and the wait until a heater is within a tolerance of its
target."""
import collections

import pytest

from in_command import call_in_command

# Each method and the host object whose heater it drives.
TWINS = [("set_hot_temps", "extruder"), ("set_bed_temps", "heater_bed")]

# A pause taken: when, for how long, and the heaters' measured temperatures.
Pause = collections.namedtuple("Pause", ["time", "seconds", "measured"])


class WatchedHeater:
    """A host heater that records every read of its temperatures."""

    def __init__(self, heater):
        self._heater = heater
        self.reads = []

    def __getattr__(self, name):
        return getattr(self._heater, name)

    @property
    def target_temp(self):
        self.reads.append("target_temp")
        return self._heater.target_temp

    @property
    def smoothed_temp(self):
        self.reads.append("smoothed_temp")
        return self._heater.smoothed_temp


class HeaterRig:
    """The module with both heaters handed to it, and a record of every
    target set and every pause taken."""

    def __init__(self, printer, module, monkeypatch):
        self.printer = printer
        self.module = module
        self.heaters = {name: printer.lookup_object(name).heater
                        for name in ("extruder", "heater_bed")}
        self.watched = {name: WatchedHeater(heater)
                        for name, heater in self.heaters.items()}
        pheaters = printer.lookup_object("heaters")
        module.pheaters = pheaters
        module.heater_hot = self.watched["extruder"]
        module.heater_bed = self.watched["heater_bed"]
        module.toolhead = printer.lookup_object("toolhead")

        self.targets = []
        real_set_temperature = pheaters.set_temperature

        def set_temperature(heater, temp, wait=False):
            self.targets.append((heater.get_name(), temp, wait))
            return real_set_temperature(heater, temp, wait)
        monkeypatch.setattr(pheaters, "set_temperature", set_temperature)

        self.pauses = []
        reactor = printer.get_reactor()
        real_pause = reactor.pause

        def pause(waketime):
            now = reactor.monotonic()
            measured = {name: heater.smoothed_temp
                        for name, heater in self.heaters.items()}
            self.pauses.append(Pause(now, waketime - now, measured))
            return real_pause(waketime)
        monkeypatch.setattr(reactor, "pause", pause)

    def call(self, method, *args, measured=None, before=None, **kwargs):
        """Calls the module's heater method inside a command; `measured`
        ({heater: temperature}) is put on the sensors first."""
        def action():
            for name, temp in (measured or {}).items():
                self.heaters[name].smoothed_temp = temp
            if before is not None:
                before()
            getattr(self.module, method)(*args, **kwargs)
        call_in_command(self.printer, action, timeout=3600)


@pytest.fixture
def make_rig(make_printer, module_of, monkeypatch):
    def make(**printer_kwargs):
        printer = make_printer("", **printer_kwargs)
        return HeaterRig(printer, module_of(printer), monkeypatch)
    return make


@pytest.mark.parametrize("method, heater", TWINS)
def test_without_wait_only_the_target_is_set(make_rig, method, heater):
    rig = make_rig()
    rig.call(method, 90)
    assert rig.targets == [(heater, 90, False)]
    assert rig.watched[heater].reads == []
    assert rig.pauses == []
    assert rig.heaters[heater].target_temp == 90


@pytest.mark.parametrize("method, heater", TWINS)
@pytest.mark.parametrize("measured, target, err", [
    (25.0, 28, 5),     # within the tolerance
    (25.0, 30, 5),     # exactly at it, above
    (25.0, 20, 5),     # exactly at it, below
    (25.0, 35, 10),
    (100.0, 0, 5),     # far off, but a target of 0 ends the wait
], ids=["within", "exactly-above", "exactly-below", "wider-err", "target-0"])
def test_wait_ends_at_once(make_rig, method, heater, measured, target, err):
    rig = make_rig()
    rig.call(method, target, wait=True, err=err, measured={heater: measured})
    assert rig.targets == [(heater, target, False)]
    assert rig.pauses == []


@pytest.mark.parametrize("method, heater", TWINS)
@pytest.mark.parametrize("stopped_by", ["shut_down attribute", "host shutdown"])
def test_wait_is_skipped_once_stopped(make_rig, method, heater, stopped_by):
    rig = make_rig()

    def stop():
        if stopped_by == "shut_down attribute":
            rig.module.shut_down = True
        else:
            rig.printer.invoke_shutdown("Shutdown by test")
    rig.call(method, 100, wait=True, before=stop)
    assert rig.targets == [(heater, 100, False)]
    assert rig.watched[heater].reads == []
    assert rig.pauses == []


@pytest.mark.parametrize("method, heater", TWINS)
def test_wait_polls_until_within_tolerance(make_rig, method, heater):
    rig = make_rig()
    rig.call(method, 60, wait=True, err=5)
    assert rig.pauses, "the heater starts at ambient, far from 60"
    for pause in rig.pauses:
        assert pause.seconds == pytest.approx(0.1)
        assert abs(60 - pause.measured[heater]) > 5
    assert abs(60 - rig.heaters[heater].smoothed_temp) <= 5


@pytest.mark.parametrize("method, heater", TWINS)
@pytest.mark.parametrize("event", ["host shutdown", "target dropped to 0"])
def test_endless_wait_ends_with_an_event_elsewhere(make_rig, method, heater,
                                                    event):
    # The heater tops out at 50 C, far below its target of 100.
    rig = make_rig(overrides={"simulated_printer": {
        heater + "_max_reachable_temp": "50"}})
    reactor = rig.printer.get_reactor()
    event_time = []

    def act(eventtime):
        event_time.append(eventtime)
        if event == "host shutdown":
            rig.printer.invoke_shutdown("Shutdown by test")
        else:
            rig.printer.lookup_object("heaters").set_temperature(
                rig.heaters[heater], 0)
        return reactor.NEVER
    reactor.register_timer(act, reactor.monotonic() + 300)

    rig.call(method, 100, wait=True)
    assert event_time, "the wait ended before the event"
    assert rig.pauses[-1].measured[heater] < 95
    # The pass that follows the event ends the wait.
    assert [p for p in rig.pauses if p.time >= event_time[0]] == []


@pytest.mark.parametrize("method, heater, temp, text", [
    ("set_hot_temps", "extruder", 350,
     "Requested temperature (350.0) out of range (0.0:300.0)"),
    ("set_bed_temps", "heater_bed", 150,
     "Requested temperature (150.0) out of range (0.0:110.0)"),
])
@pytest.mark.parametrize("wait", [False, True])
def test_target_outside_heater_range_is_refused(make_rig, method, heater,
                                                temp, text, wait):
    rig = make_rig()
    with pytest.raises(rig.printer.command_error) as raised:
        rig.call(method, temp, wait=wait)
    assert str(raised.value) == text
    assert rig.heaters[heater].target_temp == 0
    assert rig.watched[heater].reads == []
    assert rig.pauses == []
