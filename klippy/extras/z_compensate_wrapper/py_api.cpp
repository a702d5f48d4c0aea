#include "py_api.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "z_compensate.h"

namespace zcomp::py_api {

namespace {
// Each name's text and field, in one order; the texts follow one another,
// each ended by its NUL. A table and a loop instead of a call per name keep
// the code that makes and drops a hundred names small.
constexpr char kNameTexts[] =
#define ZCOMP_NAME_TEXT(name) #name "\0"
    ZCOMP_PY_NAMES(ZCOMP_NAME_TEXT)
#undef ZCOMP_NAME_TEXT
    ;
constexpr PyObject* Names::*kNameFields[] = {
#define ZCOMP_NAME_FIELD(name) &Names::name,
    ZCOMP_PY_NAMES(ZCOMP_NAME_FIELD)
#undef ZCOMP_NAME_FIELD
};
}  // namespace

Names::Names() {
  const char* text = kNameTexts;
  for (PyObject* Names::*field : kNameFields) {
    this->*field = checked(PyUnicode_InternFromString(text)).release();
    text += std::strlen(text) + 1;
  }
  desc_kw = checked(PyTuple_Pack(1, desc)).release();
  minval_kw = checked(PyTuple_Pack(1, minval)).release();
  maxval_kw = checked(PyTuple_Pack(1, maxval)).release();
  minval_maxval_kw = checked(PyTuple_Pack(2, minval, maxval)).release();
  count_kw = checked(PyTuple_Pack(1, count)).release();
  homing_axes_kw = checked(PyTuple_Pack(1, homing_axes)).release();
  log_kw = checked(PyTuple_Pack(1, log)).release();
}

Names::~Names() {
  for (PyObject* Names::*field : kNameFields) Py_XDECREF(this->*field);
  for (PyObject* keywords :
       {desc_kw, minval_kw, maxval_kw, minval_maxval_kw, count_kw, homing_axes_kw, log_kw}) {
    Py_XDECREF(keywords);
  }
}

PythonError::PythonError() {
#if PY_VERSION_HEX >= 0x030C0000
  value_ = Ref::steal(PyErr_GetRaisedException());
  if (value_) type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value_.get())));
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  // The traceback travels in `traceback_` as well: a value that cannot take
  // it loses nothing.
  if (traceback != nullptr && value != nullptr && PyException_SetTraceback(value, traceback) < 0) {
    PyErr_Clear();
  }
  type_ = Ref::steal(type);
  value_ = Ref::steal(value);
  traceback_ = Ref::steal(traceback);
#endif
  if (!type_) {
    type_ = Ref::borrow(PyExc_SystemError);
    value_ = Ref::steal(PyUnicode_FromString("a Python call failed without an exception"));
  }
}

void PythonError::restore() const {
#if PY_VERSION_HEX >= 0x030C0000
  if (PyExceptionInstance_Check(value_.get())) {
    PyErr_SetRaisedException(Ref(value_).release());
    return;
  }
  PyErr_SetObject(type_.get(), value_.get());
#else
  PyErr_Restore(Ref(type_).release(), Ref(value_).release(), Ref(traceback_).release());
#endif
}

bool PythonError::matches(PyObject* type) const {
  return PyErr_GivenExceptionMatches(type_.get(), type) != 0;
}

bool PythonError::is_ordinary() const { return matches(PyExc_Exception); }

void throw_error() { throw PythonError(); }

// The message as a text object: a C string would end at a NUL it holds.
void raise(PyObject* type, const std::string& message) {
  PyErr_SetObject(type, new_text(message).get());
  throw PythonError();
}

void raise_object(const Ref& error) {
  if (!PyExceptionInstance_Check(error.get())) wrong_type("host error", "an exception", error.get());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  throw PythonError();
}

