// A thin layer over CPython's C API: owned references, the Python error as a
// C++ exception, attribute names interned once, and method calls through
// vectorcall. Nothing here keeps state across a host call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/printer.h"

namespace zcomp::py_api {

// One owned reference; empty when null.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* object) { return Ref(object); }
  static Ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }
  Ref(const Ref& other) : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// The Python exception that was set, taken out of the interpreter so that
// the host can be called again while it travels as a C++ exception.
class PythonError : public std::exception {
 public:
  PythonError();
  // Sets it as the interpreter's current exception again.
  void restore() const;
  // False for how the host ends a command it abandons (GreenletExit,
  // SystemExit): anything that is not an Exception.
  bool is_ordinary() const;
  bool matches(PyObject* type) const;
  // The exception object; reading it may run host code, so only once out of
  // the catch block.
  const Ref& value() const { return value_; }
  const char* what() const noexcept override { return "Python exception"; }

 private:
  Ref type_;
  Ref value_;
  Ref traceback_;
};

// Throws the exception that a failed API call set.
[[noreturn]] void throw_error();
// Raises `type` with `message`.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Raises `error`, an exception object made by the host.
[[noreturn]] void raise_object(const Ref& error);
// Sets the Python exception for what a call into the module threw.
void set_error(const std::exception_ptr& error);

// Every C API call that can fail goes through one of these, which turn its
// failure into the exception it set: a result that nobody looks at does not
// compile (warnings are errors in the project's own builds).

// A new reference from an API call, or its exception.
[[nodiscard]] inline Ref checked(PyObject* result) {
  if (result == nullptr) throw_error();
  return Ref::steal(result);
}
// A borrowed reference from an API call, or its exception.
[[nodiscard]] inline PyObject* checked_borrowed(PyObject* result) {
  if (result == nullptr) throw_error();
  return result;
}
// A status or an answer of 0 or more (a size, a truth value), or its exception.
template <typename Status>
[[nodiscard]] Status checked_status(Status result) {
  if (result < 0) throw_error();
  return result;
}
// An API call that answers only 0 or -1.
inline void check(int status) { static_cast<void>(checked_status(status)); }

// A Python text holding `text`, UTF-8.
Ref new_text(std::string_view text);

// The attribute and object names the module uses, created once.
#define ZCOMP_PY_NAMES(X)                                                                   \
  X(auto_alignment_status) X(bed_mesh) X(code) X(cmd_CXSAVE_CONFIG) X(command_error)         \
  X(configfile) X(count) X(desc) X(disable_steps) X(enable_steps) X(error) X(gcode)          \
  X(gcode_move) X(get) X(get_command_parameters) X(get_commandline) X(get_float) X(get_last_move_time) X(get_mesh)     \
  X(get_mm_per_step) X(get_name) X(get_position) X(get_printer) X(get_reactor)               \
  X(get_step_cnts) X(getboolean) X(getfloat) X(getfloatlist) X(getint) X(heater) X(heaters)  \
  X(homing_axes) X(homing_position) X(invoke_shutdown) X(is_shutdown) X(kin)                 \
  X(lookup_object) X(max_accel) X(max_velocity) X(max_z_accel) X(max_z_velocity) X(maxval)   \
  X(minval) X(monotonic) X(move) X(msg) X(pause) X(pres_oid) X(probe)                        \
  X(read_swap_tensink_cmd) X(register_command) X(respond_info) X(run_probe)                  \
  X(run_script_from_command) X(run_step_tensink) X(send) X(set_mesh) X(set_position)         \
  X(set_temperature) X(smoothed_temp) X(sta) X(start_step_tensink_cmd) X(step_oid)           \
  X(step_res) X(target_temp) X(tensink_v2) X(toolhead) X(tri_send_ms) X(values)              \
  X(wait_moves) X(write_swap_tensink_cmd) X(z_offset) X(MutableMapping)                     \
  X(start_probe_session) X(pull_probed_results) X(end_probe_session) X(get_offsets)           \
  X(bed_z) X(_fields) X(register_event_handler) X(get_kinematics) X(get_status) X(axis_minimum)         \
  X(axis_maximum) X(min_temp) X(max_temp) X(min_extrude_temp) X(getLogger) X(warning) X(log)  \
  X(running_command) X(last_command) X(last_result) X(last_message) X(last_z_offset)          \
  X(saved_z_offset) X(probe_z_offset) X(last_point_offsets) X(last_point_spread)              \
  X(last_remeasurements) X(get_start_args) X(z_compensate_seed) X(load_object) X(gcode_macro)    \
  X(load_template) X(create_template_context) X(run_gcode_from_command) X(params)

