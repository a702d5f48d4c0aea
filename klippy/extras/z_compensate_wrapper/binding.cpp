// The Python module: its constants and error records, and the class klippy
// constructs for the configuration section, with the table of its methods,
// the table of its attributes and its life cycle.
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "binding_kit.h"
#include "module_object.h"
#include "py_api.h"
#include "py_host.h"
#include "status_cache.h"
#include "structmember.h"
#include "z_compensate.h"

namespace {

using namespace zcomp::py_api;
using namespace zcomp::py_host;
using namespace zcomp::binding;
using zcomp::ZCompensate;

#ifndef Z_COMPENSATE_VERSION
#error "Z_COMPENSATE_VERSION must name the package version"
#endif

extern PyModuleDef module_definition;

// Methods.

// The parameters' defaults, the same object on every call.
constexpr Default kTrue{"True", [](PyObject*) -> PyObject* { return Py_True; }};
constexpr Default kFalse{"False", [](PyObject*) -> PyObject* { return Py_False; }};
constexpr Default kNoValues{"[]", [](PyObject* self) { return held(state_of(self).default_vals); }};
constexpr Default kFive{"5", [](PyObject* self) { return held(state_of(self).default_err); }};

// A G-code command handler: the host's command object, adapted for the procedure.
template <void (ZCompensate::*Handler)(host::GCodeCommand&)>
PyObject* command_handler(PyObject* self, ZCompensate& core, PyObject* const* args) {
  PyGCodeCommand command(Ref::borrow(args[0]), names_of(self));
  (core.*Handler)(command);
  return none();
}

// Sets a heater's target; `wait` is any value tested for truth. Arguments
// are converted in order, so an error names the first bad one.
template <void (ZCompensate::*Setter)(double, bool, double)>
PyObject* heater_setter(PyObject*, ZCompensate& core, PyObject* const* args) {
  const double temp = number_argument(args[0], "temp");
  const bool wait = truth(args[1]);
  const double err = number_argument(args[2], "err");
  (core.*Setter)(temp, wait, err);
  return none();
}

constexpr Method<ModuleClass> kMethods[] = {
    {"delay_s", {{"delay_s"}},
     [](PyObject*, ZCompensate& core, PyObject* const* args) {
       // A pause until a time that is no number, or never comes, never ends.
       core.delay_s(finite_argument(args[0], "delay_s"));
       return none();
     }},
    {"TEST_SWAP", {},
     [](PyObject*, ZCompensate& core, PyObject* const*) {
       core.TEST_SWAP();
       return none();
     }},
    {"print_msg", {{"title"}, {"msg"}, {"force", &kFalse}},
     [](PyObject*, ZCompensate& core, PyObject* const* args) {
       const TextView title(args[0], "title");
       const TextView msg(args[1], "msg");
       const bool force = truth(args[2]);
       core.print_msg(title.view(), msg.view(), force);
       return none();
     }},
    {"ck_and_raise_error", {{"ck"}, {"err_code"}, {"vals", &kNoValues}},
     [](PyObject* self, ZCompensate& core, PyObject* const* args) {
       if (!truth(args[0])) return none();
       PyErrorRecord record(Ref::borrow(args[1]), Ref::borrow(args[2]), names_of(self));
       core.ck_and_raise_error(true, record);
       return none();
     }},
    {"move", {{"pos"}, {"speed"}, {"wait", &kTrue}},
     [](PyObject*, ZCompensate& core, PyObject* const* args) {
       // Entries after Z are not part of a move.
       double pos[3];
       const std::size_t count = to_doubles(args[0], "pos", 0, pos, 3);
       const double speed = number_argument(args[1], "speed");
       const bool wait = truth(args[2]);
       core.move({pos, count}, speed, wait);
       return none();
     }},
    {"set_hot_temps", {{"temp"}, {"wait", &kFalse}, {"err", &kFive}},
     heater_setter<&ZCompensate::set_hot_temps>},
    {"set_bed_temps", {{"temp"}, {"wait", &kFalse}, {"err", &kFive}},
     heater_setter<&ZCompensate::set_bed_temps>},
    {"set_step_par", {{"load_sys", &kTrue}},
     [](PyObject*, ZCompensate& core, PyObject* const* args) {
       core.set_step_par(truth(args[0]));
       return none();
     }},
    {"pnt_msg", {{"msg"}},
     [](PyObject*, ZCompensate& core, PyObject* const* args) {
       core.pnt_msg(to_text(args[0], "msg"));
       return none();
     }},
    {"get_status", {{"eventtime"}},
     [](PyObject* self, ZCompensate& core, PyObject* const*) {
       return new_status(as_module(self)->status, *names_of(self), core).release();
     }},
    {"vq20ma_clear_nozzle",
     {{"hot_start_temp"}, {"hot_rub_temp"}, {"hot_end_temp"}, {"bed_add_temp"}},
     [](PyObject*, ZCompensate& core, PyObject* const* args) {
       core.vq20ma_clear_nozzle({finite_argument(args[0], "hot_start_temp"),
                                 finite_argument(args[1], "hot_rub_temp"),
                                 finite_argument(args[2], "hot_end_temp"),
                                 finite_argument(args[3], "bed_add_temp"),
                                 {}});
       return none();
     }},
    {"cmd_VQ20MA_NOZZLE_CLEAR", {{"gcmd"}},
     command_handler<&ZCompensate::cmd_VQ20MA_NOZZLE_CLEAR>},
    {"cmd_Z_OFFSET_CALIBRATION", {{"gcmd"}},
     command_handler<&ZCompensate::cmd_Z_OFFSET_CALIBRATION>},
    {"cmd_Z_OFFSET_AUTO", {{"gcmd"}}, command_handler<&ZCompensate::cmd_Z_OFFSET_AUTO>},
    // At start-up, a host of none of the known generations is a configuration
    // error, never an AttributeError in the middle of a command.
    {"_handle_connect", {},
     [](PyObject* self, ZCompensate& core, PyObject* const*) {
       const Ref printer = dynamic_cast<const PyObjectAdapter&>(*core.printer.get()).object();
       const std::string missing = unknown_host_shape(printer, *names_of(self));
       if (!missing.empty()) {
         core.config->raise_error("[" + core.config->name() + "] needs a klippy it knows: " +
                                  missing);
       }
       return none();
     }},
    // Once the printer is ready: warnings of what the commands would refuse.
    // It never pauses.
    {"_handle_ready", {},
     [](PyObject*, ZCompensate& core, PyObject* const*) {
       core.handle_ready();
       return none();
     }},
};
constexpr std::size_t kMethodCount = sizeof(kMethods) / sizeof(kMethods[0]);

// Attributes.

PyObject* get_dbg_msg(PyObject* self, void*) {
  return get_attribute<ModuleClass>(self, "dbg_msg", [](ZCompensate& core) {
    Ref titles = checked(PyDict_New());
    for (const auto& [title, index] : core.dbg_msg) {
      const Ref key = new_text(title);
      const Ref value = checked(PyLong_FromLongLong(index));
      check(PyDict_SetItem(titles.get(), key.get(), value.get()));
    }
    return titles.release();
  });
}

int set_dbg_msg(PyObject* self, PyObject* value, void*) {
  const auto assign_titles = [](ZCompensate& core, PyObject* titles) {
    if (!PyDict_Check(titles)) wrong_type("dbg_msg", "a dict", titles);
    // The entries as they are now, held while they convert.
    const Ref items = checked(PyDict_Items(titles));
    std::vector<std::pair<std::string, std::int64_t>> entries;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyList_GET_ITEM(items.get(), i);
      entries.emplace_back(to_text(PyTuple_GET_ITEM(item, 0), "dbg_msg"),
                           to_int64(PyTuple_GET_ITEM(item, 1), "dbg_msg"));
    }
    core.dbg_msg = std::move(entries);
  };
  return set_attribute<ModuleClass>(self, value, "dbg_msg", assign_titles);
}

