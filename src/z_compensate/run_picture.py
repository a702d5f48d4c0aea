"""A picture of a dry run: its outcome (the new probe z_offset and each
measuring point's offset, or the refusal), the bed from above, the heaters
over time and the nozzle's height along the wipe's stroke.

Needs matplotlib (the package's "plot" extra); `available()` tells whether
it is installed.
"""
import importlib.util
import textwrap

from . import refusal, run_input, run_trace

HEATER_COLORS = {"extruder": "tab:red", "heater_bed": "tab:blue"}
STROKE_SAMPLES = 60
# Fraction of the run's duration within which stage labels are merged
STAGE_LABEL_SPACING = 0.03
# The shortest time axis of the heaters, so that a run refused at once
# still shows its readings
MIN_TIME_SPAN = 1.0
OUTCOME_WIDTH = 90
FIGURE_SIZE = (15, 9.5)
# What the figure's title and margins leave of its height to the panels
PANELS_HEIGHT = FIGURE_SIZE[1] - 1.0
# Heights in inches: a line of the outcome's small monospace text, and the
# room the bed's title takes above it
OUTCOME_LINE_HEIGHT = 0.17
TITLE_HEIGHT = 0.4


def available():
    return importlib.util.find_spec("matplotlib") is not None


def draw_bed(ax, run):
    from matplotlib.patches import Circle, Rectangle
    kinematics = run.printer.lookup_object("toolhead").get_kinematics()
    rails = kinematics.rails
    module = run.module
    if kinematics.print_radius is not None:
        ax.add_patch(Circle(
            (0., 0.), kinematics.print_radius, facecolor="whitesmoke",
            edgecolor="black", label="bed (print radius)"))
    else:
        ax.add_patch(Rectangle(
            (rails[0].position_min, rails[1].position_min),
            rails[0].position_max - rails[0].position_min,
            rails[1].position_max - rails[1].position_min,
            facecolor="whitesmoke", edgecolor="black", label="bed (axis limits)"))
    ax.add_patch(Rectangle(
        (module.clr_noz_start_x, module.clr_noz_start_y),
        module.clr_noz_len_x, module.clr_noz_len_y,
        facecolor="moccasin", edgecolor="darkorange", linestyle="--",
        label="wipe area (clr_noz_*)"))
    draw_stroke_from_above(ax, run)
    draw_measuring_points(ax, run)
    ax.set_aspect("equal")
    ax.autoscale_view()
    ax.set_xlabel("X (mm)")
    ax.set_ylabel("Y (mm)")
    ax.set_title("Bed from above")
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.08), ncol=2,
              fontsize="small")


def draw_stroke_from_above(ax, run):
    moves = run_trace.module_moves(run.trace, run.stages)
    stroke = run_trace.wipe_move(moves, run_trace.STROKE)
    lift = run_trace.wipe_move(moves, run_trace.LIFT_AWAY)
    contacts = run_trace.wipe_contacts(run.trace, run.stages)
    if contacts:
        ax.plot([c[0] for c in contacts], [c[1] for c in contacts], "v",
                color="saddlebrown", label="bed found by the nozzle")
    if stroke is not None:
        (x0, y0), (x1, y1) = stroke.data["start"][:2], stroke.data["end"][:2]
        ax.annotate("", xy=(x1, y1), xytext=(x0, y0), arrowprops=dict(
            arrowstyle="-|>", color="firebrick", lw=2.5))
        ax.plot([x0, x1], [y0, y1], color="firebrick", lw=2.5, label="stroke")
    if lift is not None:
        (x0, y0), (x1, y1) = lift.data["start"][:2], lift.data["end"][:2]
        ax.plot([x0, x1], [y0, y1], ":", color="firebrick", label="move away")


def draw_measuring_points(ax, run):
    module = run.module
    ax.plot([module.noz_pos_center[0]], [module.noz_pos_center[1]], "+",
            color="black", markersize=10, label="noz_pos_center")
    found = run.measurements()
    if not found:
        return
    ax.plot([m.point[0] for m in found], [m.point[1] for m in found], "o",
            color="tab:green", markerfacecolor="none", markersize=9,
            label="measuring points (nozzle)")
    ax.plot([m.probe_at[0] for m in found], [m.probe_at[1] for m in found],
            "x", color="tab:purple", markersize=7, label="bed probe stood")
    for number, m in enumerate(found, 1):
        ax.annotate("%d: offset %.4f" % (number, m.probe_z - m.nozzle_z), m.point,
                    xytext=(8, -4), textcoords="offset points", fontsize="small",
                    color="tab:green")


