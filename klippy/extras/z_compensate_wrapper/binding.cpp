// The Python module: its constants and error records, and the class klippy
// constructs for the configuration section, with every operation and
// attribute under its own name.
//
// Every entry point is a plain CPython function that binds its own
// arguments: nothing is kept per thread or per call outside the C stack of
// the call itself, so a host call may switch greenlets under any of them and
// calls may return in any order.
#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "py_api.h"
#include "py_host.h"
#include "structmember.h"
#include "z_compensate.h"

namespace {

using namespace zcomp::py_api;
using namespace zcomp::py_host;
using zcomp::ZCompensate;

#ifndef Z_COMPENSATE_VERSION
#error "Z_COMPENSATE_VERSION must name the package version"
#endif

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
  NamesRef* names;
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

ModuleObject* as_module(PyObject* self) { return reinterpret_cast<ModuleObject*>(self); }

extern PyModuleDef module_definition;

ModuleState& module_state(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

[[noreturn]] void torn_down() {
  raise(PyExc_RuntimeError, "the z_compensate_wrapper module has been torn down");
}

// A value the module state holds, failing once the module was cleared.
PyObject* held(PyObject* value) {
  if (value == nullptr) torn_down();
  return value;
}

const ModuleState& state_of(PyObject* self) {
  PyObject* module = as_module(self)->module;
  if (module == nullptr) torn_down();
  return module_state(module);
}

// The names stay until the module is freed, which the object's reference
// to it prevents.
const NamesRef& names_of(PyObject* self) { return *state_of(self).names; }

ZCompensate& core_of(PyObject* self) {
  ZCompensate* core = as_module(self)->core;
  if (core == nullptr) {
    raise(PyExc_RuntimeError, std::string(kClassName) + " object is not initialised");
  }
  return *core;
}

// Keeps the object alive while one of its calls runs: the call may be
// suspended in a greenlet that nothing else refers to.
class CallHold {
 public:
  explicit CallHold(PyObject* self) : self_(self) { Py_INCREF(self_); }
  ~CallHold() { Py_DECREF(self_); }
  CallHold(const CallHold&) = delete;
  CallHold& operator=(const CallHold&) = delete;

 private:
  PyObject* self_;
};

PyObject* none() { Py_RETURN_NONE; }

// Methods.

constexpr std::size_t kMaxParameters = 4;

// A parameter's default, the same object on every call.
enum class Default { required, true_value, false_value, no_values, five };

struct Parameter {
  const char* name = nullptr;
  Default default_value = Default::required;
};

PyObject* default_object(Default value, PyObject* self) {
  switch (value) {
    case Default::true_value: return Py_True;
    case Default::false_value: return Py_False;
    case Default::no_values: return held(state_of(self).default_vals);
    case Default::five: return held(state_of(self).default_err);
    case Default::required: break;
  }
  return nullptr;
}

// As Python shows the default in a signature.
const char* default_text(Default value) {
  switch (value) {
    case Default::true_value: return "True";
    case Default::false_value: return "False";
    case Default::no_values: return "[]";
    case Default::five: return "5";
    case Default::required: break;
  }
  return "";
}

using Body = PyObject* (*)(PyObject* self, ZCompensate& core, PyObject* const* args);

struct Method {
  const char* name;
  Parameter parameters[kMaxParameters];
  Body body;

  constexpr std::size_t parameter_count() const {
    std::size_t count = 0;
    while (count < kMaxParameters && parameters[count].name != nullptr) ++count;
    return count;
  }
};

// "move()" as Python names a method in its argument errors.
std::string call_name(const Method& method) {
#if PY_VERSION_HEX >= 0x030A0000
  return std::string(kClassName) + "." + method.name + "()";
#else
  return std::string(method.name) + "()";
#endif
}

std::string plural(std::size_t count, const char* word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

// "'a', 'b' and 'c'", as Python lists missing arguments.
std::string listed(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == names.size()) text += "and ";
    text += std::string("'") + names[i] + "'";
  }
  return text;
}

// Python's own rules and wording for binding positional and keyword
// arguments to a method; counts include the object, as a def's do.
void bind_arguments(const Method& method, std::size_t count, PyObject* self,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
  const auto given = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < count; ++i) bound[i] = i < given ? args[i] : nullptr;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = 0;
    while (index < count &&
           PyUnicode_CompareWithASCIIString(keyword, method.parameters[index].name) != 0) {
      ++index;
    }
    if (index == count) {
      raise(PyExc_TypeError, call_name(method) + " got an unexpected keyword argument '" +
                                 to_text(keyword, "keyword") + "'");
    }
    if (bound[index] != nullptr) {
      raise(PyExc_TypeError, call_name(method) + " got multiple values for argument '" +
                                 method.parameters[index].name + "'");
    }
    bound[index] = args[nargs + k];
  }
  // Python names a wrong keyword before too many positional arguments.
  if (given > count) {
    std::size_t required = 0;
    while (required < count && method.parameters[required].default_value == Default::required) {
      ++required;
    }
    const std::string takes =
        required == count ? std::to_string(count + 1)
                          : "from " + std::to_string(required + 1) + " to " +
                                std::to_string(count + 1);
    raise(PyExc_TypeError, call_name(method) + " takes " + takes + " positional argument" +
                               (takes == "1" ? "" : "s") + " but " + std::to_string(given + 1) +
                               " were given");
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < count; ++i) {
    if (bound[i] != nullptr) continue;
    const Parameter& parameter = method.parameters[i];
    if (parameter.default_value == Default::required) {
      missing.push_back(parameter.name);
      continue;
    }
    bound[i] = default_object(parameter.default_value, self);
  }
  if (!missing.empty()) {
    raise(PyExc_TypeError, call_name(method) + " missing " +
                               plural(missing.size(), "required positional argument") + ": " +
                               listed(missing));
  }
}

