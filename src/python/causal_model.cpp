#include "python/causal_model.hpp"

#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "data/cell_table.hpp"
#include "data/data_matrix.hpp"
#include "forest/model.hpp"
#include "python/argument_conversion.hpp"
#include "python/argument_parser.hpp"
#include "python/call_boundary.hpp"
#include "python/config_reader.hpp"
#include "python/effect_buffer.hpp"
#include "python/gc_pause.hpp"
#include "python/py_ref.hpp"
#include "python/use_counter.hpp"

namespace quorvanta::python {
namespace {

struct CausalModelObject {
  PyObject_HEAD std::unique_ptr<Model> model;  // constructed in place right after allocation
  Py_ssize_t use_count;                        // see use_counter.hpp
};

PyObject* model_type = nullptr;  // strong reference, never released

constexpr const char* kNewParameters[] = {"name", "conf"};
constexpr const char* kLoadParameters[] = {"name", "path"};
constexpr const char* kSaveParameters[] = {"path"};
constexpr const char* kTableParameters[] = {"headers", "arr"};
constexpr const char* kCopyParameters[] = {"n_tree", "seed"};
constexpr const char* kTextParameters[] = {"name", "text"};

constexpr Signature kNewSignature{"CausalModel.__new__()", kNewParameters};
constexpr Signature kLoadSignature{"CausalModel.load()", kLoadParameters};
constexpr Signature kSaveSignature{"CausalModel.save()", kSaveParameters};
constexpr Signature kFitSignature{"CausalModel.fit()", kTableParameters};
constexpr Signature kPredictSignature{"CausalModel.predict()", kTableParameters};
constexpr Signature kPredictArraySignature{"CausalModel.predict_array()", kTableParameters};
constexpr Signature kCopySignature{"CausalModel._untrained_copy()", kCopyParameters};
constexpr Signature kFromTextSignature{"CausalModel._from_text()", kTextParameters};
constexpr Signature kRestoreSignature{"CausalModel._restore()", kTextParameters};

CallArguments fastcall_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const Py_ssize_t n_positional = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  PyObject* const* keyword_names = kwnames == nullptr ? nullptr : PySequence_Fast_ITEMS(kwnames);
  return CallArguments{
      std::span<PyObject* const>(args, static_cast<std::size_t>(n_positional)),
      std::span<PyObject* const>(keyword_names, static_cast<std::size_t>(n_keywords)),
      std::span<PyObject* const>(args + n_positional, static_cast<std::size_t>(n_keywords))};
}

// Methods are reached through the type's descriptors, which check the receiver already; this
// guards any other way in.
CausalModelObject& receiver(PyObject* self) {
  if (model_type == nullptr ||
      !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(model_type))) {
    fail_conversion(self, "CausalModel");
  }
  auto& instance = *reinterpret_cast<CausalModelObject*>(self);
  if (!instance.model) fail_absent_value();
  return instance;
}

OwnedRef new_instance(PyTypeObject* type, std::unique_ptr<Model> model) {
  OwnedRef object = checked(type->tp_alloc(type, 0));
  auto* instance = reinterpret_cast<CausalModelObject*>(object.get());
  new (&instance->model) std::unique_ptr<Model>(std::move(model));
  instance->use_count = 0;
  return object;
}

// Converts headers, then arr, and loads them with the model's own bins. The converted table is
// released as soon as the matrix exists.
DataMatrix load_table(Model& model, PyObject* headers_argument, PyObject* arr_argument) {
  std::vector<std::string> headers =
      convert_argument("headers", [&] { return to_string_list(headers_argument); });
  const TableArgument rows = convert_argument("arr", [&] { return to_cell_table(arr_argument); });
  return model.data_loader().load(headers, rows.table(), model.n_thread());
}

// The poll of a long fit or predict: runs the handlers of signals that arrived meanwhile (on the
// main thread, with the interpreter lock that this thread holds); the exception of one that
// raises, KeyboardInterrupt for Ctrl-C, ends the call.
void raise_pending_signals() {
  if (PyErr_CheckSignals() < 0) throw_python_error();
}

