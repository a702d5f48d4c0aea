// The tuning values of the [z_compensate] section, read once at construction
// in their fixed order: each key's meaning, default and bounds are given in
// docs/Config_Reference.md; the lines below say what each is for.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/printer.h"
#include "value_rules.h"

namespace zcomp {

struct Settings {
  // Receiver of the diagnostic datagrams; none sends none.
  std::optional<std::string> tri_wave_ip;
  // mm subtracted from the calibration's mean measured offset.
  double tri_expand_mm = 0;
  // Z travel, mm, of every downward run of the pressure probe.
  double g29_down_min_z = 0;
  // Read and checked only: no procedure uses it.
  double z_offset_cex_axis = 0;
  // Height, mm, at which the nozzle is put over a calibration point.
  double vs_start_z_pos = 0;
  // Console and diagnostic messages on.
  bool show_msg = false;
  // X, Y of the bed probe relative to the nozzle, mm.
  std::array<double, 2> bl_offset{0, 0};
  // Centre of the calibration's measuring spot, mm.
  std::array<double, 2> noz_pos_center{0, 0};
  // [low, high] distance, mm, of the measuring points from that centre.
  std::array<double, 2> noz_pos_offset{0, 0};
  // Filament drawn back before the stroke, mm.
  double pumpback_mm = 0;
  // The pressure probe's counts for a calibration and a wipe measurement.
  std::int64_t pr_probe_cnt = 0, pr_clear_probe_cnt = 0;
  // 1: the nozzle is rubbed, probed and left at the rubbing temperature.
  std::int64_t type_nozz = 0;
  // Chooses the defaults of the hold thresholds.
  bool use_adc = false;
  // The wipe's temperatures, degrees Celsius: the defaults of its parameters.
  double hot_start_temp = 0, hot_end_temp = 0, hot_rub_temp = 0, bed_add_temp = 0;
  // X distance, mm, of the move away after the stroke.
  double pa_clr_dis_mm = 0;
  // Signed Z of the stroke against the bed heights found, mm.
  double pa_clr_down_mm = 0;
  // The wipe area: its lowest X and Y and its extent, mm.
  double clr_noz_start_x = 0, clr_noz_start_y = 0, clr_noz_len_x = 0, clr_noz_len_y = 0;
  // Speed of the stroke, mm/s.
  double clr_xy_spd = 0;
  // Hold thresholds handed to the pressure probe by the wipe.
  std::int64_t tri_min_hold = 0, tri_max_hold = 0;
  // Height of the wipe's travel moves and its final lift, mm.
  double bed_max_err = 0;
  // The stroke's length along X and Y, mm.
  double pa_clr_dis_mm_x = 0, pa_clr_dis_mm_y = 0;
  // Key "speed": Z speed, mm/s, of the error routine's stepping run.
  double tri_z_down_spd = 0;
  // Key "lift_speed": only the default of rdy_z_spd.
  double tri_z_up_spd = 0;
  // Speeds, mm/s, of the wipe's travel moves and of lowering onto the stroke.
  double rdy_xy_spd = 0, rdy_z_spd = 0;
  // Read and checked only: no procedure uses it.
  double acc_ctl_mm = 0;
  // Arguments of the pressure probe's stepping command in the error routine.
  std::int64_t low_spd_nul = 0, send_step_duty = 0;
  // The toolhead's limits while the wipe runs.
  double run_max_velocity = 0, run_max_accel = 0, run_max_z_velocity = 0, run_max_z_accel = 0;
  // The calibration's plausibility limits: the defaults of its parameters.
  double max_offset_change = 0, point_tolerance = 0;
  std::int64_t point_retries = 0;
};

// The bounds of the section's keys that reach a move, a G-code line, a
// heater wait, the probe module or a count. A key and the attribute of the
// same name obey them alike; where a key's default lies outside its bounds,
// the attribute's rule takes the default in too.
namespace key_rules {
inline constexpr ValueRule tri_expand_mm{-0.2, 0.3};
inline constexpr ValueRule g29_down_min_z{5.0, 500.0};
inline constexpr ValueRule z_offset_cex_axis{1.0, 10.0};
inline constexpr ValueRule vs_start_z_pos{0.0, 10.0};
inline constexpr ValueRule pumpback_mm{0.0, 80.0};
inline constexpr ValueRule probe_count{1.0, 10.0, true};  // pr_probe_cnt, pr_clear_probe_cnt
inline constexpr ValueRule type_nozz{0.0, 5.0, true};
inline constexpr ValueRule pa_clr_dis_mm{2.0, 100.0};
inline constexpr ValueRule pa_clr_down_mm{-1.0, 1.0};
inline constexpr ValueRule clr_noz_start_x{-10.0, 1000.0};
inline constexpr ValueRule clr_noz_start_y{0.0, 1000.0};
inline constexpr ValueRule clr_noz_len{-10.0, 1000.0};  // clr_noz_len_x, clr_noz_len_y
inline constexpr ValueRule clr_xy_spd{0.1, 10.0};
inline constexpr ValueRule tri_min_hold{1.0, 200000.0, true};
// Its key's minimum is tri_min_hold's value.
inline constexpr ValueRule tri_max_hold{1.0, 600000.0, true};
inline constexpr ValueRule bed_max_err{1.0, 10.0};
inline constexpr ValueRule pa_clr_dis_mm_axis{0.0, 100.0};  // pa_clr_dis_mm_x, pa_clr_dis_mm_y
inline constexpr ValueRule probe_speed{0.1, 100.0};  // speed, lift_speed
inline constexpr ValueRule rdy_xy_spd{1.0, 1000.0};
// Its key's bounds are 1 to 50; its default is lift_speed.
inline constexpr ValueRule rdy_z_spd{0.1, 100.0};
inline constexpr ValueRule acc_ctl_mm{0.0, 10.0};
inline constexpr ValueRule low_spd_nul{1.0, 10.0, true};
// Its key's bounds are 0 to 10; its default is 16.
inline constexpr ValueRule send_step_duty{0.0, 16.0, true};
inline constexpr ValueRule run_max_velocity{1.0, 5000.0};  // run_max_velocity, run_max_z_velocity
inline constexpr ValueRule run_max_accel{1.0, 50000.0};    // run_max_accel, run_max_z_accel
}  // namespace key_rules

// Reads the keys into `Settings` in their fixed order, each step a group of
// keys that belong together. klippy checks each key's bounds; every number
// is checked by its rule too, as the host's getters take "nan" and "inf".
class SettingsReader {
 public:
  explicit SettingsReader(std::shared_ptr<host::ConfigSection> config)
      : config_(std::move(config)) {}

  void read_calibration_values(Settings& settings);
  void read_measuring_spot(Settings& settings);
  void read_wipe(Settings& settings);
  void read_hold_thresholds(Settings& settings);
  void read_stroke_and_speeds(Settings& settings);
  void read_stepping_and_limits(Settings& settings);
  void read_plausibility_limits(Settings& settings);

  // Refuses a key's value as klippy refuses a configured one.
  Refusal key_refusal(const std::string& key);

 private:
  // A key's value, which klippy has checked against the key's bounds,
  // checked by `rule` too. Keys are given as literals: the text the host
  // asks with is made once, in the reader, not at each of forty calls.
  double read_float(const char* key, double default_value,
                    const host::ConfigSection::Bounds& bounds, const ValueRule& rule = kFinite);
  std::int64_t read_int(const char* key, std::int64_t default_value,
                        const host::ConfigSection::Bounds& bounds, const ValueRule& rule);
  // The key's bounds are the rule's own.
  double read_float(const char* key, double default_value, const ValueRule& rule);
  std::int64_t read_int(const char* key, std::int64_t default_value,
                        const ValueRule& rule);
  std::array<double, 2> read_float_pair(const char* key);

  std::shared_ptr<host::ConfigSection> config_;
};

}  // namespace zcomp