PyObject* get_tri_wave_ip(PyObject* self, void*) {
  return get_attribute<ModuleClass>(self, "tri_wave_ip", [](ZCompensate& core) -> PyObject* {
    if (!core.tri_wave_ip) return none();
    return new_text(*core.tri_wave_ip).release();
  });
}

int set_tri_wave_ip(PyObject* self, PyObject* value, void*) {
  const auto assign_address = [](ZCompensate& core, PyObject* given) {
    std::optional<std::string> address;
    if (given != Py_None) address = to_text(given, "tri_wave_ip");
    std::string why;
    if (!core.set_tri_wave_ip(address, &why)) {
      raise(PyExc_ValueError, "tri_wave_ip: " + *address + ": " + why);
    }
  };
  return set_attribute<ModuleClass>(self, value, "tri_wave_ip", assign_address);
}

// The hook's template as the host made it; None where none is configured.
PyObject* get_on_error_gcode(PyObject* self, void*) {
  return get_attribute<ModuleClass>(self, "on_error_gcode", [](ZCompensate& core) -> PyObject* {
    const auto hook = core.on_error_gcode.held();
    if (!hook) return none();
    return dynamic_cast<const PyObjectAdapter&>(*hook).object().release();
  });
}

int set_on_error_gcode(PyObject* self, PyObject* value, void*) {
  return set_attribute<ModuleClass>(
      self, value, "on_error_gcode", [self](ZCompensate& core, PyObject* given) {
        if (given == Py_None) {
          core.on_error_gcode = nullptr;
          return;
        }
        core.on_error_gcode = std::make_shared<PyGCodeTemplate>(Ref::borrow(given), names_of(self));
      });
}

