#include "py_host.h"

#include <cmath>

namespace zcomp::py_host {

namespace {

using namespace py_api;

host::Number to_number(PyObject* value, const char* what) {
  if (PyLong_Check(value)) return to_int64(value, what);
  return to_double(value, what);
}

Ref from_number(const host::Number& value) {
  if (const auto* whole = std::get_if<std::int64_t>(&value)) {
    return checked(PyLong_FromLongLong(*whole));
  }
  return checked(PyFloat_FromDouble(std::get<double>(value)));
}

Ref python_list(const host::Position& pos) { return new_list(pos.data(), pos.size()); }

template <typename Numbers>
Ref python_list(const Numbers& values) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
  Py_ssize_t i = 0;
  for (const host::Number& value : values) {
    PyList_SET_ITEM(list.get(), i++, from_number(value).release());
  }
  return list;
}

Ref python_list(std::initializer_list<host::Number> values) {
  return python_list<std::initializer_list<host::Number>>(values);
}

// config.getfloat / getint with the bounds given as keywords, the default
// (when there is one: `default_value` is not empty) positionally.
Ref get_bounded(const Ref& config, PyObject* getter, const std::string& key,
                const Ref& default_value, const host::ConfigSection::Bounds& bounds,
                const Names& names) {
  const Arg name(key);
  if (bounds.minval && bounds.maxval) {
    const Ref minval = from_number(*bounds.minval);
    const Ref maxval = from_number(*bounds.maxval);
    return default_value
               ? call_method(config, getter, {name, default_value, minval, maxval},
                             names.minval_maxval_kw)
               : call_method(config, getter, {name, minval, maxval}, names.minval_maxval_kw);
  }
  if (bounds.minval || bounds.maxval) {
    const Ref bound = from_number(bounds.minval ? *bounds.minval : *bounds.maxval);
    PyObject* kwnames = bounds.minval ? names.minval_kw : names.maxval_kw;
    return default_value ? call_method(config, getter, {name, default_value, bound}, kwnames)
                         : call_method(config, getter, {name, bound}, kwnames);
  }
  return default_value ? call_method(config, getter, {name, default_value})
                       : call_method(config, getter, {name});
}

Ref adapted_heater(host::Heater& heater) {
  auto* adapter = dynamic_cast<PyHeater*>(&heater);
  if (adapter == nullptr) raise(PyExc_TypeError, "heater: not a host heater");
  return adapter->object();
}

Ref adapted_command(host::GCodeCommand& gcmd) {
  return dynamic_cast<PyGCodeCommand&>(gcmd).object();
}

class PyReactor : public host::Reactor, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  double monotonic() override {
    return to_double(call_method(object_, names_->monotonic).get(), "reactor.monotonic()");
  }
  void pause(double waketime) override { call_method(object_, names_->pause, {waketime}); }
};

class PyGCodeMove : public host::GCodeMove, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  double homing_position_z() override {
    return first_numbers<3>(get_attr(object_, names_->homing_position).get(),
                            "gcode_move.homing_position")[2];
  }
};

// The host generations differ in how a probe is run and where its offset
// lives: probe sessions with get_offsets() (klippy since mid-2024), or the
// probe's own run_probe() with a z_offset field (older klippy, Kalico).
bool has_probe_sessions(PyObject* probe, const Names& names) {
  return optional_attr(probe, names.start_probe_session) &&
         optional_attr(probe, names.get_offsets);
}

bool has_single_probe(PyObject* probe, const Names& names) {
  return optional_attr(probe, names.run_probe) && optional_attr(probe, names.z_offset);
}

// Raises the host's command error through the command being run.
[[noreturn]] void command_error(const Ref& command, const std::string& message,
                                const Names& names) {
  raise_object(call_method(command, names.error, {message}));
}

