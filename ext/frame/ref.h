// Owned references to host objects.
#pragma once

#include <Python.h>

#include <utility>

namespace korvane {

// Owns one strong reference (or nothing). `steal` adopts a reference the caller already owns; `borrow` takes a new
// one. The reference is released when the Ref goes away, on every path.
class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  static Ref steal(PyObject* obj) {
    Ref r;
    r.ptr_ = obj;
    return r;
  }
  static Ref borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return steal(obj);
  }

  PyObject* get() const { return ptr_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(ptr_, nullptr); }
  // A new reference for the caller; this Ref keeps its own.
  PyObject* new_ref() const {
    Py_XINCREF(ptr_);
    return ptr_;
  }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  PyObject* ptr_ = nullptr;
};

inline PyObject* new_ref(PyObject* obj) {
  Py_INCREF(obj);
  return obj;
}

inline PyObject* none() { return new_ref(Py_None); }

inline PyObject* py_bool(bool value) { return new_ref(value ? Py_True : Py_False); }

// Replaces an owned object field, releasing the old value only after the field holds the new one, so that code run
// by the release never sees a dangling field.
inline void replace_field(PyObject*& field, PyObject* owned_value) {
  PyObject* old = field;
  field = owned_value;
  Py_XDECREF(old);
}

}  // namespace korvane