using Attributes = std::vector<PyGetSetDef>;

Attributes host_reference_attributes() {
  return {
      host_reference<ModuleClass, &ZCompensate::config, PyConfigSection>("config"),
      host_reference<ModuleClass, &ZCompensate::printer, PyPrinter>("printer"),
      host_reference<ModuleClass, &ZCompensate::tensink, PyPressureProbe>("tensink"),
      host_reference<ModuleClass, &ZCompensate::gcode, PyGCode>("gcode"),
      host_reference<ModuleClass, &ZCompensate::toolhead, PyToolhead>("toolhead"),
      host_reference<ModuleClass, &ZCompensate::bed_mesh, PyBedMesh>("bed_mesh"),
      host_reference<ModuleClass, &ZCompensate::pheaters, PyHeaters>("pheaters"),
      host_reference<ModuleClass, &ZCompensate::heater_hot, PyHeater>("heater_hot"),
      host_reference<ModuleClass, &ZCompensate::heater_bed, PyHeater>("heater_bed"),
  };
}

Attributes working_state_attributes() {
  return {
      field<ModuleClass>("shut_down", &ZCompensate::shut_down),
      field<ModuleClass>("z_offset_move", &ZCompensate::z_offset_move),
      {"dbg_msg", get_dbg_msg, set_dbg_msg, nullptr, nullptr},
      field<ModuleClass>("sys_max_velocity", &ZCompensate::sys_max_velocity),
      field<ModuleClass>("sys_max_accel", &ZCompensate::sys_max_accel),
      field<ModuleClass>("sys_max_z_velocity", &ZCompensate::sys_max_z_velocity),
      field<ModuleClass>("sys_max_z_accel", &ZCompensate::sys_max_z_accel),
      field<ModuleClass>("auto_alignment_status", &ZCompensate::auto_alignment_status),
  };
}

namespace rules = zcomp::key_rules;
using zcomp::Settings;

// A tuning value, under its key's name.
template <typename T>
PyGetSetDef setting(const char* name, T Settings::*member,
                    const zcomp::ValueRule& rule = zcomp::kFinite) {
  return field<ModuleClass>(name, member, rule);
}

