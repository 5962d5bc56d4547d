// Parameter kinds: how one Python argument becomes a native value, and the errors a bad argument raises.
//
// Every kind has `type` (the native value a function body receives) and
// `static bool convert(PyObject* obj, type& out, const Param& param)`, which returns false with an exception set.
// Numeric kinds also have `to_python`, used for results and typed properties.
#pragma once

#include <Python.h>

#include <cstdint>
#include <limits>

#include "frame/ref.h"

namespace korvane::kind {

// The name of the parameter being converted, for the messages that print it. Resolved only on error paths.
struct Param {
  PyObject* name_object = nullptr;
  const char* name_text = nullptr;
  const char* name() const { return name_text != nullptr ? name_text : PyUnicode_AsUTF8(name_object); }
};

namespace detail {

[[gnu::cold, gnu::noinline]] inline bool integer_required() {
  PyErr_SetString(PyExc_TypeError, "an integer is required");
  return false;
}

// The int that a non-int argument stands for: the result of its type's __int__ (a float truncates toward zero).
// Returns a new reference, or nullptr with an exception set.
[[gnu::cold, gnu::noinline]] inline PyObject* int_from_dunder(PyObject* obj) {
  PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
  if (nb == nullptr || nb->nb_int == nullptr) {
    integer_required();
    return nullptr;
  }
  PyObject* result = nb->nb_int(obj);
  if (result == nullptr || PyLong_CheckExact(result)) return result;
  if (PyLong_Check(result)) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict "
                         "subclass of int is deprecated, and may be removed in a future version of Python.",
                         Py_TYPE(result)->tp_name) < 0) {
      Py_DECREF(result);
      return nullptr;
    }
    return result;
  }
  PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result)->tp_name);
  Py_DECREF(result);
  return nullptr;
}

[[gnu::cold, gnu::noinline]] inline bool out_of_range(const char* c_type, bool negative) {
  PyErr_Format(PyExc_OverflowError, "value too %s to convert to %s", negative ? "small" : "large", c_type);
  return false;
}

[[gnu::cold, gnu::noinline]] inline bool negative_unsigned(const char* c_type) {
  PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", c_type);
  return false;
}

// Signed conversion of an int object into [lo, hi].
template <class T>
inline bool signed_from_long(PyObject* value, T& out, const char* c_type) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0) return out_of_range(c_type, overflow < 0);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < static_cast<long long>(std::numeric_limits<T>::min()) ||
      v > static_cast<long long>(std::numeric_limits<T>::max()))
    return out_of_range(c_type, v < 0);
  out = static_cast<T>(v);
  return true;
}

// Unsigned conversion of an int object into [0, max]; negative values get their own message.
template <class T>
inline bool unsigned_from_long(PyObject* value, T& out, const char* c_type) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow < 0 || (overflow == 0 && v < 0)) {
    if (v == -1 && PyErr_Occurred()) return false;
    return negative_unsigned(c_type);
  }
  if (overflow == 0) {
    if (v == -1 && PyErr_Occurred()) return false;
    if (static_cast<unsigned long long>(v) > std::numeric_limits<T>::max()) return out_of_range(c_type, false);
    out = static_cast<T>(v);
    return true;
  }
  unsigned long long u = PyLong_AsUnsignedLongLong(value);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return out_of_range(c_type, false);
  }
  if (u > std::numeric_limits<T>::max()) return out_of_range(c_type, false);
  out = static_cast<T>(u);
  return true;
}

// Any argument to a native integer: an int (or bool) directly, anything else through its type's __int__.
template <class T, bool Signed>
inline bool to_integer(PyObject* obj, T& out, const char* c_type) {
  if (PyLong_Check(obj)) {
    if constexpr (Signed)
      return signed_from_long(obj, out, c_type);
    else
      return unsigned_from_long(obj, out, c_type);
  }
  PyObject* value = int_from_dunder(obj);
  if (value == nullptr) return false;
  bool ok;
  if constexpr (Signed)
    ok = signed_from_long(value, out, c_type);
  else
    ok = unsigned_from_long(value, out, c_type);
  Py_DECREF(value);
  return ok;
}

