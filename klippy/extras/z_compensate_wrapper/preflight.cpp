// Before a command heats or moves anything: the printer has every object the
// command uses, every point it can visit lies inside the axis limits, and
// every temperature inside its heater's range. The same checks on the
// configured values warn once the printer is ready, and the heights of the
// stroke are checked as soon as the bed has been found at both of its ends.
#include <algorithm>
#include <cmath>

#include "z_compensate.h"

namespace zcomp {

namespace {

constexpr int kX = 0;
constexpr int kY = 1;
constexpr int kZ = 2;
constexpr const char* kAxisNames[] = {"X", "Y", "Z"};
constexpr const char* kStepperSections[] = {"stepper_x", "stepper_y", "stepper_z"};

// The setting of the configuration behind one end of an axis's range, as the
// printer's kinematics have it: "[stepper_z] position_min" where the axis has
// a stepper of its own, "[printer] minimum_z_position" on a delta. A range
// about the centre is named by its radius, its lower end with a minus sign.
std::string limit_name(host::Kinematics kinematics, int axis, bool upper) {
  const std::string stepper = std::string("[") + kStepperSections[axis] + "] " +
                              (upper ? "position_max" : "position_min");
  const std::string minus = upper ? "" : "-";
  switch (kinematics) {
    case host::Kinematics::cartesian:
      return stepper;
    // The arm reaches a radius about the bed's centre.
    case host::Kinematics::polar:
      return axis == kZ ? stepper : minus + "[stepper_arm] position_max";
    // The towers carry the nozzle within a radius, down to a height of their own.
    case host::Kinematics::delta:
      if (axis != kZ) return minus + "[printer] print_radius";
      return upper ? "the towers' reach" : "[printer] minimum_z_position";
    // Two towers along X, a stepper of its own along Y.
    case host::Kinematics::deltesian:
      if (axis == kX) return "the arms' reach";
      if (axis == kY) return stepper;
      return upper ? "the towers' reach" : "[printer] minimum_z_position";
  }
  return stepper;
}

// The values one coordinate can take in a part of a command.
struct Span {
  double low;
  double high;
};

Span between(double a, double b) { return {std::min(a, b), std::max(a, b)}; }

Span shifted(Span span, double by) { return {span.low + by, span.high + by}; }

Span joined(Span a, Span b) { return {std::min(a.low, b.low), std::max(a.high, b.high)}; }

// Collects what does not fit the printer, each finding naming the values
// behind it and the limit it runs into. The names are worked out only for a
// finding: `cause` and `source` are callables giving the text.
class Findings {
 public:
  explicit Findings(const host::AxisLimits& limits) : limits_(limits) {}

  void add(std::string finding) {
    if (std::find(texts_.begin(), texts_.end(), finding) == texts_.end()) {
      texts_.push_back(std::move(finding));
    }
  }

  // `what` reaches every value of `span` on `axis`; `cause` names the keys.
  template <typename Cause>
  void check_axis(int axis, Span span, const char* what, const Cause& cause) {
    // Written so that a coordinate that is no number fails it.
    if (!(span.low >= limits_.minimum[axis] && span.high <= limits_.maximum[axis])) {
      add_axis_findings(axis, span, what, cause());
    }
  }

  template <typename XCause, typename YCause>
  void check_point(Span x, Span y, const char* what, const XCause& x_cause,
                   const YCause& y_cause) {
    check_axis(kX, x, what, x_cause);
    check_axis(kY, y, what, y_cause);
  }

  // 0 turns a heater off and is always accepted, as the host accepts it.
  template <typename Source>
  void check_temperature(double temp, const Source& source, const char* heater,
                         const host::TemperatureLimits& range) {
    if (temp == 0 || (temp >= range.min_temp && temp <= range.max_temp)) return;
    add_temperature_finding(temp, source(), heater, range);
  }

  std::vector<std::string> texts() const { return texts_; }

 private:
  void add_axis_findings(int axis, Span span, const char* what, const std::string& cause) {
    const double minimum = limits_.minimum[axis];
    const double maximum = limits_.maximum[axis];
    if (!(span.low >= minimum)) {
      add(std::string(what) + " " + kAxisNames[axis] + " " + format("%.3f", span.low) +
          ", below " + limit_name(limits_.kinematics, axis, false) + " = " + shown(minimum) +
          ": " + cause);
    }
    if (!(span.high <= maximum)) {
      add(std::string(what) + " " + kAxisNames[axis] + " " + format("%.3f", span.high) +
          ", beyond " + limit_name(limits_.kinematics, axis, true) + " = " + shown(maximum) +
          ": " + cause);
    }
  }

