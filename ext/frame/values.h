// Building host values, and the interpreter's own behaviour for the few statements the modules reproduce
// (`a, b = obj`, `len(None)`, `obj.method(...)`, `format(x, ".1f")`).
#pragma once

#include <Python.h>

#include <initializer_list>

#include "frame/module.h"
#include "frame/ref.h"

namespace korvane::frame {

// A tuple that steals the given new references; on failure (one of them null, or no memory) all are released.
inline PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  bool ok = t != nullptr;
  Py_ssize_t i = 0;
  for (PyObject* item : items) {
    ok = ok && item != nullptr;
    if (ok)
      PyTuple_SET_ITEM(t, i++, item);
    else
      Py_XDECREF(item);
  }
  if (ok) return t;
  Py_XDECREF(t);
  return nullptr;
}

// `len(None)`.
[[gnu::cold, gnu::noinline]] inline PyObject* none_has_no_len() {
  PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
  return nullptr;
}

// "Expected <type>, got <type of obj>" TypeError; `obj` stays the caller's.
[[gnu::cold, gnu::noinline]] inline PyObject* expected_type_error(const char* expected, PyObject* obj,
                                                                  const char* format = "Expected %.200s, got %.200s") {
  PyErr_Format(PyExc_TypeError, format, expected, Py_TYPE(obj)->tp_name);
  return nullptr;
}

// Takes the pending exception: returns its normalised value and clears the error indicator.
inline Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
#endif
}

namespace detail {

[[gnu::cold, gnu::noinline]] inline bool not_enough_values(Py_ssize_t got) {
  PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
  return false;
}

[[gnu::cold, gnu::noinline]] inline bool too_many_values() {
  PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
  return false;
}

[[gnu::noinline]] inline bool unpack_iterable(PyObject* obj, Ref& first, Ref& second) {
  Ref it = Ref::steal(PyObject_GetIter(obj));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(obj)->tp_iter == nullptr && !PySequence_Check(obj))
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
    return false;
  }
  first = Ref::steal(PyIter_Next(it.get()));
  if (!first) return PyErr_Occurred() ? false : not_enough_values(0);
  second = Ref::steal(PyIter_Next(it.get()));
  if (!second) return PyErr_Occurred() ? false : not_enough_values(1);
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) return too_many_values();
  return !PyErr_Occurred();
}

}  // namespace detail

// `first, second = obj`, with the interpreter's messages. Exact tuples and lists are read directly; both items are
// held by the caller afterwards, since converting them may run Python code that changes a list.
inline bool unpack_two(PyObject* obj, Ref& first, Ref& second) {
  Py_ssize_t size;
  PyObject* const* items;
  if (PyTuple_CheckExact(obj)) {
    size = PyTuple_GET_SIZE(obj);
    items = &PyTuple_GET_ITEM(obj, 0);
  } else if (PyList_CheckExact(obj)) {
    size = PyList_GET_SIZE(obj);
    items = PySequence_Fast_ITEMS(obj);
  } else {
    return detail::unpack_iterable(obj, first, second);
  }
  if (size != 2) return size < 2 ? detail::not_enough_values(size) : detail::too_many_values();
  first = Ref::borrow(items[0]);
  second = Ref::borrow(items[1]);
  return true;
}

// `obj.name(args...)` without making a bound method. `obj` is held for the call, which may drop the attribute or
// container it was read from. The slot in front of the arguments lets a bound callee prepend its self without
// copying. Returns a new reference.
template <class... Args>
PyObject* call_method(PyObject* obj, PyObject* name, Args... args) {
  Ref hold = Ref::borrow(obj);
  PyObject* argv[] = {nullptr, obj, args...};
  return PyObject_VectorcallMethod(name, argv + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `<module attribute>.method(args...)`, the attribute read at the moment of the call.
template <class... Args>
PyObject* call_global_method(PyObject* global_name, PyObject* method, Args... args) {
  Ref target = Ref::steal(global(global_name));
  return target ? call_method(target.get(), method, args...) : nullptr;
}

// `format(value, ".1f") + "%"`.
inline PyObject* percent_text(double value) {
  char* digits = PyOS_double_to_string(value, 'f', 1, 0, nullptr);
  if (digits == nullptr) return PyErr_NoMemory();
  PyObject* text = PyUnicode_FromFormat("%s%%", digits);
  PyMem_Free(digits);
  return text;
}

}  // namespace korvane::frame
