// Construction: the host objects, the tuning values of the configuration
// section in their fixed reading order, and the command registration.
#include <cmath>
#include <stdexcept>

#include "z_compensate.h"

namespace zcomp {

namespace {

using Bounds = host::ConfigSection::Bounds;

// Bounds are handed to the host as written, whole numbers as integers, so
// that its messages read "must have minimum of 5".
host::Number whole(std::int64_t value) { return value; }

host::Number bound(double value) {
  if (value == std::trunc(value)) return static_cast<std::int64_t>(value);
  return value;
}

Bounds bounds_of(const ValueRule& rule) {
  Bounds bounds;
  if (rule.minimum) bounds.minval = bound(*rule.minimum);
  if (rule.maximum) bounds.maxval = bound(*rule.maximum);
  return bounds;
}

}  // namespace

std::string broken_rule(double value, const ValueRule& rule) {
  // Written so that NaN, which fails every comparison, breaks each of them.
  if (!std::isfinite(value)) return "must be a finite number";
  if (rule.whole && !(value == std::trunc(value))) return "must be a whole number";
  if (rule.minimum && !(value >= *rule.minimum)) return "must have minimum of " + shown(*rule.minimum);
  if (rule.maximum && !(value <= *rule.maximum)) return "must have maximum of " + shown(*rule.maximum);
  // 2**63 is a double but no 64-bit integer.
  constexpr double kIntegerEnd = 9223372036854775808.0;
  if (rule.whole && !(value >= -kIntegerEnd && value < kIntegerEnd)) {
    return "must be less than 2**63 in size";
  }
  return "";
}

namespace {

void check(double value, const ValueRule& rule, const Refusal& refuse) {
  const std::string broken = broken_rule(value, rule);
  if (broken.empty()) return;
  refuse(broken);
  throw std::logic_error("a refusal returned: " + broken);
}

}  // namespace

double checked_number(double value, const ValueRule& rule, const Refusal& refuse) {
  check(value, rule, refuse);
  return value;
}

std::array<double, 2> checked_pair(const std::array<double, 2>& values, const ValueRule& rule,
                                   const Refusal& refuse) {
  for (double value : values) check(value, rule, refuse);
  return values;
}

std::int64_t checked_integer(double value, const ValueRule& rule, const Refusal& refuse) {
  ValueRule whole = rule;
  whole.whole = true;
  check(value, whole, refuse);
  return static_cast<std::int64_t>(value);
}

double read_parameter(host::Printer& host_printer, host::GCodeCommand& gcmd,
                      const std::string& name, double default_value, const ValueRule& rule,
                      GivenParameters& given) {
  if (gcmd.has_parameter(name)) given.push_back(name);
  return checked_number(gcmd.get_float(name, default_value), rule,
                        [&](const std::string& broken) {
                          host_printer.raise_command_error(
                              "Error on '" + gcmd.get_commandline() + "': " + name + " " + broken);
                        });
}

ZCompensate::ZCompensate(std::shared_ptr<host::ConfigSection> config_section,
                         ErrorRecords records)
    : records_(std::move(records)) {
  config = std::move(config_section);
  printer = config->get_printer();
  tensink = printer->lookup_tensink();
  gcode = printer->lookup_gcode();

  tri_wave_ip = config->get("tri_wave_ip");
  std::string why;
  if (!set_tri_wave_ip(tri_wave_ip, &why)) {
    key_refusal("tri_wave_ip")("names no usable address: " + why);
  }
  shut_down = false;

  tri_expand_mm = read_float("tri_expand_mm", 0.05, key_rules::tri_expand_mm);
  g29_down_min_z = read_float("g29_down_min_z", 25, key_rules::g29_down_min_z);
  z_offset_cex_axis = read_float("z_offset_cex_axis", 3, key_rules::z_offset_cex_axis);

  z_offset_move = 0;
  dbg_msg.clear();
  sys_max_velocity = 0;
  sys_max_accel = 0;
  sys_max_z_velocity = 0;
  sys_max_z_accel = 0;

  gcode->register_command("Z_OFFSET_CALIBRATION", "cmd_Z_OFFSET_CALIBRATION");
  gcode->register_command("Z_OFFSET_AUTO", "cmd_Z_OFFSET_AUTO");
  gcode->register_command("VQTWENTYMA_NOZZLE_CLEAR", "cmd_VQ20MA_NOZZLE_CLEAR");
  // The printer's own sections are complete only once it is ready.
  printer->register_event_handler("klippy:ready", "_handle_ready");

  vs_start_z_pos = read_float("vs_start_z_pos", 3, key_rules::vs_start_z_pos);
  show_msg = config->getboolean("show_msg", false);

  bl_offset = read_float_pair("bl_offset");
  noz_pos_center = read_float_pair("noz_pos_center");
  noz_pos_offset = read_float_pair("noz_pos_offset");

  pumpback_mm = read_float("pumpback_mm", 5, key_rules::pumpback_mm);
  pr_probe_cnt = read_int("pr_probe_cnt", 5, key_rules::probe_count);
  pr_clear_probe_cnt = read_int("pr_clear_probe_cnt", 5, key_rules::probe_count);
  type_nozz = read_int("type_nozz", 0, key_rules::type_nozz);
  use_adc = config->getboolean("use_adc", false);
  hot_start_temp = read_float("hot_start_temp", 140, {whole(80), whole(200)});
  hot_end_temp = read_float("hot_end_temp", 140, {whole(80), whole(200)});
  hot_rub_temp = read_float("hot_rub_temp", 200, {whole(180), whole(300)});
  bed_add_temp = read_float("bed_add_temp", 60, {whole(45), whole(100)});
  pa_clr_dis_mm = read_float("pa_clr_dis_mm", 30, key_rules::pa_clr_dis_mm);
  pa_clr_down_mm = read_float("pa_clr_down_mm", -0.15, key_rules::pa_clr_down_mm);
  clr_noz_start_x = read_float("clr_noz_start_x", 0, key_rules::clr_noz_start_x);
  clr_noz_start_y = read_float("clr_noz_start_y", 0, key_rules::clr_noz_start_y);
  clr_noz_len_x = read_float("clr_noz_len_x", 0, key_rules::clr_noz_len);
  clr_noz_len_y = read_float("clr_noz_len_y", 0, key_rules::clr_noz_len);
  clr_xy_spd = read_float("clr_xy_spd", 2.0, key_rules::clr_xy_spd);

  // The hold thresholds suit the sensor's signal path: an ADC reads far
  // smaller numbers than the default counter does.
  tri_min_hold = read_int("tri_min_hold", use_adc ? 3 : 2000, key_rules::tri_min_hold);
  tri_max_hold = read_int("tri_max_hold", use_adc ? 3072 : 6000,
                          {whole(tri_min_hold), whole(600000)}, key_rules::tri_max_hold);

  bed_max_err = read_float("bed_max_err", 5, key_rules::bed_max_err);
  pa_clr_dis_mm_x = read_float("pa_clr_dis_mm_x", 0, key_rules::pa_clr_dis_mm_axis);
  pa_clr_dis_mm_y = read_float("pa_clr_dis_mm_y", 30, key_rules::pa_clr_dis_mm_axis);

  tri_z_down_spd = read_float("speed", 10, key_rules::probe_speed);
  tri_z_up_spd = read_float("lift_speed", tri_z_down_spd * 1.0, key_rules::probe_speed);
  rdy_xy_spd = read_float("rdy_xy_spd", 250, key_rules::rdy_xy_spd);
  rdy_z_spd = read_float("rdy_z_spd", tri_z_up_spd, {whole(1), whole(50)}, key_rules::rdy_z_spd);

  acc_ctl_mm = read_float("acc_ctl_mm", 0.5, key_rules::acc_ctl_mm);
  low_spd_nul = read_int("low_spd_nul", 5, key_rules::low_spd_nul);
  send_step_duty = read_int("send_step_duty", 16, {whole(0), whole(10)}, key_rules::send_step_duty);
  run_max_velocity = read_float("run_max_velocity", 500, key_rules::run_max_velocity);
  run_max_accel = read_float("run_max_accel", 500, key_rules::run_max_accel);
  run_max_z_velocity = read_float("run_max_z_velocity", 20, key_rules::run_max_velocity);
  run_max_z_accel = read_float("run_max_z_accel", 200, key_rules::run_max_accel);

  max_offset_change =
      read_float("max_offset_change", 1.0, {whole(0), std::nullopt}, kDistanceLimit);
  point_tolerance = read_float("point_tolerance", 0.1, {whole(0), std::nullopt}, kDistanceLimit);
  point_retries =
      read_int("point_retries", 1, {whole(0), whole(kMaxPointRetries)}, kRetriesLimit);
  on_error_gcode = config->load_template("on_error_gcode");

  auto_alignment_status = 0;
}

Refusal ZCompensate::key_refusal(const std::string& key) {
  return [this, key](const std::string& broken) {
    config->raise_error("Option '" + key + "' in section '" + config->name() + "' " + broken);
  };
}

// The host's getters accept "nan" and "inf" and its bound checks let NaN
// through; no such value may reach a heater target, a move or an offset.
double ZCompensate::read_float(const std::string& key, double default_value,
                               const Bounds& bounds, const ValueRule& rule) {
  return checked_number(config->getfloat(key, default_value, bounds), rule, key_refusal(key));
}

std::int64_t ZCompensate::read_int(const std::string& key, std::int64_t default_value,
                                   const Bounds& bounds, const ValueRule& rule) {
  const std::int64_t value = config->getint(key, default_value, bounds);
  checked_integer(static_cast<double>(value), rule, key_refusal(key));
  return value;
}

double ZCompensate::read_float(const std::string& key, double default_value,
                               const ValueRule& rule) {
  return read_float(key, default_value, bounds_of(rule), rule);
}

std::int64_t ZCompensate::read_int(const std::string& key, std::int64_t default_value,
                                   const ValueRule& rule) {
  return read_int(key, default_value, bounds_of(rule), rule);
}

std::array<double, 2> ZCompensate::read_float_pair(const std::string& key) {
  const std::vector<double> pair = config->getfloatlist(key, 2);
  return checked_pair({pair.at(0), pair.at(1)}, kFinite, key_refusal(key));
}

}  // namespace zcomp
