// Counts are worked out by hand from the free parameters of each probability vector: a vector of
// n free entries holds n - 1 parameters (gamma, delta, tau: the first free entry goes; rho: the
// category-1 entry goes), an equality class holds one, and a head that is the last entry of a
// set without free entries is fixed by that set's sum. Codes are laid out by hand in storage
// order, first index fastest: delta codes at c + C*s, tau at r + R*(j + S*c).
#include "em/parameter_count.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace kov::em {
namespace {

using input::ModelDimensions;
using input::RestrictionSet;
using Codes = std::vector<std::int32_t>;

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

RestrictionSet AllCodes(const ModelDimensions& d, std::int32_t code) {
  RestrictionSet r;
  input::AllocateRestrictions(d, &r);
  for (Codes* codes : {&r.gamma, &r.delta, &r.tau, &r.littleRho, &r.bigRho}) {
    for (std::int32_t& c : *codes) c = code;
  }
  return r;
}

// Marks and counts through the structure of the codes, as a run does.
std::int32_t MarkAndCount(const ModelDimensions& d, RestrictionSet* codes) {
  const input::RestrictionStructure restrictions(d, *codes, input::ParameterSet{});
  return MarkAndCountEstimatedParameters(restrictions, codes);
}

TEST(ParameterCount, AllFixedCountsNothingAndLeavesDegreesOfFreedomAtCellsMinusOne) {
  const ModelDimensions d = Dims(2, 2, 2, 2, 3, 3, 2);
  RestrictionSet codes = AllCodes(d, 0);
  EXPECT_EQ(MarkAndCount(d, &codes), 0);
  EXPECT_EQ(codes.bigRho, Codes(codes.bigRho.size(), 0));
  // Class items with 2 and 3 categories, status items with 2 and 2 at three occasions:
  // 2 * 3 * (2 * 2)^3 = 384 cells.
  const double cells = CompleteTableCells(d, {2, 3}, {2, 2});
  EXPECT_EQ(cells, 384.0);
  EXPECT_EQ(DegreesOfFreedom(cells, 0), 383.0);
  EXPECT_EQ(DegreesOfFreedom(cells, 27), 356.0);
}

TEST(ParameterCount, CellsOfLargeTablesStayExactBeyond32Bits) {
  // Six binary status items at five occasions: 2^30 cells; 2^40 with ten binary items.
  EXPECT_EQ(CompleteTableCells(Dims(1, 2, 0, 6, 5, 0, 2), {}, Codes(6, 2)), 1073741824.0);
  EXPECT_EQ(CompleteTableCells(Dims(1, 2, 0, 10, 4, 0, 2), {}, Codes(10, 2)), 1099511627776.0);
  // Nine 9-category items at five occasions: 9^45, about 8.7280e42, far past every integer.
  const double huge = CompleteTableCells(Dims(1, 2, 0, 9, 5, 0, 9), {}, Codes(9, 9));
  EXPECT_NEAR(huge / std::pow(9.0, 45.0), 1.0, 1e-12);
}

TEST(ParameterCount, EveryFreeEntryOfAStandardModelCountsOncePerVector) {
  // C = 2, S = 2, two binary class items, one 3-category status item, T = 2: gamma 1, delta
  // 2 x 1, tau 2 rows x 2 classes x 1, little rho 2 items x 2 classes x 1, big rho
  // 1 item x 2 statuses x 2 classes x 2 occasions x 2 = 16; 27 in all.
  const ModelDimensions d = Dims(2, 2, 2, 1, 2, 2, 3);
  RestrictionSet codes = AllCodes(d, 1);
  EXPECT_EQ(MarkAndCount(d, &codes), 27);
  EXPECT_EQ(codes.gamma, (Codes{1, 1}));
}

TEST(ParameterCount, MarkingKeepsTheFirstMemberInStorageOrderPerArray) {
  const ModelDimensions d = Dims(2, 2, 0, 1, 2, 0, 2);
  RestrictionSet codes = AllCodes(d, 0);
  // Delta class 1 (1, 2), class 2 (2, 1): in storage order class 2's first status comes before
  // class 1's second one, so it is the head.
  codes.delta = {1, 2, 2, 1};
  // Tau uses code 2 too; the arrays are marked apart, so tau gets a head of its own. Code 3 was
  // already negated in the file before its first positive entry and stays as it is.
  codes.tau = {0, 2, 0, 2, -3, 0, 3, 3};
  // Big rho: category 2 tied across both occasions of status 1, class 1 (k + 2*s + 8*t).
  codes.bigRho[1] = 4;
  codes.bigRho[1 + 8] = 4;
  MarkAndCount(d, &codes);
  EXPECT_EQ(codes.delta, (Codes{1, 2, -2, 1}));
  EXPECT_EQ(codes.tau, (Codes{0, 2, 0, -2, -3, 0, 3, -3}));
  EXPECT_EQ(codes.bigRho[1], 4);
  EXPECT_EQ(codes.bigRho[1 + 8], -4);
}

TEST(ParameterCount, FirstFreeEntryOfEachSetAndCategoryOneAreNotCounted) {
  const ModelDimensions d = Dims(1, 3, 2, 1, 2, 2, 2);
  RestrictionSet codes = AllCodes(d, 0);
  // Delta (2, 1, 1): the head counts and so does the second free entry; the first free one goes.
  codes.delta = {2, 1, 1};
  // Little rho item 1 (1, 1), item 2 (2, 2): item 1 holds one parameter; in item 2 the head
  // sits at category 1 and the member is marked, so item 2 adds nothing.
  codes.littleRho = {1, 1, 2, 2};
  EXPECT_EQ(MarkAndCount(d, &codes), 3);
  EXPECT_EQ(codes.littleRho, (Codes{1, 1, 2, -2}));
}

TEST(ParameterCount, HeadLastInASetWithoutFreeEntriesIsDiscounted) {
  // Gamma (0, 0, 2): the single tied class takes what the fixed ones leave.
  {
    const ModelDimensions d = Dims(3, 1, 1, 0, 0, 2, 0);
    RestrictionSet codes = AllCodes(d, 0);
    codes.gamma = {0, 0, 2};
    EXPECT_EQ(MarkAndCount(d, &codes), 0);
  }
  // Delta class 1 (0, 2), class 2 (0, 2): the head (class 1, status 2) is the last entry of its
  // set, which has no free entry: 1 for the head, minus 1 for the set.
  const ModelDimensions d = Dims(2, 2, 0, 1, 2, 0, 2);
  RestrictionSet codes = AllCodes(d, 0);
  codes.delta = {0, 0, 2, 2};
  EXPECT_EQ(MarkAndCount(d, &codes), 0);
  EXPECT_EQ(codes.delta, (Codes{0, 0, 2, -2}));
  // A free entry before the head keeps it: class 1 (1, 2), class 2 (1, 2) hold one parameter.
  codes = AllCodes(d, 0);
  codes.delta = {1, 1, 2, 2};
  EXPECT_EQ(MarkAndCount(d, &codes), 1);
  // Class 1 (0, 2), class 2 (2, 0): the head is class 2's first status, not a last entry.
  codes = AllCodes(d, 0);
  codes.delta = {0, 2, 2, 0};
  EXPECT_EQ(MarkAndCount(d, &codes), 1);
  // Two members in one set (0, 2, 2): the head is the middle entry, so no set is discounted.
  {
    const ModelDimensions d3 = Dims(1, 3, 0, 1, 2, 0, 2);
    RestrictionSet codes3 = AllCodes(d3, 0);
    codes3.delta = {0, 2, 2};
    EXPECT_EQ(MarkAndCount(d3, &codes3), 1);
  }
  // Tau row 1 of class 1 (0, 2) tied to row 1 of class 2 (0, 2); every other row fixed.
  codes = AllCodes(d, 0);
  codes.tau[0 + 2 * (1 + 2 * 0)] = 2;
  codes.tau[0 + 2 * (1 + 2 * 1)] = 2;
  EXPECT_EQ(MarkAndCount(d, &codes), 0);
  // Rho has no such rule: little rho (0, 2) in two classes still counts the head.
  {
    const ModelDimensions dr = Dims(2, 1, 1, 0, 0, 2, 0);
    RestrictionSet codesR = AllCodes(dr, 0);
    codesR.littleRho = {0, 2, 0, 2};
    EXPECT_EQ(MarkAndCount(dr, &codesR), 1);
  }
}

TEST(ParameterCount, PartsTheModelDoesNotEstimateAreNeitherMarkedNorCounted) {
  // No class items: gamma is not estimated, whatever its codes say. Delta, tau and big rho of
  // two classes with two statuses, all free: 2 + 2 x 2 + 1 x 2 x 2 x 2 x 1 = 14.
  const ModelDimensions d = Dims(2, 2, 0, 1, 2, 0, 2);
  RestrictionSet codes = AllCodes(d, 1);
  codes.gamma = {2, 2};
  EXPECT_EQ(MarkAndCount(d, &codes), 14);
  EXPECT_EQ(codes.gamma, (Codes{2, 2}));
}

}  // namespace
}  // namespace kov::em