def outcome_lines(run):
    """The run's outcome in words: the refusal, or the new offset and what
    each measuring point found; and the points' spread against the
    tolerance."""
    spread = run_trace.point_spread(run)
    spread_lines = textwrap.wrap(spread, OUTCOME_WIDTH, subsequent_indent="  ") if spread else []
    if run.refusal:
        # A refusal names each problem on a line of its own
        return [line for text in run.refusal
                for number, paragraph in enumerate(text.splitlines())
                for line in textwrap.wrap(paragraph, OUTCOME_WIDTH, subsequent_indent="  ",
                                          initial_indent="  " if number else "")
                ] + spread_lines
    lines = []
    offsets = run.probe_offsets()
    new_offset = run_trace.saved_probe_offset(run.trace)
    if offsets is not None:
        lines.append("probe z_offset %.3f -> %.3f" % (offsets[2], new_offset)
                     if new_offset is not None
                     else "probe z_offset %.3f (unchanged)" % offsets[2])
    for number, m in enumerate(run.measurements(), 1):
        lines.append("point %d at X %.1f Y %.1f: bed probe Z %.4f - nozzle Z %.4f = %.4f"
                     % (number, m.point[0], m.point[1], m.probe_z, m.nozzle_z,
                        m.probe_z - m.nozzle_z))
    return lines + spread_lines or ["finished"]


def draw_outcome(ax, lines, run):
    """The outcome in a panel of its own above the bed, which it would hide."""
    ax.set_axis_off()
    ax.text(0, 1, "\n".join(lines), transform=ax.transAxes,
            va="top", ha="left", family="monospace", fontsize="small",
            color="darkred" if run.refusal else "black",
            bbox=dict(facecolor="mistyrose" if run.refusal else "honeydew",
                      edgecolor="darkred" if run.refusal else "tab:green"))


def stage_labels(stages):
    """(time, [stage, ...]) per label: stages reached within a moment of
    each other share one, so that their texts do not overlap."""
    if not stages:
        return []
    moment = (stages[-1].time - stages[0].time) * STAGE_LABEL_SPACING
    labels = []
    for change in stages:
        if labels and change.time - labels[-1][0] <= moment:
            labels[-1][1].append(change.stage)
        else:
            labels.append((change.time, [change.stage]))
    return labels


def unheated_lines(run):
    """Why the heaters show nothing but their readings: no target was set,
    and the temperatures the command was to use."""
    duration = run.printer.get_reactor().monotonic()
    lines = ["No heater was set %s (%.3f s of simulated time)." % (
        "before the refusal" if run.refusal else "in this run", duration)]
    parameters = run_input.COMMANDS[run.command_name]
    if not parameters:
        return lines + ["%s heats nothing." % run.command_name]
    lines.append("The command's temperatures:")
    for key, parameter, heater in refusal.TEMPERATURE_SOURCES:
        if parameter in parameters:
            lines.append("  %s: %s" % (heater, refusal.temperature_source(run, key, parameter)[1]))
    return lines


def draw_temperatures(ax, run):
    series = run_trace.temperatures(run.trace)
    for heater, (times, temps, targets) in series.items():
        color = HEATER_COLORS.get(heater)
        # A run refused at once has a reading or two: marked, or unseen
        ax.plot(times, temps, color=color, label=heater,
                marker="o" if len(times) < 3 else None)
        ax.step(times, targets, where="post", color=color, linestyle="--",
                linewidth=0.8, label="%s target" % heater)
    if not any(any(targets) for _, _, targets in series.values()):
        ax.text(0.5, 0.5, "\n".join(unheated_lines(run)), transform=ax.transAxes,
                ha="center", va="center", multialignment="left", fontsize="small",
                bbox=dict(facecolor="white", edgecolor="gray"))
    if run.printer.get_reactor().monotonic() < MIN_TIME_SPAN:
        ax.set_xlim(-0.05 * MIN_TIME_SPAN, 1.05 * MIN_TIME_SPAN)
    for time, stages in stage_labels(run.stages):
        ax.axvline(time, color="gray", linewidth=0.7)
        ax.annotate(",".join("%d" % s for s in stages), xy=(time, 1),
                    xycoords=("data", "axes fraction"), xytext=(0, 2),
                    textcoords="offset points", ha="center", va="bottom",
                    fontsize="small", color="dimgray")
    reached = [change.stage for change in run.stages]
    ax.text(0, -0.2, "stages: " + ", ".join(
        "%d %s" % (stage, run_trace.STAGE_NAMES[stage]) for stage in reached),
        transform=ax.transAxes, va="top", fontsize="small", color="dimgray")
    ax.set_xlabel("simulated time (s)")
    ax.set_ylabel("temperature (\u00b0C)")
    ax.set_title("Heaters and stages", pad=14)
    ax.legend(loc="lower right", fontsize="small", ncol=2)


