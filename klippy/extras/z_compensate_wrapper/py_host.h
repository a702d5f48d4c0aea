// Adapters from klippy's Python objects to the host interfaces. Every Python
// value the module sees crosses here; an answer of the wrong type or shape
// becomes a Python exception, and every exception the host raises passes back
// unchanged.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/pressure_probe.h"
#include "host/printer.h"
#include "py_api.h"
#include "z_compensate.h"

namespace zcomp::py_host {

using py_api::NamesRef;
using py_api::Ref;

// Each adapter keeps its own reference to the host object it stands for; the
// module object's garbage-collector support visits it there. It hands that
// object out only as an owning reference, which outlives whatever a host call
// does to the adapter.
class PyObjectAdapter {
 public:
  PyObjectAdapter(Ref object, NamesRef names)
      : object_(std::move(object)), names_(std::move(names)) {}
  virtual ~PyObjectAdapter() = default;
  Ref object() const { return object_; }
  bool stands_for(PyObject* object) const { return object_.get() == object; }
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(object_.get());
    return 0;
  }

 protected:
  Ref object_;
  NamesRef names_;
};

// The host objects that the module reaches through its configuration section
// register commands with the module's own bound methods, so they know the
// module object; it owns them, so a borrowed handle stays valid.
class PyConfigSection : public host::ConfigSection, public PyObjectAdapter {
 public:
  PyConfigSection(Ref config, NamesRef names, PyObject* owner)
      : PyObjectAdapter(std::move(config), std::move(names)), owner_(owner) {}
  std::string name() override;
  std::shared_ptr<host::Printer> get_printer() override;
  std::optional<std::string> get(const std::string& key) override;
  double getfloat(const std::string& key, std::optional<double> default_value,
                  const Bounds& bounds) override;
  std::int64_t getint(const std::string& key, std::optional<std::int64_t> default_value,
                      const Bounds& bounds) override;
  bool getboolean(const std::string& key, bool default_value) override;
  std::vector<double> getfloatlist(const std::string& key, int count) override;
  std::shared_ptr<host::GCodeTemplate> load_template(const std::string& key) override;
  [[noreturn]] void raise_error(const std::string& message) override;

 private:
  PyObject* owner_;
};

// The adapter of the object a lookup found last, handed out again while the
// host answers with the same object: a lookup then allocates nothing.
template <typename Interface>
class KeptAdapter {
 public:
  template <typename Make>
  std::shared_ptr<Interface> get(Ref object, Make&& make) {
    if (adapter_ != nullptr && adapter_->stands_for(object.get())) return interface_;
    auto fresh = make(std::move(object));
    // The adapter given up is released last, once this one is consistent:
    // dropping a host object may run host code.
    std::shared_ptr<Interface> given_up = std::move(interface_);
    adapter_ = fresh.get();
    interface_ = std::move(fresh);
    return interface_;
  }
  const PyObjectAdapter* adapter() const { return adapter_; }

 private:
  std::shared_ptr<Interface> interface_;
  const PyObjectAdapter* adapter_ = nullptr;
};

class PyPrinter : public host::Printer, public PyObjectAdapter {
 public:
  PyPrinter(Ref printer, NamesRef names, PyObject* owner)
      : PyObjectAdapter(std::move(printer), std::move(names)), owner_(owner) {}
  std::shared_ptr<host::Reactor> get_reactor() override;
  bool is_shutdown() override;
  void invoke_shutdown(const std::string& message) override;
  [[noreturn]] void raise_command_error(const std::string& message) override;
  bool is_host_exit(const std::exception_ptr& error) override;
  bool is_command_error(const std::exception_ptr& error) override;
  std::string describe_error(const std::exception_ptr& error) override;
  void register_event_handler(const std::string& event, const std::string& handler) override;
  bool has_object(const std::string& name) override;
  std::optional<std::uint64_t> draw_seed() override;
  std::shared_ptr<host::PressureProbe> lookup_tensink() override;
  std::shared_ptr<host::GCode> lookup_gcode() override;
  std::shared_ptr<host::Toolhead> lookup_toolhead() override;
  std::shared_ptr<host::GCodeMove> lookup_gcode_move() override;
  std::shared_ptr<host::BedMesh> lookup_bed_mesh() override;
  std::shared_ptr<host::Heaters> lookup_heaters() override;
  std::shared_ptr<host::Heater> lookup_heater(const std::string& object_name) override;
  std::shared_ptr<host::BedProbe> lookup_probe() override;
  std::shared_ptr<host::ConfigFile> lookup_configfile() override;
  // The adapters kept for lookups, each once; the garbage collector visits
  // their host objects through the module object.
  void add_kept_adapters(std::vector<const PyObjectAdapter*>& adapters) const;

