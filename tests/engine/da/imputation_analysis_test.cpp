// Expected values are worked out by hand from the complete-data and combination rules:
// p = count / set count, u = p (1 - p) / n, and for the bounds with x = n p the adjusted
// q = (x + 2) / (n + 4), u* = q (1 - q) / (n + 4);
// Q bar and U bar are means, B = sum (Q - Q bar)^2 / (m - 1), T = U bar + (1 + 1/m) B,
// nu = (m - 1)(1 + U bar / ((1 + 1/m) B))^2, r = (1 + 1/m) B / U bar,
// gamma = (r + 2 / (nu + 3)) / (r + 1), bounds 1 / (1 + e^-(q bar -+ t sqrt(T*))). The
// exponentials, logarithms and the exact t quantile t(0.975, 4) = 2.7764451051977987 were
// evaluated on a calculator; the t quantile of the engine is an approximation within 3e-6, hence
// the wider tolerance on bounds that use it. Offsets are first index fastest: little rho (k, i, c)
// at k + Kc (i + Ic c), delta (c, s, t) at c + C (s + S t), tau (r, j, c) at r + R (j + S c).
// The "Details.txt" lines are typed from the layout: a label line of one blank and the label,
// then gamma and little rho groups, three values per line, 20 columns, 16 decimals (10 for the
// degrees of freedom).
#include "da/imputation_analysis.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/status_record.h"
#include "temp_files.h"

namespace kov::da {
namespace {

using input::ModelDimensions;
using input::ParameterSet;
using Lines = std::vector<std::string>;

constexpr double kTight = 1e-12;

// Two latent classes measured by one two-category item; no dynamic latent variable.
ModelDimensions ClassModel() {
  ModelDimensions d;
  d.classes = 2;
  d.classItems = 1;
  d.maxClassCategories = 2;
  return d;
}

// One class, two statuses at two occasions, one two-category status item, first order.
ModelDimensions StatusModel() {
  ModelDimensions d;
  d.statuses = 2;
  d.statusItems = 1;
  d.occasions = 2;
  d.maxStatusCategories = 2;
  return d;
}

em::ExpectedCounts ZeroCounts(const ModelDimensions& d) {
  em::ExpectedCounts counts;
  counts.classCounts.assign(input::GammaShape(d).Size(), 0.0);
  counts.statusMargins.assign(input::DeltaShape(d).Size(), 0.0);
  counts.transitionCounts.assign(input::TauShape(d).Size(), 0.0);
  counts.littleRhoCounts.assign(input::LittleRhoShape(d).Size(), 0.0);
  counts.bigRhoCounts.assign(input::BigRhoShape(d).Size(), 0.0);
  return counts;
}

void ExpectNear(const std::vector<double>& actual, const std::vector<double>& expected,
                double tolerance = kTight) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_NEAR(actual[i], expected[i], tolerance) << "entry " << i;
  }
}

class Analysis : public ::testing::Test {
 protected:
  void SetUp() override {
    run::ResetStatusForTesting();
    ASSERT_EQ(report.Create(dir.Path("report.out")), kStatusOk);
  }

  // Class model: gamma free; little rho of class 1 free, of class 2 fixed at 0.3 / 0.7.
  void UseClassModel() {
    d = ClassModel();
    input::AllocateRestrictions(d, &codes);
    input::AllocateParameters(d, &start);
    codes.gamma = {1, 1};
    codes.littleRho = {1, 1, 0, 0};
    start.gamma = {0.5, 0.5};
    start.littleRho = {0.5, 0.5, 0.3, 0.7};
    counts = ZeroCounts(d);
  }

  test::TempDir dir;
  input::TextOutput report;
  ModelDimensions d;
  input::RestrictionSet codes;
  ParameterSet start;
  em::ExpectedCounts counts;
  ImputationStore store;
};

