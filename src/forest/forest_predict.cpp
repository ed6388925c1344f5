#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "forest/effect_sum.hpp"
#include "forest/model.hpp"
#include "forest/worker_threads.hpp"

namespace quorvanta {
namespace {

// Tree by tree, in the order given; counts the trees routed by partitioning.
EffectSum sum_tree_effects(const TreeLearner* first, std::size_t count, const DataMatrix& data,
                           std::size_t& by_partition) {
  EffectSum sum;
  TreeRouting routing;
  for (std::size_t i = 0; i < count; ++i) {
    check_interruption();
    route_tree(first[i], data, routing);
    by_partition += routing.by_partition ? 1 : 0;
    sum.add(routing);
  }
  return sum;
}

}  // namespace

EffectTable ForestModel::predict(DataMatrix data) {
  EffectSum sum;
  last_paths_ = {};
  last_paths_.trees_on_binned_table = trees_.size();
  if (config_.n_thread == 1) {
    sum = sum_tree_effects(trees_.data(), trees_.size(), data, last_paths_.trees_by_partition);
  } else {
    // Contiguous groups of trees, one per worker; routing uses a partition of its own, so the
    // workers only read the shared trees and data.
    const std::vector<std::uint64_t> groups = tree_groups(trees_.size(), config_.n_thread);
    std::vector<std::size_t> first_tree(groups.size(), 0);
    for (std::size_t g = 1; g < groups.size(); ++g) first_tree[g] = first_tree[g - 1] + groups[g - 1];
    std::vector<EffectSum> group_sums(groups.size());
    std::vector<std::size_t> by_partition(groups.size(), 0);
    run_on_worker_threads(groups.size(), [&](std::size_t g) {
      group_sums[g] =
          sum_tree_effects(trees_.data() + first_tree[g], groups[g], data, by_partition[g]);
    });
    for (const std::size_t count : by_partition) last_paths_.trees_by_partition += count;
    for (EffectSum& group_sum : group_sums) sum.add(std::move(group_sum));
  }
  if (sum.empty()) fail_absent_value();
  return sum.mean(trees_.size());
}

}  // namespace quorvanta
