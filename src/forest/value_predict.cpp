// Prediction on the caller's raw table: rows are routed on the values of the features the trees
// use, chunk by chunk, with the chunks spread over worker threads. Each row's sum is built in the
// order the tree-by-tree sum of the binned table uses (tree by tree within each tree group, then
// group by group), so the result is the same to the bit, and so are the failures.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "forest/effect_sum.hpp"
#include "forest/model.hpp"
#include "forest/value_router.hpp"
#include "forest/worker_threads.hpp"

namespace quorvanta {
namespace {

constexpr std::size_t kChunkRows = ValueRouter::kChunkRows;
// Chunks a worker claims at a time: few claims, yet a slow thread holds up little at the end.
constexpr std::size_t kChunksPerClaim = 16;

// How one tree's effect enters a row's sum: the first tree of a group starts the group's sum, each
// later one is added over the columns the sum still has.
struct TreeTerm {
  TreeRouting effects;  // every leaf's effect; `leaves` unused
  bool starts_group = false;
  std::size_t width_after = 0;
};

struct GroupTerm {
  std::size_t first_tree = 0;
  std::size_t n_trees = 0;
  std::size_t width = 0;              // of the group's own sum
  std::size_t total_width_after = 0;  // of the total once this group is added
};

struct SumPlan {
  std::vector<TreeTerm> trees;
  std::vector<GroupTerm> groups;
  std::size_t width = 0;   // columns of the result
  std::size_t stride = 1;  // per-row room in the working sums: the widest tree
};

// The row-free part of summing tree tables: every leaf's effect and the width of every partial
// sum, computed on the same threads, in the same order and with the same failures as routing the
// binned table would give. A table without features fails where its row count is first asked.
SumPlan plan_sum(const std::vector<TreeLearner>& trees, std::size_t n_features, std::size_t n_rows,
                 std::uint64_t n_thread) {
  SumPlan plan;
  plan.trees.resize(trees.size());
  const auto plan_group = [&](GroupTerm& group) {
    for (std::size_t t = group.first_tree; t < group.first_tree + group.n_trees; ++t) {
      if (n_features == 0) fail_absent_value();
      TreeTerm& term = plan.trees[t];
      collect_leaf_effects(trees[t].tree, term.effects);
      term.starts_group = t == group.first_tree;
      if (term.starts_group) {
        group.width = term.effects.width;
      } else if (n_rows > 0) {
        group.width = added_width(group.width, term.effects.width);
      }
      term.width_after = group.width;
    }
  };
  if (n_thread == 1) {
    if (!trees.empty()) plan.groups.push_back({0, trees.size()});
    for (GroupTerm& group : plan.groups) plan_group(group);
  } else {
    const std::vector<std::uint64_t> sizes = tree_groups(trees.size(), n_thread);
    std::size_t first = 0;
    for (const std::uint64_t size : sizes) {
      plan.groups.push_back({first, static_cast<std::size_t>(size)});
      first += size;
    }
    run_on_worker_threads(plan.groups.size(), [&](std::size_t g) { plan_group(plan.groups[g]); });
  }
  if (plan.groups.empty()) fail_absent_value();
  std::size_t total = plan.groups.front().width;
  for (GroupTerm& group : plan.groups) {
    if (&group != &plan.groups.front() && n_rows > 0) total = added_width(total, group.width);
    group.total_width_after = total;
  }
  if (n_rows > 0) require_columns(total);
  plan.width = total;
  for (const TreeTerm& term : plan.trees) plan.stride = std::max(plan.stride, term.effects.width);
  return plan;
}

// One worker's buffers, reused from chunk to chunk.
struct ChunkBuffers {
  std::vector<float> cells;
  std::vector<std::uint32_t> keys;
  std::vector<std::uint32_t> leaves;
  std::vector<float> total;
  std::vector<float> group;

