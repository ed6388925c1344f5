// The CausalModel class: a heap type wrapping one model object of the core.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorvanta::python {

// The type object, built on first use and kept for the life of the process. Returns a borrowed
// reference, or NULL with an exception set.
PyObject* causal_model_type();

}  // namespace quorvanta::python
