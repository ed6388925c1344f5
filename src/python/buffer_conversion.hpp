// Fast path of the table conversion: numeric arrays are read straight from their memory instead of
// item by item. It is taken only where iterating the object would yield exactly these values:
// exporters whose items are their buffer's elements (numpy arrays; memoryview, bytes and bytearray
// as rows), a native numeric element format, and the dimensions iteration would walk. Anything
// else is declined and left to the item-by-item conversion, whose failures then stand. numpy
// masked arrays are the one deliberate difference: their masked cells are missing cells, where
// converting the item would give NaN; the item-by-item conversion treats them the same way.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "data/cell_table.hpp"
#include "python/table_argument.hpp"

namespace quorvanta::python {

// numpy.ma.masked, the item that indexing or iterating any masked array gives for a masked cell.
bool is_masked_cell(PyObject* item);

// A 2-D numeric numpy array, or a numpy masked array of one, read in place (no copy of its cells),
// or nullopt, with the Python error state untouched, when the object is declined. An interrupt,
// exit or lack of memory raised while looking at the object propagates as PythonErrorSet.
std::optional<TableArgument> borrow_buffer_rows(PyObject* object);

// A 1-D numeric buffer (or masked array) appended as cells of the row being built. False, with
// `table` and the Python error state untouched, when the object is declined.
bool append_buffer_cells(PyObject* object, CellTable& table);

}  // namespace quorvanta::python
