// G-squared, the MCAR degrees of freedom and the fit blocks. Expected values are worked out by
// hand from 2 n ln(n / (N_g P)) over the patterns and from the products of category counts; the
// block lines are counted out against their 30-character labels and 20-column fields.
#include "em/fit.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <string>
#include <vector>

#include "report/fit_report.h"
#include "temp_files.h"

namespace kov::em {
namespace test_support {

struct Row {
  std::vector<std::int32_t> responses;  // 0 = missing
  double frequency;
};

// The grouped table of rows given in their sorted order: consecutive rows that miss the same
// items form one group. Shared by the saturated-model and cell-table tests.
GroupedPatterns MakeGrouped(const std::vector<std::int32_t>& categories,
                            const std::vector<Row>& rows) {
  GroupedPatterns grouped;
  grouped.categories = categories;
  const auto items = static_cast<std::int32_t>(categories.size());
  grouped.patterns.itemCount = items;
  grouped.patterns.patternCount = static_cast<std::int32_t>(rows.size());
  for (std::size_t p = 0; p < rows.size(); ++p) {
    const Row& row = rows[p];
    grouped.patterns.responses.insert(grouped.patterns.responses.end(), row.responses.begin(),
                                      row.responses.end());
    grouped.patterns.frequencies.push_back(row.frequency);
    grouped.patterns.subjectCount += row.frequency;
    grouped.order.push_back(static_cast<std::int32_t>(p));
    std::vector<std::uint8_t> observed;
    for (std::int32_t y : row.responses) observed.push_back(y != 0 ? 1 : 0);
    if (grouped.groups.empty() || grouped.groups.back().observed != observed) {
      MissingnessGroup group;
      group.first = static_cast<std::int32_t>(p);
      group.observed = observed;
      for (std::int32_t i = 0; i < items; ++i) {
        if (observed[static_cast<std::size_t>(i)] == 0) {
          group.missingItems.push_back(i);
          group.completions *= categories[static_cast<std::size_t>(i)];
        }
      }
      grouped.groups.push_back(group);
    }
    ++grouped.groups.back().count;
    grouped.groups.back().frequency += row.frequency;
  }
  return grouped;
}

}  // namespace test_support

namespace {

using kov::test::ReadLines;
using kov::test::TempDir;
using test_support::MakeGrouped;
using report::WriteCrossValidationBlock;
using report::WriteMcarBlock;
using report::WriteModelFitBlock;

TEST(ModelGSquared, SumsTheLikelihoodRatioOfEveryPattern) {
  // E = 8 x 0.25 = 2 each: 2 (3 ln 1.5 + ln 0.5 + 4 ln 2) = 6 ln 3; the pattern 21 that
  // nobody gave adds nothing.
  const GroupedPatterns grouped =
      MakeGrouped({2, 2}, {{{1, 1}, 3}, {{2, 1}, 0}, {{1, 2}, 1}, {{2, 2}, 4}});
  EXPECT_NEAR(ModelGSquared(grouped, {0.25, 0.25, 0.25, 0.25}), 6.0 * std::log(3.0), 1e-12);
  EXPECT_EQ(LikelihoodRatioTerm(0.0, 2.0), 0.0);
}

TEST(ModelGSquared, PatternsWithNothingObservedOrExpectedAddNothing) {
  // 11: n = E = 2; 12: n = 0; 22: E = 0. Taken literally the last two are NaN and infinity.
  const GroupedPatterns grouped = MakeGrouped({2, 2}, {{{1, 1}, 2}, {{1, 2}, 0}, {{2, 2}, 2}});
  EXPECT_EQ(ModelGSquared(grouped, {0.5, 0.5, 0.0}), 0.0);
}

TEST(ModelGSquared, ExpectsEachPatternFromItsOwnGroupsFrequency) {
  // Complete group N_1 = 4: E = 2, 2. Item 2 missing, N_2 = 10: E = 5, 5.
  // 2 (3 ln 1.5 + ln 0.5 + 6 ln 1.2 + 4 ln 0.8).
  const GroupedPatterns grouped =
      MakeGrouped({2, 2}, {{{1, 1}, 3}, {{2, 2}, 1}, {{1, 0}, 6}, {{2, 0}, 4}});
  const double expected =
      2.0 * (3 * std::log(1.5) + std::log(0.5) + 6 * std::log(1.2) + 4 * std::log(0.8));
  EXPECT_NEAR(ModelGSquared(grouped, {0.5, 0.5, 0.5, 0.5}), expected, 1e-12);
}

TEST(McarDegreesOfFreedom, CountsTheObservedCellsOfEveryGroup) {
  // Categories 2, 3, 2: 12 cells. Groups: complete (12), item 2 missing (2 x 2 = 4), items 1
  // and 3 missing (3): 19 - 3 groups - 12 + 1 = 5.
  GroupedPatterns grouped = MakeGrouped(
      {2, 3, 2}, {{{1, 1, 1}, 1}, {{1, 0, 2}, 1}, {{2, 0, 1}, 1}, {{0, 3, 0}, 1}});
  EXPECT_EQ(McarDegreesOfFreedom(grouped), 5.0);
  // A group that misses every item has no observed cell but still counts as a group: 19 - 4 -
  // 12 + 1 = 4.
  grouped = MakeGrouped({2, 3, 2}, {{{1, 1, 1}, 1}, {{1, 0, 2}, 1}, {{0, 3, 0}, 1}, {{0, 0, 0}, 1}});
  EXPECT_EQ(McarDegreesOfFreedom(grouped), 4.0);
  // Complete data: 12 - 1 - 12 + 1 = 0.
  EXPECT_EQ(McarDegreesOfFreedom(MakeGrouped({2, 3, 2}, {{{1, 1, 1}, 1}})), 0.0);
}

class FitBlocks : public ::testing::Test {
 protected:
  std::vector<std::string> Lines() {
    EXPECT_EQ(m_out.Close(), 0);
    return ReadLines(m_path);
  }
  TempDir m_dir;
  std::string m_path = m_dir.Path("fit.out");
  input::TextOutput m_out;
  void SetUp() override { ASSERT_EQ(m_out.Create(m_path), 0); }
};

TEST_F(FitBlocks, ModelFitAndMcarBlocks) {
  ASSERT_EQ(WriteModelFitBlock(m_out, 6.5916737, 11.0), 0);
  ASSERT_EQ(WriteMcarBlock(m_out, -0.25, 1.0), 0);
  const std::vector<std::string> expected = {
      "",
      "",
      " **************************************************",
      "",
      " MODEL FIT",
      "",
      " G-Squared Test of Model Fit:                 6.592",
      " Degrees of Freedom:                             11",
      "",
      "",
      " G-Squared Test for MCAR =                   -0.250",
      " Degrees of Freedom:                              1",
      "",
      ""};
  EXPECT_EQ(Lines(), expected);
}

TEST_F(FitBlocks, DegreesOfFreedomBeyondTwentyColumnsShowAsAsterisks) {
  ASSERT_EQ(WriteMcarBlock(m_out, 0.0, std::ldexp(1.0, 70) - 20.0), 0);  // 22 digits
  EXPECT_EQ(Lines()[1], " Degrees of Freedom:           ********************");
}

TEST_F(FitBlocks, CrossValidationWithAndWithoutMissingData) {
  ASSERT_EQ(WriteCrossValidationBlock(m_out, 12.3456, std::nullopt), 0);
  ASSERT_EQ(WriteCrossValidationBlock(m_out, 1.0, 3.4521849), 0);
  const std::vector<std::string> expected = {
      " CROSSVALIDATION", "", " G-Squared Test of Model Fit:                12.346", "",
      " CROSSVALIDATION", "", " G-Squared Test of Model Fit:                 1.000", "",
      " G-Squared Test for MCAR =                    3.452", ""};
  EXPECT_EQ(Lines(), expected);
}

TEST(FitBlocksOnAFullDisk, EachWriterReturnsTheFailedWriteStatus) {
  input::TextOutput out;
  ASSERT_EQ(out.Create("/dev/full"), 0) << "the test needs /dev/full";
  EXPECT_EQ(WriteCrossValidationBlock(out, 1.0, 2.0), ENOSPC);
  EXPECT_EQ(WriteModelFitBlock(out, 1.0, 1.0), ENOSPC);
  EXPECT_EQ(WriteMcarBlock(out, 1.0, 1.0), ENOSPC);
}

}  // namespace
}  // namespace kov::em

