#include "py_host.h"

#include <pybind11/stl.h>

namespace zcomp::py_host {

namespace {

using namespace pybind11::literals;

py::object python_list(const host::Position& pos) {
  return py::list(py::make_tuple(pos[0], pos[1], pos[2], pos[3]));
}

py::list python_list(const std::vector<host::Number>& values) {
  py::list list;
  for (const host::Number& value : values) list.append(from_number(value));
  return list;
}

py::dict bounds_kwargs(const host::ConfigSection::Bounds& bounds) {
  py::dict kwargs;
  if (bounds.minval) kwargs["minval"] = from_number(*bounds.minval);
  if (bounds.maxval) kwargs["maxval"] = from_number(*bounds.maxval);
  return kwargs;
}

template <typename Adapter>
const py::object& adapted_object(host::Heater& heater) {
  auto* adapter = dynamic_cast<Adapter*>(&heater);
  if (adapter == nullptr) throw py::type_error("heater: not a host heater");
  return adapter->object();
}

class PyReactor : public host::Reactor, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  double monotonic() override { return to_double(object_.attr("monotonic")(), "reactor.monotonic()"); }
  void pause(double waketime) override { object_.attr("pause")(waketime); }
};

class PyGCodeMove : public host::GCodeMove, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  double homing_position_z() override {
    return to_doubles(object_.attr("homing_position"), "gcode_move.homing_position", 3, 3)[2];
  }
};

class PyBedProbe : public host::BedProbe, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  double run_probe(host::GCodeCommand& gcmd) override {
    auto& command = dynamic_cast<PyGCodeCommand&>(gcmd);
    return to_doubles(object_.attr("run_probe")(command.object()), "probe.run_probe()", 3, 3)[2];
  }
  double z_offset() override { return to_double(object_.attr("z_offset"), "probe.z_offset"); }
};

class PyConfigFile : public host::ConfigFile, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  void cmd_CXSAVE_CONFIG(host::GCodeCommand& gcmd) override {
    object_.attr("cmd_CXSAVE_CONFIG")(dynamic_cast<PyGCodeCommand&>(gcmd).object());
  }
};

class PyOpaque : public host::Opaque, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
};

class PySwapReply : public host::PressureProbe::SwapReply, public PyObjectAdapter {
 public:
  using PyObjectAdapter::PyObjectAdapter;
  bool empty() override { return !truth(object_); }
  double sta() override { return to_double(object_["sta"], "sync-line reply \"sta\""); }
};

}  // namespace

void wrong_type(const char* what, const char* expected, const py::handle& value) {
  throw py::type_error(std::string(what) + ": expected " + expected + ", got " +
                       std::string(py::str(py::type::of(value).attr("__name__"))));
}

std::string to_text(const py::handle& value, const char* what) {
  if (!py::isinstance<py::str>(value)) wrong_type(what, "a text", value);
  return value.cast<std::string>();
}

bool truth(const py::handle& value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

std::vector<double> to_doubles(const py::handle& value, const char* what, std::size_t minimum,
                               std::size_t count) {
  if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value)) {
    wrong_type(what, "a sequence of numbers", value);
  }
  const auto entries = py::reinterpret_borrow<py::sequence>(value);
  const std::size_t size = entries.size();
  if (size < minimum) {
    throw py::value_error(std::string(what) + ": expected at least " + std::to_string(minimum) +
                          " entries, got " + std::to_string(size));
  }
  std::vector<double> numbers;
  for (std::size_t i = 0; i < std::min(size, count); ++i) {
    numbers.push_back(to_double(entries[i], what));
  }
  return numbers;
}

