// Native classes: the traits every class of the package shares.
//
// Instances keep their state in native fields, have no instance dict and no weak references, can be subclassed
// from Python, use the host's identity equality, hash and repr, and refuse pickling and copying. A class whose
// instances hold host objects takes part in cyclic GC over exactly those fields; clearing replaces them with None.
// Construction runs the class's native initialiser (in tp_new) and then the host's default __init__.
#pragma once

#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <utility>

#include "frame/binding.h"
#include "frame/function.h"
#include "frame/kinds.h"
#include "frame/ref.h"

namespace korvane::frame {

struct ClassDef {
  const char* name;  // full dotted name, e.g. "korvane.memory.tessin.AtomicCounter"
  Py_ssize_t basicsize;
  const char* doc = nullptr;
  newfunc new_ = nullptr;
  destructor dealloc = nullptr;
  traverseproc traverse = nullptr;  // set for classes that hold host objects (enables GC)
  inquiry clear = nullptr;
  PyGetSetDef* getset = nullptr;
  reprfunc repr = nullptr;
  PySequenceMethods* as_sequence = nullptr;
  PyNumberMethods* as_number = nullptr;
};

namespace detail {

[[gnu::cold, gnu::noinline]] inline PyObject* refuse_pickle() {
  PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
  return nullptr;
}

inline PyObject* reduce_impl(PyObject*) { return refuse_pickle(); }
inline PyObject* setstate_impl(PyObject*, PyObject*) { return refuse_pickle(); }

}  // namespace detail

// The module-relative part of a class's dotted name ("AtomicCounter" of "korvane.memory.tessin.AtomicCounter").
inline const char* short_class_name(const PyTypeObject* type) {
  const char* dot = strrchr(type->tp_name, '.');
  return dot != nullptr ? dot + 1 : type->tp_name;
}

inline Ref module_name_of(const PyTypeObject* type) {
  const char* dot = strrchr(type->tp_name, '.');
  return Ref::steal(PyUnicode_FromStringAndSize(type->tp_name, dot != nullptr ? dot - type->tp_name : 0));
}

// Sets an attribute of a ready native class (its dict is otherwise read-only from Python).
inline bool set_class_attr(PyTypeObject* type, const char* name, PyObject* value) {
  int r = PyDict_SetItemString(type->tp_dict, name, value);
  PyType_Modified(type);
  return r == 0;
}

// Creates a function in method mode and binds it on the class under its own name and under each alias.
inline PyObject* add_method(PyTypeObject* type, const FunctionDef& def,
                            std::initializer_list<const char*> aliases = {}) {
  Ref module = module_name_of(type);
  if (!module) return nullptr;
  Ref f = Ref::steal(make_function(def, type, PyUnicode_AsUTF8(module.get()), short_class_name(type)));
  if (!f || !set_class_attr(type, def.name, f.get())) return nullptr;
  for (const char* alias : aliases)
    if (!set_class_attr(type, alias, f.get())) return nullptr;
  return f.get();  // borrowed: the class keeps it
}

// Creates a function in method mode and binds it on the class under `attr`, a name other than its own __name__.
inline bool add_method_as(PyTypeObject* type, const char* attr, const FunctionDef& def) {
  Ref module = module_name_of(type);
  if (!module) return false;
  Ref f = Ref::steal(make_function(def, type, PyUnicode_AsUTF8(module.get()), short_class_name(type)));
  return f && set_class_attr(type, attr, f.get());
}

// Binds a plain-mode function on the class as a static method under `attr`.
inline bool add_static_method(PyTypeObject* type, const char* attr, const FunctionDef& def) {
  Ref module = module_name_of(type);
  if (!module) return false;
  Ref f = Ref::steal(make_function(def, nullptr, PyUnicode_AsUTF8(module.get()), short_class_name(type)));
  if (!f) return false;
  Ref sm = Ref::steal(PyStaticMethod_New(f.get()));
  return sm && set_class_attr(type, attr, sm.get());
}

// Gives a class its pickling refusal: __reduce__() and __setstate__(state) raise TypeError.
inline bool refuse_pickling(PyTypeObject* type) {
  return add_method(type, {method_entry<detail::reduce_impl, PyObject>, "__reduce__"}) &&
         add_method(type, {method_entry<detail::setstate_impl, PyObject, kind::Object>, "__setstate__", {"state"}});
}

// Readies a static type object with the class traits. The object must have been zero-initialised with a
// PyVarObject head (see `KORVANE_CLASS_OBJECT`).
inline bool ready_class(PyTypeObject* type, const ClassDef& def) {
  if (type->tp_flags & Py_TPFLAGS_READY) return true;
  type->tp_name = def.name;
  type->tp_basicsize = def.basicsize;
  type->tp_itemsize = 0;
  type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | (def.traverse != nullptr ? Py_TPFLAGS_HAVE_GC : 0);
  type->tp_doc = def.doc;
  type->tp_new = def.new_;
  type->tp_dealloc = def.dealloc;
  type->tp_traverse = def.traverse;
  type->tp_clear = def.clear;
  type->tp_getset = def.getset;
  type->tp_repr = def.repr;
  type->tp_as_sequence = def.as_sequence;
  type->tp_as_number = def.as_number;
  if (PyType_Ready(type) < 0) return false;
  return refuse_pickling(type);
}

// Object fields of a class that holds host objects, for its GC hooks and its destructor.
template <class T, PyObject* T::*... Fields>
struct ObjectFields {
  static int traverse(PyObject* self, visitproc visit, void* arg) {
    T* obj = reinterpret_cast<T*>(self);
    for (PyObject* field : {obj->*Fields...}) Py_VISIT(field);
    return 0;
  }
  // GC clearing replaces each field with None.
  static int clear(PyObject* self) {
    T* obj = reinterpret_cast<T*>(self);
    (replace_field(obj->*Fields, none()), ...);
    return 0;
  }
  static void release(T* obj) { (clear_one(obj->*Fields), ...); }
  static void clear_one(PyObject*& field) { Py_CLEAR(field); }
};

// The destructor of a GC class: untrack, run `finish` (native memory), release the object fields, free.
template <class T, class Fields, void (*Finish)(T*) = nullptr>
void gc_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if constexpr (Finish != nullptr) Finish(reinterpret_cast<T*>(self));
  Fields::release(reinterpret_cast<T*>(self));
  Py_TYPE(self)->tp_free(self);
}

