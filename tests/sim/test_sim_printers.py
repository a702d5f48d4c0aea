"""The printers of klippy's world: every kinematics, every kind of bed
probe, the printer's own homing, and sections the simulator does not
model."""
import math
import sys

import pytest
from hypothesis import given, strategies as st

from generated import budget
from sim_support import BASE_CONFIG

import klippysim
from klippysim import kinematics

# A flat, noiseless bed; the probe's true offset is its configured one
FLAT = {'simulated_printer': {
    'surface_tilt_x': 0, 'surface_tilt_y': 0, 'surface_bump_height': 0,
    'probe_noise': 0, 'contact_noise': 0}}

HEATERS = """
[extruder]
nozzle_diameter: 0.4
filament_diameter: 1.75
min_temp: 0
max_temp: 300

[heater_bed]
min_temp: 0
max_temp: 110
"""

DELTA = """
[printer]
kinematics: delta
max_velocity: 300
max_accel: 3000
max_z_velocity: 150
delta_radius: 100
print_radius: 90
minimum_z_position: -2

[stepper_a]
position_endstop: 250
arm_length: 220
rotation_distance: 40
microsteps: 16

[stepper_b]

[stepper_c]
""" + HEATERS

ROTARY_DELTA = """
[printer]
kinematics: rotary_delta
max_velocity: 300
max_accel: 3000
max_z_velocity: 50
shoulder_radius: 33.9
shoulder_height: 412.9

[stepper_a]
position_endstop: 252
upper_arm_length: 170
lower_arm_length: 320

[stepper_b]

[stepper_c]
""" + HEATERS

POLAR = """
[printer]
kinematics: polar
max_velocity: 300
max_accel: 3000
max_z_velocity: 20

[stepper_bed]
gear_ratio: 80:16

[stepper_arm]
position_endstop: 150
position_max: 150
position_min: -10

[stepper_z]
position_endstop: 0
position_max: 200
""" + HEATERS

DELTESIAN = """
[printer]
kinematics: deltesian
max_velocity: 300
max_accel: 3000

[stepper_left]
position_endstop: 268
arm_length: 217
arm_x_length: 160

[stepper_right]

[stepper_y]
position_endstop: 0
position_max: 200
""" + HEATERS

GENERIC_CARTESIAN = """
[printer]
kinematics: generic_cartesian
max_velocity: 300
max_accel: 3000

[carriage x]
position_endstop: 0
position_max: 200

[carriage y]
position_endstop: 0
position_max: 210

[carriage z]
position_endstop: 0
position_max: 180

[stepper a]
carriages: x+y
""" + HEATERS


def move_error(printer, line):
    with pytest.raises(printer.command_error) as info:
        printer.run_gcode(line)
    return str(info.value)


def config_error(make_printer, *args, **kwargs):
    with pytest.raises(klippysim.ConfigError) as info:
        make_printer(*args, **kwargs)
    return str(info.value)


class TestCartesianFamily:
    @pytest.mark.parametrize('name', [
        n for n in kinematics.CARTESIAN_LIKE_KINEMATICS
        if n != 'generic_cartesian'])
    def test_each_axis_keeps_its_range(self, make_printer, name):
        printer = make_printer(
            base=BASE_CONFIG.replace('kinematics: cartesian',
                                     'kinematics: ' + name))
        assert move_error(printer, "G1 X236") == (
            "Move out of range: 236.000 117.500 10.000 [0.000]")
        printer.run_gcode("G1 X235 Y0 Z249")

    def test_generic_cartesian_takes_its_ranges_from_the_carriages(
            self, make_printer):
        printer = make_printer(base=GENERIC_CARTESIAN, homed_axes="")
        printer.run_gcode("G28")
        assert printer.lookup_object('toolhead').get_position()[:3] == [
            0., 0., 0.]
        assert move_error(printer, "G1 Y211") == (
            "Move out of range: 0.000 211.000 0.000 [0.000]")
        assert printer.unsimulated_sections == ['stepper a']


