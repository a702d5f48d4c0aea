"""Runs one of the module's commands on a simulated printer.

    z-compensate run [--config printer.cfg] [--out DIR] [--seed N]
                     [--true-offset MM] [--host GENERATION] [COMMAND [PARAM=VALUE ...]]

A copy of the printer.cfg (by default the bundled example printer) is loaded
by klippy itself (the embedded klippy, or the checkout --klipper names)
together with the installed module: klippy homes the printer its own way
with G28 and runs the command in the same batch run on virtual time, the
printer's bed, probes and heaters simulated (klippy_run). Where there is no
klippy to run, the simulated klippy host (klippysim) answers alone. A seed
(--seed, or a new one that the run prints) fixes the module's random draws
and the simulated noise, so that any run can be repeated. The run shows the
console as the printer would, each stage of auto_alignment_status as it is reached
and a summary. When the command ends normally the configuration as the run
saved it and its change (when it saved anything) and a picture of the run go
to a new folder of the run's own in the out directory; when klippy refuses
something the run says which configured value caused it and writes only the
picture of the run up to the refusal. The user's own file is never written.
"""
import collections
import difflib
import itertools
import logging
import os
import random
import shutil
import sys
import tempfile
import time
from pathlib import Path

import klippysim

from . import install, klippy_check, klippy_config, klippy_run, refusal, run_input, run_picture, run_trace
from .run_input import EXIT_BAD_INPUT, BadInput

# Commands that begin with the wipe, whose stage 0 is worth showing
WIPING_COMMANDS = ("Z_OFFSET_AUTO", "VQTWENTYMA_NOZZLE_CLEAR")
# What to do about klippy's load errors that this module's users meet first
CONFIG_HINTS = {
    "Unknown config object 'tensink_v2'":
        "[z_compensate] needs the pressure probe: add its [tensink_v2]"
        " section above [z_compensate]",
    # klippy takes one correction of the bed's shape, and [z_compensate]
    # switches the mesh off around its measurements
    "G-Code move transform already specified":
        "[bed_tilt] and [bed_mesh] both correct moves for the bed's shape and"
        " klippy takes only one: [z_compensate] works with [bed_mesh], so remove"
        " [bed_tilt]",
}

EXIT_REFUSED = 1
# klippy's answers that tell the user nothing in a dry run: the
# acknowledgements of the input's lines, its state as batch mode ends
UNSHOWN_ANSWERS = ("ok", "// Klipper state: Disconnect")

# The start argument from which the module takes the seed of its draws; a
# printer's klippy has none, and there the module draws afresh on every run
MODULE_SEED_ARG = "z_compensate_seed"
# Seeds drawn for a run given none: short enough to type again
NEW_SEEDS = 10 ** 6
# The line that opens the block SAVE_CONFIG writes at the end of printer.cfg


class Refused(Exception):
    """The simulated printer ended the command; args are the report's lines."""


def copy_config(files, config, dest_dir):
    """Writes the configuration's files ({path relative to `config`'s
    folder: text}) into `dest_dir`; returns the copy of `config`."""
    for relative, text in files.items():
        target = dest_dir / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text)
    return dest_dir / config.name


# klippy's answer, before the simulated run
def chosen_klippy(args):
    """The klippy that answers, and why: --klipper, else the printer's own
    (on a printer's host), else the embedded one; or None."""
    try:
        if args.klipper is not None:
            klippy, why = klippy_check.from_checkout(args.klipper, args.klipper_python), "--klipper"
        else:
            klippy, why = klippy_check.printer_klippy(), "found at ~/%s" % klippy_check.PRINTER_CHECKOUT
            if klippy is None:
                klippy, why = klippy_check.embedded(), "embedded: no klippy at ~/%s with ~/%s" % (
                    klippy_check.PRINTER_CHECKOUT, klippy_check.PRINTER_ENV)
    except klippy_check.KlippyUnavailable as error:
        raise BadInput(str(error))
    if klippy is not None:
        klippy.found_because = why
    return klippy


