"""The module's own cost, import time, memory and size.

    python benchmarks/run.py [--quick]

Run it with the interpreter into which the package is installed (`pip install
.`). Each figure is an operation of the module on a host that answers at
once (stub_host.py). Its floor is the same host calls, recorded once and
replayed straight from Python in a tight loop; its own cost is its time minus
the floor, given as a multiple of the floor. The same calls made through the
C API by a module that does nothing else (native_replay.c, built here when a
C compiler is at hand) bound what any native binding can reach. Both are
taken from the module's own run, so neither can drift from what it does.
"""
import argparse
import compileall
import glob
import importlib
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import stub_host  # noqa: E402

# Own cost at most this many times the floor.
TARGETS = {
    "construction with all 41 keys": 0.65,
    "get_status": 0.5,
    "move": 2.3,
    "print_msg to the console": 0.6,
    "set_step_par (save + restore)": 0.4,
    "Z_OFFSET_CALIBRATION": 1.6,
    "VQTWENTYMA_NOZZLE_CLEAR": 0.4,
    "Z_OFFSET_AUTO": 0.4,
}


# Recording the host calls of one operation.

class Recorder:
    def __init__(self):
        self.log = []
        self.proxies = {}

    def wrap(self, value):
        if isinstance(value, Proxy) or not isinstance(value, stub_host.StubObject):
            return value
        if id(value) not in self.proxies:
            self.proxies[id(value)] = Proxy(value, self)
        return self.proxies[id(value)]


def unwrap(value):
    return object.__getattribute__(value, "_target") if isinstance(value, Proxy) else value


class Proxy:
    """Stands for a host object and notes every call, read and write."""

    def __init__(self, target, recorder):
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_recorder", recorder)

    def __getattr__(self, name):
        target = object.__getattribute__(self, "_target")
        recorder = object.__getattribute__(self, "_recorder")
        value = getattr(target, name)
        if callable(value) and not isinstance(value, (type, stub_host.StubObject)):
            def call(*args, **kwargs):
                args = [unwrap(a) for a in args]
                kwargs = {k: unwrap(v) for k, v in kwargs.items()}
                recorder.log.append(("call", target, name, args, kwargs))
                return recorder.wrap(value(*args, **kwargs))
            return call
        recorder.log.append(("get", target, name))
        return recorder.wrap(value)

    def __setattr__(self, name, value):
        target = object.__getattribute__(self, "_target")
        object.__getattribute__(self, "_recorder").log.append(("set", target, name, unwrap(value)))
        setattr(target, name, unwrap(value))


def replay_function(log):
    """A function that makes exactly the logged host calls."""
    names = {}
    constants = {}

    def object_name(obj):
        return names.setdefault(id(obj), ("o%d" % len(names), obj))[0]

    def literal(value):
        if isinstance(value, stub_host.StubObject):
            return object_name(value)
        if stub_host.is_literal(value):
            return repr(value)
        return constants.setdefault(id(value), ("k%d" % len(constants), value))[0]

    lines = []
    for entry in log:
        kind, target, name = entry[:3]
        owner = object_name(target)
        if kind == "get":
            lines.append("    %s.%s" % (owner, name))
        elif kind == "set":
            lines.append("    %s.%s = %s" % (owner, name, literal(entry[3])))
        else:
            args = [literal(a) for a in entry[3]]
            args += ["%s=%s" % (k, literal(v)) for k, v in entry[4].items()]
            lines.append("    %s.%s(%s)" % (owner, name, ", ".join(args)))
    parameters = [n for n, _ in names.values()] + [n for n, _ in constants.values()]
    values = [v for _, v in names.values()] + [v for _, v in constants.values()]
    source = "def replay(%s):\n%s\n" % (", ".join(parameters), "\n".join(lines) or "    pass")
    scope = {}
    exec(compile(source, "<replay>", "exec"), scope)
    replay = scope["replay"]
    return lambda: replay(*values)


