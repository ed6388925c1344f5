#include "python/effect_buffer.hpp"

#include <memory>
#include <new>
#include <utility>

namespace quorvanta::python {
namespace {

// Owns the table behind the memoryview; not a module attribute and not creatable from Python.
struct EffectBufferObject {
  PyObject_HEAD EffectTable table;  // constructed in place right after allocation
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];
};

PyObject* buffer_type = nullptr;  // strong reference, never released

// A buffer of no bytes still needs an address.
float empty_table_storage = 0.0f;

int effect_buffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto& owner = *reinterpret_cast<EffectBufferObject*>(self);
  // Rows are contiguous, so a Fortran-ordered view exists only when one dimension is at most 1.
  const bool fortran_too = owner.shape[0] <= 1 || owner.shape[1] <= 1;
  if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !fortran_too) {
    PyErr_SetString(PyExc_BufferError, "effect table is not Fortran contiguous");
    view->obj = nullptr;
    return -1;
  }
  std::vector<float>& values = owner.table.values;
  view->buf = values.empty() ? &empty_table_storage : values.data();
  view->obj = Py_NewRef(self);
  view->len = static_cast<Py_ssize_t>(values.size() * sizeof(float));
  view->itemsize = sizeof(float);
  view->readonly = 0;
  view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>("f") : nullptr;
  view->ndim = 2;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? owner.shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? owner.strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void effect_buffer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<EffectBufferObject*>(self)->table);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyType_Slot effect_buffer_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(effect_buffer_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(effect_buffer_dealloc)},
    {0, nullptr},
};

PyType_Spec effect_buffer_spec = {
    "quorvanta.EffectBuffer",
    static_cast<int>(sizeof(EffectBufferObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    effect_buffer_slots,
};

}  // namespace

OwnedRef effects_to_memoryview(EffectTable effects) {
  if (buffer_type == nullptr) buffer_type = PyType_FromSpec(&effect_buffer_spec);
  if (buffer_type == nullptr) throw_python_error();
  auto* type = reinterpret_cast<PyTypeObject*>(buffer_type);
  OwnedRef owner = checked(type->tp_alloc(type, 0));
  auto* object = reinterpret_cast<EffectBufferObject*>(owner.get());
  const auto n_cols = static_cast<Py_ssize_t>(effects.n_cols);
  object->shape[0] = static_cast<Py_ssize_t>(effects.n_rows);
  object->shape[1] = n_cols;
  object->strides[0] = n_cols * static_cast<Py_ssize_t>(sizeof(float));
  object->strides[1] = sizeof(float);
  new (&object->table) EffectTable(std::move(effects));
  return checked(PyMemoryView_FromObject(owner.get()));
}

}  // namespace quorvanta::python