class PyBedProbe : public host::BedProbe, public PyObjectAdapter {
 public:
  PyBedProbe(Ref probe, NamesRef names)
      : PyObjectAdapter(std::move(probe), std::move(names)),
        sessions_(has_probe_sessions(object_.get(), *names_)) {}
  double run_probe(host::GCodeCommand& gcmd) override {
    const Ref command = adapted_command(gcmd);
    if (!sessions_) {
      return trigger_height(command, call_method(object_, names_->run_probe, {command}));
    }
    const Ref session = call_method(object_, names_->start_probe_session, {command});
    call_method(session, names_->run_probe, {command});
    const Ref results = call_method(session, names_->pull_probed_results);
    call_method(session, names_->end_probe_session);
    if (!PySequence_Check(results.get()) || PyUnicode_Check(results.get())) {
      wrong_type("probe session results", "a sequence", results.get());
    }
    // The host's own error from its length passes back unchanged.
    if (checked_status(PySequence_Size(results.get())) == 0) raise(PyExc_ValueError, "probe session: no probe result");
    return trigger_height(command, checked(PySequence_GetItem(results.get(), 0)));
  }
  double z_offset() override {
    if (sessions_) {
      return first_numbers<3>(call_method(object_, names_->get_offsets).get(),
                              "probe.get_offsets()")[2];
    }
    return to_double(get_attr(object_, names_->z_offset).get(), "probe.z_offset");
  }