def klippy_answer(klippy, config, files, out, engine):
    """klippy's Answer on the configuration, shown; a refusal ends the run.
    The `engine` ran the command in the same klippy after G28."""
    out.write("Checking %s with %s\n" % (config, klippy.describe()))
    try:
        answer = klippy_check.check(config, files, klippy, engine=engine)
    except klippy_check.KlippyUnavailable as error:
        raise BadInput(str(error))
    for name, why in answer.set_aside.items():
        out.write("  not given to klippy: [%s]: %s\n" % (name, why))
    for (name, option), why in answer.options_set_aside.items():
        out.write("  not given to klippy: [%s] %s: %s\n" % (name, option, why))
    for stand_in in answer.stand_ins:
        out.write("  klippy was given another file for [%s] %s: %s: %s in the check's"
                  " temp folder\n" % (stand_in.section, stand_in.option, stand_in.value,
                                      stand_in.why))
    if not answer.accepted:
        raise BadInput("\n  ".join(klippy_refusal(config, answer)))
    if answer.unanswered:
        out.write("".join("  %s\n" % line for line in answer.unanswered))
    else:
        out.write("  klippy accepts the configuration and homes the printer with G28,"
                  " then runs the command\n")
    if klippy.embedded:
        out.write("  (not the printer's own klippy: to ask that one, run with"
                  " --klipper ~/klipper)\n")
    return answer


def klippy_refusal(config, answer):
    lines = ["%s: klippy refuses the configuration: %s" % (config, answer.message)]
    cause = answer.cause
    if cause is not None and cause.option is not None:
        lines.append("in [%s] %s: %s" % (cause.section, cause.option,
                                         "(not set)" if cause.value is None else cause.value))
    elif cause is not None:
        lines.append("in [%s]" % cause.section)
    if answer.message in CONFIG_HINTS:
        lines.append(CONFIG_HINTS[answer.message])
    lines.append("answered by " + answer.klippy.describe())
    missing = answer.missing_module()
    if missing is not None:
        lines.append("this needs [%s], whose module is not installed in that klippy and was"
                     " set aside: run the dry run on the printer's host (its klippy"
                     " at ~/klipper has the module), or install the module into %s"
                     % (missing, os.path.join(answer.klippy.klippy_dir, "extras")))
    elif answer.message.startswith("Unknown command") and answer.third_party:
        lines.append("the command may be one of a module set aside here: [%s]"
                     % "], [".join(answer.third_party))
    if answer.newer_klippy_may_accept():
        lines.append("a klippy newer than %s may accept this: to ask the printer's"
                     " own, run with --klipper ~/klipper" % klippy_check.EMBEDDED_DATE)
    return lines


# The simulated printer
def prepare_klippy_tree(dest_dir):
    klippy_dir = klippysim.make_klippy_tree(str(dest_dir))
    install.install(str(dest_dir))
    return klippy_dir


def load_printer(config_copy, klippy_dir, config, args, seed):
    try:
        printer = klippysim.Printer(str(config_copy), klippy_dir,
                                    overrides=simulation_overrides(args, seed),
                                    host_generation=args.host)
    except klippysim.ConfigError as error:
        # Name the user's file, not its working copy
        message = str(error).replace(str(config_copy.parent), str(config.parent))
        hint = CONFIG_HINTS.get(message)
        raise BadInput("%s: %s%s" % (config, message, "\n  " + hint if hint else ""))
    # The module asks for it when it draws, once the printer is running
    printer.get_start_args()[MODULE_SEED_ARG] = seed
    return printer


def run_seed(args):
    """--seed, or a new seed: every run has one with which it can be repeated."""
    if args.seed is not None:
        return args.seed
    return random.SystemRandom().randrange(NEW_SEEDS)


def simulation_overrides(args, seed):
    """What the command line sets in the simulated printer's physics."""
    physics = {"seed": seed}
    if args.true_offset is not None:
        physics["true_probe_offset"] = args.true_offset
    return {"simulated_printer": physics}