class TestDelta:
    @pytest.mark.parametrize('host', ['2023', 'mainline-2026'])
    def test_homes_all_towers_at_the_top(self, make_printer, host):
        printer = make_printer(base=DELTA, homed_axes="",
                               host_generation=host)
        toolhead = printer.lookup_object('toolhead')
        assert move_error(printer, "G1 Z5").startswith("Must home first")
        printer.run_gcode("G28 Z")
        assert toolhead.get_position()[:3] == pytest.approx([0., 0., 250.])
        assert toolhead.get_status(0.)['homed_axes'] == "xyz"
        assert printer.trace.of_kind('homing')[-1].data['axes'] == [0, 1, 2]
        # A move back up to the top is allowed although Z 250 lies in
        # the narrowest part of the cone
        printer.run_gcode("G1 X0 Y0 Z10\nG1 Z250")

    @budget(60)
    @given(angle=st.floats(0., 2. * math.pi),
           distance=st.floats(0., 120.), z=st.floats(-5., 230.))
    def test_below_the_cone_every_move_stays_in_the_print_radius(
            self, make_printer, angle, distance, z):
        printer = make_printer(base=DELTA)
        x, y = distance * math.cos(angle), distance * math.sin(angle)
        inside = distance <= 90. and -2. <= z <= 225.9
        line = "G1 X%.6f Y%.6f Z%.6f" % (x, y, z)
        if inside:
            printer.run_gcode(line)
        elif distance > 90.001 or z < -2.001:
            assert move_error(printer, line).startswith("Move out of range")

    def test_the_reach_narrows_near_the_top(self, make_printer):
        printer = make_printer(base=DELTA)
        kin = printer.lookup_object('toolhead').get_kinematics()
        # With 220 mm arms 100 mm from the centre, the cone starts where
        # the arms stand vertical over the centre
        assert kin.limit_z == pytest.approx(250. + math.sqrt(220.**2 - 100.**2)
                                            - 220.)
        printer.run_gcode("G1 X5 Y0 Z245")
        assert move_error(printer, "G1 X20 Y0 Z245") == (
            "Move out of range: 20.000 0.000 245.000 [0.000]")
        [(axis, value, why)] = kin.violated_limits([20., 0., 245.])
        assert why.startswith("with Y 0.000, 20.000 mm from the centre:"
                              " beyond the radius 10.")

    def test_towers_of_different_heights_home_where_the_arms_meet(
            self, make_printer):
        printer = make_printer(base=DELTA.replace(
            "[stepper_b]\n", "[stepper_b]\nposition_endstop: 248\n"))
        kin = printer.lookup_object('toolhead').get_kinematics()
        home = kin.home_position
        for angle, endstop in zip((210., 330., 90.), (250., 248., 250.)):
            pivot = (100. * math.cos(math.radians(angle)),
                     100. * math.sin(math.radians(angle)),
                     endstop + math.sqrt(220.**2 - 100.**2))
            assert math.dist(home, pivot) == pytest.approx(220.)
        assert kin.max_z == 248.

    def test_a_round_mesh(self, make_printer):
        printer = make_printer("""
[bed_mesh]
mesh_radius: 80.05
round_probe_count: 5
""", base=DELTA)
        params = printer.lookup_object('bed_mesh').get_mesh().get_mesh_params()
        assert (params['min_x'], params['max_y'], params['x_count']) == (
            -80., 80., 5)


class TestRotaryDelta:
    def test_homes_at_the_top_and_reaches_as_far_as_its_arms(
            self, make_printer):
        printer = make_printer(base=ROTARY_DELTA, homed_axes="")
        toolhead = printer.lookup_object('toolhead')
        printer.run_gcode("G28")
        assert toolhead.get_position()[:3] == pytest.approx([0., 0., 252.])
        # The shorter of shoulder radius plus upper arm, and lower arm less
        # shoulder radius
        kin = toolhead.get_kinematics()
        assert kin.print_radius == pytest.approx(33.9 + 170.)
        printer.run_gcode("G1 X140 Y140 Z10")
        assert move_error(printer, "G1 X150 Y140") == (
            "Move out of range: 150.000 140.000 10.000 [0.000]")

    def test_the_elbows_at_the_endstops_hold_the_home_position(
            self, make_printer):
        printer = make_printer(base=ROTARY_DELTA.replace(
            "[stepper_b]\n", "[stepper_b]\nposition_endstop: 250\n"))
        kin = printer.lookup_object('toolhead').get_kinematics()
        for arm, tower in zip(kin.arms, kin.towers):
            # The angle found for an effector at the endstop height puts
            # the elbow an upper arm from the shoulder, a lower arm from it
            elbow = arm.elbow(arm.angle_for(0., 0., tower.position_endstop))
            assert math.dist(elbow, (0., 0., tower.position_endstop)) == (
                pytest.approx(320.))
            assert math.dist(kin.home_position, elbow) == pytest.approx(320.)
        assert kin.home_position[2] < 252.


