"""What the module did during a simulated run, read from the host's trace.

The simulated host records every G-code line, move, probe result and
temperature as a trace event. The run's stages (the module's
`auto_alignment_status`) are noted as they change, with the index of the
first trace event that belongs to the new stage; from both this module tells
which of the module's moves an event was and what the procedures measured.
"""
import collections

STAGE_NAMES = {
    0: "starting the wipe",
    1: "heating the nozzle",
    2: "heating the bed",
    3: "wiping",
    4: "calibrating",
    5: "calibrated",
}
WIPING = 3
CALIBRATING = 4

StageChange = collections.namedtuple("StageChange", ["time", "stage", "index"])


class MoveRole(collections.namedtuple("MoveRole", ["what", "x", "y", "z"])):
    """One of the module's moves and, per axis, the [z_compensate] keys
    whose values place it there."""

    def keys(self, axis):
        return getattr(self, axis)


WIPE_X = ("clr_noz_start_x", "clr_noz_len_x", "pa_clr_dis_mm_x")
WIPE_Y = ("clr_noz_start_y", "clr_noz_len_y", "pa_clr_dis_mm_y")
MEASURING_POINT = ("noz_pos_center", "noz_pos_offset")

TRAVEL_TO_START = MoveRole(
    "wipe's travel to the start of the stroke", WIPE_X, WIPE_Y, ("bed_max_err",))
TRAVEL_TO_END = MoveRole(
    "wipe's travel to the end of the stroke", WIPE_X, WIPE_Y, ("bed_max_err",))
RETURN_TO_START = MoveRole(
    "wipe's return over the start of the stroke", WIPE_X, WIPE_Y, ("bed_max_err",))
LOWER_ONTO_STROKE = MoveRole(
    "wipe's descent onto the stroke", WIPE_X, WIPE_Y, ("pa_clr_down_mm",))
STROKE = MoveRole("wipe's stroke", WIPE_X, WIPE_Y, ("pa_clr_down_mm",))
LIFT_AWAY = MoveRole(
    "wipe's move away from the stroke", WIPE_X + ("pa_clr_dis_mm",), WIPE_Y,
    ("bed_max_err",))
PROBE_OVER_POINT = MoveRole(
    "calibration's move of the bed probe over a measuring point",
    MEASURING_POINT + ("bl_offset",), MEASURING_POINT + ("bl_offset",), ())
NOZZLE_OVER_POINT = MoveRole(
    "calibration's move of the nozzle over a measuring point",
    MEASURING_POINT, MEASURING_POINT, ("vs_start_z_pos",))

# The module's G1 lines in the order in which it sends them within a stage
G1_ROLES_BY_STAGE = {
    WIPING: (TRAVEL_TO_START, TRAVEL_TO_END, RETURN_TO_START,
             LOWER_ONTO_STROKE, STROKE, LIFT_AWAY),
    CALIBRATING: (PROBE_OVER_POINT, PROBE_OVER_POINT),
}

# `command`: what the module sent; `move`: the trace's move event, None when
# the host refused the move
ModuleMove = collections.namedtuple(
    "ModuleMove", ["index", "stage", "role", "command", "move"])

Measurement = collections.namedtuple(
    "Measurement", ["point", "probe_at", "probe_z", "nozzle_z"])


def stage_at(stages, index):
    """The stage in which trace event `index` happened (None before any)."""
    stage = None
    for change in stages:
        if change.index > index:
            break
        stage = change.stage
    return stage


def events_in_stage(trace, stages, stage, kind):
    return [event for index, event in enumerate(trace)
            if event.kind == kind and stage_at(stages, index) == stage]


def is_module_move(event):
    if event.kind == "gcode":
        return event.data["depth"] > 0 and event.data["line"].startswith("G1 ")
    return event.kind == "tensink" and event.data["call"] == "move"


def describe_command(event):
    if event.kind == "gcode":
        return event.data["line"]
    x, y, z = event.data["args"][0][:3]
    return "pressure probe move to X%.3f Y%.3f Z%.3f" % (x, y, z)


