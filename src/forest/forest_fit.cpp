#include <memory>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "forest/model.hpp"
#include "forest/worker_threads.hpp"
#include "tree/growing_table.hpp"

namespace quorvanta {
namespace {

// Grows `count` trees one after another, reusing one set of working buffers. No tree keeps the
// rows of its bootstrap draw: prediction routes through a partition of its own, and keeping one
// index array per tree would cost 8 bytes x rows x trees.
std::vector<TreeLearner> grow_trees(std::uint64_t count, const TreeConfig& config,
                                    const GrowingTable& table, SharedRng& rng) {
  std::vector<TreeLearner> learners;
  learners.reserve(count);
  TreeRows rows(table);
  for (std::uint64_t i = 0; i < count; ++i) {
    check_interruption();
    TreeLearner learner = TreeLearner::create(table.kind(), config);
    grow_tree(learner, rows, rng);
    learner.partition = Partition();
    learners.push_back(std::move(learner));
  }
  return learners;
}

}  // namespace

void ForestModel::fit(DataMatrix data) {
  std::vector<TreeLearner> grown;
  if (config_.n_thread == 1) {
    SharedRng rng(config_.seed);
    const GrowingTable table(data, kind_);
    grown = grow_trees(config_.n_tree, config_, table, rng);
  } else {
    const std::vector<std::uint64_t> groups = tree_groups(config_.n_tree, config_.n_thread);
    SharedRng rng(config_.seed);
    const TreeConfig shared_config = config_;
    // Studied once, before the workers start: they share it read only.
    const GrowingTable table(data, kind_);
    std::vector<std::vector<TreeLearner>> per_group(groups.size());
    run_on_worker_threads(groups.size(), [&](std::size_t group) {
      per_group[group] = grow_trees(groups[group], shared_config, table, rng);
    });
    grown.reserve(config_.n_tree);
    for (std::vector<TreeLearner>& learners : per_group) {
      for (TreeLearner& learner : learners) grown.push_back(std::move(learner));
    }
  }
  // Only a fit that grew every tree changes the model.
  trees_.reserve(trees_.size() + grown.size());
  for (TreeLearner& learner : grown) trees_.push_back(std::move(learner));
  compiled_ = {};  // compiled for the trees before these
}

}  // namespace quorvanta
