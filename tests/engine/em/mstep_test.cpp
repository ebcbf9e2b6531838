// Expected values are worked out by hand from the update rules: a free entry gets its count over
// the free counts of its set times what the fixed and tied entries leave; a tied entry gets the
// counts of all members over the summed denominators (the non-fixed counts of each member's set)
// times 1 - (fixed sum of the head's set); change sums are |new - old| over the counted entries.
// Codes are given already marked. Offsets are first index fastest: delta (c, s, t) at
// c + C*s + C*S*t, tau (r, j, c) at r + R*(j + S*c), rho with the category fastest.
// The expected report lines are typed from the message texts, numbers right-aligned in 4 columns.
#include "em/mstep.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/status_record.h"
#include "temp_files.h"

namespace kov::em {
namespace {

using input::ModelDimensions;
using input::ParameterSet;
using input::RestrictionSet;
using Values = std::vector<double>;
using Lines = std::vector<std::string>;

constexpr double kTolerance = 1e-12;

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

// Arrays sized from the dimensions, all 0; counts sized like the parameters.
struct Problem {
  explicit Problem(const ModelDimensions& dims) : d(dims) {
    input::AllocateParameters(d, &start);
    input::AllocateRestrictions(d, &codes);
    counts.classCounts.assign(input::GammaShape(d).Size(), 0.0);
    counts.statusMargins.assign(input::DeltaShape(d).Size(), 0.0);
    counts.transitionCounts.assign(input::TauShape(d).Size(), 0.0);
    counts.littleRhoCounts.assign(input::LittleRhoShape(d).Size(), 0.0);
    counts.bigRhoCounts.assign(input::BigRhoShape(d).Size(), 0.0);
  }
  // The current values start at the start values.
  void Begin() { values = start; }
  // The structure of the codes and start values as they are now.
  const input::RestrictionStructure& Restrictions() {
    restrictions = input::RestrictionStructure(d, codes, start);
    return restrictions;
  }

