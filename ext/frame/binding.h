// Argument binding: positional and keyword arguments onto a fixed parameter list, with the exact messages callers
// see for a wrong call.
#pragma once

#include <Python.h>

#include "frame/ref.h"

namespace korvane::frame {

// The parameters of one function or native initialiser. `name` is the name used in messages (the function's own
// __name__, not its qualified name); `params` is a tuple of interned parameter names; the last
// `nparams - nrequired` parameters take their values from `defaults`.
struct Signature {
  const char* name = nullptr;
  PyObject* params = nullptr;
  PyObject* defaults = nullptr;
  Py_ssize_t nparams = 0;
  Py_ssize_t nrequired = 0;
};

namespace detail {

// "<name>() takes exactly|at least|at most N positional argument(s) (G given)".
[[gnu::cold, gnu::noinline]] inline bool count_error(const Signature& sig, bool too_many, Py_ssize_t given) {
  bool exact = sig.nrequired == sig.nparams;
  Py_ssize_t meant = too_many ? sig.nparams : sig.nrequired;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name,
               exact ? "exactly" : (too_many ? "at most" : "at least"), meant, meant == 1 ? "" : "s", given);
  return false;
}

[[gnu::cold, gnu::noinline]] inline bool keyword_error(const Signature& sig, PyObject* key, Py_ssize_t nargs,
                                                       PyObject** out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
    return false;
  }
  for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
    if (PyUnicode_Compare(key, PyTuple_GET_ITEM(sig.params, i)) == 0) {
      if (i < nargs || out[i] != nullptr)
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
      return false;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
  return false;
}

// Puts one keyword argument into its slot. Interned names match by identity; other str keys by equality.
inline bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out) {
  PyObject* const* names = &PyTuple_GET_ITEM(sig.params, 0);
  Py_ssize_t slot = -1;
  for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
    if (names[i] == key) {
      slot = i;
      break;
    }
  }
  if (slot < 0 && PyUnicode_Check(key)) {
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
      if (PyUnicode_Compare(key, names[i]) == 0) {
        slot = i;
        break;
      }
    }
  }
  if (slot < 0 || slot < nargs || out[slot] != nullptr) return keyword_error(sig, key, nargs, out);
  out[slot] = value;
  return true;
}

// Fills empty optional parameters with their defaults; reports the first empty required one.
inline bool bind_finish(const Signature& sig, PyObject** out) {
  for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
    if (out[i] != nullptr) continue;
    if (i < sig.nrequired) return count_error(sig, false, i);
    out[i] = PyTuple_GET_ITEM(sig.defaults, i - sig.nrequired);
  }
  return true;
}

}  // namespace detail

// Binds a vectorcall argument vector. `out` receives nparams borrowed references.
inline bool bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject** out) {
  if (nargs > sig.nparams) return detail::count_error(sig, true, nargs);
  for (Py_ssize_t i = 0; i < sig.nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      if (!detail::bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
  }
  return detail::bind_finish(sig, out);
}

// Binds an argument tuple and keyword dict (the constructor protocol).
inline bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwds, PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > sig.nparams) return detail::count_error(sig, true, nargs);
  for (Py_ssize_t i = 0; i < sig.nparams; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwds != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value))
      if (!detail::bind_keyword(sig, key, value, nargs, out)) return false;
  }
  return detail::bind_finish(sig, out);
}

// Checks a result computed at the Python level against the declared result type: None and objects of exactly
// that type pass; for int, another number is first converted with int(); anything else is a TypeError.
// `format` is "Expected %.200s, got %.200s" or the "Expected %s, got %.200s" variant some modules use.
[[gnu::cold, gnu::noinline]] inline PyObject* result_type_error(PyObject* result, const char* expected,
                                                                const char* format) {
  PyErr_Format(PyExc_TypeError, format, expected, Py_TYPE(result)->tp_name);
  Py_DECREF(result);
  return nullptr;
}

inline PyObject* check_result(PyObject* result, PyTypeObject* expected,
                              const char* format = "Expected %.200s, got %.200s") {
  if (result == nullptr || result == Py_None || Py_TYPE(result) == expected) return result;
  if (expected == &PyLong_Type) {
    PyNumberMethods* nb = Py_TYPE(result)->tp_as_number;
    if (nb != nullptr && (nb->nb_index != nullptr || nb->nb_int != nullptr || nb->nb_float != nullptr)) {
      PyObject* converted = PyNumber_Long(result);
      Py_DECREF(result);
      return converted;
    }
  }
  return result_type_error(result, expected->tp_name, format);
}

}  // namespace korvane::frame
