// A small kit for a native class's methods and attributes: each method is
// declared with its parameters and their defaults, and binds positional and
// keyword arguments by Python's own rules and wording; each attribute is
// declared with where the object keeps it and the rule its values obey.
//
// `Class` says what the kit needs of the class it serves:
//   using Core = ...;                  what the methods and attributes act on
//   static constexpr const char* name; the class's name, as errors show it
//   static Core& core(PyObject*);      the object's core, or the exception
//   static bool initialised(PyObject*);
//   static NamesRef names(PyObject*);  for the adapters of host references
//   static void set_error(const std::exception_ptr&);
//
// Every entry point binds its own arguments on the C stack of its call:
// nothing is kept per thread or per call elsewhere, so a host call may switch
// greenlets under any of them and calls may return in any order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "py_api.h"
#include "py_host.h"
#include "value_rules.h"

namespace zcomp::binding {

using py_api::Ref;

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

inline PyObject* none() { Py_RETURN_NONE; }

// Methods.

constexpr std::size_t kMaxParameters = 4;

// A parameter's default: as a signature shows it, and the object itself, the
// same on every call.
struct Default {
  const char* text;
  PyObject* (*object)(PyObject* self);
};

struct Parameter {
  const char* name = nullptr;
  // Null for a required parameter.
  const Default* default_value = nullptr;
};

template <typename Class>
struct Method {
  using Body = PyObject* (*)(PyObject* self, typename Class::Core& core, PyObject* const* args);
  const char* name;
  Parameter parameters[kMaxParameters];
  Body body;

  constexpr std::size_t parameter_count() const {
    std::size_t count = 0;
    while (count < kMaxParameters && parameters[count].name != nullptr) ++count;
    return count;
  }
};

// The method's arguments in parameter order, defaults filled in, by Python's
// own rules and wording for binding positional and keyword arguments; counts
// include the object, as a def's do.
void bind_arguments(const char* class_name, const char* method_name, const Parameter* parameters,
                    std::size_t count, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound);

// "move($self, pos, speed, wait=True)\n--\n\n": lets inspect show the signature.
std::string text_signature(const char* method_name, const Parameter* parameters,
                           std::size_t count);

template <typename Class>
PyObject* call(const Method<Class>& method, std::size_t count, PyObject* self,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CallHold hold(self);
  try {
    // klippy passes every argument by position.
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == count) {
      return method.body(self, Class::core(self), args);
    }
    PyObject* bound[kMaxParameters];
    bind_arguments(Class::name, method.name, method.parameters, count, self, args, nargs,
                   kwnames, bound);
    return method.body(self, Class::core(self), bound);
  } catch (...) {
    Class::set_error(std::current_exception());
    return nullptr;
  }
}

template <typename Class, const auto& Methods, std::size_t Index>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  constexpr std::size_t count = Methods[Index].parameter_count();
  return call<Class>(Methods[Index], count, self, args, nargs, kwnames);
}

// The class's method table, made once and never changed: every import's class
// points into it.
template <typename Class, const auto& Methods, std::size_t... Index>
const PyMethodDef* method_table(std::index_sequence<Index...>) {
  constexpr std::size_t kCount = sizeof...(Index);
  static const std::vector<std::string> docs = [] {
    std::vector<std::string> texts;
    for (const Method<Class>& method : Methods) {
      texts.push_back(text_signature(method.name, method.parameters, method.parameter_count()));
    }
    return texts;
  }();
  static const std::vector<PyMethodDef> table = [] {
    const _PyCFunctionFastWithKeywords entries[] = {method_entry<Class, Methods, Index>...};
    std::vector<PyMethodDef> definitions;
    for (std::size_t i = 0; i < kCount; ++i) {
      definitions.push_back({Methods[i].name,
                             reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entries[i])),
                             METH_FASTCALL | METH_KEYWORDS, docs[i].c_str()});
    }
    definitions.push_back({nullptr, nullptr, 0, nullptr});
    return definitions;
  }();
  return table.data();
}

// A number a direct call acts on: every one is checked before the call
// changes anything, and a refusal names the parameter.
double finite_argument(PyObject* value, const char* name);

// Attributes.

PyObject* from_value(double value);
PyObject* from_value(std::int64_t value);
PyObject* from_value(bool value);
PyObject* from_value(const std::array<double, 2>& values);

// The values Python callers assign, converted as a typed attribute would and
// checked by the rule that a key or a parameter of the same value obeys. A
// refusal names the attribute (or a direct call's parameter) and the value;
// the old value stays.
void assign(double& field, PyObject* value, const char* name, const ValueRule& rule);
void assign(std::int64_t& field, PyObject* value, const char* name, const ValueRule& rule);
void assign(bool& field, PyObject* value, const char* name, const ValueRule& rule);
void assign(std::array<double, 2>& field, PyObject* value, const char* name,
            const ValueRule& rule);

// Every attribute's getter and setter share one body: the object's check,
// and the Python exception for what the attribute's own part threw. That
// part comes as a function and its data, so that each attribute adds only
// what is its own.
template <typename Class>
using AttributeReader = PyObject* (*)(typename Class::Core& core, const void* part);
template <typename Class>
using AttributeWriter = void (*)(typename Class::Core& core, PyObject* value, const void* part);

