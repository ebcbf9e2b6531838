// Coverage of the data-augmentation intervals on data simulated from a known two-class model of
// four binary items, one response probability near the boundary (0.98) and one at 0.5: whole EM
// and DA runs on each replicate, the DA bounds read from the DA results file and the EM standard
// errors from the EM results file. Every parameter's 95 % interval must cover its true value in
// 92 % to 98 % of the replicates and be on average at most 1.5 times as wide as the Wald
// interval of the EM standard errors. Slow: several hundred runs.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "job.h"
#include "temp_files.h"

namespace kov::reliability {
namespace {

using nlohmann::json;

constexpr int kClasses = 2;
constexpr int kItems = 4;
constexpr double kGamma1 = 0.55;
// Probability of the first answer of each item in each class.
constexpr double kRho[kClasses][kItems] = {{0.98, 0.85, 0.80, 0.50}, {0.35, 0.25, 0.15, 0.20}};
constexpr int kReplicates = 400;
constexpr int kSampleSizes[] = {200, 400, 600, 800, 1000};

// The 16 response patterns with their frequencies, drawn from the model.
std::string SimulateData(int subjects, std::mt19937_64& random) {
  std::bernoulli_distribution firstClass(kGamma1);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::array<int, 16> counts{};
  for (int n = 0; n < subjects; ++n) {
    const int c = firstClass(random) ? 0 : 1;
    int pattern = 0;
    for (int i = 0; i < kItems; ++i) pattern = 2 * pattern + (uniform(random) < kRho[c][i] ? 0 : 1);
    ++counts[static_cast<std::size_t>(pattern)];
  }
  std::string text;
  for (int pattern = 0; pattern < 16; ++pattern) {
    if (counts[static_cast<std::size_t>(pattern)] == 0) continue;
    for (int i = kItems - 1; i >= 0; --i) text += std::to_string(((pattern >> i) & 1) + 1) + " ";
    text += std::to_string(counts[static_cast<std::size_t>(pattern)]) + "\n";
  }
  return text;
}

// The scored parameters: gamma of class 1, then the first answer's probability of each item in
// each class (the second answer's interval mirrors it).
struct Parameter {
  std::string name;
  double truth;
  const json& Pick(const json& set, int labelOf0) const {
    if (item < 0) return set["gamma"][labelOf0];
    return set["little_rho"][cls == 0 ? labelOf0 : 1 - labelOf0][item][0];
  }
  int cls = 0;
  int item = -1;
};

std::vector<Parameter> Parameters() {
  std::vector<Parameter> list = {{"gamma 1", kGamma1}};
  for (int c = 0; c < kClasses; ++c) {
    for (int i = 0; i < kItems; ++i) {
      list.push_back(
          {"rho " + std::to_string(c + 1) + "," + std::to_string(i + 1), kRho[c][i], c, i});
    }
  }
  return list;
}

// The engine's class that stands for true class 1: the one whose first item's probability is
// the higher (0.98 against 0.35).
int LabelOfFirstClass(const json& estimates) {
  return estimates["little_rho"][0][0][0].get<double>() >=
                 estimates["little_rho"][1][0][0].get<double>()
             ? 0
             : 1;
}

struct Tally {
  int covered = 0, waldCovered = 0, waldCount = 0;
  double width = 0.0, widthWhereWald = 0.0, waldWidth = 0.0;
};

TEST(DaCoverage, IntervalsCoverNominallyAndStayNearTheWidthOfTheEmIntervals) {
  const std::vector<Parameter> parameters = Parameters();
  std::vector<Tally> tallies(parameters.size());
  std::mt19937_64 random(20261207);
  int runs = 0;
  for (int r = 0; r < kReplicates; ++r) {
    test::TempDir dir;
    Job job("stouffer_toby.cnt", dir);
    const int subjects = kSampleSizes[r % std::size(kSampleSizes)];
    job.Set(Line::kData, Quoted(dir.Write("sim.dat", SimulateData(subjects, random))) + " ''");
    job.SetDa(10, 20, 1000 + r, false);
    ASSERT_EQ(RunEm(job), kRunCompleted) << LastError().message;
    ASSERT_EQ(RunDa(job), kRunCompleted) << LastError().message;
    ++runs;
    const json em = json::parse(test::ReadFile(dir.Path("em.json")));
    const json da = json::parse(test::ReadFile(dir.Path("da.json")));
    // The chain starts from the EM estimates, so both runs label the classes alike.
    const int label = LabelOfFirstClass(em["estimates"]);
    for (std::size_t p = 0; p < parameters.size(); ++p) {
      const Parameter& parameter = parameters[p];
      Tally& tally = tallies[p];
      const double lower = parameter.Pick(da["lower"], label).get<double>();
      const double upper = parameter.Pick(da["upper"], label).get<double>();
      tally.covered += lower <= parameter.truth && parameter.truth <= upper;
      tally.width += upper - lower;
      const json& error = em["standard_errors"].is_null()
                              ? em["standard_errors"]
                              : parameter.Pick(em["standard_errors"], label);
      if (!error.is_number()) continue;  // an EM estimate on the boundary has none
      const double estimate = parameter.Pick(em["estimates"], label).get<double>();
      const double half = 1.96 * error.get<double>();
      ++tally.waldCount;
      tally.waldCovered += std::abs(estimate - parameter.truth) <= half;
      tally.waldWidth += 2.0 * half;
      tally.widthWhereWald += upper - lower;
    }
  }
  ASSERT_EQ(runs, kReplicates);

  std::printf("%-10s %6s %9s %9s %9s %9s %6s\n", "parameter", "true", "coverage", "width",
              "EM Wald", "width", "ratio");
  std::printf("%-10s %6s %9s %9s %9s %9s %6s\n", "", "", "DA", "DA", "coverage", "EM Wald", "");
  for (std::size_t p = 0; p < parameters.size(); ++p) {
    const Tally& t = tallies[p];
    const double coverage = static_cast<double>(t.covered) / kReplicates;
    const double ratio = (t.widthWhereWald / t.waldCount) / (t.waldWidth / t.waldCount);
    std::printf("%-10s %6.3f %9.3f %9.4f %9.3f %9.4f %6.2f  (%d with EM errors)\n",
                parameters[p].name.c_str(), parameters[p].truth, coverage, t.width / kReplicates,
                static_cast<double>(t.waldCovered) / t.waldCount, t.waldWidth / t.waldCount, ratio,
                t.waldCount);
    EXPECT_GE(coverage, 0.92) << parameters[p].name;
    EXPECT_LE(coverage, 0.98) << parameters[p].name;
    ASSERT_GT(t.waldCount, kReplicates / 2) << parameters[p].name;
    EXPECT_LE(ratio, 1.5) << parameters[p].name;
  }
}

}  // namespace
}  // namespace kov::reliability
