#include "python/buffer_conversion.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "python/py_ref.hpp"

namespace quorvanta::python {
namespace {

enum class Exporter {
  kDeclined,
  // numpy.ndarray: iteration yields its elements as scalars converted from the element type, so
  // only the dtype matters and a byte-order prefix naming the native order is fine.
  kArray,
  // memoryview, bytes, bytearray: iteration unpacks native single-character formats only.
  kPlainBuffer,
};

// Subclasses may iterate differently from their buffer (a matrix yields 2-D rows), so only the
// exact types qualify. numpy is not linked: its array type is a static type of a fixed name,
// which no class defined in Python can imitate.
Exporter exporter_of(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (Py_IS_TYPE(object, &PyMemoryView_Type) || PyBytes_CheckExact(object) ||
      PyByteArray_CheckExact(object)) {
    return Exporter::kPlainBuffer;
  }
  if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0 &&
      std::strcmp(type->tp_name, "numpy.ndarray") == 0) {
    return Exporter::kArray;
  }
  return Exporter::kDeclined;
}

CellType signed_type(Py_ssize_t size) {
  if (size == 1) return CellType::kInt8;
  if (size == 2) return CellType::kInt16;
  if (size == 4) return CellType::kInt32;
  return CellType::kInt64;
}

CellType unsigned_type(Py_ssize_t size) {
  if (size == 1) return CellType::kUInt8;
  if (size == 2) return CellType::kUInt16;
  if (size == 4) return CellType::kUInt32;
  return CellType::kUInt64;
}

struct ElementFormat {
  CellType type;
  Py_ssize_t size;
};

// One struct-module character, optionally prefixed by a byte-order mark. `=`, `<` and `>` mean
// standard sizes; no prefix and `@` native ones. Non-native byte order and every other format
// (long double, complex, objects, strings, records) are declined.
std::optional<ElementFormat> element_format(const char* format, Py_ssize_t itemsize,
                                            Exporter exporter) {
  if (format == nullptr) format = "B";  // the buffer protocol's meaning of an absent format
  bool standard_sizes = false;
  if (*format == '@') {
    ++format;
  } else if (*format == '=' || *format == '<' || *format == '>' || *format == '!') {
    if (exporter != Exporter::kArray) return std::nullopt;
    const bool little = *format == '<';
    const bool big = *format == '>' || *format == '!';
    if ((little && std::endian::native != std::endian::little) ||
        (big && std::endian::native != std::endian::big)) {
      return std::nullopt;
    }
    standard_sizes = true;
    ++format;
  }
  if (format[0] == '\0' || format[1] != '\0') return std::nullopt;

  const Py_ssize_t long_size = standard_sizes ? 4 : Py_ssize_t{sizeof(long)};
  std::optional<ElementFormat> parsed;
  switch (format[0]) {
    case '?':
      parsed = ElementFormat{CellType::kBool, 1};
      break;
    case 'b':
      parsed = ElementFormat{CellType::kInt8, 1};
      break;
    case 'B':
      parsed = ElementFormat{CellType::kUInt8, 1};
      break;
    case 'h':
      parsed = ElementFormat{CellType::kInt16, 2};
      break;
    case 'H':
      parsed = ElementFormat{CellType::kUInt16, 2};
      break;
    case 'i':
      parsed = ElementFormat{CellType::kInt32, 4};
      break;
    case 'I':
      parsed = ElementFormat{CellType::kUInt32, 4};
      break;
    case 'l':
      parsed = ElementFormat{signed_type(long_size), long_size};
      break;
    case 'L':
      parsed = ElementFormat{unsigned_type(long_size), long_size};
      break;
    case 'q':
      parsed = ElementFormat{CellType::kInt64, 8};
      break;
    case 'Q':
      parsed = ElementFormat{CellType::kUInt64, 8};
      break;
    case 'n':
      if (!standard_sizes) {
        parsed = ElementFormat{signed_type(sizeof(Py_ssize_t)), sizeof(Py_ssize_t)};
      }
      break;
    case 'N':
      if (!standard_sizes) {
        parsed = ElementFormat{unsigned_type(sizeof(std::size_t)), sizeof(std::size_t)};
      }
      break;
    case 'e':
      parsed = ElementFormat{CellType::kHalf, 2};
      break;
    case 'f':
      parsed = ElementFormat{CellType::kFloat, 4};
      break;
    case 'd':
      parsed = ElementFormat{CellType::kDouble, 8};
      break;
    default:
      break;
  }
  // An exporter whose item size disagrees with its format is not trusted.
  if (!parsed || parsed->size != itemsize) return std::nullopt;
  return parsed;
}

bool is_exact_array(PyObject* object) {
  return exporter_of(object) == Exporter::kArray;
}

// A class of numpy.ma named `name` (not a subclass). They are classes defined in Python, so they
// are recognised by name and module (numpy 2 names the public module, numpy 1 the defining one).
bool is_numpy_ma_class(PyTypeObject* type, const char* name) {
  if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0 || std::strcmp(type->tp_name, name) != 0) {
    return false;
  }
  OwnedRef module =
      OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) &&
         (PyUnicode_CompareWithASCIIString(module.get(), "numpy.ma") == 0 ||
          PyUnicode_CompareWithASCIIString(module.get(), "numpy.ma.core") == 0);
}

