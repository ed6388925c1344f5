// The Counts path: classification where every row weighs 1. A histogram cell is then a count, exact
// in any order, so each distinct drawn row is one entry with its multiplicity, entries stay in
// ascending row order (every column is read forward), and counting is integer work.
#pragma once

#include <cstdint>
#include <vector>

#include "tree/grow_path.hpp"
#include "tree/growing_table.hpp"

namespace quorvanta {

class CountedRows final : public GrowPathRows {
 public:
  explicit CountedRows(const GrowingTable& table) : table_(table) {}

  // Whether the path can serve trees of the table at all.
  static bool serves(const GrowingTable& table);

  std::vector<std::uint32_t>& draw_buffer() override { return rows_[1]; }
  bool start(std::span<const std::uint32_t> drawn, NodeStretch& root) override;
  void search(const NodeCriterion& criterion, const NodeStretch& node,
              std::span<const std::uint64_t> features, const SplitVisit& visit) override;
  std::pair<std::uint64_t, std::uint64_t> split(const SplitInfo& split,
                                                const NodeStretch& node) override;
  void write_rows(const NodeStretch& node, RowId* out) const override;

 private:
  // One more draw of `row`; true when it is the row's first.
  bool count_draw(std::uint32_t row);

  const GrowingTable& table_;
  std::vector<std::uint8_t> multiplicity_;  // per table row, zero between trees
  std::vector<std::uint32_t> overflow_;     // draws of a row beyond kMaxMultiplicity
  std::vector<std::uint32_t> rows_[2];
  std::vector<std::uint16_t> counts_[2];  // count_entry of each row
  std::vector<std::uint8_t> sides_;
  std::vector<std::uint32_t> counters_;
  std::vector<float> cells_;
  ScanScratch scan_;
  std::vector<float> summary_;
};

}  // namespace quorvanta