// The destructor of a class without object fields.
template <class T, void (*Finish)(T*) = nullptr>
void plain_dealloc(PyObject* self) {
  if constexpr (Finish != nullptr) Finish(reinterpret_cast<T*>(self));
  Py_TYPE(self)->tp_free(self);
}

// A native initialiser with parameters: binds the constructor arguments like a method (messages under the
// initialiser's own name), converts them, allocates the instance and runs `Init(T*, values...)`, which returns
// false with an exception set on failure.
template <class T, auto Init, class... Kinds>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwds, const Signature& sig) {
  constexpr Py_ssize_t n = sizeof...(Kinds);
  PyObject* bound[n > 0 ? n : 1];
  if (!bind_tuple(sig, args, kwds, bound)) return nullptr;
  return [&]<std::size_t... I>(std::index_sequence<I...>) -> PyObject* {
    std::tuple<typename Kinds::type...> values;
    if (!(Kinds::convert(bound[I], std::get<I>(values), kind::Param{PyTuple_GET_ITEM(sig.params, I)}) && ...))
      return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    if (!Init(reinterpret_cast<T*>(self.get()), std::get<I>(values)...)) return nullptr;
    return self.release();
  }(std::index_sequence_for<Kinds...>{});
}

// A native initialiser without parameters: every constructor argument is accepted and ignored.
template <class T, bool (*Init)(T*)>
PyObject* construct_ignoring_args(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self || !Init(reinterpret_cast<T*>(self.get()))) return nullptr;
  return self.release();
}

// Public object attribute: reads return the stored object (None when empty), assignment stores any object,
// deletion stores None.
template <class T, PyObject* T::* Field>
struct ObjectAttribute {
  static PyObject* get(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<T*>(self)->*Field;
    return new_ref(v != nullptr ? v : Py_None);
  }
  static int set(PyObject* self, PyObject* value, void*) {
    replace_field(reinterpret_cast<T*>(self)->*Field, new_ref(value != nullptr ? value : Py_None));
    return 0;
  }
};

// Typed property over a native field: reads convert to a host value, assignment converts with the kind (a failing
// conversion leaves the field unchanged), deletion raises NotImplementedError("__del__").
template <class T, class Kind, typename Kind::type T::* Field>
struct TypedProperty {
  static PyObject* get(PyObject* self, void*) { return Kind::to_python(reinterpret_cast<T*>(self)->*Field); }
  static int set(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
      PyErr_SetString(PyExc_NotImplementedError, "__del__");
      return -1;
    }
    typename Kind::type v;
    if (!Kind::convert(value, v, kind::Param{nullptr, "value"})) return -1;
    reinterpret_cast<T*>(self)->*Field = v;
    return 0;
  }
};

// Overridable methods. The class's own internal call of an overridable method goes to a Python subclass's
// override when there is one; for an instance of exactly the native class it runs the native code directly.
// `find_override` returns true with `out` empty when the native code applies, true with `out` holding the bound
// override to call, or false with an exception set.
inline bool find_override(PyObject* self, PyTypeObject* native_type, PyObject* name, PyObject* native_function,
                          Ref& out) {
  if (Py_TYPE(self) == native_type) return true;
  Ref attr = Ref::steal(PyObject_GetAttr(self, name));
  if (!attr) return false;
  if ((PyMethod_Check(attr.get()) && PyMethod_GET_FUNCTION(attr.get()) == native_function &&
       PyMethod_GET_SELF(attr.get()) == self) ||
      attr.get() == native_function)
    return true;
  out = std::move(attr);
  return true;
}

}  // namespace korvane::frame

// Defines a zero-initialised static type object with a valid object head, readied later with `ready_class`.
#define KORVANE_CLASS_OBJECT(var)                                                                    \
  _Pragma("GCC diagnostic push")                                                                     \
      _Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"") static PyTypeObject var = { \
          PyVarObject_HEAD_INIT(nullptr, 0)};                                                        \
  _Pragma("GCC diagnostic pop")