// numpy.ma.MaskedArray itself (a subclass may read its cells differently, so it is iterated).
bool is_masked_array(PyObject* object) {
  return is_numpy_ma_class(Py_TYPE(object), "MaskedArray");
}

// An attribute, or null with the error cleared (an interrupt, exit or lack of memory propagates).
OwnedRef attribute(PyObject* object, const char* name) {
  OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(object, name));
  if (!value) clear_unless_fatal();
  return value;
}

// A numeric buffer of `ndim` dimensions seen in place, with the views that keep it alive. A mask,
// where there is one, has the same shape; a nonzero mask byte marks the cell missing.
struct NumericView {
  std::vector<std::unique_ptr<BufferView>> views;
  const std::byte* data = nullptr;
  Py_ssize_t shape[2] = {1, 1};
  Py_ssize_t strides[2] = {0, 0};
  CellType type = CellType::kFloat;
  const std::byte* mask = nullptr;
  Py_ssize_t mask_strides[2] = {0, 0};
};

// The view of a plain numeric exporter, or nullopt when it is declined.
std::optional<NumericView> view_unmasked(PyObject* object, int ndim) {
  const Exporter exporter = exporter_of(object);
  // A 2-D memoryview cannot be iterated at all, so only arrays qualify as whole tables.
  if (exporter == Exporter::kDeclined || (ndim == 2 && exporter != Exporter::kArray)) {
    return std::nullopt;
  }
  auto buffer = std::make_unique<BufferView>();
  if (!buffer->acquire(object)) return std::nullopt;
  const Py_buffer& view = buffer->get();
  if (view.ndim != ndim) return std::nullopt;
  const std::optional<ElementFormat> format = element_format(view.format, view.itemsize, exporter);
  if (!format) return std::nullopt;

  NumericView numeric;
  numeric.data = static_cast<const std::byte*>(view.buf);
  for (int d = 0; d < ndim; ++d) {
    numeric.shape[d] = view.shape[d];
    numeric.strides[d] = view.strides[d];
  }
  numeric.type = format->type;
  numeric.views.push_back(std::move(buffer));
  return numeric;
}

