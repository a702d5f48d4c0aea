"""Trying the dry run on printer configurations as a new user would: the
additions the README asks for, the runs with one seed, and each file's
outcome. Shared by scripts/try-stock-configs and scripts/try-user-configs.

Each configuration gets only the README's additions: a [probe] where it has
no bed probe (on a pin of its main micro-controller that it does not use),
a [bed_mesh] where it has none, an empty [tensink_v2] and the minimal
[z_compensate] scaled to its bed as the example printer's is to its
235 x 235 mm bed. They go where a user would type them: at the end of the
file, or just before its SAVE_CONFIG block, which klippy reads only when
nothing follows it.
"""
import collections
import configparser
import math
import re
import subprocess
import sys

# Sections with which klippy or a module installed beside it provides the
# bed probe (a tool's own probe, a vendor's pressure probe, a distance
# sensor), by the lower-case name klippy loads
PROBE_SECTIONS = ("probe", "bltouch", "smart_effector", "probe_eddy_current",
                  "load_cell_probe", "dockable_probe", "beacon", "cartographer",
                  "scanner", "probe_eddy_ng", "idm", "bdsensor", "tool_probe",
                  "tool_probe_endstop", "multi_axis_probe", "prtouch", "prtouch_v2",
                  "prtouch_v3")
# The example printer's bed, and its [z_compensate] on that bed
EXAMPLE_BED = 235.
EXAMPLE_WIPE_AREA = (60., 10., 40., 50.)    # start X, start Y, length X, length Y
EXAMPLE_POINT_DISTANCES = (5., 15.)
# The lowest clr_noz_start_x and clr_noz_start_y the module takes: a bed
# reaching below them gets its wipe area where they allow
WIPE_START_MINIMUM = (-10., 0.)
# The probe added where a printer has none: beside the nozzle, with an
# offset a real probe could have (0 is only a placeholder)
ADDED_PROBE_OFFSETS = (-25., 0., 1.2)
RUNS = 3
RUN_TIME_LIMIT = 300
# The first line of the block that SAVE_CONFIG keeps at the end of printer.cfg
SAVE_CONFIG_HEADER = re.compile(r"^#\*# <-+ SAVE_CONFIG -+>", re.M)
# A pin name, with the micro-controller it belongs to when that is not the
# main one ("toolhead:PB5")
PIN = re.compile(r"(?:\b(\w+):)?\b(P[A-K]\d{1,2}|ar\d+|gpio\d+|P\d\.\d+)\b")
# A refusal names what to change when it names a section, an option or an
# option of the dry run
NAMES_A_CHANGE = re.compile(
    r"\[[\w .]+\]|Option '|section '|--true-offset|--host|--klipper|\binclude\b")
# Numbers that differ between runs whatever the seed
WALL_TIME = re.compile(r"in \d+\.\d+ s of wall time")
WRITTEN = re.compile(r"written: .*")
# The lines of a refusal that say nothing of its cause
NOT_THE_REASON = re.compile(r"^(note: |ran \S+ s of simulated time|seed \d+: "
                            r"|the configuration was not saved)")
# The outcomes, in the order the counts name them
KINDS = ("sound", "refused", "unclear", "crashed")

Outcome = collections.namedtuple("Outcome", ["kind", "reason", "agree"])


def parse_config(text, name):
    parser = configparser.RawConfigParser(strict=False, inline_comment_prefixes=("#", ";"))
    parser.read_string(text, name)
    return parser


def number(parser, section, option, default=None):
    if parser.has_option(section, option):
        return float(parser.get(section, option).split()[0])
    return default


def bed_radius(parser):
    """The printable radius of a round bed, or None for a rectangular one."""
    for section, option in (("delta_calibrate", "radius"), ("printer", "print_radius"),
                            ("stepper_arm", "position_max")):
        radius = number(parser, section, option)
        if radius is not None:
            return radius
    if parser.get("printer", "kinematics", fallback="").strip() in ("delta", "rotary_delta"):
        return 0.6 * number(parser, "printer", "delta_radius", 100.)
    return None