  ChunkBuffers(std::size_t n_columns, std::size_t stride)
      : cells(kChunkRows),
        keys(std::max<std::size_t>(n_columns, 1) * kChunkRows),
        leaves(kChunkRows),
        total(kChunkRows * stride),
        group(kChunkRows * stride) {}
};

// Adds one tree's effects to the sums of `count` rows, or starts them with it.
void add_tree(const TreeTerm& term, const std::uint32_t* leaves, std::size_t count,
              std::size_t stride, float* sums) {
  const float* effects = term.effects.effects.data();
  const std::size_t* offsets = term.effects.effect_offset.data();
  if (term.starts_group) {
    const std::size_t width = term.effects.width;
    for (std::size_t i = 0; i < count; ++i) {
      const float* effect = effects + offsets[leaves[i]];
      std::copy(effect, effect + width, sums + i * stride);
    }
    return;
  }
  const std::size_t width = term.width_after;
  if (width == 1 && stride == 1) {  // one treatment group: the common case, without inner loop
    for (std::size_t i = 0; i < count; ++i) sums[i] = sums[i] + effects[offsets[leaves[i]]];
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const float* effect = effects + offsets[leaves[i]];
    float* sum = sums + i * stride;
    for (std::size_t c = 0; c < width; ++c) sum[c] = sum[c] + effect[c];
  }
}

// Rows [begin, end), at most kChunkRows of them: routed through every tree and averaged into
// their rows of `out`.
void sum_chunk(const SumPlan& plan, const ValueRouter& router, const CellTable& rows,
               std::size_t begin, std::size_t end, float divisor, ChunkBuffers& buffers,
               EffectTable& out) {
  const std::size_t count = end - begin;
  const std::size_t stride = plan.stride;
  router.gather(rows, begin, end, buffers.cells, buffers.keys);
  for (const GroupTerm& group : plan.groups) {
    const bool first_group = &group == &plan.groups.front();
    float* sums = first_group ? buffers.total.data() : buffers.group.data();
    for (std::size_t t = group.first_tree; t < group.first_tree + group.n_trees; ++t) {
      ValueRouter::route(router.trees()[t], buffers.keys.data(), count, buffers.leaves.data());
      add_tree(plan.trees[t], buffers.leaves.data(), count, stride, sums);
    }
    if (first_group) continue;
    for (std::size_t i = 0; i < count; ++i) {
      float* total = buffers.total.data() + i * stride;
      const float* group_sum = sums + i * stride;
      for (std::size_t c = 0; c < group.total_width_after; ++c) total[c] = total[c] + group_sum[c];
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    const float* total = buffers.total.data() + i * stride;
    float* mean = out.values.data() + (begin + i) * plan.width;
    for (std::size_t c = 0; c < plan.width; ++c) mean[c] = total[c] / divisor;
  }
}

}  // namespace

EffectTable ForestModel::predict_rows(const std::vector<std::string>& headers,
                                      const CellTable& rows, const RowsReady& ready) {
  last_paths_ = {};
  const RawFeatures features = loader_.locate_features(headers, rows, config_.n_thread);
  const std::optional<ValueRouter> router = ValueRouter::compile(trees_, features);
  if (!router) return predict(loader_.load(headers, rows, config_.n_thread));
  const std::size_t n_rows = features.n_rows;
  const SumPlan plan = plan_sum(trees_, features.features.size(), n_rows, config_.n_thread);

  last_paths_.trees_on_values = trees_.size();
  for (const RoutingColumn& column : router->columns()) {
    ++(column.form == ColumnForm::kBin ? last_paths_.columns_on_bins
                                       : last_paths_.columns_on_values);
  }

  EffectTable result;
  result.n_rows = n_rows;
  result.n_cols = plan.width;
  result.values.resize(n_rows * plan.width);
  const float divisor = static_cast<float>(trees_.size());
  const std::size_t n_chunks = (n_rows + kChunkRows - 1) / kChunkRows;
  const std::size_t n_claims = (n_chunks + kChunksPerClaim - 1) / kChunksPerClaim;
  std::atomic<std::size_t> next_chunk{0};
  // Claims whose rows are final, for `ready`; the release store publishes the rows' effects.
  std::vector<std::atomic<bool>> claim_done(ready ? n_claims : 0);
  // The per-chunk loop of every worker: chunks are claimed in runs, each written to its own rows.
  // A run of 16 chunks (4096 rows through every tree) takes a few milliseconds, well inside the
  // interval at which a pending interrupt must be noticed.
  const auto work = [&](std::size_t) {
    ChunkBuffers buffers(router->columns().size(), plan.stride);
    for (;;) {
      check_interruption();
      const std::size_t first = next_chunk.fetch_add(kChunksPerClaim);
      if (first >= n_chunks) return;
      for (std::size_t chunk = first; chunk < std::min(n_chunks, first + kChunksPerClaim);
           ++chunk) {
        const std::size_t begin = chunk * kChunkRows;
        const std::size_t end = std::min(n_rows, begin + kChunkRows);
        sum_chunk(plan, *router, rows, begin, end, divisor, buffers, result);
      }
      if (!claim_done.empty()) {
        claim_done[first / kChunksPerClaim].store(true, std::memory_order_release);
      }
    }
  };
  // The leading claims that are done, handed on as rows.
  std::size_t done_claims = 0;
  const auto take_done = [&] {
    const std::size_t before = done_claims;
    while (done_claims < n_claims && claim_done[done_claims].load(std::memory_order_acquire)) {
      ++done_claims;
    }
    if (done_claims != before) {
      ready(result, std::min(n_rows, done_claims * kChunksPerClaim * kChunkRows));
    }
  };
  if (config_.n_thread <= 1 || n_chunks < 2) {
    work(0);
  } else {
    run_on_worker_threads(std::min<std::size_t>(config_.n_thread, n_chunks), work,
                          ready ? std::function<void()>(take_done) : std::function<void()>());
  }
  return result;
}

}  // namespace quorvanta