// The tuning values, in their reading order.
Attributes setting_attributes() {
  return {
      {"tri_wave_ip", get_tri_wave_ip, set_tri_wave_ip, nullptr, nullptr},
      setting("tri_expand_mm", &Settings::tri_expand_mm, rules::tri_expand_mm),
      setting("g29_down_min_z", &Settings::g29_down_min_z, rules::g29_down_min_z),
      setting("z_offset_cex_axis", &Settings::z_offset_cex_axis, rules::z_offset_cex_axis),
      setting("vs_start_z_pos", &Settings::vs_start_z_pos, rules::vs_start_z_pos),
      setting("show_msg", &Settings::show_msg),
      setting("bl_offset", &Settings::bl_offset),
      setting("noz_pos_center", &Settings::noz_pos_center),
      setting("noz_pos_offset", &Settings::noz_pos_offset),
      setting("pumpback_mm", &Settings::pumpback_mm, rules::pumpback_mm),
      setting("pr_probe_cnt", &Settings::pr_probe_cnt, rules::probe_count),
      setting("pr_clear_probe_cnt", &Settings::pr_clear_probe_cnt, rules::probe_count),
      setting("type_nozz", &Settings::type_nozz, rules::type_nozz),
      setting("use_adc", &Settings::use_adc),
      setting("hot_start_temp", &Settings::hot_start_temp),
      setting("hot_end_temp", &Settings::hot_end_temp),
      setting("hot_rub_temp", &Settings::hot_rub_temp),
      setting("bed_add_temp", &Settings::bed_add_temp),
      setting("pa_clr_dis_mm", &Settings::pa_clr_dis_mm, rules::pa_clr_dis_mm),
      setting("pa_clr_down_mm", &Settings::pa_clr_down_mm, rules::pa_clr_down_mm),
      setting("clr_noz_start_x", &Settings::clr_noz_start_x, rules::clr_noz_start_x),
      setting("clr_noz_start_y", &Settings::clr_noz_start_y, rules::clr_noz_start_y),
      setting("clr_noz_len_x", &Settings::clr_noz_len_x, rules::clr_noz_len),
      setting("clr_noz_len_y", &Settings::clr_noz_len_y, rules::clr_noz_len),
      setting("clr_xy_spd", &Settings::clr_xy_spd, rules::clr_xy_spd),
      setting("tri_min_hold", &Settings::tri_min_hold, rules::tri_min_hold),
      setting("tri_max_hold", &Settings::tri_max_hold, rules::tri_max_hold),
      setting("bed_max_err", &Settings::bed_max_err, rules::bed_max_err),
      setting("pa_clr_dis_mm_x", &Settings::pa_clr_dis_mm_x, rules::pa_clr_dis_mm_axis),
      setting("pa_clr_dis_mm_y", &Settings::pa_clr_dis_mm_y, rules::pa_clr_dis_mm_axis),
      setting("tri_z_down_spd", &Settings::tri_z_down_spd, rules::probe_speed),
      setting("tri_z_up_spd", &Settings::tri_z_up_spd, rules::probe_speed),
      setting("rdy_xy_spd", &Settings::rdy_xy_spd, rules::rdy_xy_spd),
      setting("rdy_z_spd", &Settings::rdy_z_spd, rules::rdy_z_spd),
      setting("acc_ctl_mm", &Settings::acc_ctl_mm, rules::acc_ctl_mm),
      setting("low_spd_nul", &Settings::low_spd_nul, rules::low_spd_nul),
      setting("send_step_duty", &Settings::send_step_duty, rules::send_step_duty),
      setting("run_max_velocity", &Settings::run_max_velocity, rules::run_max_velocity),
      setting("run_max_accel", &Settings::run_max_accel, rules::run_max_accel),
      setting("run_max_z_velocity", &Settings::run_max_z_velocity, rules::run_max_velocity),
      setting("run_max_z_accel", &Settings::run_max_z_accel, rules::run_max_accel),
      setting("max_offset_change", &Settings::max_offset_change, zcomp::kDistanceLimit),
      setting("point_tolerance", &Settings::point_tolerance, zcomp::kDistanceLimit),
      setting("point_retries", &Settings::point_retries, zcomp::kRetriesLimit),
      {"on_error_gcode", get_on_error_gcode, set_on_error_gcode, nullptr, nullptr},
  };
}

// Made once and never changed, as the methods are.
const PyGetSetDef* attribute_table() {
  static const Attributes table = [] {
    Attributes attributes;
    for (const Attributes& part :
         {host_reference_attributes(), working_state_attributes(), setting_attributes()}) {
      attributes.insert(attributes.end(), part.begin(), part.end());
    }
    attributes.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    return attributes;
  }();
  return table.data();
}

// Construction, garbage collection and destruction.

// The module that made the class. The class cannot be subclassed, so `type`
// is that class itself.
Ref defining_module(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x03090000
  return Ref::borrow(checked_borrowed(PyType_GetModule(type)));
#else
  // A class attribute, which any caller may replace: only the module that
  // made this very class is taken.
  Ref module = get_attr(reinterpret_cast<PyObject*>(type), "_defining_module");
  if (!PyModule_Check(module.get()) || PyModule_GetDef(module.get()) != &module_definition ||
      PyModule_GetState(module.get()) == nullptr ||
      module_state(module.get()).defining_class != reinterpret_cast<PyObject*>(type)) {
    raise(PyExc_TypeError,
          std::string(kClassName) + "._defining_module is not the module that made the class");
  }
  return module;
#endif
}

