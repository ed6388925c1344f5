// Feeds arbitrary text to the model-file reader as both model kinds. Every failure must be a
// Fault; anything else (a crash, a sanitizer report, another exception, a hang) is a finding.
// Records that read back must also write back to the same text, and every model accepted must,
// once written and read again, predict exactly as it does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <algorithm>
#include <limits>
#include <vector>

#include "common/fault.hpp"
#include "persist/model_text.hpp"
#include "round_trip_check.hpp"

namespace {

using namespace quorvanta;

// Once a tree has been read, its JSON is in the writer's fixed form: reading that and writing it
// again must give the same bytes.
void check_tree_round_trip(const TreeLearner& learner, ModelKind kind) {
  const std::string json = tree_record_to_json(learner.tree);
  if (tree_record_to_json(parse_tree_record(json, kind)) != json) std::abort();
  const std::string config_json = tree_config_to_json(learner.config);
  if (tree_config_to_json(parse_tree_config(config_json)) != config_json) std::abort();
}

// Every column the model reads, and rows whose cells probe each stored cut value and category and
// the values around them: the infinities, NaN, zeros of both signs and missing cells.
struct ProbeTable {
  std::vector<std::string> headers;
  CellTable rows;
};

ProbeTable probe_table(const LoadedModel& model) {
  ProbeTable table;
  const TreeConfig& config = model.config;
  table.headers = config.feature_cols;
  table.headers.insert(table.headers.end(), config.treatment_cols.begin(),
                       config.treatment_cols.end());
  table.headers.push_back(config.y_col);
  table.headers.push_back(config.weight_col);
  const std::size_t n_features = config.feature_cols.size();

  constexpr float kInf = std::numeric_limits<float>::infinity();
  std::vector<float> probes = {
      0.0f, -0.0f, 1.0f, -kInf, kInf, std::numeric_limits<float>::quiet_NaN(), missing_cell()};
  for (const auto& [name, bin] : model.loader.continuous_bins()) {
    for (float t : bin.threshold) {
      probes.push_back(t);
      probes.push_back(std::nextafter(t, -kInf));
    }
  }
  for (const auto& [name, bin] : model.loader.discrete_bins()) {
    probes.insert(probes.end(), bin.mapping.begin(), bin.mapping.end());
  }
  const std::size_t n_rows = std::min<std::size_t>(probes.size(), 64);
  for (std::size_t row = 0; row < n_rows; ++row) {
    for (std::size_t column = 0; column < table.headers.size(); ++column) {
      if (column < n_features) {
        const float probe = probes[(row + column * 5) % probes.size()];
        table.rows.push_cell(is_missing_cell(probe) ? probe : present_cell(probe));
      } else {
        // Treatment groups 0 to 3; outcome and weight 1.
        table.rows.push_cell(column == n_features ? static_cast<float>(row % 4) : 1.0f);
      }
    }
    table.rows.end_row();
  }
  return table;
}

void check_predictions(ModelKind kind, LoadedModel loaded) {
  const ProbeTable table = probe_table(loaded);
  // Enough threads to take both prediction paths, few enough to stay quick.
  loaded.config.n_thread = std::min<std::uint64_t>(loaded.config.n_thread, 3);
  ForestModel model(kind, std::move(loaded.config), std::move(loaded.loader),
                    std::move(loaded.trees));
  fuzz::check_round_trip(model, table.headers, table.rows);
}

void read_as(ModelKind kind, std::string_view text) {
  try {
    LoadedModel loaded = model_from_text(kind, text);
    const std::string written = model_to_text(loaded.config, loaded.loader, loaded.trees);
    if (written.empty()) std::abort();
    for (const TreeLearner& learner : loaded.trees) check_tree_round_trip(learner, kind);
    check_predictions(kind, std::move(loaded));
  } catch (const Fault&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  read_as(ModelKind::Classification, text);
  read_as(ModelKind::Regression, text);
  return 0;
}
