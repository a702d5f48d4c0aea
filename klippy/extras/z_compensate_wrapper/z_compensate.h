// The Z-offset calibration and nozzle-clearing module: one object per
// configuration section, holding its tuning values, its working state and the
// host objects it drives. Each procedure lives in the source of its subsystem.
#pragma once

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/pressure_probe.h"
#include "host/printer.h"
#include "random_draw.h"

namespace zcomp {

constexpr int MAX_BUF_LEN = 32;
constexpr int MAX_PRES_CNT = 4;
constexpr int MAX_STEP_CNT = 4;

// printf-style formatting of numbers into a std::string. Texts are joined
// as std::string instead, which keeps whatever they hold (a NUL included).
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list args) __attribute__((format(printf, 1, 0)));
// A number as klippy shows a bound or a configured value: "5", "0.1".
std::string shown(double value);
std::string shown(const std::array<double, 2>& values);

// A module-level error record ("code", "msg", "values"). The caller's values
// are bound to the record object that the procedure was handed.
class ErrorRecord {
 public:
  virtual ~ErrorRecord() = default;
  // Stores the caller's values as the record's "values" entry, in place.
  virtual void attach_values() = 0;
  // The record in literal-mapping notation, `msg_prefix` put before "msg".
  virtual std::string text(const std::string& msg_prefix) = 0;
};

struct ErrorRecords {
  std::shared_ptr<ErrorRecord> z_offset_calibration;
  std::shared_ptr<ErrorRecord> ssap_test;
};

// Raised when an operation needs a host reference that no command has set yet.
class MissingAttribute : public std::runtime_error {
 public:
  explicit MissingAttribute(const std::string& attribute)
      : std::runtime_error("'ZCompensateInitWrapper' object has no attribute '" + attribute + "'") {}
};

// A move's target as it is given: X and Y, then Z where there is one; what
// follows Z is no part of a move.
class MoveTarget {
 public:
  MoveTarget(std::initializer_list<double> values) : MoveTarget(values.begin(), values.size()) {}
  MoveTarget(const double* values, std::size_t count)
      : size_(std::min(count, values_.size())) {
    std::copy_n(values, size_, values_.begin());
  }
  std::size_t size() const { return size_; }
  double operator[](std::size_t i) const { return values_[i]; }

 private:
  std::array<double, 3> values_{};
  std::size_t size_;
};

// The parameters that a command line gives: a setting is named as the user
// gave it, by its parameter when the line has one, else by its key.
using GivenParameters = std::vector<std::string>;

// The four temperatures of one nozzle wipe, degrees Celsius, and which of
// them the command line gave.
struct WipeTemperatures {
  double hot_start_temp;
  double hot_rub_temp;
  double hot_end_temp;
  double bed_add_temp;
  GivenParameters given;
};

// How far a calibration's result may lie from what is expected of it; 0 for
// either distance switches its check off.
struct OffsetLimits {
  // mm between the new offset and the probe's z_offset.
  double max_offset_change;
  // mm between the two points' offsets.
  double point_tolerance;
  // How often both points are measured again while they differ by more.
  std::int64_t point_retries;
  GivenParameters given;
};

// The parts of the sequence a command runs.
struct CommandParts {
  bool wipe;
  bool calibration;
};

// What get_status reports beyond the progress stage. Plain values only, so
// that reading them never calls the host.
struct RunStatus {
  // The command running now; empty while none runs.
  std::string running_command;
  std::string last_command;
  // "done", "refused" or "failed"; empty before the first command ends.
  std::string last_result;
  // Why the last command was refused or failed.
  std::string last_message;
  // The last calibration's new probe offset, and the offset last saved.
  std::optional<double> last_z_offset;
  std::optional<double> saved_z_offset;
  // The bed probe's offset in force, as the host reports it once the
  // printer is ready: what the configuration held when klippy started (a
  // saved offset takes effect with the next start).
  std::optional<double> probe_z_offset;
  // The offset found at each of the last calibration's two points, and how
  // far apart they lie.
  std::vector<double> last_point_offsets;
  std::optional<double> last_point_spread;
  // How often the last calibration measured both points again.
  std::int64_t last_remeasurements = 0;
};

