"""The module's command run inside the answering klippy itself.

klippy loads the copy of the configuration, homes the printer its own way
with G28 and then runs the command, all in one batch run on a virtual clock
(launcher.py), with the module and the stand-ins of what klippy cannot show
without hardware (extras/: the pressure probe, the bed, the probes'
triggers and the heaters) loaded beside its own extras. What klippy did is
read back from the record (recorder.py) into a run that the dry run's
report, summary, refusal explanations and picture read as they read the
simulated host's.
"""
import collections
import json
import os
import shutil
import sys
from pathlib import Path

from klippysim.kinematics import AxisRange, violated_limits

from .. import install
from .launcher import START_TIME
from .printer_model import BedSurface
from .recorder import SEED_ARG, TRUE_OFFSET_ARG

HERE = Path(__file__).resolve().parent
LAUNCHER = HERE / "launcher.py"
STAND_INS = HERE / "extras"
RECORD_NAME = "record.json"
# Virtual seconds a run may take (the longest heat-up and calibration take
# a few hundred)
VIRTUAL_TIME_LIMIT = 3600.

TraceEvent = collections.namedtuple("TraceEvent", ["time", "kind", "data"])


class EngineUnavailable(Exception):
    """The module cannot be loaded into that klippy."""


def module_files(python):
    """The module's extension and loader for `python`: this package's own
    build when it is the Python that runs the dry run."""
    extension, loader = install.built_files()
    if os.path.realpath(python) != os.path.realpath(sys.executable):
        facts = install.python_facts(python)
        if not extension.name.endswith(facts["ext_suffix"]):
            raise EngineUnavailable(
                "the module is built for this dry run's Python %s, not for %s that"
                " runs this klippy: run the dry run with that Python, or install"
                " the module into that checkout (scripts/install-klipper.sh) and"
                " ask the printer itself" % (sys.version.split()[0], python))
    return extension, loader


class Engine:
    """How the command runs in klippy's batch run: its input, the launcher
    in front of klippy and what it hands klippy."""

    def __init__(self, command_line, python, module_args, seed, true_offset=None,
                 time_limit=VIRTUAL_TIME_LIMIT):
        """`module_args`: klippy's start arguments for the module; `seed`
        and `true_offset` (None: the probe's own) set the printer model."""
        self.command_line = command_line
        self.python = python
        self.start_args = dict(module_args)
        self.start_args[SEED_ARG] = seed
        if true_offset is not None:
            self.start_args[TRUE_OFFSET_ARG] = true_offset
        self.time_limit = time_limit
        self.extension, self.loader = module_files(python)
        # The configuration klippy was given, the record of its run and the
        # configuration as its run left it
        self.given_config = None
        self.record = None
        self.saved_config = None

    def gcode(self):
        return "G28\n%s\n" % self.command_line

    def launcher_command(self, klippy_dir, package, work):
        """The command that runs klippy from the launcher, without klippy's
        own arguments."""
        added = Path(work) / "added-module"
        added.mkdir()
        shutil.copyfile(str(self.extension), str(added / self.extension.name))
        shutil.copyfile(str(self.loader), str(added / self.loader.name))
        command = [self.python, str(LAUNCHER), "--klippy", str(klippy_dir)]
        command += ["--package"] if package else []
        command += ["--added", str(STAND_INS), "--added", str(added),
                    "--record", str(Path(work) / RECORD_NAME),
                    "--time-limit", repr(self.time_limit)]
        for name, value in sorted(self.start_args.items()):
            command += ["--start-arg", "%s=%s" % (name, json.dumps(value))]
        return command + ["--"]

    def collect(self, work, config_copy):
        """Reads what the run left in `work` before it goes."""
        path = Path(work) / RECORD_NAME
        if path.is_file():
            self.record = json.loads(path.read_text())
        if config_copy.is_file():
            self.saved_config = config_copy.read_text()

    def time_limit_reached(self):
        return self.record is not None and any(
            kind == "time_limit" for _, kind, _ in self.record["events"])

    def error(self):
        """klippy's last error on its console ("!! ..."), or None."""
        errors = [data["text"][3:] for _, kind, data in (self.record or {}).get("events", [])
                  if kind == "console" and data["text"].startswith("!! ")]
        return errors[-1] if errors else None

    def shutdown_reason(self):
        """Why klippy shut down, in its words ("Shutdown due to ..."), or None."""
        reasons = [data["reason"] for _, kind, data in (self.record or {}).get("events", [])
                   if kind == "shutdown"]
        return reasons[0] if reasons else None

    def failure(self):
        """Why klippy's run failed, in its words: the reason it shut down,
        unless that only carries its last error (the module's own fault
        shuts it down with the fault's record), or else that error."""
        error, reason = self.error(), self.shutdown_reason()
        if reason is None or (error is not None and error in reason):
            return error
        return reason

    def command_started(self):
        return self.record is not None and any(
            kind == "input" and data["line"] == self.command_line
            for _, kind, data in self.record["events"])


