// The histogram loops of tree growing, over a node's rows kept as contiguous arrays.
//
// Two forms. Where every row weighs 1 (classification without a weight column), a histogram cell
// is a count: a sum of ones is exact in any order, up to 2^24 where adding one more no longer
// changes an f32, so rows can be kept in any order, a row drawn several times can be one entry
// with its multiplicity, and counting is integer work. Elsewhere each row's values are added in
// the node's row order, every sum equal to the one the per-call criteria take.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvanta {

// Counters per (class, group) histogram row, indexed by the raw bin byte: slots need no table,
// missing cells (bin 255) land in the last counter.
inline constexpr std::size_t kCountRowSize = 256;
// A count entry keeps its histogram row in its high byte, so (class, group) rows must fit a byte.
inline constexpr std::size_t kMaxCountRows = 256;
inline constexpr std::uint32_t kMaxMultiplicity = 255;

// A drawn row's entry in the counting form: histogram row (class * G + group) in the high byte,
// the number of times it was drawn (1..255) in the low one.
inline std::uint16_t count_entry(std::size_t histogram_row, std::uint32_t multiplicity) {
  return static_cast<std::uint16_t>(histogram_row << 8 | multiplicity);
}

// Features counted in one pass over a node's entries: each row is read once for all of them, and
// their counters together stay within the first-level cache.
inline constexpr std::size_t kCountedTogether = 4;

// For each of up to kCountedTogether features (columns[j], the feature's bin per table row),
// adds every entry's multiplicity to counters[j][histogram row * kCountRowSize + bin]. The
// counters must be zero where they are to start from zero; `rows` are table rows, within every
// column.
void add_counts(const std::uint32_t* rows, const std::uint16_t* entries, std::size_t n,
                std::span<const std::uint8_t* const> columns,
                std::span<std::uint32_t* const> counters);

// The raw class cells of a feature with `n_bins` bins (at most 255, every present bin at most
// n_bins) from its `n_rows` counter rows: cell (row, slot) at row * `row_stride`, each the f32 sum
// of that many ones. Slot n_bins takes the missing cells and any present bin equal to n_bins.
void counts_to_cells(const std::uint32_t* counters, std::size_t n_rows, std::size_t n_bins,
                     std::size_t row_stride, float* cells);

// The f32 value of adding 1.0f `count` times from 0: exact up to 2^24, which then stays.
inline float sum_of_ones(std::uint64_t count) {
  constexpr std::uint64_t kLastExact = std::uint64_t{1} << 24;
  return static_cast<float>(count < kLastExact ? count : kLastExact);
}

// What one row adds to a histogram in the ordered form: the first cell of its histogram row and
// its values (classification: w; regression: w, y * w, (y * y) * w).
template <std::size_t Width>
struct RowEntry {
  std::uint32_t cell;
  float values[Width];
};

inline constexpr std::uint16_t kBadSlot = 0x100;
inline constexpr std::uint16_t kSharedSlot = 0x200;

// Slot of each bin value: its own below the bin count B, B for a missing cell, kBadSlot for a
// present bin above B (the exact builders' failure) and for slots that do not fit a byte. A
// present bin equal to B is flagged kSharedSlot: it shares the missing cells' slot.
std::array<std::uint16_t, 256> slot_table(std::size_t n_bins);

// cell_of_row[i] = entries[i].cell + slot of rows[i]'s bin times Width. False when some row has
// a present bin above the bin count: the exact builders then report it.
template <std::size_t Width>
bool gather_cells(const std::uint8_t* column, const std::uint32_t* rows,
                  const RowEntry<Width>* entries, std::size_t n,
                  const std::array<std::uint16_t, 256>& slots, std::uint32_t* cell_of_row) {
  std::uint16_t seen = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint16_t slot = slots[column[rows[i]]];
    seen |= slot;  // the flags above the low byte
    cell_of_row[i] = entries[i].cell + static_cast<std::uint32_t>((slot & 0xFF) * Width);
  }
  return (seen & kBadSlot) == 0;
}

// Adds each entry's values to its cell, in entry order: cells[cell_of_row[i] + v] += values[v].
template <std::size_t Width>
void add_in_order(const RowEntry<Width>* entries, const std::uint32_t* cell_of_row, std::size_t n,
                  float* cells) {
  for (std::size_t i = 0; i < n; ++i) {
    float* const cell = cells + cell_of_row[i];
    for (std::size_t v = 0; v < Width; ++v) cell[v] = cell[v] + entries[i].values[v];
  }
}

}  // namespace quorvanta
