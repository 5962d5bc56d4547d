// `with`-style lock sections.
//
// A section looks up the lock's __exit__ and then its __enter__, calls __enter__(), runs the body, and calls
// __exit__(None, None, None) on a normal exit (a `return` from inside the body included) or __exit__(type, value,
// traceback) when the body raised; the exception then propagates unless __exit__ returns a true value.
//
// For an object of exactly the interpreter's lock type (what threading.Lock() returns) that protocol is fixed:
// __enter__ is acquire() and __exit__ is release(), and the type cannot be changed from Python. Those sections
// call the type's own method descriptors directly, without creating bound methods per call.
#pragma once

#include <Python.h>

#include "frame/ref.h"

#include <type_traits>

namespace korvane::frame {

namespace detail {

struct LockType {
  PyTypeObject* type = nullptr;
  PyObject* enter = nullptr;    // the lock type's __enter__ descriptor
  PyObject* release = nullptr;  // the lock type's release descriptor
};

inline LockType& lock_type() {
  static LockType cache;
  return cache;
}

}  // namespace detail

// Learns the interpreter's lock type; called once at module execution.
inline bool init_lock_support() {
  detail::LockType& c = detail::lock_type();
  if (c.type != nullptr) return true;
  Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
  if (!thread) return false;
  Ref type = Ref::steal(PyObject_GetAttrString(thread.get(), "LockType"));
  if (!type) return false;
  if (!PyType_Check(type.get())) {
    PyErr_SetString(PyExc_TypeError, "_thread.LockType is not a type");
    return false;
  }
  Ref enter = Ref::steal(PyObject_GetAttrString(type.get(), "__enter__"));
  Ref release = Ref::steal(PyObject_GetAttrString(type.get(), "release"));
  if (!enter || !release) return false;
  c.type = reinterpret_cast<PyTypeObject*>(type.release());
  c.enter = enter.release();
  c.release = release.release();
  return true;
}

// Runs `work` with the GIL released. `work` must not touch any host object.
template <class Work>
auto without_gil(Work&& work) {
  PyThreadState* thread = PyEval_SaveThread();
  if constexpr (std::is_void_v<decltype(work())>) {
    work();
    PyEval_RestoreThread(thread);
  } else {
    auto result = work();
    PyEval_RestoreThread(thread);
    return result;
  }
}

enum class Section { Completed, Suppressed, Failed };

// Runs `body` (returning true on success, false with an exception set) inside a `with lock:` section.
// Completed: the body ran to its end. Suppressed: the body raised and __exit__ swallowed the exception, so the
// caller goes on after the section. Failed: an exception is set.
template <class Body>
Section with_lock(PyObject* lock_field, Body&& body) {
  // The section holds its own reference: the body may replace the field the lock was read from.
  Ref hold = Ref::borrow(lock_field);
  PyObject* lock = hold.get();
  const detail::LockType& c = detail::lock_type();
  if (Py_TYPE(lock) == c.type) {
    Ref entered = Ref::steal(PyObject_Vectorcall(c.enter, &lock, 1, nullptr));
    if (!entered) return Section::Failed;
    bool ok = body();
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    if (!ok) PyErr_Fetch(&type, &value, &tb);
    Ref released = Ref::steal(PyObject_Vectorcall(c.release, &lock, 1, nullptr));
    if (!ok) {
      if (!released) {
        // The release error replaces the body's, with the body's as its context, as in a with statement.
        PyObject *t2, *v2, *tb2;
        PyErr_Fetch(&t2, &v2, &tb2);
        PyErr_NormalizeException(&type, &value, &tb);
        PyErr_NormalizeException(&t2, &v2, &tb2);
        if (value != nullptr) PyException_SetContext(v2, value);
        Py_XDECREF(type);
        Py_XDECREF(tb);
        PyErr_Restore(t2, v2, tb2);
      } else {
        PyErr_Restore(type, value, tb);
      }
      return Section::Failed;
    }
    return released ? Section::Completed : Section::Failed;
  }

  Ref exit = Ref::steal(PyObject_GetAttrString(lock, "__exit__"));
  if (!exit) return Section::Failed;
  Ref enter = Ref::steal(PyObject_GetAttrString(lock, "__enter__"));
  if (!enter) return Section::Failed;
  Ref entered = Ref::steal(PyObject_CallNoArgs(enter.get()));
  if (!entered) return Section::Failed;
  if (body()) {
    PyObject* args[3] = {Py_None, Py_None, Py_None};
    Ref r = Ref::steal(PyObject_Vectorcall(exit.get(), args, 3, nullptr));
    return r ? Section::Completed : Section::Failed;
  }
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  PyObject* args[3] = {type, value != nullptr ? value : Py_None, tb != nullptr ? tb : Py_None};
  Ref r = Ref::steal(PyObject_Vectorcall(exit.get(), args, 3, nullptr));
  if (!r) {
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    if (value != nullptr) PyException_SetContext(v2, new_ref(value));
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    PyErr_Restore(t2, v2, tb2);
    return Section::Failed;
  }
  int suppress = PyObject_IsTrue(r.get());
  if (suppress > 0) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return Section::Suppressed;
  }
  if (suppress < 0) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return Section::Failed;
  }
  PyErr_Restore(type, value, tb);
  return Section::Failed;
}

}  // namespace korvane::frame
