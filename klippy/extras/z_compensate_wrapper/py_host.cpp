#include "py_host.h"

#include <cmath>

namespace zcomp::py_host {

namespace {

using namespace py_api;

Ref python_list(const host::Position& pos) { return new_list(pos.data(), pos.size()); }

Ref python_list(const host::Number* values, std::size_t count) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
  for (std::size_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), from_number(values[i]).release());
  }
  return list;
}

Ref python_list(std::initializer_list<host::Number> values) {
  return python_list(values.begin(), values.size());
}

Ref python_list(const std::vector<host::Number>& values) {
  return python_list(values.data(), values.size());
}

// config.getfloat / getint with the bounds given as keywords, the default
// (when there is one) positionally.
template <typename Default>
Ref get_bounded(const Ref& config, PyObject* getter, const std::string& key,
                const std::optional<Default>& default_value,
                const host::ConfigSection::Bounds& bounds) {
  const Arg name(key);
  if (bounds.minval && bounds.maxval) {
    const Ref minval = from_number(*bounds.minval);
    const Ref maxval = from_number(*bounds.maxval);
    return default_value
               ? call_method(config, getter, {name, *default_value, minval, maxval},
                             names::minval_maxval_kw)
               : call_method(config, getter, {name, minval, maxval}, names::minval_maxval_kw);
  }
  if (bounds.minval || bounds.maxval) {
    const Ref bound = from_number(bounds.minval ? *bounds.minval : *bounds.maxval);
    PyObject* kwnames = bounds.minval ? names::minval_kw : names::maxval_kw;
    return default_value ? call_method(config, getter, {name, *default_value, bound}, kwnames)
                         : call_method(config, getter, {name, bound}, kwnames);
  }
  return default_value ? call_method(config, getter, {name, *default_value})
                       : call_method(config, getter, {name});
}

const Ref& adapted_heater(host::Heater& heater) {
  auto* adapter = dynamic_cast<PyHeater*>(&heater);
  if (adapter == nullptr) raise(PyExc_TypeError, "heater: not a host heater");
  return adapter->object();
}

const Ref& adapted_command(host::GCodeCommand& gcmd) {
  return dynamic_cast<PyGCodeCommand&>(gcmd).object();
}

class PyReactor : public host::Reactor, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  double monotonic() override {
    return to_double(call_method(object_, names::monotonic).get(), "reactor.monotonic()");
  }
  void pause(double waketime) override { call_method(object_, names::pause, {waketime}); }
};

class PyGCodeMove : public host::GCodeMove, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  double homing_position_z() override {
    return first_numbers<3>(get_attr(object_, names::homing_position).get(),
                            "gcode_move.homing_position")[2];
  }
};

// The host generations differ in how a probe is run and where its offset
// lives: probe sessions with get_offsets() (klippy since mid-2024), or the
// probe's own run_probe() with a z_offset field (older klippy, Kalico).
bool has_probe_sessions(PyObject* probe) {
  return optional_attr(probe, names::start_probe_session) &&
         optional_attr(probe, names::get_offsets);
}

bool has_single_probe(PyObject* probe) {
  return optional_attr(probe, names::run_probe) && optional_attr(probe, names::z_offset);
}

// Raises the host's command error through the command being run.
[[noreturn]] void command_error(const Ref& command, const std::string& message) {
  raise_object(call_method(command, names::error, {message}));
}

// A probe result's number, or a command error naming the field.
double result_number(const Ref& command, PyObject* value, const char* field) {
  if (!PyFloat_Check(value) && !PyLong_Check(value)) {
    command_error(command, std::string("probe result: ") + field + " is not a number: " +
                               repr(value));
  }
  return to_double(value, field);
}

