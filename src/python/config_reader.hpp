// Reading a TreeConfig from the constructor's conf dict. Never fails: a key that is absent or
// whose value cannot be used leaves its field at the default, and the error is discarded.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/tree_config.hpp"

namespace quorvanta::python {

// `conf` must be a dict or a subclass; only its own lookup is used, never an overridden
// __getitem__.
TreeConfig read_tree_config(PyObject* conf);

}  // namespace quorvanta::python
