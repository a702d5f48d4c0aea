#include "host_methods.h"

#include <stdexcept>

#include "py_host.h"

namespace zcomp::py_host {

namespace {

constexpr const char* kCapsuleName = "z_compensate_wrapper.host_method";

struct HostMethod {
  std::string name;
  std::vector<Parameter> parameters;
  MethodBody body;
  std::string doc;
  PyMethodDef definition{};
};

// "move($self, pos, speed, wait=True)": lets inspect show the signature.
std::string text_signature(const std::string& name, const std::vector<Parameter>& parameters) {
  std::string signature = name + "($self";
  for (const Parameter& parameter : parameters) {
    signature += std::string(", ") + parameter.name;
    if (parameter.default_value) {
      signature += "=" + std::string(py::repr(parameter.default_value));
    }
  }
  return signature + ")\n--\n\n";
}

// Python's own rules for binding positional and keyword arguments.
Arguments bind_arguments(const HostMethod& method, PyObject* args, PyObject* kwargs) {
  const std::vector<Parameter>& parameters = method.parameters;
  const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args)) - 1;
  if (given > parameters.size()) {
    throw py::type_error(method.name + "() takes " + std::to_string(parameters.size()) +
                         " positional arguments but " + std::to_string(given) + " were given");
  }
  Arguments bound(parameters.size());
  for (std::size_t i = 0; i < given; ++i) {
    bound[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i + 1));
  }
  if (kwargs != nullptr) {
    for (const auto& [key, value] : py::reinterpret_borrow<py::dict>(kwargs)) {
      const std::string keyword = py::str(key);
      std::size_t index = 0;
      while (index < parameters.size() && keyword != parameters[index].name) ++index;
      if (index == parameters.size()) {
        throw py::type_error(method.name + "() got an unexpected keyword argument '" + keyword +
                             "'");
      }
      if (bound[index]) {
        throw py::type_error(method.name + "() got multiple values for argument '" + keyword +
                             "'");
      }
      bound[index] = py::reinterpret_borrow<py::object>(value);
    }
  }
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (bound[i]) continue;
    if (!parameters[i].default_value) {
      throw py::type_error(method.name + "() missing required argument: '" +
                           parameters[i].name + "'");
    }
    bound[i] = parameters[i].default_value;
  }
  return bound;
}

ZCompensate& self_of(const HostMethod& method, PyObject* args) {
  if (PyTuple_GET_SIZE(args) < 1) {
    throw py::type_error(method.name + "() needs a ZCompensateInitWrapper object");
  }
  py::detail::make_caster<ZCompensate> self;
  if (!self.load(PyTuple_GET_ITEM(args, 0), false) || self.value == nullptr) {
    throw py::type_error(method.name + "() needs a ZCompensateInitWrapper object");
  }
  return py::detail::cast_op<ZCompensate&>(self);
}

PyObject* call_host_method(PyObject* capsule, PyObject* args, PyObject* kwargs) {
  try {
    const auto* method = static_cast<HostMethod*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (method == nullptr) return nullptr;
    ZCompensate& self = self_of(*method, args);
    method->body(self, bind_arguments(*method, args, kwargs));
    Py_RETURN_NONE;
  } catch (...) {
    set_python_error(std::current_exception());
    return nullptr;
  }
}

}  // namespace

void add_host_method(py::handle cls, const char* name, std::vector<Parameter> parameters,
                     MethodBody body) {
  // Lives as long as the class, which lives as long as the process.
  auto* method = new HostMethod{name, std::move(parameters), std::move(body), {}, {}};
  method->doc = text_signature(method->name, method->parameters);
  method->definition = {method->name.c_str(), reinterpret_cast<PyCFunction>(
                                                  reinterpret_cast<void (*)()>(call_host_method)),
                        METH_VARARGS | METH_KEYWORDS, method->doc.c_str()};
  py::capsule data(method, kCapsuleName);
  py::object function = py::reinterpret_steal<py::object>(
      PyCFunction_NewEx(&method->definition, data.ptr(), nullptr));
  if (!function) throw py::error_already_set();
  // An instance method binds the object as the first argument, as a def does.
  py::object descriptor = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
  if (!descriptor) throw py::error_already_set();
  py::setattr(cls, name, descriptor);
}

void set_python_error(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (py::error_already_set& raised) {
    // The host's own exception object, unchanged.
    raised.restore();
  } catch (const MissingAttribute& missing) {
    PyErr_SetString(PyExc_AttributeError, missing.what());
  } catch (py::builtin_exception& builtin) {
    builtin.set_error();
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

double number_argument(const py::object& value, const char* name) {
  py::detail::make_caster<double> number;
  if (!number.load(value, true)) wrong_type(name, "a number", value);
  return py::detail::cast_op<double>(number);
}

}  // namespace zcomp::py_host
