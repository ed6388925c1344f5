// Reading a TreeConfig from the constructor's conf dict. A key that is absent or
// whose value cannot be used leaves its field at the default, and the error is discarded; only
// KeyboardInterrupt, SystemExit and MemoryError propagate.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/tree_config.hpp"

namespace quorvanta::python {

// `conf` must be a dict or a subclass; only its own lookup is used, never an overridden
// __getitem__.
TreeConfig read_tree_config(PyObject* conf);

}  // namespace quorvanta::python