PyObject* call(const Method& method, std::size_t count, PyObject* self, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames) {
  CallHold hold(self);
  try {
    // klippy passes every argument by position.
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == count) {
      return method.body(self, core_of(self), args);
    }
    PyObject* bound[kMaxParameters];
    bind_arguments(method, count, self, args, nargs, kwnames, bound);
    return method.body(self, core_of(self), bound);
  } catch (...) {
    set_error(std::current_exception());
    return nullptr;
  }
}

void set_item(const Ref& dict, PyObject* key, const Ref& value) {
  check(PyDict_SetItem(dict.get(), key, value.get()));
}

Ref optional_number(const std::optional<double>& value) {
  if (!value) return Ref::borrow(Py_None);
  return checked(PyFloat_FromDouble(*value));
}

bool same_run_status(const zcomp::RunStatus& a, const zcomp::RunStatus& b) {
  return a.running_command == b.running_command && a.last_command == b.last_command &&
         a.last_result == b.last_result && a.last_message == b.last_message &&
         a.last_z_offset == b.last_z_offset && a.saved_z_offset == b.saved_z_offset &&
         a.probe_z_offset == b.probe_z_offset &&
         a.last_point_offsets == b.last_point_offsets &&
         a.last_point_spread == b.last_point_spread &&
         a.last_remeasurements == b.last_remeasurements;
}

