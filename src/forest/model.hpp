// The model object behind a CausalModel: configuration, data loader and trained trees, with the
// five operations every model kind provides.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/tree_config.hpp"
#include "data/data_loader.hpp"
#include "data/data_matrix.hpp"
#include "stats/matrix.hpp"
#include "tree/tree_learner.hpp"

namespace quorvanta {

// Per-row effects of every treatment group against control, stored flat (row-major).
struct EffectTable {
  std::size_t n_rows = 0;
  std::size_t n_cols = 0;
  std::vector<float> values;
};

// Told, on the calling thread, that the effects of the first `rows` rows are final, while the
// rest are still being computed; calls come with a growing count. Whatever it throws ends the
// prediction.
using RowsReady = std::function<void(const EffectTable& effects, std::size_t rows)>;

// Which ways the last prediction took, "getters for tests": a fast path that stops being taken
// shows here, not in the results.
struct PredictionPaths {
  bool forest_compiled = false;           // the raw-table route compiled the trees in this call
  bool forest_reused = false;             // it took them as compiled by an earlier call
  bool sum_plan_reused = false;           // and the leaf effects and sum widths as well
  std::size_t trees_on_values = 0;        // routed on the raw values of the caller's table
  std::size_t columns_on_values = 0;      // routing columns compared as values
  std::size_t columns_on_bins = 0;        // routing columns binned chunk by chunk
  std::size_t trees_on_binned_table = 0;  // routed on the whole binned table
  std::size_t trees_by_partition = 0;     // of those, routed by partitioning node ranges
  bool rows_ready_while_routing = false;  // finished rows went to the caller while workers routed
  std::size_t trees_walked_by_level = 0;  // compiled trees laid out by heap position
  std::size_t level_walk_lanes = 0;       // rows a step of their walk takes at once
  bool keys_in_place = false;             // value columns keyed straight from an f32 or f64 buffer
};

class CompiledForest;
struct SumPlan;

// What predicting raw tables compiles from the trees and the features' records, kept from call to
// call until either changes. Shared by copies of a model, so its parts never change once built.
struct CompiledPrediction {
  bool built = false;
  std::size_t n_records = 0;                     // records the loader held when it was built
  std::shared_ptr<const CompiledForest> forest;  // null: some tree routes only by partitioning
  std::shared_ptr<const SumPlan> plan;           // for tables with rows, once one was planned
};

class Model {
 public:
  virtual ~Model() = default;

  virtual DataLoader& data_loader() = 0;
  virtual std::string to_text() const = 0;
  // Throws Fault with the "called `Result::unwrap()` on an `Err` value: " form on I/O errors.
  virtual void save(const std::string& path) const = 0;
  virtual void fit(DataMatrix data) = 0;
  virtual EffectTable predict(DataMatrix data) = 0;
  // Loads the table for prediction, as the data loader shows it (failures, records built on first
  // sight), and predicts it as predict would, to the bit. `ready`, when given, may hear of rows
  // done before the call returns.
  virtual EffectTable predict_rows(const std::vector<std::string>& headers, const CellTable& rows,
                                   const RowsReady& ready = {}) = 0;
  // Threads that loading a table may use, as configured.
  virtual std::uint64_t n_thread() const = 0;
  // A model of the same kind holding this one's configuration and bins but no trees, with
  // `n_tree` and `seed` replaced: trees grown apart on the same bins can then be joined.
  virtual std::unique_ptr<Model> untrained_copy(std::uint64_t n_tree,
                                                std::optional<std::uint64_t> seed) const = 0;
  virtual ModelKind kind() const = 0;
  virtual const TreeConfig& config() const = 0;
  // Trees held: n_tree per fit, so more than configured after a second fit.
  virtual std::size_t n_trees() const = 0;
};

// The forest both kinds share; the kind decides the criterion and the tree type.
class ForestModel final : public Model {
 public:
  // Fails with "n_bin {} exceeds max {}" when config.n_bin > 254.
  ForestModel(ModelKind kind, TreeConfig config);
  ForestModel(ModelKind kind, TreeConfig config, DataLoader loader, std::vector<TreeLearner> trees);

  DataLoader& data_loader() override { return loader_; }
  std::string to_text() const override;
  void save(const std::string& path) const override;
  void fit(DataMatrix data) override;
  EffectTable predict(DataMatrix data) override;
  // Routes rows on their raw values; only a damaged model file sends it to predict.
  EffectTable predict_rows(const std::vector<std::string>& headers, const CellTable& rows,
                           const RowsReady& ready = {}) override;
  std::uint64_t n_thread() const override { return config_.n_thread; }
  std::unique_ptr<Model> untrained_copy(std::uint64_t n_tree,
                                        std::optional<std::uint64_t> seed) const override;

  ModelKind kind() const override { return kind_; }
  const TreeConfig& config() const override { return config_; }
  std::size_t n_trees() const override { return trees_.size(); }
  const DataLoader& loader() const { return loader_; }
  const std::vector<TreeLearner>& trees() const { return trees_; }
  const PredictionPaths& last_paths() const { return last_paths_; }

 private:
  ModelKind kind_;
  TreeConfig config_;
  DataLoader loader_;
  std::vector<TreeLearner> trees_;
  PredictionPaths last_paths_;
  CompiledPrediction compiled_;
};

// The model kind named "RandomForestRegressor" or "RandomForestClassifier";
// "model name {} not found" otherwise.
ModelKind model_kind_from_name(const std::string& name);

// Reads a model file into a new model of the given kind.
std::unique_ptr<ForestModel> read_model(ModelKind kind, const std::string& path);
// The model read_model makes of a file holding `text`, with the same failures.
std::unique_ptr<ForestModel> read_model_text(ModelKind kind, std::string_view text);
// The model whose to_text gave `text`, in whatever state it was (untrained, fitted once or more).
std::unique_ptr<ForestModel> restore_model_text(ModelKind kind, std::string_view text);
// "RandomForestRegressor" or "RandomForestClassifier".
const char* model_name(ModelKind kind);

// Split of a tree count over worker threads: 10 trees on 4 threads give 3, 3, 2, 2.
std::vector<std::uint64_t> tree_groups(std::uint64_t n_tree, std::uint64_t n_thread);

}  // namespace quorvanta
