"""The data dictionary of a simulated microcontroller for klippy's batch mode.

klippy reads in it the formats of the commands it sends, the constants it
asks for and the names of the pins and buses of the configuration; nothing
runs behind it. The command formats come from the klippy that will read the
dictionary (klippy_code): a configuration command that klippy writes with
Python's formatting ("config_spi oid=%d pin=%s") has a wire format that
follows from it. Only the protocol's own messages, the constants and the
enumerations of a firmware without its sources at hand are written here by
hand.
"""
import itertools
import json
import re

# The protocol's own messages, which every klippy exchanges with every
# microcontroller; "identify" and its response have fixed ids
PROTOCOL_COMMANDS = [
    "identify offset=%u count=%c",
    "get_config",
    "allocate_oids count=%c",
    "finalize_config crc=%u",
    "get_clock",
    "get_uptime",
    "emergency_stop",
    "clear_shutdown",
    "reset",
    "config_reset",
]
PROTOCOL_RESPONSES = [
    "identify_response offset=%u data=%.*s",
    "config is_config=%c crc=%u is_shutdown=%c move_count=%hu",
    "clock clock=%u",
    "uptime high=%u clock=%u",
    "starting",
    "shutdown clock=%u static_string_id=%hu",
    "is_shutdown static_string_id=%hu",
    "stats count=%u sum=%u sumsq=%u",
]

CONSTANTS = {
    # A common board: klippy picks its MCU temperature curve and its TMC
    # UART timing by this name
    "MCU": "stm32f103xe",
    "CLOCK_FREQ": 72000000,
    "ADC_MAX": 4095,
    "PWM_MAX": 255,
    "STATS_SUMSQ_BASE": 256,
    "RECEIVE_WINDOW": 192,
    # The PWM range of the chip that a Linux host's MCU drives for a board
    # on the host (klippy's replicape module asks for it)
    "PCA9685_MAX": 4096,
}

# Parameters that the firmware reads by name from an enumeration of its own
# rather than from the configuration: the values a build offers, where the
# klippy has no firmware sources beside it
FIRMWARE_ENUMERATIONS = {
    "thermocouple_type": ["MAX31855", "MAX31856", "MAX31865", "MAX6675"],
    "spi_angle_type": ["a1333", "as5047d", "tle5012b"],
}
# Enumerations that the configuration fills: pins and bus names
PIN_ENUMERATION = "pin"
BUS_ENUMERATIONS = ("spi_bus", "i2c_bus")
# The SPI buses of a Linux host's MCU, which a module may name itself (a
# board's module on the host, say)
HOST_SPI_BUSES = ["spidev%d.%d" % (bus, device) for bus in range(4) for device in range(4)]

# klippy of 2023-10 reads a message's id from one byte, -32..95; later ones
# read more (and klippy of 2023-10 refuses them in its own words). klippy
# hands the ids of some commands (queue_step's) to its C helper as unsigned
# 32-bit values that the helper takes as signed ones, where a negative id
# does not fit: commands take the ids from 2 up, responses the negative
# ones first.
FIRST_COMMAND_TAG = 2
NEGATIVE_TAGS = range(-32, 0)

# Specifiers only the wire protocol uses; %u and %i mean the same in both
WIRE_ONLY = ("%c", "%hu", "%hi", "%*s", "%.*s")


def parameter_wire_type(name, conversion, enumerations):
    """The wire type of a parameter that a configuration command formats
    with Python's `conversion` (such as %d or %s); `enumerations`: the
    firmware's own enumerations by name."""
    if conversion.lstrip("%") != "s":
        return "%u"
    if (name == PIN_ENUMERATION or name.endswith("_" + PIN_ENUMERATION)
            or name in BUS_ENUMERATIONS or name in enumerations):
        return "%u"
    # Everything else formatted as text is a buffer, written in hex
    return "%*s"


def wire_format(msgformat, enumerations=FIRMWARE_ENUMERATIONS):
    """`msgformat` as the firmware declares it."""
    name, *params = msgformat.split()
    conversions = [param.split("=", 1) for param in params]
    if any(conversion in WIRE_ONLY for _, conversion in conversions) or all(
            conversion in ("%u", "%i") for _, conversion in conversions):
        return msgformat
    return " ".join([name] + ["%s=%s" % (param, parameter_wire_type(param, conversion, enumerations))
                              for param, conversion in conversions])


def pin_names(values):
    """The pin names in option values such as "^!PA1", "mcu2:PB3" or a
    board's "aliases: EXP1_1=PE6, EXP1_2=<GND>"."""
    names = set()
    for value in values:
        for word in re.split(r"[\s,=]+", value):
            word = word.lstrip("^~!").split(":")[-1]
            if re.match(r"^[A-Za-z0-9_./]+$", word):
                names.add(word)
    return names


def enumeration(names):
    return {name: number for number, name in enumerate(sorted(names))}


def data_dictionary(commands, responses, pins, buses,
                    firmware_enumerations=FIRMWARE_ENUMERATIONS):
    """`buses`: {"spi_bus": names, "i2c_bus": names} the configuration uses;
    `firmware_enumerations`: {name: values} of the firmware's own."""
    tags = {PROTOCOL_RESPONSES[0]: 0, PROTOCOL_COMMANDS[0]: 1}
    command_tags = itertools.count(FIRST_COMMAND_TAG)
    response_tags = itertools.chain(NEGATIVE_TAGS, command_tags)
    for msgs, free_tags in ((commands, command_tags), (responses, response_tags)):
        for msg in msgs:
            if msg not in tags:
                tags[msg] = next(free_tags)
    enumerations = {name: enumeration(values)
                    for name, values in firmware_enumerations.items()
                    if name != PIN_ENUMERATION and name not in BUS_ENUMERATIONS}
    enumerations[PIN_ENUMERATION] = enumeration(pins)
    for bus in BUS_ENUMERATIONS:
        # Without a bus named, klippy takes the bus whose number is 0
        names = sorted(buses.get(bus, ())) or [bus.split("_")[0] + "_default"]
        if bus == "spi_bus":
            names += [name for name in HOST_SPI_BUSES if name not in names]
        enumerations[bus] = {name: number for number, name in enumerate(names)}
    return {
        "version": "z-compensate simulated mcu",
        "build_versions": "",
        "commands": {msg: tags[msg] for msg in commands},
        "responses": {msg: tags[msg] for msg in responses},
        "config": CONSTANTS,
        "enumerations": enumerations,
    }


def write(path, dictionary):
    with open(str(path), "w") as f:
        json.dump(dictionary, f, indent=1, sort_keys=True)
