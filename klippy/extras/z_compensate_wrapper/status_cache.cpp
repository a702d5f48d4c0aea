#include "status_cache.h"

#include <optional>
#include <utility>
#include <vector>

namespace zcomp::binding {

namespace {

using namespace py_api;
using py_host::Names;

void set_item(const Ref& dict, PyObject* key, const Ref& value) {
  check(PyDict_SetItem(dict.get(), key, value.get()));
}

Ref optional_number(const std::optional<double>& value) {
  if (!value) return Ref::borrow(Py_None);
  return checked(PyFloat_FromDouble(*value));
}

bool same_run_status(const RunStatus& a, const RunStatus& b) {
  return a.running_command == b.running_command && a.last_command == b.last_command &&
         a.last_result == b.last_result && a.last_message == b.last_message &&
         a.last_z_offset == b.last_z_offset && a.saved_z_offset == b.saved_z_offset &&
         a.probe_z_offset == b.probe_z_offset &&
         a.last_point_offsets == b.last_point_offsets &&
         a.last_point_spread == b.last_point_spread &&
         a.last_remeasurements == b.last_remeasurements;
}

// The status of the running and the last command, as get_status shows it.
void add_run_status(const Ref& status, const RunStatus& run, const Names& names) {
  set_item(status, names.running_command, new_text(run.running_command));
  set_item(status, names.last_command, new_text(run.last_command));
  set_item(status, names.last_result, new_text(run.last_result));
  set_item(status, names.last_message, new_text(run.last_message));
  set_item(status, names.last_z_offset, optional_number(run.last_z_offset));
  set_item(status, names.saved_z_offset, optional_number(run.saved_z_offset));
  set_item(status, names.probe_z_offset, optional_number(run.probe_z_offset));
  set_item(status, names.last_point_offsets,
           new_list(run.last_point_offsets.data(), run.last_point_offsets.size()));
  set_item(status, names.last_point_spread, optional_number(run.last_point_spread));
  set_item(status, names.last_remeasurements,
           checked(PyLong_FromLongLong(run.last_remeasurements)));
}

}  // namespace

Ref new_status(StatusCache*& cache, const Names& names, const ZCompensate& core) {
  if (cache == nullptr || cache->auto_alignment_status != core.auto_alignment_status ||
      !same_run_status(cache->run, core.run_status)) {
    Ref ready = checked(PyDict_New());
    set_item(ready, names.auto_alignment_status,
             checked(PyLong_FromLongLong(core.auto_alignment_status)));
    add_run_status(ready, core.run_status, names);
    if (cache == nullptr) cache = new StatusCache;
    cache->ready = std::move(ready);
    cache->auto_alignment_status = core.auto_alignment_status;
    cache->run = core.run_status;
  }
  Ref status = checked(PyDict_Copy(cache->ready.get()));
  const std::vector<double>& offsets = core.run_status.last_point_offsets;
  set_item(status, names.last_point_offsets, new_list(offsets.data(), offsets.size()));
  return status;
}

}  // namespace zcomp::binding
