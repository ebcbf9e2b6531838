// EM never lowers the likelihood: each M-step maximises the expected complete-data
// log-likelihood (fixed entries held at their values), so the observed-data log-likelihood of
// the next iteration is at least that of the current one. Checked over random models and data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "em/missingness.h"
#include "em_iteration.h"
#include "input/data_file.h"
#include "input/model.h"
#include "random_model.h"

namespace kov::em {
namespace {

struct RandomModel {
  input::Model model;
  input::PatternTable patterns;
};

// Codes: 1 for the entries that exist, now and then 0 (fixed at the start value); categories
// beyond an item's own count stay fixed at 0. No equality codes.
std::int32_t RandomCode(std::mt19937& random) {
  return std::bernoulli_distribution(0.15)(random) ? 0 : 1;
}

void RandomCodes(std::mt19937& random, input::Model* m) {
  const input::ModelDimensions& d = m->dims;
  input::RestrictionSet& codes = m->codes;
  input::AllocateRestrictions(d, &codes);
  for (std::int32_t& code : codes.gamma) code = d.HasClasses() ? RandomCode(random) : 0;
  const auto tau = input::TauShape(d);
  const auto little = input::LittleRhoShape(d);
  const auto big = input::BigRhoShape(d);
  for (std::int32_t c = 0; c < d.classes; ++c) {
    for (std::int32_t s = 0; s < (d.HasStatuses() ? d.statuses : 0); ++s) {
      codes.delta[input::DeltaCodeShape(d)(c, s)] = RandomCode(random);
      for (std::int32_t row = 0; row < d.TransitionRows(); ++row) {
        codes.tau[tau(row, s, c)] = RandomCode(random);
      }
      for (std::int32_t t = 0; t < d.occasions; ++t) {
        for (std::int32_t i = 0; i < d.statusItems; ++i) {
          const std::int32_t k = m->statusItemCategories[static_cast<std::size_t>(i)];
          for (std::int32_t y = 0; y < k; ++y)
            codes.bigRho[big(y, i, s, c, t)] = RandomCode(random);
        }
      }
    }
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      const std::int32_t k = m->classItemCategories[static_cast<std::size_t>(j)];
      for (std::int32_t y = 0; y < k; ++y) codes.littleRho[little(y, j, c)] = RandomCode(random);
    }
  }
}

RandomModel MakeRandomModel(std::mt19937& random, bool classItems, bool statusItems, int order,
                            double missing) {
  auto between = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  test::ModelShape shape;
  if (classItems) {
    shape.classes = between(2, 3);
    shape.classCategories.resize(static_cast<std::size_t>(between(1, 3)));
    for (std::int32_t& k : shape.classCategories) k = between(2, 3);
  }
  if (statusItems) {
    shape.statuses = between(2, 3);
    shape.statusCategories.resize(static_cast<std::size_t>(between(1, 2)));
    shape.occasions = order == 2 ? between(3, 4) : between(2, 4);
    shape.order = order;
    for (std::int32_t& k : shape.statusCategories) k = between(2, 3);
  }
  RandomModel r{test::MakeModel(shape, missing > 0.0), {}};
  // Every entry at least 0.05 before the rows are scaled, so that no latent path starts out
  // impossible.
  r.model.start = test::RandomValues(r.model, random, {.low = 0.05});
  RandomCodes(random, &r.model);
  // Data: 150 subjects drawn from another random model of the same shape whose rows are
  // sharper (so that the latent structure is strong and EM moves far from its start), each
  // response then missing with the given probability.
  const input::ParameterSet truth =
      test::RandomValues(r.model, random, {.low = 0.05, .power = 3.0});
  r.patterns = test::Simulate(r.model, truth, 150, missing, random);
  return r;
}

struct Case {
  bool classItems;
  bool statusItems;
  int order;
  double missing;
};

TEST(EmPropertyTest, LogLikelihoodNeverDecreasesWithoutEqualityRestrictions) {
  const std::vector<Case> cases = {
      {true, false, 1, 0.0},  {true, false, 1, 0.2}, {false, true, 1, 0.0},
      {false, true, 1, 0.15}, {true, true, 1, 0.0},  {true, true, 1, 0.15},
      {false, true, 2, 0.0},  {true, true, 2, 0.0},  {true, true, 2, 0.15},
  };
  constexpr int kIterations = 40;
  for (std::uint32_t seed : {11u, 2024u, 777u}) {
    for (std::size_t n = 0; n < cases.size(); ++n) {
      const Case& c = cases[n];
      std::mt19937 random(seed * 31u + static_cast<std::uint32_t>(n));
      RandomModel r = MakeRandomModel(random, c.classItems, c.statusItems, c.order, c.missing);
      SCOPED_TRACE("seed " + std::to_string(seed) + ", case " + std::to_string(n));
      GroupedPatterns grouped = GroupByMissingness(r.patterns, r.model);
      testing::EmIterations em(r.model, std::move(grouped));
      ASSERT_GT(em.Estimated(), 0);
      double previous = -INFINITY, first = 0.0;
      for (int k = 0; k < kIterations; ++k) {
        bool tauFailed = false;
        const double logLikelihood = em.Step(&tauFailed);
        ASSERT_FALSE(tauFailed) << "iteration " << k + 1;
        ASSERT_TRUE(std::isfinite(logLikelihood));
        if (k == 0) first = logLikelihood;
        EXPECT_GE(logLikelihood, previous - 1e-9 * std::fabs(previous)) << "iteration " << k + 1;
        previous = logLikelihood;
      }
      const double last = em.LogLikelihood();
      EXPECT_GE(last, previous - 1e-9 * std::fabs(previous));
      // The start values are random, so EM has something to gain: the check is not idle.
      EXPECT_GT(last, first + 1e-3);
    }
  }
}

}  // namespace
}  // namespace kov::em
