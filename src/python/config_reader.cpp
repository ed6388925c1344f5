#include "python/config_reader.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/argument_conversion.hpp"
#include "python/py_ref.hpp"

namespace quorvanta::python {
namespace {

// A seed of all ones is indistinguishable from "no seed": both mean entropy seeding.
constexpr std::uint64_t kNoSeed = std::numeric_limits<std::uint64_t>::max();

// Runs `convert` on the value under `key`, or returns nullopt when the key is absent, the lookup
// raises or the conversion raises. An interrupt, an exit or running out of memory is not an
// unusable value: those propagate. The value is held by our own reference while converting: a
// conversion may run Python code that removes it from the dict.
template <class Convert>
auto read_key(PyObject* conf, const char* key, Convert&& convert)
    -> std::optional<decltype(convert(nullptr))> {
  try {
    OwnedRef key_object = checked(PyUnicode_FromString(key));
    OwnedRef value = OwnedRef::borrow(PyDict_GetItemWithError(conf, key_object.get()));
    if (!value) {
      if (PyErr_Occurred()) throw_python_error();
      return std::nullopt;
    }
    return convert(value.get());
  } catch (const PythonErrorSet&) {
    clear_unless_fatal();
    return std::nullopt;
  }
}

std::uint64_t to_u64(PyObject* value) {
  OwnedRef integer = PyLong_Check(value) ? OwnedRef::borrow(value) : checked(PyNumber_Index(value));
  unsigned long long result = PyLong_AsUnsignedLongLong(integer.get());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
  return result;
}

float to_f32(PyObject* value) {
  double result;
  if (PyFloat_CheckExact(value)) {
    result = PyFloat_AS_DOUBLE(value);
  } else {
    result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) throw_python_error();
  }
  return static_cast<float>(result);
}

// NumPy 1 names its boolean scalar type "numpy.bool_", NumPy 2 "numpy.bool".
bool is_numpy_bool(PyObject* value) {
  const char* name = Py_TYPE(value)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

// Only real booleans: an int 0 or 1 is not taken for one.
bool to_bool(PyObject* value) {
  if (PyBool_Check(value)) return value == Py_True;
  if (is_numpy_bool(value)) {
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number != nullptr && number->nb_bool != nullptr) {
      int truth = number->nb_bool(value);
      if (truth < 0) throw_python_error();
      return truth != 0;
    }
  }
  PyErr_SetString(PyExc_TypeError, "not a bool");
  throw_python_error();
}

// A seed is read as an unsigned value; all ones, like an absent or unusable value, means no seed.
std::optional<std::uint64_t> to_seed(PyObject* value) {
  const std::uint64_t seed = to_u64(value);
  if (seed == kNoSeed) return std::nullopt;
  return seed;
}

// The conversion of each type of configuration field.
template <class T>
T convert_config_value(PyObject* value) {
  if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    return to_string_list(value);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return to_string(value);
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    return to_u64(value);
  } else if constexpr (std::is_same_v<T, float>) {
    return to_f32(value);
  } else if constexpr (std::is_same_v<T, bool>) {
    return to_bool(value);
  } else {
    static_assert(std::is_same_v<T, std::optional<std::uint64_t>>, "no conversion for this type");
    return to_seed(value);
  }
}

}  // namespace

TreeConfig read_tree_config(PyObject* conf) {
  TreeConfig config;
  for_each_config_field([&](const auto& field) {
    using Type = typename std::remove_cvref_t<decltype(field)>::Type;
    const std::string key(field.conf_key);
    if (auto value = read_key(conf, key.c_str(), convert_config_value<Type>)) {
      config.*field.member = std::move(*value);
    }
  });
  return config;
}

}  // namespace quorvanta::python
