// The compiled restrictions of one array, worked out by hand from the codes: the first positive
// entry of a code k >= 2 in storage order heads its group and the later ones become -k; members
// are listed set by set; fixed sums add the start values of code-0 entries; the estimated
// entries are the positive codes less the first free entry (gamma, delta, tau) or the
// category-1 entry (rho), and a head closing a set without a free entry is not counted.
// Offsets are first index fastest: tau (r, j, c) at r + R*(j + S*c), rho with the category
// fastest.
#include "input/restriction_structure.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kov::input {
namespace {

using Codes = std::vector<std::int32_t>;
using Offsets = std::vector<std::size_t>;

ModelDimensions Dims(int classes, int statuses, int classItems, int statusItems, int occasions,
                     int kc, int ks) {
  ModelDimensions d;
  d.classes = classes;
  d.statuses = statuses;
  d.classItems = classItems;
  d.statusItems = statusItems;
  d.occasions = occasions;
  d.maxClassCategories = kc;
  d.maxStatusCategories = ks;
  d.extraTransitionRows = occasions >= 3 ? (occasions - 2) * statuses : 0;
  return d;
}

struct Group {
  std::int64_t code;
  bool hasHead;
  std::size_t head, headSet;
  Offsets members, sets;
};

struct Case {
  std::string name;
  ParameterSets sets;
  Codes codes;
  std::vector<double> start;
  Codes marked;
  std::vector<Group> groups;
  std::vector<double> fixedSum;
  Offsets estimated;
  std::int32_t estimatedParameters;
};

TEST(RestrictionStructure, CompilesGroupsFixedSumsAndEstimatedEntries) {
  const Case cases[] = {
      // Two tau rows (1, 2) and (2, 0): the code-2 entry of row 2 comes first in storage, so it
      // heads the group although row 1 is the earlier set; row 1's first free entry is
      // redundant, which leaves the head alone.
      {"tau head in the later row", TauSets(Dims(1, 2, 0, 1, 2, 0, 2)), {1, 2, 2, 0},
       {0.6, 0.3, 0.4, 0.7}, {1, 2, -2, 0}, {{2, true, 1, 1, {2, 1}, {0, 1}}}, {0.0, 0.7},
       {1}, 1},
      // Little rho of two classes, (fixed, 3, free) each: the tie crosses classes, the
      // category-1 entries are fixed, and each class keeps its own fixed sum.
      {"little rho tied across classes", LittleRhoSets(Dims(2, 1, 1, 0, 0, 3, 0)),
       {0, 3, 1, 0, 3, 1}, {0.2, 0.5, 0.3, 0.1, 0.6, 0.3}, {0, 3, 1, 0, -3, 1},
       {{3, true, 1, 0, {1, 4}, {0, 1}}}, {0.2, 0.1}, {1, 2, 5}, 3},
      // Big rho at two occasions with categories 2 and 3 tied over time; category 3 carries a
      // negative code from the start, so its group has no head and nothing of it is estimated.
      {"big rho tied over occasions", BigRhoSets(Dims(1, 1, 0, 1, 2, 0, 3)),
       {1, 4, -5, 1, 4, -5}, {0.3, 0.3, 0.4, 0.3, 0.3, 0.4}, {1, 4, -5, 1, -4, -5},
       {{4, true, 1, 0, {1, 4}, {0, 1}}, {5, false, 0, 0, {2, 5}, {0, 1}}}, {0.0, 0.0}, {1}, 1},
      // Gamma (fixed, fixed, 2): the sum to one fixes the lone head, so nothing is estimated.
      {"gamma head closing a fixed set", GammaSets(Dims(3, 1, 1, 0, 0, 2, 0)), {0, 0, 2},
       {0.25, 0.5, 0.25}, {0, 0, 2}, {{2, true, 2, 0, {2}, {0}}}, {0.75}, {2}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ArrayRestrictions array = CompileArray(c.sets, c.codes, c.start);
    EXPECT_EQ(array.codes, c.marked);
    ASSERT_EQ(array.groups.size(), c.groups.size());
    for (std::size_t g = 0; g < c.groups.size(); ++g) {
      const EqualityGroup& actual = array.groups[g];
      const Group& expected = c.groups[g];
      EXPECT_EQ(actual.code, expected.code);
      EXPECT_EQ(actual.hasHead, expected.hasHead);
      if (expected.hasHead) {
        EXPECT_EQ(actual.head, expected.head);
        EXPECT_EQ(actual.headSet, expected.headSet);
      }
      EXPECT_EQ(actual.members, expected.members);
      EXPECT_EQ(actual.sets, expected.sets);
      for (const std::size_t member : actual.members) {
        EXPECT_EQ(array.groupOf[member], static_cast<std::int32_t>(g));
      }
    }
    EXPECT_EQ(array.fixedSum, c.fixedSum);
    Offsets estimated;
    for (std::size_t i = 0; i < array.estimated.size(); ++i) {
      if (array.estimated[i]) estimated.push_back(i);
    }
    EXPECT_EQ(estimated, c.estimated);
    EXPECT_EQ(array.estimatedParameters, c.estimatedParameters);
  }
}

}  // namespace
}  // namespace kov::input