class SimulatedRun:
    """The simulated printer, the module in it and what happened."""

    # Who answered, as the picture names it
    answered_by = "simulated printer"

    def __init__(self, printer, module, command, config, seed, true_offset_given):
        self.printer = printer
        self.module = module
        self.command_name = command.name
        self.command_line = command.line
        self.params = command.params
        self.config_name = config.name
        self.seed = seed
        self.true_offset_given = true_offset_given
        self.stages = []
        self.wall_time = None
        # The report's lines when the printer refused the command
        self.refusal = None

    @property
    def trace(self):
        return self.printer.trace

    def probe_offsets(self):
        """The bed probe's X, Y and Z offsets; None without a bed probe."""
        probe = self.printer.lookup_object("probe", None)
        return None if probe is None else probe.get_offsets()

    def measurements(self):
        offsets = self.probe_offsets()
        if offsets is None:
            return []
        return run_trace.measurements(
            self.trace, self.stages, offsets[:2],
            self.printer.lookup_object("probe").samples_result)

    def true_offset_from_z_offset(self):
        """Whether the simulated truth is only the probe's configured z_offset."""
        return (not self.true_offset_given
                and self.printer.sim.true_probe_offset == self.probe_offsets()[2])

    def true_offset_source(self):
        if self.true_offset_given:
            return "given by --true-offset"
        if self.true_offset_from_z_offset():
            return "the probe's z_offset; --true-offset MM sets another"
        return "[simulated_printer] true_probe_offset; --true-offset MM sets another"

    def stage_name(self):
        if not self.stages:
            return "before any stage"
        stage = self.stages[-1].stage
        return "stage %d (%s)" % (stage, run_trace.STAGE_NAMES[stage])


class KlippyRun(SimulatedRun):
    """The command as klippy ran it, read back from klippy's record."""

    answered_by = "klippy on a simulated printer"

    def __init__(self, record, sections, command, config, seed, true_offset_given):
        facts = record["facts"]
        options = dict((name, dict(section.options)) for name, section in sections.items())
        printer = klippy_run.RecordedPrinter(
            facts, options, klippy_run.RecordedModel(options, facts))
        module = klippy_run.RecordedModule(facts.get("module", {}), facts.get("status", {}))
        SimulatedRun.__init__(self, printer, module, command, config, seed, true_offset_given)
        self.events = klippy_run.events(record)
        self.klippy_trace = klippy_run.Trace(e for e in self.events if e.kind != "stage")

    @property
    def trace(self):
        return self.klippy_trace


def replay(run, out, show_first_stage):
    """Shows what klippy did, as it did it: its input, its answers and, from
    the command on, the module's stages; returns klippy's error that ended
    the command, or None."""
    report = StageReport(run, out, None)
    started = False
    stage = None
    # Events of the trace so far: the stage that the last of them revealed
    # belongs from it on
    seen = 0
    error = answered = None
    for event in run.events:
        if event.kind == "stage":
            stage = event.data["stage"]
            if started:
                report.note_stage(event.time, stage, seen - 1)
            continue
        seen += 1
        if event.kind == "input":
            started = event.data["line"] == run.command_line
            report.show(event.time, "> " + event.data["line"])
            if started:
                report.last_stage = None if show_first_stage else stage
                report.note_stage(event.time, stage, seen - 1)
        elif event.kind == "console" and event.data["text"] not in UNSHOWN_ANSWERS:
            text = event.data["text"]
            report.show_console(event.time, text)
            if started and text.startswith("!! "):
                error = klippy_error(text[3:], answered)
            answered = text
        elif event.kind == "remote_method":
            report.show(event.time, remote_method_line(event.data))
        elif event.kind == "time_limit":
            error = ("the run did not end within %g s of simulated time"
                     % event.data["limit"])
    return error


def klippy_error(first_line, answered):
    """The whole of klippy's error message: klippy shows a message of
    several lines as information, then its first line as the error."""
    if answered is not None:
        lines = [line[3:] if line.startswith("// ") else line
                 for line in answered.split("\n")]
        if lines[0] == first_line:
            return "\n".join(lines)
    return first_line


def remote_method_line(call):
    """A template's call for Moonraker, such as its notifier's, which no
    client receives in a dry run."""
    arguments = ", ".join("%s=%r" % item for item in sorted(call["params"].items()))
    return "remote method %s(%s) for Moonraker (none in a dry run)" % (
        call["method"], arguments)


