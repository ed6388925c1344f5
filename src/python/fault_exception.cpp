#include "python/fault_exception.hpp"

#include <cstdio>
#include <string>

#include "python/causal_model.hpp"
#include "python/py_ref.hpp"

namespace quorvanta::python {
namespace {

PyObject* fault_type = nullptr;  // strong reference, never released

// The exception type is not a module attribute, so pickle cannot find it by name. A fault instead
// pickles as a call of CausalModel's rebuild entry with the fault's arguments (and its instance
// dict, when something was stored there), which any process that imports quorvanta can make.
PyObject* reduce_fault(PyObject* self, PyObject* /*unused*/) {
  PyObject* type = causal_model_type();
  if (type == nullptr) return nullptr;
  OwnedRef rebuild = OwnedRef::steal(PyObject_GetAttrString(type, kRebuildFaultName));
  if (!rebuild) return nullptr;
  OwnedRef args = OwnedRef::steal(PyObject_GetAttrString(self, "args"));
  if (!args) return nullptr;
  OwnedRef dict = OwnedRef::steal(PyObject_GetAttrString(self, "__dict__"));
  if (!dict) return nullptr;
  if (PyDict_Check(dict.get()) && PyDict_GET_SIZE(dict.get()) > 0) {
    return PyTuple_Pack(3, rebuild.get(), args.get(), dict.get());
  }
  return PyTuple_Pack(2, rebuild.get(), args.get());
}

PyMethodDef reduce_fault_method = {"__reduce__", reduce_fault, METH_NOARGS, nullptr};

PyObject* create_fault_type() {
  OwnedRef type = OwnedRef::steal(PyErr_NewExceptionWithDoc(
      "quorvanta.FaultException",
      "A failure of quorvanta's own logic; its only argument is the message.", PyExc_BaseException,
      nullptr));
  if (!type) return nullptr;
  OwnedRef reduce = OwnedRef::steal(
      PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), &reduce_fault_method));
  if (!reduce || PyObject_SetAttrString(type.get(), "__reduce__", reduce.get()) < 0) {
    return nullptr;
  }
  return type.release();
}

void write_diagnostic(std::string_view message, const std::source_location* where,
                      const std::string& thread_name) {
  std::string text = "thread '" + thread_name + "' failed at ";
  if (where != nullptr) {
    text += where->file_name();
    text += ':' + std::to_string(where->line()) + ':' + std::to_string(where->column());
  } else {
    text += "<unknown position>";
  }
  text += ":\n";
  text += message;
  text += '\n';
  // One write so that concurrent diagnostics do not interleave mid-line.
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

PyObject* fault_exception_type() {
  if (fault_type == nullptr) fault_type = create_fault_type();
  return fault_type;
}

PyObject* rebuild_fault(PyObject* /*unused*/, PyObject* args) {
  PyObject* type = fault_exception_type();
  if (type == nullptr) return nullptr;
  return PyObject_Call(type, args, nullptr);
}

void raise_fault(std::string_view message, const std::source_location* where,
                 const std::string& thread_name) {
  write_diagnostic(message, where, thread_name);
  PyObject* type = fault_exception_type();
  if (type == nullptr) return;
  // Messages may quote bytes from a file; never let decoding hide the fault itself.
  OwnedRef text = OwnedRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

}  // namespace quorvanta::python