def axis_range(parser, axis):
    """(position_min, position_max) of an axis, or None."""
    for section in ("stepper_" + axis, "carriage carriage_" + axis):
        maximum = number(parser, section, "position_max")
        if maximum is not None:
            return number(parser, section, "position_min", 0.), maximum
    return None


def bed_area(parser):
    """((X min, X max), (Y min, Y max)) that the added sections use, and
    whether the bed is round (then the square inside its circle)."""
    x_range, y_range = axis_range(parser, "x"), axis_range(parser, "y")
    if x_range and y_range:
        return (x_range, y_range), False
    radius = bed_radius(parser) or 100.
    half = radius / math.sqrt(2)
    return ((-half, half), (-half, half)), True


def probe_section(parser):
    for section in parser.sections():
        if section.split()[0].lower() in PROBE_SECTIONS:
            return section
    return None


def free_pin(text):
    """A pin of the same kind as the main micro-controller's pins that the
    file uses nowhere, on any micro-controller."""
    found = PIN.findall(text)
    every_pin = {pin for _, pin in found}
    main_pins = {pin for chip, pin in found if chip in ("", "mcu")} or every_pin
    if any(pin.startswith("ar") for pin in main_pins):
        candidates = ["ar%d" % n for n in range(100)]
    elif any(pin.startswith("gpio") for pin in main_pins):
        candidates = ["gpio%d" % n for n in range(30)]
    elif any(re.match(r"P\d\.", pin) for pin in main_pins):
        candidates = ["P%d.%d" % (port, n) for port in range(5) for n in range(32)]
    else:
        candidates = ["P%s%d" % (port, n) for port in "ABCDEFGH" for n in range(16)]
    return next(pin for pin in candidates if pin not in every_pin)


def additions(text, parser):
    """The sections the README asks a printer's configuration to add, for
    the configuration `text` (with its includes) that `parser` has read."""
    (x_range, y_range), round_bed = bed_area(parser)
    width, depth = x_range[1] - x_range[0], y_range[1] - y_range[0]
    scale_x, scale_y = width / EXAMPLE_BED, depth / EXAMPLE_BED
    sections = []
    probe = probe_section(parser)
    if probe is None:
        x_offset, y_offset, z_offset = ADDED_PROBE_OFFSETS
        sections.append("[probe]\npin: ^%s\nx_offset: %g\ny_offset: %g\nz_offset: %g\n"
                        % (free_pin(text), x_offset, y_offset, z_offset))
    else:
        x_offset = number(parser, probe, "x_offset", 0.)
        y_offset = number(parser, probe, "y_offset", 0.)
    if not parser.has_section("bed_mesh"):
        if round_bed:
            sections.append("[bed_mesh]\nmesh_radius: %.1f\nround_probe_count: 5\n"
                            % (0.8 * x_range[1] * math.sqrt(2)))
        else:
            sections.append("[bed_mesh]\nmesh_min: %.1f, %.1f\nmesh_max: %.1f, %.1f\n"
                            "probe_count: 3, 3\n"
                            % (x_range[0] + 0.1 * width, y_range[0] + 0.1 * depth,
                               x_range[1] - 0.1 * width, y_range[1] - 0.1 * depth))
    sections.append("[tensink_v2]\n")
    start_x, start_y, length_x, length_y = EXAMPLE_WIPE_AREA
    start_x = max(WIPE_START_MINIMUM[0], x_range[0] + start_x * scale_x)
    start_y = max(WIPE_START_MINIMUM[1], y_range[0] + start_y * scale_y)
    near, far = EXAMPLE_POINT_DISTANCES
    point_scale = min(scale_x, scale_y)
    sections.append(
        "[z_compensate]\nbl_offset: %g, %g\nnoz_pos_center: %.1f, %.1f\n"
        "noz_pos_offset: %.1f, %.1f\nclr_noz_start_x: %.1f\nclr_noz_start_y: %.1f\n"
        "clr_noz_len_x: %.1f\nclr_noz_len_y: %.1f\n"
        % (x_offset, y_offset, (x_range[0] + x_range[1]) / 2, (y_range[0] + y_range[1]) / 2,
           near * point_scale, far * point_scale, start_x, start_y,
           length_x * scale_x, length_y * scale_y))
    return "\n" + "\n".join(sections)