class PyBedProbe : public host::BedProbe, public PyObjectAdapter {
 public:
  explicit PyBedProbe(Ref probe)
      : PyObjectAdapter(std::move(probe)), sessions_(has_probe_sessions(object_.get())) {}
  double run_probe(host::GCodeCommand& gcmd) override {
    const Ref command = adapted_command(gcmd);
    if (!sessions_) {
      return trigger_height(command, call_method(object_, names::run_probe, {command}));
    }
    const Ref session = call_method(object_, names::start_probe_session, {command});
    call_method(session, names::run_probe, {command});
    const Ref results = call_method(session, names::pull_probed_results);
    call_method(session, names::end_probe_session);
    if (!PySequence_Check(results.get()) || PyUnicode_Check(results.get())) {
      wrong_type("probe session results", "a sequence", results.get());
    }
    // The host's own error from its length passes back unchanged.
    const Py_ssize_t count = PySequence_Size(results.get());
    if (count < 0) throw_error();
    if (count == 0) raise(PyExc_ValueError, "probe session: no probe result");
    return trigger_height(command, checked(PySequence_GetItem(results.get(), 0)));
  }
  double z_offset() override {
    if (sessions_) {
      return first_numbers<3>(call_method(object_, names::get_offsets).get(),
                              "probe.get_offsets()")[2];
    }
    return to_double(get_attr(object_, names::z_offset).get(), "probe.z_offset");
  }

 private:
  // The toolhead's Z at the trigger, with every correction the host applies
  // (axis-twist compensation among them). Named results (klippy since 2026)
  // carry the corrections in bed_z only, the probe's offset taken off; their
  // test_z is the raw trigger height. Older results are [x, y, z] with the
  // corrections in z.
  double trigger_height(const Ref& command, const Ref& result) {
    if (optional_attr(result.get(), names::_fields)) {
      const Ref bed_z = optional_attr(result.get(), names::bed_z);
      if (!bed_z) command_error(command, "probe result: no field bed_z: " + repr(result.get()));
      return result_number(command, bed_z.get(), "bed_z") + z_offset();
    }
    return first_numbers<3>(result.get(), "probe result")[2];
  }

  // A probe object keeps its kind: told once, when it is first looked up.
  const bool sessions_;
};

// How the toolhead's set_position names the homed axes: by letters ("z",
// klippy since 2025, Kalico) where homing_axes defaults to a text, by indices
// ([2]) where it defaults to a sequence.
enum class AxisNames { letters, indices, unknown };

AxisNames homing_axis_names(PyObject* toolhead) {
  const Ref set_position = optional_attr(toolhead, names::set_position);
  if (!set_position) return AxisNames::unknown;
  const Ref inspect = checked(PyImport_ImportModule("inspect"));
  Ref signature = Ref::steal(
      PyObject_CallMethod(inspect.get(), "signature", "O", set_position.get()));
  if (!signature) {
    // Not introspectable (a builtin without a text signature).
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) {
      throw_error();
    }
    PyErr_Clear();
    return AxisNames::unknown;
  }
  const Ref parameters = checked(PyObject_GetAttrString(signature.get(), "parameters"));
  const Ref parameter = Ref::steal(PyMapping_GetItemString(parameters.get(), "homing_axes"));
  if (!parameter) {
    PyErr_Clear();
    return AxisNames::unknown;
  }
  const Ref default_value = checked(PyObject_GetAttrString(parameter.get(), "default"));
  if (PyUnicode_Check(default_value.get())) return AxisNames::letters;
  if (PyTuple_Check(default_value.get()) || PyList_Check(default_value.get())) {
    return AxisNames::indices;
  }
  return AxisNames::unknown;
}

class PyConfigFile : public host::ConfigFile, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  void cmd_CXSAVE_CONFIG(host::GCodeCommand& gcmd) override {
    call_method(object_, names::cmd_CXSAVE_CONFIG, {adapted_command(gcmd)});
  }
};

class PyOpaque : public host::Opaque, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
};

class PySwapReply : public host::PressureProbe::SwapReply, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  bool empty() override { return !truth(object_.get()); }
  // A level that is no number matches neither 0 nor 1: the line failed.
  double sta() override {
    Ref level = checked(PyObject_GetItem(object_.get(), names::sta));
    if (!PyFloat_Check(level.get()) && !PyLong_Check(level.get())) return std::nan("");
    return to_double(level.get(), "sync-line reply \"sta\"");
  }
};

// A new adapter of type Adapter for a looked-up object.
template <typename Adapter>
std::shared_ptr<Adapter> adapt(Ref object) {
  return std::make_shared<Adapter>(std::move(object));
}

}  // namespace

// Configuration section.

std::string PyConfigSection::name() {
  return to_text(call_method(object_, names::get_name).get(), "config.get_name()");
}