// The height at which the calibration puts the bed probe over a point, mm.
constexpr double kBedProbeStartZ = 8;

// The nozzle is drawn back once it is within this many degrees of the
// rubbing temperature.
constexpr double kRubTolerance = 10;

// A host object the module drives, handed out only as an owning handle: any
// host call may replace the module's reference (a caller assigns the
// attribute), and the object in use must live until the expression that uses
// it has ended. `ref->call(arguments)` holds it through the arguments too.
template <typename T>
class HostRef {
 public:
  explicit HostRef(const char* attribute) : attribute_(attribute) {}
  HostRef& operator=(std::shared_ptr<T> ref) {
    // The reference given up is released last, once this one is consistent:
    // dropping a host object may run host code.
    std::shared_ptr<T> given_up = std::move(ref_);
    ref_ = std::move(ref);
    return *this;
  }
  // Fails with the missing-attribute error while nothing is set.
  std::shared_ptr<T> get() const;
  std::shared_ptr<T> operator->() const { return get(); }
  // The handle, empty while nothing is set.
  std::shared_ptr<T> held() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }

 private:
  const char* attribute_;
  std::shared_ptr<T> ref_;
};

// The most re-measurements of the calibration's points a run may take.
constexpr std::int64_t kMaxPointRetries = 10;

// What a number must be to be used, whichever way it came in: a key of the
// section, an attribute set from Python or a command parameter. Every number
// must be finite; the bounds are those the procedures rely on (a key's own
// bounds, which klippy checks, may be narrower).
struct ValueRule {
  std::optional<double> minimum;
  std::optional<double> maximum;
  bool whole = false;
};

inline const ValueRule kFinite{};
// A distance limit of the calibration; 0 switches its check off.
inline const ValueRule kDistanceLimit{0.0, std::nullopt, false};
inline const ValueRule kRetriesLimit{0.0, static_cast<double>(kMaxPointRetries), true};

// The bounds of the section's keys that reach a move, a G-code line, a
// heater wait, the probe module or a count. A key and the attribute of the
// same name obey them alike; where a key's default lies outside its bounds,
// the attribute's rule takes the default in too.
namespace key_rules {
inline const ValueRule tri_expand_mm{-0.2, 0.3};
inline const ValueRule g29_down_min_z{5.0, 500.0};
inline const ValueRule z_offset_cex_axis{1.0, 10.0};
inline const ValueRule vs_start_z_pos{0.0, 10.0};
inline const ValueRule pumpback_mm{0.0, 80.0};
inline const ValueRule probe_count{1.0, 10.0, true};  // pr_probe_cnt, pr_clear_probe_cnt
inline const ValueRule type_nozz{0.0, 5.0, true};
inline const ValueRule pa_clr_dis_mm{2.0, 100.0};
inline const ValueRule pa_clr_down_mm{-1.0, 1.0};
inline const ValueRule clr_noz_start_x{-10.0, 1000.0};
inline const ValueRule clr_noz_start_y{0.0, 1000.0};
inline const ValueRule clr_noz_len{-10.0, 1000.0};  // clr_noz_len_x, clr_noz_len_y
inline const ValueRule clr_xy_spd{0.1, 10.0};
inline const ValueRule tri_min_hold{1.0, 200000.0, true};
// Its key's minimum is tri_min_hold's value.
inline const ValueRule tri_max_hold{1.0, 600000.0, true};
inline const ValueRule bed_max_err{1.0, 10.0};
inline const ValueRule pa_clr_dis_mm_axis{0.0, 100.0};  // pa_clr_dis_mm_x, pa_clr_dis_mm_y
inline const ValueRule probe_speed{0.1, 100.0};  // speed, lift_speed
inline const ValueRule rdy_xy_spd{1.0, 1000.0};
// Its key's bounds are 1 to 50; its default is lift_speed.
inline const ValueRule rdy_z_spd{0.1, 100.0};
inline const ValueRule acc_ctl_mm{0.0, 10.0};
inline const ValueRule low_spd_nul{1.0, 10.0, true};
// Its key's bounds are 0 to 10; its default is 16.
inline const ValueRule send_step_duty{0.0, 16.0, true};
inline const ValueRule run_max_velocity{1.0, 5000.0};  // run_max_velocity, run_max_z_velocity
inline const ValueRule run_max_accel{1.0, 50000.0};    // run_max_accel, run_max_z_accel
}  // namespace key_rules

