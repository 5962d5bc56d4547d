// The function type of the package's native functions and methods.
//
// The interpreter's built-in function type carries neither __defaults__ nor __annotations__, so modules use this
// one. A Function is called through vectorcall with no argument tuple or dict built per call. It sets
// Py_TPFLAGS_METHOD_DESCRIPTOR, so `obj.method(...)` passes `obj` as args[0] without creating a bound method, and
// its __get__ returns the function itself when read from a class and a bound method when read from an instance.
//
// Two calling modes:
// - method: the function lives in a native class; self is args[0], is type-checked, and is not counted in the
//   count message;
// - plain: every argument is a parameter (module functions, static methods, and functions placed in a plain Python
//   class, where `self` is an ordinary, counted parameter).
#pragma once

#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <initializer_list>
#include <tuple>
#include <utility>

#include "frame/binding.h"
#include "frame/kinds.h"
#include "frame/ref.h"

namespace korvane::frame {

struct Function {
  PyObject_HEAD vectorcallfunc vectorcall;
  Signature sig;
  PyTypeObject* owner;  // the class whose instances a method accepts as self; nullptr in plain mode
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* annotations;
};

namespace detail {

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<Function*>(self);
  Py_VISIT(f->sig.defaults);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->annotations);
  return 0;
}

inline int function_clear(PyObject* self) {
  auto* f = reinterpret_cast<Function*>(self);
  Py_CLEAR(f->sig.defaults);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->annotations);
  return 0;
}

inline void function_dealloc(PyObject* self) {
  auto* f = reinterpret_cast<Function*>(self);
  PyObject_GC_UnTrack(self);
  function_clear(self);
  Py_CLEAR(f->sig.params);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  PyObject_GC_Del(self);
}

inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return new_ref(self);
  return PyMethod_New(self, obj);
}

inline PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function*>(self)->qualname, self);
}

inline PyObject* get_defaults(PyObject* self, void*) {
  PyObject* d = reinterpret_cast<Function*>(self)->sig.defaults;
  return new_ref(d != nullptr && PyTuple_GET_SIZE(d) > 0 ? d : Py_None);
}

inline PyObject* get_annotations(PyObject* self, void*) {
  return new_ref(reinterpret_cast<Function*>(self)->annotations);
}

inline PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyGetSetDef function_getset[] = {
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyTypeObject* make_function_type() {
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
      {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
      {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_members, function_members},
      {Py_tp_getset, function_getset},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      "korvane_function",
      sizeof(Function),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL,
      slots,
  };
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  // Function objects are made only by the module code that fills them in: the type must not inherit object's
  // constructor, whose empty instances (no name, no vectorcall) would crash on their first use.
  if (type != nullptr) type->tp_new = nullptr;
  return type;
}

// The function type of this extension module, made once.
inline PyTypeObject* function_type() {
  static PyTypeObject* type = make_function_type();
  return type;
}

[[gnu::cold, gnu::noinline]] inline PyObject* missing_self(const Function* f) {
  PyErr_Format(PyExc_TypeError, "descriptor '%U' of '%.100s' object needs an argument", f->name, f->owner->tp_name);
  return nullptr;
}

[[gnu::cold, gnu::noinline]] inline PyObject* wrong_self(const Function* f, PyObject* self) {
  PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object", f->name,
               f->owner->tp_name, Py_TYPE(self)->tp_name);
  return nullptr;
}

// Converts the bound arguments in parameter order (the first failure ends the call) and runs the body.
template <class Call, class... Kinds, std::size_t... I>
inline PyObject* convert_and_call(const Signature& sig, PyObject* const* bound, Call&& call,
                                  std::index_sequence<I...>) {
  std::tuple<typename Kinds::type...> values;
  if (!(Kinds::convert(bound[I], std::get<I>(values), kind::Param{PyTuple_GET_ITEM(sig.params, I)}) && ...))
    return nullptr;
  return call(std::get<I>(values)...);
}

// Binds and converts the arguments of a call with `nargs` positional arguments at `args`, then runs `call`.
template <class... Kinds, class Call>
inline PyObject* bind_and_call(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                               Call&& call) {
  constexpr Py_ssize_t n = sizeof...(Kinds);
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) == 0) kwnames = nullptr;
  if constexpr (n == 0) {
    if (nargs != 0 || kwnames != nullptr) {
      PyObject* unused[1];
      if (!bind_vector(sig, args, nargs, kwnames, unused)) return nullptr;
    }
    return call();
  } else {
    PyObject* bound[n];
    PyObject* const* from = args;
    if (nargs != n || kwnames != nullptr) {
      if (!bind_vector(sig, args, nargs, kwnames, bound)) return nullptr;
      from = bound;
    }
    return convert_and_call<Call, Kinds...>(sig, from, std::forward<Call>(call), std::index_sequence_for<Kinds...>{});
  }
}

}  // namespace detail