class StageReport:
    """Shows the console and each stage of auto_alignment_status as they
    come, after the simulated time."""

    def __init__(self, run, out, last_stage):
        self.run = run
        self.out = out
        self.last_stage = last_stage

    def note_stage(self, time, stage, index):
        """`stage`, current from trace event `index` on."""
        if stage is None or stage == self.last_stage:
            return
        self.last_stage = stage
        self.run.stages.append(run_trace.StageChange(time, stage, index))
        self.show(time, "== stage %d: %s" % (stage, run_trace.STAGE_NAMES[stage]))

    def show_console(self, time, msg):
        for line in msg.split("\n"):
            self.show(time, line[3:] if line.startswith("// ") else line)

    def show(self, time, text):
        self.out.write("%10.3f  %s\n" % (time, text))
        self.out.flush()


class LiveReport(StageReport):
    """The simulated printer's console and stages as it produces them."""

    def __init__(self, run, out, show_first_stage):
        StageReport.__init__(self, run, out, None)
        if not show_first_stage:
            self.last_stage = self.current_stage()
        run.printer.lookup_object("gcode").register_output_handler(self.show_console_now)
        run.printer.trace.listeners.append(self.note_event)

    def current_stage(self):
        eventtime = self.run.printer.get_reactor().monotonic()
        return self.run.module.get_status(eventtime)["auto_alignment_status"]

    def note_event(self, event):
        # The module sets a stage just before it calls on the host, so the
        # stage is new from the event that the call records
        self.check_stage(event.time, len(self.run.trace) - 1)
        if event.kind == "remote_method":
            self.show(event.time, remote_method_line(event.data))

    def check_stage(self, time, index):
        self.note_stage(time, self.current_stage(), index)

    def show_console_now(self, msg):
        self.show_console(self.run.printer.get_reactor().monotonic(), msg)


def run_command(run, report):
    """Runs the command; returns the error that ended it, or None."""
    report.show(run.printer.get_reactor().monotonic(), "> " + run.command_line)
    started = time.monotonic()
    try:
        run.printer.run_gcode(run.command_line)
        error = None
    except Exception as ended:
        # Whatever ended the command is the outcome to report
        error = ended
    run.wall_time = time.monotonic() - started
    report.check_stage(run.printer.get_reactor().monotonic(), len(run.trace))
    return error


def refusal_report(run, error):
    message = str(error).strip()
    lines = ["%s on %s stopped during %s: %s" % (
        run.command_line, run.config_name, run.stage_name(), message)]
    lines.extend("  " + line for line in refusal.explain(message, run))
    lines.append(duration_line(run))
    lines.append(seed_line(run))
    return lines


# Summary
def stroke_summary(run):
    moves = run_trace.module_moves(run.trace, run.stages)
    lowered = run_trace.wipe_move(moves, run_trace.LOWER_ONTO_STROKE)
    stroke = run_trace.wipe_move(moves, run_trace.STROKE)
    if lowered is None or stroke is None:
        return []
    start, end = stroke.data["start"], stroke.data["end"]
    lines = ["  wipe stroke: X %.3f Y %.3f -> X %.3f Y %.3f at %g mm/s,"
             " nozzle gap to the bed %+.3f -> %+.3f mm"
             % (start[0], start[1], end[0], end[1], stroke.data["speed"],
                lowered.data["gap"], stroke.data["gap"])]
    for x, y, z in run_trace.wipe_contacts(run.trace, run.stages):
        lines.append("  bed found by the nozzle at X %.3f Y %.3f: Z %.4f" % (x, y, z))
    return lines