PyObject* module_new(PyTypeObject* type, PyObject*, PyObject*) {
  try {
    Ref module = defining_module(type);
    Ref self = checked(type->tp_alloc(type, 0));
    as_module(self.get())->module = module.release();
    return self.release();
  } catch (...) {
    set_call_error(std::current_exception());
    return nullptr;
  }
}

int module_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"config", nullptr};
  PyObject* config = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:ZCompensateInitWrapper",
                                   const_cast<char**>(keywords), &config)) {
    return -1;
  }
  CallHold hold(self);
  try {
    if (as_module(self)->core != nullptr) {
      raise(PyExc_RuntimeError, std::string(kClassName) + " object is already initialised");
    }
    const ModuleState& state = state_of(self);
    const NamesRef names = names_of(self);
    const Ref vals = Ref::borrow(held(state.default_vals));
    // The commands are registered with the object's own bound methods, in the
    // middle of construction.
    zcomp::ErrorRecords records{
        std::make_shared<PyErrorRecord>(Ref::borrow(held(state.z_offset_calibration_error)),
                                        vals, names),
        std::make_shared<PyErrorRecord>(Ref::borrow(held(state.ssap_test_error)), vals, names)};
    auto section = std::make_shared<PyConfigSection>(Ref::borrow(config), names, self);
    auto core = std::make_unique<ZCompensate>(std::move(section), std::move(records));
    // Another construction of the same object may have finished meanwhile.
    if (as_module(self)->core != nullptr) {
      raise(PyExc_RuntimeError, std::string(kClassName) + " object is already initialised");
    }
    const auto printer = core->printer.get();
    as_module(self)->core = core.release();
    printer->register_event_handler("klippy:connect", "_handle_connect");
    return 0;
  } catch (...) {
    set_call_error(std::current_exception());
    return -1;
  }
}

void add_unique(const PyObjectAdapter* adapter, std::vector<const PyObjectAdapter*>& adapters) {
  for (const PyObjectAdapter* known : adapters) {
    if (known == adapter) return;
  }
  adapters.push_back(adapter);
}

template <typename T>
void add_adapter(const zcomp::HostRef<T>& ref, std::vector<const PyObjectAdapter*>& adapters) {
  const auto* adapter = dynamic_cast<const PyObjectAdapter*>(ref.peek());
  if (adapter != nullptr) add_unique(adapter, adapters);
}

// Each host object once, however many references share its adapter. Nothing
// here runs host code, so the adapters stay put while they are visited.
std::vector<const PyObjectAdapter*> held_adapters(const ZCompensate& core) {
  std::vector<const PyObjectAdapter*> adapters;
  adapters.reserve(20);
  add_adapter(core.config, adapters);
  add_adapter(core.printer, adapters);
  add_adapter(core.tensink, adapters);
  add_adapter(core.gcode, adapters);
  add_adapter(core.toolhead, adapters);
  add_adapter(core.bed_mesh, adapters);
  add_adapter(core.pheaters, adapters);
  add_adapter(core.heater_hot, adapters);
  add_adapter(core.heater_bed, adapters);
  add_adapter(core.on_error_gcode, adapters);
  // The printer adapter's own, for its lookups; some may be the ones above.
  if (const auto* printer = dynamic_cast<const PyPrinter*>(core.printer.peek())) {
    std::vector<const PyObjectAdapter*> kept;
    printer->add_kept_adapters(kept);
    for (const PyObjectAdapter* adapter : kept) add_unique(adapter, adapters);
  }
  return adapters;
}

int module_traverse(PyObject* self, visitproc visit, void* arg) {
  // Each instance holds a reference to its class; with no subclasses, no
  // other traverse visits it for this one.
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_module(self)->module);
  const ZCompensate* core = as_module(self)->core;
  if (core == nullptr) return 0;
  for (const PyObjectAdapter* adapter : held_adapters(*core)) {
    if (const int result = adapter->traverse(visit, arg)) return result;
  }
  return 0;
}

// Only an object that no call holds is ever cleared: each call keeps a
// reference the collector cannot account for.
int module_clear(PyObject* self) {
  ModuleObject* object = as_module(self);
  ZCompensate* core = object->core;
  StatusCache* status = object->status;
  object->core = nullptr;
  object->status = nullptr;
  delete core;
  delete status;
  Py_CLEAR(object->module);
  return 0;
}

