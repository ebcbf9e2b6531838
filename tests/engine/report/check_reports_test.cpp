// Expected lines are typed from the message texts with each number right-aligned in 2 columns
// (1-based rows, classes, items). Float sums are worked out by hand: float(0.995) =
// 0.99500000477, float(0.99) = 0.99000000954 and float(0.985) = 0.98500001431, so 1 - sum is
// 0.0049999952, 0.0099999905 and 0.0149999857 against the tolerance float(0.01) = 0.0099999998.
// Fixed sums meant to be equal are built so that they are exactly equal in double
// (0.1 + 0.1 == 0.2 and 0.2 + 0.2 == 0.4, since doubling is exact).
#include "../../../engine/report/check_reports.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../../../engine/base/result_codes.h"

namespace kov::input {
namespace {

using Lines = std::vector<std::string>;

// A report in a fresh temporary file, read back line by line.
class TempReport {
 public:
  TempReport() {
    std::string name = (std::filesystem::temp_directory_path() / "kov_checks_XXXXXX").string();
    const int fd = mkstemp(name.data());
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    m_path = name;
    EXPECT_EQ(out.Create(m_path), kStatusOk);
  }
  ~TempReport() { std::remove(m_path.c_str()); }

  Lines Read() {
    EXPECT_EQ(out.Close(), kStatusOk);
    std::ifstream file(m_path, std::ios::binary);
    Lines lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }

  TextOutput out;