// Converts headers, then arr, and predicts the table on its raw values. The converted table is
// released as soon as the effects exist.
EffectTable predict_table(Model& model, PyObject* headers_argument, PyObject* arr_argument,
                          const RowsReady& ready = {}) {
  // Every phase answers Ctrl-C, converting the table included.
  const InterruptionScope interruption(raise_pending_signals);
  std::vector<std::string> headers =
      convert_argument("headers", [&] { return to_string_list(headers_argument); });
  const TableArgument rows = convert_argument("arr", [&] { return to_cell_table(arr_argument); });
  return model.predict_rows(headers, rows.table(), ready);
}

// predict's list of rows, each a list of floats. Rows are added as their effects become final,
// so that worker threads still routing the rest overlap with the object building here.
class EffectList {
 public:
  static constexpr std::size_t kRowsPerSignalCheck = 4096;

  void add_rows(const EffectTable& effects, std::size_t ready) {
    if (!rows_) {
      rows_ = checked(PyList_New(static_cast<Py_ssize_t>(effects.n_rows)));
      // Until every slot holds its row, nothing in Python may reach the list: a signal handler
      // or profiler walking gc.get_objects() would read the empty slots.
      PyObject_GC_UnTrack(rows_.get());
    }
    for (; built_ < ready; ++built_) {
      // Millions of rows take a while to build once routing is over: Ctrl-C is heard meanwhile.
      if (built_ % kRowsPerSignalCheck == 0) raise_pending_signals();
      OwnedRef row = checked(PyList_New(static_cast<Py_ssize_t>(effects.n_cols)));
      for (std::size_t c = 0; c < effects.n_cols; ++c) {
        const float value = checked_at(effects.values, built_ * effects.n_cols + c);
        PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(c),
                        checked(PyFloat_FromDouble(static_cast<double>(value))).release());
      }
      PyList_SET_ITEM(rows_.get(), static_cast<Py_ssize_t>(built_), row.release());
    }
  }

  OwnedRef finish(const EffectTable& effects) {
    add_rows(effects, effects.n_rows);
    PyObject_GC_Track(rows_.get());
    return std::move(rows_);
  }

 private:
  // The collector would walk the growing list again and again for nothing: no cycle can form.
  const CollectorPause pause_;
  OwnedRef rows_;  // items not built yet are NULL, which the list's release skips
  std::size_t built_ = 0;
};

PyObject* causal_model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return at_boundary([&]() -> PyObject* {
    std::vector<PyObject*> keyword_names;
    std::vector<PyObject*> keyword_values;
    if (kwargs != nullptr) {
      Py_ssize_t position = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(kwargs, &position, &key, &value)) {
        keyword_names.push_back(key);
        keyword_values.push_back(value);
      }
    }
    PyObject* bound[2];
    bind_arguments(kNewSignature,
                   CallArguments{std::span<PyObject* const>(PySequence_Fast_ITEMS(args),
                                                            PyTuple_GET_SIZE(args)),
                                 keyword_names, keyword_values},
                   bound);
    // Reading conf runs the caller's code, which could drop the keyword dict's references.
    OwnedRef name_argument = OwnedRef::borrow(bound[0]);
    OwnedRef conf_argument = OwnedRef::borrow(bound[1]);

    std::string name = convert_argument("name", [&] { return to_string(name_argument.get()); });
    convert_argument("conf", [&] { require_dict(conf_argument.get()); });
    // The name is checked before any key of conf is read.
    ModelKind kind = model_kind_from_name(name);
    TreeConfig config = read_tree_config(conf_argument.get());
    auto model = std::make_unique<ForestModel>(kind, std::move(config));
    return new_instance(type, std::move(model)).release();
  });
}

void causal_model_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<CausalModelObject*>(self)->model);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* causal_model_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    PyObject* bound[2];
    bind_arguments(kFitSignature, fastcall_arguments(args, nargsf, kwnames), bound);
    CausalModelObject& instance = receiver(self);
    ExclusiveUse use(instance.use_count);
    // Every phase answers Ctrl-C, converting and loading the table included.
    const InterruptionScope interruption(raise_pending_signals);
    DataMatrix data = load_table(*instance.model, bound[0], bound[1]);
    instance.model->fit(std::move(data));
    Py_RETURN_NONE;
  });
}