  ModelDimensions d;
  ParameterSet start, values;
  RestrictionSet codes;
  input::RestrictionStructure restrictions;
  ExpectedCounts counts;
  double change = 0.0;
};

void ExpectValues(const Values& actual, const Values& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_NEAR(actual[i], expected[i], kTolerance) << "entry " << i;
  }
}

TEST(MStepDelta, FreeEntriesShareWhatTheFixedEntryLeavesAndFixedSetsStay) {
  // Class 1: (fixed 0.2, free, free) with counts 30 and 10 -> 30/40 * 0.8 and 10/40 * 0.8.
  // Class 2: every status fixed, so nothing moves and nothing is added to the change sum.
  Problem p(Dims(2, 3, 0, 1, 2, 0, 2));
  p.codes.delta = {0, 0, 1, 0, 1, 0};
  p.start.delta = {0.2, 0.5, 0.4, 0.3, 0.4, 0.2, /*occasion 2*/ 0.7, 0.1, 0.2, 0.6, 0.1, 0.3};
  p.counts.statusMargins = {50, 10, 30, 20, 10, 70, 1, 1, 1, 1, 1, 1};
  p.Begin();
  UpdateDelta(p.Restrictions(), p.counts, &p.values, &p.change);
  ExpectValues(p.values.delta, {0.2, 0.5, 0.6, 0.3, 0.2, 0.2, 0.7, 0.1, 0.2, 0.6, 0.1, 0.3});
  // The first free entry of class 1 is skipped; the second moved from 0.4 to 0.2.
  EXPECT_NEAR(p.change, 0.2, kTolerance);
}

TEST(MStepDelta, EqualityAcrossClassesPoolsCountsOverTheMembersDenominators) {
  // Status 1 tied across two classes, status 2 free. Counts 30 of 100 and 10 of 50: both
  // members get 40 / 150 = 4/15, and status 2 the remaining 11/15.
  {
    Problem p(Dims(2, 2, 0, 1, 2, 0, 2));
    p.codes.delta = {2, -2, 1, 1};
    p.start.delta = {0.5, 0.5, 0.5, 0.5, 0, 0, 0, 0};
    p.counts.statusMargins = {30, 10, 70, 40, 0, 0, 0, 0};
    p.Begin();
    UpdateDelta(p.Restrictions(), p.counts, &p.values, &p.change);
    ExpectValues(p.values.delta, {4.0 / 15, 4.0 / 15, 11.0 / 15, 11.0 / 15, 0, 0, 0, 0});
    // Only the head counts: |4/15 - 1/2| = 7/30.
    EXPECT_NEAR(p.change, 7.0 / 30, kTolerance);
  }
  // Two members in one set count its denominator twice: counts 20 and 30 of 100 give
  // 50 / 200 = 0.25 each (their maximum-likelihood value), and the free status 0.5.
  {
    Problem p(Dims(1, 3, 0, 1, 2, 0, 2));
    p.codes.delta = {2, -2, 1};
    p.start.delta = {0.2, 0.2, 0.6, 0, 0, 0};
    p.counts.statusMargins = {20, 30, 50, 0, 0, 0};
    p.Begin();
    UpdateDelta(p.Restrictions(), p.counts, &p.values, &p.change);
    ExpectValues(p.values.delta, {0.25, 0.25, 0.5, 0, 0, 0});
  }
  // With a fixed 0.1 in each set the fixed counts leave the denominators (90 and 50) and the
  // members share 0.9: 40 / 140 * 0.9 = 9/35; the free status takes 1 - 0.1 - 9/35 = 9/14.
  Problem p(Dims(2, 3, 0, 1, 2, 0, 2));
  p.codes.delta = {2, -2, 0, 0, 1, 1};
  p.start.delta = {0.3, 0.3, 0.1, 0.1, 0.6, 0.6, 0, 0, 0, 0, 0, 0};
  p.counts.statusMargins = {30, 10, 99, 99, 60, 40, 0, 0, 0, 0, 0, 0};
  p.Begin();
  UpdateDelta(p.Restrictions(), p.counts, &p.values, &p.change);
  ExpectValues(p.values.delta,
               {9.0 / 35, 9.0 / 35, 0.1, 0.1, 9.0 / 14, 9.0 / 14, 0, 0, 0, 0, 0, 0});
}

TEST(MStepGamma, TiedClassesTakeTheMeanOfTheirRescaledShares) {
  // Codes 2, 2, 1 with counts 50, 30, 20 of N = 100: 0.5, 0.3, 0.2, then the tied pair 0.4 each.
  Problem p(Dims(3, 1, 1, 0, 0, 2, 0));
  p.codes.gamma = {2, -2, 1};
  p.start.gamma = {1.0 / 3, 1.0 / 3, 1.0 / 3};
  p.counts.classCounts = {50, 30, 20};
  p.counts.total = 100;
  p.Begin();
  UpdateGamma(p.Restrictions(), p.counts, &p.values, &p.change);
  ExpectValues(p.values.gamma, {0.4, 0.4, 0.2});
  // The head moved by 0.4 - 1/3 = 1/15; the member and the first free class are skipped.
  EXPECT_NEAR(p.change, 1.0 / 15, kTolerance);

  // A fixed class of 0.5 with counts 10, 60, 30: the free shares 0.6 and 0.3 are rescaled to
  // fill 0.5, giving 1/3 and 1/6.
  p.codes.gamma = {0, 1, 1};
  p.start.gamma = {0.5, 0.25, 0.25};
  p.counts.classCounts = {10, 60, 30};
  p.Begin();
  p.change = 0.0;
  UpdateGamma(p.Restrictions(), p.counts, &p.values, &p.change);
  ExpectValues(p.values.gamma, {0.5, 1.0 / 3, 1.0 / 6});
  EXPECT_NEAR(p.change, 0.25 - 1.0 / 6, kTolerance);
}

TEST(MStepRho, CategoryOneIsLeftOutOfTheChangeSumAndUnusedCategoriesStayZero) {
  // Little rho, one class: item 1 has three categories, item 2 two (its third is fixed at 0).
  Problem p(Dims(1, 1, 2, 0, 0, 3, 0));
  p.codes.littleRho = {1, 1, 1, 1, 1, 0};
  p.start.littleRho = {1.0 / 3, 1.0 / 3, 1.0 / 3, 0.5, 0.5, 0};
  p.counts.littleRhoCounts = {10, 30, 60, 25, 75, 0};
  p.Begin();
  UpdateLittleRho(p.Restrictions(), p.counts, &p.values, &p.change);
  ExpectValues(p.values.littleRho, {0.1, 0.3, 0.6, 0.25, 0.75, 0});
  // Categories 2 and 3 of item 1: 1/30 + 8/30; category 2 of item 2: 0.25.
  EXPECT_NEAR(p.change, 0.3 + 0.25, kTolerance);
}

TEST(MStepRho, BigRhoTiedAcrossOccasions) {
  // One binary item, S = 1, T = 2: category 2 tied over the occasions, counts (20, 30) and
  // (40, 10): the tie gets 40 / 100 and category 1 the remaining 0.6 at both occasions.
  Problem p(Dims(1, 1, 0, 1, 2, 0, 2));
  p.codes.bigRho = {1, 2, 1, -2};
  p.start.bigRho = {0.5, 0.5, 0.5, 0.5};
  p.counts.bigRhoCounts = {20, 30, 40, 10};
  p.Begin();
  UpdateBigRho(p.Restrictions(), p.counts, &p.values, &p.change);
  ExpectValues(p.values.bigRho, {0.6, 0.4, 0.6, 0.4});
  EXPECT_NEAR(p.change, 0.1, kTolerance);  // the head only
}

TEST(MStepRho, ARowWithoutCountsKeepsItsValuesInsteadOfBecomingUndefined) {
  // Class 2 has no expected members: its rho row keeps (0.2, 0.8), a fixed point, not 0/0.
  Problem p(Dims(2, 1, 1, 0, 0, 2, 0));
  p.codes.littleRho = {1, 1, 1, 1};
  p.start.littleRho = {0.5, 0.5, 0.2, 0.8};
  p.counts.littleRhoCounts = {30, 10, 0, 0};
  p.Begin();
  UpdateLittleRho(p.Restrictions(), p.counts, &p.values, &p.change);
  ExpectValues(p.values.littleRho, {0.75, 0.25, 0.2, 0.8});
  EXPECT_NEAR(p.change, 0.25, kTolerance);
}

class MStepTau : public ::testing::Test {
 protected:
  void SetUp() override {
    run::ResetStatusForTesting();
    ASSERT_EQ(report.Create(dir.Path("report.out")), kStatusOk);
  }

