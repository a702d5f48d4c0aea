// The configuration section's keys, in their fixed reading order: a later
// key's default may depend on an earlier value.
#include "settings.h"

#include <cmath>
#include <vector>

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

void SettingsReader::read_calibration_values(Settings& settings) {
  settings.tri_expand_mm = read_float("tri_expand_mm", 0.05, key_rules::tri_expand_mm);
  settings.g29_down_min_z = read_float("g29_down_min_z", 25, key_rules::g29_down_min_z);
  // Read for its bounds only: no procedure uses it.
  settings.z_offset_cex_axis = read_float("z_offset_cex_axis", 3, key_rules::z_offset_cex_axis);
}

void SettingsReader::read_measuring_spot(Settings& settings) {
  settings.vs_start_z_pos = read_float("vs_start_z_pos", 3, key_rules::vs_start_z_pos);
  settings.show_msg = config_->getboolean("show_msg", false);
  settings.bl_offset = read_float_pair("bl_offset");
  settings.noz_pos_center = read_float_pair("noz_pos_center");
  settings.noz_pos_offset = read_float_pair("noz_pos_offset");
}

void SettingsReader::read_wipe(Settings& settings) {
  settings.pumpback_mm = read_float("pumpback_mm", 5, key_rules::pumpback_mm);
  settings.pr_probe_cnt = read_int("pr_probe_cnt", 5, key_rules::probe_count);
  settings.pr_clear_probe_cnt = read_int("pr_clear_probe_cnt", 5, key_rules::probe_count);
  settings.type_nozz = read_int("type_nozz", 0, key_rules::type_nozz);
  settings.use_adc = config_->getboolean("use_adc", false);
  settings.hot_start_temp = read_float("hot_start_temp", 140, {whole(80), whole(200)});
  settings.hot_end_temp = read_float("hot_end_temp", 140, {whole(80), whole(200)});
  settings.hot_rub_temp = read_float("hot_rub_temp", 200, {whole(180), whole(300)});
  settings.bed_add_temp = read_float("bed_add_temp", 60, {whole(45), whole(100)});
  settings.pa_clr_dis_mm = read_float("pa_clr_dis_mm", 30, key_rules::pa_clr_dis_mm);
  settings.pa_clr_down_mm = read_float("pa_clr_down_mm", -0.15, key_rules::pa_clr_down_mm);
  settings.clr_noz_start_x = read_float("clr_noz_start_x", 0, key_rules::clr_noz_start_x);
  settings.clr_noz_start_y = read_float("clr_noz_start_y", 0, key_rules::clr_noz_start_y);
  settings.clr_noz_len_x = read_float("clr_noz_len_x", 0, key_rules::clr_noz_len);
  settings.clr_noz_len_y = read_float("clr_noz_len_y", 0, key_rules::clr_noz_len);
  settings.clr_xy_spd = read_float("clr_xy_spd", 2.0, key_rules::clr_xy_spd);
}

// The hold thresholds suit the sensor's signal path: an ADC reads far
// smaller numbers than the default counter does.
void SettingsReader::read_hold_thresholds(Settings& settings) {
  const bool adc = settings.use_adc;
  settings.tri_min_hold = read_int("tri_min_hold", adc ? 3 : 2000, key_rules::tri_min_hold);
  // The maximum's own minimum is the minimum's value.
  settings.tri_max_hold = read_int("tri_max_hold", adc ? 3072 : 6000,
                                   {whole(settings.tri_min_hold), whole(600000)},
                                   key_rules::tri_max_hold);
}

// The travel height, the stroke's length, then the speeds, each speed's
// default the one read before it.
void SettingsReader::read_stroke_and_speeds(Settings& settings) {
  settings.bed_max_err = read_float("bed_max_err", 5, key_rules::bed_max_err);
  settings.pa_clr_dis_mm_x = read_float("pa_clr_dis_mm_x", 0, key_rules::pa_clr_dis_mm_axis);
  settings.pa_clr_dis_mm_y = read_float("pa_clr_dis_mm_y", 30, key_rules::pa_clr_dis_mm_axis);
  settings.tri_z_down_spd = read_float("speed", 10, key_rules::probe_speed);
  settings.tri_z_up_spd = read_float("lift_speed", settings.tri_z_down_spd, key_rules::probe_speed);
  settings.rdy_xy_spd = read_float("rdy_xy_spd", 250, key_rules::rdy_xy_spd);
  settings.rdy_z_spd = read_float("rdy_z_spd", settings.tri_z_up_spd, {whole(1), whole(50)},
                                   key_rules::rdy_z_spd);
}

void SettingsReader::read_stepping_and_limits(Settings& settings) {
  // Read for its bounds only: no procedure uses it.
  settings.acc_ctl_mm = read_float("acc_ctl_mm", 0.5, key_rules::acc_ctl_mm);
  settings.low_spd_nul = read_int("low_spd_nul", 5, key_rules::low_spd_nul);
  settings.send_step_duty = read_int("send_step_duty", 16, {whole(0), whole(10)},
                                      key_rules::send_step_duty);
  settings.run_max_velocity = read_float("run_max_velocity", 500, key_rules::run_max_velocity);
  settings.run_max_accel = read_float("run_max_accel", 500, key_rules::run_max_accel);
  settings.run_max_z_velocity = read_float("run_max_z_velocity", 20, key_rules::run_max_velocity);
  settings.run_max_z_accel = read_float("run_max_z_accel", 200, key_rules::run_max_accel);
}

void SettingsReader::read_plausibility_limits(Settings& settings) {
  settings.max_offset_change =
      read_float("max_offset_change", 1.0, {whole(0), std::nullopt}, kDistanceLimit);
  settings.point_tolerance =
      read_float("point_tolerance", 0.1, {whole(0), std::nullopt}, kDistanceLimit);
  settings.point_retries =
      read_int("point_retries", 1, {whole(0), whole(kMaxPointRetries)}, kRetriesLimit);
}

Refusal SettingsReader::key_refusal(const std::string& key) {
  return [config = config_, key](const std::string& broken) {
    config->raise_error("Option '" + key + "' in section '" + config->name() + "' " + broken);
  };
}

// The host's getters accept "nan" and "inf" and its bound checks let NaN
// through; no such value may reach a heater target, a move or an offset.
double SettingsReader::read_float(const char* key, double default_value, const Bounds& bounds,
                                  const ValueRule& rule) {
  const std::string name = key;
  return checked_number(config_->getfloat(name, default_value, bounds), rule, key_refusal(name));
}

std::int64_t SettingsReader::read_int(const char* key, std::int64_t default_value,
                                      const Bounds& bounds, const ValueRule& rule) {
  const std::string name = key;
  const std::int64_t value = config_->getint(name, default_value, bounds);
  checked_integer(static_cast<double>(value), rule, key_refusal(name));
  return value;
}

double SettingsReader::read_float(const char* key, double default_value,
                                  const ValueRule& rule) {
  return read_float(key, default_value, bounds_of(rule), rule);
}

std::int64_t SettingsReader::read_int(const char* key, std::int64_t default_value,
                                      const ValueRule& rule) {
  return read_int(key, default_value, bounds_of(rule), rule);
}

std::array<double, 2> SettingsReader::read_float_pair(const char* key) {
  const std::string name = key;
  const std::vector<double> pair = config_->getfloatlist(name, 2);
  return checked_pair({pair.at(0), pair.at(1)}, kFinite, key_refusal(name));
}

}  // namespace zcomp