std::shared_ptr<host::Printer> PyConfigSection::get_printer() {
  return std::make_shared<PyPrinter>(call_method(object_, names::get_printer), owner_);
}

std::optional<std::string> PyConfigSection::get(const std::string& key) {
  Ref value = call_method(object_, names::get, {key, Py_None});
  if (value.get() == Py_None) return std::nullopt;
  return to_text(value.get(), key.c_str());
}

double PyConfigSection::getfloat(const std::string& key, std::optional<double> default_value,
                                 const Bounds& bounds) {
  return to_double(get_bounded(object_, names::getfloat, key, default_value, bounds).get(),
                   key.c_str());
}

std::int64_t PyConfigSection::getint(const std::string& key,
                                     std::optional<std::int64_t> default_value,
                                     const Bounds& bounds) {
  return to_int64(get_bounded(object_, names::getint, key, default_value, bounds).get(),
                  key.c_str());
}

bool PyConfigSection::getboolean(const std::string& key, bool default_value) {
  return truth(call_method(object_, names::getboolean, {key, default_value}).get());
}

std::vector<double> PyConfigSection::getfloatlist(const std::string& key, int count) {
  Ref values = call_method(object_, names::getfloatlist, {key, count}, names::count_kw);
  std::vector<double> numbers = to_doubles(values.get(), key.c_str(), count, count);
  if (PySequence_Size(values.get()) != count) {
    raise(PyExc_ValueError, key + ": expected " + std::to_string(count) + " values");
  }
  return numbers;
}

void PyConfigSection::raise_error(const std::string& message) {
  raise_object(call_method(object_, names::error, {message}));
}

// Printer.

std::shared_ptr<host::Reactor> PyPrinter::get_reactor() {
  return reactor_.get(call_method(object_, names::get_reactor), adapt<PyReactor>);
}

bool PyPrinter::is_shutdown() { return truth(call_method(object_, names::is_shutdown).get()); }

void PyPrinter::invoke_shutdown(const std::string& message) {
  call_method(object_, names::invoke_shutdown, {message});
}

void PyPrinter::raise_command_error(const std::string& message) {
  raise_object(call_method(object_, names::command_error, {message}));
}

// Errors that are not ordinary exceptions (GreenletExit, SystemExit) are how
// the host unwinds a command it is abandoning.
bool PyPrinter::is_host_exit(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const PythonError& raised) {
    return !raised.is_ordinary();
  } catch (...) {
    return false;
  }
}

std::string PyPrinter::describe_error(const std::exception_ptr& error) {
  Ref value;
  std::string text;
  try {
    std::rethrow_exception(error);
  } catch (const PythonError& raised) {
    value = raised.value();
  } catch (const std::exception& other) {
    text = other.what();
  } catch (...) {
    text = "unknown error";
  }
  if (!value) return text;
  // Taken as the host shows it; a text that cannot be made says so.
  const Ref shown = Ref::steal(PyObject_Str(value.get()));
  if (!shown) {
    PyErr_Clear();
    return "unprintable " + std::string(Py_TYPE(value.get())->tp_name);
  }
  return to_text(shown.get(), "str(error)");
}

void PyPrinter::register_event_handler(const std::string& event, const std::string& handler) {
  const Ref method = checked(PyObject_GetAttrString(owner_, handler.c_str()));
  call_method(object_, names::register_event_handler, {event, method});
}

bool PyPrinter::has_object(const std::string& name) {
  return call_method(object_, names::lookup_object, {name, Py_None}).get() != Py_None;
}

Ref PyPrinter::lookup(PyObject* name) { return call_method(object_, names::lookup_object, {name}); }

std::shared_ptr<host::PressureProbe> PyPrinter::lookup_tensink() {
  return tensink_.get(lookup(names::tensink_v2), adapt<PyPressureProbe>);
}

std::shared_ptr<host::GCode> PyPrinter::lookup_gcode() {
  return gcode_.get(lookup(names::gcode),
                    [this](Ref gcode) { return std::make_shared<PyGCode>(std::move(gcode), owner_); });
}

std::shared_ptr<host::Toolhead> PyPrinter::lookup_toolhead() {
  return toolhead_.get(lookup(names::toolhead), adapt<PyToolhead>);
}

