"""Says which configured value made klippy refuse a simulated run.

Each refusal that a configuration can cause is matched by klippy's message;
its explainer names the [z_compensate] keys or command parameters behind it
and the host limit they ran into.
"""
import math
import re

from . import run_trace

# The [stepper_z] position_min suggested for a nozzle that must reach a bed
# lying below Z 0, as the module's start-up warning suggests it
SUGGESTED_Z_MIN = -2

# The temperatures the nozzle clearing sets: key, command parameter, heater
TEMPERATURE_SOURCES = (
    ("hot_start_temp", "HOT_START_TEMP", "extruder"),
    ("hot_rub_temp", "HOT_RUB_TEMP", "extruder"),
    ("hot_end_temp", "HOT_END_TEMP", "extruder"),
    ("bed_add_temp", "BED_ADDTEMP", "heater_bed"),
)


def format_value(value):
    if isinstance(value, (list, tuple)):
        return ", ".join(format_value(v) for v in value)
    if isinstance(value, float):
        return "%g" % value
    return str(value)


def key_values(module, keys):
    return ", ".join("%s = %s" % (key, format_value(getattr(module, key)))
                     for key in keys)


def temperature_source(run, key, parameter):
    """The value the run used for a temperature, and where it came from."""
    if parameter in run.params:
        return run.params[parameter], "%s=%g on the command line" % (
            parameter, run.params[parameter])
    value = getattr(run.module, key)
    return value, "[z_compensate] %s = %g" % (key, value)


def z_range(run):
    """The Z axis's range: [stepper_z] position_min on most printers,
    [printer] minimum_z_position on deltas."""
    return run.printer.lookup_object("toolhead").get_kinematics().rails[2]


def lower_z_min_fix(lowest_z, z_rail):
    """The fix for a nozzle that had to go to `lowest_z`, below the lower
    end of the Z axis."""
    return ("set [%s] %s: %d (or lower) so that the nozzle can reach the bed where"
            " it lies below Z 0" % (z_rail.name, z_rail.min_option,
                                    min(SUGGESTED_Z_MIN, math.floor(lowest_z))))


def explain_move_out_of_range(match, run):
    position = [float(v) for v in match.groups()]
    module_move = run_trace.last_module_move(run.trace, run.stages)
    # Only a move that the module asked for has no move event after it
    if module_move is not None and module_move.move is None:
        role = module_move.role
        lines = ["klippy refused the %s (%s)" % (
            role.what if role else "move", module_move.command)]
    else:
        role = None
        lines = ["klippy refused a move made for %s"
                 % run_trace.last_module_line(run.trace)]
    kinematics = run.printer.lookup_object("toolhead").get_kinematics()
    for axis, value, limit in kinematics.violated_limits(position):
        lines.append("%s %.3f lies %s" % (axis.upper(), value, limit))
        if role and role.keys(axis):
            lines.append("%s comes from [z_compensate] %s" % (
                axis.upper(), key_values(run.module, role.keys(axis))))
        if role in (run_trace.LOWER_ONTO_STROKE, run_trace.STROKE) and axis == "z":
            # The stroke follows the bed it found, less pa_clr_down_mm
            lines.append(lower_z_min_fix(value, z_range(run)))
    return lines


def explain_stroke_below_z_min(match, run):
    """The module's own refusal of a stroke it found below position_min."""
    return [lower_z_min_fix(min(float(z) for z in BELOW_Z_MIN.findall(match.string)),
                            z_range(run))]


def explain_no_contact(match, run):
    """The pressure probe's descent ended before the nozzle touched the bed:
    at the lower end of the Z axis, or after g29_down_min_z."""
    descent = run_trace.last_descent(run.trace)
    if descent is None:
        return []
    x, y, z = descent.data["end"][:3]
    z_rail = z_range(run)
    if z > z_rail.position_min:
        return ["the pressure probe's descent of [z_compensate] g29_down_min_z = %g mm"
                " ended at Z %.3f before the nozzle touched the bed"
                % (run.module.g29_down_min_z, z)]
    bed_z = z - descent.data["gap"]
    return ["the pressure probe's descent at X %.3f Y %.3f stopped at [%s] %s = %g"
            " before the nozzle touched the bed, which lies at Z %.3f there"
            % (x, y, z_rail.name, z_rail.min_option, z_rail.position_min, bed_z),
            lower_z_min_fix(bed_z - abs(run.module.pa_clr_down_mm), z_rail)]


