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

namespace kov::em {
namespace {

struct RandomModel {
  input::Model model;
  input::PatternTable patterns;
};

// A probability vector over n entries at values[offset + stride * k], every entry at least
// 0.05 before normalising so that no latent path starts out impossible.
void RandomRow(std::mt19937& random, std::vector<double>& values, std::size_t offset,
               std::size_t stride, std::int32_t n) {
  std::uniform_real_distribution<double> uniform(0.05, 1.0);
  std::vector<double> row(static_cast<std::size_t>(n));
  double sum = 0.0;
  for (double& v : row) sum += (v = uniform(random));
  for (std::int32_t k = 0; k < n; ++k) {
    values[offset + stride * static_cast<std::size_t>(k)] = row[static_cast<std::size_t>(k)] / sum;
  }
}

// Codes: 1 for the entries that exist, now and then 0 (fixed at the start value); categories
// beyond an item's own count are fixed at 0. No equality codes.
std::int32_t RandomCode(std::mt19937& random) {
  return std::bernoulli_distribution(0.15)(random) ? 0 : 1;
}

RandomModel MakeRandomModel(std::mt19937& random, bool classItems, bool statusItems, int order,
                            double missing) {
  RandomModel r;
  input::Model& m = r.model;
  input::ModelDimensions& d = m.dims;
  auto between = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  if (classItems) {
    d.classes = between(2, 3);
    d.classItems = between(1, 3);
    for (int j = 0; j < d.classItems; ++j) m.classItemCategories.push_back(between(2, 3));
  }
  if (statusItems) {
    d.statuses = between(2, 3);
    d.statusItems = between(1, 2);
    d.occasions = order == 2 ? between(3, 4) : between(2, 4);
    d.order = order;
    for (int i = 0; i < d.statusItems; ++i) m.statusItemCategories.push_back(between(2, 3));
  }
  for (int k : m.classItemCategories) d.maxClassCategories = std::max(d.maxClassCategories, k);
  for (int k : m.statusItemCategories) d.maxStatusCategories = std::max(d.maxStatusCategories, k);
  const int power = order == 2 ? d.statuses * d.statuses : d.statuses;
  d.extraTransitionRows = d.occasions >= 3 ? (d.occasions - 2) * power : 0;
  m.missingData = missing > 0.0;

  input::AllocateParameters(d, &m.start);
  input::AllocateRestrictions(d, &m.codes);
  input::ParameterSet& v = m.start;
  input::RestrictionSet& codes = m.codes;
  RandomRow(random, v.gamma, 0, 1, d.classes);
  for (std::int32_t& code : codes.gamma) code = classItems ? RandomCode(random) : 0;
  const auto delta = input::DeltaShape(d);
  const auto tau = input::TauShape(d);
  const auto little = input::LittleRhoShape(d);
  const auto big = input::BigRhoShape(d);
  for (std::int32_t c = 0; c < d.classes; ++c) {
    if (statusItems) {
      RandomRow(random, v.delta, delta(c, 0, 0), delta(0, 1, 0), d.statuses);
      for (std::int32_t s = 0; s < d.statuses; ++s) {
        codes.delta[input::DeltaCodeShape(d)(c, s)] = RandomCode(random);
      }
      for (std::int32_t row = 0; row < d.TransitionRows(); ++row) {
        RandomRow(random, v.tau, tau(row, 0, c), tau(0, 1, 0), d.statuses);
        for (std::int32_t s = 0; s < d.statuses; ++s)
          codes.tau[tau(row, s, c)] = RandomCode(random);
      }
      for (std::int32_t t = 0; t < d.occasions; ++t) {
        for (std::int32_t s = 0; s < d.statuses; ++s) {
          for (std::int32_t i = 0; i < d.statusItems; ++i) {
            const std::int32_t k = m.statusItemCategories[static_cast<std::size_t>(i)];
            RandomRow(random, v.bigRho, big(0, i, s, c, t), 1, k);
            for (std::int32_t y = 0; y < k; ++y)
              codes.bigRho[big(y, i, s, c, t)] = RandomCode(random);
          }
        }
      }
    } else {
      v.delta[delta(c, 0, 0)] = 1.0;
      v.tau[tau(0, 0, c)] = 1.0;
    }
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      const std::int32_t k = m.classItemCategories[static_cast<std::size_t>(j)];
      RandomRow(random, v.littleRho, little(0, j, c), 1, k);
      for (std::int32_t y = 0; y < k; ++y) codes.littleRho[little(y, j, c)] = RandomCode(random);
    }
  }

