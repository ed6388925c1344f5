#include "common/fault.hpp"

#include <gtest/gtest.h>

#include "common/ordered_map.hpp"

namespace quorvanta {
namespace {

TEST(Fault, FixedTextsAndSourcePosition) {
  try {
    fail_index(2, 7);
    FAIL() << "fail_index returned";
  } catch (const Fault& fault) {
    EXPECT_STREQ(fault.what(), "index out of bounds: the len is 2 but the index is 7");
    EXPECT_NE(std::string(fault.where().file_name()).find("fault_test.cpp"), std::string::npos);
  }
  EXPECT_THROW(fail_division(), Fault);
  std::optional<int> none;
  try {
    unwrap(none);
    FAIL() << "unwrap of an empty optional returned";
  } catch (const Fault& fault) {
    EXPECT_EQ(fault.what(), std::string(kAbsentValueMessage));
  }
  std::vector<int> items{1, 2};
  EXPECT_EQ(checked_at(items, 1), 2);
  EXPECT_THROW(checked_at(items, 2), Fault);
}

TEST(OrderedMap, IteratesInInsertionOrderAndReplacesInPlace) {
  OrderedMap<int> map;
  map.insert_or_assign("zeta", 1);
  map.insert_or_assign("alpha", 2);
  map.insert_or_assign("zeta", 3);
  std::vector<std::pair<std::string, int>> seen(map.begin(), map.end());
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (std::pair<std::string, int>{"zeta", 3}));
  EXPECT_EQ(seen[1], (std::pair<std::string, int>{"alpha", 2}));
  EXPECT_EQ(*map.find("alpha"), 2);
  EXPECT_EQ(map.find("beta"), nullptr);
}

}  // namespace
}  // namespace quorvanta