// How `value` breaks `rule`, worded as klippy words a refused parameter
// ("must be a finite number", "must have minimum of 0"), or an empty text
// when it keeps it.
std::string broken_rule(double value, const ValueRule& rule);

// The one check of each kind of value. `refuse` is handed the broken rule and
// ends the call in the way that the value's path refuses a value.
using Refusal = std::function<void(const std::string& broken)>;
double checked_number(double value, const ValueRule& rule, const Refusal& refuse);
std::array<double, 2> checked_pair(const std::array<double, 2>& values, const ValueRule& rule,
                                   const Refusal& refuse);
std::int64_t checked_integer(double value, const ValueRule& rule, const Refusal& refuse);

// Nanoseconds since the epoch: two runs, or two objects, draw differently.
std::uint64_t wall_clock_seed();

// "PARAMETER=value" when the command line gave the parameter, else
// "[z_compensate] key = value".
std::string setting_source(double value, const GivenParameters& given, const std::string& key,
                           const std::string& parameter);

// A number parameter of the command line, `default_value` when absent,
// checked by `rule` and refused as klippy words a parameter it refuses:
// "Error on '<command line>': NAME <rule>". The host's parser takes "nan"
// and "inf" as numbers. Adds the name to `given` when the line has it.
double read_parameter(host::Printer& host_printer, host::GCodeCommand& gcmd,
                      const std::string& name, double default_value, const ValueRule& rule,
                      GivenParameters& given);

class ZCompensate {
 public:
  // Reads the configuration section and registers the commands.
  ZCompensate(std::shared_ptr<host::ConfigSection> config, ErrorRecords records);

  // Motion and timing.
  void move(const MoveTarget& pos, double speed, bool wait = true);
  void delay_s(double delay_s);
  void set_step_par(bool load_sys = true);

  // Heaters.
  void set_hot_temps(double temp, bool wait = false, double err = 5);
  void set_bed_temps(double temp, bool wait = false, double err = 5);