def module_moves(trace, stages):
    """The module's own moves in the order it sent them: its G1 lines and
    the moves it asked of the pressure probe."""
    moves = []
    g1_counts = collections.Counter()
    for index, event in enumerate(trace):
        if not is_module_move(event):
            continue
        stage = stage_at(stages, index)
        if event.kind == "tensink":
            role = NOZZLE_OVER_POINT
        else:
            roles = G1_ROLES_BY_STAGE.get(stage, ())
            count = g1_counts[stage]
            role = roles[count] if count < len(roles) else None
            g1_counts[stage] += 1
        # The host records an accepted move right after the line that asked
        # for it
        following = trace[index + 1] if index + 1 < len(trace) else None
        move = following if following and following.kind == "move" else None
        moves.append(ModuleMove(index, stage, role, describe_command(event), move))
    return moves


def last_module_move(trace, stages):
    moves = module_moves(trace, stages)
    return moves[-1] if moves else None


def last_module_line(trace):
    """The last G-code line that the module sent, or None."""
    lines = [e.data["line"] for e in trace.of_kind("gcode") if e.data["depth"] > 0]
    return lines[-1] if lines else None


def last_descent(trace):
    """The move of the last pressure-probe run down towards the bed, or None."""
    started = [index for index, event in enumerate(trace)
               if event.kind == "tensink" and event.data["call"] == "run_step_tensink"]
    if not started:
        return None
    moves = [event for event in trace[started[-1]:] if event.kind == "move"]
    return moves[-1] if moves else None


def wipe_move(moves, role):
    """The accepted move that played `role` in the wipe, or None."""
    for module_move in moves:
        if module_move.role is role and module_move.move is not None:
            return module_move.move
    return None


def combined_samples(heights, samples_result):
    """The bed probe's result from its samples' heights, combined as the
    probe's samples_result ("median" or "average") says."""
    if samples_result != "median":
        return sum(heights) / len(heights)
    ordered = sorted(heights)
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2.


def measurements(trace, stages, probe_offset, samples_result):
    """The calibration's measuring points: where the bed probe triggered and
    where the nozzle touched the bed; `probe_offset` is the probe's (X, Y)
    position relative to the nozzle. The calibration measures each point
    with the bed probe and then with the nozzle, so a point's bed probe
    samples are those taken since the previous point's nozzle contact."""
    found = []
    samples = []
    for index, event in enumerate(trace):
        if stage_at(stages, index) != CALIBRATING:
            continue
        if event.kind == "probe":
            samples.append(event.data["position"])
        elif event.kind == "tensink_result" and samples:
            x, y = samples[-1][:2]
            found.append(Measurement(
                point=(event.data["x"], event.data["y"]),
                probe_at=(x + probe_offset[0], y + probe_offset[1]),
                probe_z=combined_samples([sample[2] for sample in samples], samples_result),
                nozzle_z=event.data["z"]))
            samples = []
    return found


def wipe_contacts(trace, stages):
    """Where the nozzle found the bed at the two ends of the stroke."""
    return [(e.data["x"], e.data["y"], e.data["z"])
            for e in events_in_stage(trace, stages, WIPING, "tensink_result")]


def saved_probe_offset(trace):
    """The probe z_offset that the run put into the configuration, or None;
    the probe's section may be [probe], [bltouch] or another kind's."""
    values = [e.data["value"] for e in trace.of_kind("config_set")
              if e.data["option"] == "z_offset"]
    return float(values[-1]) if values else None


def temperatures(trace):
    """{heater: (times, temperatures, targets)} of the sensor readings."""
    series = collections.OrderedDict()
    for event in trace.of_kind("temperature"):
        times, temps, targets = series.setdefault(event.data["heater"], ([], [], []))
        times.append(event.time)
        temps.append(event.data["temp"])
        targets.append(event.data["target"])
    return series


def limit_in_force(run, key):
    """A plausibility limit of the calibration as the run used it: the
    command line's parameter (the key in capitals), else the key."""
    return run.params.get(key.upper(), getattr(run.module, key))


def point_spread(run):
    """How far apart the last calibration's two points' offsets lay, in
    words against the point tolerance in force; None before one measured."""
    status = run.module.get_status(run.printer.get_reactor().monotonic())
    spread = status["last_point_spread"]
    if spread is None:
        return None
    tolerance = limit_in_force(run, "point_tolerance")
    if tolerance == 0:
        verdict = "point_tolerance 0: no check"
    else:
        verdict = "%s point_tolerance %g" % (
            "within" if spread <= tolerance else "beyond", tolerance)
    remeasured = status["last_remeasurements"]
    return ("the points' offsets differ by %.4f mm, %s (measured again %d time%s,"
            " point_retries %g)" % (spread, verdict, remeasured, "" if remeasured == 1 else "s",
                                    limit_in_force(run, "point_retries")))
