// The printer host as the module sees it: every host object and operation the
// procedures use, without anything of the language the host is written in.
// An adapter implements these for one host version; a host error surfaces as a
// C++ exception that the adapter owns and passes back to the host unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace host {

// A number as it is handed to or received from the host: whole numbers stay
// integers so that the host formats them as written ("minimum of 5").
using Number = std::variant<std::int64_t, double>;

// [X, Y, Z, E] in mm.
using Position = std::array<double, 4>;

// A host value the module only hands back unchanged (the bed mesh).
class Opaque {
 public:
  virtual ~Opaque() = default;
};

class Printer;

// A G-code template of the configuration, rendered by the host's own template
// engine (the printer's status, its action functions and `params`), as the
// host's G-code macros are.
class GCodeTemplate {
 public:
  // NAME -> value, the template's `params`.
  using Params = std::vector<std::pair<std::string, std::string>>;
  virtual ~GCodeTemplate() = default;
  // Renders the template and runs the G-code it gives from within the
  // running command; it may pause.
  virtual void run_from_command(const Params& params) = 0;
};

class ConfigSection {
 public:
  struct Bounds {
    std::optional<Number> minval;
    std::optional<Number> maxval;
  };
  virtual ~ConfigSection() = default;
  virtual std::string name() = 0;
  virtual std::shared_ptr<Printer> get_printer() = 0;
  // An absent key yields no value.
  virtual std::optional<std::string> get(const std::string& key) = 0;
  // An absent default makes the key required.
  virtual double getfloat(const std::string& key, std::optional<double> default_value,
                          const Bounds& bounds) = 0;
  virtual std::int64_t getint(const std::string& key, std::optional<std::int64_t> default_value,
                              const Bounds& bounds) = 0;
  virtual bool getboolean(const std::string& key, bool default_value) = 0;
  // Required; exactly `count` values.
  virtual std::vector<double> getfloatlist(const std::string& key, int count) = 0;
  // A G-code template read as the host reads a macro's; none when the key is
  // absent. A key that is no valid template fails as the host fails a macro.
  virtual std::shared_ptr<GCodeTemplate> load_template(const std::string& key) = 0;
  // Raises the host's configuration error.
  [[noreturn]] virtual void raise_error(const std::string& message) = 0;
};

class Reactor {
 public:
  virtual ~Reactor() = default;
  virtual double monotonic() = 0;
  // Suspends the running command until reactor time `waketime`.
  virtual void pause(double waketime) = 0;
};

// The command object handed to a handler; passed on unchanged to other handlers.
class GCodeCommand {
 public:
  virtual ~GCodeCommand() = default;
  virtual double get_float(const std::string& name, double default_value) = 0;
  // Whether the command line gives the parameter at all.
  virtual bool has_parameter(const std::string& name) = 0;
  virtual std::string get_commandline() = 0;
};

class GCode {
 public:
  virtual ~GCode() = default;
  // `handler` names the module's own method that serves the command; its help
  // text is the method name followed by "_help".
  virtual void register_command(const std::string& command, const std::string& handler) = 0;
  virtual void run_script_from_command(const std::string& line) = 0;
  virtual void respond_info(const std::string& text) = 0;
  // A warning in the host's log and on the console.
  virtual void respond_warning(const std::string& text) = 0;
};

// The range of X, Y and Z in which the toolhead accepts a move, in mm.
struct AxisLimits {
  std::array<double, 3> minimum;
  std::array<double, 3> maximum;
};

class Toolhead {
 public:
  virtual ~Toolhead() = default;
  virtual void wait_moves() = 0;
  virtual void get_last_move_time() = 0;
  virtual Position get_position() = 0;
  // Declares `pos` as the current position with Z homed.
  virtual void set_position_z_homed(const Position& pos) = 0;
  // The speed limits, read and written directly on the host's fields, in
  // this order; the whole set at once, so the kinematics are reached once.
  using Limits = std::array<double, 4>;
  virtual Limits limits() = 0;
  virtual void set_limits(const Limits& values) = 0;
  // The kinematics' axis ranges at reactor time `eventtime`.
  virtual AxisLimits axis_limits(double eventtime) = 0;
};

