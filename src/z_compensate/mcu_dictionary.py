"""The data dictionary of a simulated microcontroller for klippy's batch mode.

klippy reads in it the formats of the commands it sends, the constants it
asks for and the names of the pins and buses of the configuration; nothing
runs behind it. The command formats come from the klippy that will read the
dictionary: its code names each command it looks up with the full format
("queue_step oid=%c interval=%u count=%hu add=%hi") and writes each
configuration command with Python's formatting ("config_spi oid=%d pin=%s"),
from which the wire format follows. Only the protocol's own messages, the
constants and a few enumerations are written here by hand.
"""
import ast
import itertools
import json
import os
import re
import warnings

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
# rather than from the configuration: the values a build offers
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

# Where klippy keeps its code beside its own folder's files (a package may
# also hold documents and configurations)
CODE_FOLDERS = ("extras", "kinematics")
# klippy of 2023-10 reads a message's id from one byte, -32..95; later ones
# read more (and klippy of 2023-10 refuses them in its own words)
ONE_BYTE_TAGS = list(range(2, 96)) + list(range(-32, 0))

# A pin that klippy names itself on a chip it is given, "%s:ADC_TEMPERATURE"
CHIP_PIN = re.compile(r"^%s:(\w+)$")
MESSAGE_FORMAT = re.compile(r"^[a-z][a-z0-9_]*( [a-z][a-z0-9_]*=%[%.*a-z]+)+$")
# Specifiers only the wire protocol uses; %u and %i mean the same in both
WIRE_ONLY = ("%c", "%hu", "%hi", "%*s", "%.*s")
LOOKUPS = ("lookup_command", "try_lookup_command", "lookup_query_command")


def parameter_wire_type(name, conversion):
    """The wire type of a parameter that a configuration command formats
    with Python's `conversion` (such as %d or %s)."""
    if conversion.lstrip("%") != "s":
        return "%u"
    if (name == PIN_ENUMERATION or name.endswith("_" + PIN_ENUMERATION)
            or name in BUS_ENUMERATIONS or name in FIRMWARE_ENUMERATIONS):
        return "%u"
    # Everything else formatted as text is a buffer, written in hex
    return "%*s"


def wire_format(msgformat):
    """`msgformat` as the firmware declares it."""
    name, *params = msgformat.split()
    conversions = [param.split("=", 1) for param in params]
    if any(conversion in WIRE_ONLY for _, conversion in conversions) or all(
            conversion in ("%u", "%i") for _, conversion in conversions):
        return msgformat
    return " ".join([name] + ["%s=%s" % (param, parameter_wire_type(param, conversion))
                              for param, conversion in conversions])


class SourceFile:
    """What one of klippy's Python files tells about the firmware."""

    def __init__(self, path, relative):
        with open(path, encoding="utf-8") as f, warnings.catch_warnings():
            # Old escapes in klippy's strings are its own business
            warnings.simplefilter("ignore")
            tree = ast.parse(f.read(), path)
        # {format: (True when klippy looks the exact format up, line)}
        self.formats = {}
        # Sections that klippy's code reads by name, and by name's start
        self.section_names = set()
        self.section_prefixes = set()
        self.responses = set()
        self.commands_without_parameters = set()
        self.imports = set()
        self.loaded_modules = set()
        self.pins = set()
        # The printer objects it makes, such as "probe" (by name, or by
        # making klippy's own probe object)
        self.provides = set()
        package = os.path.dirname(relative).split(os.sep) if os.path.dirname(relative) else []
        for node in ast.walk(tree):
            if isinstance(node, ast.Constant) and isinstance(node.value, str) \
                    and MESSAGE_FORMAT.match(node.value):
                self.formats.setdefault(node.value, (False, node.lineno))
            elif isinstance(node, ast.Constant) and isinstance(node.value, str) \
                    and CHIP_PIN.match(node.value):
                self.pins.add(CHIP_PIN.match(node.value).group(1))
            elif isinstance(node, ast.ImportFrom) and node.level:
                base = package[:len(package) - (node.level - 1)]
                if node.module:
                    base = base + node.module.split(".")
                    self.imports.add("/".join(base))
                for alias in node.names:
                    self.imports.add("/".join(base + [alias.name]))
            elif isinstance(node, ast.Call):
                self.note_call(node)

    def note_call(self, call):
        name = getattr(call.func, "attr", None)
        texts = [arg.value for arg in call.args
                 if isinstance(arg, ast.Constant) and isinstance(arg.value, str)]
        if name in LOOKUPS and texts:
            if " " in texts[0]:
                self.formats[texts[0]] = (True, call.lineno)
            else:
                self.commands_without_parameters.add(texts[0])
            if name == "lookup_query_command" and len(texts) > 1:
                self.responses.add(texts[1])
        elif name in ("getsection", "has_section") and texts:
            self.section_names.add(texts[0])
        elif name == "get_prefix_sections" and texts and texts[0]:
            # (all sections, for the prefix "", says nothing of one)
            self.section_prefixes.add(texts[0])
        if name in ("getsection", "has_section") and call.args and isinstance(
                call.args[0], ast.BinOp) and isinstance(call.args[0].left, ast.Constant):
            # Such as 'stepper_' + axis
            self.section_prefixes.add(call.args[0].left.value)
        if name == "load_object" and texts:
            self.loaded_modules.add("extras/" + texts[0])
        elif name in ("add_object", "register_chip") and texts:
            self.provides.add(texts[0])
        elif name == "PrinterProbe":
            self.provides.add("probe")