  Lines ReportLines() {
    EXPECT_EQ(report.Close(), kStatusOk);
    return test::ReadLines(dir.Path("report.out"));
  }

  // The update, and on a zero denominator its explanation in the report, as a driver has them.
  Status Tau(Problem& p, input::TextOutput& out) {
    report::ZeroTauDenominator where;
    Status status = UpdateTau(p.Restrictions(), p.counts, &p.values, &p.change, &where);
    if (status.IsOk()) return status;
    return report::ExplainZeroTauDenominator(out, std::move(status), where);
  }
  Status Tau(Problem& p) { return Tau(p, report); }

  test::TempDir dir;
  input::TextOutput report;
};

const std::string kTerminated = "PROGRAM TERMINATED - DIVISION BY ZERO ATTEMPTED IN TAU MATRIX";
const Lines kFreeExplanation = {
    "THIS MEANS THAT THE DENOMINATOR FOR THIS ROW",
    "  (WHICH FOR FIRST-ORDER MODELS IS THE CORRESPONDING DELTA",
    "   AND FOR SECOND-ORDER MODELS IS THE JOINT PROBABILITY OF ",
    "   LATENT STATUS MEMBERSHIP AT TIME T AND TIME T+1)",
    "HAS BEEN ESTIMATED AT ZERO.  THUS THERE IS NO ONE TO TRANSITION",
};
const Lines kSuggestion = {
    "INTO THIS ROW OF THE TAU MATRIX.",
    "A SUGGESTED WAY OF DEALING WITH THIS IS TO CHANGE THE CONSTRAINTS",
    "SO THAT THE ENTIRE ROW OF THE TAU MATRIX IS FIXED TO ZERO",
    "EXCEPT FOR THE DIAGONAL ELEMENT, WHICH SHOULD BE FIXED TO ONE.",
};
const std::string kEmError =
    "There was an error in the EM routine.  Please see the output file for details.";

Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST_F(MStepTau, RowsShareTheirCountsAndOnlyLaterFreeEntriesEnterTheChangeSum) {
  // S = 2, T = 2, one class. Row 1 free with counts 30, 10 -> 0.75, 0.25; row 2 has a fixed 0.2
  // and one free entry, which takes 0.8.
  Problem p(Dims(1, 2, 0, 1, 2, 0, 2));
  p.codes.tau = {1, 0, 1, 1};
  p.start.tau = {0.5, 0.2, 0.5, 0.5};
  p.counts.transitionCounts = {30, 7, 10, 5};
  p.Begin();
  EXPECT_TRUE(Tau(p).IsOk());
  ExpectValues(p.values.tau, {0.75, 0.2, 0.25, 0.8});
  // Row 1: |0.25 - 0.5|; row 2's free entry moved from 0.5 to 0.8 but is its row's first free
  // entry, so it is skipped.
  EXPECT_NEAR(p.change, 0.25, kTolerance);
  EXPECT_TRUE(ReportLines().empty());
}

TEST_F(MStepTau, FreeRowWithoutOriginCountStopsWithKindTwoNamingRowAndClass) {
  // Two classes, everything free; row 1 of class 2 has no expected count.
  Problem p(Dims(2, 2, 0, 1, 2, 0, 2));
  for (std::int32_t& code : p.codes.tau) code = 1;
  p.start.tau.assign(8, 0.5);
  p.counts.transitionCounts = {10, 10, 10, 10, 0, 10, 0, 10};
  p.Begin();
  const Status status = Tau(p);
  EXPECT_EQ(status.Code(), kZeroTauDenominatorFree);
  EXPECT_EQ(ShownCodeOf(status), 2);
  EXPECT_EQ(status.Message(), kEmError);
  ExpectValues(p.values.tau, Values(8, 0.5));
  EXPECT_EQ(p.change, 0.0);
  EXPECT_EQ(ReportLines(), Join({{kTerminated, "THIS OCCURED IN A FREE PARAMETER", "IN ROW    1",
                                  "OF THE TAU MATRIX FOR LATENT CLASS   2"},
                                 kFreeExplanation,
                                 kSuggestion}));
}

TEST_F(MStepTau, OneClassLeavesTheClassOutOfTheMessage) {
  // S = 2, T = 3, so four rows: rows 1 to 3 have counts, row 4 (status 2 at occasion 2) none.
  Problem p(Dims(1, 2, 0, 1, 3, 0, 2));
  for (std::int32_t& code : p.codes.tau) code = 1;
  p.counts.transitionCounts = {5, 5, 5, 0, 5, 5, 5, 0};
  p.Begin();
  EXPECT_EQ(Tau(p).Code(), kZeroTauDenominatorFree);
  EXPECT_EQ(ReportLines(), Join({{kTerminated, "THIS OCCURED IN A FREE PARAMETER", "IN ROW    4"},
                                 kFreeExplanation,
                                 kSuggestion}));
}

TEST_F(MStepTau, TiedEntriesWithoutAnyCountStopWithKindOneAtTheHead) {
  // Two classes, S = 2, T = 2. Row 2's first entry is tied across the classes (head in class
  // 1); both rows 2 are empty. The tie is caught before the free entries of those rows.
  Problem p(Dims(2, 2, 0, 1, 2, 0, 2));
  p.codes.tau = {1, 2, 1, 1, 1, -2, 1, 1};
  p.start.tau.assign(8, 0.5);
  p.counts.transitionCounts = {10, 0, 10, 0, 10, 0, 10, 0};
  p.Begin();
  const Status status = Tau(p);
  EXPECT_EQ(status.Code(), kZeroTauDenominatorConstrained);
  EXPECT_EQ(ShownCodeOf(status), 1);
  EXPECT_EQ(status.Message(), kEmError);
  ExpectValues(p.values.tau, Values(8, 0.5));
  EXPECT_EQ(ReportLines(), Join({{kTerminated, "THIS OCCURED IN A CONSTRAINED PARAMETER",
                                  "IN ROW    2", "OF THE TAU MATRIX FOR LATENT CLASS   1",
                                  "THIS MEANS THAT THE DENOMINATOR FOR THIS EQUIVALENCE CLASS",
                                  "HAS BEEN ESTIMATED AT ZERO, SO THERE IS NO ONE TO TRANSITION"},
                                 kSuggestion}));
}

TEST_F(MStepTau, AFailedWriteRecordsTheWriteStatusInstead) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to fill";
  input::TextOutput full;
  ASSERT_EQ(full.Create("/dev/full"), kStatusOk);
  Problem p(Dims(1, 2, 0, 1, 2, 0, 2));
  for (std::int32_t& code : p.codes.tau) code = 1;
  p.Begin();  // no counts anywhere
  const Status status = Tau(p, full);
  EXPECT_EQ(status.Code(), ENOSPC);
  EXPECT_EQ(status.Message(), "Unable to write to output file.");
}

}  // namespace
}  // namespace kov::em