TEST_F(Analysis, EstimatesAndVariancesOnBothScalesWithFixedParametersMarked) {
  // Classes 40 / 60 of 100: u = 0.24 / 100, q = 42 / 104 and 62 / 104, u* = 42 x 62 / 104^3.
  // Class 1 answers 0 / 40, so little rho is 0 and 1 with n = 40: u = 0, q = 2 / 44 and 42 / 44,
  // u* = 2 x 42 / 44^3 for both, where the unadjusted variance would be 0.
  UseClassModel();
  counts.total = 100;
  counts.classCounts = {40, 60};
  counts.littleRhoCounts = {0, 40, 20, 40};
  ASSERT_TRUE(store.Prepare(2, d).IsOk());
  ASSERT_TRUE(AnalyseImputation(2, counts, input::RestrictionStructure(d, codes, start), d,
                                start, report, &store).IsOk());

  EXPECT_EQ(store.Entry(1), nullptr);
  ASSERT_NE(store.Entry(2), nullptr);
  const ImputationAnalysis& entry = *store.Entry(2);
  ExpectNear(entry.estimates.gamma, {0.4, 0.6});
  ExpectNear(entry.variances.gamma, {0.0024, 0.0024});
  ExpectNear(entry.logits.gamma, {42.0 / 104, 62.0 / 104});
  ExpectNear(entry.logitVariances.gamma,
             {42.0 * 62 / (104.0 * 104 * 104), 42.0 * 62 / (104.0 * 104 * 104)});
  // The fixed entries keep their start values and carry 9.0 instead of variances and logits.
  ExpectNear(entry.estimates.littleRho, {0.0, 1.0, 0.3, 0.7});
  ExpectNear(entry.variances.littleRho, {0.0, 0.0, 9.0, 9.0});
  ExpectNear(entry.logits.littleRho, {2.0 / 44, 42.0 / 44, 9.0, 9.0});
  const double boundary = 2.0 * 42 / (44.0 * 44 * 44);
  ExpectNear(entry.logitVariances.littleRho, {boundary, boundary, 9.0, 9.0});
  // Delta and tau of a model without statuses are not estimated.
  ExpectNear(entry.variances.delta, {9.0, 9.0});
  ExpectNear(entry.variances.tau, {9.0, 9.0});
}

TEST_F(Analysis, AResponseProbabilityMostlyZeroGetsANarrowIntervalInsideTheUnitRange) {
  // Class 1 of 40 subjects answers category 1 zeroTimes of m times never and else once. All
  // zero: every q = 2/44, u* = 2 x 42 / 44^3, B = 0, bounds 2/44 -+ 1.96 sqrt u* = -0.016094 /
  // 0.107003, the lower one cut at 0. 24 of 40 zero (the rest q = 3/44, u* = 3 x 41 / 44^3):
  // Q bar = 0.0545455, U bar = 0.00116923, B = 0.000127146, T = 0.00129956, nu about 3878
  // (t = 1.96061), bounds cut at 0 / 0.125223. Clamping the logit of 0 at 1e-7 gave a point
  // interval at 1e-7 (all zero) or one up to 0.8 (24 of 40).
  struct Case {
    std::int32_t imputations, zeroTimes;
    double lower, upper, tolerance;
  };
  const Case cases[] = {{2, 2, 0.0, 0.10700293582850931, 1e-12}, {40, 24, 0.0, 0.125223, 2e-6}};
  UseClassModel();
  counts.total = 100;
  counts.classCounts = {40, 60};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.zeroTimes) + " of " + std::to_string(c.imputations));
    ASSERT_TRUE(store.Prepare(c.imputations, d).IsOk());
    for (std::int32_t j = 1; j <= c.imputations; ++j) {
      const double chosen = j <= c.zeroTimes ? 0.0 : 1.0;
      counts.littleRhoCounts = {chosen, 40.0 - chosen, 20, 40};
      ASSERT_TRUE(AnalyseImputation(j, counts, input::RestrictionStructure(d, codes, start), d,
                                    start, report, &store)
                      .IsOk());
    }
    CombinedResults r;
    ASSERT_TRUE(
        CombineImputations(c.imputations, test::PathField(dir.Path("m.cnt")), d, codes, store, &r)
            .IsOk());
    EXPECT_NEAR(r.lowerBounds.littleRho[0], c.lower, c.tolerance);
    EXPECT_NEAR(r.upperBounds.littleRho[0], c.upper, c.tolerance);
    EXPECT_LE(r.lowerBounds.littleRho[0], r.estimates.littleRho[0]);
    // The other category mirrors it.
    EXPECT_NEAR(r.upperBounds.littleRho[1], 1.0 - r.lowerBounds.littleRho[0], 1e-12);
    EXPECT_NEAR(r.lowerBounds.littleRho[1], 1.0 - r.upperBounds.littleRho[0], 1e-12);
  }
}

