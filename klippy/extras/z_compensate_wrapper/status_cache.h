// get_status's answer, kept ready while the status stays the same.
#pragma once

#include <cstdint>

#include "py_api.h"
#include "py_names.h"
#include "z_compensate.h"

namespace zcomp::binding {

// Each call answers with a new mapping (callers may keep or change what they
// were given), copied from one kept ready while the status stays the same:
// its values are texts, numbers and None, shared safely; only the list of
// point offsets is made anew for every answer.
struct StatusCache {
  py_api::Ref ready;
  std::int64_t auto_alignment_status = 0;
  RunStatus run;
};

// The status of `core`; `cache` is made at the first call and kept up to date.
py_api::Ref new_status(StatusCache*& cache, const py_host::Names& names, const ZCompensate& core);

}  // namespace zcomp::binding
