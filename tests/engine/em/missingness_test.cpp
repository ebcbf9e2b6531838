#include "em/missingness.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "input/model.h"

namespace kov::em {
namespace {

// One class item with 3 categories, one status item with 2 categories, 2 occasions.
input::Model SmallModel() {
  input::Model model;
  model.dims.classes = 2;
  model.dims.statuses = 2;
  model.dims.classItems = 1;
  model.dims.statusItems = 1;
  model.dims.occasions = 2;
  model.dims.maxClassCategories = 3;
  model.dims.maxStatusCategories = 2;
  model.classItemCategories = {3};
  model.statusItemCategories = {2};
  return model;
}

input::PatternTable Table(std::int32_t items, const std::vector<std::int32_t>& responses,
                          const std::vector<double>& frequencies) {
  input::PatternTable table;
  table.itemCount = items;
  table.patternCount = static_cast<std::int32_t>(frequencies.size());
  table.responses = responses;
  table.frequencies = frequencies;
  for (double n : frequencies) table.subjectCount += n;
  return table;
}

TEST(MissingnessTest, CategoryCountsRepeatTheStatusItemsPerOccasion) {
  input::Model model = SmallModel();
  model.dims.classItems = 2;
  model.dims.statusItems = 2;
  model.dims.occasions = 3;
  model.classItemCategories = {3, 4};
  model.statusItemCategories = {2, 5};
  EXPECT_EQ(ItemCategoryCounts(model), (std::vector<std::int32_t>{3, 4, 2, 5, 2, 5, 2, 5}));
}

// Keys (item i weighs 2^i) and cell indices (1 + (y1-1) + 3 (y2-1) + 6 (y3-1)) worked out per
// record; record p has frequency p + 1.
//   0: 2 1 2 cell 8     3: 1 0 0 key 6     6: 0 0 0 key 7
//   1: 0 1 1 key 1      4: 0 2 2 key 1     7: 2 0 1 key 2
//   2: 3 2 1 cell 6     5: 1 1 1 cell 1    8: 3 2 1 cell 6 (a repeat of record 2)
TEST(MissingnessTest, GroupsSortByKeyAndCompletePatternsByCell) {
  const input::PatternTable table =
      Table(3, {2, 1, 2, 0, 1, 1, 3, 2, 1, 1, 0, 0, 0, 2, 2, 1, 1, 1, 0, 0, 0, 2, 0, 1, 3, 2, 1},
            {1, 2, 3, 4, 5, 6, 7, 8, 9});
  const GroupedPatterns grouped = GroupByMissingness(table, SmallModel());

  EXPECT_EQ(grouped.order, (std::vector<std::int32_t>{5, 2, 8, 0, 1, 4, 7, 3, 6}));
  EXPECT_EQ(grouped.categories, (std::vector<std::int32_t>{3, 2, 2}));
  EXPECT_EQ(grouped.patterns.patternCount, 9);
  EXPECT_EQ(grouped.patterns.itemCount, 3);
  EXPECT_DOUBLE_EQ(grouped.patterns.subjectCount, 45.0);
  EXPECT_EQ(grouped.patterns.responses,
            (std::vector<std::int32_t>{1, 1, 1, 3, 2, 1, 3, 2, 1, 2, 1, 2, 0, 1, 1, 0, 2, 2, 2, 0,
                                       1, 1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(grouped.patterns.frequencies,
            (std::vector<double>{6, 3, 9, 1, 2, 5, 8, 4, 7}));

  struct Expected {
    std::int32_t first, count;
    double frequency;
    std::vector<std::int32_t> missing;
    std::vector<std::uint8_t> observed;
    double completions;
  };
  const std::vector<Expected> expected = {
      {0, 4, 19.0, {}, {1, 1, 1}, 1.0},        {4, 2, 7.0, {0}, {0, 1, 1}, 3.0},
      {6, 1, 8.0, {1}, {1, 0, 1}, 2.0},        {7, 1, 4.0, {1, 2}, {1, 0, 0}, 4.0},
      {8, 1, 7.0, {0, 1, 2}, {0, 0, 0}, 12.0},
  };
  ASSERT_EQ(grouped.groups.size(), expected.size());
  for (std::size_t g = 0; g < expected.size(); ++g) {
    SCOPED_TRACE(g);
    const MissingnessGroup& group = grouped.groups[g];
    EXPECT_EQ(group.first, expected[g].first);
    EXPECT_EQ(group.count, expected[g].count);
    EXPECT_DOUBLE_EQ(group.frequency, expected[g].frequency);
    EXPECT_EQ(group.missingItems, expected[g].missing);
    EXPECT_EQ(group.observed, expected[g].observed);
    EXPECT_DOUBLE_EQ(group.completions, expected[g].completions);
  }
}

// With 70 items the key is wider than 64 bits: missing item 69 alone (key 2^69) must follow
// the pattern that misses items 0..63 (key 2^64 - 1), which follows missing item 0 (key 1).
TEST(MissingnessTest, KeysWiderThanSixtyFourItemsKeepTheirOrder) {
  input::Model model;
  model.dims.classItems = 70;
  model.dims.classes = 2;
  model.dims.maxClassCategories = 2;
  model.classItemCategories.assign(70, 2);
  std::vector<std::int32_t> responses;
  const auto add = [&](std::int32_t firstMissing, std::int32_t endMissing) {
    for (std::int32_t i = 0; i < 70; ++i) {
      responses.push_back(i >= firstMissing && i < endMissing ? 0 : 1);
    }
  };
  add(69, 70);
  add(0, 64);
  add(0, 0);
  add(0, 1);
  const GroupedPatterns grouped = GroupByMissingness(Table(70, responses, {1, 1, 1, 1}), model);
  EXPECT_EQ(grouped.order, (std::vector<std::int32_t>{2, 3, 1, 0}));
  ASSERT_EQ(grouped.groups.size(), 4u);
  EXPECT_EQ(grouped.groups[3].missingItems, (std::vector<std::int32_t>{69}));
  EXPECT_EQ(grouped.groups[2].missingItems.size(), 64u);
  EXPECT_DOUBLE_EQ(grouped.groups[2].completions, 18446744073709551616.0);  // 2^64
}

TEST(MissingnessTest, EmptyTableHasNoGroups) {
  const GroupedPatterns grouped = GroupByMissingness(Table(3, {}, {}), SmallModel());
  EXPECT_TRUE(grouped.groups.empty());
  EXPECT_TRUE(grouped.order.empty());
  EXPECT_EQ(grouped.patterns.patternCount, 0);
}

}  // namespace
}  // namespace kov::em
