// The Exact path, the reference the others must equal: the per-call histogram builders over a
// 64-bit partition, with every check of the criteria. Trees take it when a drawn row cannot be
// read (the builders then report it at the node that reads it) or when the table is beyond the
// narrower paths' limits.
#pragma once

#include <cstdint>
#include <vector>

#include "tree/grow_path.hpp"
#include "tree/growing_table.hpp"
#include "tree/partition.hpp"

namespace quorvanta {

class ExactRows final : public GrowPathRows {
 public:
  explicit ExactRows(const GrowingTable& table) : table_(table) {}

  const GrowingTable& table() const { return table_; }

  // Draws beyond 32-bit row numbers come here directly.
  void start_wide(std::vector<RowId> drawn, NodeStretch& root);

  std::vector<std::uint32_t>& draw_buffer() override { return draw_; }
  bool start(std::span<const std::uint32_t> drawn, NodeStretch& root) override;
  void search(const NodeCriterion& criterion, const NodeStretch& node,
              std::span<const std::uint64_t> features, const SplitVisit& visit) override;
  std::pair<std::uint64_t, std::uint64_t> split(const SplitInfo& split,
                                                const NodeStretch& node) override;
  void write_rows(const NodeStretch& node, RowId* out) const override;

 private:
  const GrowingTable& table_;
  std::vector<std::uint32_t> draw_;
  Partition partition_;
  std::vector<float> cells_;
  ScanScratch scan_;
  std::vector<float> summary_;
};

}  // namespace quorvanta