TEST_F(Analysis, LaterOccasionsOfDeltaAreTheImpliedPrevalencesOfTheClass) {
  // Delta 30 / 70 of 100; tau row 1: 20 stay and 10 move of 30, row 2: 35 / 35 of 70. Occasion
  // 2: 0.3 x 2/3 + 0.7 x 0.5 = 0.55 and 0.45, each a proportion of the class's 100 subjects.
  d = StatusModel();
  input::AllocateRestrictions(d, &codes);
  input::AllocateParameters(d, &start);
  codes.delta = {1, 1};
  codes.tau = {1, 1, 1, 1};
  codes.bigRho.assign(8, 1);
  start.gamma = {1.0};
  start.delta.assign(4, 0.5);
  start.tau.assign(4, 0.5);
  start.bigRho.assign(8, 0.5);
  counts = ZeroCounts(d);
  counts.total = 100;
  counts.classCounts = {100};
  counts.statusMargins = {30, 70, 60, 40};
  counts.transitionCounts = {20, 35, 10, 35};
  counts.bigRhoCounts.assign(8, 10);
  ASSERT_TRUE(store.Prepare(2, d).IsOk());
  ASSERT_TRUE(AnalyseImputation(1, counts, input::RestrictionStructure(d, codes, start), d,
                                start, report, &store).IsOk());
  const ImputationAnalysis& entry = *store.Entry(1);
  ExpectNear(entry.estimates.delta, {0.3, 0.7, 0.55, 0.45});
  ExpectNear(entry.variances.delta, {0.0021, 0.0021, 0.002475, 0.002475});
  ExpectNear(entry.estimates.tau, {2.0 / 3, 0.5, 1.0 / 3, 0.5});
  ExpectNear(entry.variances.tau, {2.0 / 9 / 30, 0.25 / 70, 2.0 / 9 / 30, 0.25 / 70});
  ExpectNear(entry.variances.bigRho, std::vector<double>(8, 0.25 / 20));
  // Without class items gamma is not estimated.
  ExpectNear(entry.variances.gamma, {9.0});
}

// Transitions held equal over the occasions (homogeneous): the tied probability is estimated
// from the subjects of both rows, and its variance takes their pooled count, 40 + 160, in every
// row that holds it; a free probability keeps its own row's count.
TEST_F(Analysis, TiedTransitionsTakeThePooledCountOfTheirRows) {
  d = StatusModel();
  d.occasions = 3;
  d.extraTransitionRows = 2;  // the rows of the second transition
  input::AllocateRestrictions(d, &codes);
  input::AllocateParameters(d, &start);
  codes.delta = {1, 1};
  // Rows 1 and 3 (from status 1 at occasions 1 and 2) tie their move to status 2; rows 2 and 4
  // are free. Offsets (row, destination): r + 4 j.
  codes.tau = {1, 1, 1, 1, 2, 1, 2, 1};
  start.gamma = {1.0};
  for (std::vector<double>* values : {&start.delta, &start.tau, &start.bigRho}) {
    std::fill(values->begin(), values->end(), 0.5);
  }
  counts = ZeroCounts(d);
  counts.total = 100;
  counts.classCounts = {100};
  std::copy_n(std::begin({40.0, 60.0, 50.0, 50.0, 55.0, 45.0}), 6, counts.statusMargins.begin());
  counts.transitionCounts = {30, 20, 120, 30, 10, 40, 40, 20};
  std::fill(counts.bigRhoCounts.begin(), counts.bigRhoCounts.end(), 10.0);
  ASSERT_TRUE(store.Prepare(1, d).IsOk());
  const Status analysed = AnalyseImputation(1, counts, input::RestrictionStructure(d, codes, start),
                                            d, start, report, &store);
  ASSERT_TRUE(analysed.IsOk()) << analysed.Code() << " " << analysed.Message();
  const ImputationAnalysis& entry = *store.Entry(1);
  const double p = entry.estimates.tau[4];
  EXPECT_NEAR(entry.estimates.tau[6], p, kTight);
  EXPECT_NEAR(p, 50.0 / 200.0, kTight);
  for (const std::size_t tied : {std::size_t{4}, std::size_t{6}}) {
    EXPECT_NEAR(entry.variances.tau[tied], p * (1 - p) / 200.0, kTight) << "entry " << tied;
  }
  EXPECT_NEAR(entry.variances.tau[1], (1.0 / 3) * (2.0 / 3) / 60.0, kTight);
}