// Vectorcall entry of a method of a native class: `Impl(Self*, values...)` returns a new reference or nullptr.
template <auto Impl, class Self, class... Kinds>
PyObject* method_entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  auto* f = reinterpret_cast<Function*>(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs < 1) return detail::missing_self(f);
  PyObject* self = args[0];
  if (Py_TYPE(self) != f->owner && !PyType_IsSubtype(Py_TYPE(self), f->owner)) return detail::wrong_self(f, self);
  return detail::bind_and_call<Kinds...>(f->sig, args + 1, nargs - 1, kwnames, [self](auto&... values) {
    return Impl(reinterpret_cast<Self*>(self), values...);
  });
}

// Vectorcall entry of a plain function: `Impl(values...)`.
template <auto Impl, class... Kinds>
PyObject* function_entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  auto* f = reinterpret_cast<Function*>(callable);
  return detail::bind_and_call<Kinds...>(f->sig, args, PyVectorcall_NARGS(nargsf), kwnames,
                                         [](auto&... values) { return Impl(values...); });
}

// A default value of a parameter, or an annotation entry.
struct Value {
  enum Tag { Int, Float, NoneValue, True, False } tag;
  long long i = 0;
  double d = 0.0;
  Value(int v) : tag(Int), i(v) {}
  Value(long long v) : tag(Int), i(v) {}
  Value(double v) : tag(Float), d(v) {}
  Value(std::nullptr_t) : tag(NoneValue) {}
  static Value boolean(bool b) { return Value(b ? True : False); }
  PyObject* make() const {
    switch (tag) {
      case Int:
        return PyLong_FromLongLong(i);
      case Float:
        return PyFloat_FromDouble(d);
      case True:
        return new_ref(Py_True);
      case False:
        return new_ref(Py_False);
      case NoneValue:
        break;
    }
    return none();
  }

 private:
  explicit Value(Tag t) : tag(t) {}
};

struct Annotation {
  const char* name;
  const char* value;
};

// What a module declares for one function. `params` lists the parameter names (self excluded for methods);
// the last `defaults.size()` of them are optional.
struct FunctionDef {
  vectorcallfunc entry;
  const char* name;
  std::initializer_list<const char*> params = {};
  std::initializer_list<Value> defaults = {};
  std::initializer_list<Annotation> annotations = {};
  const char* doc = nullptr;
  const char* qualname = nullptr;  // defaults to "<Class>.<name>" for methods, "<name>" otherwise
};

// Fills a Signature from names and defaults (used by functions and native initialisers).
inline bool make_signature(Signature& sig, const char* name, std::initializer_list<const char*> params,
                           std::initializer_list<Value> defaults) {
  sig.name = name;
  sig.nparams = static_cast<Py_ssize_t>(params.size());
  sig.nrequired = sig.nparams - static_cast<Py_ssize_t>(defaults.size());
  Ref names = Ref::steal(PyTuple_New(sig.nparams));
  Ref values = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
  if (!names || !values) return false;
  Py_ssize_t i = 0;
  for (const char* p : params) {
    PyObject* s = PyUnicode_InternFromString(p);
    if (s == nullptr) return false;
    PyTuple_SET_ITEM(names.get(), i++, s);
  }
  i = 0;
  for (const Value& v : defaults) {
    PyObject* o = v.make();
    if (o == nullptr) return false;
    PyTuple_SET_ITEM(values.get(), i++, o);
  }
  replace_field(sig.params, names.release());
  replace_field(sig.defaults, values.release());
  return true;
}

// Creates a function object. `owner` is the native class for method mode, nullptr for plain mode.
// `module_name` is the __module__ text; `class_name` (may be nullptr) prefixes the default __qualname__.
inline PyObject* make_function(const FunctionDef& def, PyTypeObject* owner, const char* module_name,
                               const char* class_name) {
  PyTypeObject* type = detail::function_type();
  if (type == nullptr) return nullptr;
  auto* f = PyObject_GC_New(Function, type);
  if (f == nullptr) return nullptr;
  f->vectorcall = def.entry;
  f->sig = Signature{};
  f->owner = owner;
  f->name = f->qualname = f->module = f->doc = f->annotations = nullptr;
  Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));
  if (!make_signature(f->sig, def.name, def.params, def.defaults)) return nullptr;
  f->name = PyUnicode_InternFromString(def.name);
  if (def.qualname != nullptr)
    f->qualname = PyUnicode_FromString(def.qualname);
  else if (class_name != nullptr)
    f->qualname = PyUnicode_FromFormat("%s.%s", class_name, def.name);
  else
    f->qualname = PyUnicode_FromString(def.name);
  f->module = PyUnicode_FromString(module_name);
  f->doc = def.doc != nullptr ? PyUnicode_FromString(def.doc) : none();
  f->annotations = PyDict_New();
  if (!f->name || !f->qualname || !f->module || !f->doc || !f->annotations) return nullptr;
  for (const Annotation& a : def.annotations) {
    Ref value = Ref::steal(PyUnicode_FromString(a.value));
    if (!value || PyDict_SetItemString(f->annotations, a.name, value.get()) < 0) return nullptr;
  }
  PyObject_GC_Track(self.get());
  return self.release();
}

inline bool is_function(PyObject* obj) { return Py_TYPE(obj) == detail::function_type(); }

}  // namespace korvane::frame
