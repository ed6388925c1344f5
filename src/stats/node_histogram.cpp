#include "stats/node_histogram.hpp"

#include <algorithm>

#include "data/bin.hpp"

namespace quorvanta {
namespace {

// One pass for `Features` features. The entry's high byte is its histogram row, so the counter is
// (entry & 0xFF00) + bin: no multiply, no table.
template <std::size_t Features>
void add_counts_of(const std::uint32_t* rows, const std::uint16_t* entries, std::size_t n,
                   const std::uint8_t* const* columns, std::uint32_t* const* counters) {
  const std::uint8_t* column[Features];
  std::uint32_t* counter[Features];
  for (std::size_t j = 0; j < Features; ++j) {
    column[j] = columns[j];
    counter[j] = counters[j];
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t row = rows[i];
    const std::uint32_t entry = entries[i];
    const std::uint32_t base = entry & 0xFF00;
    const std::uint32_t multiplicity = entry & 0xFF;
    for (std::size_t j = 0; j < Features; ++j) counter[j][base + column[j][row]] += multiplicity;
  }
}

}  // namespace

void add_counts(const std::uint32_t* rows, const std::uint16_t* entries, std::size_t n,
                std::span<const std::uint8_t* const> columns,
                std::span<std::uint32_t* const> counters) {
  std::size_t done = 0;
  while (done < columns.size()) {
    const std::size_t count = std::min(columns.size() - done, kCountedTogether);
    const std::uint8_t* const* column = columns.data() + done;
    std::uint32_t* const* counter = counters.data() + done;
    switch (count) {
      case 1:
        add_counts_of<1>(rows, entries, n, column, counter);
        break;
      case 2:
        add_counts_of<2>(rows, entries, n, column, counter);
        break;
      case 3:
        add_counts_of<3>(rows, entries, n, column, counter);
        break;
      default:
        add_counts_of<4>(rows, entries, n, column, counter);
        break;
    }
    done += count;
  }
}

void counts_to_cells(const std::uint32_t* counters, std::size_t n_rows, std::size_t n_bins,
                     std::size_t row_stride, float* cells) {
  for (std::size_t row = 0; row < n_rows; ++row) {
    const std::uint32_t* const counts = counters + row * kCountRowSize;
    float* const out = cells + row * row_stride;
    for (std::size_t slot = 0; slot < n_bins; ++slot) out[slot] = sum_of_ones(counts[slot]);
    // With 255 bins the missing cells' counter is slot n_bins itself.
    const std::uint64_t last = n_bins < kMissingBin
                                   ? std::uint64_t{counts[n_bins]} + counts[kMissingBin]
                                   : counts[kMissingBin];
    out[n_bins] = sum_of_ones(last);
  }
}

std::array<std::uint16_t, 256> slot_table(std::size_t n_bins) {
  std::array<std::uint16_t, 256> slots;
  for (std::size_t bin = 0; bin < slots.size(); ++bin) {
    slots[bin] = bin < n_bins    ? static_cast<std::uint16_t>(bin)
                 : bin == n_bins ? static_cast<std::uint16_t>(bin | kSharedSlot)
                                 : kBadSlot;
  }
  slots[kMissingBin] = n_bins <= 255 ? static_cast<std::uint16_t>(n_bins) : kBadSlot;
  return slots;
}

}  // namespace quorvanta