def build_native_replay(directory):
    """native_replay.c built as the interpreter's own extensions are, or None
    without a compiler."""
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
    if not shutil.which(compiler[0]):
        print("no C compiler (%s): the native replay column is left out" % compiler[0])
        return None
    target = os.path.join(directory, "native_replay" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run(compiler + shlex.split(sysconfig.get_config_var("CFLAGS") or "")
                   + ["-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                      os.path.join(HERE, "native_replay.c"), "-o", target], check=True)
    sys.path.insert(0, directory)
    try:
        return importlib.import_module("native_replay")
    finally:
        sys.path.remove(directory)


def native_replay_function(native_replay, log):
    """A function that makes the logged host calls through the C API, entered
    from Python as the operations are: a function that calls into C."""
    program = native_replay.compile(log)
    run = native_replay.run
    enter = lambda program: run(program)  # noqa: E731
    return lambda: enter(program)


# Timing.

def repetitions(function, seconds):
    """How many calls take about a tenth of `seconds`."""
    count = 1
    while True:
        start = time.thread_time_ns()
        for _ in range(count):
            function()
        elapsed = time.thread_time_ns() - start
        if elapsed > seconds * 1e9 / 10 or count > 1e7:
            return count
        count *= 2


def round_time(function, count):
    start = time.thread_time_ns()
    for _ in range(count):
        function()
    return time.thread_time_ns() - start


def per_call(functions, seconds):
    """Nanoseconds per call of each function: the best of several rounds, the
    loop's own time taken off. The functions' rounds alternate, so that a
    change in the machine's load falls on all of them alike."""
    counts = [repetitions(function, seconds) for function in functions]
    best = [float("inf")] * len(functions)
    empty = [float("inf")] * len(functions)
    for _ in range(7):
        for i, function in enumerate(functions):
            best[i] = min(best[i], round_time(function, counts[i]))
            empty[i] = min(empty[i], loop_time(counts[i]))
    return [(b - e) / c for b, e, c in zip(best, empty, counts)]


def loop_time(count):
    start = time.thread_time_ns()
    for _ in range(count):
        pass
    return time.thread_time_ns() - start


class Operations:
    def __init__(self, module):
        self.cls = module.ZCompensateInitWrapper

    def operations(self):
        """name -> (set-up(printer, config) returning the call)"""
        def on_object(action):
            def set_up(printer, config):
                obj = self.cls(config)
                obj.toolhead = printer.lookup_object("toolhead")
                return lambda: action(obj, printer)
            return set_up

        gcmd = stub_host.Command()

        def step_par(obj, printer):
            obj.set_step_par(False)
            obj.set_step_par(True)
        return {
            "construction with all 41 keys": lambda printer, config: lambda: self.cls(config),
            "get_status": on_object(lambda obj, p: obj.get_status(0.)),
            "move": on_object(lambda obj, p: obj.move([20., 30., 5.], 100)),
            "print_msg to the console": on_object(
                lambda obj, p: obj.print_msg("TITLE", "text", True)),
            "set_step_par (save + restore)": on_object(step_par),
            "Z_OFFSET_CALIBRATION": on_object(
                lambda obj, p: obj.cmd_Z_OFFSET_CALIBRATION(gcmd)),
            "VQTWENTYMA_NOZZLE_CLEAR": on_object(
                lambda obj, p: obj.cmd_VQ20MA_NOZZLE_CLEAR(gcmd)),
            "Z_OFFSET_AUTO": on_object(lambda obj, p: obj.cmd_Z_OFFSET_AUTO(gcmd)),
        }


def measure(module, seconds, native_replay=None):
    """name -> (operation ns, floor ns, host calls, native replay ns or None)"""
    results = {}
    for name, set_up in Operations(module).operations().items():
        # One run through proxies records the host calls...
        recorder = Recorder()
        printer, config = stub_host.printer_and_config()
        recorded = set_up(recorder.wrap(printer), recorder.wrap(config))
        recorder.log.clear()
        recorded()
        floor = replay_function(recorder.log)
        # ...the timed runs talk to the host objects directly.
        printer, config = stub_host.printer_and_config()
        operation = set_up(printer, config)
        # The replays need the same objects as the log: time them on the recorded host.
        timed = [floor, operation]
        if native_replay:
            timed.append(native_replay_function(native_replay, recorder.log))
        times = per_call(timed, seconds)
        results[name] = (times[1], times[0], len(recorder.log),
                         times[2] if native_replay else None)
    return results


# Loading: import time, memory, size.

def klippy_tree(extension):
    root = tempfile.mkdtemp(prefix="zcomp-bench-")
    extras = os.path.join(root, "extras")
    os.mkdir(extras)
    for name in ("__init__.py", "probe.py"):
        with open(os.path.join(extras, name), "w") as f:
            f.write("")
    shutil.copy(extension, extras)
    # As on a printer, where klippy's modules are compiled once and cached.
    compileall.compile_dir(extras, quiet=1)
    return root


# The module loads on top of what klippy has loaded by then: greenlet (and
# with it the C++ runtime), the sibling module probe, and standard modules
# that klippy imports itself.
LOAD = """
import sys, time
sys.path.insert(0, sys.argv[1])
def memory_kib():
    with open('/proc/self/status') as status:
        fields = dict(line.split(':', 1) for line in status)
    return [int(fields[name].split()[0]) for name in ('VmHWM', 'RssAnon')]
import collections.abc, inspect, logging, math, random, socket, greenlet
import extras.probe
before = memory_kib()
start = time.perf_counter()
if sys.argv[2]:
    __import__('extras.' + sys.argv[2])
seconds = time.perf_counter() - start
after = memory_kib()
print(seconds, after[0] - before[0], after[1] - before[1])
"""


def load_cost(root, module, runs):
    times, peaks, private = [], [], []
    for _ in range(runs):
        out = subprocess.run([sys.executable, "-c", LOAD, root, module], check=True,
                             stdout=subprocess.PIPE, universal_newlines=True).stdout
        seconds, peak_kib, private_kib = out.split()
        times.append(float(seconds))
        peaks.append(int(peak_kib))
        private.append(int(private_kib))
    return (statistics.median(times) * 1e3, statistics.median(peaks),
            statistics.median(private))


def installed_extension():
    import z_compensate
    found = glob.glob(os.path.join(os.path.dirname(z_compensate.__file__), "module",
                                   "z_compensate_wrapper*.so"))
    if not found:
        sys.exit("the package is not installed in this interpreter: pip install .")
    return found[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="shorter rounds, fewer runs")
    options = parser.parse_args()
    seconds = 0.2 if options.quick else 1.0
    runs = 5 if options.quick else 21

    extension = installed_extension()
    root = klippy_tree(extension)
    sys.path.insert(0, root)
    import extras.z_compensate_wrapper as native

    print("CPython %s, %s" % (sys.version.split()[0], os.path.basename(extension)))
    print()
    native_replay = build_native_replay(root)
    results = measure(native, seconds, native_replay)
    print("| figure | host calls | floor | native | own cost | target |"
          + (" native replay |" if native_replay else ""))
    print("|---|---:|---:|---:|---:|---:|" + ("---:|" if native_replay else ""))
    met = True
    for name, (operation_ns, floor_ns, calls, replay_ns) in results.items():
        own = own_cost(operation_ns, floor_ns)
        ok = own <= TARGETS[name]
        met = met and ok
        row = "| %s | %d | %s | %s | %.2f× %s | %.2f× |" % (
            name, calls, show_ns(floor_ns), show_ns(operation_ns), own,
            "" if ok else "(missed)", TARGETS[name])
        if native_replay:
            replay_own = own_cost(replay_ns, floor_ns)
            row += " %s, %.2f×%s |" % (show_ns(replay_ns), replay_own,
                                     " (target below)" if TARGETS[name] < replay_own else "")
        print(row)
    print()
    if native_replay:
        print("native replay: the own cost of a native module that only makes the host calls,")
        print("through the C API with every argument prebuilt. A target below it cannot be met")
        print("by any binding through the C API. Slightly below zero, the floor's call into")
        print("the replaying Python function costs more than a call into C.")
        print()

    bare = load_cost(root, "", runs)
    native_load = load_cost(root, "z_compensate_wrapper", runs)
    # Peak RSS counts the extension's pages mapped from its file as well;
    # the private part is what the process itself allocated.
    print("| loading | import time | peak RSS added | of it private |")
    print("|---|---:|---:|---:|")
    print("| native module | %.2f ms | %d KiB | %d KiB |" % native_load)
    print("| (nothing: the measurement's own noise) | %.2f ms | %d KiB | %d KiB |" % bare)
    print()
    size = os.path.getsize(extension)
    stripped = os.path.join(root, "stripped.so")
    subprocess.run(["strip", "-o", stripped, extension], check=True)
    print("extension: %d KiB installed, %d KiB stripped" % (
        size // 1024, os.path.getsize(stripped) // 1024))
    print("every own-cost target met" if met else "some own-cost targets missed")
    shutil.rmtree(root)


def own_cost(ns, floor_ns):
    """The time above the floor, as a multiple of the floor."""
    return (ns - floor_ns) / floor_ns


def show_ns(ns):
    return "%.0f ns" % ns if ns < 10000 else "%.1f µs" % (ns / 1000)


if __name__ == "__main__":
    main()
