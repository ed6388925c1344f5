#include "python/config_reader.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "python/argument_conversion.hpp"
#include "python/py_ref.hpp"

namespace quorvanta::python {
namespace {

// A seed of all ones is indistinguishable from "no seed": both mean entropy seeding.
constexpr std::uint64_t kNoSeed = std::numeric_limits<std::uint64_t>::max();

// Runs `convert` on the value under `key`, or returns nullopt when the key is absent, the lookup
// raises or the conversion raises. The value is held by our own reference while converting: a
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
    PyErr_Clear();
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

void read_strings(PyObject* conf, const char* key, std::vector<std::string>& field) {
  if (auto value = read_key(conf, key, to_string_list)) field = std::move(*value);
}

void read_string(PyObject* conf, const char* key, std::string& field) {
  if (auto value = read_key(conf, key, to_string)) field = std::move(*value);
}

void read_u64(PyObject* conf, const char* key, std::uint64_t& field) {
  if (auto value = read_key(conf, key, to_u64)) field = *value;
}

void read_f32(PyObject* conf, const char* key, float& field) {
  if (auto value = read_key(conf, key, to_f32)) field = *value;
}

void read_bool(PyObject* conf, const char* key, bool& field) {
  if (auto value = read_key(conf, key, to_bool)) field = *value;
}

}  // namespace

TreeConfig read_tree_config(PyObject* conf) {
  TreeConfig config;
  read_strings(conf, "index", config.index_cols);
  read_strings(conf, "feature", config.feature_cols);
  read_strings(conf, "cat", config.cat_cols);
  read_strings(conf, "treatment", config.treatment_cols);
  read_string(conf, "y", config.y_col);
  read_string(conf, "weight", config.weight_col);
  read_u64(conf, "n_bin", config.n_bin);
  read_u64(conf, "min_samples_leaf", config.min_samples_leaf);
  read_u64(conf, "min_samples_treatment", config.min_samples_treatment);
  read_u64(conf, "n_reg", config.n_reg);
  read_f32(conf, "alpha", config.alpha);
  read_bool(conf, "normalization", config.normalization);
  read_u64(conf, "max_features", config.max_features);
  read_u64(conf, "max_depth", config.max_depth);
  read_u64(conf, "n_tree", config.n_tree);
  read_f32(conf, "subsample", config.subsample);
  read_u64(conf, "n_thread", config.n_thread);
  std::uint64_t seed = kNoSeed;
  read_u64(conf, "seed", seed);
  if (seed != kNoSeed) config.seed = seed;
  return config;
}

}  // namespace quorvanta::python
