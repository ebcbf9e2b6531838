// The E-step gives the same expected counts, probabilities and log-likelihood, bit for bit, on
// any number of threads: the patterns run in fixed blocks whose sums are added in block order,
// whichever thread ran which block, and an E-step that runs again reuses its work arrays.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "em/estep.h"
#include "em/missingness.h"
#include "random_model.h"

namespace kov::em {
namespace {

// Equal to the last bit (a sum taken in another order differs there).
bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  // An empty array may have no storage, and memcmp must not be given a null pointer.
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

struct Outcome {
  ExpectedCounts counts;
  std::vector<double> probabilities, logProbabilities;
  double logLikelihood = 0.0;
};

Outcome RunOnce(EStep& estep, const input::ParameterSet& values, const GroupedPatterns& grouped) {
  Outcome outcome;
  outcome.logLikelihood = estep.Run(values, grouped, &outcome.counts, &outcome.probabilities,
                                    &outcome.logProbabilities);
  return outcome;
}

void ExpectSame(const Outcome& actual, const Outcome& expected) {
  EXPECT_TRUE(SameBits({actual.counts.total, actual.logLikelihood},
                       {expected.counts.total, expected.logLikelihood}));
  EXPECT_TRUE(SameBits(actual.counts.classCounts, expected.counts.classCounts)) << "classes";
  EXPECT_TRUE(SameBits(actual.counts.statusMargins, expected.counts.statusMargins)) << "margins";
  EXPECT_TRUE(SameBits(actual.counts.transitionCounts, expected.counts.transitionCounts))
      << "transitions";
  EXPECT_TRUE(SameBits(actual.counts.littleRhoCounts, expected.counts.littleRhoCounts))
      << "little rho";
  EXPECT_TRUE(SameBits(actual.counts.bigRhoCounts, expected.counts.bigRhoCounts)) << "big rho";
  EXPECT_TRUE(SameBits(actual.probabilities, expected.probabilities)) << "probabilities";
  EXPECT_TRUE(SameBits(actual.logProbabilities, expected.logProbabilities)) << "logarithms";
}

struct Case {
  std::string name;
  test::ModelShape shape;
  std::int32_t subjects;
  double missing;
};

TEST(EStepThreadsTest, CountsAreTheSameOnAnyNumberOfThreads) {
  // Subjects enough for many blocks of distinct patterns, and occasions whose answers repeat
  // across blocks, so that a code's posterior has parts from several blocks.
  const std::vector<Case> cases = {
      {"latent classes only", test::EvenShape(3, 10, 1, 0, 0, 1), 5000, 0.0},
      {"first order, classes, missing", test::EvenShape(2, 2, 3, 4, 4, 1, 3), 6000, 0.1},
      {"second order", test::EvenShape(1, 0, 3, 5, 4, 2), 5000, 0.0},
      {"six statuses, three categories", test::EvenShape(1, 0, 6, 6, 3, 1, 3), 8000, 0.05},
  };
  std::mt19937 random(20261208);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const input::Model model = test::MakeModel(c.shape, c.missing > 0.0);
    input::ParameterSet truth = test::RandomValues(model, random);
    DeriveOccasionPrevalences(model.dims, &truth);
    const GroupedPatterns grouped =
        GroupByMissingness(test::Simulate(model, truth, c.subjects, c.missing, random), model);
    ASSERT_GT(run::FixedBlockCount(static_cast<std::size_t>(grouped.patterns.patternCount)), 2u);
    // Two sets of values in turn, as EM's iterations give them.
    std::vector<input::ParameterSet> values = {test::RandomValues(model, random),
                                               test::RandomValues(model, random)};
    for (input::ParameterSet& v : values) DeriveOccasionPrevalences(model.dims, &v);
    std::vector<Outcome> reference;
    for (const input::ParameterSet& v : values) {
      EStep single(model, 1);
      reference.push_back(RunOnce(single, v, grouped));
    }
    for (const std::int32_t threads : {1, 2, 7}) {
      SCOPED_TRACE(std::to_string(threads) + " threads");
      EStep estep(model, threads);
      for (std::size_t i = 0; i < values.size(); ++i) {
        ExpectSame(RunOnce(estep, values[i], grouped), reference[i]);
      }
    }
  }
}

}  // namespace
}  // namespace kov::em
