// The configuration section's keys, in their fixed reading order: a later
// key's default may depend on an earlier value.
#include "settings.h"

#include <vector>

namespace zcomp {

namespace {

using Bounds = host::ConfigSection::Bounds;

// Bounds are handed to the host as written, whole numbers as integers, so
// that its messages read "must have minimum of 5".
host::Number whole(std::int64_t value) { return value; }

}  // namespace

void SettingsReader::read_calibration_values(Settings& settings) {
  settings.tri_expand_mm = read_float("tri_expand_mm", 0.05, {-0.2, 0.3});
  settings.g29_down_min_z = read_float("g29_down_min_z", 25, {whole(5), whole(500)});
  // Read for its bounds only: no procedure uses it.
  settings.z_offset_cex_axis = read_float("z_offset_cex_axis", 3, {whole(1), whole(10)});
}

void SettingsReader::read_measuring_spot(Settings& settings) {
  settings.vs_start_z_pos = read_float("vs_start_z_pos", 3, {whole(0), whole(10)});
  settings.show_msg = config_->getboolean("show_msg", false);
  settings.bl_offset = read_float_pair("bl_offset");
  settings.noz_pos_center = read_float_pair("noz_pos_center");
  settings.noz_pos_offset = read_float_pair("noz_pos_offset");
}

void SettingsReader::read_wipe(Settings& settings) {
  settings.pumpback_mm = read_float("pumpback_mm", 5, {whole(0), whole(80)});
  settings.pr_probe_cnt = config_->getint("pr_probe_cnt", 5, {whole(1), whole(10)});
  settings.pr_clear_probe_cnt = config_->getint("pr_clear_probe_cnt", 5, {whole(1), whole(10)});
  settings.type_nozz = config_->getint("type_nozz", 0, {whole(0), whole(5)});
  settings.use_adc = config_->getboolean("use_adc", false);
  settings.hot_start_temp = read_float("hot_start_temp", 140, {whole(80), whole(200)});
  settings.hot_end_temp = read_float("hot_end_temp", 140, {whole(80), whole(200)});
  settings.hot_rub_temp = read_float("hot_rub_temp", 200, {whole(180), whole(300)});
  settings.bed_add_temp = read_float("bed_add_temp", 60, {whole(45), whole(100)});
  settings.pa_clr_dis_mm = read_float("pa_clr_dis_mm", 30, {whole(2), whole(100)});
  settings.pa_clr_down_mm = read_float("pa_clr_down_mm", -0.15, {whole(-1), whole(1)});
  settings.clr_noz_start_x = read_float("clr_noz_start_x", 0, {whole(-10), whole(1000)});
  settings.clr_noz_start_y = read_float("clr_noz_start_y", 0, {whole(0), whole(1000)});
  settings.clr_noz_len_x = read_float("clr_noz_len_x", 0, {whole(-10), whole(1000)});
  settings.clr_noz_len_y = read_float("clr_noz_len_y", 0, {whole(-10), whole(1000)});
  settings.clr_xy_spd = read_float("clr_xy_spd", 2.0, {0.1, whole(10)});
}

// The hold thresholds suit the sensor's signal path: an ADC reads far
// smaller numbers than the default counter does.
void SettingsReader::read_hold_thresholds(Settings& settings) {
  settings.tri_min_hold =
      config_->getint("tri_min_hold", settings.use_adc ? 3 : 2000, {whole(1), whole(200000)});
  settings.tri_max_hold = config_->getint("tri_max_hold", settings.use_adc ? 3072 : 6000,
                                          {whole(settings.tri_min_hold), whole(600000)});
}

void SettingsReader::read_stroke(Settings& settings) {
  settings.bed_max_err = read_float("bed_max_err", 5, {whole(1), whole(10)});
  settings.pa_clr_dis_mm_x = read_float("pa_clr_dis_mm_x", 0, {whole(0), whole(100)});
  settings.pa_clr_dis_mm_y = read_float("pa_clr_dis_mm_y", 30, {whole(0), whole(100)});
}

// Each speed's default is the one read before it.
void SettingsReader::read_speeds(Settings& settings) {
  settings.tri_z_down_spd = read_float("speed", 10, {0.1, whole(100)});
  settings.tri_z_up_spd = read_float("lift_speed", settings.tri_z_down_spd, {0.1, whole(100)});
  settings.rdy_xy_spd = read_float("rdy_xy_spd", 250, {whole(1), whole(1000)});
  settings.rdy_z_spd = read_float("rdy_z_spd", settings.tri_z_up_spd, {whole(1), whole(50)});
}

void SettingsReader::read_stepping_and_limits(Settings& settings) {
  // Read for its bounds only: no procedure uses it.
  settings.acc_ctl_mm = read_float("acc_ctl_mm", 0.5, {whole(0), whole(10)});
  settings.low_spd_nul = config_->getint("low_spd_nul", 5, {whole(1), whole(10)});
  settings.send_step_duty = config_->getint("send_step_duty", 16, {whole(0), whole(10)});
  settings.run_max_velocity = read_float("run_max_velocity", 500, {whole(1), whole(5000)});
  settings.run_max_accel = read_float("run_max_accel", 500, {whole(1), whole(50000)});
  settings.run_max_z_velocity = read_float("run_max_z_velocity", 20, {whole(1), whole(5000)});
  settings.run_max_z_accel = read_float("run_max_z_accel", 200, {whole(1), whole(50000)});
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
double SettingsReader::read_float(const std::string& key, double default_value,
                                  const Bounds& bounds, const ValueRule& rule) {
  return checked_number(config_->getfloat(key, default_value, bounds), rule, key_refusal(key));
}

std::int64_t SettingsReader::read_int(const std::string& key, std::int64_t default_value,
                                      const Bounds& bounds, const ValueRule& rule) {
  const std::int64_t value = config_->getint(key, default_value, bounds);
  checked_integer(static_cast<double>(value), rule, key_refusal(key));
  return value;
}

std::array<double, 2> SettingsReader::read_float_pair(const std::string& key) {
  const std::vector<double> pair = config_->getfloatlist(key, 2);
  return checked_pair({pair.at(0), pair.at(1)}, kFinite, key_refusal(key));
}

}  // namespace zcomp
