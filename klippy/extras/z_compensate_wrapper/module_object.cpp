#include "module_object.h"

#include <string>

namespace zcomp::binding {

void torn_down() {
  py_api::raise(PyExc_RuntimeError, "the z_compensate_wrapper module has been torn down");
}

void not_initialised() {
  py_api::raise(PyExc_RuntimeError, std::string(kClassName) + " object is not initialised");
}

void set_call_error(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const MissingAttribute& missing) {
    PyErr_SetString(PyExc_AttributeError, missing.what());
  } catch (...) {
    py_api::set_error(std::current_exception());
  }
}

}  // namespace zcomp::binding
