#include "python/buffer_conversion.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "data/cell_values.hpp"

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

enum class ElementKind { kBool, kSigned, kUnsigned, kFloat };

struct ElementFormat {
  ElementKind kind;
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
      parsed = ElementFormat{ElementKind::kBool, 1};
      break;
    case 'b':
      parsed = ElementFormat{ElementKind::kSigned, 1};
      break;
    case 'B':
      parsed = ElementFormat{ElementKind::kUnsigned, 1};
      break;
    case 'h':
      parsed = ElementFormat{ElementKind::kSigned, 2};
      break;
    case 'H':
      parsed = ElementFormat{ElementKind::kUnsigned, 2};
      break;
    case 'i':
      parsed = ElementFormat{ElementKind::kSigned, 4};
      break;
    case 'I':
      parsed = ElementFormat{ElementKind::kUnsigned, 4};
      break;
    case 'l':
      parsed = ElementFormat{ElementKind::kSigned, long_size};
      break;
    case 'L':
      parsed = ElementFormat{ElementKind::kUnsigned, long_size};
      break;
    case 'q':
      parsed = ElementFormat{ElementKind::kSigned, 8};
      break;
    case 'Q':
      parsed = ElementFormat{ElementKind::kUnsigned, 8};
      break;
    case 'n':
      if (!standard_sizes) parsed = ElementFormat{ElementKind::kSigned, sizeof(Py_ssize_t)};
      break;
    case 'N':
      if (!standard_sizes) parsed = ElementFormat{ElementKind::kUnsigned, sizeof(std::size_t)};
      break;
    case 'e':
      parsed = ElementFormat{ElementKind::kFloat, 2};
      break;
    case 'f':
      parsed = ElementFormat{ElementKind::kFloat, 4};
      break;
    case 'd':
      parsed = ElementFormat{ElementKind::kFloat, 8};
      break;
    default:
      break;
  }
  // An exporter whose item size disagrees with its format is not trusted.
  if (!parsed || parsed->size != itemsize) return std::nullopt;
  return parsed;
}

// Storage tags for the element types whose bytes need their own reading.
struct BoolByte {
  std::uint8_t bits;
};
struct HalfBits {
  std::uint16_t bits;
};

inline float cell_from(BoolByte value) {
  return bool_cell(value.bits);
}
inline float cell_from(HalfBits value) {
  return half_cell(value.bits);
}
inline float cell_from(float value) {
  return float_cell(value);
}
inline float cell_from(double value) {
  return narrow_cell(value);
}
template <class Integer>
inline float cell_from(Integer value) {
  return integer_cell(value);
}

// Calls `visit.template operator()<Stored>()` with the C++ type that holds one element.
template <class Visit>
void with_stored_type(ElementFormat format, Visit&& visit) {
  switch (format.kind) {
    case ElementKind::kBool:
      return visit.template operator()<BoolByte>();
    case ElementKind::kFloat:
      if (format.size == 2) return visit.template operator()<HalfBits>();
      if (format.size == 4) return visit.template operator()<float>();
      return visit.template operator()<double>();
    case ElementKind::kSigned:
      if (format.size == 1) return visit.template operator()<std::int8_t>();
      if (format.size == 2) return visit.template operator()<std::int16_t>();
      if (format.size == 4) return visit.template operator()<std::int32_t>();
      return visit.template operator()<std::int64_t>();
    case ElementKind::kUnsigned:
      if (format.size == 1) return visit.template operator()<std::uint8_t>();
      if (format.size == 2) return visit.template operator()<std::uint16_t>();
      if (format.size == 4) return visit.template operator()<std::uint32_t>();
      return visit.template operator()<std::uint64_t>();
  }
}

// Elements may be unaligned (numpy views into packed records) and strides negative, so every
// element is read by copying its bytes from its own address.
template <class Stored>
void append_strided(const char* first, Py_ssize_t count, Py_ssize_t stride, CellTable& table) {
  for (Py_ssize_t i = 0; i < count; ++i) {
    Stored value;
    std::memcpy(&value, first + i * stride, sizeof value);
    table.push_cell(cell_from(value));
  }
}

// A read-only strided view of an object's buffer, released when it goes out of scope.
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

}  // namespace

bool append_buffer_rows(PyObject* object, CellTable& table) {
  const Exporter exporter = exporter_of(object);
  // A 2-D memoryview cannot be iterated at all, so only arrays qualify as whole tables.
  if (exporter != Exporter::kArray) return false;
  BufferView buffer;
  if (!buffer.acquire(object)) return false;
  const Py_buffer& view = buffer.get();
  if (view.ndim != 2) return false;
  const std::optional<ElementFormat> format = element_format(view.format, view.itemsize, exporter);
  if (!format) return false;

  const auto n_rows = static_cast<std::size_t>(view.shape[0]);
  const auto n_cols = static_cast<std::size_t>(view.shape[1]);
  // A broadcast array (zero strides) may claim more cells than memory can hold; iterating it would
  // run out of memory too, only later.
  std::size_t n_cells = 0;
  if (__builtin_mul_overflow(n_rows, n_cols, &n_cells) ||
      n_cells > std::vector<float>().max_size()) {
    throw std::bad_alloc();
  }
  table.reserve(n_rows, n_cells);
  const auto* data = static_cast<const char*>(view.buf);
  with_stored_type(*format, [&]<class Stored>() {
    for (Py_ssize_t row = 0; row < view.shape[0]; ++row) {
      append_strided<Stored>(data + row * view.strides[0], view.shape[1], view.strides[1], table);
      table.end_row();
    }
  });
  return true;
}

bool append_buffer_cells(PyObject* object, CellTable& table) {
  const Exporter exporter = exporter_of(object);
  if (exporter == Exporter::kDeclined) return false;
  BufferView buffer;
  if (!buffer.acquire(object)) return false;
  const Py_buffer& view = buffer.get();
  if (view.ndim != 1) return false;
  const std::optional<ElementFormat> format = element_format(view.format, view.itemsize, exporter);
  if (!format) return false;
  const auto* data = static_cast<const char*>(view.buf);
  with_stored_type(*format, [&]<class Stored>() {
    append_strided<Stored>(data, view.shape[0], view.strides[0], table);
  });
  return true;
}

}  // namespace quorvanta::python