 private:
  Ref lookup(PyObject* name);
  // The kept adapter, or a new Adapter, for the object a lookup found.
  template <typename Adapter, typename Interface>
  std::shared_ptr<Interface> keep(KeptAdapter<Interface>& kept, Ref object);
  PyObject* owner_;
  KeptAdapter<host::Reactor> reactor_;
  KeptAdapter<host::PressureProbe> tensink_;
  KeptAdapter<host::GCode> gcode_;
  KeptAdapter<host::Toolhead> toolhead_;
  KeptAdapter<host::GCodeMove> gcode_move_;
  KeptAdapter<host::BedMesh> bed_mesh_;
  KeptAdapter<host::Heaters> heaters_;
  KeptAdapter<host::Heater> extruder_heater_;
  KeptAdapter<host::Heater> bed_heater_;
  KeptAdapter<host::BedProbe> probe_;
  KeptAdapter<host::ConfigFile> configfile_;
};

class PyGCode : public host::GCode, public PyObjectAdapter {
 public:
  PyGCode(Ref gcode, NamesRef names, PyObject* owner)
      : PyObjectAdapter(std::move(gcode), std::move(names)), owner_(owner) {}
  void register_command(const std::string& command, const std::string& handler) override;
  void run_script_from_command(const std::string& line) override;
  void respond_info(const std::string& text) override;
  void respond_warning(const std::string& text) override;

 private:
  PyObject* owner_;
};

// A template the host's G-code macro support made.
class PyGCodeTemplate : public host::GCodeTemplate, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  void run_from_command(const Params& params) override;
};

class PyGCodeCommand : public host::GCodeCommand, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  double get_float(const std::string& name, double default_value) override;
  bool has_parameter(const std::string& name) override;
  std::string get_commandline() override;
};

class PyToolhead : public host::Toolhead, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  void wait_moves() override;
  void get_last_move_time() override;
  host::Position get_position() override;
  void set_position_z_homed(const host::Position& pos) override;
  Limits limits() override;
  void set_limits(const Limits& values) override;
  host::AxisLimits axis_limits(double eventtime) override;
};

class PyBedMesh : public host::BedMesh, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  std::shared_ptr<host::Opaque> get_mesh() override;
  void set_mesh(const std::shared_ptr<host::Opaque>& mesh) override;
};

class PyHeater : public host::Heater, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  double target_temp() override;
  double smoothed_temp() override;
  host::TemperatureLimits temperature_limits() override;
};

class PyHeaters : public host::Heaters, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  void set_temperature(host::Heater& heater, double temp) override;
};

class PyPressureProbe : public host::PressureProbe, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  double run_step_tensink(const DescentArgs& args) override;
  void move(const host::Position& pos, double speed) override;
  void get_mm_per_step() override;
  void enable_steps() override;
  void disable_steps() override;
  std::array<host::Number, 3> get_step_cnts(double down_min_z, double down_speed) override;
  void send_start_step_tensink(const std::vector<host::Number>& args) override;
  std::size_t step_result_count() override;
  void write_swap(const host::Number& pres_oid, std::int64_t level) override;
  std::shared_ptr<SwapReply> read_swap(const host::Number& step_oid) override;
  host::Number pres_oid() override;
  host::Number step_oid() override;
  host::Number tri_send_ms() override;
};

// What the module needs of the host and this host lacks, or an empty text for
// a host of a known generation.
std::string unknown_host_shape(const Ref& printer, const py_api::Names& names);

// A module-level error record and the values a caller attaches to it.
class PyErrorRecord : public ErrorRecord {
 public:
  // Refuses anything but a mutable mapping with a text "code" and "msg".
  PyErrorRecord(Ref record, Ref values, NamesRef names);
  void attach_values() override;
  std::string text(const std::string& msg_prefix) override;

 private:
  Ref record_;
  Ref values_;
  NamesRef names_;
};

}  // namespace zcomp::py_host
