// FaultException: how failures of the core's own logic reach Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <source_location>
#include <string_view>

namespace quorvanta::python {

// The exception type, created on first use and kept for the life of the process. It derives
// directly from BaseException so that `except Exception` does not swallow a fault. Returns a
// borrowed reference, or NULL with an exception set.
PyObject* fault_exception_type();

// CausalModel's static entry that unpickling calls to make a FaultException again: returns
// FaultException(*args). Its attribute name is kRebuildFaultName.
inline constexpr const char* kRebuildFaultName = "_rebuild_fault";
PyObject* rebuild_fault(PyObject* unused, PyObject* args);

// Writes the diagnostic (thread name, source position, message) to standard error, then sets
// FaultException with the message as its only argument. `where` is null when unknown.
// `thread_name` names the thread where the failure arose.
void raise_fault(std::string_view message, const std::source_location* where,
                 const std::string& thread_name);

}  // namespace quorvanta::python
