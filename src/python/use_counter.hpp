// The use counter of a CausalModel: 0 = free, -1 = in exclusive use, n > 0 = in n shared uses.
// The guards take a use on construction and give it back on every way out.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/py_ref.hpp"

namespace quorvanta::python {

inline constexpr Py_ssize_t kExclusiveUse = -1;

// For fit and predict, which change the model (its bins, its trees or its trees' partitions).
class ExclusiveUse {
 public:
  explicit ExclusiveUse(Py_ssize_t& counter) : counter_(counter) {
    if (counter_ != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      throw_python_error();
    }
    counter_ = kExclusiveUse;
  }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;
  ~ExclusiveUse() { counter_ = 0; }

 private:
  Py_ssize_t& counter_;
};

// For save and load, which only read the model.
class SharedUse {
 public:
  explicit SharedUse(Py_ssize_t& counter) : counter_(counter) {
    if (counter_ == kExclusiveUse) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      throw_python_error();
    }
    ++counter_;
  }
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;
  ~SharedUse() { --counter_; }

 private:
  Py_ssize_t& counter_;
};

}  // namespace quorvanta::python