void module_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_module(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  module_clear(self);
  type->tp_free(self);
  // Instances of a class made at run time hold a reference to it.
  Py_DECREF(type);
}

#if PY_VERSION_HEX >= 0x03090000
PyMemberDef weakref_member[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ModuleObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#endif

// The class doc opens with the constructor's signature, for inspect.
const char kClassDoc[] =
    "ZCompensateInitWrapper(config)\n--\n\n"
    "The [z_compensate] section's Z-offset calibration and nozzle clearing.";

// Before 3.10 a class made by PyType_FromSpec keeps its doc without the signature
// line, which inspect reads: the doc is put back whole.
void keep_signature(PyTypeObject* type) {
  const Ref signature = get_attr(reinterpret_cast<PyObject*>(type), "__text_signature__");
  if (signature.get() != Py_None) return;
  auto* doc = static_cast<char*>(PyObject_Malloc(sizeof(kClassDoc)));
  if (doc == nullptr) {
    PyErr_NoMemory();
    throw_error();
  }
  std::memcpy(doc, kClassDoc, sizeof(kClassDoc));
  PyObject_Free(const_cast<char*>(type->tp_doc));
  type->tp_doc = doc;
}

Ref make_class(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_new, reinterpret_cast<void*>(module_new)},
      {Py_tp_init, reinterpret_cast<void*>(module_init)},
      {Py_tp_traverse, reinterpret_cast<void*>(module_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(module_clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(module_dealloc)},
      {Py_tp_methods, const_cast<PyMethodDef*>(method_table<ModuleClass, kMethods>(
                          std::make_index_sequence<kMethodCount>()))},
      {Py_tp_getset, const_cast<PyGetSetDef*>(attribute_table())},
#if PY_VERSION_HEX >= 0x03090000
      {Py_tp_members, weakref_member},
#endif
      {0, nullptr},
  };
  PyType_Spec type_spec = {"z_compensate_wrapper.ZCompensateInitWrapper", sizeof(ModuleObject), 0,
                      // klippy constructs the class as it is: a subclass
                      // could only reach the module's state another way.
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
#if PY_VERSION_HEX >= 0x03090000
  Ref type = checked(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
#else
  Ref type = checked(PyType_FromSpec(&type_spec));
  reinterpret_cast<PyTypeObject*>(type.get())->tp_weaklistoffset = offsetof(ModuleObject, weakrefs);
#endif
#if PY_VERSION_HEX < 0x03090000
  set_attr(type, "_defining_module", module);
  module_state(module).defining_class = Ref(type).release();
#endif
  keep_signature(reinterpret_cast<PyTypeObject*>(type.get()));
  // Named after the module as it was imported.
  const Ref module_name = get_attr(module, "__name__");
  set_attr(type, "__module__", module_name.get());
  for (const zcomp::CommandDefinition* command : zcomp::kCommands) {
    const Ref text = checked(PyUnicode_FromString(command->help));
    set_attr(type, (std::string(command->handler) + "_help").c_str(), text.get());
  }
  return type;
}

Ref error_record(const char* code, const char* msg) {
  return checked(Py_BuildValue("{sssss[]}", "code", code, "msg", msg, "values"));
}

void add_object(PyObject* module, const char* name, const Ref& value) {
  // PyModule_AddObject takes the reference only when it succeeds.
  PyObject* object = Ref(value).release();
  if (PyModule_AddObject(module, name, object) < 0) {
    Py_DECREF(object);
    throw_error();
  }
}

// {command: {PARAMETER: key it stands in for}}, for the tools that run the
// commands: the one list of what each command reads.
Ref command_parameters() {
  Ref commands = checked(PyDict_New());
  for (const zcomp::CommandDefinition* command : zcomp::kCommands) {
    Ref parameters = checked(PyDict_New());
    for (const zcomp::CommandParameter* parameter : command->parameters) {
      const Ref key = checked(PyUnicode_FromString(parameter->key));
      check(PyDict_SetItemString(parameters.get(), parameter->name, key.get()));
    }
    check(PyDict_SetItemString(commands.get(), command->name, parameters.get()));
  }
  return commands;
}

// klippy's probe module, which klippy loads from its extras package: the one
// this module lies in, or the extras beside the plugins package (the Kalico
// fork's folder for third-party modules).
void import_bed_probe_module(PyObject* module) {
  const char* module_name = PyModule_GetName(module);
  if (module_name == nullptr) throw_error();
  const std::string name = module_name;
  const auto dot = name.rfind('.');
  std::string package = dot == std::string::npos ? "" : name.substr(0, dot);
  const auto last = package.rfind('.');
  if (package.substr(last == std::string::npos ? 0 : last + 1) == "plugins") {
    package.replace(package.size() - std::string("plugins").size(), std::string::npos, "extras");
  }
  static_cast<void>(
      checked(PyImport_ImportModule((package.empty() ? "probe" : package + ".probe").c_str())));
}

int module_exec(PyObject* module) {
  try {
    ModuleState& state = module_state(module);
    state.names = new NamesRef(std::make_shared<const Names>());
    import_bed_probe_module(module);

    const Ref cal_data = error_record(
        "key401", "PR_ERR_CODE_CAL_DATA_ERROR: An error occurred during data calculation..");
    const Ref z_offset_calibration = error_record(
        "key401", "PR_ERR_CODE_Z_OFFSET_CALIBRATION: Ceramic pressure sensitive mistrigger..");
    const Ref ssap_test = error_record(
        "key402",
        "PR_ERR_CODE_SSAP_TEST_ERROR: Synchronization line communication is not available, "
        "please check the connection..");
    add_object(module, "PR_ERR_CODE_CAL_DATA_ERROR", cal_data);
    add_object(module, "PR_ERR_CODE_Z_OFFSET_CALIBRATION", z_offset_calibration);
    add_object(module, "PR_ERR_CODE_SSAP_TEST_ERROR", ssap_test);
    check(PyModule_AddIntConstant(module, "MAX_BUF_LEN", zcomp::MAX_BUF_LEN));
    check(PyModule_AddIntConstant(module, "MAX_PRES_CNT", zcomp::MAX_PRES_CNT));
    check(PyModule_AddIntConstant(module, "MAX_STEP_CNT", zcomp::MAX_STEP_CNT));
    check(PyModule_AddStringConstant(module, "__version__", Z_COMPENSATE_VERSION));
    add_object(module, "COMMAND_PARAMETERS", command_parameters());
    check(PyModule_AddStringConstant(module, "SEED_START_ARGUMENT", kSeedStartArgument));
    state.z_offset_calibration_error = Ref(z_offset_calibration).release();
    state.ssap_test_error = Ref(ssap_test).release();
    state.default_vals = checked(PyList_New(0)).release();
    state.default_err = checked(PyLong_FromLong(5)).release();

    add_object(module, kClassName, make_class(module));
    return 0;
  } catch (...) {
    set_call_error(std::current_exception());
    return -1;
  }
}

// Null before the module has run its exec slot.
ModuleState* allocated_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

int module_state_traverse(PyObject* module, visitproc visit, void* arg) {
  const ModuleState* state = allocated_state(module);
  if (state == nullptr) return 0;
  Py_VISIT(state->z_offset_calibration_error);
  Py_VISIT(state->ssap_test_error);
  Py_VISIT(state->default_vals);
#if PY_VERSION_HEX < 0x03090000
  Py_VISIT(state->defining_class);
#endif
  return 0;
}

// The names stay until the module is freed: adapters may still use them
// while the collector breaks the module's cycles.
int module_state_clear(PyObject* module) {
  ModuleState* state = allocated_state(module);
  if (state == nullptr) return 0;
  Py_CLEAR(state->z_offset_calibration_error);
  Py_CLEAR(state->ssap_test_error);
  Py_CLEAR(state->default_vals);
  Py_CLEAR(state->default_err);
#if PY_VERSION_HEX < 0x03090000
  Py_CLEAR(state->defining_class);
#endif
  return 0;
}

void module_state_free(void* module) {
  module_state_clear(static_cast<PyObject*>(module));
  if (ModuleState* state = allocated_state(static_cast<PyObject*>(module))) {
    delete state->names;
    state->names = nullptr;
  }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "z_compensate_wrapper",
    "Z-offset calibration and nozzle clearing for klippy, in native code.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_state_traverse,
    module_state_clear,
    module_state_free,
};

}  // namespace

// Visible although everything else is hidden; CPython 3.8's PyMODINIT_FUNC
// does not say so itself.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_z_compensate_wrapper();

PyMODINIT_FUNC PyInit_z_compensate_wrapper() { return PyModuleDef_Init(&module_definition); }

