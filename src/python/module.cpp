// The module's initialisation function, its only exported symbol.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/call_boundary.hpp"
#include "python/causal_model.hpp"
#include "python/py_ref.hpp"

namespace quorvanta::python {
namespace {

// The model object and the class are process-wide, so the module belongs to the first
// interpreter that imports it; no per-module state, no module-level functions.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "quorvanta", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

constexpr std::int64_t kNoInterpreter = -1;
std::atomic<std::int64_t> owner_interpreter{kNoInterpreter};
PyObject* module_object = nullptr;  // strong reference, never released

OwnedRef create_module() {
  OwnedRef module = checked(PyModule_Create(&module_definition));
  PyObject* type = causal_model_type();
  if (type == nullptr) throw_python_error();
  if (PyModule_AddObjectRef(module.get(), "CausalModel", type) < 0) throw_python_error();
  return module;
}

PyObject* init_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) throw_python_error();
  std::int64_t owner = kNoInterpreter;
  if (!owner_interpreter.compare_exchange_strong(owner, interpreter) && owner != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "quorvanta can be imported by only one interpreter per process");
    throw_python_error();
  }
  if (module_object == nullptr) module_object = create_module().release();
  return Py_NewRef(module_object);
}

}  // namespace
}  // namespace quorvanta::python

PyMODINIT_FUNC PyInit_quorvanta() {
  return quorvanta::python::at_boundary([] { return quorvanta::python::init_module(); });
}