TEST_F(Analysis, ARowOfTauWithoutSubjectsEndsTheRunWithTheDaMessage) {
  d = StatusModel();
  input::AllocateRestrictions(d, &codes);
  input::AllocateParameters(d, &start);
  codes.delta = {1, 1};
  codes.tau = {1, 1, 1, 1};
  start.delta.assign(4, 0.5);
  start.tau.assign(4, 0.5);
  counts = ZeroCounts(d);
  counts.total = 100;
  counts.classCounts = {100};
  counts.statusMargins = {100, 0, 0, 0};
  counts.transitionCounts = {60, 0, 40, 0};  // nobody starts in status 2
  ASSERT_TRUE(store.Prepare(2, d).IsOk());
  const Status failure = AnalyseImputation(1, counts, input::RestrictionStructure(d, codes, start),
                                           d, start, report, &store);
  EXPECT_EQ(ShownCodeOf(failure), 2);
  EXPECT_EQ(store.Entry(1), nullptr);
  EXPECT_EQ(failure.Message(),
            "There was an error in the DA routine.  Please see the output file for details.");
  ASSERT_EQ(report.Close(), kStatusOk);
  const Lines lines = test::ReadLines(dir.Path("report.out"));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "PROGRAM TERMINATED - DIVISION BY ZERO ATTEMPTED IN TAU MATRIX");
  EXPECT_EQ(lines[1], "THIS OCCURED IN A FREE PARAMETER");
  EXPECT_EQ(lines[2], "IN ROW    2");
}

TEST_F(Analysis, StoringWithoutRoomFailsWithTheStoreMessage) {
  // A storage that could not be prepared has no room: the analysis ends the run.
  UseClassModel();
  counts.total = 10;
  counts.classCounts = {5, 5};
  counts.littleRhoCounts = {1, 4, 2, 3};
  const Status failure = AnalyseImputation(1, counts, input::RestrictionStructure(d, codes, start),
                                           d, start, report, &store);
  EXPECT_EQ(failure.Code(), kOutOfMemory);
  EXPECT_EQ(failure.Message(),
            "The DA routine was unable to store parameters. Please make sure that your computer "
            "has enough available memory, and that the information on the DA tab is properly "
            "specified.");
}

// Combination of hand-made analyses of the class model.
class Combination : public ::testing::Test {
 protected:
  void SetUp() override {
    run::ResetStatusForTesting();
    d = ClassModel();
    input::AllocateRestrictions(d, &codes);
    codes.gamma = {1, 1};
    codes.littleRho = {1, 1, 0, 0};
  }

  // An analysis whose free little rho entries are 0.25 / 0.75 (u = 0.002, q = 0, u* = 0.1) and
  // whose fixed ones are 0.3 / 0.7; the given gamma values.
  ImputationAnalysis Make(double p0, double u0, double q0, double uStar0, double p1,
                          double u1) const {
    ImputationAnalysis a;
    input::AllocateParameters(d, &a.estimates);
    a.variances = a.logits = a.logitVariances = a.estimates;
    a.estimates.gamma = {p0, p1};
    a.variances.gamma = {u0, u1};
    a.logits.gamma = {q0, 0.0};
    a.logitVariances.gamma = {uStar0, 0.1};
    a.estimates.littleRho = {0.25, 0.75, 0.3, 0.7};
    a.variances.littleRho = {0.002, 0.002, 9.0, 9.0};
    a.logitVariances.littleRho = {0.1, 0.1, 9.0, 9.0};
    for (auto* array : {&a.variances.delta, &a.variances.tau, &a.logitVariances.delta,
                        &a.logitVariances.tau}) {
      array->assign(array->size(), 9.0);
    }
    return a;
  }

  // m = 2. Gamma 1: p 0.4 / 0.5, u 0.002 / 0.004: Q bar 0.45, U bar 0.003, B 0.005,
  // T = 0.0105, nu = (1 + 0.003 / 0.0075)^2 = 1.96, r = 2.5, gamma = (2.5 + 2 / 4.96) / 3.5
  // = 0.82949308755760; adjusted q 0.35 / 0.45, u* 0.0075: B* = 0.005, T* = 0.015,
  // nu* = (1 + 0.0075 / 0.0075)^2 = 4, bounds 0.4 -+ 2.7764451 x 0.1224745 = 0.0599580 /
  // 0.7400420. Gamma 2: 0.6 in both with u 0.001: B = 0.
  Status CombineTwo(const std::string& controlFile, CombinedResults* results) {
    EXPECT_TRUE(store.Prepare(2, d).IsOk());
    EXPECT_EQ(store.Store(1, Make(0.4, 0.002, 0.35, 0.0075, 0.6, 0.001)), kStatusOk);
    EXPECT_EQ(store.Store(2, Make(0.5, 0.004, 0.45, 0.0075, 0.6, 0.001)), kStatusOk);
    return CombineImputations(2, test::PathField(controlFile), d, codes, store, results);
  }

