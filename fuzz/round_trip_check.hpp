// The check both fuzz targets make of every model they get: written as text and read back as the
// same kind, the copy writes the same text and predicts a table exactly as the model does (NaN
// matching NaN), or fails on it with the same fault.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "data/cell_table.hpp"
#include "forest/model.hpp"
#include "persist/model_text.hpp"

namespace quorvanta::fuzz {

[[noreturn]] inline void finding(const char* what) {
  std::fprintf(stderr, "finding: %s\n", what);
  std::abort();
}

struct Prediction {
  std::optional<EffectTable> effects;
  std::string fault;  // when there are no effects
};

inline Prediction predict(ForestModel& model, const std::vector<std::string>& headers,
                          const CellTable& rows) {
  try {
    DataMatrix data = model.data_loader().load(headers, rows, 1);
    return {model.predict(std::move(data)), {}};
  } catch (const Fault& fault) {
    return {std::nullopt, fault.message()};
  }
}

inline bool same_bits(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) ||
         std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

inline bool same_prediction(const Prediction& a, const Prediction& b) {
  if (a.effects.has_value() != b.effects.has_value()) return false;
  if (!a.effects) return a.fault == b.fault;
  if (a.effects->n_rows != b.effects->n_rows || a.effects->n_cols != b.effects->n_cols ||
      a.effects->values.size() != b.effects->values.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.effects->values.size(); ++i) {
    if (!same_bits(a.effects->values[i], b.effects->values[i])) return false;
  }
  return true;
}

// Whether the file can be read back: the reader takes one bin block per listed feature and n_tree
// tree blocks, so a model that has not yet binned every feature or grown its trees (never fitted,
// or every fit failed) writes a file that it cannot read, as it always has.
inline bool readable_when_written(const ForestModel& model) {
  if (model.trees().size() < model.config().n_tree) return false;
  for (const std::string& name : model.config().feature_cols) {
    if (!model.loader().continuous_bins().contains(name) &&
        !model.loader().discrete_bins().contains(name)) {
      return false;
    }
  }
  return true;
}

// `model` may gain bins from predicting (a feature without a bin gets one from the table), and so
// does the copy, the same ones.
inline void check_round_trip(ForestModel& model, const std::vector<std::string>& headers,
                             const CellTable& rows) {
  if (!readable_when_written(model)) return;
  std::string text;
  try {
    text = model.to_text();
  } catch (const Fault&) {
    return;  // a feature name that no model file can hold: refused before anything is written
  }
  std::optional<LoadedModel> loaded;
  try {
    loaded.emplace(model_from_text(model.kind(), text));
  } catch (const Fault& fault) {
    std::fprintf(stderr, "%s\n", fault.message().c_str());
    finding("a model's own text does not read back");
  }
  ForestModel copy(model.kind(), std::move(loaded->config), std::move(loaded->loader),
                   std::move(loaded->trees));
  if (copy.to_text() != text) finding("the text changes when the copy is written again");
  if (!same_prediction(predict(model, headers, rows), predict(copy, headers, rows))) {
    finding("the copy read back predicts differently");
  }
}

}  // namespace quorvanta::fuzz