class TestPolar:
    @pytest.mark.parametrize('host', ['2023', 'mainline-2026'])
    def test_homes_the_arm_at_y_0_and_reaches_its_length(self, make_printer,
                                                         host):
        printer = make_printer(base=POLAR, homed_axes="",
                               host_generation=host)
        toolhead = printer.lookup_object('toolhead')
        assert move_error(printer, "G1 X10").startswith(
            "Must home axis first")
        printer.run_gcode("G28")
        assert toolhead.get_position()[:3] == [150., 0., 0.]
        printer.run_gcode("G1 X100 Y100 Z5")
        assert move_error(printer, "G1 X100 Y120") == (
            "Move out of range: 100.000 120.000 5.000 [0.000]")


class TestDeltesian:
    @pytest.mark.parametrize('host', ['2023', 'mainline-2026'])
    def test_homes_x_and_z_at_the_top_and_reaches_less_at_the_sides(
            self, make_printer, host):
        printer = make_printer(base=DELTESIAN, homed_axes="",
                               host_generation=host)
        toolhead = printer.lookup_object('toolhead')
        printer.run_gcode("G28")
        # Symmetric towers meet over X 0 at their endstops' height
        assert toolhead.get_position()[:3] == pytest.approx([0., 0., 268.])
        # The arms keep 5 degrees from the horizontal up to X 56
        assert move_error(printer, "G1 X57 Z10") == (
            "Move out of range: 57.000 0.000 10.000 [0.000]")
        printer.run_gcode("G1 X0 Z250")
        # Only an axis that moves is checked, as in klippy
        printer.run_gcode("G1 X10")
        assert move_error(printer, "G1 X40 Z240") == (
            "Move out of range: 40.000 0.000 240.000 [0.000]")
        kin = toolhead.get_kinematics()
        assert [axis for axis, value, why
                in kin.violated_limits([40., 201., 250.])] == ['y', 'z']


class TestUnsimulatedKinematics:
    @pytest.mark.parametrize('name', sorted(kinematics.UNSIMULATED_KINEMATICS))
    def test_named_with_what_the_simulator_has(self, make_printer, name):
        message = config_error(make_printer, base=BASE_CONFIG.replace(
            'kinematics: cartesian', 'kinematics: ' + name))
        assert message.startswith(
            "kinematics: %s in section 'printer' is not simulated (" % name)
        assert ", delta, rotary_delta, deltesian and polar kinematics" in message

    def test_an_unknown_name_is_refused_as_klippy_does(self, make_printer):
        assert config_error(make_printer, base=BASE_CONFIG.replace(
            'kinematics: cartesian', 'kinematics: cartesain')) == (
            "Error loading kinematics 'cartesain'")


PROBE_OPTIONS = "x_offset: -20\ny_offset: 5\nsamples: 3\nspeed: 4\n"
BASE_WITHOUT_PROBE = BASE_CONFIG.replace(
    "[probe]\nx_offset: -20\ny_offset: 5\nz_offset: 2.0\n", "")


