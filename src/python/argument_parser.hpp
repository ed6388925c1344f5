// Matching of positional and keyword arguments to a callable's parameters, with the interpreter's
// arity and keyword TypeErrors. Every parameter is positional-or-keyword and required.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace quorvanta::python {

struct Signature {
  const char* full_name;               // "CausalModel.fit()", used in every message
  std::span<const char* const> names;  // parameter names in order
};

// The arguments of one call: positional values, keyword names and their values (same length).
struct CallArguments {
  std::span<PyObject* const> positional;
  std::span<PyObject* const> keyword_names;
  std::span<PyObject* const> keyword_values;
};

// Fills `bound` (one borrowed reference per parameter). Throws PythonErrorSet with the TypeError
// set when the call does not fit the signature. Checks, in order: too many positional arguments,
// each keyword (unknown name, or a parameter already given), then missing parameters.
void bind_arguments(const Signature& signature, const CallArguments& call,
                    std::span<PyObject*> bound);

}  // namespace quorvanta::python