[[gnu::cold, gnu::noinline]] inline bool wrong_type(const Param& param, const char* expected, PyObject* obj,
                                                    bool subclass) {
  if (subclass)
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). Note that subclasses of "
                 "built-in types are rejected: pass an object of exactly that type.",
                 param.name(), expected, Py_TYPE(obj)->tp_name);
  else
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name(),
                 expected, Py_TYPE(obj)->tp_name);
  return false;
}

}  // namespace detail

struct I64 {
  using type = int64_t;
  static bool convert(PyObject* obj, type& out, const Param&) {
    return detail::to_integer<type, true>(obj, out, "int64_t");
  }
  static PyObject* to_python(type v) { return PyLong_FromLongLong(v); }
};

struct I32 {
  using type = int32_t;
  static bool convert(PyObject* obj, type& out, const Param&) {
    return detail::to_integer<type, true>(obj, out, "int32_t");
  }
  static PyObject* to_python(type v) { return PyLong_FromLong(v); }
};

struct U64 {
  using type = uint64_t;
  static bool convert(PyObject* obj, type& out, const Param&) {
    return detail::to_integer<type, false>(obj, out, "uint64_t");
  }
  static PyObject* to_python(type v) { return PyLong_FromUnsignedLongLong(v); }
};

struct U32 {
  using type = uint32_t;
  static bool convert(PyObject* obj, type& out, const Param&) {
    return detail::to_integer<type, false>(obj, out, "uint32_t");
  }
  static PyObject* to_python(type v) { return PyLong_FromUnsignedLong(v); }
};

struct U8 {
  using type = uint8_t;
  static bool convert(PyObject* obj, type& out, const Param&) {
    return detail::to_integer<type, false>(obj, out, "uint8_t");
  }
  static PyObject* to_python(type v) { return PyLong_FromUnsignedLong(v); }
};

// A double: a float directly, anything else through the host's float conversion (int, __float__, __index__).
struct F64 {
  using type = double;
  static bool convert(PyObject* obj, type& out, const Param&) {
    if (PyFloat_CheckExact(obj)) {
      out = PyFloat_AS_DOUBLE(obj);
      return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
  }
  static PyObject* to_python(type v) { return PyFloat_FromDouble(v); }
};

// A truth value: True, False and None directly, anything else by its truth test (whose error propagates).
struct Truth {
  using type = bool;
  static bool convert(PyObject* obj, type& out, const Param&) {
    if (obj == Py_True) {
      out = true;
    } else if (obj == Py_False || obj == Py_None) {
      out = false;
    } else {
      int r = PyObject_IsTrue(obj);
      if (r < 0) return false;
      out = r != 0;
    }
    return true;
  }
  static PyObject* to_python(type v) { return py_bool(v); }
};

// A Python int kept as a host object: an int as it is, any other number replaced by int(value).
struct PyInt {
  using type = Ref;
  static bool is_number(PyObject* obj) {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    return nb != nullptr && (nb->nb_index != nullptr || nb->nb_int != nullptr || nb->nb_float != nullptr);
  }
  static bool convert(PyObject* obj, type& out, const Param& param) {
    if (PyLong_CheckExact(obj)) {
      out = Ref::borrow(obj);
      return true;
    }
    return convert_slow(obj, out, param);
  }
  [[gnu::noinline]] static bool convert_slow(PyObject* obj, type& out, const Param& param) {
    if (!is_number(obj)) return detail::wrong_type(param, "int", obj, false);
    out = Ref::steal(PyNumber_Long(obj));
    return static_cast<bool>(out);
  }
};

// Any object, borrowed from the caller for the duration of the call.
struct Object {
  using type = PyObject*;
  static bool convert(PyObject* obj, type& out, const Param&) {
    out = obj;
    return true;
  }
};

// An object of exactly one built-in type, or None; borrowed.
template <PyTypeObject* Type>
struct ExactOrNone {
  using type = PyObject*;
  static bool convert(PyObject* obj, type& out, const Param& param) {
    if (Py_TYPE(obj) == Type || obj == Py_None) {
      out = obj;
      return true;
    }
    return detail::wrong_type(param, Type->tp_name, obj, PyObject_TypeCheck(obj, Type));
  }
};

using Str = ExactOrNone<&PyUnicode_Type>;
using Bytes = ExactOrNone<&PyBytes_Type>;
using List = ExactOrNone<&PyList_Type>;
using Tuple = ExactOrNone<&PyTuple_Type>;
using Dict = ExactOrNone<&PyDict_Type>;

}  // namespace korvane::kind