  test::TempDir dir;
  ModelDimensions d;
  input::RestrictionSet codes;
  ImputationStore store;
};

TEST_F(Combination, TwoImputationsFollowRubinsRules) {
  CombinedResults r;
  ASSERT_TRUE(CombineTwo(dir.Path("model.cnt"), &r).IsOk());
  EXPECT_NEAR(r.estimates.gamma[0], 0.45, kTight);
  EXPECT_NEAR(r.totalVariances.gamma[0], 0.0105, kTight);
  EXPECT_NEAR(r.standardErrors.gamma[0], 0.10246950765959599, kTight);
  EXPECT_NEAR(r.degreesOfFreedom.gamma[0], 1.96, kTight);
  EXPECT_NEAR(r.missingInformation.gamma[0], 0.8294930875576038, kTight);
  // The bounds use the adjusted scale's own degrees of freedom (4), not the 1.96 above.
  EXPECT_NEAR(r.lowerBounds.gamma[0], 0.4 - 2.7764451051977987 * std::sqrt(0.015), 1e-5);
  EXPECT_NEAR(r.upperBounds.gamma[0], 0.4 + 2.7764451051977987 * std::sqrt(0.015), 1e-5);

  // Fixed little rho shows its value and 9.0 in everything else, as do delta and tau of a model
  // without statuses.
  ExpectNear(r.estimates.littleRho, {0.25, 0.75, 0.3, 0.7});
  for (const ParameterSet* set : {&r.standardErrors, &r.lowerBounds, &r.upperBounds,
                                  &r.missingInformation, &r.totalVariances,
                                  &r.degreesOfFreedom}) {
    EXPECT_EQ(set->littleRho[2], 9.0);
    EXPECT_EQ(set->littleRho[3], 9.0);
    EXPECT_NE(set->littleRho[0], 9.0);
    ExpectNear(set->delta, {9.0, 9.0});
    ExpectNear(set->tau, {9.0, 9.0});
  }
}

TEST_F(Combination, EqualEstimatesHaveNoBetweenVarianceAndTheNormalQuantile) {
  // m = 3, gamma 1 is 0.1 in every imputation with u 0.001, 0.002, 0.003: T = U bar = 0.002,
  // nu = 0, and with no between variance no information is missing: the fraction is 0 (the
  // formula with nu = 0 would give 2/3). Adjusted q 0.1 each with u* 0.001, 0.002, 0.003:
  // T* = 0.002, bounds 0.1 -+ 1.96 sqrt 0.002 = 0.0123461 / 0.1876539. A mean that
  // came out an ulp away from 0.1 would give B > 0, a huge nu and the quantile 1.95996 instead.
  ASSERT_TRUE(store.Prepare(3, d).IsOk());
  for (std::int32_t j = 1; j <= 3; ++j) {
    ImputationAnalysis a = Make(0.1, 0.001 * j, 0.1, 0.001 * j, 0.6, 0.001);
    ASSERT_EQ(store.Store(j, a), kStatusOk);
  }
  CombinedResults r;
  ASSERT_TRUE(
      CombineImputations(3, test::PathField(dir.Path("m.cnt")), d, codes, store, &r).IsOk());
  EXPECT_EQ(r.estimates.gamma[0], 0.1);
  EXPECT_NEAR(r.totalVariances.gamma[0], 0.002, kTight);
  EXPECT_EQ(r.degreesOfFreedom.gamma[0], 0.0);
  EXPECT_EQ(r.missingInformation.gamma[0], 0.0);
  EXPECT_NEAR(r.lowerBounds.gamma[0], 0.1 - 1.96 * std::sqrt(0.002), 1e-12);
  EXPECT_NEAR(r.upperBounds.gamma[0], 0.1 + 1.96 * std::sqrt(0.002), 1e-12);
}

