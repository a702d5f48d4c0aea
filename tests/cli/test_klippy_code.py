"""What a klippy tree's code tells, read without running it: the messages
of the data dictionary made from it, the sections and modules it reads,
the names its code imports klippy's own modules by, and the firmware's
enumerations beside it."""
import textwrap

import pytest
from hypothesis import given
from hypothesis import strategies as st

from generated import budget
from z_compensate import klippy_code, mcu_dictionary

# A klippy tree in miniature: its core, two extras (one importing a helper),
# one extra no section uses, and one that klippy loads by a file of its own
KLIPPY_FILES = {
    "klippy.py": """
        def read_config(config, axis):
            for section in config.get_prefix_sections(""):
                config.getsection("stepper_" + axis)
            config.get_prefix_sections("carriage ")
        """,
    "mcu.py": """
        def setup(mcu, oid):
            mcu.add_config_cmd("config_pwm_out oid=%d pin=%s cycle_ticks=%d"
                               % (oid, "PA1", 100))
            mcu.lookup_command("queue_pwm_out oid=%c clock=%u value=%hu")
            mcu.lookup_command("reset")
        """,
    "extras/widget.py": """
        from . import bus
        def load_config(config, mcu, oid):
            mcu.lookup_query_command("widget_read oid=%c",
                                     "widget_result oid=%c data=%*s")
            mcu.add_config_cmd("config_widget oid=%d cs_pin=%s spi_bus=%s"
                               " thermocouple_type=%s data=%s" % (oid,))
        """,
    "extras/bus.py": """
        def send(mcu, oid):
            mcu.add_config_cmd("spi_send oid=%d data=%s" % (oid, "0102"))
            mcu.lookup_command("spi_send oid=%c data=%*s")
        """,
    "extras/unused.py": 'def f(mcu): mcu.lookup_command("unused_cmd oid=%c")\n',
    "extras/sensors.cfg": "[default_sensor]\n",
    "extras/default_sensor.py": """
        def load_config(config, ppins, name):
            ppins.setup_pin("adc", "%s:ADC_INSIDE" % (name,))
            config.get_printer().load_object(config, "helper")
        """,
    "extras/helper/__init__.py": 'def f(mcu): mcu.lookup_command("helper_cmd oid=%c")\n',
    "docs/hooks.py": 'X = "docs_cmd oid=%c"\n',
}


@pytest.fixture(scope="module")
def formats(tmp_path_factory):
    klippy_dir = tmp_path_factory.mktemp("klipper") / "klippy"
    for relative, text in KLIPPY_FILES.items():
        path = klippy_dir / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    return klippy_code.KlippyFormats(str(klippy_dir))


def test_messages_derived_from_the_klippy_code_that_a_configuration_uses(formats):
    commands, responses = formats.messages({"widget", "stepper_x"})
    assert set(commands) == set(mcu_dictionary.PROTOCOL_COMMANDS) | {
        # formatted by Python: pins and buses enumerated, other text a buffer
        "config_pwm_out oid=%u pin=%u cycle_ticks=%u",
        "config_widget oid=%u cs_pin=%u spi_bus=%u thermocouple_type=%u data=%*s",
        # looked up: the exact format wins over the one only formatted
        "queue_pwm_out oid=%c clock=%u value=%hu",
        "spi_send oid=%c data=%*s",
        "widget_read oid=%c",
        # loaded by a file of klippy's own, and what that loads
        "helper_cmd oid=%c",
    }
    assert "widget_result oid=%c data=%*s" in responses
    assert formats.pins({"widget"}) == {"ADC_INSIDE"}
    assert formats.module_exists("widget") and formats.module_exists("helper")
    assert not formats.module_exists("unused_cmd")
    # Sections klippy's code reads by name are not a module's
    assert formats.reads_section("stepper_x") and formats.reads_section("carriage x")
    assert not formats.reads_section("scanner")