 private:
  // The toolhead's Z at the trigger, with every correction the host applies
  // (axis-twist compensation among them). Named results (klippy since 2026)
  // carry the corrections in bed_z only, the probe's offset taken off; their
  // test_z is the raw trigger height. Older results are [x, y, z] with the
  // corrections in z.
  double trigger_height(const Ref& command, const Ref& result) {
    if (optional_attr(result.get(), names_->_fields)) {
      const Ref bed_z = optional_attr(result.get(), names_->bed_z);
      if (!bed_z) {
        command_error(command, "probe result: no field bed_z: " + repr(result.get()), *names_);
      }
      if (!PyFloat_Check(bed_z.get()) && !PyLong_Check(bed_z.get())) {
        command_error(command, "probe result: bed_z is not a number: " + repr(bed_z.get()),
                      *names_);
      }
      return to_double(bed_z.get(), "probe result bed_z") + z_offset();
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

AxisNames homing_axis_names(PyObject* toolhead, const Names& names) {
  const Ref set_position = optional_attr(toolhead, names.set_position);
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
  const Ref parameters = get_attr(signature.get(), "parameters");
  const Ref parameter = Ref::steal(PyMapping_GetItemString(parameters.get(), "homing_axes"));
  if (!parameter) {
    // Only a missing parameter is an answer; anything else is the host's error.
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_error();
    PyErr_Clear();
    return AxisNames::unknown;
  }
  const Ref default_value = get_attr(parameter.get(), "default");
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
    call_method(object_, names_->cmd_CXSAVE_CONFIG, {adapted_command(gcmd)});
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
    Ref level = checked(PyObject_GetItem(object_.get(), names_->sta));
    if (!PyFloat_Check(level.get()) && !PyLong_Check(level.get())) return std::nan("");
    return to_double(level.get(), "sync-line reply \"sta\"");
  }
};


}  // namespace

// Configuration section.

std::string PyConfigSection::name() {
  return to_text(call_method(object_, names_->get_name).get(), "config.get_name()");
}

std::shared_ptr<host::Printer> PyConfigSection::get_printer() {
  return std::make_shared<PyPrinter>(call_method(object_, names_->get_printer), names_, owner_);
}

std::optional<std::string> PyConfigSection::get(const std::string& key) {
  Ref value = call_method(object_, names_->get, {key, Py_None});
  if (value.get() == Py_None) return std::nullopt;
  return to_text(value.get(), key.c_str());
}

double PyConfigSection::getfloat(const std::string& key, std::optional<double> default_value,
                                 const Bounds& bounds) {
  const Ref given = default_value ? checked(PyFloat_FromDouble(*default_value)) : Ref();
  return to_double(get_bounded(object_, names_->getfloat, key, given, bounds, *names_).get(),
                   key.c_str());
}

std::int64_t PyConfigSection::getint(const std::string& key,
                                     std::optional<std::int64_t> default_value,
                                     const Bounds& bounds) {
  const Ref given = default_value ? checked(PyLong_FromLongLong(*default_value)) : Ref();
  return to_int64(get_bounded(object_, names_->getint, key, given, bounds, *names_).get(),
                  key.c_str());
}

bool PyConfigSection::getboolean(const std::string& key, bool default_value) {
  return truth(call_method(object_, names_->getboolean, {key, default_value}).get());
}

std::vector<double> PyConfigSection::getfloatlist(const std::string& key, int count) {
  Ref values = call_method(object_, names_->getfloatlist, {key, count}, names_->count_kw);
  const auto expected = static_cast<std::size_t>(count);
  std::vector<double> numbers = to_doubles(values.get(), key.c_str(), expected, expected + 1);
  if (numbers.size() != expected) {
    raise(PyExc_ValueError, key + ": expected " + std::to_string(count) + " values");
  }
  return numbers;
}

std::shared_ptr<host::GCodeTemplate> PyConfigSection::load_template(const std::string& key) {
  const Arg name(key);
  if (call_method(object_, names_->get, {name, Py_None}).get() == Py_None) return nullptr;
  const Ref macros = call_method(call_method(object_, names_->get_printer), names_->load_object,
                                 {object_, names_->gcode_macro});
  return std::make_shared<PyGCodeTemplate>(
      call_method(macros, names_->load_template, {object_, name}), names_);
}

void PyConfigSection::raise_error(const std::string& message) {
  raise_object(call_method(object_, names_->error, {message}));
}

// Printer.

template <typename Adapter, typename Interface>
std::shared_ptr<Interface> PyPrinter::keep(KeptAdapter<Interface>& kept, Ref object) {
  return kept.get(std::move(object),
                  [this](Ref found) { return std::make_shared<Adapter>(std::move(found), names_); });
}

std::shared_ptr<host::Reactor> PyPrinter::get_reactor() {
  return keep<PyReactor>(reactor_, call_method(object_, names_->get_reactor));
}

bool PyPrinter::is_shutdown() { return truth(call_method(object_, names_->is_shutdown).get()); }

void PyPrinter::invoke_shutdown(const std::string& message) {
  call_method(object_, names_->invoke_shutdown, {message});
}

void PyPrinter::raise_command_error(const std::string& message) {
  raise_object(call_method(object_, names_->command_error, {message}));
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

bool PyPrinter::is_command_error(const std::exception_ptr& error) {
  const Ref command_error = get_attr(object_, names_->command_error);
  try {
    std::rethrow_exception(error);
  } catch (const PythonError& raised) {
    return raised.matches(command_error.get());
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
    // Only an ordinary error is taken as unprintable: an interrupt or an
    // exit raised while the text was made goes on.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    PyErr_Clear();
    return "unprintable " + std::string(Py_TYPE(value.get())->tp_name);
  }
  // Only memory can run out here: lone surrogates are escaped.
  if (attempt([&] { text = to_text(shown.get(), "str(error)"); })) {
    return "unprintable " + std::string(Py_TYPE(value.get())->tp_name);
  }
  return text;
}

void PyPrinter::register_event_handler(const std::string& event, const std::string& handler) {
  const Ref method = get_attr(owner_, handler);
  call_method(object_, names_->register_event_handler, {event, method});
}

bool PyPrinter::has_object(const std::string& name) {
  return call_method(object_, names_->lookup_object, {name, Py_None}).get() != Py_None;
}

// klippy's start arguments hold the seed only where a simulated printer put it.
std::optional<std::uint64_t> PyPrinter::draw_seed() {
  const Ref start_args = call_method(object_, names_->get_start_args);
  const Ref seed = call_method(start_args, names_->get, {names_->seed_start_argument, Py_None});
  if (seed.get() == Py_None) return std::nullopt;
  const std::string what = std::string("start argument ") + kSeedStartArgument;
  return static_cast<std::uint64_t>(to_int64(seed.get(), what.c_str()));
}

Ref PyPrinter::lookup(PyObject* name) { return call_method(object_, names_->lookup_object, {name}); }


std::shared_ptr<host::PressureProbe> PyPrinter::lookup_tensink() {
  return keep<PyPressureProbe>(tensink_, lookup(names_->tensink_v2));
}

std::shared_ptr<host::GCode> PyPrinter::lookup_gcode() {
  return gcode_.get(lookup(names_->gcode), [this](Ref gcode) {
    return std::make_shared<PyGCode>(std::move(gcode), names_, owner_);
  });
}

std::shared_ptr<host::Toolhead> PyPrinter::lookup_toolhead() {
  return keep<PyToolhead>(toolhead_, lookup(names_->toolhead));
}

std::shared_ptr<host::GCodeMove> PyPrinter::lookup_gcode_move() {
  return keep<PyGCodeMove>(gcode_move_, lookup(names_->gcode_move));
}

std::shared_ptr<host::BedMesh> PyPrinter::lookup_bed_mesh() {
  return keep<PyBedMesh>(bed_mesh_, lookup(names_->bed_mesh));
}

std::shared_ptr<host::Heaters> PyPrinter::lookup_heaters() {
  return keep<PyHeaters>(heaters_, lookup(names_->heaters));
}

std::shared_ptr<host::Heater> PyPrinter::lookup_heater(const std::string& object_name) {
  const Ref object = call_method(object_, names_->lookup_object, {object_name});
  auto& kept = object_name == "heater_bed" ? bed_heater_ : extruder_heater_;
  return keep<PyHeater>(kept, get_attr(object, names_->heater));
}

std::shared_ptr<host::BedProbe> PyPrinter::lookup_probe() {
  return keep<PyBedProbe>(probe_, lookup(names_->probe));
}

std::shared_ptr<host::ConfigFile> PyPrinter::lookup_configfile() {
  return keep<PyConfigFile>(configfile_, lookup(names_->configfile));
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
  const Ref method = get_attr(owner_, handler);
  const Ref help = get_attr(owner_, handler + "_help");
  call_method(object_, names_->register_command, {command, method, help}, names_->desc_kw);
}

void PyGCode::run_script_from_command(const std::string& line) {
  call_method(object_, names_->run_script_from_command, {line});
}

void PyGCode::respond_info(const std::string& text) {
  call_method(object_, names_->respond_info, {text});
}

void PyGCode::respond_warning(const std::string& text) {
  // The root logger, as klippy's own modules log; the module-level function
  // would configure logging where the host has not.
  const Ref logging = checked(PyImport_ImportModule("logging"));
  call_method(call_method(logging, names_->getLogger), names_->warning, {text});
  call_method(object_, names_->respond_info, {text, false}, names_->log_kw);
}

// As a G-code macro runs its template: the host's context, with `params`.
void PyGCodeTemplate::run_from_command(const Params& params) {
  const Ref context = call_method(object_, names_->create_template_context);
  const Ref values = checked(PyDict_New());
  for (const auto& [name, value] : params) {
    check(PyDict_SetItem(values.get(), new_text(name).get(), new_text(value).get()));
  }
  check(PyObject_SetItem(context.get(), names_->params, values.get()));
  call_method(object_, names_->run_gcode_from_command, {context});
}

double PyGCodeCommand::get_float(const std::string& name, double default_value) {
  return to_double(call_method(object_, names_->get_float, {name, default_value}).get(),
                   name.c_str());
}

// The parameters as klippy parsed them, keyed by their upper-case names.
bool PyGCodeCommand::has_parameter(const std::string& name) {
  const Ref parameters = call_method(object_, names_->get_command_parameters);
  return checked_status(PySequence_Contains(parameters.get(), Arg(name).get())) == 1;
}

std::string PyGCodeCommand::get_commandline() {
  return to_text(call_method(object_, names_->get_commandline).get(), "gcmd.get_commandline()");
}

// Toolhead.

void PyToolhead::wait_moves() { call_method(object_, names_->wait_moves); }

void PyToolhead::get_last_move_time() { call_method(object_, names_->get_last_move_time); }

host::Position PyToolhead::get_position() {
  return first_numbers<4>(call_method(object_, names_->get_position).get(),
                          "toolhead.get_position()");
}

void PyToolhead::set_position_z_homed(const host::Position& pos) {
  Ref axes;
  switch (homing_axis_names(object_.get(), *names_)) {
    case AxisNames::letters: axes = checked(PyUnicode_FromString("z")); break;
    case AxisNames::indices: axes = python_list({host::Number{std::int64_t{2}}}); break;
    case AxisNames::unknown:
      raise(PyExc_TypeError, "toolhead.set_position(): homing_axes of no known form");
  }
  call_method(object_, names_->set_position, {python_list(pos), axes}, names_->homing_axes_kw);
}

std::string unknown_host_shape(const Ref& printer, const Names& names) {
  const Ref toolhead = call_method(printer, names.lookup_object, {names.toolhead});
  if (homing_axis_names(toolhead.get(), names) == AxisNames::unknown) {
    return "toolhead.set_position() takes no homing_axes given as axis letters or indices";
  }
  const Ref probe = call_method(printer, names.lookup_object, {names.probe, Py_None});
  if (probe.get() != Py_None && !has_probe_sessions(probe.get(), names) &&
      !has_single_probe(probe.get(), names)) {
    return "the probe offers neither start_probe_session() with get_offsets() nor "
           "run_probe() with z_offset";
  }
  return "";
}

// The speed limits live on the toolhead, the Z limits on its kinematics.
host::Toolhead::Limits PyToolhead::limits() {
  const Ref kin = get_attr(object_, names_->kin);
  return {to_double(get_attr(object_, names_->max_velocity).get(), "max_velocity"),
          to_double(get_attr(object_, names_->max_accel).get(), "max_accel"),
          to_double(get_attr(kin, names_->max_z_velocity).get(), "max_z_velocity"),
          to_double(get_attr(kin, names_->max_z_accel).get(), "max_z_accel")};
}

void PyToolhead::set_limits(const Limits& values) {
  const Ref kin = get_attr(object_, names_->kin);
  set_attr(object_, names_->max_velocity, values[0]);
  set_attr(object_, names_->max_accel, values[1]);
  set_attr(kin, names_->max_z_velocity, values[2]);
  set_attr(kin, names_->max_z_accel, values[3]);
}

namespace {

// Known by the class of klippy's kinematics object; any other class has its
// ranges set by its steppers, as the cartesian kinds do.
host::Kinematics kinematics_of(PyObject* kinematics) {
  // The class's own name, read without running any code.
  const std::string name = Py_TYPE(kinematics)->tp_name;
  if (name == "DeltaKinematics" || name == "RotaryDeltaKinematics") return host::Kinematics::delta;
  if (name == "DeltesianKinematics") return host::Kinematics::deltesian;
  if (name == "PolarKinematics") return host::Kinematics::polar;
  return host::Kinematics::cartesian;
}

}  // namespace

host::AxisLimits PyToolhead::axis_limits(double eventtime) {
  const Ref kinematics = call_method(object_, names_->get_kinematics);
  const Ref status = call_method(kinematics, names_->get_status, {eventtime});
  return {first_numbers<3>(checked(PyObject_GetItem(status.get(), names_->axis_minimum)).get(),
                          "kinematics axis_minimum"),
          first_numbers<3>(checked(PyObject_GetItem(status.get(), names_->axis_maximum)).get(),
                          "kinematics axis_maximum"),
          kinematics_of(kinematics.get())};
}

// Bed mesh: the mesh is handed back exactly as the host gave it.

std::shared_ptr<host::Opaque> PyBedMesh::get_mesh() {
  Ref mesh = call_method(object_, names_->get_mesh);
  if (mesh.get() == Py_None) return nullptr;
  return std::make_shared<PyOpaque>(std::move(mesh), names_);
}

void PyBedMesh::set_mesh(const std::shared_ptr<host::Opaque>& mesh) {
  if (!mesh) {
    call_method(object_, names_->set_mesh, {Py_None});
    return;
  }
  call_method(object_, names_->set_mesh, {dynamic_cast<PyOpaque&>(*mesh).object()});
}

// Heaters.

double PyHeater::target_temp() {
  return to_double(get_attr(object_, names_->target_temp).get(), "heater.target_temp");
}

double PyHeater::smoothed_temp() {
  return to_double(get_attr(object_, names_->smoothed_temp).get(), "heater.smoothed_temp");
}

host::TemperatureLimits PyHeater::temperature_limits() {
  return {to_double(get_attr(object_, names_->min_temp).get(), "heater.min_temp"),
          to_double(get_attr(object_, names_->max_temp).get(), "heater.max_temp"),
          to_double(get_attr(object_, names_->min_extrude_temp).get(), "heater.min_extrude_temp")};
}

void PyHeaters::set_temperature(host::Heater& heater, double temp) {
  call_method(object_, names_->set_temperature, {adapted_heater(heater), temp, false});
}

// Pressure-probe module.

double PyPressureProbe::run_step_tensink(const DescentArgs& args) {
  const Ref height =
      args.holds
          ? call_method(object_, names_->run_step_tensink,
                        {args.down_min_z, args.start_mode, args.first_flag, args.probe_count,
                         args.valid_count, args.last_flag, (*args.holds)[0], (*args.holds)[1]})
          : call_method(object_, names_->run_step_tensink,
                        {args.down_min_z, args.start_mode, args.first_flag, args.probe_count,
                         args.valid_count, args.last_flag});
  return to_double(height.get(), "tensink.run_step_tensink()");
}

void PyPressureProbe::move(const host::Position& pos, double speed) {
  call_method(object_, names_->move, {python_list(pos), speed});
}

void PyPressureProbe::get_mm_per_step() { call_method(object_, names_->get_mm_per_step); }

void PyPressureProbe::enable_steps() { call_method(object_, names_->enable_steps); }

void PyPressureProbe::disable_steps() { call_method(object_, names_->disable_steps); }

std::array<host::Number, 3> PyPressureProbe::get_step_cnts(double down_min_z, double down_speed) {
  const char* what = "tensink.get_step_cnts()";
  Ref counts = call_method(object_, names_->get_step_cnts, {down_min_z, down_speed});
  if (!PySequence_Check(counts.get()) || PyUnicode_Check(counts.get())) {
    wrong_type(what, "three numbers", counts.get());
  }
  if (checked_status(PySequence_Size(counts.get())) != 3) raise(PyExc_ValueError, std::string(what) + ": expected three values");
  std::array<host::Number, 3> values;
  for (Py_ssize_t i = 0; i < 3; ++i) {
    values[static_cast<std::size_t>(i)] =
        to_number(checked(PySequence_GetItem(counts.get(), i)).get(), what);
  }
  return values;
}

void PyPressureProbe::send_start_step_tensink(const std::vector<host::Number>& args) {
  call_method(get_attr(object_, names_->start_step_tensink_cmd), names_->send, {python_list(args)});
}

std::size_t PyPressureProbe::step_result_count() {
  return static_cast<std::size_t>(
      checked_status(PyObject_Size(get_attr(object_, names_->step_res).get())));
}

void PyPressureProbe::write_swap(const host::Number& pres_oid, std::int64_t level) {
  call_method(get_attr(object_, names_->write_swap_tensink_cmd), names_->send,
              {python_list({pres_oid, host::Number{level}})});
}

std::shared_ptr<host::PressureProbe::SwapReply> PyPressureProbe::read_swap(
    const host::Number& step_oid) {
  Ref reply = call_method(get_attr(object_, names_->read_swap_tensink_cmd), names_->send,
                          {python_list({step_oid})});
  if (reply.get() == Py_None) return nullptr;
  return std::make_shared<PySwapReply>(std::move(reply), names_);
}

host::Number PyPressureProbe::pres_oid() {
  return to_number(get_attr(object_, names_->pres_oid).get(), "pres_oid");
}

host::Number PyPressureProbe::step_oid() {
  return to_number(get_attr(object_, names_->step_oid).get(), "step_oid");
}

host::Number PyPressureProbe::tri_send_ms() {
  return to_number(get_attr(object_, names_->tri_send_ms).get(), "tri_send_ms");
}

// Error records.

PyErrorRecord::PyErrorRecord(Ref record, Ref values, NamesRef names)
    : record_(std::move(record)), values_(std::move(values)), names_(std::move(names)) {
  // The caller's values are written into the record in place, after the
  // printer has taken Z as homed: a record that cannot take them is refused
  // before anything is done.
  // A dict (the module's own records are) needs no look at the abstract type.
  if (!PyDict_Check(record_.get())) {
    const Ref abc = checked(PyImport_ImportModule("collections.abc"));
    const Ref mapping = get_attr(abc, names_->MutableMapping);
    if (checked_status(PyObject_IsInstance(record_.get(), mapping.get())) == 0) wrong_type("err_code", "a mutable error record mapping", record_.get());
  }
  to_text(checked(PyObject_GetItem(record_.get(), names_->code)).get(), "err_code[\"code\"]");
  to_text(checked(PyObject_GetItem(record_.get(), names_->msg)).get(), "err_code[\"msg\"]");
  // The record text shows the values; values that cannot be shown fail here.
  repr(values_.get());
}

void PyErrorRecord::attach_values() {
  check(PyObject_SetItem(record_.get(), names_->values, values_.get()));
}

// Literal-mapping notation is what Python prints for a dict.
std::string PyErrorRecord::text(const std::string& msg_prefix) {
  const Ref code = checked(PyObject_GetItem(record_.get(), names_->code));
  const Ref msg = checked(PyObject_GetItem(record_.get(), names_->msg));
  const Ref values = checked(PyObject_GetItem(record_.get(), names_->values));
  const Ref prefix = new_text(msg_prefix);
  const Ref shown_msg = checked(PyNumber_Add(prefix.get(), msg.get()));
  const Ref shown = checked(Py_BuildValue("{sOsOsO}", "code", code.get(), "msg", shown_msg.get(),
                                          "values", values.get()));
  return repr(shown.get());
}

}  // namespace zcomp::py_host
