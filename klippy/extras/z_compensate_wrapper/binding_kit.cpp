#include "binding_kit.h"

namespace zcomp::binding {

using namespace py_api;

namespace {

// "move()" as Python names a method in its argument errors.
std::string call_name(const char* class_name, const char* method_name) {
#if PY_VERSION_HEX >= 0x030A0000
  return std::string(class_name) + "." + method_name + "()";
#else
  static_cast<void>(class_name);
  return std::string(method_name) + "()";
#endif
}

std::string plural(std::size_t count, const char* word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

// "'a', 'b' and 'c'", as Python lists missing arguments.
std::string listed(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == names.size()) text += "and ";
    text += std::string("'") + names[i] + "'";
  }
  return text;
}

}  // namespace

void bind_arguments(const char* class_name, const char* method_name, const Parameter* parameters,
                    std::size_t count, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
  const auto given = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < count; ++i) bound[i] = i < given ? args[i] : nullptr;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = 0;
    while (index < count &&
           PyUnicode_CompareWithASCIIString(keyword, parameters[index].name) != 0) {
      ++index;
    }
    if (index == count) {
      raise(PyExc_TypeError, call_name(class_name, method_name) +
                                 " got an unexpected keyword argument '" +
                                 to_text(keyword, "keyword") + "'");
    }
    if (bound[index] != nullptr) {
      raise(PyExc_TypeError, call_name(class_name, method_name) +
                                 " got multiple values for argument '" + parameters[index].name +
                                 "'");
    }
    bound[index] = args[nargs + k];
  }
  // Python names a wrong keyword before too many positional arguments.
  if (given > count) {
    std::size_t required = 0;
    while (required < count && parameters[required].default_value == nullptr) ++required;
    const std::string takes =
        required == count ? std::to_string(count + 1)
                          : "from " + std::to_string(required + 1) + " to " +
                                std::to_string(count + 1);
    raise(PyExc_TypeError, call_name(class_name, method_name) + " takes " + takes +
                               " positional argument" + (takes == "1" ? "" : "s") + " but " +
                               std::to_string(given + 1) + " were given");
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < count; ++i) {
    if (bound[i] != nullptr) continue;
    const Parameter& parameter = parameters[i];
    if (parameter.default_value == nullptr) {
      missing.push_back(parameter.name);
      continue;
    }
    bound[i] = parameter.default_value->object(self);
  }
  if (!missing.empty()) {
    raise(PyExc_TypeError, call_name(class_name, method_name) + " missing " +
                               plural(missing.size(), "required positional argument") + ": " +
                               listed(missing));
  }
}

std::string text_signature(const char* method_name, const Parameter* parameters,
                           std::size_t count) {
  std::string signature = std::string(method_name) + "($self";
  for (std::size_t i = 0; i < count; ++i) {
    const Parameter& parameter = parameters[i];
    signature += std::string(", ") + parameter.name;
    if (parameter.default_value != nullptr) {
      signature += std::string("=") + parameter.default_value->text;
    }
  }
  return signature + ")\n--\n\n";
}

PyObject* from_value(double value) { return PyFloat_FromDouble(value); }
PyObject* from_value(std::int64_t value) { return PyLong_FromLongLong(value); }
PyObject* from_value(bool value) { return PyBool_FromLong(value); }

PyObject* from_value(const std::array<double, 2>& values) {
  return new_list(values.data(), values.size()).release();
}

namespace {

Refusal attribute_refusal(const char* name, PyObject* value) {
  return [name, value](const std::string& broken) {
    raise(PyExc_ValueError, std::string(name) + " = " + repr(value) + ": " + broken);
  };
}

}  // namespace

double finite_argument(PyObject* value, const char* name) {
  return checked_number(number_argument(value, name), kFinite, attribute_refusal(name, value));
}

void assign(double& field, PyObject* value, const char* name, const ValueRule& rule) {
  field = checked_number(number_argument(value, name), rule, attribute_refusal(name, value));
}

void assign(std::int64_t& field, PyObject* value, const char* name, const ValueRule& rule) {
  if (PyFloat_Check(value) || (!PyLong_Check(value) && !PyIndex_Check(value))) {
    wrong_type(name, "a whole number", value);
  }
  const Ref whole = checked(PyNumber_Index(value));
  const std::int64_t number = to_int64(whole.get(), name);
  checked_integer(static_cast<double>(number), rule, attribute_refusal(name, value));
  field = number;
}

void assign(bool& field, PyObject* value, const char* name, const ValueRule&) {
  if (value == Py_None) {
    field = false;
    return;
  }
  if (!PyBool_Check(value) &&
      (Py_TYPE(value)->tp_as_number == nullptr || Py_TYPE(value)->tp_as_number->nb_bool == nullptr)) {
    wrong_type(name, "a truth value", value);
  }
  field = truth(value);
}

void assign(std::array<double, 2>& field, PyObject* value, const char* name,
            const ValueRule& rule) {
  const std::vector<double> numbers = numbers_argument(value, name);
  if (numbers.size() != field.size()) wrong_type(name, "two numbers", value);
  field = checked_pair({numbers[0], numbers[1]}, rule, attribute_refusal(name, value));
}

}  // namespace zcomp::binding
