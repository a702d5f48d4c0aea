import math

import pytest

import klippysim
from sim_support import BASE_CONFIG


def dummy_section(printer):
    return printer.lookup_object('dummy')


class TestFileFormat:
    def test_comments_continuations_and_both_separators(self, make_printer):
        printer = make_printer("""
[dummy]   ; trailing comment
value = 2.5  # comment after a value
pair:
    1.5,
    2.5
flag: True
""")
        dummy = dummy_section(printer)
        assert dummy.value == 2.5
        assert dummy.pair == (1.5, 2.5)
        assert dummy.flag is True

    def test_include_with_glob_relative_to_the_file(self, klippy_dir,
                                                     write_config, tmp_path):
        (tmp_path / 'parts').mkdir()
        (tmp_path / 'parts' / 'a.cfg').write_text("[dummy]\nvalue: 3\n")
        (tmp_path / 'parts' / 'b.cfg').write_text("[dummy]\nvalue: 4\n")
        path = write_config(BASE_CONFIG + "[include parts/*.cfg]\n")
        printer = klippysim.Printer(path, klippy_dir)
        # Files are read in sorted order; the later value wins
        assert dummy_section(printer).value == 4.

    def test_missing_include_file(self, make_printer, tmp_path):
        with pytest.raises(klippysim.ConfigError) as info:
            make_printer("[include nothere.cfg]\n")
        assert str(info.value) == ("Include file '%s' does not exist"
                                   % (tmp_path / 'nothere.cfg'))

    def test_save_config_block_supplies_values(self, make_printer):
        printer = make_printer("""
[dummy]
#value: 2
flag: False

#*# <---------------------- SAVE_CONFIG ---------------------->
#*# DO NOT EDIT THIS BLOCK OR BELOW. The contents are auto-generated.
#*#
#*# [dummy]
#*# value = 7
#*# flag = True
""")
        # A value only in the block is used; a value in both places keeps
        # the file's, as klippy drops the block's duplicate
        assert dummy_section(printer).value == 7.
        assert dummy_section(printer).flag is False


