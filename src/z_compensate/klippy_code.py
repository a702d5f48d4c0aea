"""What a klippy tree's own code tells about the printer it builds.

Read from the Python files of a klippy tree (the folder that holds
klippy.py), never run: the messages its code exchanges with the firmware
(a command it looks up names the full format, "queue_step oid=%c
interval=%u count=%hu add=%hi"), the sections its modules read, the printer
objects they make, and the names by which its code imports klippy's own
modules. A checkout with the firmware's sources beside klippy gives the
firmware's own enumerations too.
"""
import ast
import collections
import os
import re
import warnings

from . import mcu_dictionary

# Where klippy keeps its code beside its own folder's files (a package may
# also hold documents and configurations); a fork loads modules from plugins/
CODE_FOLDERS = ("extras", "kinematics", "plugins")
MODULE_FOLDERS = ("extras", "plugins")
LOOKUPS = ("lookup_command", "try_lookup_command", "lookup_query_command")
# A pin that klippy names itself on a chip it is given, "%s:ADC_TEMPERATURE"
CHIP_PIN = re.compile(r"^%s:(\w+)$")
MESSAGE_FORMAT = re.compile(r"^[a-z][a-z0-9_]*( [a-z][a-z0-9_]*=%[%.*a-z]+)+$")
# The firmware's declaration of a value of one of its enumerations
FIRMWARE_ENUMERATION = re.compile(r'DECL_ENUMERATION\(\s*"([^"]+)"\s*,\s*"([^"]+)"')


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
        # The first names of modules it imports without a package ("from
        # kinematics import extruder", import_module(".x", "extras"))
        self.absolute_names = set()
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
            elif isinstance(node, ast.ImportFrom) and node.module:
                self.absolute_names.add(node.module.split(".")[0])
            elif isinstance(node, ast.Import):
                self.absolute_names.update(alias.name.split(".")[0] for alias in node.names)
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
        elif name == "import_module" and len(texts) == 2 and texts[0].startswith("."):
            self.absolute_names.add(texts[1].split(".")[0])
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


def firmware_enumerations(source_dir):
    """{name: values} of the enumerations the firmware's C sources in
    `source_dir` declare; None without sources."""
    if not os.path.isdir(source_dir):
        return None
    values = collections.defaultdict(set)
    for folder, _, names in os.walk(source_dir):
        for name in names:
            if name.endswith(".c"):
                with open(os.path.join(folder, name), encoding="utf-8",
                          errors="replace") as f:
                    for enumeration, value in FIRMWARE_ENUMERATION.findall(f.read()):
                        values[enumeration].add(value)
    return {name: sorted(found) for name, found in values.items()}


class KlippyFormats:
    """The messages of the firmware as a klippy tree (the folder that holds
    klippy.py) knows them, by the file that uses them, and what else its
    code reads and makes."""

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
        # A checkout holds the firmware's sources beside klippy; PyPI's
        # package does not
        self.enumerations = (firmware_enumerations(os.path.join(klippy_dir, os.pardir, "src"))
                             or mcu_dictionary.FIRMWARE_ENUMERATIONS)

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
        """Whether klippy loads section [module ...] from its extras (or a
        fork's plugins)."""
        return any(self.module_files(folder + "/" + module) for folder in MODULE_FOLDERS)

    def name_words(self):
        """The first words of the names of klippy's modules ("gcode" of
        gcode_macro, "led"): a module beside klippy that shares one is not
        told by it."""
        return {path.split(os.sep)[1].split("_")[0].split(".")[0] for path in self.files
                if path.split(os.sep)[0] in MODULE_FOLDERS and os.sep in path}

    def reads_section(self, section):
        """Whether klippy's code reads [section] by its name (as the
        kinematics read [stepper_x], or the display its [menu ...])."""
        return any(section in source.section_names
                   or any(section.startswith(prefix) for prefix in source.section_prefixes)
                   for source in self.files.values())

    def provides(self, module, name):
        """Whether section [module] makes the printer object `name`."""
        return any(name in self.files[path].provides for path in self.files_of("extras/" + module))

    def package_names(self):
        """klippy's own modules that its code imports by their names in
        klippy's folder ("extras", "kinematics"): a copy of klippy made a
        package must be given them under those names."""
        own = {name.split(os.sep)[0].split(".")[0] for name in self.files}
        return sorted(own & set().union(*(s.absolute_names for s in self.files.values())))

    def module_files(self, module_path):
        """The files of "extras/name": a module or a package."""
        if module_path + ".py" in self.files:
            return [module_path + ".py"]
        prefix = module_path + "/"
        return [path for path in self.files if path.startswith(prefix)]

    def files_of(self, module_path):
        """The files of "extras/name", or of the fork's plugin of that name."""
        found = self.module_files(module_path)
        if not found and module_path.startswith("extras/"):
            return self.module_files("plugins/" + module_path[len("extras/"):])
        return found

    def used_files(self, modules):
        """klippy's core and the extras that sections [module] load, with
        what they import or load in turn."""
        todo = [path for path in self.files
                if path.split(os.sep)[0] not in MODULE_FOLDERS]
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
        responses = set(mcu_dictionary.PROTOCOL_RESPONSES)
        for path in sorted(self.used_files(modules)):
            source = self.files[path]
            responses |= source.responses
            for msgformat, (looked_up, line) in source.formats.items():
                name = msgformat.split()[0]
                wire = mcu_dictionary.wire_format(msgformat, self.enumerations)
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
        commands = list(mcu_dictionary.PROTOCOL_COMMANDS)
        known = {msg.split()[0] for msg in commands}
        commands += sorted(wire for name, (wire, _) in chosen.items()
                           if name not in known and name not in response_names)
        return commands, sorted(responses)
