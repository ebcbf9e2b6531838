// The saturated model. Expected values are worked out by hand: under MAR with only the second
// of two items ever missing the estimate has the closed form P(y1) P(y2 | y1), with P(y1) from
// every subject and P(y2 | y1) from the complete cases; the first EM iterations of a small
// table are followed step by step from the uniform start.
#include "em/saturated_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "em/fit.h"
#include "report/fit_report.h"

namespace kov::em {
namespace test_support {
struct Row {
  std::vector<std::int32_t> responses;
  double frequency;
};
GroupedPatterns MakeGrouped(const std::vector<std::int32_t>& categories,
                            const std::vector<Row>& rows);  // in fit_test.cpp
}  // namespace test_support

namespace {

using test_support::MakeGrouped;

// Two binary items, the second missing for 10 of 20 subjects. P(y1 = 1) = (4 + 2 + 2) / 20 =
// 0.4; P(y2 = 1 | y1 = 1) = 4/6, P(y2 = 1 | y1 = 2) = 1/4: theta 11 = 4/15, 21 = 0.15,
// 12 = 2/15, 22 = 0.45.
GroupedPatterns SecondItemMissing() {
  return MakeGrouped({2, 2}, {{{1, 1}, 4}, {{2, 1}, 1}, {{1, 2}, 2}, {{2, 2}, 3},
                              {{1, 0}, 2}, {{2, 0}, 8}});
}

// Three binary items; 111 and 221 complete, 11. missing item 3. Reachable: 111, 112, 221.
GroupedPatterns ThreeReachableCells() {
  return MakeGrouped({2, 2, 2}, {{{1, 1, 1}, 2}, {{2, 2, 1}, 1}, {{1, 1, 0}, 1}});
}

double Cell(const SaturatedModel& model, std::vector<std::int32_t> responses) {
  return model.CellExpectedFrequency(responses.data());
}

TEST(SaturatedModel, ConvergesToTheClosedFormEstimateUnderMar) {
  SaturatedModel model;
  // Criterion 0 never stops early; each iteration shrinks the error by about one half.
  ASSERT_EQ(model.Estimate(SecondItemMissing(), 200, 0.0), SaturatedStatus::kEstimated);
  EXPECT_EQ(model.Iterations(), 200);
  EXPECT_EQ(model.ReachableCells(), 4u);
  EXPECT_NEAR(Cell(model, {1, 1}), 20.0 * 4 / 15, 1e-10);
  EXPECT_NEAR(Cell(model, {2, 1}), 20.0 * 0.15, 1e-10);
  EXPECT_NEAR(Cell(model, {1, 2}), 20.0 * 2 / 15, 1e-10);
  EXPECT_NEAR(Cell(model, {2, 2}), 20.0 * 0.45, 1e-10);
  // N_g times the probability of the observed part: 10 x 4/15, and 10 x 0.4 for "1 missing".
  EXPECT_NEAR(model.ExpectedFrequency(0), 10.0 * 4 / 15, 1e-10);
  EXPECT_NEAR(model.ExpectedFrequency(4), 4.0, 1e-10);
  EXPECT_NEAR(model.ExpectedFrequency(5), 6.0, 1e-10);
  // 2 (4 ln 1.5 + 2 ln 1.5 - ln 1.5 - 3 ln 1.5 + 2 ln 0.5 + 8 ln 4/3) = 12 ln 4/3.
  EXPECT_NEAR(model.GSquared(), 12.0 * std::log(4.0 / 3.0), 1e-9);
  EXPECT_EQ(McarDegreesOfFreedom(SecondItemMissing()), 1.0);  // 4 + 2 - 2 - 4 + 1
}

TEST(SaturatedModel, NoIterationKeepsTheUniformStartEverywhere) {
  SaturatedModel model;
  ASSERT_EQ(model.Estimate(ThreeReachableCells(), 0, 1e-6), SaturatedStatus::kEstimated);
  EXPECT_EQ(model.Iterations(), 0);
  EXPECT_EQ(Cell(model, {1, 1, 1}), 0.5);  // 4 / 8 cells, reachable or not
  EXPECT_EQ(Cell(model, {2, 2, 2}), 0.5);
  EXPECT_EQ(model.ExpectedFrequency(2), 0.25);  // N_g = 1 times 2 completions / 8
  // E = 3/8, 3/8, 1/4: 2 (2 ln 16/3 + ln 8/3 + ln 4).
  EXPECT_NEAR(model.GSquared(),
              4 * std::log(16.0 / 3) + 2 * std::log(8.0 / 3) + 2 * std::log(4.0), 1e-12);
}

TEST(SaturatedModel, FirstIterationMadCountsTheCellsNoPatternReaches) {
  // Iteration 1 from 1/8: counts 111 = 2 + 1/2, 112 = 1/2, 221 = 1, over N = 4: 0.625, 0.125,
  // 0.25. MAD = (0.5 + 0 + 0.125 + 5 unreachable x 0.125) / 8 = 0.15625.
  SaturatedModel model;
  ASSERT_EQ(model.Estimate(ThreeReachableCells(), 100, 0.2), SaturatedStatus::kEstimated);
  EXPECT_EQ(model.Iterations(), 1);
  EXPECT_DOUBLE_EQ(model.Mad(), 0.15625);
  EXPECT_DOUBLE_EQ(Cell(model, {1, 1, 1}), 2.5);
  EXPECT_DOUBLE_EQ(Cell(model, {1, 1, 2}), 0.5);
  EXPECT_EQ(Cell(model, {2, 2, 2}), 0.0);
  // Iteration 2: 111 = (2 + 0.625/0.75) / 4 = 17/24, 112 = 1/24; MAD = (1/12 + 1/12) / 8.
  ASSERT_EQ(model.Estimate(ThreeReachableCells(), 100, 0.1), SaturatedStatus::kEstimated);
  EXPECT_EQ(model.Iterations(), 2);
  EXPECT_DOUBLE_EQ(model.Mad(), 1.0 / 48);
  EXPECT_DOUBLE_EQ(Cell(model, {1, 1, 1}), 4.0 * 17 / 24);
}

TEST(SaturatedModel, LookupsOutsideTheEstimateGiveMinusOne) {
  SaturatedModel model;
  EXPECT_EQ(model.ExpectedFrequency(0), -1.0);
  EXPECT_EQ(Cell(model, {1, 1, 1}), -1.0);
  ASSERT_EQ(model.Estimate(ThreeReachableCells(), 5, 0.0), SaturatedStatus::kEstimated);
  EXPECT_EQ(model.ExpectedFrequency(-1), -1.0);
  EXPECT_EQ(model.ExpectedFrequency(3), -1.0);
  EXPECT_EQ(Cell(model, {1, 0, 1}), -1.0);
  EXPECT_EQ(Cell(model, {1, 3, 1}), -1.0);
}

TEST(SaturatedModel, TooManyCompletionsStopsBeforeAllocating) {
  // One pattern missing 40 binary items has 2^40 completions: storing them would need 8 TiB.
  std::vector<std::int32_t> responses(41, 0);
  responses[0] = 1;
  const GroupedPatterns huge = MakeGrouped(std::vector<std::int32_t>(41, 2), {{responses, 1.0}});
  SaturatedModel model;
  EXPECT_EQ(model.Estimate(huge, 10, 1e-6), SaturatedStatus::kTooLarge);
  EXPECT_FALSE(model.Estimated());
  EXPECT_EQ(model.ExpectedFrequency(0), -1.0);
  EXPECT_EQ(report::SaturatedTooLargeLine(model.MaxCompletions()),
            " SATURATED MODEL NOT ESTIMATED: THE RESPONSE PATTERNS HAVE MORE THAN 10000000 "
            "COMPLETIONS");

  // The limit counts the completions of all patterns together: 1 + 1 + 2 = 4.
  SaturatedModel atLimit(4.0);
  EXPECT_EQ(atLimit.Estimate(ThreeReachableCells(), 10, 0.0), SaturatedStatus::kEstimated);
  SaturatedModel belowLimit(3.0);
  EXPECT_EQ(belowLimit.Estimate(ThreeReachableCells(), 10, 0.0), SaturatedStatus::kTooLarge);
}

TEST(SaturatedModel, TablesBeyondSixtyFourBitCellIndicesStayExact) {
  // 70 binary items, 2^70 cells. A = all 1, B = item 1 is 2, D = item 70 is 2 (complete, 1, 3
  // and 2 subjects); C misses item 1 (4 subjects) and reaches A and B. MLE: D = 2/10, and A, B
  // share 0.8 as 1 : 3. A and D differ only in the first and the last item, which fall in
  // different key words.
  std::vector<std::int32_t> a(70, 1);
  std::vector<std::int32_t> b = a;
  b[0] = 2;
  std::vector<std::int32_t> d = a;
  d[69] = 2;
  std::vector<std::int32_t> c = a;
  c[0] = 0;
  const GroupedPatterns grouped = MakeGrouped(std::vector<std::int32_t>(70, 2),
                                              {{a, 1.0}, {b, 3.0}, {d, 2.0}, {c, 4.0}});
  SaturatedModel model;
  // MAD divides by 2^70 cells, so a positive criterion would stop after one iteration.
  ASSERT_EQ(model.Estimate(grouped, 200, 0.0), SaturatedStatus::kEstimated);
  EXPECT_EQ(model.ReachableCells(), 3u);
  EXPECT_NEAR(Cell(model, a), 2.0, 1e-10);
  EXPECT_NEAR(Cell(model, b), 6.0, 1e-10);
  EXPECT_NEAR(Cell(model, d), 2.0, 1e-10);
  EXPECT_NEAR(model.ExpectedFrequency(3), 4 * 0.8, 1e-10);
  EXPECT_NEAR(model.GSquared(),
              2 * (std::log(1 / 1.2) + 3 * std::log(3 / 3.6) + 2 * std::log(2 / 1.2) +
                   4 * std::log(4 / 3.2)),
              1e-9);
}

}  // namespace
}  // namespace kov::em