[[noreturn]] void raise_python(const py::object& error) {
  if (!PyExceptionInstance_Check(error.ptr())) wrong_type("host error", "an exception", error);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

double to_double(const py::handle& value, const char* what) {
  if (!PyFloat_Check(value.ptr()) && !PyLong_Check(value.ptr())) wrong_type(what, "a number", value);
  const double number = PyFloat_AsDouble(value.ptr());
  if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return number;
}

std::int64_t to_int64(const py::handle& value, const char* what) {
  if (!PyLong_Check(value.ptr())) wrong_type(what, "a whole number", value);
  const long long number = PyLong_AsLongLong(value.ptr());
  if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
  return number;
}

host::Number to_number(const py::handle& value, const char* what) {
  if (PyLong_Check(value.ptr())) return to_int64(value, what);
  return to_double(value, what);
}

py::object from_number(const host::Number& value) {
  if (const auto* whole = std::get_if<std::int64_t>(&value)) return py::int_(*whole);
  return py::float_(std::get<double>(value));
}

// Configuration section.

std::string PyConfigSection::name() {
  return to_text(object_.attr("get_name")(), "config.get_name()");
}

std::shared_ptr<host::Printer> PyConfigSection::get_printer() {
  return std::make_shared<PyPrinter>(object_.attr("get_printer")(), owner_);
}

std::optional<std::string> PyConfigSection::get(const std::string& key) {
  py::object value = object_.attr("get")(key, py::none());
  if (value.is_none()) return std::nullopt;
  return to_text(value, key.c_str());
}

double PyConfigSection::getfloat(const std::string& key, std::optional<double> default_value,
                                 const Bounds& bounds) {
  py::object getter = object_.attr("getfloat");
  py::object value = default_value ? getter(key, *default_value, **bounds_kwargs(bounds))
                                   : getter(key, **bounds_kwargs(bounds));
  return to_double(value, key.c_str());
}

std::int64_t PyConfigSection::getint(const std::string& key,
                                     std::optional<std::int64_t> default_value,
                                     const Bounds& bounds) {
  py::object getter = object_.attr("getint");
  py::object value = default_value ? getter(key, *default_value, **bounds_kwargs(bounds))
                                   : getter(key, **bounds_kwargs(bounds));
  return to_int64(value, key.c_str());
}

bool PyConfigSection::getboolean(const std::string& key, bool default_value) {
  return truth(object_.attr("getboolean")(key, default_value));
}

std::vector<double> PyConfigSection::getfloatlist(const std::string& key, int count) {
  py::object values = object_.attr("getfloatlist")(key, "count"_a = count);
  std::vector<double> numbers = to_doubles(values, key.c_str(), count, count);
  if (py::len(values) != static_cast<std::size_t>(count)) {
    throw py::value_error(key + ": expected " + std::to_string(count) + " values");
  }
  return numbers;
}

void PyConfigSection::raise_error(const std::string& message) {
  raise_python(object_.attr("error")(message));
}

// Printer.

std::shared_ptr<host::Reactor> PyPrinter::get_reactor() {
  return std::make_shared<PyReactor>(object_.attr("get_reactor")());
}

bool PyPrinter::is_shutdown() { return truth(object_.attr("is_shutdown")()); }

void PyPrinter::invoke_shutdown(const std::string& message) {
  object_.attr("invoke_shutdown")(message);
}

void PyPrinter::raise_command_error(const std::string& message) {
  raise_python(object_.attr("command_error")(message));
}

// Errors that are not ordinary exceptions (GreenletExit, SystemExit) are how
// the host unwinds a command it is abandoning.
bool PyPrinter::is_host_exit(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (py::error_already_set& raised) {
    return !raised.matches(PyExc_Exception);
  } catch (...) {
    return false;
  }
}

std::string PyPrinter::describe_error(const std::exception_ptr& error) {
  py::object value;
  std::string text;
  try {
    std::rethrow_exception(error);
  } catch (py::error_already_set& raised) {
    value = raised.value();
  } catch (const std::exception& other) {
    text = other.what();
  } catch (...) {
    text = "unknown error";
  }
  if (!value) return text;
  // Taken as the host shows it; a text that cannot be made says so.
  PyObject* shown = PyObject_Str(value.ptr());
  if (shown == nullptr) {
    PyErr_Clear();
    return "unprintable " + std::string(Py_TYPE(value.ptr())->tp_name);
  }
  py::str message = py::reinterpret_steal<py::str>(shown);
  return message.cast<std::string>();
}

void PyPrinter::register_event_handler(const std::string& event, const std::string& handler) {
  object_.attr("register_event_handler")(event, owner_.attr(handler.c_str()));
}

bool PyPrinter::has_object(const std::string& name) {
  return !object_.attr("lookup_object")(name, py::none()).is_none();
}

py::object PyPrinter::lookup(const char* name) { return object_.attr("lookup_object")(name); }

std::shared_ptr<host::PressureProbe> PyPrinter::lookup_tensink() {
  return std::make_shared<PyPressureProbe>(lookup("tensink_v2"));
}

std::shared_ptr<host::GCode> PyPrinter::lookup_gcode() {
  return std::make_shared<PyGCode>(lookup("gcode"), owner_);
}

std::shared_ptr<host::Toolhead> PyPrinter::lookup_toolhead() {
  return std::make_shared<PyToolhead>(lookup("toolhead"));
}

std::shared_ptr<host::GCodeMove> PyPrinter::lookup_gcode_move() {
  return std::make_shared<PyGCodeMove>(lookup("gcode_move"));
}

std::shared_ptr<host::BedMesh> PyPrinter::lookup_bed_mesh() {
  return std::make_shared<PyBedMesh>(lookup("bed_mesh"));
}

std::shared_ptr<host::Heaters> PyPrinter::lookup_heaters() {
  return std::make_shared<PyHeaters>(lookup("heaters"));
}

std::shared_ptr<host::Heater> PyPrinter::lookup_heater(const std::string& object_name) {
  return std::make_shared<PyHeater>(lookup(object_name.c_str()).attr("heater"));
}

std::shared_ptr<host::BedProbe> PyPrinter::lookup_probe() {
  return std::make_shared<PyBedProbe>(lookup("probe"));
}

std::shared_ptr<host::ConfigFile> PyPrinter::lookup_configfile() {
  return std::make_shared<PyConfigFile>(lookup("configfile"));
}

// G-code dispatcher and commands.

void PyGCode::register_command(const std::string& command, const std::string& handler) {
  py::object method = owner_.attr(handler.c_str());
  py::object help = owner_.attr((handler + "_help").c_str());
  object_.attr("register_command")(command, method, "desc"_a = help);
}

void PyGCode::run_script_from_command(const std::string& line) {
  object_.attr("run_script_from_command")(line);
}

void PyGCode::respond_info(const std::string& text) { object_.attr("respond_info")(text); }

void PyGCode::respond_warning(const std::string& text) {
  // The root logger, as klippy's own modules log; the module-level function
  // would configure logging where the host has not.
  py::module_::import("logging").attr("getLogger")().attr("warning")(text);
  object_.attr("respond_info")(text, "log"_a = false);
}

double PyGCodeCommand::get_float(const std::string& name, double default_value) {
  return to_double(object_.attr("get_float")(name, default_value), name.c_str());
}

std::string PyGCodeCommand::get_commandline() {
  return to_text(object_.attr("get_commandline")(), "gcmd.get_commandline()");
}

// Toolhead.

void PyToolhead::wait_moves() { object_.attr("wait_moves")(); }

void PyToolhead::get_last_move_time() { object_.attr("get_last_move_time")(); }

host::Position PyToolhead::get_position() {
  const std::vector<double> pos = to_doubles(object_.attr("get_position")(),
                                             "toolhead.get_position()", 4, 4);
  return {pos[0], pos[1], pos[2], pos[3]};
}

void PyToolhead::set_position_z_homed(const host::Position& pos) {
  // klippy of this era names the homed axes by index: 2 is Z.
  object_.attr("set_position")(python_list(pos), "homing_axes"_a = py::list(py::make_tuple(2)));
}

namespace {

// The speed limits live on the toolhead, the Z limits on its kinematics.
std::pair<py::object, const char*> limit_field(const py::object& toolhead,
                                               host::Toolhead::Limit which) {
  using Limit = host::Toolhead::Limit;
  switch (which) {
    case Limit::max_velocity: return {toolhead, "max_velocity"};
    case Limit::max_accel: return {toolhead, "max_accel"};
    case Limit::max_z_velocity: return {toolhead.attr("kin"), "max_z_velocity"};
    case Limit::max_z_accel: return {toolhead.attr("kin"), "max_z_accel"};
  }
  throw std::logic_error("unknown toolhead limit");
}

}  // namespace

double PyToolhead::limit(Limit which) {
  const auto [owner, field] = limit_field(object_, which);
  return to_double(owner.attr(field), field);
}

void PyToolhead::set_limit(Limit which, double value) {
  const auto [owner, field] = limit_field(object_, which);
  owner.attr(field) = value;
}

host::AxisLimits PyToolhead::axis_limits(double eventtime) {
  py::object status = object_.attr("get_kinematics")().attr("get_status")(eventtime);
  const std::vector<double> minimum =
      to_doubles(status["axis_minimum"], "kinematics axis_minimum", 3, 3);
  const std::vector<double> maximum =
      to_doubles(status["axis_maximum"], "kinematics axis_maximum", 3, 3);
  return {{minimum[0], minimum[1], minimum[2]}, {maximum[0], maximum[1], maximum[2]}};
}

// Bed mesh: the mesh is handed back exactly as the host gave it.

std::shared_ptr<host::Opaque> PyBedMesh::get_mesh() {
  py::object mesh = object_.attr("get_mesh")();
  if (mesh.is_none()) return nullptr;
  return std::make_shared<PyOpaque>(std::move(mesh));
}

void PyBedMesh::set_mesh(const std::shared_ptr<host::Opaque>& mesh) {
  if (!mesh) {
    object_.attr("set_mesh")(py::none());
    return;
  }
  object_.attr("set_mesh")(dynamic_cast<PyOpaque&>(*mesh).object());
}

// Heaters.

double PyHeater::target_temp() { return to_double(object_.attr("target_temp"), "heater.target_temp"); }

double PyHeater::smoothed_temp() {
  return to_double(object_.attr("smoothed_temp"), "heater.smoothed_temp");
}

host::TemperatureLimits PyHeater::temperature_limits() {
  return {to_double(object_.attr("min_temp"), "heater.min_temp"),
          to_double(object_.attr("max_temp"), "heater.max_temp"),
          to_double(object_.attr("min_extrude_temp"), "heater.min_extrude_temp")};
}

void PyHeaters::set_temperature(host::Heater& heater, double temp) {
  object_.attr("set_temperature")(adapted_object<PyHeater>(heater), temp, false);
}

// Pressure-probe module.

double PyPressureProbe::run_step_tensink(const DescentArgs& args) {
  py::object descend = object_.attr("run_step_tensink");
  py::object height =
      args.holds ? descend(args.down_min_z, args.start_mode, args.first_flag, args.probe_count,
                           args.valid_count, args.last_flag, (*args.holds)[0], (*args.holds)[1])
                 : descend(args.down_min_z, args.start_mode, args.first_flag, args.probe_count,
                           args.valid_count, args.last_flag);
  return to_double(height, "tensink.run_step_tensink()");
}

void PyPressureProbe::move(const host::Position& pos, double speed) {
  object_.attr("move")(python_list(pos), speed);
}

void PyPressureProbe::get_mm_per_step() { object_.attr("get_mm_per_step")(); }

void PyPressureProbe::enable_steps() { object_.attr("enable_steps")(); }

void PyPressureProbe::disable_steps() { object_.attr("disable_steps")(); }

std::array<host::Number, 3> PyPressureProbe::get_step_cnts(double down_min_z, double down_speed) {
  const char* what = "tensink.get_step_cnts()";
  py::object counts = object_.attr("get_step_cnts")(down_min_z, down_speed);
  if (!py::isinstance<py::sequence>(counts) || py::isinstance<py::str>(counts)) {
    wrong_type(what, "three numbers", counts);
  }
  const auto values = py::reinterpret_borrow<py::sequence>(counts);
  if (values.size() != 3) throw py::value_error(std::string(what) + ": expected three values");
  return {to_number(values[0], what), to_number(values[1], what), to_number(values[2], what)};
}

void PyPressureProbe::send_start_step_tensink(const std::vector<host::Number>& args) {
  object_.attr("start_step_tensink_cmd").attr("send")(python_list(args));
}

std::size_t PyPressureProbe::step_result_count() { return py::len(object_.attr("step_res")); }

void PyPressureProbe::write_swap(const host::Number& pres_oid, std::int64_t level) {
  object_.attr("write_swap_tensink_cmd").attr("send")(python_list({pres_oid, level}));
}

std::shared_ptr<host::PressureProbe::SwapReply> PyPressureProbe::read_swap(
    const host::Number& step_oid) {
  py::object reply = object_.attr("read_swap_tensink_cmd").attr("send")(python_list({step_oid}));
  if (reply.is_none()) return nullptr;
  return std::make_shared<PySwapReply>(std::move(reply));
}

host::Number PyPressureProbe::pres_oid() { return to_number(object_.attr("pres_oid"), "pres_oid"); }

host::Number PyPressureProbe::step_oid() { return to_number(object_.attr("step_oid"), "step_oid"); }

host::Number PyPressureProbe::tri_send_ms() {
  return to_number(object_.attr("tri_send_ms"), "tri_send_ms");
}

// Error records.

PyErrorRecord::PyErrorRecord(py::object record, py::object values)
    : record_(std::move(record)), values_(std::move(values)) {
  // The caller's values are written into the record in place, after the
  // printer has taken Z as homed: a record that cannot take them is refused
  // before anything is done.
  py::object mapping = py::module_::import("collections.abc").attr("MutableMapping");
  if (!py::isinstance(record_, mapping)) {
    wrong_type("err_code", "a mutable error record mapping", record_);
  }
  to_text(record_["code"], "err_code[\"code\"]");
  to_text(record_["msg"], "err_code[\"msg\"]");
  // The record text shows the values; values that cannot be shown fail here.
  py::repr(values_);
}

void PyErrorRecord::attach_values() { record_["values"] = values_; }

// Literal-mapping notation is what Python prints for a dict.
std::string PyErrorRecord::text(const std::string& msg_prefix) {
  py::dict shown;
  shown["code"] = record_["code"];
  shown["msg"] = py::str(msg_prefix) + record_["msg"];
  shown["values"] = record_["values"];
  return py::repr(shown).cast<std::string>();
}

}  // namespace zcomp::py_host