def calibration_summary(run):
    lines = []
    points = run.measurements()
    for number, found in enumerate(points, 1):
        lines.append(
            "  measuring point %d: X %.3f Y %.3f   bed probe Z %.4f   nozzle Z %.4f"
            "   offset %.4f" % (number, found.point[0], found.point[1],
                                found.probe_z, found.nozzle_z,
                                found.probe_z - found.nozzle_z))
    spread = run_trace.point_spread(run)
    if spread is not None:
        lines.append("  " + spread)
    offsets = run.probe_offsets()
    if offsets is None:
        return lines
    z_offset = offsets[2]
    sim = run.printer.sim
    if points:
        lines.append("  simulated truth: the bed probe triggers %.3f mm above the nozzle's"
                     " contact (%s)" % (sim.true_probe_offset, run.true_offset_source()))
    new_offset = run_trace.saved_probe_offset(run.trace)
    if new_offset is None:
        lines.append("  probe z_offset: %.3f (unchanged)" % z_offset)
        return lines
    lines.append(
        "  probe z_offset: %.3f -> %.3f (the simulated printer's true probe"
        " offset %.3f less tri_expand_mm %g is %.3f), a change of %.3f mm"
        " (max_offset_change %g)"
        % (z_offset, new_offset, sim.true_probe_offset,
           run.module.tri_expand_mm, sim.true_probe_offset - run.module.tri_expand_mm,
           abs(new_offset - z_offset), run_trace.limit_in_force(run, "max_offset_change")))
    return lines


def config_diff(before, after, name):
    return list(difflib.unified_diff(
        before.splitlines(True), after.splitlines(True),
        "a/" + name, "b/" + name))


def duration_line(run):
    return "  ran %.3f s of simulated time in %.2f s of wall time" % (
        run.printer.get_reactor().monotonic(), run.wall_time)


def seed_line(run):
    return "  seed %d: --seed %d repeats this run" % (run.seed, run.seed)


def summary_lines(run, diff):
    lines = ["", "Summary of %s on %s" % (run.command_line, run.config_name),
             duration_line(run), seed_line(run)]
    lines.extend(stroke_summary(run))
    lines.extend(calibration_summary(run))
    if not diff:
        lines.append("  saved configuration: unchanged")
        return lines
    lines.append("  saved configuration:")
    lines.extend("    " + line.rstrip("\n") for line in diff)
    return lines


# The run as a whole
def output_names(config, command):
    return {"config": config.name, "diff": config.name + ".diff",
            "picture": command.name.lower() + ".png"}


def dry_run(args, klippy_dir, out):
    command, config, files = run_input.checked_input(args)
    names = output_names(config, command)
    for param in run_input.unread_parameters(command):
        print("note: %s does not read %s; klippy ignores it" % (command.name, param),
              file=sys.stderr)
    seed = run_seed(args)
    klippy = chosen_klippy(args)
    with tempfile.TemporaryDirectory(prefix="z-compensate-") as work:
        work = Path(work)
        if klippy is not None:
            run, saved = run_in_klippy(args, klippy, command, config, files, seed, out)
            if run is None:
                # klippy's homing cannot be followed in batch mode (named above)
                out.write("  the simulated printer alone runs the command\n")
                run, saved = run_simulated(args, klippy_dir, command, config, files, seed,
                                           out, work)
        else:
            out.write("No klippy to ask for %s: the simulated printer alone answers. To"
                      " have klippy answer, run with --klipper ~/klipper, or install"
                      " z-compensate[klippy] (CPython 3.11 or older)\n" % config)
            run, saved = run_simulated(args, klippy_dir, command, config, files, seed, out, work)
        if run.refusal is not None:
            # The configuration was not saved: only the picture of the run
            written = write_outputs(run, args.out, names, {}, work)
            raise Refused(*run.refusal + ["the configuration was not saved; " + (
                written_line(written) if written else "nothing was written")])
        diff = config_diff(files[config.name], saved, config.name)
        out.write("\n".join(summary_lines(run, diff)) + "\n")
        ready = {}
        if diff:
            (work / names["config"]).write_text(saved)
            (work / names["diff"]).write_text("".join(diff))
            ready = {name: work / name for name in (names["config"], names["diff"])}
        written = write_outputs(run, args.out, names, ready, work)
    out.write("  %s\n" % (written_line(written) if written else "nothing was written"))


def no_module(config, command):
    return BadInput("%s has no [z_compensate] section: nothing would run %s"
                    % (config, command.name))


