import pytest

from klippysim.gcode import CommandError


@pytest.fixture
def printer(make_printer):
    return make_printer("[dummy]\n")


def capture(printer, name):
    """Register NAME and return the list of gcmd objects it receives."""
    received = []
    printer.lookup_object('gcode').register_command(name, received.append)
    return received


class TestParsing:
    def test_traditional_parameters_and_comment(self, printer):
        received = capture(printer, 'M999')
        printer.run_gcode("m999 X10 y-2.5 S255 ; a comment")
        gcmd = received[0]
        assert gcmd.get_command() == 'M999'
        assert gcmd.get_commandline() == "m999 X10 y-2.5 S255 ; a comment"
        # As in klippy, the command letter is a parameter as well
        assert gcmd.get_command_parameters() == {
            'M': '999', 'X': '10', 'Y': '-2.5', 'S': '255'}

    def test_extended_names_match_without_regard_to_case(self, printer):
        received = capture(printer, 'MY_COMMAND')
        printer.run_gcode("My_CommanD Z_ADJUST=0.150000 move=1 NAME='a b'")
        gcmd = received[0]
        assert gcmd.get_command() == 'MY_COMMAND'
        assert gcmd.get_command_parameters() == {
            'Z_ADJUST': '0.150000', 'MOVE': '1', 'NAME': 'a b'}

    def test_registration_rules(self, printer):
        gcode = printer.lookup_object('gcode')
        with pytest.raises(printer.config_error) as info:
            gcode.register_command('DUMMY_WAIT', lambda gcmd: None)
        assert str(info.value) == "gcode command DUMMY_WAIT already registered"
        with pytest.raises(printer.config_error) as info:
            gcode.register_command('lower_case', lambda gcmd: None)
        assert str(info.value) == (
            "Can't register 'lower_case' as it is an invalid name")
        assert gcode.get_command_help()['DUMMY_WAIT'] == "dummy"

    def test_unknown_command_is_only_reported(self, printer):
        printer.run_gcode("NO_SUCH_COMMAND")
        assert 'Unknown command:"NO_SUCH_COMMAND"' in printer.console_lines()

    def test_script_stops_at_the_first_error(self, printer):
        with pytest.raises(CommandError):
            printer.run_gcode("DUMMY_FAIL\nDUMMY_WAIT SECONDS=1")
        assert "waited 1.0" not in printer.console_lines()

    def test_nested_lines_are_traced_with_their_depth(self, printer):
        def outer(gcmd):
            printer.lookup_object('gcode').run_script_from_command(
                "DUMMY_WAIT SECONDS=0.5")
        printer.lookup_object('gcode').register_command('OUTER', outer)
        printer.run_gcode("OUTER")
        lines = [(e.data['line'], e.data['depth'])
                 for e in printer.trace.of_kind('gcode')]
        assert lines == [("OUTER", 0), ("DUMMY_WAIT SECONDS=0.5", 1)]


class TestParameters:
    @pytest.mark.parametrize('line, call, message', [
        ("T_CMD", lambda g: g.get_float('VALUE'),
         "Error on 'T_CMD': missing VALUE"),
        ("T_CMD VALUE=abc", lambda g: g.get_float('VALUE'),
         "Error on 'T_CMD VALUE=abc': unable to parse abc"),
        ("T_CMD VALUE=2", lambda g: g.get_float('VALUE', minval=3.),
         "Error on 'T_CMD VALUE=2': VALUE must have minimum of 3.0"),
        ("T_CMD VALUE=2", lambda g: g.get_int('VALUE', maxval=1),
         "Error on 'T_CMD VALUE=2': VALUE must have maximum of 1"),
        ("T_CMD VALUE=2", lambda g: g.get_float('VALUE', above=2.),
         "Error on 'T_CMD VALUE=2': VALUE must be above 2.0"),
        ("T_CMD VALUE=2", lambda g: g.get_float('VALUE', below=2),
         "Error on 'T_CMD VALUE=2': VALUE must be below 2"),
        ("T_CMD VALUE=1.5", lambda g: g.get_int('VALUE'),
         "Error on 'T_CMD VALUE=1.5': unable to parse 1.5"),
    ])
    def test_error_texts(self, printer, line, call, message):
        printer.lookup_object('gcode').register_command('T_CMD', call)
        with pytest.raises(printer.command_error) as info:
            printer.run_gcode(line)
        assert str(info.value) == message

    def test_defaults_and_nan(self, printer):
        values = {}

        def read(gcmd):
            values['default'] = gcmd.get_float('ABSENT', 140.)
            values['nan'] = gcmd.get_float('TEMP', minval=0., maxval=1.)
        printer.lookup_object('gcode').register_command('T_CMD', read)
        printer.run_gcode("T_CMD TEMP=nan")
        assert values['default'] == 140.
        assert values['nan'] != values['nan']