// The names, interned once per module object and shared by everything that
// calls the host on its behalf: whoever holds them keeps them alive.
struct Names {
  // Throws the Python exception when a name cannot be made.
  Names();
  ~Names();
  Names(const Names&) = delete;
  Names& operator=(const Names&) = delete;
#define ZCOMP_DECLARE_NAME(name) PyObject* name = nullptr;
  ZCOMP_PY_NAMES(ZCOMP_DECLARE_NAME)
#undef ZCOMP_DECLARE_NAME
  // Keyword-name tuples.
  PyObject* desc_kw = nullptr;
  PyObject* minval_kw = nullptr;
  PyObject* maxval_kw = nullptr;
  PyObject* minval_maxval_kw = nullptr;
  PyObject* count_kw = nullptr;
  PyObject* homing_axes_kw = nullptr;
  PyObject* log_kw = nullptr;
};
using NamesRef = std::shared_ptr<const Names>;

// One argument of a host call, alive until the call returns.
class Arg {
 public:
  Arg(PyObject* borrowed) : object_(borrowed) {}
  Arg(const Ref& ref) : object_(ref.get()) {}
  Arg(bool value) : object_(value ? Py_True : Py_False) {}
  // A C string would silently become a bool.
  Arg(const char*) = delete;
  Arg(int value) : Arg(static_cast<std::int64_t>(value)) {}
  Arg(std::int64_t value) : owned_(checked(PyLong_FromLongLong(value))), object_(owned_.get()) {}
  Arg(double value) : owned_(checked(PyFloat_FromDouble(value))), object_(owned_.get()) {}
  Arg(const std::string& text) : owned_(new_text(text)), object_(owned_.get()) {}
  PyObject* get() const { return object_; }

 private:
  Ref owned_;
  PyObject* object_;
};

// self.name(args...); the last entries of `args` are the keywords named in `kwnames`.
Ref call_method(PyObject* self, PyObject* name, std::initializer_list<Arg> args,
                PyObject* kwnames = nullptr);
inline Ref call_method(const Ref& self, PyObject* name, std::initializer_list<Arg> args = {},
                       PyObject* kwnames = nullptr) {
  return call_method(self.get(), name, args, kwnames);
}
[[nodiscard]] inline Ref get_attr(PyObject* object, PyObject* name) {
  return checked(PyObject_GetAttr(object, name));
}
[[nodiscard]] inline Ref get_attr(const Ref& object, PyObject* name) {
  return get_attr(object.get(), name);
}
[[nodiscard]] inline Ref get_attr(PyObject* object, const std::string& name) {
  return checked(PyObject_GetAttrString(object, name.c_str()));
}
// The attribute, or an empty reference where the object has none.
Ref optional_attr(PyObject* object, PyObject* name);
void set_attr(const Ref& object, PyObject* name, const Arg& value);
void set_attr(const Ref& object, const char* name, PyObject* value);

// A value of another type than the module needs, from the host or a caller.
[[noreturn]] void wrong_type(const char* what, const char* expected, PyObject* value);
// A text's UTF-8. Lone surrogates (which a text from a JSON client may hold)
// are written as backslash escapes, so that a text never fails to convert.
std::string to_text(PyObject* value, const char* what);
// The same without a copy where the text has no lone surrogate.
class TextView {
 public:
  TextView(PyObject* value, const char* what);
  std::string_view view() const { return view_; }

 private:
  // The escaped UTF-8, only where it was needed.
  Ref escaped_;
  std::string_view view_;
};
// Any value tested for truth, as Python does.
bool truth(PyObject* value);
// A number from the host: an int or a float.
[[nodiscard]] double to_double(PyObject* value, const char* what);
// A number from a caller: anything Python turns into a float, as a def's would.
double number_argument(PyObject* value, const char* what);
std::int64_t to_int64(PyObject* value, const char* what);
host::Number to_number(PyObject* value, const char* what);
Ref from_number(const host::Number& value);
// A sequence (not a text) of at least `minimum` entries, of which the first
// `count` are taken as numbers: into `numbers`, returning how many were taken.
std::size_t to_doubles(PyObject* value, const char* what, std::size_t minimum, double* numbers,
                       std::size_t count);
// The first N numbers of a sequence of at least N.
template <std::size_t N>
std::array<double, N> first_numbers(PyObject* value, const char* what) {
  std::array<double, N> numbers;
  to_doubles(value, what, N, numbers.data(), N);
  return numbers;
}
std::vector<double> to_doubles(PyObject* value, const char* what, std::size_t minimum,
                               std::size_t count);
// Every entry of a sequence, each taken as a number_argument; a copy of the
// entries is held while they convert, which may run the caller's code.
std::vector<double> numbers_argument(PyObject* value, const char* what);
Ref new_list(const double* values, std::size_t count);
std::string repr(PyObject* value);

}  // namespace zcomp::py_api
