// A thin layer over CPython's C API: owned references, the Python error as a
// C++ exception, method calls through vectorcall and the conversions of plain
// values. It knows nothing of the module or of klippy; nothing here keeps
// state across a host call.
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
