// The Python object klippy constructs for the section, what one import of
// the module owns, and the ways from the object to its core and its names.
#pragma once

#include <exception>

#include "py_api.h"
#include "py_names.h"
#include "z_compensate.h"

namespace zcomp::binding {

constexpr const char* kClassName = "ZCompensateInitWrapper";

// What one import of the module owns; nothing of it is shared with another
// import of the same file or with another interpreter.
struct ModuleState {
  // The error records, and the one list shared by every call that names no
  // values.
  PyObject* z_offset_calibration_error;
  PyObject* ssap_test_error;
  PyObject* default_vals;
  PyObject* default_err;
  // Shared with every adapter, which may outlive the module's own reference.
  py_host::NamesRef* names;
#if PY_VERSION_HEX < 0x03090000
  // The class this module made: before 3.9 a class cannot hold its module
  // where Python code cannot replace it, so each lookup checks it here.
  PyObject* defining_class;
#endif
};

struct StatusCache;

struct ModuleObject {
  PyObject_HEAD
  // The module that defined the class, whose state the object uses.
  PyObject* module;
  // Null until construction has finished, and again once cleared.
  ZCompensate* core;
  // The last get_status answer; null until the first.
  StatusCache* status;
  PyObject* weakrefs;
};

inline ModuleObject* as_module(PyObject* self) { return reinterpret_cast<ModuleObject*>(self); }

inline ModuleState& module_state(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

[[noreturn]] void torn_down();
[[noreturn]] void not_initialised();

// A value the module state holds, failing once the module was cleared.
inline PyObject* held(PyObject* value) {
  if (value == nullptr) torn_down();
  return value;
}

inline const ModuleState& state_of(PyObject* self) {
  PyObject* module = as_module(self)->module;
  if (module == nullptr) torn_down();
  return module_state(module);
}

// The names stay until the module is freed, which the object's reference
// to it prevents.
inline const py_host::NamesRef& names_of(PyObject* self) { return *state_of(self).names; }

inline ZCompensate& core_of(PyObject* self) {
  ZCompensate* core = as_module(self)->core;
  if (core == nullptr) not_initialised();
  return *core;
}

// Sets the Python exception for what a call into the module threw: a host
// reference that no command has set reads as a missing attribute.
void set_call_error(const std::exception_ptr& error);

// What the binding kit needs of the class.
struct ModuleClass {
  using Core = ZCompensate;
  static constexpr const char* name = kClassName;
  static Core& core(PyObject* self) { return core_of(self); }
  static bool initialised(PyObject* self) { return as_module(self)->core != nullptr; }
  static const py_host::NamesRef& names(PyObject* self) { return names_of(self); }
  static void set_error(const std::exception_ptr& error) { set_call_error(error); }
};

}  // namespace zcomp::binding
