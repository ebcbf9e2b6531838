// Expected lines are typed by hand from the column rules: header line 2 has "Gamma" at columns
// 20-24, "Delta" at 30-34, "  Tau" at 40-44, " LRho" at 51-55 and " BRho" at 63-67; a row has
// the iteration in columns 1-6 and the five values, 10 wide with 5 decimals, at 16-25, 27-36,
// 38-47, 49-58 and 60-69. Weights are 1,000,000 x (second - first), worked out by hand.
#include "da/series_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/result_codes.h"
#include "temp_files.h"

namespace kov::da {
namespace {

using input::ModelDimensions;
using input::ParameterSet;
using Lines = std::vector<std::string>;

// Two classes with one two-category class item; two statuses at two occasions with one
// two-category status item.
ModelDimensions BothVariables() {
  ModelDimensions d;
  d.classes = 2;
  d.statuses = 2;
  d.classItems = 1;
  d.statusItems = 1;
  d.occasions = 2;
  d.maxClassCategories = 2;
  d.maxStatusCategories = 2;
  return d;
}

ParameterSet Filled(const ModelDimensions& d, double value) {
  ParameterSet set;
  input::AllocateParameters(d, &set);
  for (auto* array : {&set.gamma, &set.delta, &set.tau, &set.littleRho, &set.bigRho}) {
    array->assign(array->size(), value);
  }
  return set;
}

TEST(SeriesWeights, AreAMillionTimesTheStepBetweenTheTwoSets) {
  const ModelDimensions d = BothVariables();
  ParameterSet first = Filled(d, 0.5), second = Filled(d, 0.5);
  second.gamma = {0.5000012, 0.4999988};         // steps of +-1.2e-6
  second.tau[3] = 0.5000005;                      // a step of 5e-7
  second.delta = {0.5, 0.5, 0.5000020, 0.5, 0.9, 0.9, 0.9, 0.9};  // (c, s, t): occasion 2 last
  const ParameterSet w = ComputeSeriesWeights(d, first, second);
  ASSERT_EQ(w.gamma.size(), 2u);
  EXPECT_NEAR(w.gamma[0], 1.2, 1e-9);
  EXPECT_NEAR(w.gamma[1], -1.2, 1e-9);
  EXPECT_NEAR(w.tau[3], 0.5, 1e-9);
  EXPECT_EQ(w.tau[0], 0.0);
  // Occasion 1 of delta is weighed; the derived prevalences of occasion 2 are not.
  const std::vector<double> delta = {0, 0, 2.0, 0, 0, 0, 0, 0};
  ASSERT_EQ(w.delta.size(), delta.size());
  for (std::size_t i = 0; i < delta.size(); ++i) EXPECT_NEAR(w.delta[i], delta[i], 1e-9) << i;

  // Without class items gamma and little rho weigh nothing, whatever the sets hold.
  ModelDimensions statusesOnly = d;
  statusesOnly.classItems = 0;
  const ParameterSet w2 = ComputeSeriesWeights(statusesOnly, first, second);
  EXPECT_EQ(w2.gamma, std::vector<double>(2, 0.0));
  EXPECT_NEAR(w2.tau[3], 0.5, 1e-9);

  // 2 x 0.25 - 1 x 0.5 + 0.5 x 1 = 0.5
  EXPECT_DOUBLE_EQ(SeriesValue({2.0, -1.0, 0.5}, {0.25, 0.5, 1.0}), 0.5);
}

TEST(SeriesWeights, EqualSetsGiveZeroWeightsAndZeroRows) {
  const ModelDimensions d = BothVariables();
  const ParameterSet set = Filled(d, 0.25);
  const ParameterSet w = ComputeSeriesWeights(d, set, set);
  SeriesValues values{};
  values[kGammaSeries] = SeriesValue(w.gamma, set.gamma);
  values[kDeltaSeries] = SeriesValue(w.delta, set.delta);
  values[kTauSeries] = SeriesValue(w.tau, set.tau);
  values[kLittleRhoSeries] = SeriesValue(w.littleRho, set.littleRho);
  values[kBigRhoSeries] = SeriesValue(w.bigRho, set.bigRho);
  for (double v : values) EXPECT_EQ(v, 0.0);

  test::TempDir dir;
  input::TextOutput out;
  ASSERT_EQ(out.Create(dir.Path("series.ser")), kStatusOk);
  ASSERT_EQ(WriteSeriesRow(out, 1, values), kStatusOk);
  ASSERT_EQ(out.Close(), kStatusOk);
  EXPECT_EQ(test::ReadLines(dir.Path("series.ser")),
            Lines{"     1            0.00000    0.00000    0.00000    0.00000    0.00000"});
}

TEST(SeriesFile, HeaderAndRowsSitInTheirColumns) {
  test::TempDir dir;
  input::TextOutput out;
  ASSERT_EQ(out.Create(dir.Path("series.ser")), kStatusOk);
  ASSERT_EQ(WriteSeriesHeader(out, 2, 3, 4, 5), kStatusOk);
  // 1.5 and -0.25 fit; 123.456789 rounds to 123.45679; -99999.5 and 12345.678901 need 12 and
  // 11 columns and become asterisks; 1234.567891 fills all ten columns.
  ASSERT_EQ(WriteSeriesRow(out, 12, {1.5, -0.25, 123.456789, -99999.5, 12345.678901}),
            kStatusOk);
  ASSERT_EQ(WriteSeriesRow(out, 999999, {0.0, 1234.567891, -0.000004, 0.000005, 1.0}),
            kStatusOk);
  ASSERT_EQ(WriteSeriesRow(out, 1000000, {0.0, 0.0, 0.0, 0.0, 0.0}), kStatusOk);
  ASSERT_EQ(out.Close(), kStatusOk);
  const Lines expected = {
      //        1         2         3         4         5         6
      // 3456789012345678901234567890123456789012345678901234567890123456789
      "           2           3           4           5",
      "                   Gamma     Delta       Tau       LRho        BRho",
      "    12            1.50000   -0.25000  123.45679 ********** **********",
      "999999            0.00000 1234.56789   -0.00000    0.00001    1.00000",
      "******            0.00000    0.00000    0.00000    0.00000    0.00000",
  };
  EXPECT_EQ(test::ReadLines(dir.Path("series.ser")), expected);
}

TEST(SeriesFile, AFailedWriteIsReturned) {
  input::TextOutput out;
  ASSERT_EQ(out.Create("/dev/full"), kStatusOk);
  EXPECT_NE(WriteSeriesHeader(out, 2, 3, 1, 2), kStatusOk);
  EXPECT_NE(WriteSeriesRow(out, 1, {}), kStatusOk);
}

}  // namespace
}  // namespace kov::da
