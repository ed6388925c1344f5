#include "python/fault_exception.hpp"

#include <cstdio>
#include <string>

#include "python/py_ref.hpp"

namespace quorvanta::python {
namespace {

PyObject* fault_type = nullptr;  // strong reference, never released

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
  if (fault_type == nullptr) {
    fault_type = PyErr_NewExceptionWithDoc(
        "quorvanta.FaultException",
        "A failure of quorvanta's own logic; its only argument is the message.",
        PyExc_BaseException, nullptr);
  }
  return fault_type;
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