 private:
  std::string m_path;
};

ModelDimensions Dims(int classes, int statuses, int classItems, int statusItems, int occasions,
                     int order, int kc, int ks) {
  ModelDimensions d;
  d.classes = classes;
  d.statuses = statuses;
  d.classItems = classItems;
  d.statusItems = statusItems;
  d.occasions = occasions;
  d.order = order;
  d.maxClassCategories = kc;
  d.maxStatusCategories = ks;
  int rowsPerTransition = 1;
  for (int o = 0; o < order; ++o) rowsPerTransition *= statuses;
  d.extraTransitionRows = occasions >= 3 ? (occasions - 2) * rowsPerTransition : 0;
  return d;
}

// Start values where every vector is uniform (sums to one), and every code free.
ParameterSet Uniform(const ModelDimensions& d) {
  ParameterSet p;
  AllocateParameters(d, &p);
  for (double& v : p.gamma) v = 1.0 / d.classes;
  for (double& v : p.delta) v = 1.0 / d.statuses;
  for (double& v : p.tau) v = 1.0 / d.statuses;
  for (double& v : p.littleRho) v = 1.0 / d.maxClassCategories;
  for (double& v : p.bigRho) v = 1.0 / d.maxStatusCategories;
  return p;
}

RestrictionSet Free(const ModelDimensions& d) {
  RestrictionSet r;
  AllocateRestrictions(d, &r);
  for (auto* codes : {&r.gamma, &r.delta, &r.tau, &r.littleRho, &r.bigRho}) {
    for (std::int32_t& code : *codes) code = 1;
  }
  return r;
}

const std::string kNotOne = " *** ERROR *** START VALUES DO NOT SUM TO ONE";

struct SumResult {
  std::int32_t status;
  std::int32_t failures;
  Lines lines;
};

SumResult CheckSums(const ModelDimensions& d, const ParameterSet& p) {
  TempReport report;
  SumResult result{};
  result.failures = -1;
  const std::vector<StartValueFailure> failures = FindStartValueSumFailures(d, p);
  result.failures = static_cast<std::int32_t>(failures.size());
  result.status = report::WriteStartValueFailures(report.out, failures);
  result.lines = report.Read();
  return result;
}

TEST(CheckStartValueSums, DeltaRowIsJudgedInSinglePrecisionWithinTolerance) {
  const ModelDimensions d = Dims(2, 2, 0, 1, 2, 1, 0, 2);
  ParameterSet p = Uniform(d);
  const MultiIndex<3> delta = DeltaShape(d);

  SumResult ok = CheckSums(d, p);
  EXPECT_EQ(ok.status, kStatusOk);
  EXPECT_EQ(ok.failures, 0);
  EXPECT_TRUE(ok.lines.empty());

  p.delta[delta(0, 1, 0)] = 0.495;  // 0.995 passes
  EXPECT_EQ(CheckSums(d, p).failures, 0);
  p.delta[delta(0, 1, 0)] = 0.49;  // 0.99: fails in double, passes in float
  EXPECT_EQ(CheckSums(d, p).failures, 0);
  p.delta[delta(0, 1, 0)] = 0.51;  // 1.01 likewise from above
  EXPECT_EQ(CheckSums(d, p).failures, 0);

  p.delta[delta(0, 1, 0)] = 0.485;  // 0.985 fails
  SumResult bad = CheckSums(d, p);
  EXPECT_EQ(bad.status, kStatusOk);
  EXPECT_EQ(bad.failures, 1);
  EXPECT_EQ(bad.lines, (Lines{kNotOne, "                      FOR LATENT CLASS  1",
                              "                      OF THE DELTA MATRIX", ""}));
}

TEST(CheckStartValueSums, EveryFailingTauRowOfAClassHasItsMessage) {
  // First order, T = 4: R = 2 + 2 x 2 = 6 rows per class.
  const ModelDimensions d = Dims(2, 2, 0, 1, 4, 1, 0, 2);
  ParameterSet p = Uniform(d);
  const MultiIndex<3> tau = TauShape(d);
  for (int r : {1, 2, 4}) p.tau[tau(r, 1, 1)] = 0.4;  // rows 2, 3, 5 of class 2 sum to 0.9

  SumResult result = CheckSums(d, p);
  EXPECT_EQ(result.status, kStatusOk);
  EXPECT_EQ(result.failures, 3);
  EXPECT_EQ(result.lines, (Lines{kNotOne, "               FOR ROW  2 LATENT CLASS  2",
                                 "               OF THE TAU MATRIX", "",
                                 kNotOne, "               FOR ROW  3 LATENT CLASS  2",
                                 "               OF THE TAU MATRIX", "",
                                 kNotOne, "               FOR ROW  5 LATENT CLASS  2",
                                 "               OF THE TAU MATRIX", ""}));
}

TEST(CheckStartValueSums, VectorsAreVisitedClassByClassWithGammaLast) {
  const ModelDimensions d = Dims(2, 2, 2, 2, 2, 1, 2, 2);
  ParameterSet p = Uniform(d);
  const MultiIndex<3> delta = DeltaShape(d);
  const MultiIndex<3> tau = TauShape(d);
  const MultiIndex<3> littleRho = LittleRhoShape(d);
  const MultiIndex<5> bigRho = BigRhoShape(d);
  p.gamma = {0.45, 0.45};
  p.delta[delta(0, 0, 0)] = 0.4;
  p.delta[delta(1, 0, 0)] = 0.4;
  p.tau[tau(0, 0, 0)] = 0.4;
  p.bigRho[bigRho(0, 1, 0, 0, 0)] = 0.4;  // item 2, status 1
  p.bigRho[bigRho(0, 0, 1, 0, 0)] = 0.4;  // item 1, status 2: comes first
  p.bigRho[bigRho(0, 0, 0, 1, 1)] = 0.0;  // later occasions are not checked
  p.littleRho[littleRho(1, 1, 0)] = 0.4;

  SumResult result = CheckSums(d, p);
  EXPECT_EQ(result.failures, 7);
  EXPECT_EQ(result.lines,
            (Lines{kNotOne, "                      FOR LATENT CLASS  1",
                   "                      OF THE DELTA MATRIX", "",
                   kNotOne, "               FOR ROW  1 LATENT CLASS  1",
                   "               OF THE TAU MATRIX", "",
                   kNotOne, "               FOR LATENT CLASS  1 LATENT STATUS  2, ITEM  1",
                   "               IN THE RH0 MATRIX FOR LATENT STATUS INDICATORS", "",
                   kNotOne, "               FOR LATENT CLASS  1 LATENT STATUS  1, ITEM  2",
                   "               IN THE RH0 MATRIX FOR LATENT STATUS INDICATORS", "",
                   kNotOne, "               FOR LATENT CLASS  1, ITEM  2",
                   "               IN THE RHO MATRIX FOR LATENT CLASS INDICATORS", "",
                   kNotOne, "                      FOR LATENT CLASS  2",
                   "                      OF THE DELTA MATRIX", "",
                   " *** ERROR *** START VALUES FOR THE GAMMA PARAMTERS DO NOT",
                   "               SUM TO ONE"}));
}

TEST(CheckStartValueSums, AnAbsentLatentVariableIsNotChecked) {
  // No class items: gamma 0.9 is not a failure.
  const ModelDimensions statusOnly = Dims(2, 2, 0, 1, 2, 1, 0, 2);
  ParameterSet p = Uniform(statusOnly);
  p.gamma = {0.45, 0.45};
  EXPECT_EQ(CheckSums(statusOnly, p).failures, 0);

  // No status items: zero delta, tau and big rho are not failures, gamma 0.9 is.
  const ModelDimensions classOnly = Dims(2, 2, 1, 0, 0, 1, 2, 0);
  ParameterSet q = Uniform(classOnly);
  for (auto* values : {&q.delta, &q.tau, &q.bigRho}) values->assign(values->size(), 0.0);
  EXPECT_EQ(CheckSums(classOnly, q).failures, 0);
  q.gamma = {0.45, 0.45};
  SumResult result = CheckSums(classOnly, q);
  EXPECT_EQ(result.failures, 1);
  EXPECT_EQ(result.lines, (Lines{" *** ERROR *** START VALUES FOR THE GAMMA PARAMTERS DO NOT",
                                 "               SUM TO ONE"}));
}

TEST(CheckStartValueSums, AValueOutsideZeroToOneFailsItsVectorThoughTheSumIsOne) {
  // Two classes, two statuses, one class item and one status item, two categories each; every
  // changed vector below still sums to exactly one.
  const ModelDimensions d = Dims(2, 2, 1, 1, 2, 1, 2, 2);
  const struct {
    const char* vector;
    void (*change)(ParameterSet&, const ModelDimensions&);
    Lines lines;  // empty: the vector passes
  } cases[] = {
      {"delta of class 2 at the bounds",
       [](ParameterSet& p, const ModelDimensions& d) {
         p.delta[DeltaShape(d)(1, 0, 0)] = 0.0;
         p.delta[DeltaShape(d)(1, 1, 0)] = 1.0;
       },
       {}},
      {"delta of class 2",
       [](ParameterSet& p, const ModelDimensions& d) {
         p.delta[DeltaShape(d)(1, 0, 0)] = 1.5;
         p.delta[DeltaShape(d)(1, 1, 0)] = -0.5;
       },
       {kNotOne, "                      FOR LATENT CLASS  2",
        "                      OF THE DELTA MATRIX", ""}},
      {"tau row 2 of class 1",
       [](ParameterSet& p, const ModelDimensions& d) {
         p.tau[TauShape(d)(1, 0, 0)] = -1.0;
         p.tau[TauShape(d)(1, 1, 0)] = 2.0;
       },
       {kNotOne, "               FOR ROW  2 LATENT CLASS  1", "               OF THE TAU MATRIX",
        ""}},
      {"big rho of class 1, status 2",
       [](ParameterSet& p, const ModelDimensions& d) {
         p.bigRho[BigRhoShape(d)(0, 0, 1, 0, 0)] = 1.25;
         p.bigRho[BigRhoShape(d)(1, 0, 1, 0, 0)] = -0.25;
       },
       {kNotOne, "               FOR LATENT CLASS  1 LATENT STATUS  2, ITEM  1",
        "               IN THE RH0 MATRIX FOR LATENT STATUS INDICATORS", ""}},
      {"little rho of class 2",
       [](ParameterSet& p, const ModelDimensions& d) {
         p.littleRho[LittleRhoShape(d)(0, 0, 1)] = -0.75;
         p.littleRho[LittleRhoShape(d)(1, 0, 1)] = 1.75;
       },
       {kNotOne, "               FOR LATENT CLASS  2, ITEM  1",
        "               IN THE RHO MATRIX FOR LATENT CLASS INDICATORS", ""}},
      {"gamma", [](ParameterSet& p, const ModelDimensions&) { p.gamma = {1.5, -0.5}; },
       {" *** ERROR *** START VALUES FOR THE GAMMA PARAMTERS DO NOT", "               SUM TO ONE"}},
  };
  for (const auto& c : cases) {
    ParameterSet p = Uniform(d);
    c.change(p, d);
    const SumResult result = CheckSums(d, p);
    EXPECT_EQ(result.status, kStatusOk) << c.vector;
    EXPECT_EQ(result.failures, c.lines.empty() ? 0 : 1) << c.vector;
    EXPECT_EQ(result.lines, c.lines) << c.vector;
  }
}

TEST(ParameterChecks, AFailedReportWriteIsReturned) {
  const ModelDimensions d = Dims(2, 2, 0, 1, 2, 1, 0, 2);
  ParameterSet p = Uniform(d);
  p.delta[DeltaShape(d)(0, 0, 0)] = 0.4;
  RestrictionSet r = Free(d);
  // Codes (0, 2) and (0, -2): fixed sums 0.4 in class 1 and 0.5 in class 2.
  const MultiIndex<2> codeAt = DeltaCodeShape(d);
  r.delta[codeAt(0, 0)] = 0;
  r.delta[codeAt(0, 1)] = 2;
  r.delta[codeAt(1, 0)] = 0;
  r.delta[codeAt(1, 1)] = -2;

  TextOutput full;
  ASSERT_EQ(full.Create("/dev/full"), kStatusOk);
  const std::vector<StartValueFailure> failures = FindStartValueSumFailures(d, p);
  EXPECT_EQ(failures.size(), 1u);
  EXPECT_NE(report::WriteStartValueFailures(full, failures), kStatusOk);

  TextOutput full2;
  ASSERT_EQ(full2.Create("/dev/full"), kStatusOk);
  const RestrictionFinding finding = FindRestrictionInconsistency(d, p, r);
  EXPECT_EQ(finding.check, 8);
  EXPECT_NE(report::WriteRestrictionFinding(full2, finding), kStatusOk);
}

struct RestrictionResult {
  std::int32_t status;
  std::int32_t failedCheck;
  Lines lines;
};

RestrictionResult CheckCodes(const ModelDimensions& d, const ParameterSet& p,
                             const RestrictionSet& r) {
  TempReport report;
  RestrictionResult result{};
  result.failedCheck = -1;
  const RestrictionFinding finding = FindRestrictionInconsistency(d, p, r);
  result.failedCheck = finding.check;
  result.status = report::WriteRestrictionFinding(report.out, finding);
  result.lines = report.Read();
  return result;
}

// Sets the values and codes of one row, entry by entry.
void SetRow(std::vector<double>& values, std::vector<std::int32_t>& codes,
            const std::vector<std::size_t>& offsets, const std::vector<double>& rowValues,
            const std::vector<std::int32_t>& rowCodes) {
  for (std::size_t e = 0; e < offsets.size(); ++e) {
    values[offsets[e]] = rowValues[e];
    codes[offsets[e]] = rowCodes[e];
  }
}

TEST(CheckRestrictions, LittleRhoRowsTiedByAClassNeedEqualFixedSumsAndCounts) {
  // One class item, three categories; status items too, with an inconsistent delta tie that
  // must never be reached because the check stops at the first failure.
  const ModelDimensions d = Dims(2, 2, 1, 1, 2, 1, 3, 2);
  ParameterSet p = Uniform(d);
  RestrictionSet r = Free(d);
  const MultiIndex<3> at = LittleRhoShape(d);
  SetRow(p.littleRho, r.littleRho, {at(0, 0, 0), at(1, 0, 0), at(2, 0, 0)}, {0.4, 0.4, 0.2},
         {2, 2, 0});
  SetRow(p.littleRho, r.littleRho, {at(0, 0, 1), at(1, 0, 1), at(2, 0, 1)}, {0.8, 0.1, 0.1},
         {2, 0, 0});
  const MultiIndex<3> deltaAt = DeltaShape(d);
  const MultiIndex<2> deltaCodeAt = DeltaCodeShape(d);
  SetRow(p.delta, r.delta, {deltaAt(0, 0, 0), deltaAt(0, 1, 0)}, {0.6, 0.4}, {2, 0});
  p.delta[deltaAt(1, 0, 0)] = 0.5;
  p.delta[deltaAt(1, 1, 0)] = 0.5;
  r.delta[deltaCodeAt(1, 0)] = -2;
  r.delta[deltaCodeAt(1, 1)] = 0;

  RestrictionResult count = CheckCodes(d, p, r);
  EXPECT_EQ(count.status, kStatusOk);
  EXPECT_EQ(count.failedCheck, 3);
  EXPECT_EQ(count.lines, (Lines{"*** ERROR: LITTLE RHO PARAMETERS ***",
                                "THE NUMBER OF ELEMENTS IN EQUIVALENCE CLASS  2",
                                "FOR LATENT CLASS  1 ITEM  1 DIFFERS FROM THE",
                                "NUMBER OF ELEMENTS IN THE SAME EQUIVALENCE CLASS FOR",
                                "LATENT CLASS  2 ITEM  1", ""}));

  p.littleRho[at(1, 0, 1)] = 0.2;  // class 2's fixed sum becomes 0.3
  RestrictionResult sum = CheckCodes(d, p, r);
  EXPECT_EQ(sum.failedCheck, 2);
  ASSERT_FALSE(sum.lines.empty());
  EXPECT_EQ(sum.lines.front(), "*** ERROR: LITTLE RHO CONSTRAINTS ***");
}

TEST(CheckRestrictions, LittleRhoSumMessageNamesRowAThenRowB) {
  // Rows in index order (item fastest): A = item 2 of class 1, B = item 1 of class 3.
  const ModelDimensions d = Dims(3, 1, 2, 0, 0, 1, 3, 0);
  ParameterSet p = Uniform(d);
  RestrictionSet r = Free(d);
  const MultiIndex<3> at = LittleRhoShape(d);
  SetRow(p.littleRho, r.littleRho, {at(0, 1, 0), at(1, 1, 0), at(2, 1, 0)}, {0.5, 0.3, 0.2},
         {2, 0, 0});
  SetRow(p.littleRho, r.littleRho, {at(0, 0, 2), at(1, 0, 2), at(2, 0, 2)}, {0.6, 0.3, 0.1},
         {-2, 0, 0});

  RestrictionResult result = CheckCodes(d, p, r);
  EXPECT_EQ(result.failedCheck, 2);
  EXPECT_EQ(result.lines,
            (Lines{"*** ERROR: LITTLE RHO CONSTRAINTS ***",
                   "SUM OF THE FIXED PARAMETERS FOR LATENT CLASS  1",
                   "ITEM  2 IS NOT EQUAL TO THE SUM OF THE FIXED PARAMETERS",
                   "FOR LATENT CLASS  3 ITEM  1EVEN THOUGH",
                   "PARAMETERS CONDITIONED ON THESE ARE CONSTRAINED TO BE EQUAL."}));
}

TEST(CheckRestrictions, BigRhoMessagesNameClassStatusOccasionAndItem) {
  // A = item 4, status 2, class 3, occasion 1; B = item 2, status 3, class 1, occasion 2.
  const ModelDimensions d = Dims(3, 3, 0, 4, 2, 1, 0, 3);
  ParameterSet p = Uniform(d);
  RestrictionSet r = Free(d);
  const MultiIndex<5> at = BigRhoShape(d);
  const std::vector<std::size_t> rowA{at(0, 3, 1, 2, 0), at(1, 3, 1, 2, 0), at(2, 3, 1, 2, 0)};
  const std::vector<std::size_t> rowB{at(0, 1, 2, 0, 1), at(1, 1, 2, 0, 1), at(2, 1, 2, 0, 1)};

  SetRow(p.bigRho, r.bigRho, rowA, {0.2, 0.3, 0.5}, {2, 0, 0});  // fixed sum 0.8
  SetRow(p.bigRho, r.bigRho, rowB, {0.3, 0.3, 0.4}, {-2, 0, 0});  // fixed sum 0.7
  RestrictionResult sum = CheckCodes(d, p, r);
  EXPECT_EQ(sum.failedCheck, 4);
  EXPECT_EQ(sum.lines, (Lines{" *** ERROR: BIG RHO CONSTRAINTS ***",
                              " SUM OF THE FIXED RHO PARAMETERS FOR LATENT CLASS  3,",
                              " LATENT STATUS  2 AT TIME  1 FOR ITEM  4",
                              " ARE NOT EQUAL TO THE SUM OF THE FIXED RHO PARAMETERS",
                              " FOR LATENT CLASS  1,",
                              " LATENT STATUS  3 AT TIME  2 FOR ITEM  2",
                              " EVEN THOUGH PARAMETERS CONDITIONED ON THESE ARE",
                              " CONSTRAINED TO BE EQUAL.", ""}));

  SetRow(p.bigRho, r.bigRho, rowA, {0.3, 0.3, 0.4}, {2, -2, 0});  // two members, fixed 0.4
  SetRow(p.bigRho, r.bigRho, rowB, {0.6, 0.2, 0.2}, {-2, 0, 0});  // one member, fixed 0.4
  RestrictionResult count = CheckCodes(d, p, r);
  EXPECT_EQ(count.failedCheck, 5);
  EXPECT_EQ(count.lines, (Lines{" *** ERROR: BIG RHO CONSTRAINTS ***",
                                " THE NUMBER OF ELEMENTS IN EQUIVALENCE CLASS  2",
                                " FOR LATENT CLASS  3LATENT STATUS  2",
                                " AT TIME  1 FOR ITEM  4",
                                " DIFFERS FROM THE NUMBER OF ELEMENTS IN THE SAME",
                                " EQUIVALENCE CLASS",
                                " FOR LATENT CLASS  1 LATENT STATUS  3",
                                " AT TIME  2 FOR ITEM  2"}));
}

TEST(CheckRestrictions, TauMessagesNameClassAndRow) {
  // First order, T = 3: R = 6. A = row 5 of class 2, B = row 2 of class 3.
  const ModelDimensions d = Dims(3, 3, 0, 1, 3, 1, 0, 2);
  ParameterSet p = Uniform(d);
  RestrictionSet r = Free(d);
  const MultiIndex<3> at = TauShape(d);
  const std::vector<std::size_t> rowA{at(4, 0, 1), at(4, 1, 1), at(4, 2, 1)};
  const std::vector<std::size_t> rowB{at(1, 0, 2), at(1, 1, 2), at(1, 2, 2)};

  SetRow(p.tau, r.tau, rowA, {0.2, 0.3, 0.5}, {12, 0, 0});
  SetRow(p.tau, r.tau, rowB, {0.3, 0.3, 0.4}, {-12, 0, 0});
  RestrictionResult sum = CheckCodes(d, p, r);
  EXPECT_EQ(sum.failedCheck, 6);
  EXPECT_EQ(sum.lines, (Lines{" *** ERROR: TAU CONSTRAINTS ***",
                              " SUM OF THE FIXED TAU PARAMETERS FOR LATENT CLASS  2,",
                              " ROW  5 ARE NOT EQUAL TO THE SUM OF THE FIXED TAU",
                              " PARAMETERS FOR LATENT CLASS  3, ROW  2",
                              " EVEN THOUGH PARAMETERS CONDITIONED ON THESE ARE",
                              " CONSTRAINED TO BE EQUAL.", ""}));

  SetRow(p.tau, r.tau, rowA, {0.3, 0.3, 0.4}, {12, -12, 0});
  SetRow(p.tau, r.tau, rowB, {0.6, 0.2, 0.2}, {-12, 0, 0});
  RestrictionResult count = CheckCodes(d, p, r);
  EXPECT_EQ(count.failedCheck, 7);
  EXPECT_EQ(count.lines, (Lines{" *** ERROR: TAU CONSTRAINTS ***",
                                " THE NUMBER OF ELEMENTS IN EQUIVALENCE CLASS 12",
                                " FOR LATENT CLASS  2, ROW  5 DIFFERS FROM THE",
                                " NUMBER OF ELEMENTS IN THE SAME EQUIVALENCE CLASS FOR",
                                " LATENT CLASS  3, ROW  2.", ""}));
}

// Delta's occasion-1 values and codes of class c.
void SetDeltaClass(const ModelDimensions& d, int c, const std::vector<double>& values,
                   const std::vector<std::int32_t>& codes, ParameterSet* p, RestrictionSet* r) {
  const MultiIndex<3> valueAt = DeltaShape(d);
  const MultiIndex<2> codeAt = DeltaCodeShape(d);
  for (int s = 0; s < static_cast<int>(values.size()); ++s) {
    p->delta[valueAt(c, s, 0)] = values[static_cast<std::size_t>(s)];
    r->delta[codeAt(c, s)] = codes[static_cast<std::size_t>(s)];
  }
}

TEST(CheckRestrictions, DeltaMessagesCompareWithEarlierRowsToo) {
  // A = class 3 starts the class; its other member sits in class 1, before A.
  const ModelDimensions d = Dims(3, 3, 0, 1, 2, 1, 0, 2);
  ParameterSet p = Uniform(d);
  RestrictionSet r = Free(d);
  auto setClass = [&](int c, const std::vector<double>& values,
                      const std::vector<std::int32_t>& codes) {
    SetDeltaClass(d, c, values, codes, &p, &r);
  };

  setClass(2, {0.2, 0.3, 0.5}, {2, 0, 0});
  setClass(0, {0.3, 0.3, 0.4}, {-2, 0, 0});
  RestrictionResult sum = CheckCodes(d, p, r);
  EXPECT_EQ(sum.failedCheck, 8);
  EXPECT_EQ(sum.lines, (Lines{" *** ERROR: DELTA PARAMETERS ***",
                              " SUM OF THE FIXED DELTA PARAMETERS FOR LATENT CLASS  3",
                              " ARE NOT EQUAL TO THE SUM OF THE FIXED DELTA PARAMETERS ",
                              " FOR LATENT CLASS  1, EVEN THOUGH PARAMETERS CONDITIONED",
                              " ON THESE ARE CONSTRAINED TO BE EQUAL.", ""}));

  // A code wider than its 2 columns is written whole.
  setClass(2, {0.3, 0.3, 0.4}, {123, -123, 0});
  setClass(0, {0.6, 0.2, 0.2}, {-123, 0, 0});
  RestrictionResult count = CheckCodes(d, p, r);
  EXPECT_EQ(count.failedCheck, 9);
  EXPECT_EQ(count.lines, (Lines{" *** ERROR: DELTA CONSTRAINTS ***",
                                " THE NUMBER OF ELEMENTS IN EQUIVALENCE CLASS 123",
                                " FOR LATENT CLASS  3 DIFFERS FROM THE NUMBER OF",
                                " ELEMENTS IN THE SAME EQUIVALENCE CLASS FOR LATENT",
                                " CLASS  1.", ""}));
}

TEST(CheckRestrictions, ConsistentTiesAndNegativeCodesPass) {
  const ModelDimensions d = Dims(2, 3, 0, 1, 2, 1, 0, 2);
  ParameterSet p = Uniform(d);
  RestrictionSet r = Free(d);
  auto setClass = [&](int c, const std::vector<double>& values,
                      const std::vector<std::int32_t>& codes) {
    SetDeltaClass(d, c, values, codes, &p, &r);
  };

  // Code 2 in both classes, fixed sums 0.5 and 0.5, one member each.
  setClass(0, {0.2, 0.3, 0.5}, {2, 1, 0});
  setClass(1, {0.1, 0.4, 0.5}, {2, 1, 0});
  RestrictionResult tied = CheckCodes(d, p, r);
  EXPECT_EQ(tied.status, kStatusOk);
  EXPECT_EQ(tied.failedCheck, 0);
  EXPECT_TRUE(tied.lines.empty());

  // Class 2's -2 is a member of class 1's equivalence class (it is compared, and the fixed sums
  // of 0.0 agree) but starts nothing: started from class 2, equivalence class 3 would have two
  // members there against none in class 1.
  setClass(0, {1.0, 0.0, 0.0}, {2, 1, 1});
  setClass(1, {0.2, 0.4, 0.4}, {-2, 3, -3});
  EXPECT_EQ(CheckCodes(d, p, r).failedCheck, 0);
  // The same membership with a differing fixed sum shows that -2 does join the class.
  setClass(1, {0.2, 0.4, 0.4}, {-2, 0, -3});
  EXPECT_EQ(CheckCodes(d, p, r).failedCheck, 8);
}

TEST(CheckRestrictions, WithoutStatusItemsOnlyLittleRhoIsChecked) {
  const ModelDimensions d = Dims(2, 2, 1, 0, 0, 1, 2, 0);
  ParameterSet p = Uniform(d);
  RestrictionSet r = Free(d);
  // Delta and tau ties between classes 1 and 2 with fixed sums 0.4 and 0.5, which would fail
  // were they checked.
  const MultiIndex<3> deltaAt = DeltaShape(d);
  const MultiIndex<2> deltaCodeAt = DeltaCodeShape(d);
  const MultiIndex<3> tauAt = TauShape(d);
  for (int c = 0; c < 2; ++c) {
    const double fixed = c == 0 ? 0.4 : 0.5;
    const std::int32_t code = c == 0 ? 2 : -2;
    p.delta[deltaAt(c, 0, 0)] = 1.0 - fixed;
    p.delta[deltaAt(c, 1, 0)] = fixed;
    r.delta[deltaCodeAt(c, 0)] = code;
    r.delta[deltaCodeAt(c, 1)] = 0;
    p.tau[tauAt(0, 0, c)] = 1.0 - fixed;
    p.tau[tauAt(0, 1, c)] = fixed;
    r.tau[tauAt(0, 0, c)] = code;
    r.tau[tauAt(0, 1, c)] = 0;
  }
  RestrictionResult result = CheckCodes(d, p, r);
  EXPECT_EQ(result.failedCheck, 0);
  EXPECT_TRUE(result.lines.empty());
}

}  // namespace
}  // namespace kov::input