TEST_F(Combination, DetailsFileHoldsTheSixSectionsInTheControlFilesFolder) {
  CombinedResults r;
  ASSERT_TRUE(CombineTwo(dir.Path("model.cnt"), &r).IsOk());
  const Lines lines = test::ReadLines(dir.Path("Details.txt"));
  // Each section: its label, one gamma line (two values), four little rho lines (k = 1: class
  // 1, class 2; k = 2: class 1, class 2).
  ASSERT_EQ(lines.size(), 36u);
  const Lines labels = {" QBAR:", " TOTAL VARIANCE:", " DEGREES OF FREEDOM:",
                        " FRACTION OF MISSING INFORMATION:", " HIGH:", " LOW:"};
  for (std::size_t s = 0; s < labels.size(); ++s) EXPECT_EQ(lines[6 * s], labels[s]);
  const Lines qbar = {"  0.4500000000000000  0.6000000000000000", "  0.2500000000000000",
                      "  0.3000000000000000", "  0.7500000000000000", "  0.7000000000000000"};
  const Lines total = {"  0.0105000000000000  0.0010000000000000", "  0.0020000000000000",
                       "  9.0000000000000000", "  0.0020000000000000", "  9.0000000000000000"};
  const Lines degrees = {"        1.9600000000        0.0000000000", "        0.0000000000",
                         "        9.0000000000", "        0.0000000000", "        9.0000000000"};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(lines[1 + i], qbar[i]);
    EXPECT_EQ(lines[7 + i], total[i]);
    EXPECT_EQ(lines[13 + i], degrees[i]);
  }
  // HIGH holds the upper bounds and LOW the lower ones; fixed entries 9.0.
  EXPECT_NEAR(std::atof(lines[25].substr(0, 20).c_str()), r.upperBounds.gamma[0], 1e-15);
  EXPECT_NEAR(std::atof(lines[31].substr(0, 20).c_str()), r.lowerBounds.gamma[0], 1e-15);
  EXPECT_LT(r.lowerBounds.gamma[0], r.upperBounds.gamma[0]);
  EXPECT_EQ(lines[27], "  9.0000000000000000");
  EXPECT_EQ(lines[21], "  9.0000000000000000");
  EXPECT_EQ(lines[19].size(), 40u);
}

TEST_F(Combination, DetailsFileGoesToTheCurrentFolderWithoutASeparator) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  CombinedResults r;
  const Status status = CombineTwo("model.cnt", &r);
  std::filesystem::current_path(previous);
  ASSERT_TRUE(status.IsOk());
  EXPECT_EQ(test::ReadLines(dir.Path("Details.txt")).size(), 36u);
  EXPECT_EQ(DetailsFilePath("C:\\models\\run1.cnt   "), "C:\\models\\Details.txt");
}

TEST_F(Combination, FailuresLeaveTheResultsAloneAndReturnTheirMessage) {
  CombinedResults r;
  r.estimates.gamma = {-1.0};

  const std::string missingFolder = dir.Path("missing") + "/model.cnt";
  Status status = CombineTwo(missingFolder, &r);
  EXPECT_EQ(status.Code(), ENOENT);
  EXPECT_EQ(status.Message(), "Unable to open imputation details text file: " + dir.Path("missing") +
                         "/Details.txt; Please verify that this path exists and is writable.");

  // Three imputations asked for, two stored.
  ASSERT_TRUE(store.Prepare(3, d).IsOk());
  ASSERT_EQ(store.Store(1, Make(0.4, 0.002, -0.5, 0.75, 0.6, 0.001)), kStatusOk);
  ASSERT_EQ(store.Store(3, Make(0.4, 0.002, -0.5, 0.75, 0.6, 0.001)), kStatusOk);
  status = CombineImputations(3, dir.Path("model.cnt"), d, codes, store, &r);
  EXPECT_EQ(status.Code(), kInternalError);
  EXPECT_EQ(status.Message(),
            "Error in the DA routine retrieving data from a stored array.  Please check to see "
            "that information on the DA tab is correct and try again.");

  // One imputation has no between variance to speak of.
  EXPECT_EQ(CombineImputations(1, dir.Path("model.cnt"), d, codes, store, &r).Code(), kBadValue);
  EXPECT_FALSE(std::filesystem::exists(dir.Path("Details.txt")));
  ExpectNear(r.estimates.gamma, {-1.0});
}

}  // namespace
}  // namespace kov::da