def with_additions(text, added):
    """The file's text with the added sections at its end, or just before
    its SAVE_CONFIG block."""
    block = SAVE_CONFIG_HEADER.search(text)
    if block is None:
        return text + ("" if text.endswith("\n") else "\n") + added
    before = text[:block.start()]
    return before + ("" if before.endswith("\n") or not before else "\n") + added + "\n" \
        + text[block.start():]


def try_copy(config, seed, run_options, out_dir, runs=RUNS):
    """The printed outputs of the runs, each (exit code, stdout, stderr);
    the exit code is None for a run that did not end in time."""
    command = [sys.executable, "-m", "z_compensate.cli", "run", "--config", str(config),
               "--out", str(out_dir), "--seed", str(seed)] + run_options
    results = []
    for _ in range(runs):
        try:
            done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True, timeout=RUN_TIME_LIMIT)
            results.append((done.returncode, done.stdout, done.stderr))
        except subprocess.TimeoutExpired:
            results.append((None, "", "no end within %d s" % RUN_TIME_LIMIT))
    return results


def saved_the_truth(stdout):
    """Whether the run saved the simulated truth less tri_expand_mm."""
    found = re.search(r"probe z_offset: \S+ -> (\S+) \(the simulated printer's true probe"
                      r" offset \S+ less tri_expand_mm \S+ is (\S+)\)", stdout)
    return found is not None and abs(float(found.group(1)) - float(found.group(2))) <= 0.005


def reason(stderr):
    """The refusal's message and the lines that explain it, on one line."""
    lines = [line.strip() for line in stderr.splitlines()
             if line.strip() and not NOT_THE_REASON.match(line.strip())]
    text = " | ".join(lines) if lines else "(nothing on stderr)"
    return text[len("error: "):] if text.startswith("error: ") else text


def outcome(results):
    """sound: ended normally and saved the simulated truth; refused: a
    refusal that names what to change; crashed: a traceback, no end within
    the time limit or an unexpected exit code; unclear: anything else."""
    code, stdout, stderr = results[0]
    shown = [(code, WALL_TIME.sub("", WRITTEN.sub("", out + err))) for code, out, err in results]
    agree = all(run == shown[0] for run in shown)
    if code == 0 and saved_the_truth(stdout):
        return Outcome("sound", "", agree)
    if code == 0:
        return Outcome("unclear", "ended normally without saving the simulated truth", agree)
    if code is None or code not in (1, 2) or "Traceback" in stderr:
        return Outcome("crashed", reason(stderr), agree)
    if NAMES_A_CHANGE.search(stderr):
        return Outcome("refused", reason(stderr), agree)
    return Outcome("unclear", reason(stderr), agree)


def show(found, name):
    """One file's outcome, with the refusal's reason on the next line."""
    print("%-8s %s%s%s" % (found.kind, name, "" if found.agree else "  (differs)",
                           "\n         " + found.reason if found.reason else ""),
          flush=True)


def counts_line(outcomes, seed, what="files"):
    counts = collections.Counter(found.kind for found in outcomes)
    return "%d %s, seed %d: %s; %d differ between runs" % (
        len(outcomes), what, seed, ", ".join("%d %s" % (counts[kind], kind) for kind in KINDS),
        sum(not found.agree for found in outcomes))