std::shared_ptr<host::GCodeMove> PyPrinter::lookup_gcode_move() {
  return gcode_move_.get(lookup(names::gcode_move), adapt<PyGCodeMove>);
}

std::shared_ptr<host::BedMesh> PyPrinter::lookup_bed_mesh() {
  return bed_mesh_.get(lookup(names::bed_mesh), adapt<PyBedMesh>);
}

std::shared_ptr<host::Heaters> PyPrinter::lookup_heaters() {
  return heaters_.get(lookup(names::heaters), adapt<PyHeaters>);
}

std::shared_ptr<host::Heater> PyPrinter::lookup_heater(const std::string& object_name) {
  const Ref object = call_method(object_, names::lookup_object, {object_name});
  auto& kept = object_name == "heater_bed" ? bed_heater_ : extruder_heater_;
  return kept.get(get_attr(object, names::heater), adapt<PyHeater>);
}

std::shared_ptr<host::BedProbe> PyPrinter::lookup_probe() {
  return probe_.get(lookup(names::probe), adapt<PyBedProbe>);
}

std::shared_ptr<host::ConfigFile> PyPrinter::lookup_configfile() {
  return configfile_.get(lookup(names::configfile), adapt<PyConfigFile>);
}

void PyPrinter::add_kept_adapters(std::vector<const PyObjectAdapter*>& adapters) const {
  for (const PyObjectAdapter* adapter :
       {reactor_.adapter(), tensink_.adapter(), gcode_.adapter(), toolhead_.adapter(),
        gcode_move_.adapter(), bed_mesh_.adapter(), heaters_.adapter(),
        extruder_heater_.adapter(), bed_heater_.adapter(), probe_.adapter(),
        configfile_.adapter()}) {
    if (adapter != nullptr) adapters.push_back(adapter);
  }
}

// G-code dispatcher and commands.

void PyGCode::register_command(const std::string& command, const std::string& handler) {
  const Ref method = checked(PyObject_GetAttrString(owner_, handler.c_str()));
  const Ref help = checked(PyObject_GetAttrString(owner_, (handler + "_help").c_str()));
  call_method(object_, names::register_command, {command, method, help}, names::desc_kw);
}

void PyGCode::run_script_from_command(const std::string& line) {
  call_method(object_, names::run_script_from_command, {line});
}

void PyGCode::respond_info(const std::string& text) {
  call_method(object_, names::respond_info, {text});
}

void PyGCode::respond_warning(const std::string& text) {
  // The root logger, as klippy's own modules log; the module-level function
  // would configure logging where the host has not.
  const Ref logging = checked(PyImport_ImportModule("logging"));
  call_method(call_method(logging, names::getLogger), names::warning, {text});
  call_method(object_, names::respond_info, {text, false}, names::log_kw);
}

double PyGCodeCommand::get_float(const std::string& name, double default_value) {
  return to_double(call_method(object_, names::get_float, {name, default_value}).get(),
                   name.c_str());
}

std::string PyGCodeCommand::get_commandline() {
  return to_text(call_method(object_, names::get_commandline).get(), "gcmd.get_commandline()");
}

// Toolhead.

void PyToolhead::wait_moves() { call_method(object_, names::wait_moves); }

void PyToolhead::get_last_move_time() { call_method(object_, names::get_last_move_time); }

host::Position PyToolhead::get_position() {
  return first_numbers<4>(call_method(object_, names::get_position).get(),
                          "toolhead.get_position()");
}

void PyToolhead::set_position_z_homed(const host::Position& pos) {
  Ref axes;
  switch (homing_axis_names(object_.get())) {
    case AxisNames::letters: axes = checked(PyUnicode_FromString("z")); break;
    case AxisNames::indices: axes = python_list({host::Number{std::int64_t{2}}}); break;
    case AxisNames::unknown:
      raise(PyExc_TypeError, "toolhead.set_position(): homing_axes of no known form");
  }
  call_method(object_, names::set_position, {python_list(pos), axes}, names::homing_axes_kw);
}

std::string unknown_host_shape(const Ref& printer) {
  const Ref toolhead = call_method(printer, names::lookup_object, {names::toolhead});
  if (homing_axis_names(toolhead.get()) == AxisNames::unknown) {
    return "toolhead.set_position() takes no homing_axes given as axis letters or indices";
  }
  const Ref probe = call_method(printer, names::lookup_object, {names::probe, Py_None});
  if (probe.get() != Py_None && !has_probe_sessions(probe.get()) &&
      !has_single_probe(probe.get())) {
    return "the probe offers neither start_probe_session() with get_offsets() nor "
           "run_probe() with z_offset";
  }
  return "";
}