void set_error(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const PythonError& raised) {
    // The host's own exception object, unchanged.
    raised.restore();
  } catch (const MissingAttribute& missing) {
    PyErr_SetString(PyExc_AttributeError, missing.what());
  } catch (const std::out_of_range& out_of_range) {
    PyErr_SetString(PyExc_IndexError, out_of_range.what());
  } catch (const std::overflow_error& overflow) {
    PyErr_SetString(PyExc_OverflowError, overflow.what());
  } catch (const std::logic_error& invalid) {
    PyErr_SetString(PyExc_ValueError, invalid.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& other) {
    PyErr_SetString(PyExc_RuntimeError, other.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown error");
  }
}

Ref call_method(PyObject* self, PyObject* name, std::initializer_list<Arg> args,
                PyObject* kwnames) {
  constexpr std::size_t kMaxArgs = 8;
  if (args.size() > kMaxArgs) throw std::length_error("too many arguments for a host call");
  // Entry 0 is the object itself; vectorcall may use it as scratch space.
  PyObject* argv[kMaxArgs + 1];
  argv[0] = self;
  std::size_t i = 1;
  for (const Arg& arg : args) argv[i++] = arg.get();
  const auto keywords = kwnames == nullptr ? 0 : static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
  const std::size_t positional = args.size() - keywords;
#if PY_VERSION_HEX >= 0x03090000
  return checked(PyObject_VectorcallMethod(name, argv, (positional + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           kwnames));
#else
  Ref method = get_attr(self, name);
  return checked(_PyObject_Vectorcall(method.get(), argv + 1,
                                      positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
#endif
}

// Most of the module's texts are ASCII: copied in as they stand, without the
// decoder's pass over them.
Ref new_text(std::string_view text) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  // One pass without a branch per character, which the compiler widens.
  unsigned char bits = 0;
  for (const char c : text) bits |= static_cast<unsigned char>(c);
  if (bits >= 0x80) return checked(PyUnicode_DecodeUTF8(text.data(), size, nullptr));
  Ref object = checked(PyUnicode_New(size, 127));
  std::memcpy(PyUnicode_DATA(object.get()), text.data(), text.size());
  return object;
}

// A missing attribute is the common answer here: looked up without building
// the AttributeError that the host's getattr would raise and we would drop.
Ref optional_attr(PyObject* object, PyObject* name) {
  PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  check(PyObject_GetOptionalAttr(object, name, &value));
#else
  check(_PyObject_LookupAttr(object, name, &value));
#endif
  return Ref::steal(value);
}

void set_attr(const Ref& object, PyObject* name, const Arg& value) {
  check(PyObject_SetAttr(object.get(), name, value.get()));
}

void set_attr(const Ref& object, const char* name, PyObject* value) {
  check(PyObject_SetAttrString(object.get(), name, value));
}

void wrong_type(const char* what, const char* expected, PyObject* value) {
  // The type's own name, read without running any code: the value may be
  // borrowed from a container that a caller's code could change.
  const char* name = Py_TYPE(value)->tp_name;
  if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
  raise(PyExc_TypeError, std::string(what) + ": expected " + expected + ", got " + name);
}

namespace {

Ref utf8(PyObject* value, const char* what) {
  if (!PyUnicode_Check(value)) wrong_type(what, "a text", value);
  return checked(PyUnicode_AsEncodedString(value, "utf-8", "backslashreplace"));
}

std::string_view bytes_view(const Ref& bytes) {
  return {PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

}  // namespace

TextView::TextView(PyObject* value, const char* what) {
  if (!PyUnicode_Check(value)) wrong_type(what, "a text", value);
  Py_ssize_t size = 0;
  if (const char* text = PyUnicode_AsUTF8AndSize(value, &size)) {
    view_ = {text, static_cast<std::size_t>(size)};
    return;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error();
  PyErr_Clear();
  escaped_ = utf8(value, what);
  view_ = bytes_view(escaped_);
}

std::string to_text(PyObject* value, const char* what) {
  return std::string(TextView(value, what).view());
}

bool truth(PyObject* value) {
  return checked_status(PyObject_IsTrue(value)) != 0;
}

double to_double(PyObject* value, const char* what) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
  if (!PyFloat_Check(value) && !PyLong_Check(value)) wrong_type(what, "a number", value);
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) throw_error();
  return number;
}

double number_argument(PyObject* value, const char* what) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
    PyErr_Clear();
    wrong_type(what, "a number", value);
  }
  return number;
}

std::int64_t to_int64(PyObject* value, const char* what) {
  if (!PyLong_Check(value)) wrong_type(what, "a whole number", value);
  const long long number = PyLong_AsLongLong(value);
  if (number == -1 && PyErr_Occurred()) throw_error();
  return number;
}

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

std::size_t to_doubles(PyObject* value, const char* what, std::size_t minimum, double* numbers,
                       std::size_t count) {
  if (!PySequence_Check(value) || PyUnicode_Check(value)) {
    wrong_type(what, "a sequence of numbers", value);
  }
  const auto size = static_cast<std::size_t>(checked_status(PySequence_Size(value)));
  if (size < minimum) {
    raise(PyExc_ValueError, std::string(what) + ": expected at least " + std::to_string(minimum) +
                                " entries, got " + std::to_string(size));
  }
  const std::size_t taken = std::min(size, count);
  for (std::size_t i = 0; i < taken; ++i) {
    Ref entry = checked(PySequence_GetItem(value, static_cast<Py_ssize_t>(i)));
    numbers[i] = to_double(entry.get(), what);
  }
  return taken;
}

std::vector<double> to_doubles(PyObject* value, const char* what, std::size_t minimum,
                               std::size_t count) {
  std::vector<double> numbers(count);
  numbers.resize(to_doubles(value, what, minimum, numbers.data(), count));
  return numbers;
}

std::vector<double> numbers_argument(PyObject* value, const char* what) {
  if (!PySequence_Check(value) || PyUnicode_Check(value) || PyBytes_Check(value)) {
    wrong_type(what, "a sequence of numbers", value);
  }
  // A tuple of the entries as they are now: the caller's list may change
  // while an entry converts.
  const Ref entries = checked(PySequence_Tuple(value));
  const Py_ssize_t size = PyTuple_GET_SIZE(entries.get());
  std::vector<double> numbers;
  numbers.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    numbers.push_back(number_argument(PyTuple_GET_ITEM(entries.get(), i), what));
  }
  return numbers;
}

Ref new_list(const double* values, std::size_t count) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
  for (std::size_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    checked(PyFloat_FromDouble(values[i])).release());
  }
  return list;
}

std::string repr(PyObject* value) {
  const Ref text = checked(PyObject_Repr(value));
  return to_text(text.get(), "repr()");
}

}  // namespace zcomp::py_api
