#include "py_names.h"

namespace zcomp::py_host {

using namespace py_api;

Names::Names() {
#define ZCOMP_INTERN_NAME(name) name = checked(PyUnicode_InternFromString(#name)).release();
  ZCOMP_PY_NAMES(ZCOMP_INTERN_NAME)
#undef ZCOMP_INTERN_NAME
  desc_kw = checked(PyTuple_Pack(1, desc)).release();
  minval_kw = checked(PyTuple_Pack(1, minval)).release();
  maxval_kw = checked(PyTuple_Pack(1, maxval)).release();
  minval_maxval_kw = checked(PyTuple_Pack(2, minval, maxval)).release();
  count_kw = checked(PyTuple_Pack(1, count)).release();
  homing_axes_kw = checked(PyTuple_Pack(1, homing_axes)).release();
  log_kw = checked(PyTuple_Pack(1, log)).release();
  seed_start_argument = checked(PyUnicode_InternFromString(kSeedStartArgument)).release();
}

Names::~Names() {
#define ZCOMP_RELEASE_NAME(name) Py_XDECREF(name);
  ZCOMP_PY_NAMES(ZCOMP_RELEASE_NAME)
#undef ZCOMP_RELEASE_NAME
  for (PyObject* made :
       {desc_kw, minval_kw, maxval_kw, minval_maxval_kw, count_kw, homing_axes_kw, log_kw,
        seed_start_argument}) {
    Py_XDECREF(made);
  }
}

}  // namespace zcomp::py_host
