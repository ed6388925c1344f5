// The result of predict_array: the effect table handed to Python as a 2-D float32 memoryview over
// memory the table keeps, so that numpy.asarray (or any buffer consumer) takes it without a copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "forest/model.hpp"
#include "python/py_ref.hpp"

namespace quorvanta::python {

// A memoryview of format "f" and shape (rows, columns), C-contiguous and writable, over `effects`.
OwnedRef effects_to_memoryview(EffectTable effects);

}  // namespace quorvanta::python