  void add_temperature_finding(double temp, const std::string& source, const char* heater,
                               const host::TemperatureLimits& range) {
    if (!(temp >= range.min_temp)) {
      add(source + " lies below [" + heater + "] min_temp = " + shown(range.min_temp));
    } else if (!(temp <= range.max_temp)) {
      add(source + " lies above [" + heater + "] max_temp = " + shown(range.max_temp));
    }
  }

  host::AxisLimits limits_;
  std::vector<std::string> texts_;
};

std::string joined_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

// The printer objects the command uses; says which heaters the wipe finds.
struct WipeHeaters {
  bool extruder = false;
  bool heater_bed = false;
};

WipeHeaters check_printer_objects(host::Printer& host_printer, CommandParts parts,
                                  Findings& findings) {
  const auto has = [&](const char* name, const char* missing) {
    if (host_printer.has_object(name)) return true;
    findings.add(missing);
    return false;
  };
  has("bed_mesh", "the printer has no [bed_mesh] section");
  if (parts.calibration) {
    has("probe", "the printer has no bed probe: no section (such as [probe]) provides 'probe'");
  }
  WipeHeaters heaters;
  heaters.extruder = parts.wipe && has("extruder", "the printer has no [extruder] section");
  heaters.heater_bed = parts.wipe && has("heater_bed", "the printer has no [heater_bed] section");
  if (parts.wipe) has("fan", "the printer has no [fan] section");
  return heaters;
}

// The calibration's measuring points, at their farthest possible draws: one
// point lies the drawn distance above the centre, the other below it.
void check_measuring_points(const Settings& settings, Findings& findings) {
  const Span offset = between(settings.noz_pos_offset.at(0), settings.noz_pos_offset.at(1));
  const auto around = [&](double center) {
    return joined(shifted(offset, center), shifted({-offset.high, -offset.low}, center));
  };
  const Span nozzle_x = around(settings.noz_pos_center.at(0));
  const Span nozzle_y = around(settings.noz_pos_center.at(1));
  const auto cause = [&] {
    return "[z_compensate] noz_pos_center = " + shown(settings.noz_pos_center) +
           ", noz_pos_offset = " + shown(settings.noz_pos_offset);
  };
  findings.check_point(nozzle_x, nozzle_y, "the nozzle's measuring points reach", cause, cause);
  // The toolhead moves the bed probe over each point.
  const auto probe_cause = [&] { return cause() + ", bl_offset = " + shown(settings.bl_offset); };
  findings.check_point(shifted(nozzle_x, -settings.bl_offset[0]),
                       shifted(nozzle_y, -settings.bl_offset[1]),
                       "putting the bed probe over the measuring points takes the toolhead to",
                       probe_cause, probe_cause);
  findings.check_axis(kZ, {kBedProbeStartZ, kBedProbeStartZ},
                      "the bed probe starts each measurement at",
                      [] { return std::string("a fixed height"); });
  findings.check_axis(kZ, {settings.vs_start_z_pos, settings.vs_start_z_pos},
                      "the nozzle starts each measurement at", [&] {
                        return "[z_compensate] vs_start_z_pos = " + shown(settings.vs_start_z_pos);
                      });
}

// The wipe: every possible stroke in the wipe area, the nozzle lowered 5 mm
// into it and lifted 5 mm before its end, and the move away.
void check_wipe_area(const Settings& settings, Findings& findings) {
  const Span start_x = shifted(between(0, settings.clr_noz_len_x - settings.pa_clr_dis_mm_x),
                               settings.clr_noz_start_x);
  const Span start_y = shifted(between(0, settings.clr_noz_len_y - settings.pa_clr_dis_mm_y),
                               settings.clr_noz_start_y);
  const Span end_x = shifted(start_x, settings.pa_clr_dis_mm_x);
  const Span end_y = shifted(start_y, settings.pa_clr_dis_mm_y);
  const auto x_cause = [&] {
    return "[z_compensate] clr_noz_start_x = " + shown(settings.clr_noz_start_x) +
           ", clr_noz_len_x = " + shown(settings.clr_noz_len_x) +
           ", pa_clr_dis_mm_x = " + shown(settings.pa_clr_dis_mm_x);
  };
  const auto y_cause = [&] {
    return "[z_compensate] clr_noz_start_y = " + shown(settings.clr_noz_start_y) +
           ", clr_noz_len_y = " + shown(settings.clr_noz_len_y) +
           ", pa_clr_dis_mm_y = " + shown(settings.pa_clr_dis_mm_y);
  };
  findings.check_point(start_x, joined(start_y, shifted(start_y, 5)),
                       "the stroke's start can reach", x_cause, y_cause);
  findings.check_point(end_x, joined(end_y, shifted(end_y, -5)), "the stroke's end can reach",
                       x_cause, y_cause);
  const auto away_cause = [&] {
    return x_cause() + ", pa_clr_dis_mm = " + shown(settings.pa_clr_dis_mm);
  };
  findings.check_point(shifted(end_x, settings.pa_clr_dis_mm), end_y,
                       "the move away after the stroke can reach", away_cause, y_cause);
  findings.check_axis(kZ, {settings.bed_max_err, settings.bed_max_err},
                      "the wipe's travel moves run at", [&] {
                        return "[z_compensate] bed_max_err = " + shown(settings.bed_max_err);
                      });
}

// The wipe's nozzle temperatures as the run will use them: this nozzle type
// keeps the rubbing temperature throughout.
void check_nozzle_temperatures(const Settings& settings, const WipeTemperatures& temps,
                               const host::TemperatureLimits& range, Findings& findings) {
  const bool one_temperature = settings.type_nozz == 1;
  const auto rub_source = [&] {
    return setting_source(temps.hot_rub_temp, temps.given, kHotRubTempParameter);
  };
  const double start_temp = one_temperature ? temps.hot_rub_temp : temps.hot_start_temp;
  const auto start_source = [&] {
    return one_temperature
               ? rub_source()
               : setting_source(temps.hot_start_temp, temps.given, kHotStartTempParameter);
  };
  const double end_temp = one_temperature ? temps.hot_rub_temp : temps.hot_end_temp;
  const auto end_source = [&] {
    return one_temperature ? rub_source()
                           : setting_source(temps.hot_end_temp, temps.given, kHotEndTempParameter);
  };
  findings.check_temperature(start_temp, start_source, "extruder", range);
  findings.check_temperature(temps.hot_rub_temp, rub_source, "extruder", range);
  findings.check_temperature(end_temp, end_source, "extruder", range);
  // The filament is drawn back as soon as the nozzle is within the
  // tolerance of the rubbing temperature: coming from a cooler start, it may
  // still be that much below it.
  const double draw_back_temp =
      start_temp >= temps.hot_rub_temp ? temps.hot_rub_temp : temps.hot_rub_temp - kRubTolerance;
  if (settings.pumpback_mm > 0 && !(draw_back_temp >= range.min_extrude_temp)) {
    findings.add("the filament is drawn back ([z_compensate] pumpback_mm = " +
                 shown(settings.pumpback_mm) + ") at " + shown(draw_back_temp) + ", within " +
                 shown(kRubTolerance) + " of the rubbing temperature " + rub_source() +
                 ", below [extruder] min_extrude_temp = " + shown(range.min_extrude_temp));
  }
}

void check_bed_temperature(const WipeTemperatures& temps, const host::TemperatureLimits& range,
                           Findings& findings) {
  findings.check_temperature(
      temps.bed_add_temp,
      [&] { return setting_source(temps.bed_add_temp, temps.given, kBedAddTempParameter); },
      "heater_bed", range);
}

}  // namespace

WipeTemperatures ZCompensate::configured_temperatures() const {
  return {hot_start_temp, hot_rub_temp, hot_end_temp, bed_add_temp, {}};
}

std::vector<std::string> ZCompensate::preflight_findings(CommandParts parts,
                                                         const WipeTemperatures& temps) {
  const auto host_printer = printer.get();
  const double now = host_printer->get_reactor()->monotonic();
  Findings findings(host_printer->lookup_toolhead()->axis_limits(now));
  const WipeHeaters heaters = check_printer_objects(*host_printer, parts, findings);
  if (parts.calibration) check_measuring_points(*this, findings);
  if (parts.wipe) check_wipe_area(*this, findings);
  if (heaters.extruder) {
    check_nozzle_temperatures(*this, temps,
                              host_printer->lookup_heater("extruder")->temperature_limits(),
                              findings);
  }
  if (heaters.heater_bed) {
    check_bed_temperature(temps, host_printer->lookup_heater("heater_bed")->temperature_limits(),
                          findings);
  }
  return findings.texts();
}

void ZCompensate::preflight(const char* command, CommandParts parts,
                            const WipeTemperatures& temps) {
  // A command run by another was checked by that one, with the same
  // parameters, before anything heated.
  if (run_status.running_command != command) return;
  gcode_z_offset();
  toolhead_position(*printer.get()->lookup_toolhead());
  const std::vector<std::string> findings = preflight_findings(parts, temps);
  if (findings.empty()) return;
  refuse(std::string(command) + " refused: " + joined_lines(findings));
}

std::vector<std::string> ZCompensate::start_up_findings() {
  const auto host_printer = printer.get();
  std::vector<std::string> findings = preflight_findings({true, true}, configured_temperatures());
  // The stroke rubs the nozzle |pa_clr_down_mm| below the bed height it
  // finds, which lies near Z 0 on a printer whose Z is homed by its probe.
  const double now = host_printer->get_reactor()->monotonic();
  const host::AxisLimits limits = host_printer->lookup_toolhead()->axis_limits(now);
  const double z_min = limits.minimum[kZ];
  const double rub_depth = std::fabs(pa_clr_down_mm);
  if (z_min > -rub_depth) {
    const std::string setting = limit_name(limits.kinematics, kZ, false);
    const std::string option = setting.substr(setting.find("] ") + 2);
    findings.push_back(
        setting + " = " + shown(z_min) + " lies above -|pa_clr_down_mm| = " +
        shown(-rub_depth) + ": the nozzle clearing rubs the nozzle " + shown(rub_depth) +
        " mm below the bed height it finds, and with the bed found near Z 0 that move is "
        "refused after the printer has heated; set " + option + " to " + shown(-rub_depth) +
        " or lower (such as -2)");
  }
  return findings;
}

// The printer starts whatever the check finds, even when the check itself
// fails on an unexpected host answer.
void ZCompensate::handle_ready() {
  const auto host_printer = printer.get();
  const auto dispatcher = gcode.get();
  // Read once here, so that get_status has it from the start without a
  // host call of its own. A probe whose offset cannot be read costs the
  // start-up check nothing.
  const std::exception_ptr offset_failure = attempt([&] {
    if (host_printer->has_object("probe")) {
      const double z_offset = host_printer->lookup_probe()->z_offset();
      if (std::isfinite(z_offset)) run_status.probe_z_offset = z_offset;
    }
  });
  if (offset_failure && host_printer->is_host_exit(offset_failure)) {
    std::rethrow_exception(offset_failure);
  }
  std::vector<std::string> warnings;
  const std::exception_ptr check_failure = attempt([&] { warnings = start_up_findings(); });
  if (check_failure && host_printer->is_host_exit(check_failure)) {
    std::rethrow_exception(check_failure);
  }
  if (offset_failure) {
    warnings.push_back("the probe's z_offset could not be read: " +
                       host_printer->describe_error(offset_failure));
  }
  if (check_failure) {
    warnings.push_back("the start-up check could not be made: " +
                       host_printer->describe_error(check_failure));
  }
  for (const std::string& warning : warnings) {
    dispatcher->respond_warning("z_compensate: " + warning);
  }
}

void ZCompensate::check_stroke_heights(double start_bed_z, double end_bed_z) {
  const auto host_printer = printer.get();
  const double now = host_printer->get_reactor()->monotonic();
  Findings findings(toolhead->axis_limits(now));
  const auto down_key = [&] {
    return "[z_compensate] pa_clr_down_mm = " + shown(pa_clr_down_mm);
  };
  findings.check_axis(kZ, {start_bed_z - pa_clr_down_mm, start_bed_z - pa_clr_down_mm},
                      "the nozzle is lowered onto the stroke at", [&] {
                        return format("the bed found at Z %.3f less ", start_bed_z) +
                               down_key();
                      });
  findings.check_axis(kZ, {end_bed_z + pa_clr_down_mm, end_bed_z + pa_clr_down_mm},
                      "the stroke ends at", [&] {
                        return format("the bed found at Z %.3f plus ", end_bed_z) +
                               down_key();
                      });
  findings.check_axis(kZ, {end_bed_z + bed_max_err, end_bed_z + bed_max_err},
                      "the move away after the stroke runs at", [&] {
                        return format("the bed found at Z %.3f plus ", end_bed_z) +
                               "[z_compensate] bed_max_err = " + shown(bed_max_err);
                      });
  const std::vector<std::string> texts = findings.texts();
  if (texts.empty()) return;
  refuse(std::string(kNozzleClearCommand.name) + " refused: " + joined_lines(texts));
}

}  // namespace zcomp