class KlippyFormats:
    """The messages of the firmware as a klippy tree (the folder that holds
    klippy.py) knows them, by the file that uses them."""

    def __init__(self, klippy_dir):
        self.klippy_dir = klippy_dir
        self.files = {}
        for folder, _, names in os.walk(klippy_dir):
            relative_folder = os.path.relpath(folder, klippy_dir)
            if relative_folder != "." and relative_folder.split(os.sep)[0] not in CODE_FOLDERS:
                continue
            for name in names:
                if name.endswith(".py"):
                    path = os.path.join(folder, name)
                    relative = os.path.relpath(path, klippy_dir)
                    try:
                        self.files[relative] = SourceFile(path, relative)
                    except (SyntaxError, UnicodeDecodeError, ValueError):
                        # Not klippy's own code (a tool's script, say)
                        continue

        # Modules that klippy loads by the sections of its own files, such
        # as the temperature sensors that [heater_bed] may name
        self.always_loaded = set()
        extras = os.path.join(klippy_dir, "extras")
        for name in sorted(os.listdir(extras)) if os.path.isdir(extras) else []:
            if name.endswith(".cfg"):
                with open(os.path.join(extras, name), encoding="utf-8") as f:
                    self.always_loaded |= set(
                        re.findall(r"^\[(\w+)", f.read(), re.M))

    def module_exists(self, module):
        """Whether klippy loads section [module ...] from its extras."""
        return ("extras/%s.py" % module in self.files
                or "extras/%s/__init__.py" % module in self.files)

    def reads_section(self, section):
        """Whether klippy's code reads [section] by its name (as the
        kinematics read [stepper_x], or the display its [menu ...])."""
        return any(section in source.section_names
                   or any(section.startswith(prefix) for prefix in source.section_prefixes)
                   for source in self.files.values())

    def provides(self, module, name):
        """Whether section [module] makes the printer object `name`."""
        return any(name in self.files[path].provides
                   for path in self.files_of("extras/" + module))

    def files_of(self, module_path):
        """The files of "extras/name": a module or a package."""
        if module_path + ".py" in self.files:
            return [module_path + ".py"]
        prefix = module_path + "/"
        return [path for path in self.files if path.startswith(prefix)]

    def used_files(self, modules):
        """klippy's core and the extras that sections [module] load, with
        what they import or load in turn."""
        todo = [path for path in self.files if not path.startswith("extras/")]
        for module in set(modules) | self.always_loaded:
            todo.extend(self.files_of("extras/" + module))
        used = set()
        while todo:
            path = todo.pop()
            if path in used:
                continue
            used.add(path)
            source = self.files[path]
            for target in source.imports | source.loaded_modules:
                todo.extend(self.files_of(target))
        return used

    def pins(self, modules):
        """The pins that klippy names itself for sections of `modules`."""
        return set().union(*(self.files[path].pins for path in self.used_files(modules)))

    def messages(self, modules):
        """(commands, responses) that a printer with sections of `modules`
        may send or receive, one format per message name."""
        chosen = {}
        responses = set(PROTOCOL_RESPONSES)
        for path in sorted(self.used_files(modules)):
            source = self.files[path]
            responses |= source.responses
            for msgformat, (looked_up, line) in source.formats.items():
                name = msgformat.split()[0]
                wire = wire_format(msgformat)
                # A format klippy looks up must match exactly; one it only
                # formats needs the name alone. Where klippy knows an older
                # firmware's format beside the current one (and tries the
                # older first), the current one has more parameters or
                # comes later in the code.
                rank = (len(wire.split()), looked_up or wire == msgformat, line)
                if name not in chosen or rank > chosen[name][1]:
                    chosen[name] = (wire, rank)
            for name in source.commands_without_parameters:
                chosen.setdefault(name, (name, (1, True, 0)))
        response_names = {msg.split()[0] for msg in responses}
        commands = list(PROTOCOL_COMMANDS)
        known = {msg.split()[0] for msg in commands}
        commands += sorted(wire for name, (wire, _) in chosen.items()
                           if name not in known and name not in response_names)
        return commands, sorted(responses)


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


def data_dictionary(commands, responses, pins, buses):
    """`buses`: {"spi_bus": names, "i2c_bus": names} the configuration uses."""
    others = [msg for msg in commands + responses
              if msg not in (PROTOCOL_COMMANDS[0], PROTOCOL_RESPONSES[0])]
    tags = dict(zip(others, itertools.chain(ONE_BYTE_TAGS, itertools.count(96))))
    tags[PROTOCOL_RESPONSES[0]], tags[PROTOCOL_COMMANDS[0]] = 0, 1
    enumerations = {name: enumeration(values)
                    for name, values in FIRMWARE_ENUMERATIONS.items()}
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