// The status of the running and the last command, as get_status shows it.
void add_run_status(const Ref& status, const zcomp::RunStatus& run, const Names& names) {
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

// Each call answers with a new mapping (callers may keep or change what they
// were given), copied from one kept ready while the status stays the same:
// its values are texts, numbers and None, shared safely; only the list of
// point offsets is made anew for every answer.
struct StatusCache {
  Ref ready;
  std::int64_t auto_alignment_status = 0;
  zcomp::RunStatus run;
};

Ref new_status(PyObject* self, const ZCompensate& core) {
  const Names& names = *names_of(self);
  StatusCache* cache = as_module(self)->status;
  if (cache == nullptr || cache->auto_alignment_status != core.auto_alignment_status ||
      !same_run_status(cache->run, core.run_status)) {
    Ref ready = checked(PyDict_New());
    set_item(ready, names.auto_alignment_status,
             checked(PyLong_FromLongLong(core.auto_alignment_status)));
    add_run_status(ready, core.run_status, names);
    if (cache == nullptr) cache = as_module(self)->status = new StatusCache;
    cache->ready = std::move(ready);
    cache->auto_alignment_status = core.auto_alignment_status;
    cache->run = core.run_status;
  }
  Ref status = checked(PyDict_Copy(cache->ready.get()));
  const std::vector<double>& offsets = core.run_status.last_point_offsets;
  set_item(status, names.last_point_offsets, new_list(offsets.data(), offsets.size()));
  return status;
}

// A G-code command handler: the host's command object, adapted for the procedure.
template <void (ZCompensate::*Handler)(host::GCodeCommand&)>
PyObject* command_handler(PyObject* self, ZCompensate& core, PyObject* const* args) {
  PyGCodeCommand command(Ref::borrow(args[0]), names_of(self));
  (core.*Handler)(command);
  return none();
}

zcomp::Refusal attribute_refusal(const char* name, PyObject* value);

// A number a direct call acts on: every one is checked before the call
// changes anything, and a refusal names the parameter.
double finite_argument(PyObject* value, const char* name) {
  return zcomp::checked_number(number_argument(value, name), zcomp::kFinite,
                               attribute_refusal(name, value));
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

constexpr Method kMethods[] = {
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
    {"print_msg", {{"title"}, {"msg"}, {"force", Default::false_value}},
     [](PyObject*, ZCompensate& core, PyObject* const* args) {
       const TextView title(args[0], "title");
       const TextView msg(args[1], "msg");
       const bool force = truth(args[2]);
       core.print_msg(title.view(), msg.view(), force);
       return none();
     }},
    {"ck_and_raise_error", {{"ck"}, {"err_code"}, {"vals", Default::no_values}},
     [](PyObject* self, ZCompensate& core, PyObject* const* args) {
       if (!truth(args[0])) return none();
       PyErrorRecord record(Ref::borrow(args[1]), Ref::borrow(args[2]), names_of(self));
       core.ck_and_raise_error(true, record);
       return none();
     }},
    {"move", {{"pos"}, {"speed"}, {"wait", Default::true_value}},
     [](PyObject*, ZCompensate& core, PyObject* const* args) {
       // Entries after Z are not part of a move.
       double pos[3];
       const std::size_t count = to_doubles(args[0], "pos", 0, pos, 3);
       const double speed = number_argument(args[1], "speed");
       const bool wait = truth(args[2]);
       core.move({pos, count}, speed, wait);
       return none();
     }},
    {"set_hot_temps", {{"temp"}, {"wait", Default::false_value}, {"err", Default::five}},
     heater_setter<&ZCompensate::set_hot_temps>},
    {"set_bed_temps", {{"temp"}, {"wait", Default::false_value}, {"err", Default::five}},
     heater_setter<&ZCompensate::set_bed_temps>},
    {"set_step_par", {{"load_sys", Default::true_value}},
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
       return new_status(self, core).release();
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

const std::pair<const char*, const char*> kCommandHelp[] = {
    {"cmd_VQ20MA_NOZZLE_CLEAR_help", "Clear the nozzle on bed."},
    {"cmd_Z_OFFSET_CALIBRATION_help", "Z offset calibration"},
    {"cmd_Z_OFFSET_AUTO_help", "Z offset auto"},
};

template <std::size_t Index>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  constexpr std::size_t count = kMethods[Index].parameter_count();
  return call(kMethods[Index], count, self, args, nargs, kwnames);
}

// "move($self, pos, speed, wait=True)": lets inspect show the signature.
std::string text_signature(const Method& method) {
  std::string signature = std::string(method.name) + "($self";
  for (std::size_t i = 0; i < method.parameter_count(); ++i) {
    const Parameter& parameter = method.parameters[i];
    signature += std::string(", ") + parameter.name;
    if (parameter.default_value != Default::required) {
      signature += std::string("=") + default_text(parameter.default_value);
    }
  }
  return signature + ")\n--\n\n";
}

// Made once and never changed: every import's class points into it.
template <std::size_t... Index>
const PyMethodDef* method_table(std::index_sequence<Index...>) {
  static const std::vector<std::string> docs = [] {
    std::vector<std::string> texts;
    for (const Method& method : kMethods) texts.push_back(text_signature(method));
    return texts;
  }();
  static const std::vector<PyMethodDef> table = [] {
    const _PyCFunctionFastWithKeywords entries[] = {method_entry<Index>...};
    std::vector<PyMethodDef> definitions;
    for (std::size_t i = 0; i < kMethodCount; ++i) {
      definitions.push_back({kMethods[i].name,
                             reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entries[i])),
                             METH_FASTCALL | METH_KEYWORDS, docs[i].c_str()});
    }
    definitions.push_back({nullptr, nullptr, 0, nullptr});
    return definitions;
  }();
  return table.data();
}

// Attributes.

PyObject* from_value(double value) { return PyFloat_FromDouble(value); }
PyObject* from_value(std::int64_t value) { return PyLong_FromLongLong(value); }
PyObject* from_value(bool value) { return PyBool_FromLong(value); }

PyObject* from_value(const std::array<double, 2>& values) {
  return new_list(values.data(), values.size()).release();
}

// The values Python callers assign, converted as a typed attribute would and
// checked by the rule that a key or a parameter of the same value obeys. A
// refusal names the attribute (or a direct call's parameter) and the value;
// the old value stays.
zcomp::Refusal attribute_refusal(const char* name, PyObject* value) {
  return [name, value](const std::string& broken) {
    raise(PyExc_ValueError, std::string(name) + " = " + repr(value) + ": " + broken);
  };
}

void assign(double& field, PyObject* value, const char* name, const zcomp::ValueRule& rule) {
  field = zcomp::checked_number(number_argument(value, name), rule, attribute_refusal(name, value));
}

void assign(std::int64_t& field, PyObject* value, const char* name,
            const zcomp::ValueRule& rule) {
  if (PyFloat_Check(value) || (!PyLong_Check(value) && !PyIndex_Check(value))) {
    wrong_type(name, "a whole number", value);
  }
  const Ref whole = checked(PyNumber_Index(value));
  const std::int64_t number = to_int64(whole.get(), name);
  zcomp::checked_integer(static_cast<double>(number), rule, attribute_refusal(name, value));
  field = number;
}

void assign(bool& field, PyObject* value, const char* name, const zcomp::ValueRule&) {
  if (value == Py_None) {
    field = false;
    return;
  }
  if (!PyBool_Check(value) &&
      (Py_TYPE(value)->tp_as_number == nullptr || Py_TYPE(value)->tp_as_number->nb_bool == nullptr)) {
    wrong_type(name, "a truth value", value);
  }
  field = truth(value);
}

void assign(std::array<double, 2>& field, PyObject* value, const char* name,
            const zcomp::ValueRule& rule) {
  const std::vector<double> numbers = numbers_argument(value, name);
  if (numbers.size() != field.size()) wrong_type(name, "two numbers", value);
  field = zcomp::checked_pair({numbers[0], numbers[1]}, rule, attribute_refusal(name, value));
}

// An object that was never initialised has none of its attributes, so that
// hasattr() and inspect see an empty object rather than an error.
template <typename Getter>
PyObject* get_attribute(PyObject* self, const char* name, Getter&& getter) {
  try {
    if (as_module(self)->core == nullptr) {
      raise(PyExc_AttributeError, std::string("'") + kClassName + "' object has no attribute '" +
                                      name + "' before it is initialised");
    }
    return getter(core_of(self));
  } catch (...) {
    set_error(std::current_exception());
    return nullptr;
  }
}

template <typename Setter>
int set_attribute(PyObject* self, PyObject* value, const char* name, Setter&& setter) {
  try {
    if (value == nullptr) raise(PyExc_TypeError, std::string("cannot delete ") + name);
    setter(core_of(self), value);
    return 0;
  } catch (...) {
    set_error(std::current_exception());
    return -1;
  }
}

// One plain attribute: its name, where the core keeps it and its rule.
template <typename T>
struct Field {
  const char* name;
  T ZCompensate::*member;
  const zcomp::ValueRule* rule;
};

template <typename T>
PyObject* get_field(PyObject* self, void* closure) {
  const auto* field = static_cast<const Field<T>*>(closure);
  return get_attribute(self, field->name,
                       [field](ZCompensate& core) { return from_value(core.*field->member); });
}

template <typename T>
int set_field(PyObject* self, PyObject* value, void* closure) {
  const auto* field = static_cast<const Field<T>*>(closure);
  return set_attribute(self, value, field->name, [field](ZCompensate& core, PyObject* given) {
    assign(core.*field->member, given, field->name, *field->rule);
  });
}

// The accessors are made once per type, not once per attribute: the
// attribute's own part is the closure, which lives as long as the class.
template <typename T>
PyGetSetDef field(const char* name, T ZCompensate::*member,
                  const zcomp::ValueRule& rule = zcomp::kFinite) {
  return {name, get_field<T>, set_field<T>, nullptr, new Field<T>{name, member, &rule}};
}

// A host reference attribute: the host's own object, wrapped for the
// procedures when it is set. Reading one that no command has set yet fails as
// reading a missing attribute does.
template <auto Member>
PyObject* get_host_reference(PyObject* self, void* name) {
  return get_attribute(self, static_cast<const char*>(name), [](ZCompensate& core) {
    const auto ref = (core.*Member).get();
    return dynamic_cast<const PyObjectAdapter&>(*ref).object().release();
  });
}

template <auto Member, typename Adapter>
int set_host_reference(PyObject* self, PyObject* value, void* name) {
  return set_attribute(self, value, static_cast<const char*>(name),
                       [self](ZCompensate& core, PyObject* object) {
                         NamesRef names = names_of(self);
                         if constexpr (std::is_constructible_v<Adapter, Ref, NamesRef, PyObject*>) {
                           core.*Member = std::make_shared<Adapter>(Ref::borrow(object),
                                                                    std::move(names), self);
                         } else {
                           core.*Member =
                               std::make_shared<Adapter>(Ref::borrow(object), std::move(names));
                         }
                       });
}

template <auto Member, typename Adapter>
PyGetSetDef host_reference(const char* name) {
  return {name, get_host_reference<Member>, set_host_reference<Member, Adapter>, nullptr,
          const_cast<void*>(static_cast<const void*>(name))};
}

PyObject* get_dbg_msg(PyObject* self, void*) {
  return get_attribute(self, "dbg_msg", [](ZCompensate& core) {
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
  return set_attribute(self, value, "dbg_msg", [](ZCompensate& core, PyObject* titles) {
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
  });
}

PyObject* get_tri_wave_ip(PyObject* self, void*) {
  return get_attribute(self, "tri_wave_ip", [](ZCompensate& core) -> PyObject* {
    if (!core.tri_wave_ip) return none();
    return new_text(*core.tri_wave_ip).release();
  });
}

int set_tri_wave_ip(PyObject* self, PyObject* value, void*) {
  return set_attribute(self, value, "tri_wave_ip", [](ZCompensate& core, PyObject* given) {
    std::optional<std::string> address;
    if (given != Py_None) address = to_text(given, "tri_wave_ip");
    std::string why;
    if (!core.set_tri_wave_ip(address, &why)) {
      raise(PyExc_ValueError, "tri_wave_ip: " + *address + ": " + why);
    }
  });
}

// The hook's template as the host made it; None where none is configured.
PyObject* get_on_error_gcode(PyObject* self, void*) {
  return get_attribute(self, "on_error_gcode", [](ZCompensate& core) -> PyObject* {
    const auto hook = core.on_error_gcode.held();
    if (!hook) return none();
    return dynamic_cast<const PyObjectAdapter&>(*hook).object().release();
  });
}

int set_on_error_gcode(PyObject* self, PyObject* value, void*) {
  return set_attribute(self, value, "on_error_gcode", [self](ZCompensate& core, PyObject* given) {
    if (given == Py_None) {
      core.on_error_gcode = nullptr;
      return;
    }
    core.on_error_gcode = std::make_shared<PyGCodeTemplate>(Ref::borrow(given), names_of(self));
  });
}

// Made once and never changed, as the methods are.
const PyGetSetDef* attribute_table() {
  static const std::vector<PyGetSetDef> table{
      // Host references.
      host_reference<&ZCompensate::config, PyConfigSection>("config"),
      host_reference<&ZCompensate::printer, PyPrinter>("printer"),
      host_reference<&ZCompensate::tensink, PyPressureProbe>("tensink"),
      host_reference<&ZCompensate::gcode, PyGCode>("gcode"),
      host_reference<&ZCompensate::toolhead, PyToolhead>("toolhead"),
      host_reference<&ZCompensate::bed_mesh, PyBedMesh>("bed_mesh"),
      host_reference<&ZCompensate::pheaters, PyHeaters>("pheaters"),
      host_reference<&ZCompensate::heater_hot, PyHeater>("heater_hot"),
      host_reference<&ZCompensate::heater_bed, PyHeater>("heater_bed"),
      // Working state.
      field("shut_down", &ZCompensate::shut_down),
      field("z_offset_move", &ZCompensate::z_offset_move),
      {"dbg_msg", get_dbg_msg, set_dbg_msg, nullptr, nullptr},
      field("sys_max_velocity", &ZCompensate::sys_max_velocity),
      field("sys_max_accel", &ZCompensate::sys_max_accel),
      field("sys_max_z_velocity", &ZCompensate::sys_max_z_velocity),
      field("sys_max_z_accel", &ZCompensate::sys_max_z_accel),
      field("auto_alignment_status", &ZCompensate::auto_alignment_status),
      // Tuning values.
      {"tri_wave_ip", get_tri_wave_ip, set_tri_wave_ip, nullptr, nullptr},
      field("tri_expand_mm", &ZCompensate::tri_expand_mm, zcomp::key_rules::tri_expand_mm),
      field("g29_down_min_z", &ZCompensate::g29_down_min_z, zcomp::key_rules::g29_down_min_z),
      field("z_offset_cex_axis", &ZCompensate::z_offset_cex_axis,
            zcomp::key_rules::z_offset_cex_axis),
      field("vs_start_z_pos", &ZCompensate::vs_start_z_pos, zcomp::key_rules::vs_start_z_pos),
      field("show_msg", &ZCompensate::show_msg),
      field("bl_offset", &ZCompensate::bl_offset),
      field("noz_pos_center", &ZCompensate::noz_pos_center),
      field("noz_pos_offset", &ZCompensate::noz_pos_offset),
      field("pumpback_mm", &ZCompensate::pumpback_mm, zcomp::key_rules::pumpback_mm),
      field("pr_probe_cnt", &ZCompensate::pr_probe_cnt, zcomp::key_rules::probe_count),
      field("pr_clear_probe_cnt", &ZCompensate::pr_clear_probe_cnt, zcomp::key_rules::probe_count),
      field("type_nozz", &ZCompensate::type_nozz, zcomp::key_rules::type_nozz),
      field("use_adc", &ZCompensate::use_adc),
      field("hot_start_temp", &ZCompensate::hot_start_temp),
      field("hot_end_temp", &ZCompensate::hot_end_temp),
      field("hot_rub_temp", &ZCompensate::hot_rub_temp),
      field("bed_add_temp", &ZCompensate::bed_add_temp),
      field("pa_clr_dis_mm", &ZCompensate::pa_clr_dis_mm, zcomp::key_rules::pa_clr_dis_mm),
      field("pa_clr_down_mm", &ZCompensate::pa_clr_down_mm, zcomp::key_rules::pa_clr_down_mm),
      field("clr_noz_start_x", &ZCompensate::clr_noz_start_x, zcomp::key_rules::clr_noz_start_x),
      field("clr_noz_start_y", &ZCompensate::clr_noz_start_y, zcomp::key_rules::clr_noz_start_y),
      field("clr_noz_len_x", &ZCompensate::clr_noz_len_x, zcomp::key_rules::clr_noz_len),
      field("clr_noz_len_y", &ZCompensate::clr_noz_len_y, zcomp::key_rules::clr_noz_len),
      field("clr_xy_spd", &ZCompensate::clr_xy_spd, zcomp::key_rules::clr_xy_spd),
      field("tri_min_hold", &ZCompensate::tri_min_hold, zcomp::key_rules::tri_min_hold),
      field("tri_max_hold", &ZCompensate::tri_max_hold, zcomp::key_rules::tri_max_hold),
      field("bed_max_err", &ZCompensate::bed_max_err, zcomp::key_rules::bed_max_err),
      field("pa_clr_dis_mm_x", &ZCompensate::pa_clr_dis_mm_x, zcomp::key_rules::pa_clr_dis_mm_axis),
      field("pa_clr_dis_mm_y", &ZCompensate::pa_clr_dis_mm_y, zcomp::key_rules::pa_clr_dis_mm_axis),
      field("tri_z_down_spd", &ZCompensate::tri_z_down_spd, zcomp::key_rules::probe_speed),
      field("tri_z_up_spd", &ZCompensate::tri_z_up_spd, zcomp::key_rules::probe_speed),
      field("rdy_xy_spd", &ZCompensate::rdy_xy_spd, zcomp::key_rules::rdy_xy_spd),
      field("rdy_z_spd", &ZCompensate::rdy_z_spd, zcomp::key_rules::rdy_z_spd),
      field("acc_ctl_mm", &ZCompensate::acc_ctl_mm, zcomp::key_rules::acc_ctl_mm),
      field("low_spd_nul", &ZCompensate::low_spd_nul, zcomp::key_rules::low_spd_nul),
      field("send_step_duty", &ZCompensate::send_step_duty, zcomp::key_rules::send_step_duty),
      field("run_max_velocity", &ZCompensate::run_max_velocity, zcomp::key_rules::run_max_velocity),
      field("run_max_accel", &ZCompensate::run_max_accel, zcomp::key_rules::run_max_accel),
      field("run_max_z_velocity", &ZCompensate::run_max_z_velocity,
            zcomp::key_rules::run_max_velocity),
      field("run_max_z_accel", &ZCompensate::run_max_z_accel, zcomp::key_rules::run_max_accel),
      field("max_offset_change", &ZCompensate::max_offset_change, zcomp::kDistanceLimit),
      field("point_tolerance", &ZCompensate::point_tolerance, zcomp::kDistanceLimit),
      field("point_retries", &ZCompensate::point_retries, zcomp::kRetriesLimit),
      {"on_error_gcode", get_on_error_gcode, set_on_error_gcode, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
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
    set_error(std::current_exception());
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
    set_error(std::current_exception());
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
  const auto* adapter = dynamic_cast<const PyObjectAdapter*>(ref.held().get());
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
  if (const auto* printer = dynamic_cast<const PyPrinter*>(core.printer.held().get())) {
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
      {Py_tp_methods, const_cast<PyMethodDef*>(method_table(std::make_index_sequence<kMethodCount>()))},
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
  for (const auto& [name, help] : kCommandHelp) {
    const Ref text = checked(PyUnicode_FromString(help));
    set_attr(type, name, text.get());
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
    state.z_offset_calibration_error = Ref(z_offset_calibration).release();
    state.ssap_test_error = Ref(ssap_test).release();
    state.default_vals = checked(PyList_New(0)).release();
    state.default_err = checked(PyLong_FromLong(5)).release();

    add_object(module, kClassName, make_class(module));
    return 0;
  } catch (...) {
    set_error(std::current_exception());
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