  // Messages and diagnostics.
  void print_msg(std::string_view title, std::string_view msg, bool force = false);
  void pnt_msg(const std::string& msg);
  // The line printf-formatted, only when it is shown.
  void pnt_msg(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Changes the diagnostics receiver, resolving a host name once; on failure
  // returns false with the reason and keeps the previous receiver.
  bool set_tri_wave_ip(const std::optional<std::string>& address, std::string* why);

  // Error routine: returns when `ck` is false, otherwise ends the command.
  void ck_and_raise_error(bool ck, ErrorRecord& err_code);

  // Procedures.
  void TEST_SWAP();
  void vq20ma_clear_nozzle(WipeTemperatures temps);
  void cmd_VQ20MA_NOZZLE_CLEAR(host::GCodeCommand& gcmd);
  void cmd_Z_OFFSET_CALIBRATION(host::GCodeCommand& gcmd);
  void cmd_Z_OFFSET_AUTO(host::GCodeCommand& gcmd);

  // Warns of configured values that the commands would refuse; the host
  // calls it once the printer is ready.
  void handle_ready();

  // Host references.
  HostRef<host::ConfigSection> config{"config"};
  HostRef<host::Printer> printer{"printer"};
  HostRef<host::PressureProbe> tensink{"tensink"};
  HostRef<host::GCode> gcode{"gcode"};
  HostRef<host::Toolhead> toolhead{"toolhead"};
  HostRef<host::BedMesh> bed_mesh{"bed_mesh"};
  HostRef<host::Heaters> pheaters{"pheaters"};
  HostRef<host::Heater> heater_hot{"heater_hot"};
  HostRef<host::Heater> heater_bed{"heater_bed"};

  // Working state.
  bool shut_down = false;
  double z_offset_move = 0;
  // Title -> title index, in the order the titles were first sent.
  std::vector<std::pair<std::string, std::int64_t>> dbg_msg;
  double sys_max_velocity = 0;
  double sys_max_accel = 0;
  double sys_max_z_velocity = 0;
  double sys_max_z_accel = 0;
  std::int64_t auto_alignment_status = 0;
  RunStatus run_status;

  // Tuning values, in reading order.
  std::optional<std::string> tri_wave_ip;
  double tri_expand_mm = 0;
  double g29_down_min_z = 0;
  double z_offset_cex_axis = 0;
  double vs_start_z_pos = 0;
  bool show_msg = false;
  std::array<double, 2> bl_offset{0, 0};
  std::array<double, 2> noz_pos_center{0, 0};
  std::array<double, 2> noz_pos_offset{0, 0};
  double pumpback_mm = 0;
  std::int64_t pr_probe_cnt = 0;
  std::int64_t pr_clear_probe_cnt = 0;
  std::int64_t type_nozz = 0;
  bool use_adc = false;
  double hot_start_temp = 0;
  double hot_end_temp = 0;
  double hot_rub_temp = 0;
  double bed_add_temp = 0;
  double pa_clr_dis_mm = 0;
  double pa_clr_down_mm = 0;
  double clr_noz_start_x = 0;
  double clr_noz_start_y = 0;
  double clr_noz_len_x = 0;
  double clr_noz_len_y = 0;
  double clr_xy_spd = 0;
  std::int64_t tri_min_hold = 0;
  std::int64_t tri_max_hold = 0;
  double bed_max_err = 0;
  double pa_clr_dis_mm_x = 0;
  double pa_clr_dis_mm_y = 0;
  double tri_z_down_spd = 0;
  double tri_z_up_spd = 0;
  double rdy_xy_spd = 0;
  double rdy_z_spd = 0;
  double acc_ctl_mm = 0;
  std::int64_t low_spd_nul = 0;
  std::int64_t send_step_duty = 0;
  double run_max_velocity = 0;
  double run_max_accel = 0;
  double run_max_z_velocity = 0;
  double run_max_z_accel = 0;
  double max_offset_change = 0;
  double point_tolerance = 0;
  std::int64_t point_retries = 0;
  // Run when a command ends in a refusal or a command error; none unless
  // configured.
  HostRef<host::GCodeTemplate> on_error_gcode{"on_error_gcode"};

 private:
  // A key's value, which klippy has checked against the key's bounds,
  // checked by `rule` too.
  double read_float(const std::string& key, double default_value,
                    const host::ConfigSection::Bounds& bounds, const ValueRule& rule = kFinite);
  std::int64_t read_int(const std::string& key, std::int64_t default_value,
                        const host::ConfigSection::Bounds& bounds, const ValueRule& rule);
  // The key's bounds are the rule's own.
  double read_float(const std::string& key, double default_value, const ValueRule& rule);
  std::int64_t read_int(const std::string& key, std::int64_t default_value, const ValueRule& rule);
  std::array<double, 2> read_float_pair(const std::string& key);
  // Refuses a key's value as klippy refuses a configured one.
  Refusal key_refusal(const std::string& key);
  void set_heater_temp(const HostRef<host::Heater>& heater, double temp, bool wait, double err);
  void send_datagram(std::string_view title, std::string_view msg);
  // Brings the G-code Z offset back to 0; returns the offset it found.
  double cancel_gcode_z_offset();
  // The host's G-code Z offset and toolhead position; the host accepts
  // "SET_GCODE_OFFSET Z=nan", and a value that is no finite number is refused
  // before it reaches an offset line, a move or the saved configuration.
  double gcode_z_offset();
  host::Position toolhead_position(host::Toolhead& head);
  void restore_gcode_z_offset(double z_offset);
  void send_gcode_z_offset_adjust(double z_adjust);
  std::int64_t title_index(std::string_view title);

  // Runs a command's body and keeps its outcome in `run_status`; a command
  // called by another is part of that one's outcome.
  void run_command(const char* name, const std::function<void()>& body);
  void finish_command(const char* name, const std::exception_ptr& failure);
  void run_error_hook(const char* name, const std::exception_ptr& failure);
  // Ends the command with the host's command error, kept as a refusal.
  void refuse(const std::string& message);
  WipeTemperatures read_wipe_temperatures(host::GCodeCommand& gcmd);
  // The configured limits, or those the command line gives; refused, as the
  // host refuses a parameter, before anything heats or moves.
  OffsetLimits read_offset_limits(host::GCodeCommand& gcmd);
  // Both points at a new random draw: the offset between the bed probe's
  // trigger height and the nozzle's contact height at each. `z_offset_old`,
  // the probe's offset, only serves the messages.
  std::array<double, 2> measure_point_offsets(host::GCodeCommand& gcmd,
                                              const host::Position& start_pos,
                                              double z_offset_old);
  void clear_nozzle(host::GCodeCommand& gcmd);
  void calibrate(host::GCodeCommand& gcmd);
  void z_offset_auto(host::GCodeCommand& gcmd);
  // Refuses the command when what it would visit or heat does not fit the
  // printer; runs before anything heats or moves.
  void preflight(const char* command, CommandParts parts, const WipeTemperatures& temps);
  std::vector<std::string> preflight_findings(CommandParts parts, const WipeTemperatures& temps);
  WipeTemperatures configured_temperatures() const;
  std::vector<std::string> start_up_findings();
  // The heights of the stroke, known once the bed is found at both ends.
  void check_stroke_heights(double start_bed_z, double end_bed_z);
  // From the clock, so that every run draws afresh, unless the host fixes a
  // seed to make its runs repeatable.
  void reseed_draws();

  ErrorRecords records_;
  // The receiver's IPv4 address, resolved once from `tri_wave_ip`.
  std::optional<std::string> tri_wave_addr_;
  // The message of the refusal that is ending the running command.
  std::optional<std::string> refusal_;
  // Whether the running command entered the error routine, which ends in a
  // shutdown.
  bool error_routine_entered_ = false;
  // Whether on_error_gcode is running: a command it runs does not run it
  // again.
  bool in_error_hook_ = false;
  // The G-code Z offset that the running calibration, or Z_OFFSET_AUTO
  // running it, found when it started; a refusal by the limits puts it back.
  double start_gcode_z_offset_ = 0;

  // Procedures' own helpers and state.
  // Source of the calibration's points and the wipe's stroke, seeded before
  // each set of draws (reseed_draws).
  RandomSource rng_{0};
  // The sets of draws made under a seed the host fixed.
  std::uint64_t seeded_draw_sets_ = 0;
};

template <typename T>
std::shared_ptr<T> HostRef<T>::get() const {
  if (!ref_) throw MissingAttribute(attribute_);
  return ref_;
}

// Runs `step` and hands back what it raised, so that the host is only called
// again once no exception is in flight.
template <typename Step>
std::exception_ptr attempt(Step&& step) {
  try {
    step();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

// The G-code Z offset line; the host matches command names without regard to case.
std::string gcode_offset_line(double z_adjust);

}  // namespace zcomp