def test_data_dictionary_message_ids_and_enumerations(formats):
    commands, responses = formats.messages({"widget"})
    dictionary = mcu_dictionary.data_dictionary(
        commands, responses, {"PA1", "PB2"}, {"spi_bus": {"spi2"}})
    tags = list(dictionary["commands"].values()) + list(dictionary["responses"].values())
    assert dictionary["commands"]["identify offset=%u count=%c"] == 1
    assert dictionary["responses"]["identify_response offset=%u data=%.*s"] == 0
    assert len(set(tags)) == len(tags) and all(-32 <= tag <= 95 for tag in tags)
    assert dictionary["enumerations"]["pin"] == {"PA1": 0, "PB2": 1}
    assert dictionary["enumerations"]["spi_bus"]["spi2"] == 0
    # without a bus named, klippy takes bus number 0
    assert list(dictionary["enumerations"]["i2c_bus"].values()) == [0]


@budget(50)
@given(command_count=st.integers(0, 140), response_count=st.integers(0, 40))
def test_message_ids_every_klippy_reads(command_count, response_count):
    commands = mcu_dictionary.PROTOCOL_COMMANDS + [
        "cmd%d oid=%%c" % number for number in range(command_count)]
    responses = mcu_dictionary.PROTOCOL_RESPONSES + [
        "resp%d oid=%%c" % number for number in range(response_count)]
    dictionary = mcu_dictionary.data_dictionary(commands, responses, set(), {})
    command_tags = dictionary["commands"]
    tags = list(command_tags.values()) + list(dictionary["responses"].values())
    assert len(set(tags)) == len(tags)
    assert command_tags["identify offset=%u count=%c"] == 1
    assert dictionary["responses"]["identify_response offset=%u data=%.*s"] == 0
    # klippy hands a command's id to its C helper masked to 32 bits, where
    # it must fit a signed 32-bit value
    assert all(0 <= tag & 0xFFFFFFFF < 2 ** 31 for tag in command_tags.values())
    # One byte holds them wherever it can (all klippy of 2023-10 reads)
    if len(commands) <= 95 and len(tags) <= 128:
        assert all(-32 <= tag <= 95 for tag in tags)


def test_pin_names_in_option_values():
    assert mcu_dictionary.pin_names(
        ["^!PA1", "mcu2:PB3, ~P1.20", "EXP1_1=PE6, EXP1_2=<GND>"]) == {
            "PA1", "PB3", "P1.20", "EXP1_1", "PE6", "EXP1_2"}


def test_klippys_own_names_plugins_and_firmware_enumerations(tmp_path):
    files = {
        "klippy/klippy.py": "import mcu\n",
        "klippy/mcu.py": "",
        "klippy/extras/__init__.py": "",
        "klippy/extras/shaper_calibrate.py":
            "import importlib\nimportlib.import_module('.shaper_defs', 'extras')\n",
        "klippy/extras/lis2dw.py": 'def f(mcu): mcu.add_config_cmd(\n'
            '    "config_lis2dw oid=%d bus_oid_type=%s "\n    "lis_chip_type=%s" % (1, "spi", "x"))\n',
        "klippy/plugins/scanner.py": "",
        "src/sensor_lis2dw.c": 'DECL_ENUMERATION("bus_oid_type", "spi", 0);\n'
                               'DECL_ENUMERATION("lis_chip_type", "LIS2DW", 0);\n',
    }
    for relative, text in files.items():
        (tmp_path / relative).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / relative).write_text(text)
    code = klippy_code.KlippyFormats(str(tmp_path / "klippy"))
    assert code.package_names() == ["extras", "mcu"]
    assert code.module_exists("scanner") and not code.module_exists("beacon")
    commands, _ = code.messages({"lis2dw"})
    assert "config_lis2dw oid=%u bus_oid_type=%u lis_chip_type=%u" in commands
    dictionary = mcu_dictionary.data_dictionary(commands, [], set(), {}, code.enumerations)
    assert dictionary["enumerations"]["lis_chip_type"] == {"LIS2DW": 0}


def test_first_words_of_klippys_module_names(formats):
    # A module beside klippy named "widget_leds" is not told by "widget"
    assert {"widget", "bus", "helper", "default"} <= formats.name_words()
    assert "docs" not in formats.name_words()
