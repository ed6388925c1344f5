// Prediction on a binned table: the compiled forest on columns whose values are bins; trees that
// do not compile (only a damaged model file holds them) route by partitioning node ranges, tree by
// tree, with that route's failures.
#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "forest/compiled_forest.hpp"
#include "forest/compiled_sum.hpp"
#include "forest/effect_sum.hpp"
#include "forest/model.hpp"
#include "forest/worker_threads.hpp"

namespace quorvanta {
namespace {

// Tree by tree, in the order given.
EffectSum sum_tree_effects(const TreeLearner* first, std::size_t count, const DataMatrix& data) {
  EffectSum sum;
  TreeRouting routing;
  for (std::size_t i = 0; i < count; ++i) {
    check_interruption();
    route_tree(first[i], data, routing);
    sum.add(routing);
  }
  return sum;
}

EffectTable predict_by_partition(const std::vector<TreeLearner>& trees, std::uint64_t n_thread,
                                 const DataMatrix& data) {
  EffectSum sum;
  if (n_thread == 1) {
    sum = sum_tree_effects(trees.data(), trees.size(), data);
  } else {
    // Contiguous groups of trees, one per worker; routing uses a partition of its own, so the
    // workers only read the shared trees and data.
    const std::vector<std::uint64_t> groups = tree_groups(trees.size(), n_thread);
    std::vector<std::size_t> first_tree(groups.size(), 0);
    for (std::size_t g = 1; g < groups.size(); ++g) {
      first_tree[g] = first_tree[g - 1] + groups[g - 1];
    }
    std::vector<EffectSum> group_sums(groups.size());
    run_on_worker_threads(groups.size(), [&](std::size_t g) {
      group_sums[g] = sum_tree_effects(trees.data() + first_tree[g], groups[g], data);
    });
    for (EffectSum& group_sum : group_sums) sum.add(std::move(group_sum));
  }
  if (sum.empty()) fail_absent_value();
  return sum.mean(trees.size());
}

// Every feature column has a bin for every row, so that the compiled route reads only real rows.
bool columns_cover_rows(const DataMatrix& data) {
  if (data.x.empty()) return false;
  for (const std::vector<std::uint8_t>& column : data.x) {
    if (column.size() != data.x.front().size()) return false;
  }
  return true;
}

}  // namespace

EffectTable ForestModel::predict(DataMatrix data) {
  last_paths_ = {};
  last_paths_.trees_on_binned_table = trees_.size();
  std::optional<CompiledForest> forest;
  if (columns_cover_rows(data)) forest = CompiledForest::on_bins(trees_, data.x.size());
  if (!forest) {
    last_paths_.trees_by_partition = trees_.size();
    return predict_by_partition(trees_, config_.n_thread, data);
  }
  note_level_walk(*forest, last_paths_);
  const std::size_t n_rows = data.n_rows();
  const SumPlan plan = plan_sum(trees_, data.x.size(), n_rows, config_.n_thread);
  const GatherChunk gather = [&](std::size_t begin, std::size_t end, std::span<float>,
                                 std::uint32_t* keys) { forest->gather(data, begin, end, keys); };
  EffectTable result = sum_compiled(*forest, plan, n_rows, config_.n_thread, gather);
  if (n_rows == 0) result.n_cols = 0;  // an empty sum has no width
  return result;
}

}  // namespace quorvanta