  // Data: 150 subjects drawn from another random model of the same shape whose rows are
  // sharper (so that the latent structure is strong and EM moves far from its start), each
  // response then missing with the given probability; one pattern per subject.
  input::ParameterSet truth = v;
  auto sharpen = [&](std::vector<double>& values, std::size_t offset, std::size_t stride,
                     std::int32_t n) {
    RandomRow(random, values, offset, stride, n);
    double sum = 0.0;
    for (std::int32_t k = 0; k < n; ++k)
      sum += std::pow(values[offset + stride * static_cast<std::size_t>(k)], 3);
    for (std::int32_t k = 0; k < n; ++k) {
      double& x = values[offset + stride * static_cast<std::size_t>(k)];
      x = std::pow(x, 3) / sum;
    }
  };
  sharpen(truth.gamma, 0, 1, d.classes);
  for (std::int32_t c = 0; c < d.classes; ++c) {
    if (statusItems) {
      sharpen(truth.delta, delta(c, 0, 0), delta(0, 1, 0), d.statuses);
      for (std::int32_t row = 0; row < d.TransitionRows(); ++row) {
        sharpen(truth.tau, tau(row, 0, c), tau(0, 1, 0), d.statuses);
      }
      for (std::int32_t t = 0; t < d.occasions; ++t) {
        for (std::int32_t s = 0; s < d.statuses; ++s) {
          for (std::int32_t i = 0; i < d.statusItems; ++i) {
            sharpen(truth.bigRho, big(0, i, s, c, t), 1,
                    m.statusItemCategories[static_cast<std::size_t>(i)]);
          }
        }
      }
    }
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      sharpen(truth.littleRho, little(0, j, c), 1,
              m.classItemCategories[static_cast<std::size_t>(j)]);
    }
  }
  auto draw = [&](const std::vector<double>& values, std::size_t offset, std::size_t stride,
                  std::int32_t n) {
    double u = std::uniform_real_distribution<double>(0.0, 1.0)(random);
    for (std::int32_t k = 0; k < n - 1; ++k) {
      u -= values[offset + stride * static_cast<std::size_t>(k)];
      if (u < 0.0) return k;
    }
    return n - 1;
  };
  input::PatternTable& table = r.patterns;
  table.itemCount = d.ItemCount();
  std::bernoulli_distribution isMissing(missing);
  constexpr int kSubjects = 150;
  for (int subject = 0; subject < kSubjects; ++subject) {
    const std::int32_t c = draw(truth.gamma, 0, 1, d.classes);
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      const std::int32_t y = draw(truth.littleRho, little(0, j, c), 1,
                                  m.classItemCategories[static_cast<std::size_t>(j)]);
      table.responses.push_back(isMissing(random) ? 0 : y + 1);
    }
    // Rows of TAU (0-based): the first transition from the status at occasion 1; a later one
    // from its own block, indexed by the status at t (first order) or the pair at t-1, t.
    std::int32_t previous = 0, status = 0;
    for (std::int32_t t = 0; t < (statusItems ? d.occasions : 0); ++t) {
      std::int32_t next;
      if (t == 0) {
        next = draw(truth.delta, delta(c, 0, 0), delta(0, 1, 0), d.statuses);
      } else {
        const std::int32_t row = t == 1       ? status
                                 : order == 1 ? (t - 1) * d.statuses + status
                                              : d.statuses + (t - 2) * d.statuses * d.statuses +
                                                    previous * d.statuses + status;
        next = draw(truth.tau, tau(row, 0, c), tau(0, 1, 0), d.statuses);
      }
      previous = status;
      status = next;
      for (std::int32_t i = 0; i < d.statusItems; ++i) {
        const std::int32_t y = draw(truth.bigRho, big(0, i, status, c, t), 1,
                                    m.statusItemCategories[static_cast<std::size_t>(i)]);
        table.responses.push_back(isMissing(random) ? 0 : y + 1);
      }
    }
    table.frequencies.push_back(1.0);
  }
  table.patternCount = kSubjects;
  table.subjectCount = kSubjects;
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
