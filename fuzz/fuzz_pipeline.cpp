// Drives the whole core on small tables and configurations decoded from the input: load, fit,
// predict (binned, and on raw values from cells and from f32 and f64 buffers, which must agree to
// the bit), write as text, read back, predict again. Any configuration value and any cell is
// possible (zeros, huge counts, odd bin counts, NaN and infinities, missing cells), on up to four
// threads, for both model kinds. Failures must be Faults (or running out of memory); the model read
// back must write the same text and predict exactly as the fitted one.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "data/cell_table.hpp"
#include "data/missing_cell.hpp"
#include "forest/model.hpp"
#include "round_trip_check.hpp"

namespace {

using namespace quorvanta;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();

// Reads the input front to back; past its end every read gives zeros.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
  bool flag() { return (byte() & 1) != 0; }
  template <class T, std::size_t N>
  T pick(const T (&choices)[N]) {
    return choices[byte() % N];
  }
  std::uint32_t u32() {
    std::uint32_t value = 0;
    for (int k = 0; k < 4; ++k) value = (value << 8) | byte();
    return value;
  }
  // Mostly the awkward values, sometimes any bit pattern at all.
  float cell() {
    static constexpr float kCells[] = {0.0f, -0.0f,  1.0f,  -1.0f,        2.0f,  0.5f,
                                       3.0f, kInf,   -kInf, 1e-45f,       1e30f, -1e30f,
                                       7.0f, 100.0f, 0.25f, 3.4028235e38f};
    const std::uint8_t kind = byte();
    if (kind < 24) return missing_cell();
    if (kind < 40) return std::numeric_limits<float>::quiet_NaN();
    if (kind < 64) return present_cell(std::bit_cast<float>(u32()));
    if (kind < 128) return static_cast<float>(byte() % 8);
    return kCells[kind % (sizeof kCells / sizeof kCells[0])];
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

TreeConfig read_config(InputReader& in, std::size_t n_features) {
  static constexpr std::uint64_t kBins[] = {0, 1, 2, 3, 5, 7, 30, 253, 254, 255, kHuge};
  static constexpr std::uint64_t kLeaf[] = {0, 1, 2, 5, 100, kHuge};
  static constexpr std::uint64_t kCounts[] = {0, 1, 2, 3, 10, kHuge};
  static constexpr std::uint64_t kDepths[] = {0, 1, 2, 3, 6, 20, kHuge};
  static constexpr std::uint64_t kTrees[] = {0, 1, 2, 3, 5};
  static constexpr float kFloats[] = {0.0f,   1.0f, 0.5f,  0.9f,
                                      -1.0f,  kInf, -kInf, std::numeric_limits<float>::quiet_NaN(),
                                      1e-45f, 2.0f, 1.5f,  1e30f};
  TreeConfig config;
  for (std::size_t f = 0; f < n_features; ++f) {
    config.feature_cols.push_back("f" + std::to_string(f));
    if (in.flag()) config.cat_cols.push_back(config.feature_cols.back());
  }
  // Now and then a feature listed twice.
  if (in.byte() < 16) config.feature_cols.push_back(config.feature_cols.front());
  config.treatment_cols = {"t"};
  config.y_col = "y";
  if (in.flag()) config.weight_col = "w";
  config.n_bin = in.pick(kBins);
  config.min_samples_leaf = in.pick(kLeaf);
  config.min_samples_treatment = in.pick(kLeaf);
  config.n_reg = in.pick(kCounts);
  config.alpha = in.pick(kFloats);
  config.normalization = in.flag();
  config.max_features = in.pick(kCounts);
  config.max_depth = in.pick(kDepths);
  // With min_samples_leaf 0 a split may send every row to one child, which can then split the
  // same way again: such a chain only ends at max_depth, so a huge depth would never finish.
  if (config.min_samples_leaf == 0)
    config.max_depth = std::min<std::uint64_t>(config.max_depth, 12);
  config.n_tree = in.pick(kTrees);
  config.subsample = in.pick(kFloats);
  config.n_thread = in.byte() % 5;
  if (in.flag()) config.seed = in.u32();
  return config;
}

CellTable read_table(InputReader& in, std::size_t n_features, bool classification) {
  CellTable rows;
  const std::size_t n_rows = in.byte() % 48;
  for (std::size_t row = 0; row < n_rows; ++row) {
    for (std::size_t f = 0; f < n_features; ++f) rows.push_cell(in.cell());
    // Treatment group: usually 0 to 3, now and then anything.
    const std::uint8_t group = in.byte();
    rows.push_cell(group < 240 ? static_cast<float>(group % 4) : in.cell());
    const std::uint8_t outcome = in.byte();
    if (classification && outcome < 240) {
      rows.push_cell(static_cast<float>(outcome % 2));
    } else {
      rows.push_cell(in.cell());
    }
    const std::uint8_t weight = in.byte();
    rows.push_cell(weight < 200 ? 1.0f : in.cell());
    rows.end_row();
  }
  return rows;
}

// A table as a caller's numeric buffer hands it over: row-major f32 or f64 values, and a mask
// byte per cell marking the missing ones (whose values are then anything).
struct BorrowedTable {
  std::vector<std::byte> values;
  std::vector<std::uint8_t> mask;
  CellTable table;
};

BorrowedTable borrowed_copy(const CellTable& rows, std::size_t n_columns, bool wide) {
  BorrowedTable copy;
  const std::size_t n_rows = rows.n_rows();
  const std::size_t width = wide ? sizeof(double) : sizeof(float);
  copy.values.resize(n_rows * n_columns * width);
  copy.mask.resize(n_rows * n_columns);
  for (std::size_t r = 0; r < n_rows; ++r) {
    for (std::size_t c = 0; c < n_columns; ++c) {
      float cell = rows.cell(r, c).value_or(0.0f);
      copy.mask[r * n_columns + c] = is_missing_cell(cell) ? 1 : 0;
      if (is_missing_cell(cell))
        cell = std::bit_cast<float>(static_cast<std::uint32_t>(0x7FC00001u + r % 1024));
      std::byte* at = copy.values.data() + (r * n_columns + c) * width;
      if (wide) {
        const double value = cell;
        std::memcpy(at, &value, width);
      } else {
        std::memcpy(at, &cell, width);
      }
    }
  }
  const auto row_bytes = static_cast<std::ptrdiff_t>(n_columns * width);
  copy.table = CellTable(StridedCells{copy.values.data(), n_rows, n_columns, row_bytes,
                                      static_cast<std::ptrdiff_t>(width),
                                      wide ? CellType::kDouble : CellType::kFloat,
                                      reinterpret_cast<const std::byte*>(copy.mask.data()),
                                      static_cast<std::ptrdiff_t>(n_columns), 1});
  return copy;
}

fuzz::Prediction predict_on_values(ForestModel model, const std::vector<std::string>& headers,
                                   const CellTable& rows) {
  try {
    return {model.predict_rows(headers, rows), {}};
  } catch (const Fault& fault) {
    return {std::nullopt, fault.message()};
  }
}

// Routing on raw values predicts exactly as the binned route, for the table as cells and as f32
// and f64 buffers keyed in place, masks and all.
void check_value_routes(const ForestModel& model, const std::vector<std::string>& headers,
                        const CellTable& rows) {
  ForestModel binned = model;
  const fuzz::Prediction want = fuzz::predict(binned, headers, rows);
  if (!fuzz::same_prediction(predict_on_values(model, headers, rows), want)) {
    fuzz::finding("routing on values differs from the binned route");
  }
  for (const bool wide : {false, true}) {
    const BorrowedTable copy = borrowed_copy(rows, headers.size(), wide);
    if (!fuzz::same_prediction(predict_on_values(model, headers, copy.table), want)) {
      fuzz::finding(wide ? "an f64 buffer predicts differently"
                         : "an f32 buffer predicts differently");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  const ModelKind kind = in.flag() ? ModelKind::Classification : ModelKind::Regression;
  const std::size_t n_features = 1 + in.byte() % 4;
  TreeConfig config = read_config(in, n_features);
  std::vector<std::string> headers;
  for (std::size_t f = 0; f < n_features; ++f) headers.push_back("f" + std::to_string(f));
  headers.insert(headers.end(), {"t", "y", "w"});
  const bool classification = kind == ModelKind::Classification;
  const CellTable fit_rows = read_table(in, n_features, classification);
  const CellTable predict_rows = read_table(in, n_features, classification);
  const bool fit_twice = in.flag();

  try {
    ForestModel model(kind, std::move(config));
    for (int round = 0; round < (fit_twice ? 2 : 1); ++round) {
      try {
        model.fit(model.data_loader().load(headers, fit_rows, model.n_thread()));
      } catch (const Fault&) {
        // A refused table or configuration; whatever the model kept must still round-trip.
      }
    }
    check_value_routes(model, headers, predict_rows);
    fuzz::check_round_trip(model, headers, predict_rows);
    fuzz::check_round_trip(model, headers, fit_rows);
  } catch (const Fault&) {
  } catch (const std::bad_alloc&) {
  }
  return 0;
}