def stroke_profile(run, stroke):
    """Positions along the stroke with the nozzle's Z and the bed's surface,
    both in toolhead coordinates at the time of the stroke."""
    start, end = stroke.data["start"], stroke.data["end"]
    surface = run.printer.sim.surface_height
    # The move's recorded gap fixes where the bed lay in toolhead Z then
    z_zero = end[2] - stroke.data["gap"] - surface(end[0], end[1])
    points = []
    for i in range(STROKE_SAMPLES + 1):
        f = float(i) / STROKE_SAMPLES
        x, y, z = [a + (b - a) * f for a, b in zip(start[:3], end[:3])]
        points.append((x, y, z, z_zero + surface(x, y)))
    return points


def draw_stroke_profile(ax, run):
    moves = run_trace.module_moves(run.trace, run.stages)
    stroke = run_trace.wipe_move(moves, run_trace.STROKE)
    if stroke is None:
        ax.text(0.5, 0.5, "no wipe in this run", ha="center", va="center",
                transform=ax.transAxes)
        ax.set_axis_off()
        return
    profile = stroke_profile(run, stroke)
    start, end = stroke.data["start"], stroke.data["end"]
    # Plot against the axis the stroke runs along
    axis = 1 if abs(end[1] - start[1]) >= abs(end[0] - start[0]) else 0
    along = [p[axis] for p in profile]
    nozzle = [p[2] for p in profile]
    bed = [p[3] for p in profile]
    ax.plot(along, nozzle, color="firebrick", label="nozzle")
    ax.plot(along, bed, color="saddlebrown", label="bed surface")
    ax.fill_between(along, nozzle, bed, where=[n < b for n, b in zip(nozzle, bed)],
                    color="firebrick", alpha=0.25, interpolate=True,
                    label="nozzle pressed into the bed")
    contacts = run_trace.wipe_contacts(run.trace, run.stages)
    ax.plot([c[axis] for c in contacts], [c[2] for c in contacts], "v",
            color="saddlebrown", label="bed found by the nozzle")
    gaps = [n - b for n, b in zip(nozzle, bed)]
    ax.set_title("Nozzle along the stroke: gap %+.3f to %+.3f mm"
                 % (gaps[0], gaps[-1]))
    ax.set_xlabel("%s (mm)" % "XY"[axis])
    ax.set_ylabel("Z (mm, toolhead)")
    ax.legend(loc="best", fontsize="small")


def draw(path, run):
    """Writes the picture of `run` to `path` (PNG)."""
    import matplotlib
    # No display: render to a file only
    matplotlib.use("Agg")
    import matplotlib.pyplot as pyplot
    figure = pyplot.figure(figsize=FIGURE_SIZE)
    grid = figure.add_gridspec(2, 2, width_ratios=(1, 1.25))
    outcome = outcome_lines(run)
    # The outcome's panel as tall as its text, the bed and its title right below
    outcome_height = OUTCOME_LINE_HEIGHT * (len(outcome) + 1) + TITLE_HEIGHT
    left = grid[:, 0].subgridspec(2, 1, hspace=0, height_ratios=(
        outcome_height, max(PANELS_HEIGHT - outcome_height, 0)))
    draw_outcome(figure.add_subplot(left[0]), outcome, run)
    bed = figure.add_subplot(left[1])
    draw_bed(bed, run)
    bed.set_anchor("N")
    draw_temperatures(figure.add_subplot(grid[0, 1]), run)
    draw_stroke_profile(figure.add_subplot(grid[1, 1]), run)
    figure.suptitle("%s on %s (%s, seed %d): %s" % (
        run.command_line, run.config_name, run.answered_by, run.seed,
        "refused" if run.refusal else outcome_lines(run)[0]),
        color="darkred" if run.refusal else "black")
    figure.tight_layout()
    # "tight" keeps the legend below the bed inside the picture
    figure.savefig(str(path), dpi=100, bbox_inches="tight")
    pyplot.close(figure)