namespace kov::em {
namespace {

// P(chi-square_2m >= x) = e^(-x/2) sum over k < m of (x/2)^k / k!, the Poisson tail that even
// degrees of freedom reduce to; summed term by term, so it holds for any m.
double EvenDegreesUpperTail(int degrees, double x) {
  double term = std::exp(-0.5 * x);
  double sum = term;
  for (int k = 1; k < degrees / 2; ++k) {
    term *= 0.5 * x / k;
    sum += term;
  }
  return sum;
}

// P(chi-square_1 >= x) = erfc(sqrt(x / 2)); P(chi-square_3 >= x) adds sqrt(2x / pi) e^(-x/2).
double OneDegreeUpperTail(double x) { return std::erfc(std::sqrt(0.5 * x)); }
double ThreeDegreesUpperTail(double x) {
  return OneDegreeUpperTail(x) + std::sqrt(2.0 * x / std::acos(-1.0)) * std::exp(-0.5 * x);
}

TEST(ChiSquareUpperTail, MatchesClosedFormsAndPublishedQuantiles) {
  struct Case {
    double degrees;
    double statistic;
    double expected;
  };
  const Case cases[] = {
      // Published 95 % and 99 % points.
      {1, 3.841458820694124, 0.05},
      {1, 6.634896601021214, 0.01},
      {10, 18.307038053275146, 0.05},
      {100, 124.34211340400407, 0.05},
      // Closed forms on both sides of x = a + 1, where the routine switches expansions.
      {1, 0.5, OneDegreeUpperTail(0.5)},
      {1, 100.0, OneDegreeUpperTail(100.0)},  // about 2e-23: the tail keeps its digits
      {3, 1.0, ThreeDegreesUpperTail(1.0)},
      {3, 12.0, ThreeDegreesUpperTail(12.0)},
      {4, 4.0, 3.0 * std::exp(-2.0)},
      {6, 2.72, EvenDegreesUpperTail(6, 2.72)},
      {200, 150.0, EvenDegreesUpperTail(200, 150.0)},
      {200, 250.0, EvenDegreesUpperTail(200, 250.0)},
      {1000, 990.0, EvenDegreesUpperTail(1000, 990.0)},
      // The ends: nothing beyond 0 is below it, nothing is beyond infinity.
      {5, 0.0, 1.0},
      {5, -1.0, 1.0},
      {5, HUGE_VAL, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("df " + std::to_string(c.degrees) + ", x " + std::to_string(c.statistic));
    EXPECT_NEAR(ChiSquareUpperTail(c.statistic, c.degrees), c.expected, 1e-12 * c.expected);
  }
  // No test without degrees of freedom.
  for (double degrees : {0.0, -3.0, std::nan(""), HUGE_VAL}) {
    EXPECT_TRUE(std::isnan(ChiSquareUpperTail(1.0, degrees))) << degrees;
  }
}

}  // namespace
}  // namespace kov::em