// A masked array's data with its mask: each masked cell is a missing cell, as None is in a list.
// Declined (and then iterated item by item) unless the data is a numeric array and the mask is
// either absent (numpy.ma.nomask, a false scalar) or a boolean array of the data's shape.
std::optional<NumericView> view_masked(PyObject* object, int ndim) {
  const OwnedRef data = attribute(object, "data");
  if (!data || !is_exact_array(data.get())) return std::nullopt;
  std::optional<NumericView> numeric = view_unmasked(data.get(), ndim);
  if (!numeric) return std::nullopt;
  const OwnedRef mask = attribute(object, "mask");
  if (!mask) return std::nullopt;
  if (!is_exact_array(mask.get())) {
    // nomask is numpy's false boolean scalar; anything else is not understood here.
    if (std::strcmp(Py_TYPE(mask.get())->tp_name, "numpy.bool") != 0 &&
        std::strcmp(Py_TYPE(mask.get())->tp_name, "numpy.bool_") != 0) {
      return std::nullopt;
    }
    const int truth = PyObject_IsTrue(mask.get());
    if (truth != 0) {
      if (truth < 0) clear_unless_fatal();
      return std::nullopt;
    }
    return numeric;
  }
  auto buffer = std::make_unique<BufferView>();
  if (!buffer->acquire(mask.get())) return std::nullopt;
  const Py_buffer& view = buffer->get();
  const std::optional<ElementFormat> format =
      element_format(view.format, view.itemsize, Exporter::kArray);
  if (view.ndim != ndim || !format || format->type != CellType::kBool) return std::nullopt;
  for (int d = 0; d < ndim; ++d) {
    if (view.shape[d] != numeric->shape[d]) return std::nullopt;
    numeric->mask_strides[d] = view.strides[d];
  }
  numeric->mask = static_cast<const std::byte*>(view.buf);
  numeric->views.push_back(std::move(buffer));
  return numeric;
}

std::optional<NumericView> view_numeric(PyObject* object, int ndim) {
  return is_masked_array(object) ? view_masked(object, ndim) : view_unmasked(object, ndim);
}

StridedCells strided_cells(const NumericView& numeric, int ndim) {
  StridedCells cells;
  cells.data = numeric.data;
  cells.n_rows = static_cast<std::size_t>(numeric.shape[0]);
  cells.n_columns = ndim == 2 ? static_cast<std::size_t>(numeric.shape[1]) : 1;
  cells.row_stride = numeric.strides[0];
  cells.column_stride = ndim == 2 ? numeric.strides[1] : 0;
  cells.type = numeric.type;
  cells.mask = numeric.mask;
  cells.mask_row_stride = numeric.mask_strides[0];
  cells.mask_column_stride = ndim == 2 ? numeric.mask_strides[1] : 0;
  return cells;
}

}  // namespace

bool is_masked_cell(PyObject* item) {
  return is_numpy_ma_class(Py_TYPE(item), "MaskedConstant");
}

std::optional<TableArgument> borrow_buffer_rows(PyObject* object) {
  std::optional<NumericView> numeric = view_numeric(object, 2);
  if (!numeric) return std::nullopt;
  const auto n_rows = static_cast<std::size_t>(numeric->shape[0]);
  const auto n_cols = static_cast<std::size_t>(numeric->shape[1]);
  // A broadcast array (zero strides) may claim more cells than memory could hold as a list of
  // rows; such a table is refused as it always was, before anything is loaded.
  std::size_t n_cells = 0;
  if (__builtin_mul_overflow(n_rows, n_cols, &n_cells) ||
      n_cells > std::vector<float>().max_size()) {
    throw std::bad_alloc();
  }
  const StridedCells cells = strided_cells(*numeric, 2);
  return TableArgument(std::move(numeric->views), cells);
}

bool append_buffer_cells(PyObject* object, CellTable& table) {
  const std::optional<NumericView> numeric = view_numeric(object, 1);
  if (!numeric) return false;
  const CellTable row(strided_cells(*numeric, 1));
  std::vector<float> cells(row.n_rows());
  row.read_column(0, 0, cells.size(), cells);
  for (float cell : cells) table.push_cell(cell);
  return true;
}

}  // namespace quorvanta::python
