#include "data/ranked_keys.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "common/fault.hpp"
#include "common/interruption.hpp"

namespace quorvanta {
namespace {

// Passes over the keys before the remaining buckets are all gathered at once: a gap scan that
// keeps leaving the gathered buckets (long runs of nearly equal values) would otherwise cost a
// pass per bucket.
constexpr std::size_t kMaxPasses = 4;
// Buckets gathered after the one a scan ran into, since a scan that leaves a bucket goes on.
constexpr std::size_t kLookahead = 64;
// Keys read between two checks for an interrupt.
constexpr std::size_t kKeysPerCheck = std::size_t{1} << 18;
constexpr std::size_t kSmallBucket = 256;
// A gathering pass that moves fewer than one key in this many branches on each key; one that
// moves more writes every key, branch-free.
constexpr std::size_t kFewGatheredKeys = 16;

// Sorts keys that share their top 16 bits: LSD radix passes over the two low bytes, a pass skipped
// when every key has the same byte there.
void sort_bucket(std::span<std::uint32_t> keys, std::vector<std::uint32_t>& scratch) {
  if (keys.size() <= kSmallBucket) {
    std::sort(keys.begin(), keys.end());
    return;
  }
  // Buckets of one repeated value (counts, rounded measurements) need no ordering.
  const auto [low, high] = std::minmax_element(keys.begin(), keys.end());
  if (*low == *high) return;
  scratch.resize(keys.size());
  std::span<std::uint32_t> from = keys;
  std::span<std::uint32_t> to(scratch.data(), keys.size());
  for (int shift = 0; shift < 16; shift += 8) {
    std::array<std::uint32_t, 256> offsets{};
    // A bucket may hold nearly every key (values close together): its passes check too.
    for (const auto [begin, end] : checked_pieces(from.size())) {
      for (std::size_t k = begin; k < end; ++k) ++offsets[(from[k] >> shift) & 0xFFu];
    }
    if (offsets[(from[0] >> shift) & 0xFFu] == from.size()) continue;
    std::uint32_t next = 0;
    for (std::uint32_t& offset : offsets) next += std::exchange(offset, next);
    for (const auto [begin, end] : checked_pieces(from.size())) {
      for (std::size_t k = begin; k < end; ++k) to[offsets[(from[k] >> shift) & 0xFFu]++] = from[k];
    }
    std::swap(from, to);
  }
  if (from.data() != keys.data()) std::copy(from.begin(), from.end(), keys.begin());
}

// Calls visit(key, its bucket) for every key in order, checking for an interrupt now and then.
template <class Visit>
void for_each_key(const KeyBuffer& keys, Visit&& visit) {
  for (std::size_t begin = 0; begin < keys.size(); begin += kKeysPerCheck) {
    check_interruption();
    const std::size_t end = std::min(keys.size(), begin + kKeysPerCheck);
    for (std::size_t k = begin; k < end; ++k) {
      visit(keys[k], keys[k] >> (32 - RankedKeys::kBucketBits));
    }
  }
}

}  // namespace

RankedKeys::RankedKeys(KeyBuffer keys, std::span<const std::uint32_t> bucket_counts)
    : keys_(std::move(keys)), bucket_start_(kBuckets + 1, 0), gathered_(kBuckets, 0) {
  if (keys_.size() > kMaxKeys || bucket_counts.size() != kBuckets) {
    fail_index(kMaxKeys, keys_.size());
  }
  std::uint32_t start = 0;
  for (std::size_t bucket = 0; bucket < kBuckets; ++bucket) {
    bucket_start_[bucket] = start;
    start += bucket_counts[bucket];
  }
  bucket_start_[kBuckets] = start;
  if (start != keys_.size()) fail_index(keys_.size(), start);
  // One slot past the keys takes the writes of the buckets a pass does not gather.
  sorted_.resize(keys_.size() + 1);
}

std::size_t RankedKeys::bucket_of(std::size_t rank) {
  if (bucket_start_[last_bucket_] <= rank && rank < bucket_start_[last_bucket_ + 1]) {
    return last_bucket_;
  }
  // The last bucket starting at or before the rank; it is not empty, since the next starts later.
  const auto after = std::upper_bound(bucket_start_.begin(), bucket_start_.end(), rank);
  last_bucket_ = static_cast<std::size_t>(after - bucket_start_.begin()) - 1;
  return last_bucket_;
}

void RankedKeys::prepare(std::span<const std::size_t> ranks) {
  std::vector<std::uint32_t> buckets;
  for (const std::size_t rank : ranks) {
    if (rank >= keys_.size()) continue;
    const std::size_t bucket = bucket_of(rank);
    if (gathered_[bucket] == 0 && (buckets.empty() || buckets.back() != bucket)) {
      buckets.push_back(static_cast<std::uint32_t>(bucket));
    }
    // A scan that ends its bucket's values goes on to the next value. Past empty buckets (few
    // distinct values) that is a bucket of its own, likely needed; next door it mostly is not.
    std::size_t next = bucket + 1;
    while (next < kBuckets && bucket_start_[next] == bucket_start_[next + 1]) ++next;
    if (next > bucket + 1 && next < kBuckets && gathered_[next] == 0) {
      buckets.push_back(static_cast<std::uint32_t>(next));
    }
  }
  std::sort(buckets.begin(), buckets.end());
  buckets.erase(std::unique(buckets.begin(), buckets.end()), buckets.end());
  if (!buckets.empty()) gather(buckets);
}

std::uint32_t RankedKeys::key_at(std::size_t rank) {
  if (rank >= keys_.size()) fail_index(keys_.size(), rank);
  const std::size_t bucket = bucket_of(rank);
  if (gathered_[bucket] == 0) {
    std::vector<std::uint32_t> buckets;
    const bool all = passes_ + 1 >= kMaxPasses;
    for (std::size_t next = bucket; next < kBuckets && (all || buckets.size() <= kLookahead);
         ++next) {
      if (gathered_[next] == 0 && bucket_start_[next] < bucket_start_[next + 1]) {
        buckets.push_back(static_cast<std::uint32_t>(next));
      }
    }
    if (all) {
      for (std::size_t before = 0; before < bucket; ++before) {
        if (gathered_[before] == 0 && bucket_start_[before] < bucket_start_[before + 1]) {
          buckets.push_back(static_cast<std::uint32_t>(before));
        }
      }
      sorted_everything_ = true;
    }
    gather(buckets);
  }
  return sorted_[rank];
}

void RankedKeys::gather(const std::vector<std::uint32_t>& buckets) {
  std::vector<std::uint32_t> cursor(kBuckets, 0);
  std::size_t gathered_keys = 0;
  for (const std::uint32_t bucket : buckets) {
    cursor[bucket] = bucket_start_[bucket];
    gathered_keys += bucket_start_[bucket + 1] - bucket_start_[bucket];
  }
  if (gathered_keys * kFewGatheredKeys < keys_.size()) {
    // Most keys stay where they are: a bit per bucket (8 KB, in the first-level cache) and a
    // branch that is mostly not taken skip them at the cost of one load each.
    std::vector<std::uint64_t> marked(kBuckets / 64, 0);
    for (const std::uint32_t bucket : buckets)
      marked[bucket / 64] |= std::uint64_t{1} << (bucket % 64);
    for_each_key(keys_, [&](std::uint32_t key, std::uint32_t bucket) {
      if ((marked[bucket / 64] >> (bucket % 64) & 1u) != 0) sorted_[cursor[bucket]++] = key;
    });
  } else {
    // Branch-free: every key is written, those of other buckets all to the one discarded slot.
    const auto discard = static_cast<std::uint32_t>(keys_.size());
    std::vector<std::uint8_t> advance(kBuckets, 0);
    for (std::uint32_t& place : cursor) place = discard;
    for (const std::uint32_t bucket : buckets) {
      cursor[bucket] = bucket_start_[bucket];
      advance[bucket] = 1;
    }
    for_each_key(keys_, [&](std::uint32_t key, std::uint32_t bucket) {
      sorted_[cursor[bucket]] = key;
      cursor[bucket] += advance[bucket];
    });
  }
  std::vector<std::uint32_t> scratch;
  std::size_t sorted_since_check = 0;
  for (const std::uint32_t bucket : buckets) {
    const std::size_t begin = bucket_start_[bucket];
    const std::size_t end = bucket_start_[bucket + 1];
    sorted_since_check += end - begin;
    if (sorted_since_check >= kItemsPerCheck) {
      check_interruption();
      sorted_since_check = 0;
    }
    sort_bucket(std::span<std::uint32_t>(sorted_).subspan(begin, end - begin), scratch);
    gathered_[bucket] = 1;
  }
  ++passes_;
}

}  // namespace quorvanta
