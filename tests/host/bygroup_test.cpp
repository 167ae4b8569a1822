#include "host/bygroup.h"

#include <gtest/gtest.h>

namespace kav {
namespace {

std::shared_ptr<MemoryDataSet> make(const std::vector<std::pair<std::string, double>>& rows) {
  auto d = std::make_shared<MemoryDataSet>();
  d->header.name = "WORK.T";
  d->header.vars = {{"g", "", VarKind::Character, 8}, {"x", "", VarKind::Numeric, 8}};
  for (const auto& [g, x] : rows) {
    Observation o;
    o.resize(2);
    o.str[0] = g;
    o.num[1] = x;
    d->rows.push_back(o);
  }
  return d;
}

// Reads every group; returns "key:x,x|key:x|..." so a whole walk is compared at once.
std::string walk(ByGroups& by) {
  std::string s;
  Observation o;
  while (by.xbynext() > 0) {
    s += by.key_line() + ":";
    while (by.next(o)) s += std::to_string(static_cast<int>(o.num[1])) + ",";
    s += "|";
  }
  return s;
}

TEST(ByGroups, WalksGroupsInOrderAndSkipsUnreadObservations) {
  auto d = make({{"a", 1}, {"a", 2}, {"b", 3}, {"c", 4}, {"c", 5}});
  auto r = open_memory_reader(d);
  ByGroups by(*r, {{"g", false}});
  EXPECT_EQ(walk(by), "g=a:1,2,|g=b:3,|g=c:4,5,|");

  auto r2 = open_memory_reader(d);
  ByGroups by2(*r2, {{"g", false}});
  Observation o;
  ASSERT_EQ(by2.xbynext(), 1);
  ASSERT_TRUE(by2.next(o));  // read one of the two, then move on
  ASSERT_EQ(by2.xbynext(), 2);
  ASSERT_TRUE(by2.next(o));
  EXPECT_EQ(o.num[1], 3);
  EXPECT_EQ(by2.first_observation(), 3);
}

TEST(ByGroups, RewindReturnsToTheGroupsFirstObservation) {
  auto d = make({{"a", 1}, {"b", 2}, {"b", 3}, {"b", 4}, {"c", 5}});
  auto r = open_memory_reader(d);
  ByGroups by(*r, {{"g", false}});
  Observation o;
  by.xbynext();
  by.xbynext();
  ASSERT_TRUE(by.next(o));
  ASSERT_TRUE(by.next(o));
  by.xbyrwnd();
  std::string seen;
  while (by.next(o)) seen += std::to_string(static_cast<int>(o.num[1]));
  EXPECT_EQ(seen, "234");
  by.xbyrwnd();
  seen.clear();
  while (by.next(o)) seen += std::to_string(static_cast<int>(o.num[1]));
  EXPECT_EQ(seen, "234");
  EXPECT_EQ(by.xbynext(), 3);
}

TEST(ByGroups, UnsortedDataStopWithTheObservationNamed) {
  auto d = make({{"a", 1}, {"c", 2}, {"b", 3}});
  auto r = open_memory_reader(d);
  ByGroups by(*r, {{"g", false}});
  try {
    walk(by);
    FAIL() << "unsorted data were accepted";
  } catch (const DataError& e) {
    EXPECT_EQ(e.where(), "observation 3");
  }
  // NOTSORTED takes the contiguous groups as they come; DESCENDING reverses.
  auto r2 = open_memory_reader(d);
  ByGroups ns(*r2, {{"g", false}}, true);
  EXPECT_EQ(walk(ns), "g=a:1,|g=c:2,|g=b:3,|");
  auto d3 = make({{"c", 1}, {"b", 2}, {"a", 3}});
  auto r3 = open_memory_reader(d3);
  ByGroups desc(*r3, {{"g", true}});
  EXPECT_EQ(walk(desc), "g=c:1,|g=b:2,|g=a:3,|");
}

TEST(ByGroups, NoByVariablesIsOneGroupEvenWhenEmpty) {
  auto empty = make({});
  auto r = open_memory_reader(empty);
  ByGroups by(*r, {});
  EXPECT_EQ(by.xbynext(), 1);
  Observation o;
  EXPECT_FALSE(by.next(o));
  EXPECT_EQ(by.xbynext(), 0);
  auto r2 = open_memory_reader(empty);
  ByGroups withby(*r2, {{"g", false}});
  EXPECT_EQ(withby.xbynext(), 0);
  EXPECT_THROW(ByGroups(*r2, {{"nope", false}}), DataError);
}

TEST(ByGroups, MissingValuesSortFirstAndSpecialMissingInOrder) {
  EXPECT_LT(compare_numeric_values(missing_value(), -1e300), 0);
  EXPECT_LT(compare_numeric_values(special_missing('_'), missing_value()), 0);
  EXPECT_LT(compare_numeric_values(missing_value(), special_missing('A')), 0);
  EXPECT_LT(compare_numeric_values(special_missing('A'), special_missing('Z')), 0);
  EXPECT_EQ(compare_numeric_values(special_missing('C'), special_missing('C')), 0);
}

}  // namespace
}  // namespace kav
