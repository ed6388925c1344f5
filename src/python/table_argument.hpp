// The converted `arr` argument: a table whose cells are either owned or borrowed from the buffers
// of the caller's arrays, which it holds until it is destroyed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <utility>
#include <vector>

#include "data/cell_table.hpp"

namespace quorvanta::python {

// A read-only strided view of an object's buffer, released when it goes out of scope. While it is
// held the exporter cannot resize or free the memory; nothing writes to it either, because the
// interpreter lock stays held for the whole call and no Python code runs while the table is read.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False, with the exporter's error cleared, when the object does not give such a view (a
  // released memoryview, a dtype without a buffer format); iteration then meets the same object.
  bool acquire(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return view_.strides != nullptr && view_.suboffsets == nullptr;
  }

  const Py_buffer& get() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

class TableArgument {
 public:
  explicit TableArgument(CellTable owned) : table_(std::move(owned)) {}
  // `table` reads the memory of `views`, which stay held for as long as this object lives.
  TableArgument(std::vector<std::unique_ptr<BufferView>> views, const StridedCells& cells)
      : views_(std::move(views)), table_(cells) {}

  const CellTable& table() const { return table_; }

 private:
  std::vector<std::unique_ptr<BufferView>> views_;
  CellTable table_;
};

}  // namespace quorvanta::python
