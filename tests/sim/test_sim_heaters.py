import math

import pytest

import klippysim


def heaters_of(printer):
    return (printer.lookup_object('heaters'),
            printer.lookup_object('extruder').heater,
            printer.lookup_object('heater_bed').heater)


class TestHeaterModel:
    def test_m109_waits_until_the_target_is_reached(self, make_printer):
        printer = make_printer()
        pheaters, hot, bed = heaters_of(printer)
        reactor = printer.get_reactor()
        start = reactor.monotonic()
        printer.run_gcode("M109 S200")
        # 175 C at 4 C/s, then the smoothed reading settles
        elapsed = reactor.monotonic() - start
        assert 44. < elapsed < 60.
        assert abs(hot.smoothed_temp - 200.) <= 1.
        assert hot.target_temp == 200.
        assert any(line.startswith("B:25.0 /0.0 T0:")
                   for line in printer.console_lines())

    def test_set_temperature_without_wait_returns_at_once(self,
                                                          make_printer):
        printer = make_printer()
        pheaters, hot, bed = heaters_of(printer)
        printer.run_gcode("M140 S60")
        assert bed.target_temp == 60.
        assert bed.smoothed_temp == pytest.approx(25.)
        printer.run_for(100.)
        assert bed.smoothed_temp == pytest.approx(60., abs=0.5)
        targets = printer.trace.of_kind('heater_target')
        assert targets[-1].data == {'heater': 'heater_bed', 'target': 60.}
        samples = [e for e in printer.trace.of_kind('temperature')
                   if e.data['heater'] == 'heater_bed']
        assert len(samples) >= 90

    def test_cooling_toward_ambient(self, make_printer):
        printer = make_printer()
        pheaters, hot, bed = heaters_of(printer)
        printer.run_gcode("M109 S200\nM104 S0")
        printer.run_for(60.)
        # One cooling time constant: about 63% of the way to ambient
        assert hot.smoothed_temp == pytest.approx(25. + 175. / math.e, abs=3.)

    def test_a_heater_that_never_reaches_its_target(self, make_printer):
        printer = make_printer(overrides={'simulated_printer': {
            'extruder_max_reachable_temp': 180}})
        pheaters, hot, bed = heaters_of(printer)
        with pytest.raises(klippysim.SimulationTimeout):
            printer.run_gcode("M109 S200", timeout=600.)
        assert hot.smoothed_temp == pytest.approx(180., abs=0.1)
        printer.abort_command()

    def test_range_check_lets_nan_and_zero_through(self, make_printer):
        printer = make_printer()
        pheaters, hot, bed = heaters_of(printer)
        with pytest.raises(printer.command_error) as info:
            pheaters.set_temperature(bed, 120., False)
        assert str(info.value) == (
            "Requested temperature (120.0) out of range (0.0:110.0)")
        pheaters.set_temperature(hot, float('nan'), False)
        assert math.isnan(hot.target_temp)
        pheaters.set_temperature(hot, 0, False)
        assert hot.target_temp == 0

    def test_set_heater_temperature_and_lookup(self, make_printer):
        printer = make_printer()
        pheaters, hot, bed = heaters_of(printer)
        printer.run_gcode("SET_HEATER_TEMPERATURE HEATER=extruder TARGET=150")
        assert hot.target_temp == 150.
        assert pheaters.lookup_heater('heater_bed') is bed
        with pytest.raises(printer.config_error) as info:
            pheaters.lookup_heater('chamber')
        assert str(info.value) == "Unknown heater 'chamber'"

    def test_shutdown_cuts_the_heat(self, make_printer):
        printer = make_printer()
        pheaters, hot, bed = heaters_of(printer)
        printer.run_gcode("M104 S200")
        printer.run_for(20.)
        printer.invoke_shutdown("test")
        peak = hot.smoothed_temp
        printer.run_for(30.)
        assert hot.smoothed_temp < peak
        assert hot.target_temp == 200.


class TestFan:
    def test_m106_m107(self, make_printer):
        printer = make_printer()
        printer.run_gcode("M106 S255")
        assert printer.lookup_object('fan').speed == 1.
        printer.run_gcode("M107")
        assert [e.data['speed'] for e in printer.trace.of_kind('fan')] == \
            [1., 0.]