class TestGetterErrors:
    @pytest.mark.parametrize('text, message', [
        ("[dummy]\nvalue: abc\n",
         "Unable to parse option 'value' in section 'dummy'"),
        ("[dummy]\nvalue: -1\n",
         "Option 'value' in section 'dummy' must have minimum of 0.0"),
        ("[dummy]\nvalue: 11\n",
         "Option 'value' in section 'dummy' must have maximum of 10.0"),
        ("[dummy]\npair: 1, 2, 3\n",
         "Option 'pair' in section 'dummy' must have 2 elements"),
        ("[dummy]\nflag: maybe\n",
         "Unable to parse option 'flag' in section 'dummy'"),
        ("[dummy]\nunknown: 1\n",
         "Option 'unknown' is not valid in section 'dummy'"),
        ("[simulated_printer]\nnoise: 1\n",
         "Option 'noise' is not valid in section 'simulated_printer'"),
        ("[tensink_v2]\nsim_swap_line: broken\n",
         "Choice 'broken' for option 'sim_swap_line' in section"
         " 'tensink_v2' is not a valid choice"),
        ("[danger_options]\n",
         "Section 'danger_options' is not a valid config section\n"
         "  [danger_options] is a section of the Kalico fork's own: choose"
         " --host kalico"),
    ])
    def test_messages(self, make_printer, text, message):
        with pytest.raises(klippysim.ConfigError) as info:
            make_printer(text)
        assert str(info.value) == message

    def test_required_option(self, make_printer):
        with pytest.raises(klippysim.ConfigError) as info:
            make_printer(base=BASE_CONFIG.replace('z_offset: 2.0', ''))
        assert str(info.value) == (
            "Option 'z_offset' in section 'probe' must be specified")

    def test_wrapper_bounds_and_defaults(self, make_printer):
        printer = make_printer("[dummy]\nvalue: 5\n")
        config = printer.lookup_object('configfile').read_main_config()
        section = config.getsection('dummy')
        # The bound is printed as Python prints the value passed
        with pytest.raises(section.error) as info:
            section.getfloat('value', minval=6)
        assert str(info.value).endswith("must have minimum of 6")
        with pytest.raises(section.error) as info:
            section.getfloat('value', above=5.)
        assert str(info.value).endswith("must be above 5.0")
        with pytest.raises(section.error) as info:
            section.getint('value', maxval=4)
        assert str(info.value).endswith("must have maximum of 4")
        with pytest.raises(section.error) as info:
            section.getfloat('value', below=5)
        assert str(info.value).endswith("must be below 5")
        # A default is returned as given, never checked against a bound
        assert section.getint('absent', 16, minval=0, maxval=10) == 16
        assert section.get('absent', None) is None

    def test_nan_parses_and_passes_every_bound(self, make_printer):
        printer = make_printer("[dummy]\nvalue: NaN\n")
        assert math.isnan(dummy_section(printer).value)
        config = printer.lookup_object('configfile').read_main_config()
        value = config.getsection('dummy').getfloat(
            'value', minval=1., maxval=0., above=2., below=-1.)
        assert math.isnan(value)

    def test_inf_parses(self, make_printer):
        printer = make_printer("[dummy]\nvalue: 1\n")
        config = printer.lookup_object('configfile').read_main_config(
            {'dummy': {'value': 'inf'}})
        assert config.getsection('dummy').getfloat('value') == float('inf')

    def test_getfloatlist_requires_key(self, make_printer):
        printer = make_printer()
        config = printer.lookup_object('configfile').read_main_config()
        with pytest.raises(klippysim.ConfigError) as info:
            config.getsection('probe').getfloatlist('bl_offset', count=2)
        assert str(info.value) == (
            "Option 'bl_offset' in section 'probe' must be specified")


class TestLoading:
    def test_unmodeled_sections_are_accepted(self, make_printer):
        printer = make_printer("""
[mcu]
serial: /dev/ttyS0
[tmc2209 stepper_x]
uart_pin: PA1
[display]
lcd_type: st7920
[stepper_z1]
step_pin: PB1
""")
        assert printer.ignored_sections == [
            'mcu', 'tmc2209 stepper_x', 'display', 'stepper_z1']

    def test_unmodeled_options_of_host_sections_are_accepted(self,
                                                             make_printer):
        base = BASE_CONFIG.replace('[stepper_x]\n',
                                   '[stepper_x]\nstep_pin: PA1\n')
        base = base.replace('[probe]\n', '[probe]\npin: PC1\n')
        make_printer(base=base)

    def test_objects_are_created_in_file_order(self, make_printer):
        printer = make_printer("[dummy]\n")
        names = [name for name, obj in printer.lookup_objects()]
        assert names.index('heater_bed') < names.index('probe')
        assert names.index('probe') < names.index('dummy')
        # The toolhead comes after all extras, as in klippy
        assert names.index('dummy') < names.index('toolhead')

    def test_lookup_errors(self, make_printer):
        printer = make_printer()
        with pytest.raises(printer.config_error) as info:
            printer.lookup_object('nothing')
        assert str(info.value) == "Unknown config object 'nothing'"
        assert printer.lookup_object('nothing', None) is None
        config = printer.lookup_object('configfile').read_main_config()
        with pytest.raises(printer.config_error) as info:
            printer.load_object(config, 'z_compensate')
        assert str(info.value) == "Unable to load module 'z_compensate'"

    def test_probe_module_is_importable_as_a_sibling(self, make_printer):
        make_printer()
        import extras.probe
        assert hasattr(extras.probe, 'PrinterProbe')

    def test_overrides_act_as_file_values(self, make_printer):
        printer = make_printer("[dummy]\nvalue: 1\n",
                               overrides={'dummy': {'value': 9}})
        assert dummy_section(printer).value == 9.