class TestBedProbes:
    @pytest.mark.parametrize('section, z_offset', [
        ("[probe]\npin: ^PA1\nz_offset: 2.0\n", 2.0),
        ("[bltouch]\nsensor_pin: ^PA1\ncontrol_pin: PA2\nz_offset: 2.0\n"
         "stow_on_each_sample: False\npin_up_touch_mode_reports_triggered:"
         " False\n", 2.0),
        ("[smart_effector]\npin: PA1\nz_offset: 0.1\nrecovery_time: 0.4\n",
         0.1),
        ("[load_cell_probe]\nz_offset: 0.2\n", 0.2),
        # A scanning probe reports the bed itself; its z_offset option is
        # how far it descends
        ("[probe_eddy_current eddy]\nsensor_type: ldc1612\nz_offset: 1.0\n",
         0.),
        # A third-party module's scanning probe, simulated from its offsets
        ("[scanner]\nmode: touch\nz_offset: 1.5\n", 1.5),
    ], ids=['probe', 'bltouch', 'smart_effector', 'load_cell_probe',
            'probe_eddy_current', 'third-party'])
    def test_each_kind_is_the_probe_object_with_its_own_options(
            self, make_printer, section, z_offset):
        printer = make_printer(section + PROBE_OPTIONS,
                               base=BASE_WITHOUT_PROBE, overrides=FLAT,
                               homed_axes="xy")
        probe = printer.lookup_object('probe')
        assert probe.get_offsets() == (-20., 5., z_offset)
        printer.run_gcode("G28 Z\nG1 Z10\nPROBE")
        assert len(printer.trace.of_kind('probe')) == 3
        assert probe.get_status(0.)['last_z_result'] == pytest.approx(
            z_offset)
        # Its own section is the one a new offset goes into
        printer.run_gcode("SET_GCODE_OFFSET Z=-0.1\nZ_OFFSET_APPLY_PROBE")
        [change] = printer.trace.of_kind('config_set')
        assert change.data['section'] == section[1:section.index(']')]

    def test_a_third_party_probe_is_named(self, make_printer):
        printer = make_printer(
            "[scanner]\nx_offset: 1\n[scanner_model default]\nx_offset: 1\n",
            base=BASE_WITHOUT_PROBE)
        assert printer.probe_stand_in == 'scanner'
        assert printer.third_party_sections == ['scanner_model default']
        assert printer.section_report()[-1].startswith(
            "[scanner] of a module installed beside klippy provides the bed"
            " probe: simulated as a plain probe")

    def test_z_homed_on_a_missing_probe_says_what_to_add(self, make_printer):
        message = config_error(make_printer, base=BASE_WITHOUT_PROBE)
        assert message.startswith("Unknown pin chip name 'probe'\n")
        assert "add its section ([probe], [bltouch], ...)" in message

    @pytest.mark.parametrize('pin', [
        "probe: z_virtual_endstop", " probe:z_virtual_endstop ",
        "^probe:z_virtual_endstop"])
    def test_the_virtual_endstop_is_read_as_klippy_parses_pins(
            self, make_printer, pin):
        printer = make_printer(base=BASE_CONFIG.replace(
            "endstop_pin: probe:z_virtual_endstop", "endstop_pin: " + pin))
        assert printer.lookup_object(
            'toolhead').get_kinematics().z_homes_with_probe


HOMING_SCRIPT = """
[homing_override]
axes: z
set_position_z: 0
gcode:
  G90
  G1 Z5 F600
  G28 X Y
  G1 X100 Y100 F3600
  G28 Z
"""


