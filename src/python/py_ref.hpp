// Owned references to Python objects, and the C++ signal that a Python exception is already set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorvanta::python {

// Thrown after a Python exception has been set; the call boundary only returns NULL for it.
struct PythonErrorSet {};

[[noreturn]] inline void throw_python_error() {
  throw PythonErrorSet{};
}

// Where an error only means "no answer" (a length hint, an optional attribute, a conf value), the
// error set is discarded, except an interrupt, an exit or running out of memory: those propagate.
inline void clear_unless_fatal() {
  if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit) ||
      PyErr_ExceptionMatches(PyExc_MemoryError)) {
    throw_python_error();
  }
  PyErr_Clear();
}

// Holds one strong reference and gives it up when destroyed.
class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (may be null).
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
  // Adds a reference of its own to a borrowed one.
  static OwnedRef borrow(PyObject* object) { return OwnedRef(Py_XNewRef(object)); }

  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    Py_XSETREF(object_, std::exchange(other.object_, nullptr));
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// A new reference returned by the C API, or the set exception thrown on NULL.
inline OwnedRef checked(PyObject* new_reference) {
  if (new_reference == nullptr) throw_python_error();
  return OwnedRef::steal(new_reference);
}

}  // namespace quorvanta::python