PyObject* causal_model_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    PyObject* bound[2];
    bind_arguments(kPredictSignature, fastcall_arguments(args, nargsf, kwnames), bound);
    CausalModelObject& instance = receiver(self);
    ExclusiveUse use(instance.use_count);
    EffectList list;
    const EffectTable effects = predict_table(
        *instance.model, bound[0], bound[1],
        [&list](const EffectTable& done, std::size_t rows) { list.add_rows(done, rows); });
    return list.finish(effects).release();
  });
}

// predict's effects as one float32 block of shape (rows, treatment groups).
PyObject* causal_model_predict_array(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    PyObject* bound[2];
    bind_arguments(kPredictArraySignature, fastcall_arguments(args, nargsf, kwnames), bound);
    CausalModelObject& instance = receiver(self);
    ExclusiveUse use(instance.use_count);
    EffectTable effects = predict_table(*instance.model, bound[0], bound[1]);
    return effects_to_memoryview(std::move(effects)).release();
  });
}

PyObject* causal_model_save(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    PyObject* bound[1];
    bind_arguments(kSaveSignature, fastcall_arguments(args, nargsf, kwnames), bound);
    CausalModelObject& instance = receiver(self);
    SharedUse use(instance.use_count);
    std::string path = convert_argument("path", [&] { return to_string(bound[0]); });
    instance.model->save(path);
    Py_RETURN_NONE;
  });
}

// Reads a model file into a new instance; the receiver is neither read nor changed.
PyObject* causal_model_load(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    PyObject* bound[2];
    bind_arguments(kLoadSignature, fastcall_arguments(args, nargsf, kwnames), bound);
    CausalModelObject& instance = receiver(self);
    SharedUse use(instance.use_count);
    std::string name = convert_argument("name", [&] { return to_string(bound[0]); });
    std::string path = convert_argument("path", [&] { return to_string(bound[1]); });
    // The name is checked before the file is opened.
    ModelKind kind = model_kind_from_name(name);
    const InterruptionScope interruption(raise_pending_signals);
    std::unique_ptr<Model> model = read_model(kind, path);
    return new_instance(reinterpret_cast<PyTypeObject*>(model_type), std::move(model)).release();
  });
}

// An int (or an object with __index__) within 0..2^64-1; TypeError or OverflowError otherwise.
std::uint64_t to_count(PyObject* object) {
  OwnedRef integer = checked(PyNumber_Index(object));
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
  return value;
}

// Private to the cluster layer: a new instance of the same kind holding this model's
// configuration and bins but no trees, with n_tree and seed (None: no seed) replaced.
PyObject* causal_model_untrained_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                      PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    PyObject* bound[2];
    bind_arguments(kCopySignature, fastcall_arguments(args, nargsf, kwnames), bound);
    CausalModelObject& instance = receiver(self);
    SharedUse use(instance.use_count);
    const std::uint64_t n_tree = convert_argument("n_tree", [&] { return to_count(bound[0]); });
    std::optional<std::uint64_t> seed;
    if (bound[1] != Py_None) seed = convert_argument("seed", [&] { return to_count(bound[1]); });
    std::unique_ptr<Model> copy = instance.model->untrained_copy(n_tree, seed);
    return new_instance(reinterpret_cast<PyTypeObject*>(model_type), std::move(copy)).release();
  });
}

