// The names by which the module reaches klippy's objects and answers for
// itself: klippy's attributes and objects, the keys of get_status and of the
// error records, and the start argument a simulated printer fixes the draws
// with. Each is made once per module object, as a Python text.
#pragma once

#include <memory>

#include "py_api.h"

namespace zcomp::py_host {

// The start argument from which the module takes the seed of its draws.
constexpr const char* kSeedStartArgument = "z_compensate_seed";

#define ZCOMP_PY_NAMES(X)                                                                   \
  X(auto_alignment_status) X(bed_mesh) X(code) X(cmd_CXSAVE_CONFIG) X(command_error)         \
  X(configfile) X(count) X(desc) X(disable_steps) X(enable_steps) X(error) X(gcode)          \
  X(gcode_move) X(get) X(get_command_parameters) X(get_commandline) X(get_float) X(get_last_move_time) X(get_mesh)     \
  X(get_mm_per_step) X(get_name) X(get_position) X(get_printer) X(get_reactor)               \
  X(get_step_cnts) X(getboolean) X(getfloat) X(getfloatlist) X(getint) X(heater) X(heaters)  \
  X(homing_axes) X(homing_position) X(invoke_shutdown) X(is_shutdown) X(kin)                 \
  X(lookup_object) X(max_accel) X(max_velocity) X(max_z_accel) X(max_z_velocity) X(maxval)   \
  X(minval) X(monotonic) X(move) X(msg) X(pause) X(pres_oid) X(probe)                        \
  X(read_swap_tensink_cmd) X(register_command) X(respond_info) X(run_probe)                  \
  X(run_script_from_command) X(run_step_tensink) X(send) X(set_mesh) X(set_position)         \
  X(set_temperature) X(smoothed_temp) X(sta) X(start_step_tensink_cmd) X(step_oid)           \
  X(step_res) X(target_temp) X(tensink_v2) X(toolhead) X(tri_send_ms) X(values)              \
  X(wait_moves) X(write_swap_tensink_cmd) X(z_offset) X(MutableMapping)                     \
  X(start_probe_session) X(pull_probed_results) X(end_probe_session) X(get_offsets)           \
  X(bed_z) X(_fields) X(register_event_handler) X(get_kinematics) X(get_status) X(axis_minimum)         \
  X(axis_maximum) X(min_temp) X(max_temp) X(min_extrude_temp) X(getLogger) X(warning) X(log)  \
  X(running_command) X(last_command) X(last_result) X(last_message) X(last_z_offset)          \
  X(saved_z_offset) X(probe_z_offset) X(last_point_offsets) X(last_point_spread)              \
  X(last_remeasurements) X(get_start_args) X(load_object) X(gcode_macro)             \
  X(load_template) X(create_template_context) X(run_gcode_from_command) X(params)

// The names, interned once per module object and shared by everything that
// calls the host on its behalf: whoever holds them keeps them alive.
struct Names {
  // Throws the Python exception when a name cannot be made.
  Names();
  ~Names();
  Names(const Names&) = delete;
  Names& operator=(const Names&) = delete;
#define ZCOMP_DECLARE_NAME(name) PyObject* name = nullptr;
  ZCOMP_PY_NAMES(ZCOMP_DECLARE_NAME)
#undef ZCOMP_DECLARE_NAME
  // Keyword-name tuples.
  PyObject* desc_kw = nullptr;
  PyObject* minval_kw = nullptr;
  PyObject* maxval_kw = nullptr;
  PyObject* minval_maxval_kw = nullptr;
  PyObject* count_kw = nullptr;
  PyObject* homing_axes_kw = nullptr;
  PyObject* log_kw = nullptr;
  PyObject* seed_start_argument = nullptr;
};
using NamesRef = std::shared_ptr<const Names>;

}  // namespace zcomp::py_host
