#include "py_names.h"

#include <cstring>

namespace zcomp::py_host {

using namespace py_api;

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
  seed_start_argument = checked(PyUnicode_InternFromString(kSeedStartArgument)).release();
}

Names::~Names() {
  for (PyObject* Names::*field : kNameFields) Py_XDECREF(this->*field);
  for (PyObject* made :
       {desc_kw, minval_kw, maxval_kw, minval_maxval_kw, count_kw, homing_axes_kw, log_kw,
        seed_start_argument}) {
    Py_XDECREF(made);
  }
}

}  // namespace zcomp::py_host