// An object that was never initialised has none of its attributes, so that
// hasattr() and inspect see an empty object rather than an error.
template <typename Class>
PyObject* read_attribute(PyObject* self, const char* name, AttributeReader<Class> read,
                         const void* part) {
  try {
    if (!Class::initialised(self)) {
      py_api::raise(PyExc_AttributeError, std::string("'") + Class::name +
                                              "' object has no attribute '" + name +
                                              "' before it is initialised");
    }
    return read(Class::core(self), part);
  } catch (...) {
    Class::set_error(std::current_exception());
    return nullptr;
  }
}

template <typename Class>
int write_attribute(PyObject* self, PyObject* value, const char* name,
                    AttributeWriter<Class> write, const void* part) {
  try {
    if (value == nullptr) py_api::raise(PyExc_TypeError, std::string("cannot delete ") + name);
    write(Class::core(self), value, part);
    return 0;
  } catch (...) {
    Class::set_error(std::current_exception());
    return -1;
  }
}

template <typename Class, typename Getter>
PyObject* get_attribute(PyObject* self, const char* name, const Getter& getter) {
  return read_attribute<Class>(
      self, name,
      [](typename Class::Core& core, const void* part) -> PyObject* {
        return (*static_cast<const Getter*>(part))(core);
      },
      &getter);
}

template <typename Class, typename Setter>
int set_attribute(PyObject* self, PyObject* value, const char* name, const Setter& setter) {
  return write_attribute<Class>(
      self, value, name,
      [](typename Class::Core& core, PyObject* given, const void* part) {
        (*static_cast<const Setter*>(part))(core, given);
      },
      &setter);
}

// One plain attribute: its name, where the core keeps it and its rule.
template <typename Class, typename T>
struct Field {
  const char* name;
  T Class::Core::*member;
  const ValueRule* rule;
};

template <typename Class, typename T>
PyObject* get_field(PyObject* self, void* closure) {
  const auto* field = static_cast<const Field<Class, T>*>(closure);
  return get_attribute<Class>(self, field->name, [field](typename Class::Core& core) {
    return from_value(core.*field->member);
  });
}

template <typename Class, typename T>
int set_field(PyObject* self, PyObject* value, void* closure) {
  const auto* field = static_cast<const Field<Class, T>*>(closure);
  return set_attribute<Class>(self, value, field->name,
                              [field](typename Class::Core& core, PyObject* given) {
                                assign(core.*field->member, given, field->name, *field->rule);
                              });
}

// The accessors are made once per type, not once per attribute: the
// attribute's own part is the closure, which lives as long as the class.
template <typename Class, typename T, typename Owner>
PyGetSetDef field(const char* name, T Owner::*member, const ValueRule& rule = kFinite) {
  return {name, get_field<Class, T>, set_field<Class, T>, nullptr,
          new Field<Class, T>{name, static_cast<T Class::Core::*>(member), &rule}};
}

// A host reference attribute: the host's own object, wrapped for the
// procedures when it is set. Reading one that no command has set yet fails as
// reading a missing attribute does. As with plain attributes, the accessors
// are made once, not once per reference: the reference's own part (its name,
// and how its handle is read and replaced) is the closure.
template <typename Class>
struct HostReference {
  const char* name;
  Ref (*object)(typename Class::Core& core);
  void (*replace)(PyObject* self, typename Class::Core& core, PyObject* object);
};

template <typename Class>
PyObject* get_host_reference(PyObject* self, void* closure) {
  const auto* reference = static_cast<const HostReference<Class>*>(closure);
  return get_attribute<Class>(self, reference->name, [reference](typename Class::Core& core) {
    return reference->object(core).release();
  });
}

template <typename Class>
int set_host_reference(PyObject* self, PyObject* value, void* closure) {
  const auto* reference = static_cast<const HostReference<Class>*>(closure);
  return set_attribute<Class>(self, value, reference->name,
                              [self, reference](typename Class::Core& core, PyObject* object) {
                                reference->replace(self, core, object);
                              });
}

template <typename Class, auto Member>
Ref host_object(typename Class::Core& core) {
  const auto ref = (core.*Member).get();
  return dynamic_cast<const py_host::PyObjectAdapter&>(*ref).object();
}

template <typename Class, auto Member, typename Adapter>
void replace_host_object(PyObject* self, typename Class::Core& core, PyObject* object) {
  py_host::NamesRef names = Class::names(self);
  if constexpr (std::is_constructible_v<Adapter, Ref, py_host::NamesRef, PyObject*>) {
    core.*Member = std::make_shared<Adapter>(Ref::borrow(object), std::move(names), self);
  } else {
    core.*Member = std::make_shared<Adapter>(Ref::borrow(object), std::move(names));
  }
}

template <typename Class, auto Member, typename Adapter>
PyGetSetDef host_reference(const char* name) {
  return {name, get_host_reference<Class>, set_host_reference<Class>, nullptr,
          new HostReference<Class>{name, host_object<Class, Member>,
                                   replace_host_object<Class, Member, Adapter>}};
}

}  // namespace zcomp::binding
