// The sorted order of a long column's keys, read by rank without sorting every key: the keys are
// counted by their top 16 bits, and only the buckets whose ranks are read are gathered and sorted.
// Building bins reads a few hundred ranks and their neighbours, so most buckets are never sorted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "data/key_buffer.hpp"

namespace quorvanta {

class RankedKeys {
 public:
  static constexpr int kBucketBits = 16;
  static constexpr std::size_t kBuckets = std::size_t{1} << kBucketBits;
  // Fewer keys sort faster whole than through 2^16 counters.
  static constexpr std::size_t kMinKeys = kBuckets;
  // Ranks are kept in 32 bits.
  static constexpr std::size_t kMaxKeys = 0xFFFFFFFEu;

  // `bucket_counts` holds, per bucket, how many of `keys` have that top 16 bits.
  RankedKeys(KeyBuffer keys, std::span<const std::uint32_t> bucket_counts);

  // Gathers and sorts, in one pass over the keys, every bucket that holds one of `ranks`.
  void prepare(std::span<const std::size_t> ranks);

  // The key at `rank` (below the key count) of the ascending order. A rank in a bucket not yet
  // gathered costs a pass over the keys, which also gathers the next few buckets; after a few
  // such passes every remaining bucket is gathered at once.
  std::uint32_t key_at(std::size_t rank);

  // For tests: the passes over the keys so far, and whether every bucket has been sorted.
  std::size_t gathering_passes() const { return passes_; }
  bool sorted_everything() const { return sorted_everything_; }

 private:
  std::size_t bucket_of(std::size_t rank);
  // One pass over the keys that places the keys of the marked buckets at their ranks in sorted_,
  // then sorts each such bucket.
  void gather(const std::vector<std::uint32_t>& buckets);

  KeyBuffer keys_;
  std::vector<std::uint32_t> bucket_start_;  // rank of each bucket's first key; kBuckets + 1
  std::vector<std::uint8_t> gathered_;       // per bucket
  KeyBuffer sorted_;                         // correct at the ranks of gathered buckets
  std::size_t last_bucket_ = 0;              // scans read neighbouring ranks
  std::size_t passes_ = 0;
  bool sorted_everything_ = false;
};

}  // namespace quorvanta