def announce(out, command, config, seed, host):
    out.write("Simulating %s on %s%s\n" % (
        command.line, config,
        " (the bundled example printer)" if config == run_input.EXAMPLE_CONFIG else ""))
    out.write("  seed %d, %s\n" % (seed, host))


def run_in_klippy(args, klippy, command, config, files, seed, out):
    """The command run by klippy itself after its G28; (run, the
    configuration as the run saved it), or (None, None) where klippy's
    homing could not be followed in batch mode and the command never
    started."""
    try:
        engine = klippy_run.Engine(command.line, klippy.command[0], {MODULE_SEED_ARG: seed},
                                   seed, args.true_offset)
    except klippy_run.EngineUnavailable as error:
        raise BadInput(str(error))
    sections = klippy_check.read_sections(files, config.name)
    if "z_compensate" not in sections:
        raise no_module(config, command)
    started = time.monotonic()
    answer = klippy_answer(klippy, config, files, out, engine)
    if answer.unanswered and not engine.command_started():
        return None, None
    run = KlippyRun(engine.record, sections, command, config, seed,
                    args.true_offset is not None)
    run.wall_time = time.monotonic() - started
    announce(out, command, config, seed, "the printer's moves, homing and status are"
             " klippy's own (--host applies only to the simulated printer)")
    error = replay(run, out, command.name in WIPING_COMMANDS)
    if error is not None:
        run.refusal = refusal_report(run, error)
    return run, saved_text(engine, files, config.name, answer)


def saved_text(engine, files, main, answer):
    """The user's file `main` of `files` as klippy's SAVE_CONFIG left the
    copy: where the copy klippy was given differed from the file (sections
    or options set aside, a stand-in added), the user's file with the values
    of the copy's new block (see saved_block)."""
    original = files[main]
    saved = engine.saved_config
    if saved is None or saved == engine.given_config:
        return original
    if engine.given_config == original:
        return saved
    given_files = dict(files, **{main: engine.given_config})
    copy_only = set(klippy_config.read_sections(given_files, main)) - set(
        klippy_config.read_sections(files, main))
    return saved_block(original, saved, copy_only, answer.set_aside,
                       answer.options_set_aside)


def saved_block(original, saved, copy_only, set_aside=(), options_set_aside=()):
    """`original` with the SAVE_CONFIG block that klippy wrote into `saved`:
    without the sections only the copy had (`copy_only`, a stand-in
    [probe]), with the original block's sections and options that klippy
    was not given (`set_aside`, `options_set_aside`: klippy dropped them
    from its block), and with the options the block now holds commented
    out above it, as SAVE_CONFIG does."""
    regular, old_block = klippy_config.split_autosave(original)
    _, new_block = klippy_config.split_autosave(saved)
    if not new_block:
        return original
    chunks = [(name, [line for line, bare in zip(lines, klippy_config.block_lines(
        klippy_config.AUTOSAVE_HEADER + "\n".join(lines)))
        if not bare.strip().startswith(("#", ";"))])
        for name, lines in block_chunks(new_block) if name not in copy_only]
    chunks = [(name, lines) for name, lines in chunks if section_lines(lines)]
    kept = collections.OrderedDict(chunks)
    holds = set(option for name, lines in chunks if name is not None
                for option in block_options(lines))
    for name, lines in block_chunks(old_block):
        if name in set_aside and name not in kept:
            kept[name] = lines
        for (section, option) in options_set_aside:
            if section != name or section in set_aside:
                continue
            option_lines = [line for line, scanned in zip(lines, klippy_config.scan(
                klippy_config.block_lines(klippy_config.AUTOSAVE_HEADER + "\n".join(lines))))
                if scanned.option == option]
            kept.setdefault(name, lines[:1])
            kept[name] = kept[name] + option_lines
    regular = "\n".join(klippy_config.commented(regular.split("\n"), (), holds))
    body = "".join(line + "\n" for lines in kept.values()
                   for line in section_lines(lines) + ["#*#"])
    return regular.rstrip("\n") + "\n" + klippy_config.AUTOSAVE_HEADER + body


def section_lines(lines):
    """A block's section without the "#*#" lines that end it."""
    while lines and lines[-1].strip() in ("", "#*#"):
        lines = lines[:-1]
    return lines


