#include "python/argument_conversion.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>

#include "common/interruption.hpp"
#include "data/cell_values.hpp"
#include "python/buffer_conversion.hpp"

namespace quorvanta::python {
namespace {

// Size hints come from the caller's __len__ and only save reallocations; a cap keeps a lying
// length from reserving memory that will never be used.
constexpr std::size_t kMaxReservedItems = std::size_t{1} << 24;

// The checks every sequence argument shares, then its length as a size hint (0 when asking fails).
std::size_t checked_sequence_size(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    throw_python_error();
  }
  if (!PySequence_Check(object)) fail_conversion(object, "Sequence");
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    clear_unless_fatal();
    return 0;
  }
  return std::min(static_cast<std::size_t>(size), kMaxReservedItems);
}

// Iterating a released memoryview reads its format after the release; it is refused with the
// interpreter's error for every other use of a released view.
void refuse_released_memoryview(PyObject* object) {
  if (!PyMemoryView_Check(object)) return;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_FULL_RO) != 0) throw_python_error();
  PyBuffer_Release(&view);
}

// Calls `visit` with every item, each held by a reference of our own while it is converted (a
// conversion may run Python code that empties the sequence). Exact lists and tuples are indexed
// directly, which visits the same items as their iterators do.
template <class Visit>
void for_each_item(PyObject* sequence, Visit&& visit) {
  if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i) {
      OwnedRef item = OwnedRef::borrow(PySequence_Fast_GET_ITEM(sequence, i));
      visit(item.get());
    }
    return;
  }
  refuse_released_memoryview(sequence);
  OwnedRef iterator = checked(PyObject_GetIter(sequence));
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) visit(item.get());
  if (PyErr_Occurred()) throw_python_error();
}

float to_cell(PyObject* item) {
  if (item == Py_None) return missing_cell();
  double value;
  if (PyFloat_CheckExact(item)) {
    value = PyFloat_AS_DOUBLE(item);
  } else if (is_masked_cell(item)) {
    // Masked arrays the fast path declines (other byte orders, long double, objects, subclasses)
    // yield numpy.ma.masked for a masked cell; it is missing as it is on the fast path.
    return missing_cell();
  } else {
    value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) throw_python_error();
  }
  return narrow_cell(value);
}

}  // namespace

void fail_conversion(PyObject* object, const char* target) {
  OwnedRef type_name = checked(PyType_GetQualName(Py_TYPE(object)));
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
  throw_python_error();
}

std::string to_string(PyObject* object) {
  if (!PyUnicode_Check(object)) fail_conversion(object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) throw_python_error();
  return std::string(data, static_cast<std::size_t>(size));
}

void require_dict(PyObject* object) {
  if (!PyDict_Check(object)) fail_conversion(object, "PyDict");
}

std::vector<std::string> to_string_list(PyObject* object) {
  std::vector<std::string> strings;
  strings.reserve(checked_sequence_size(object));
  for_each_item(object, [&](PyObject* item) { strings.push_back(to_string(item)); });
  return strings;
}

TableArgument to_cell_table(PyObject* object) {
  const std::size_t rows_hint = checked_sequence_size(object);
  // Numeric arrays are read from their memory; they convert to what iterating them would give.
  if (std::optional<TableArgument> borrowed = borrow_buffer_rows(object)) {
    return std::move(*borrowed);
  }
  CellTable table;
  bool reserved = false;
  for_each_item(object, [&](PyObject* row) {
    check_interruption();  // a long list takes seconds to read
    const std::size_t row_hint = checked_sequence_size(row);
    if (!reserved) {
      // The first row's length stands for every row's.
      table.reserve(rows_hint, std::min(rows_hint * row_hint, kMaxReservedItems));
      reserved = true;
    }
    if (!append_buffer_cells(row, table)) {
      for_each_item(row, [&](PyObject* cell) { table.push_cell(to_cell(cell)); });
    }
    table.end_row();
  });
  return TableArgument(std::move(table));
}

void prefix_type_error(const char* parameter) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  if (!PyErr_GivenExceptionMatches(raised, PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  OwnedRef original = OwnedRef::steal(raised);
  OwnedRef message =
      OwnedRef::steal(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get()));
  if (!message) return;  // the error of formatting the message stands in for it
  PyErr_SetObject(PyExc_TypeError, message.get());
}

}  // namespace quorvanta::python
