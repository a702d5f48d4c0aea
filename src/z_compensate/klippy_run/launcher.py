"""Runs klippy in batch mode on a virtual clock, with the dry run's
stand-ins and the z_compensate module loaded beside its own extras.

    python launcher.py --klippy DIR [--package] --added DIR [--added DIR ...]
                       --record FILE --time-limit SECONDS
                       [--start-arg NAME=JSON ...] -- KLIPPY-ARGUMENTS

Runs under klippy's own Python, which need not have this package: it
imports only klippy and the files beside it. --klippy is the folder that
holds klippy.py, either a Klipper checkout's klippy/ or the folder of PyPI's
klippy package (--package); a checkout whose klippy/ is a package itself is
imported as one, as its klippy.py does. klippy's files stay untouched;
what batch mode lacks is given here and by the printer model's stand-in
(extras/simulated_printer.py):
- the reactor's clock is virtual: when nothing is ready it jumps to the
  next timer, so that heating and waiting take no wall time;
- print time follows that clock from the microcontroller's connection on,
  the toolhead may pause again and heater waits wait, as on a printer;
- a restart that SAVE_CONFIG asks for ends the run instead;
- the stepper drivers' periodic status check does not run: batch mode has
  no driver to answer it, and its reads of zero look like a driver reset;
- the modules of the --added folders load as if they were klippy's extras,
  ahead of klippy's own of the same name, and the printer model's
  stand-in loads whether the file has its section or not.
What happened is written to --record (see recorder.py) when klippy ends.
"""
import argparse
import importlib
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# What each pass through the virtual reactor's loop costs, so that a loop
# that waits on the clock alone still sees it advance
LOOP_TIME = 0.000005
# The virtual clock's reading when klippy starts: the same every run
START_TIME = 1.
MODEL_SECTION = "simulated_printer"


