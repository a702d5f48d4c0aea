// Methods that call the host, entered without pybind11's call machinery.
//
// pybind11 keeps a per-thread stack of call frames that must unwind in the
// order they were entered. A host call may switch greenlets under a suspended
// method, and a second method suspended meanwhile could then return first,
// which pybind11 treats as a fatal internal error. These methods therefore
// bind their arguments themselves and keep no such frame while they run.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <vector>

#include "z_compensate.h"

namespace zcomp::py_host {

namespace py = pybind11;

struct Parameter {
  const char* name;
  // Unset: the argument is required.
  py::object default_value = py::object();
};

using Arguments = std::vector<py::object>;
using MethodBody = std::function<void(ZCompensate& self, const Arguments& args)>;

// Adds `name(self, parameters...)` to the class; it returns None.
void add_host_method(py::handle cls, const char* name, std::vector<Parameter> parameters,
                     MethodBody body);

// Sets the Python error for an exception of the module or of its host
// adapters, as pybind11 would translate it.
void set_python_error(const std::exception_ptr& error);

// A number argument: anything Python turns into a float, as a def's would.
double number_argument(const py::object& value, const char* name);

}  // namespace zcomp::py_host
