// Conversion of Python arguments into the core's types. Every converter throws PythonErrorSet with
// the Python exception set; `convert_argument` adds the parameter name to a TypeError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "data/cell_table.hpp"
#include "python/py_ref.hpp"
#include "python/table_argument.hpp"

namespace quorvanta::python {

// TypeError "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void fail_conversion(PyObject* object, const char* target);

// A str (or subclass) as UTF-8; anything else names "PyString".
std::string to_string(PyObject* object);

// A dict (or subclass) is passed through; anything else names "PyDict".
void require_dict(PyObject* object);

// A sequence of str, refusing a str itself (a single name is not a list of names).
std::vector<std::string> to_string_list(PyObject* object);

// A sequence of rows, each a sequence of cells: None is missing, anything else goes through the
// interpreter's float conversion and is narrowed to f32. Numeric arrays take a fast path that
// gives the same cells; a 2-D one is read in place, held by the result.
TableArgument to_cell_table(PyObject* object);

// Re-raises a TypeError that is set as "argument '{parameter}': {message}"; other errors stay.
void prefix_type_error(const char* parameter);

// Runs one argument's conversion, naming the parameter in a TypeError it raises.
template <class Convert>
auto convert_argument(const char* parameter, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonErrorSet&) {
    prefix_type_error(parameter);
    throw;
  }
}

}  // namespace quorvanta::python
