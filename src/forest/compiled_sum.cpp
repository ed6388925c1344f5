#include "forest/compiled_sum.hpp"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "forest/worker_threads.hpp"

namespace quorvanta {
namespace {

constexpr std::size_t kChunkRows = CompiledForest::kChunkRows;
// Chunks a worker claims at a time: few claims, yet a slow thread holds up little at the end.
constexpr std::size_t kChunksPerClaim = 16;

}  // namespace

SumPlan plan_sum(const std::vector<TreeLearner>& trees, std::size_t n_features, std::size_t n_rows,
                 std::uint64_t n_thread) {
  SumPlan plan;
  plan.trees.resize(trees.size());
  const auto plan_group = [&](GroupTerm& group) {
    for (std::size_t t = group.first_tree; t < group.first_tree + group.n_trees; ++t) {
      check_interruption();
      if (n_features == 0) fail_absent_value();
      TreeTerm& term = plan.trees[t];
      collect_leaf_effects(trees[t].tree, term.effects);
      if (term.effects.width == 1) {
        term.node_effect.assign(trees[t].tree.n_nodes(), 0.0f);
        for (std::uint64_t node = 0; node < trees[t].tree.n_nodes(); ++node) {
          if (!trees[t].tree.left_children[node]) {
            term.node_effect[node] = term.effects.effects[term.effects.effect_offset[node]];
          }
        }
      }
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

namespace {

// One worker's buffers, reused from chunk to chunk.
struct ChunkBuffers {
  std::vector<float> cells;
  // Laid out kChunkRows apart per column, but only the rows of the chunk are ever written or read:
  // left uninitialised, so a call on one row touches no more than it needs.
  std::unique_ptr<std::uint32_t[]> keys;
  std::vector<std::uint32_t> leaves;
  std::vector<float> total;
  std::vector<float> group;

  ChunkBuffers(std::size_t chunk_rows, std::size_t n_columns, std::size_t stride)
      : cells(chunk_rows),
        // Leaves read column 0 and ignore it; without columns it is zeros, never read unset.
        keys(n_columns == 0 ? new std::uint32_t[kChunkRows]()
                            : new std::uint32_t[n_columns * kChunkRows]),
        leaves(chunk_rows),
        total(chunk_rows * stride),
        group(chunk_rows * stride) {}
};

// One effect column: each row's leaf effect, 16 rows to a gather where the processor has 512-bit
// vectors. The same single additions in the same order as one row at a time.
__attribute__((target("avx512f"))) std::size_t add_node_effects_avx512(const float* node_effect,
                                                                       const std::uint32_t* leaves,
                                                                       std::size_t count,
                                                                       bool starts, float* sums) {
  constexpr std::size_t kLanes = 16;
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    const __m512i leaf = _mm512_loadu_si512(leaves + i);
    const __m512 effect =
        _mm512_mask_i32gather_ps(_mm512_setzero_ps(), 0xFFFF, leaf, node_effect, 4);
    _mm512_storeu_ps(sums + i, starts ? effect : _mm512_add_ps(_mm512_loadu_ps(sums + i), effect));
  }
  return i;
}

void add_node_effects(const std::vector<float>& effects, const std::uint32_t* leaves,
                      std::size_t count, bool starts, float* sums) {
  static const bool vectors = __builtin_cpu_supports("avx512f");
  const float* node_effect = effects.data();
  // Gathers index with signed 32-bit lanes.
  const bool indexable = effects.size() <= static_cast<std::size_t>(INT32_MAX);
  std::size_t i = vectors && indexable && count >= 16
                      ? add_node_effects_avx512(node_effect, leaves, count, starts, sums)
                      : 0;
  if (starts) {
    for (; i < count; ++i) sums[i] = node_effect[leaves[i]];
  } else {
    for (; i < count; ++i) sums[i] = sums[i] + node_effect[leaves[i]];
  }
}

// Adds one tree's effects to the sums of `count` rows, or starts them with it.
void add_tree(const TreeTerm& term, const std::uint32_t* leaves, std::size_t count,
              std::size_t stride, float* sums) {
  const float* effects = term.effects.effects.data();
  const std::size_t* offsets = term.effects.effect_offset.data();
  if (!term.node_effect.empty() && stride == 1) {  // one treatment group: the common case
    add_node_effects(term.node_effect, leaves, count, term.starts_group, sums);
    return;
  }
  if (term.starts_group) {
    const std::size_t width = term.effects.width;
    for (std::size_t i = 0; i < count; ++i) {
      const float* effect = effects + offsets[leaves[i]];
      std::copy(effect, effect + width, sums + i * stride);
    }
    return;
  }
  const std::size_t width = term.width_after;
  for (std::size_t i = 0; i < count; ++i) {
    const float* effect = effects + offsets[leaves[i]];
    float* sum = sums + i * stride;
    for (std::size_t c = 0; c < width; ++c) sum[c] = sum[c] + effect[c];
  }
}

// Rows [begin, end), at most kChunkRows of them: routed through every tree and averaged into
// their rows of `out`.
void sum_chunk(const SumPlan& plan, const CompiledForest& forest, const GatherChunk& gather,
               std::size_t begin, std::size_t end, float divisor, ChunkBuffers& buffers,
               EffectTable& out) {
  const std::size_t count = end - begin;
  const std::size_t stride = plan.stride;
  gather(begin, end, buffers.cells, buffers.keys.get());
  for (const GroupTerm& group : plan.groups) {
    const bool first_group = &group == &plan.groups.front();
    float* sums = first_group ? buffers.total.data() : buffers.group.data();
    for (std::size_t t = group.first_tree; t < group.first_tree + group.n_trees; ++t) {
      // A chunk through thousands of trees takes longer than an interrupt may wait; every eighth
      // tree costs the poll about a percent of 256 rows through eight trees.
      if (t % 8 == 7) check_interruption();
      CompiledForest::route(forest.trees()[t], buffers.keys.get(), count, buffers.leaves.data());
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

EffectTable sum_compiled(const CompiledForest& forest, const SumPlan& plan, std::size_t n_rows,
                         std::uint64_t n_thread, const GatherChunk& gather, const RowsReady& ready,
                         bool* overlapped) {
  EffectTable result;
  result.n_rows = n_rows;
  result.n_cols = plan.width;
  result.values.resize(n_rows * plan.width);
  const float divisor = static_cast<float>(plan.trees.size());
  const std::size_t chunk_rows = std::clamp<std::size_t>(n_rows, 1, kChunkRows);
  const std::size_t n_chunks = (n_rows + kChunkRows - 1) / kChunkRows;
  const std::size_t n_claims = (n_chunks + kChunksPerClaim - 1) / kChunksPerClaim;
  std::atomic<std::size_t> next_chunk{0};
  // Claims whose rows are final, for `ready`; the release store publishes the rows' effects.
  std::vector<std::atomic<bool>> claim_done(ready ? n_claims : 0);
  // The per-chunk loop of every worker: chunks are claimed in runs, each written to its own rows.
  // A run of 16 chunks (4096 rows through every tree) takes a few milliseconds, well inside the
  // interval at which a pending interrupt must be noticed.
  const auto work = [&](std::size_t) {
    ChunkBuffers buffers(chunk_rows, forest.columns().size(), plan.stride);
    for (;;) {
      check_interruption();
      const std::size_t first = next_chunk.fetch_add(kChunksPerClaim);
      if (first >= n_chunks) return;
      for (std::size_t chunk = first; chunk < std::min(n_chunks, first + kChunksPerClaim);
           ++chunk) {
        const std::size_t begin = chunk * kChunkRows;
        const std::size_t end = std::min(n_rows, begin + kChunkRows);
        sum_chunk(plan, forest, gather, begin, end, divisor, buffers, result);
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
  const bool on_workers = n_thread > 1 && n_chunks >= 2;
  if (overlapped != nullptr) *overlapped = on_workers && ready;
  if (!on_workers) {
    work(0);
  } else {
    run_on_worker_threads(std::min<std::size_t>(n_thread, n_chunks), work,
                          ready ? std::function<void()>(take_done) : std::function<void()>());
  }
  return result;
}

}  // namespace quorvanta
