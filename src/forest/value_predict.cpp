// Prediction on the caller's raw table: rows are routed on the values of the features the trees
// use, chunk by chunk, through the forest as compiled by the first call after a fit or a load.
#include <memory>

#include "common/fault.hpp"
#include "forest/compiled_forest.hpp"
#include "forest/compiled_sum.hpp"
#include "forest/model.hpp"

namespace quorvanta {

EffectTable ForestModel::predict_rows(const std::vector<std::string>& headers,
                                      const CellTable& rows, const RowsReady& ready) {
  last_paths_ = {};
  const RawFeatures features = loader_.locate_features(headers, rows, config_.n_thread);
  // Records are only ever added, so their count tells whether the compiled tests still hold.
  const std::size_t n_records = loader_.continuous_bins().size() + loader_.discrete_bins().size();
  if (!compiled_.built || compiled_.n_records != n_records) {
    std::optional<CompiledForest> forest = CompiledForest::on_values(trees_, features);
    compiled_ = {};
    compiled_.built = true;
    compiled_.n_records = n_records;
    if (forest) compiled_.forest = std::make_shared<const CompiledForest>(std::move(*forest));
    last_paths_.forest_compiled = true;
  } else {
    last_paths_.forest_reused = true;
  }
  const std::shared_ptr<const CompiledForest> forest = compiled_.forest;
  if (!forest) {
    const PredictionPaths compiling = last_paths_;
    DataMatrix data = loader_.load(headers, rows, config_.n_thread);
    // predict starts its own account of the ways taken; this call's compiling belongs to it.
    const auto keep_compiling = [&] {
      last_paths_.forest_compiled = compiling.forest_compiled;
      last_paths_.forest_reused = compiling.forest_reused;
    };
    try {
      EffectTable effects = predict(std::move(data));
      keep_compiling();
      return effects;
    } catch (...) {
      keep_compiling();
      throw;
    }
  }

  // Planning either succeeds or fails the same way every time; only a success is kept, so every
  // failure is met again at the same step of the next call.
  const std::size_t n_rows = features.n_rows;
  std::shared_ptr<const SumPlan> plan = compiled_.plan;
  if (plan && n_rows > 0) {
    last_paths_.sum_plan_reused = true;
  } else {
    plan = std::make_shared<const SumPlan>(
        plan_sum(trees_, features.features.size(), n_rows, config_.n_thread));
    if (n_rows > 0) compiled_.plan = plan;
  }

  last_paths_.trees_on_values = trees_.size();
  note_level_walk(*forest, last_paths_);
  last_paths_.keys_in_place = CompiledForest::keys_in_place(rows) != nullptr;
  for (const RoutingColumn& column : forest->columns()) {
    ++(column.form == ColumnForm::kBin ? last_paths_.columns_on_bins
                                       : last_paths_.columns_on_values);
  }
  const GatherChunk gather = [&](std::size_t begin, std::size_t end, std::span<float> cells,
                                 std::uint32_t* keys) {
    forest->gather(rows, features, begin, end, cells, keys);
  };
  return sum_compiled(*forest, *plan, n_rows, config_.n_thread, gather, ready,
                      &last_paths_.rows_ready_while_routing);
}

}  // namespace quorvanta