def block_chunks(block):
    """[(section name, its raw lines)] of a SAVE_CONFIG block, in order; the
    lines before the first section under None."""
    if not block:
        return []
    raw = block[len(klippy_config.AUTOSAVE_HEADER):].split("\n")
    chunks = [[None, []]]
    for line, scanned in zip(raw, klippy_config.scan(klippy_config.block_lines(block))):
        if scanned.kind == klippy_config.HEADER:
            chunks.append([scanned.section, []])
        chunks[-1][1].append(line)
    return [tuple(chunk) for chunk in chunks]


def block_options(lines):
    """(section, option) of the options in the raw block lines `lines`."""
    bare = klippy_config.block_lines(klippy_config.AUTOSAVE_HEADER + "\n".join(lines))
    return [(line.section, line.option) for line in klippy_config.scan(bare)
            if line.kind == klippy_config.OPTION]


def run_simulated(args, klippy_dir, command, config, files, seed, out, work):
    """The command on the simulated printer; (run, the configuration as the
    run saved it)."""
    config_copy = copy_config(files, config, work / "config")
    if klippy_dir is None:
        klippy_dir = prepare_klippy_tree(work / "klipper")
    printer = load_printer(config_copy, klippy_dir, config, args, seed)
    module = printer.lookup_object("z_compensate", None)
    if module is None:
        raise no_module(config, command)
    run = SimulatedRun(printer, module, command, config, seed, args.true_offset is not None)
    announce(out, command, config, seed, "simulated klippy host: %s (--host)" % args.host)
    for line in printer.section_report():
        out.write(line + "\n")
    report = LiveReport(run, out, command.name in WIPING_COMMANDS)
    # What the printer said while starting, such as the module's warnings
    for line in printer.console_lines():
        report.show(0., line)
    error = run_command(run, report)
    if error is not None:
        run.refusal = refusal_report(run, error)
    return run, run_input.read_text(config_copy)


def written_line(written):
    return "written: %s" % ", ".join(str(path) for path in written)


def new_run_folder(out_dir, command_name):
    """A new folder for one run's files in `out_dir`, named after the time
    and the command, so that no run's files stand beside another's."""
    stem = "%s-%s" % (time.strftime("%Y%m%d-%H%M%S"), command_name.lower())
    for number in itertools.count(1):
        folder = out_dir / (stem if number == 1 else "%s-%d" % (stem, number))
        try:
            folder.mkdir(parents=True)
            return folder
        except FileExistsError:
            continue


def write_outputs(run, out_dir, names, ready, work):
    """Writes the files `ready` ({name: path in `work`}) and the picture
    into a new folder in `out_dir`. Everything is made in `work` first, so
    that a failure leaves the out directory untouched."""
    ready = dict(ready)
    if run_picture.available():
        run_picture.draw(work / names["picture"], run)
        ready[names["picture"]] = work / names["picture"]
    else:
        print("note: no picture without matplotlib (pip install 'z-compensate[plot]')",
              file=sys.stderr)
    if not ready:
        return []
    folder = new_run_folder(out_dir, run.command_name)
    written = []
    for name, path in ready.items():
        shutil.copyfile(str(path), str(folder / name))
        written.append(folder / name)
    return written


def main(argv=None, klippy_dir=None):
    """`klippy_dir`: a klippy tree that already holds the installed module
    (one per process); by default the run builds its own."""
    args = run_input.parse_args(argv)
    if not logging.getLogger().handlers:
        # The simulated host's log is not shown: what it warns of reaches its
        # console, which the run shows
        logging.getLogger().addHandler(logging.NullHandler())
    try:
        dry_run(args, klippy_dir, sys.stdout)
    except BadInput as error:
        print("error: %s" % error, file=sys.stderr)
        return EXIT_BAD_INPUT
    except install.InstallError as error:
        print("error: %s" % error, file=sys.stderr)
        return EXIT_REFUSED
    except Refused as refused:
        print("error: " + "\n".join(refused.args), file=sys.stderr)
        return EXIT_REFUSED
    return 0


if __name__ == "__main__":
    sys.exit(main())