# What the report reads, as the simulated host offers it
class Trace(list):
    def of_kind(self, kind):
        return [event for event in self if event.kind == kind]


class Clock:
    def __init__(self, time):
        self.time = time

    def monotonic(self):
        return self.time


class Limits:
    """The toolhead's limits as klippy's own status gave them."""

    def __init__(self, toolhead, sections):
        minimum, maximum = toolhead["axis_minimum"], toolhead["axis_maximum"]
        delta = "delta" in sections.get("printer", {}).get("kinematics", "")
        self.print_radius = maximum[0] if delta else None
        names = (["printer"] * 3 if delta
                 else ["stepper_x", "stepper_y", "stepper_z"])
        min_option = "minimum_z_position" if delta else "position_min"
        self.rails = [AxisRange(name, low, high, min_option)
                      for name, low, high in zip(names, minimum[:3], maximum[:3])]

    def violated_limits(self, position):
        return violated_limits(self.rails, position)


class Values:
    """An object whose attributes are the given values."""

    def __init__(self, values, **more):
        self.__dict__.update(values)
        self.__dict__.update(more)


class RecordedModule(Values):
    def __init__(self, values, status):
        Values.__init__(self, values)
        self.status = status

    def get_status(self, eventtime):
        return self.status


class RecordedPrinter:
    """klippy's objects as they stood when the run ended."""

    def __init__(self, facts, sections, physics):
        self.facts = facts
        self.sim = physics
        self.objects = {}
        if "toolhead" in facts:
            limits = Limits(facts["toolhead"], sections)
            self.objects["toolhead"] = Values({}, get_kinematics=lambda: limits)
        heaters = dict((name, Values(values)) for name, values in facts["heaters"].items())
        self.objects["heaters"] = Values({}, lookup_heater=heaters.get)
        if "extruder" in heaters:
            self.objects["extruder"] = Values({}, heater=heaters["extruder"],
                                              max_e_dist=facts.get("max_e_dist"))
        if "probe" in facts:
            probe = facts["probe"]
            self.objects["probe"] = Values(
                {"samples_result": probe["samples_result"]},
                get_offsets=lambda: tuple(probe["offsets"]))

    def get_reactor(self):
        return Clock(self.facts.get("time", START_TIME) - START_TIME)

    def lookup_object(self, name, default=None):
        return self.objects.get(name, default)


class SectionValues:
    """The numbers of a configuration section, read as klippy reads them."""

    def __init__(self, options):
        self.options = options

    def getfloat(self, option, default=None, **limits):
        return float(self.options[option]) if option in self.options else default


class RecordedModel:
    """The printer model as the run used it: the bed's surface from the
    configuration and the true probe offset klippy's run took."""

    def __init__(self, sections, facts):
        self.surface = BedSurface(SectionValues(sections.get("simulated_printer", {})))
        self.true_probe_offset = facts.get("true_probe_offset")

    def surface_height(self, x, y):
        return self.surface.height(x, y)


def events(record):
    """The record's events, timed from klippy's start."""
    return Trace(TraceEvent(time - START_TIME, kind, data)
                 for time, kind, data in record["events"])