class GCodeMove {
 public:
  virtual ~GCodeMove() = default;
  // Entry 2 of the homing position: the G-code Z offset in mm.
  virtual double homing_position_z() = 0;
};

class BedMesh {
 public:
  virtual ~BedMesh() = default;
  // No mesh is a null pointer, both ways.
  virtual std::shared_ptr<Opaque> get_mesh() = 0;
  virtual void set_mesh(const std::shared_ptr<Opaque>& mesh) = 0;
};

// A heater's configured range, degrees Celsius.
struct TemperatureLimits {
  double min_temp;
  double max_temp;
  // Below this the host refuses to move the filament.
  double min_extrude_temp;
};

class Heater {
 public:
  virtual ~Heater() = default;
  virtual double target_temp() = 0;
  virtual double smoothed_temp() = 0;
  virtual TemperatureLimits temperature_limits() = 0;
};

class Heaters {
 public:
  virtual ~Heaters() = default;
  // New target, without the host's own waiting.
  virtual void set_temperature(Heater& heater, double temp) = 0;
};

class BedProbe {
 public:
  virtual ~BedProbe() = default;
  // Z in mm at which the probe triggered (entry 2 of the host's result).
  virtual double run_probe(GCodeCommand& gcmd) = 0;
  virtual double z_offset() = 0;
};

class ConfigFile {
 public:
  virtual ~ConfigFile() = default;
  virtual void cmd_CXSAVE_CONFIG(GCodeCommand& gcmd) = 0;
};

class PressureProbe;

class Printer {
 public:
  virtual ~Printer() = default;
  virtual std::shared_ptr<Reactor> get_reactor() = 0;
  virtual bool is_shutdown() = 0;
  virtual void invoke_shutdown(const std::string& message) = 0;
  // Raises the host's command error, the error that ends a command.
  [[noreturn]] virtual void raise_command_error(const std::string& message) = 0;
  // True for an error by which the host itself ends the command (a restart
  // while it was suspended): it must pass at once, with no further host call.
  virtual bool is_host_exit(const std::exception_ptr& error) = 0;
  // True for the host's command error, which ends a command and leaves the
  // printer running; any other error ends in the host's shutdown.
  virtual bool is_command_error(const std::exception_ptr& error) = 0;
  // The text an error shows the user; never raises.
  virtual std::string describe_error(const std::exception_ptr& error) = 0;
  // `handler` names the module's own method, called with no arguments; it
  // must not pause.
  virtual void register_event_handler(const std::string& event, const std::string& handler) = 0;
  // Whether the host has created an object of that name.
  virtual bool has_object(const std::string& name) = 0;
  // The seed the host fixes for the procedures' random draws so that a run
  // can be repeated (a simulated printer); none on a printer, where every
  // run draws afresh.
  virtual std::optional<std::uint64_t> draw_seed() = 0;

  // Object lookups by the host's names; each raises the host's error for a
  // missing object.
  virtual std::shared_ptr<PressureProbe> lookup_tensink() = 0;  // "tensink_v2"
  virtual std::shared_ptr<GCode> lookup_gcode() = 0;            // "gcode"
  virtual std::shared_ptr<Toolhead> lookup_toolhead() = 0;      // "toolhead"
  virtual std::shared_ptr<GCodeMove> lookup_gcode_move() = 0;   // "gcode_move"
  virtual std::shared_ptr<BedMesh> lookup_bed_mesh() = 0;       // "bed_mesh"
  virtual std::shared_ptr<Heaters> lookup_heaters() = 0;        // "heaters"
  // The field `heater` of the named object ("extruder", "heater_bed").
  virtual std::shared_ptr<Heater> lookup_heater(const std::string& object_name) = 0;
  virtual std::shared_ptr<BedProbe> lookup_probe() = 0;         // "probe"
  virtual std::shared_ptr<ConfigFile> lookup_configfile() = 0;  // "configfile"
};

}  // namespace host