// The speed limits live on the toolhead, the Z limits on its kinematics.
host::Toolhead::Limits PyToolhead::limits() {
  const Ref kin = get_attr(object_, names::kin);
  return {to_double(get_attr(object_, names::max_velocity).get(), "max_velocity"),
          to_double(get_attr(object_, names::max_accel).get(), "max_accel"),
          to_double(get_attr(kin, names::max_z_velocity).get(), "max_z_velocity"),
          to_double(get_attr(kin, names::max_z_accel).get(), "max_z_accel")};
}

void PyToolhead::set_limits(const Limits& values) {
  const Ref kin = get_attr(object_, names::kin);
  set_attr(object_, names::max_velocity, values[0]);
  set_attr(object_, names::max_accel, values[1]);
  set_attr(kin, names::max_z_velocity, values[2]);
  set_attr(kin, names::max_z_accel, values[3]);
}

host::AxisLimits PyToolhead::axis_limits(double eventtime) {
  const Ref status =
      call_method(call_method(object_, names::get_kinematics), names::get_status, {eventtime});
  return {first_numbers<3>(checked(PyObject_GetItem(status.get(), names::axis_minimum)).get(),
                          "kinematics axis_minimum"),
          first_numbers<3>(checked(PyObject_GetItem(status.get(), names::axis_maximum)).get(),
                          "kinematics axis_maximum")};
}

// Bed mesh: the mesh is handed back exactly as the host gave it.

std::shared_ptr<host::Opaque> PyBedMesh::get_mesh() {
  Ref mesh = call_method(object_, names::get_mesh);
  if (mesh.get() == Py_None) return nullptr;
  return std::make_shared<PyOpaque>(std::move(mesh));
}

void PyBedMesh::set_mesh(const std::shared_ptr<host::Opaque>& mesh) {
  if (!mesh) {
    call_method(object_, names::set_mesh, {Py_None});
    return;
  }
  call_method(object_, names::set_mesh, {dynamic_cast<PyOpaque&>(*mesh).object()});
}

// Heaters.

double PyHeater::target_temp() {
  return to_double(get_attr(object_, names::target_temp).get(), "heater.target_temp");
}

double PyHeater::smoothed_temp() {
  return to_double(get_attr(object_, names::smoothed_temp).get(), "heater.smoothed_temp");
}

host::TemperatureLimits PyHeater::temperature_limits() {
  return {to_double(get_attr(object_, names::min_temp).get(), "heater.min_temp"),
          to_double(get_attr(object_, names::max_temp).get(), "heater.max_temp"),
          to_double(get_attr(object_, names::min_extrude_temp).get(), "heater.min_extrude_temp")};
}

void PyHeaters::set_temperature(host::Heater& heater, double temp) {
  call_method(object_, names::set_temperature, {adapted_heater(heater), temp, false});
}

// Pressure-probe module.

double PyPressureProbe::run_step_tensink(const DescentArgs& args) {
  const Ref height =
      args.holds
          ? call_method(object_, names::run_step_tensink,
                        {args.down_min_z, args.start_mode, args.first_flag, args.probe_count,
                         args.valid_count, args.last_flag, (*args.holds)[0], (*args.holds)[1]})
          : call_method(object_, names::run_step_tensink,
                        {args.down_min_z, args.start_mode, args.first_flag, args.probe_count,
                         args.valid_count, args.last_flag});
  return to_double(height.get(), "tensink.run_step_tensink()");
}

void PyPressureProbe::move(const host::Position& pos, double speed) {
  call_method(object_, names::move, {python_list(pos), speed});
}

void PyPressureProbe::get_mm_per_step() { call_method(object_, names::get_mm_per_step); }

void PyPressureProbe::enable_steps() { call_method(object_, names::enable_steps); }

void PyPressureProbe::disable_steps() { call_method(object_, names::disable_steps); }