// Private: the text save writes, without a file.
PyObject* causal_model_to_text(PyObject* self, PyObject*) {
  return at_boundary([&]() -> PyObject* {
    CausalModelObject& instance = receiver(self);
    SharedUse use(instance.use_count);
    const std::string text = instance.model->to_text();
    return checked(
               PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"))
        .release();
  });
}

// Converts name, then text, and checks the name before the text is read.
template <class Read>
PyObject* model_from_text_arguments(const Signature& signature, PyObject* const* args,
                                    Py_ssize_t nargsf, PyObject* kwnames, Read&& read) {
  return at_boundary([&]() -> PyObject* {
    PyObject* bound[2];
    bind_arguments(signature, fastcall_arguments(args, nargsf, kwnames), bound);
    std::string name = convert_argument("name", [&] { return to_string(bound[0]); });
    std::string text = convert_argument("text", [&] { return to_string(bound[1]); });
    ModelKind kind = model_kind_from_name(name);
    const InterruptionScope interruption(raise_pending_signals);
    std::unique_ptr<Model> model = read(kind, text);
    return new_instance(reinterpret_cast<PyTypeObject*>(model_type), std::move(model)).release();
  });
}

// Private: the model load reads from a file holding `text`, with the same failures.
PyObject* causal_model_from_text(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
  return model_from_text_arguments(
      kFromTextSignature, args, nargsf, kwnames,
      [](ModelKind kind, const std::string& text) { return read_model_text(kind, text); });
}

// Private: how a pickled model is rebuilt, from the text of a model in any state.
PyObject* causal_model_restore(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
  return model_from_text_arguments(
      kRestoreSignature, args, nargsf, kwnames,
      [](ModelKind kind, const std::string& text) { return restore_model_text(kind, text); });
}

// A model pickles as its kind and text: the text holds everything that decides its predictions
// and its saved file, and reading it back gives the same bits.
PyObject* causal_model_reduce(PyObject* self, PyObject*) {
  return at_boundary([&]() -> PyObject* {
    CausalModelObject& instance = receiver(self);
    SharedUse use(instance.use_count);
    const std::string text = instance.model->to_text();
    OwnedRef restore = checked(PyObject_GetAttrString(model_type, "_restore"));
    OwnedRef text_object =
        checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    return checked(Py_BuildValue("(O(sO))", restore.get(), model_name(instance.model->kind()),
                                 text_object.get()))
        .release();
  });
}

// Names the kind, the trees held and the features configured; during a fit or predict (a signal
// handler may ask) the model is not read.
PyObject* causal_model_repr(PyObject* self) {
  return at_boundary([&]() -> PyObject* {
    CausalModelObject& instance = receiver(self);
    const char* kind = model_name(instance.model->kind());
    if (instance.use_count == kExclusiveUse) {
      return checked(PyUnicode_FromFormat("<CausalModel %s, in use>", kind)).release();
    }
    return checked(PyUnicode_FromFormat("<CausalModel %s: %zu trees, %zu features>", kind,
                                        instance.model->n_trees(),
                                        instance.model->config().feature_cols.size()))
        .release();
  });
}

template <class Method>
PyCFunction as_cfunction(Method method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef causal_model_methods[] = {
    {"load", as_cfunction(causal_model_load), METH_FASTCALL | METH_KEYWORDS,
     "load($self, name, path)\n--\n\n"},
    {"save", as_cfunction(causal_model_save), METH_FASTCALL | METH_KEYWORDS,
     "save($self, path)\n--\n\n"},
    {"fit", as_cfunction(causal_model_fit), METH_FASTCALL | METH_KEYWORDS,
     "fit($self, headers, arr)\n--\n\n"},
    {"predict", as_cfunction(causal_model_predict), METH_FASTCALL | METH_KEYWORDS,
     "predict($self, headers, arr)\n--\n\n"},
    {"predict_array", as_cfunction(causal_model_predict_array), METH_FASTCALL | METH_KEYWORDS,
     "predict_array($self, headers, arr)\n--\n\n"},
    {"_untrained_copy", as_cfunction(causal_model_untrained_copy), METH_FASTCALL | METH_KEYWORDS,
     "_untrained_copy($self, n_tree, seed)\n--\n\n"},
    {"_to_text", as_cfunction(causal_model_to_text), METH_NOARGS, "_to_text($self)\n--\n\n"},
    {"_from_text", as_cfunction(causal_model_from_text),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "_from_text(name, text)\n--\n\n"},
    {"_restore", as_cfunction(causal_model_restore), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_restore(name, text)\n--\n\n"},
    {"__reduce__", as_cfunction(causal_model_reduce), METH_NOARGS, nullptr},
    // Private: how a pickled FaultException is rebuilt (fault_exception.cpp).
    {kRebuildFaultName, rebuild_fault, METH_VARARGS | METH_STATIC, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot causal_model_slots[] = {
    {Py_tp_doc, const_cast<char*>("CausalModel(name, conf)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(causal_model_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(causal_model_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(causal_model_repr)},
    {Py_tp_methods, causal_model_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. No dict or weak-reference slot.
PyType_Spec causal_model_spec = {
    "quorvanta.CausalModel", static_cast<int>(sizeof(CausalModelObject)), 0, Py_TPFLAGS_DEFAULT,
    causal_model_slots,
};

}  // namespace

PyObject* causal_model_type() {
  if (model_type == nullptr) model_type = PyType_FromSpec(&causal_model_spec);
  return model_type;
}

}  // namespace quorvanta::python
