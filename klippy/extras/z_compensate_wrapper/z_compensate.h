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

#include "commands.h"
#include "formatting.h"
#include "host/pressure_probe.h"
#include "host/printer.h"
#include "random_draw.h"
#include "settings.h"
#include "value_rules.h"

namespace zcomp {

constexpr int MAX_BUF_LEN = 32;
constexpr int MAX_PRES_CNT = 4;
constexpr int MAX_STEP_CNT = 4;

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

// Throws MissingAttribute: one body for every kind of host reference.
[[noreturn, gnu::cold]] void throw_missing_attribute(const char* attribute);

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
  // The object without a hold on it, null while nothing is set: only for a
  // visit that runs no host code while it looks at the object.
  T* peek() const { return ref_.get(); }
  explicit operator bool() const { return ref_ != nullptr; }

 private:
  const char* attribute_;
  std::shared_ptr<T> ref_;
};

// Nanoseconds since the epoch: two runs, or two objects, draw differently.
std::uint64_t wall_clock_seed();

// The tuning values (Settings) are its attributes, under their keys' names.
class ZCompensate : public Settings {
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
  // The key on_error_gcode: run when a command ends in a refusal or a command
  // error; none unless configured.
  HostRef<host::GCodeTemplate> on_error_gcode{"on_error_gcode"};

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

 private:
  // Construction.
  // The receiver of the diagnostic datagrams, refused as its key.
  void read_diagnostics_receiver(SettingsReader& reader);
  void register_commands();

  // Machine helpers.
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

  // The nozzle clearing's steps.
  void clear_nozzle(host::GCodeCommand& gcmd);
  // The wipe's stroke from (sx, sy) to (ex, ey), mm, and the bed's height
  // found at each end.
  struct Stroke {
    double sx, sy, sz;
    double ex, ey, ez;
  };
  Stroke draw_stroke(double min_x, double min_y);
  void heat_for_wipe(const WipeTemperatures& temps);
  void find_bed_at_stroke_ends(Stroke& stroke);
  void rub_along_stroke(host::GCode& dispatcher, const Stroke& stroke,
                        const WipeTemperatures& temps);
  void cool_down_after_stroke(host::GCode& dispatcher, const Stroke& stroke,
                              const WipeTemperatures& temps);

  // The calibration's steps.
  void calibrate(host::GCodeCommand& gcmd);
  // What the calibration's points gave: their offsets, the new probe offset
  // and how far apart the points lie.
  struct OffsetMeasurement {
    std::array<double, 2> point_offsets;
    double z_offset_new;
    double spread;
  };
  OffsetMeasurement measure_offset(host::GCodeCommand& gcmd, const host::Position& start_pos,
                                   double z_offset_old, const OffsetLimits& limits);
  void shift_to_new_offset(double z_offset_new, double z_offset_old);
  std::string implausible_result(const OffsetMeasurement& measured, double z_offset_old,
                                 const OffsetLimits& limits);
  void save_new_offset(host::GCode& dispatcher, double z_offset_new);
  void z_offset_auto(host::GCodeCommand& gcmd);

  // The pre-flight.
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
  if (!ref_) throw_missing_attribute(attribute_);
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