def parse_args(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--klippy", required=True)
    parser.add_argument("--package", action="store_true")
    parser.add_argument("--added", action="append", default=[])
    parser.add_argument("--record", required=True)
    parser.add_argument("--time-limit", type=float, required=True)
    parser.add_argument("--start-arg", action="append", default=[])
    parser.add_argument("klippy_args", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    if args.klippy_args[:1] == ["--"]:
        args.klippy_args = args.klippy_args[1:]
    return args


def import_klippy(klippy_dir, package):
    """klippy's module that holds its Printer and main, and the prefix of
    its modules' names: "klippy." where klippy's folder is a package (PyPI's,
    or a checkout whose klippy/ has an __init__.py and imports its modules
    by the package's name), "" for a checkout whose modules are top level."""
    if package or os.path.isfile(os.path.join(klippy_dir, "__init__.py")):
        sys.path.insert(0, os.path.dirname(klippy_dir))
        prefix = os.path.basename(klippy_dir) + "."
    else:
        sys.path.insert(0, klippy_dir)
        prefix = ""
    klippy_main = importlib.import_module(prefix + "klippy")
    if not hasattr(klippy_main, "Printer"):
        # A tree whose klippy.py only starts the printer module
        klippy_main = importlib.import_module(prefix + "printer")
    return klippy_main, prefix


class VirtualPoll:
    """The reactor's poll object on the virtual clock: it never blocks;
    when nothing is ready, time passes until the reactor's next timer."""

    def __init__(self, poll, reactor):
        self.real = poll
        self.reactor = reactor

    def poll(self, timeout_ms=0):
        ready = self.real.poll(0)
        reactor = self.reactor
        now = reactor.virtual_now + LOOP_TIME
        if not ready and timeout_ms:
            now = max(now, min(reactor.virtual_now + timeout_ms / 1000.,
                               reactor._next_timer))
        reactor.virtual_now = now
        return ready

    def __getattr__(self, name):
        return getattr(self.real, name)


def virtual_reactor(base, time_limit, recorder):
    class VirtualReactor(base):
        """klippy's reactor on a clock that jumps to the next timer."""

        def __init__(self, *args, **kwargs):
            base.__init__(self, *args, **kwargs)
            self.virtual_now = START_TIME
            self.limit_reached = False
            self.monotonic = self.virtual_monotonic
            self._poll = VirtualPoll(self._poll, self)

        def virtual_monotonic(self):
            if self.virtual_now - START_TIME > time_limit and not self.limit_reached:
                self.limit_reached = True
                recorder.note_time_limit(time_limit)
                recorder.printer.request_exit("error_exit")
            return self.virtual_now

        def _sys_pause(self, waketime):
            # Before the reactor runs: no wait at all
            self.virtual_now = max(self.virtual_now, waketime)
            return self.virtual_now
    return VirtualReactor


def patch_printer(klippy_main, prefix, added_dirs, start_args, recorder):
    printer_class = klippy_main.Printer
    original_init = printer_class.__init__
    original_load = printer_class.load_object
    original_exit = printer_class.request_exit
    extras = importlib.import_module(prefix + "extras")
    added = {}
    for folder in added_dirs:
        # Ahead of klippy's own extras: the stand-ins answer for these names
        extras.__path__.insert(0, folder)
        for name in os.listdir(folder):
            if name.endswith(".py"):
                added[name[:-3]] = prefix + "extras." + name[:-3]

    def init(self, main_reactor, bglogger, args):
        args.update(start_args)
        original_init(self, main_reactor, bglogger, args)
        recorder.attach(self)

    def load_object(self, config, section, *default):
        module = section.split()[0]
        if section in self.objects or module not in added:
            return original_load(self, config, section, *default)
        init_name = "load_config_prefix" if len(section.split()) > 1 else "load_config"
        loader = getattr(importlib.import_module(added[module]), init_name)
        self.objects[section] = loader(config.getsection(section))
        return self.objects[section]

    def request_exit(self, result):
        # One run only: the restart after SAVE_CONFIG ends it
        if result not in ("exit", "error_exit"):
            result = "exit"
        original_exit(self, result)

    # The printer model's stand-in is there whether the file has its
    # section or not; klippy checks its options last
    configfile = importlib.import_module(prefix + "configfile")
    original_check = configfile.PrinterConfig.check_unused_options

    def check_unused_options(self, config, *options):
        # `options`: whether an unused option is an error, where a fork's
        # klippy says so
        self.printer.load_object(config, MODEL_SECTION)
        original_check(self, config, *options)

    configfile.PrinterConfig.check_unused_options = check_unused_options
    printer_class.__init__ = init
    printer_class.load_object = load_object
    printer_class.request_exit = request_exit


def patch_driver_checks(prefix):
    """The drivers' error check reads their registers when a stepper is
    enabled and then once a second. Batch mode answers every read with
    zeros, which the periodic check takes for a driver reset and shuts
    down on; so the check stops right after its first read, and the
    drivers' status reports no reading, as it does while unchecked."""
    try:
        tmc = importlib.import_module(prefix + "extras.tmc")
    except ImportError:
        return
    error_check = getattr(tmc, "TMCErrorCheck", None)
    if not (hasattr(error_check, "start_checks")
            and hasattr(error_check, "stop_checks")):
        return
    original_start = error_check.start_checks

    def start_checks(self):
        did_reset = original_start(self)
        self.stop_checks()
        return did_reset

    error_check.start_checks = start_checks


def main(argv=None):
    args = parse_args(argv)
    sys.path.insert(0, HERE)
    import recorder as recorder_module
    recorder = recorder_module.Recorder(args.record)
    klippy_main, prefix = import_klippy(os.path.abspath(args.klippy), args.package)
    reactor = importlib.import_module(prefix + "reactor")
    reactor.Reactor = virtual_reactor(reactor.Reactor, args.time_limit, recorder)
    start_args = dict((arg.split("=", 1)[0], json.loads(arg.split("=", 1)[1]))
                      for arg in args.start_arg)
    start_args[recorder_module.RECORDER_ARG] = recorder
    patch_printer(klippy_main, prefix, args.added, start_args, recorder)
    patch_driver_checks(prefix)
    sys.argv = [klippy_main.__file__] + args.klippy_args
    try:
        klippy_main.main()
    finally:
        recorder.write()


if __name__ == "__main__":
    main()