class TestPrintersOwnHoming:
    @pytest.mark.parametrize('host', ['2023', 'mainline-2026'])
    def test_homing_override_runs_its_script(self, make_printer, host):
        printer = make_printer(HOMING_SCRIPT, overrides=FLAT, homed_axes="",
                               host_generation=host)
        toolhead = printer.lookup_object('toolhead')
        printer.run_gcode("G28")
        assert toolhead.get_position()[:3] == pytest.approx([100., 100., 2.])
        assert toolhead.get_status(0.)['homed_axes'] == "xyz"
        assert [e.data['line'] for e in printer.trace.of_kind('gcode')] == [
            "G28", "G90", "G1 Z5 F600", "G28 X Y", "G1 X100 Y100 F3600",
            "G28 Z"]
        # Set at Z 0 where it stood, the nozzle rose 5 mm before X and Y
        # homed
        first_move = printer.trace.of_kind('move')[0].data
        assert first_move['end'][2] - first_move['start'][2] == 5.

    def test_an_axis_outside_its_axes_homes_plainly(self, make_printer):
        printer = make_printer(HOMING_SCRIPT, homed_axes="")
        printer.run_gcode("G28 X")
        assert [e.data['line'] for e in printer.trace.of_kind('gcode')] == [
            "G28 X"]

    def test_a_template_without_jinja2_is_named(self, make_printer,
                                                monkeypatch):
        # The printers load the module from their klippy tree
        make_printer(HOMING_SCRIPT)
        monkeypatch.setattr(sys.modules['extras.homing_override'], 'jinja2',
                            None)
        message = config_error(make_printer, """
[homing_override]
gcode:
  {% if params.X is defined %}G28 X0{% endif %}
""")
        assert message == (
            "Option 'gcode' in section 'homing_override' is a template, which"
            " the simulated printer runs only with jinja2 installed"
            " (pip install jinja2)")

    @pytest.mark.skip_allowed("jinja2 is not installed")
    def test_a_template_is_rendered_with_the_command_parameters(
            self, make_printer):
        pytest.importorskip('jinja2')
        printer = make_printer("""
[homing_override]
gcode:
  {% if params.X is defined %}G28 X0{% endif %}
  G28 Y0
""", homed_axes="")
        printer.run_gcode("G28 X")
        lines = [e.data['line'] for e in printer.trace.of_kind('gcode')]
        assert lines[1:] == ["G28 X0", "G28 Y0"]

    def test_safe_z_home_moves_back_and_excludes_homing_override(
            self, make_printer):
        safe_z_home = """
[safe_z_home]
home_xy_position: 100, 90
move_to_previous: True
"""
        printer = make_printer(safe_z_home, overrides=FLAT)
        printer.run_gcode("G1 X50 Y40\nG28 Z")
        assert printer.lookup_object('toolhead').get_position()[:2] == [
            50., 40.]
        assert [e.data['end'][:2] for e in printer.trace.of_kind('move')][1] \
            == [100., 90.]
        assert config_error(make_printer, safe_z_home + HOMING_SCRIPT) == (
            "homing_override and safe_z_homing cannot be used simultaneously")


class TestSections:
    def test_klippys_and_third_party_sections_are_named_once(
            self, make_printer):
        printer = make_printer("""
[mcu]
serial: /dev/ttyS0
[ad5206 stepper_digipot]
enable_pin: PL1
[adc_scaled my_vref]
vref_pin: PA1
[bed_tilt]
x_adjust: 0
[mcp4018 dac]
scl_pin: PA1
[stepper_z1]
step_pin: PB1
[autotune_tmc stepper_x]
motor: generic
""")
        assert printer.unsimulated_sections == [
            'mcu', 'ad5206 stepper_digipot', 'adc_scaled my_vref', 'bed_tilt',
            'mcp4018 dac', 'stepper_z1']
        assert printer.third_party_sections == ['autotune_tmc stepper_x']
        assert printer.section_report() == [
            "not simulated: [mcu], [ad5206 stepper_digipot], [adc_scaled"
            " my_vref], [bed_tilt], [mcp4018 dac], [stepper_z1]",
            "not simulated, from modules installed beside klippy:"
            " [autotune_tmc stepper_x]"]

    def test_kalicos_sections_on_kalico_and_on_mainline(self, make_printer):
        sections = ("[danger_options]\nlog_statistics: False\n"
                    "[gcode_shell_command backup]\ncommand: true\n")
        printer = make_printer(sections, host_generation='kalico')
        assert printer.unsimulated_sections == [
            'danger_options', 'gcode_shell_command backup']
        # Mainline klippy takes a module Kalico has built in when it is
        # installed beside it, but never Kalico's own options
        printer = make_printer(sections[sections.index('[gcode'):])
        assert printer.third_party_sections == ['gcode_shell_command backup']
        assert config_error(make_printer, sections).endswith(
            "choose --host kalico")

    def test_names_given_by_a_real_klippy_count_as_klippys(
            self, make_printer):
        printer = make_printer("[new_sensor]\n",
                               unmodeled_sections=['new_sensor'])
        assert printer.unsimulated_sections == ['new_sensor']