def explain_temperature(match, run):
    requested, low, high = (float(v) for v in match.groups())
    pheaters = run.printer.lookup_object("heaters")
    lines = []
    for key, parameter, heater_name in TEMPERATURE_SOURCES:
        value, source = temperature_source(run, key, parameter)
        heater = pheaters.lookup_heater(heater_name)
        same_range = ("%.1f:%.1f" % (heater.min_temp, heater.max_temp)
                      == "%.1f:%.1f" % (low, high))
        if "%.1f" % value != "%.1f" % requested or not same_range:
            continue
        if value > heater.max_temp:
            limit = "above [%s] max_temp = %g" % (heater_name, heater.max_temp)
        else:
            limit = "below [%s] min_temp = %g" % (heater_name, heater.min_temp)
        lines.append("%s lies %s" % (source, limit))
    return lines


def explain_cold_extrude(match, run):
    extruder = run.printer.lookup_object("extruder")
    _, source = temperature_source(run, "hot_rub_temp", "HOT_RUB_TEMP")
    return ["the filament is drawn back (pumpback_mm = %s) at the rubbing"
            " temperature %s, which lies below [extruder] min_extrude_temp = %g"
            % (format_value(run.module.pumpback_mm), source,
               extruder.heater.min_extrude_temp)]


def explain_long_extrude(match, run):
    extruder = run.printer.lookup_object("extruder")
    return ["[z_compensate] pumpback_mm = %s exceeds [extruder]"
            " max_extrude_only_distance = %g"
            % (format_value(run.module.pumpback_mm), extruder.max_e_dist)]


def explain_negative_offset(match, run):
    found = run.measurements()
    if not found:
        return []
    mean = sum(m.probe_z - m.nozzle_z for m in found) / len(found)
    allowance = run.module.tri_expand_mm
    truth = run.printer.sim.true_probe_offset
    if run.true_offset_from_z_offset() and truth == 0:
        cause = ("the simulated bed probe triggers where the nozzle touches the bed: its true"
                 " offset was taken from the probe's z_offset = 0, the placeholder of many"
                 " stock configurations. Give the dry run your probe's real offset with"
                 " --true-offset MM (such as --true-offset 1.2), or set z_offset to it")
    else:
        cause = ("the simulated bed probe triggers %.3f mm above the nozzle's contact (%s)"
                 % (truth, run.true_offset_source()))
    return ["the new probe z_offset %.4f, the mean measured offset %.4f less"
            " [z_compensate] tri_expand_mm = %g, is negative"
            % (mean - allowance, mean, allowance), cause]


# The module's words for a Z of its stroke below the axis limit, a delta's
# included
BELOW_Z_MIN = re.compile(
    r"Z (-?\d+\.\d+), below \[(?:stepper_z\] position_min|printer\] minimum_z_position)")

EXPLAINERS = (
    (re.compile(r"Move out of range: (\S+) (\S+) (\S+)"),
     explain_move_out_of_range),
    (re.compile(r"Requested temperature \((\S+)\) out of range \((\S+):(\S+)\)"),
     explain_temperature),
    (re.compile(r"Extrude below minimum temp"), explain_cold_extrude),
    (re.compile(r"Extrude only move too long"), explain_long_extrude),
    (re.compile(r"PR_ERR_CODE_Z_OFFSET_CALIBRATION"), explain_negative_offset),
    (re.compile(r"Pressure probe: no contact within"), explain_no_contact),
    (BELOW_Z_MIN, explain_stroke_below_z_min),
)


def explain(message, run):
    """Lines naming what in the configuration or the command line caused
    klippy's `message`; empty when the message is none of those."""
    for pattern, explainer in EXPLAINERS:
        match = pattern.search(message)
        if match:
            return explainer(match, run)
    return []