std::array<host::Number, 3> PyPressureProbe::get_step_cnts(double down_min_z, double down_speed) {
  const char* what = "tensink.get_step_cnts()";
  Ref counts = call_method(object_, names::get_step_cnts, {down_min_z, down_speed});
  if (!PySequence_Check(counts.get()) || PyUnicode_Check(counts.get())) {
    wrong_type(what, "three numbers", counts.get());
  }
  const Py_ssize_t size = PySequence_Size(counts.get());
  if (size < 0) throw_error();
  if (size != 3) raise(PyExc_ValueError, std::string(what) + ": expected three values");
  std::array<host::Number, 3> values;
  for (Py_ssize_t i = 0; i < 3; ++i) {
    values[static_cast<std::size_t>(i)] =
        to_number(checked(PySequence_GetItem(counts.get(), i)).get(), what);
  }
  return values;
}

void PyPressureProbe::send_start_step_tensink(const std::vector<host::Number>& args) {
  call_method(get_attr(object_, names::start_step_tensink_cmd), names::send, {python_list(args)});
}

std::size_t PyPressureProbe::step_result_count() {
  const Py_ssize_t count = PyObject_Size(get_attr(object_, names::step_res).get());
  if (count < 0) throw_error();
  return static_cast<std::size_t>(count);
}

void PyPressureProbe::write_swap(const host::Number& pres_oid, std::int64_t level) {
  call_method(get_attr(object_, names::write_swap_tensink_cmd), names::send,
              {python_list({pres_oid, host::Number{level}})});
}

std::shared_ptr<host::PressureProbe::SwapReply> PyPressureProbe::read_swap(
    const host::Number& step_oid) {
  Ref reply = call_method(get_attr(object_, names::read_swap_tensink_cmd), names::send,
                          {python_list({step_oid})});
  if (reply.get() == Py_None) return nullptr;
  return std::make_shared<PySwapReply>(std::move(reply));
}

host::Number PyPressureProbe::pres_oid() {
  return to_number(get_attr(object_, names::pres_oid).get(), "pres_oid");
}

host::Number PyPressureProbe::step_oid() {
  return to_number(get_attr(object_, names::step_oid).get(), "step_oid");
}

host::Number PyPressureProbe::tri_send_ms() {
  return to_number(get_attr(object_, names::tri_send_ms).get(), "tri_send_ms");
}

// Error records.

PyErrorRecord::PyErrorRecord(PyObject* record, PyObject* values)
    : record_(record), values_(values) {
  // The caller's values are written into the record in place, after the
  // printer has taken Z as homed: a record that cannot take them is refused
  // before anything is done.
  // A dict (the module's own records are) needs no look at the abstract type.
  if (!PyDict_Check(record_)) {
    const Ref abc = checked(PyImport_ImportModule("collections.abc"));
    const Ref mapping = get_attr(abc, names::MutableMapping);
    const int is_mapping = PyObject_IsInstance(record_, mapping.get());
    if (is_mapping < 0) throw_error();
    if (is_mapping == 0) wrong_type("err_code", "a mutable error record mapping", record_);
  }
  to_text(checked(PyObject_GetItem(record_, names::code)).get(), "err_code[\"code\"]");
  to_text(checked(PyObject_GetItem(record_, names::msg)).get(), "err_code[\"msg\"]");
  // The record text shows the values; values that cannot be shown fail here.
  repr(values_);
}

void PyErrorRecord::attach_values() {
  if (PyObject_SetItem(record_, names::values, values_) < 0) throw_error();
}

// Literal-mapping notation is what Python prints for a dict.
std::string PyErrorRecord::text(const std::string& msg_prefix) {
  const Ref code = checked(PyObject_GetItem(record_, names::code));
  const Ref msg = checked(PyObject_GetItem(record_, names::msg));
  const Ref values = checked(PyObject_GetItem(record_, names::values));
  const Ref prefix = new_text(msg_prefix);
  const Ref shown_msg = checked(PyNumber_Add(prefix.get(), msg.get()));
  const Ref shown = checked(PyDict_New());
  if (PyDict_SetItem(shown.get(), names::code, code.get()) < 0 ||
      PyDict_SetItem(shown.get(), names::msg, shown_msg.get()) < 0 ||
      PyDict_SetItem(shown.get(), names::values, values.get()) < 0) {
    throw_error();
  }
  return repr(shown.get());
}

}  // namespace zcomp::py_host
