// The id sort: orders ids by an arbitrary comparison without quadratic
// behaviour, and handles presorted input in one pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "select.h"

namespace {

// Sorts ids by keys[id], counting comparisons.
struct KeySort {
  std::vector<int> keys;
  size_t comparisons = 0;
  std::vector<oid_t> sort(std::vector<oid_t> ids) {
    dbSortIds(ids.data(), ids.size(), [this](oid_t a, oid_t b) {
      comparisons++;
      return keys[a] < keys[b] ? -1 : keys[a] > keys[b] ? 1 : 0;
    });
    return ids;
  }
  bool inOrder(const std::vector<oid_t>& ids) const {
    return std::is_sorted(ids.begin(), ids.end(), [this](oid_t a, oid_t b) { return keys[a] < keys[b]; });
  }
};

std::vector<oid_t> allIds(size_t n) {
  std::vector<oid_t> ids(n);
  for (size_t i = 0; i < n; i++) ids[i] = static_cast<oid_t>(i);
  return ids;
}

TEST(SortIdsTest, PresortedAndReversedInputTakeOnePass) {
  for (size_t n : {51u, 1000u}) {
    KeySort ascending{std::vector<int>(n)};
    for (size_t i = 0; i < n; i++) ascending.keys[i] = static_cast<int>(i);
    EXPECT_EQ(ascending.sort(allIds(n)), allIds(n));
    EXPECT_EQ(ascending.comparisons, n - 1);

    KeySort descending{std::vector<int>(n)};
    for (size_t i = 0; i < n; i++) descending.keys[i] = static_cast<int>(n - i);
    std::vector<oid_t> reversed = allIds(n);
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_EQ(descending.sort(allIds(n)), reversed);
    EXPECT_LE(descending.comparisons, 2 * n);
  }
}

TEST(SortIdsTest, OrdersEveryShapeOfInputWithoutQuadraticCost) {
  std::mt19937 random(7);
  const size_t n = 20000;
  struct Shape {
    const char* name;
    std::function<int(size_t)> key;
  };
  const Shape shapes[] = {
      {"random", [&](size_t) { return static_cast<int>(random() % 1000000); }},
      {"few distinct keys", [&](size_t) { return static_cast<int>(random() % 3); }},
      {"all equal", [](size_t) { return 42; }},
      {"organ pipe", [](size_t i) { return static_cast<int>(i < n / 2 ? i : n - i); }},
      {"sawtooth", [](size_t i) { return static_cast<int>(i % 97); }},
      {"sorted but the last", [](size_t i) { return i + 1 == n ? -1 : static_cast<int>(i); }},
  };
  for (const Shape& shape : shapes) {
    KeySort sorter;
    for (size_t i = 0; i < n; i++) sorter.keys.push_back(shape.key(i));
    std::vector<oid_t> sorted = sorter.sort(allIds(n));
    EXPECT_TRUE(sorter.inOrder(sorted)) << shape.name;
    std::vector<oid_t> same = sorted;
    std::sort(same.begin(), same.end());
    EXPECT_EQ(same, allIds(n)) << shape.name;
    // n log2 n is about 286000; quadratic would be 200 million.
    EXPECT_LT(sorter.comparisons, 3000000u) << shape.name;
  }
}

TEST(SortIdsTest, SmallInputs) {
  for (size_t n = 0; n <= 60; n++) {
    KeySort sorter;
    for (size_t i = 0; i < n; i++) sorter.keys.push_back(static_cast<int>((i * 37) % 11));
    EXPECT_TRUE(sorter.inOrder(sorter.sort(allIds(n)))) << n;
  }
}

}  // namespace
