// The one place where C++ exceptions become Python exceptions. Every entry point from the
// interpreter runs its body through `at_boundary`, so nothing thrown can unwind into CPython.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>

#include "common/fault.hpp"
#include "python/fault_exception.hpp"
#include "python/py_ref.hpp"

namespace quorvanta::python {

// Runs `body` (returning a new reference or NULL with an exception set) and maps:
//   PythonErrorSet      -> the exception already set
//   Fault               -> FaultException with its message and source position
//   std::bad_alloc      -> MemoryError
//   other exceptions    -> FaultException with their description
template <class Body>
PyObject* at_boundary(Body&& body) {
  try {
    return body();
  } catch (const PythonErrorSet&) {
  } catch (const Fault& fault) {
    raise_fault(fault.message(), &fault.where(), fault.thread_name());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_fault(error.what(), nullptr, current_thread_name());
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must keep unwinding
  } catch (...) {
    raise_fault("unknown failure", nullptr, current_thread_name());
  }
  return nullptr;
}

}  // namespace quorvanta::python
