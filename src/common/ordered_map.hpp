// A string-keyed map that iterates in insertion order, so that everything derived from it
// (bin counts, model files) is reproducible byte for byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quorvanta {

template <class Value>
class OrderedMap {
 public:
  using Entry = std::pair<std::string, Value>;

  // Inserts or replaces; a replaced entry keeps its original position.
  void insert_or_assign(const std::string& key, Value value) {
    auto found = positions_.find(key);
    if (found != positions_.end()) {
      entries_[found->second].second = std::move(value);
      return;
    }
    positions_.emplace(key, entries_.size());
    entries_.emplace_back(key, std::move(value));
  }

  const Value* find(const std::string& key) const {
    auto found = positions_.find(key);
    return found == positions_.end() ? nullptr : &entries_[found->second].second;
  }

  bool contains(const std::string& key) const { return positions_.count(key) != 0; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

  bool operator==(const OrderedMap& other) const { return entries_ == other.entries_; }

 private:
  std::vector<Entry> entries_;
  std::unordered_map<std::string, std::size_t> positions_;
};

}  // namespace quorvanta
