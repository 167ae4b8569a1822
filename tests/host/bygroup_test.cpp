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

TEST(ByGroups, WalksGroupsSkipsUnreadObservationsAndRewinds) {
  auto d = make({{"a", 1}, {"a", 2}, {"b", 3}, {"b", 4}, {"b", 5}, {"c", 6}});
  auto r = open_memory_reader(d);
  ByGroups by(*r, {{"g", false}});
  EXPECT_EQ(walk(by), "g=a:1,2,|g=b:3,4,5,|g=c:6,|");

  auto r2 = open_memory_reader(d);
  ByGroups part(*r2, {{"g", false}});
  Observation o;
  ASSERT_EQ(part.xbynext(), 1);
  ASSERT_TRUE(part.next(o));  // read one of the two, then move on
  ASSERT_EQ(part.xbynext(), 2);
  EXPECT_EQ(part.first_observation(), 3);
  ASSERT_TRUE(part.next(o));
  ASSERT_TRUE(part.next(o));
  EXPECT_EQ(o.num[1], 4);
  for (int pass = 0; pass < 2; ++pass) {  // rewinding returns to the group's first observation
    part.xbyrwnd();
    std::string seen;
    while (part.next(o)) seen += std::to_string(static_cast<int>(o.num[1]));
    EXPECT_EQ(seen, "345");
  }
  EXPECT_EQ(part.xbynext(), 3);
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
  auto r3 = open_memory_reader(make({{"c", 1}, {"b", 2}, {"a", 3}}));
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
  EXPECT_EQ(ByGroups(*r2, {{"g", false}}).xbynext(), 0);
  EXPECT_THROW(ByGroups(*r2, {{"nope", false}}), DataError);
}

TEST(ByGroups, MissingValuesSortFirstAndSpecialMissingInOrder) {
  const double order[] = {special_missing('_'), missing_value(), special_missing('A'),
                          special_missing('Z'), -1e300};
  for (std::size_t k = 1; k < std::size(order); ++k)
    EXPECT_LT(compare_numeric_values(order[k - 1], order[k]), 0) << k;
  EXPECT_EQ(compare_numeric_values(special_missing('C'), special_missing('C')), 0);
}

}  // namespace
}  // namespace kav
