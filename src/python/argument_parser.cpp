#include "python/argument_parser.hpp"

#include <string>
#include <vector>

#include "python/py_ref.hpp"

namespace quorvanta::python {
namespace {

bool names_parameter(PyObject* keyword, const char* name) {
  return PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, name) == 0;
}

// 'a'; 'a' and 'b'; 'a', 'b' and 'c'
std::string quoted_name_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

[[noreturn]] void fail_too_many_positional(const Signature& signature, std::size_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
               signature.full_name, signature.names.size(), given, given == 1 ? "was" : "were");
  throw_python_error();
}

[[noreturn]] void fail_missing(const Signature& signature,
                               const std::vector<const char*>& missing) {
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", signature.full_name,
               missing.size(), missing.size() == 1 ? "argument" : "arguments",
               quoted_name_list(missing).c_str());
  throw_python_error();
}

}  // namespace

void bind_arguments(const Signature& signature, const CallArguments& call,
                    std::span<PyObject*> bound) {
  const std::size_t n_params = signature.names.size();
  if (call.positional.size() > n_params)
    fail_too_many_positional(signature, call.positional.size());

  for (std::size_t i = 0; i < n_params; ++i) {
    bound[i] = i < call.positional.size() ? call.positional[i] : nullptr;
  }

  for (std::size_t k = 0; k < call.keyword_names.size(); ++k) {
    PyObject* keyword = call.keyword_names[k];
    std::size_t param = 0;
    while (param < n_params && !names_parameter(keyword, signature.names[param])) ++param;
    if (param == n_params) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                   signature.full_name, keyword);
      throw_python_error();
    }
    if (bound[param] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.full_name,
                   signature.names[param]);
      throw_python_error();
    }
    bound[param] = call.keyword_values[k];
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < n_params; ++i) {
    if (bound[i] == nullptr) missing.push_back(signature.names[i]);
  }
  if (!missing.empty()) fail_missing(signature, missing);
}

}  // namespace quorvanta::python
