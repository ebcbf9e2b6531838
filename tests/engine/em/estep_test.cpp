#include "em/estep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "brute_force.h"
#include "em/fit.h"
#include "em/missingness.h"
#include "input/model.h"
#include "random_model.h"

namespace kov::em {
namespace {

using test::ModelShape;

// Every model may have missing responses.
input::Model ModelOf(const ModelShape& shape) { return test::MakeModel(shape, true); }

// Now and then an entry is exactly 0, so that zero paths get exercised. Later occasions of delta
// are derived values that the E-step must never read: they hold a value no derivation gives.
input::ParameterSet RandomValues(const input::Model& model, std::mt19937& random,
                                 double zeroChance = 0.08) {
  input::ParameterSet values =
      test::RandomValues(model, random, {.low = 0.05, .zeroChance = zeroChance});
  const auto firstOccasion = static_cast<std::ptrdiff_t>(model.dims.classes * model.dims.statuses);
  std::fill(values.delta.begin() + firstOccasion, values.delta.end(), 0.7);
  return values;
}

// Random patterns, each item missing with the given probability; one pattern misses every
// item, one has frequency 0 and one repeats another.
input::PatternTable RandomPatterns(const input::Model& model, std::mt19937& random,
                                   std::int32_t count, double missing) {
  input::PatternTable table;
  table.itemCount = model.dims.ItemCount();
  std::uniform_real_distribution<double> frequency(0.5, 6.0);
  for (std::int32_t p = 0; p < count; ++p) {
    const std::vector<std::int32_t> responses = test::RandomResponses(model, random, missing);
    table.responses.insert(table.responses.end(), responses.begin(), responses.end());
    table.frequencies.push_back(p == 1 ? 0.0 : frequency(random));
  }
  const std::vector<std::int32_t> repeat(table.responses.begin(),
                                         table.responses.begin() + table.itemCount);
  table.responses.insert(table.responses.end(), repeat.begin(), repeat.end());
  table.frequencies.push_back(2.0);
  if (missing > 0.0) {
    table.responses.insert(table.responses.end(), static_cast<std::size_t>(table.itemCount), 0);
    table.frequencies.push_back(3.5);
  }
  table.patternCount = static_cast<std::int32_t>(table.frequencies.size());
  for (double n : table.frequencies) table.subjectCount += n;
  return table;
}

::testing::AssertionResult Near(const std::vector<double>& actual,
                                const std::vector<double>& expected) {
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure()
           << "size " << actual.size() << " instead of " << expected.size();
  }
  for (std::size_t k = 0; k < actual.size(); ++k) {
    const double a = actual[k];
    const double e = expected[k];
    const bool bothNan = std::isnan(a) && std::isnan(e);
    if (!bothNan && !(std::abs(a - e) <= 1e-10 * std::max(std::abs(a), std::abs(e)) + 1e-13)) {
      return ::testing::AssertionFailure() << "entry " << k << ": " << a << " instead of " << e;
    }
  }
  return ::testing::AssertionSuccess();
}

void ExpectSameCounts(const ExpectedCounts& actual, const ExpectedCounts& expected) {
  EXPECT_TRUE(Near({actual.total}, {expected.total})) << "total";
  EXPECT_TRUE(Near(actual.classCounts, expected.classCounts)) << "class counts";
  EXPECT_TRUE(Near(actual.statusMargins, expected.statusMargins)) << "status margins";
  EXPECT_TRUE(Near(actual.transitionCounts, expected.transitionCounts)) << "transitions";
  EXPECT_TRUE(Near(actual.littleRhoCounts, expected.littleRhoCounts)) << "little rho";
  EXPECT_TRUE(Near(actual.bigRhoCounts, expected.bigRhoCounts)) << "big rho";
}

void ExpectAgreesWithBruteForce(EStep& estep, const input::Model& model,
                                const input::ParameterSet& values,
                                const input::PatternTable& table) {
  const GroupedPatterns grouped = GroupByMissingness(table, model);
  ExpectedCounts counts;
  std::vector<double> probabilities, logProbabilities;
  const double logLikelihood =
      estep.Run(values, grouped, &counts, &probabilities, &logProbabilities);
  const testing::BruteForceResult reference = testing::BruteForceEStep(model, values, grouped);
  ExpectSameCounts(counts, reference.counts);
  EXPECT_TRUE(Near(probabilities, reference.probabilities)) << "pattern probabilities";
  EXPECT_TRUE(Near({logLikelihood}, {reference.logLikelihood})) << "log-likelihood";
  std::vector<double> single;
  for (std::int32_t q = 0; q < grouped.patterns.patternCount; ++q) {
    single.push_back(estep.PatternProbability(values, grouped.patterns.Pattern(q)));
  }
  EXPECT_TRUE(Near(single, reference.probabilities)) << "PatternProbability";
}

struct Case {
  std::string name;
  ModelShape shape;
  double missing;
};

// The brute force enumerates every latent sequence for every completion of every pattern, so it
// checks the recursions, the row layout of TAU and the summing out of missing items at once.
TEST(EStepTest, AgreesWithBruteForceOnRandomModels) {
  const std::vector<Case> cases = {
      {"latent classes only", {3, 1, {2, 3, 2, 4}, {}, 0, 1}, 0.25},
      {"latent classes, occasions without status items", {2, 1, {3, 2}, {}, 3, 1}, 0.0},
      {"first order T=2, complete", {1, 3, {}, {2, 3}, 2, 1}, 0.0},
      {"first order T=3, missing", {1, 3, {}, {2, 3}, 3, 1}, 0.2},
      {"first order T=4, classes, missing", {2, 2, {2, 3}, {3, 2}, 4, 1}, 0.2},
      {"first order T=3, classes without class items", {2, 3, {}, {2}, 3, 1}, 0.15},
      {"second order T=3, missing", {1, 3, {}, {2, 2}, 3, 2}, 0.2},
      {"second order T=4, classes, missing", {2, 2, {3}, {2, 3}, 4, 2}, 0.2},
      {"second order T=4, three statuses", {1, 3, {2}, {3}, 4, 2}, 0.1},
      {"second order T=2", {2, 3, {2}, {2, 2}, 2, 2}, 0.2},
      {"one status measured at three occasions", {2, 1, {2}, {3}, 3, 1}, 0.2},
      {"first order T=3, four statuses, classes", {2, 4, {2}, {2, 3}, 3, 1}, 0.2},
      {"first order T=2, seven statuses", {1, 7, {}, {3, 2}, 2, 1}, 0.2},
      {"second order T=3, four statuses", {1, 4, {}, {2}, 3, 2}, 0.2},
      {"latent classes only, seven classes", {7, 1, {2, 3}, {}, 0, 1}, 0.25},
  };
  std::mt19937 random(20240611);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const input::Model model = ModelOf(c.shape);
    // One E-step for every draw, so that nothing of one run leaks into the next; the last
    // draw has patterns enough for several blocks.
    EStep estep(model);
    for (const int patterns : {30, 30, 700}) {
      const input::ParameterSet values = RandomValues(model, random);
      ExpectAgreesWithBruteForce(estep, model, values,
                                 RandomPatterns(model, random, patterns, c.missing));
    }
  }
}

// Probability reuses the emissions and forward messages of the occasions that a pattern shares
// with the one before it. Patterns that differ from the one before at a single place (or not
// at all), written over one buffer and taken under two sets of values in turn, must get exactly
// what a fresh E-step gives them.
TEST(EStepTest, ProbabilitiesOfChangingPatternsEqualThoseOfAFreshEStep) {
  const std::vector<Case> cases = {
      {"first order, classes, four statuses", {2, 4, {2}, {2, 3}, 4, 1}, 0.2},
      {"second order, three statuses", {2, 3, {3}, {2, 2}, 4, 2}, 0.2},
      {"first order, seven statuses", {1, 7, {}, {3}, 3, 1}, 0.2},
      {"latent classes only", {3, 1, {2, 3, 2}, {}, 0, 1}, 0.2},
  };
  std::mt19937 random(77);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const input::Model model = ModelOf(c.shape);
    const std::vector<std::int32_t> categories = ItemCategoryCounts(model);
    const std::vector<input::ParameterSet> values = {RandomValues(model, random),
                                                     RandomValues(model, random)};
    std::bernoulli_distribution isMissing(c.missing);
    const auto draw = [&](std::size_t item) {
      return isMissing(random) ? 0
                               : std::uniform_int_distribution<std::int32_t>(
                                     1, categories[item])(random);
    };
    std::vector<std::int32_t> pattern(categories.size());
    for (std::size_t item = 0; item < pattern.size(); ++item) pattern[item] = draw(item);
    EStep estep(model);
    for (int step = 0; step < 80; ++step) {
      const input::ParameterSet& current = values[step < 40 ? 0 : 1];
      if (step % 40 == 0) estep.SetParameters(current);
      const std::size_t item =
          std::uniform_int_distribution<std::size_t>(0, pattern.size())(random);
      if (item < pattern.size()) pattern[item] = draw(item);
      EXPECT_EQ(estep.Probability(pattern.data()),
                EStep(model).PatternProbability(current, pattern.data()))
          << "step " << step;
    }
  }
}

// A missing item contributes the sum of its row over the item's own categories, which is what
// summing over its completions gives even when a row falls short of one.
TEST(EStepTest, RowsThatDoNotSumToOneFollowTheCompletionSums) {
  const input::Model model = ModelOf({2, 2, {3}, {2, 3}, 3, 1});
  std::mt19937 random(7);
  input::ParameterSet values = RandomValues(model, random);
  for (std::size_t k = 0; k < values.bigRho.size(); k += 3) values.bigRho[k] *= 0.8;
  for (std::size_t k = 0; k < values.littleRho.size(); k += 2) values.littleRho[k] *= 0.9;
  EStep estep(model);
  ExpectAgreesWithBruteForce(estep, model, values, RandomPatterns(model, random, 25, 0.3));
}

// S = 2, T = 4, one binary item that reveals the status exactly (big rho is the identity), so a
// pattern fixes its status sequence. Row p of TAU (counted from 1) is (p/20, 1 - p/20).
// Pattern 1 2 2 1: row 1 (s1 = 1) to 2, row S + (s1-1)S + s2 = 4 to 2, row S + S^2 + (s2-1)S + s3
// = 10 to 1; P = 0.6 * 0.95 * 0.8 * 0.5 = 0.228.
TEST(EStepTest, SecondOrderRowsFollowThePairOfPreviousStatuses) {
  for (const std::int32_t occasions : {3, 4}) {
    SCOPED_TRACE(occasions);
    const input::Model model = ModelOf({1, 2, {}, {2}, occasions, 2});
    const input::ModelDimensions& d = model.dims;
    input::ParameterSet values;
    input::AllocateParameters(d, &values);
    values.gamma[0] = 1.0;
    values.delta[input::DeltaShape(d)(0, 0, 0)] = 0.6;
    values.delta[input::DeltaShape(d)(0, 1, 0)] = 0.4;
    for (std::int32_t r = 0; r < d.TransitionRows(); ++r) {
      values.tau[input::TauShape(d)(r, 0, 0)] = (r + 1) / 20.0;
      values.tau[input::TauShape(d)(r, 1, 0)] = 1.0 - (r + 1) / 20.0;
    }
    for (std::int32_t t = 0; t < occasions; ++t) {
      for (std::int32_t s = 0; s < 2; ++s) {
        values.bigRho[input::BigRhoShape(d)(s, 0, s, 0, t)] = 1.0;
      }
    }
    input::PatternTable table;
    table.itemCount = occasions;
    table.patternCount = 1;
    table.frequencies = {2.0};
    // T = 3: pattern 2 1 2 uses row 2 to 1 (0.1), then row S + (2-1)S + 1 = 5 to 2 (0.75).
    table.responses = occasions == 3 ? std::vector<std::int32_t>{2, 1, 2}
                                     : std::vector<std::int32_t>{1, 2, 2, 1};
    const double expected = occasions == 3 ? 0.4 * 0.1 * 0.75 : 0.6 * 0.95 * 0.8 * 0.5;

    EStep estep(model);
    ExpectedCounts counts;
    std::vector<double> probabilities;
    estep.Run(values, GroupByMissingness(table, model), &counts, &probabilities);
    EXPECT_NEAR(probabilities[0], expected, 1e-15);
    std::vector<double> transitions(input::TauShape(d).Size(), 0.0);
    if (occasions == 3) {
      transitions[input::TauShape(d)(1, 0, 0)] = 2.0;
      transitions[input::TauShape(d)(4, 1, 0)] = 2.0;
    } else {
      transitions[input::TauShape(d)(0, 1, 0)] = 2.0;
      transitions[input::TauShape(d)(3, 1, 0)] = 2.0;
      transitions[input::TauShape(d)(9, 0, 0)] = 2.0;
    }
    EXPECT_TRUE(Near(counts.transitionCounts, transitions));
    for (std::int32_t t = 0; t < occasions; ++t) {
      const std::int32_t status = table.responses[static_cast<std::size_t>(t)] - 1;
      EXPECT_DOUBLE_EQ(counts.statusMargins[input::DeltaShape(d)(0, status, t)], 2.0);
      EXPECT_DOUBLE_EQ(counts.statusMargins[input::DeltaShape(d)(0, 1 - status, t)], 0.0);
    }
  }
}

// Category 3 of the status item has probability 0 everywhere, so the patterns that answer 3
// cannot occur; they must add nothing, and only their frequency enters N.
TEST(EStepTest, ImpossiblePatternsAddNothing) {
  const input::Model model = ModelOf({1, 2, {}, {3}, 2, 1});
  std::mt19937 random(11);
  input::ParameterSet values = RandomValues(model, random);
  const auto big = input::BigRhoShape(model.dims);
  for (std::int32_t t = 0; t < 2; ++t) {
    for (std::int32_t s = 0; s < 2; ++s) {
      values.bigRho[big(0, 0, s, 0, t)] = 0.4;
      values.bigRho[big(1, 0, s, 0, t)] = 0.6;
      values.bigRho[big(2, 0, s, 0, t)] = 0.0;
    }
  }
  input::PatternTable possible;
  possible.itemCount = 2;
  possible.patternCount = 2;
  possible.responses = {1, 2, 0, 1};
  possible.frequencies = {3.0, 1.5};
  input::PatternTable all = possible;
  all.patternCount = 4;
  all.responses.insert(all.responses.end(), {3, 1, 0, 3});
  all.frequencies.insert(all.frequencies.end(), {2.0, 1.0});

  EStep estep(model);
  ExpectedCounts withImpossible, without;
  std::vector<double> probabilities, probabilitiesWithout, logs;
  const double logLikelihood =
      estep.Run(values, GroupByMissingness(all, model), &withImpossible, &probabilities, &logs);
  const double logLikelihoodWithout = estep.Run(values, GroupByMissingness(possible, model),
                                                &without, &probabilitiesWithout, &logs);

  EXPECT_DOUBLE_EQ(withImpossible.total, 7.5);
  EXPECT_DOUBLE_EQ(withImpossible.classCounts[0], 7.5);  // N: the model has no class items
  without.total = withImpossible.total;
  without.classCounts = withImpossible.classCounts;
  ExpectSameCounts(withImpossible, without);
  EXPECT_DOUBLE_EQ(logLikelihood, logLikelihoodWithout);
  // Sorted: 3 1 (cell 3), 1 2 (cell 4), then 0 1 and 0 3.
  EXPECT_EQ(probabilities[0], 0.0);
  EXPECT_GT(probabilities[1], 0.0);
  EXPECT_GT(probabilities[2], 0.0);
  EXPECT_EQ(probabilities[3], 0.0);
}

// First order, S = 2, T = 3, delta (1, 0); row 1 (0.5, 0.5), row 3 (0.2, 0.8), row 4 (0.6, 0.4):
// occasion 2 is (0.5, 0.5), occasion 3 is (0.5 * 0.2 + 0.5 * 0.6, ...) = (0.4, 0.6). A class
// with GAMMA 0 has no prevalence (0 / 0).
TEST(EStepTest, DerivedPrevalencesFollowTheTransitions) {
  input::Model model = ModelOf({2, 2, {2}, {2}, 3, 1});
  const input::ModelDimensions& d = model.dims;
  input::ParameterSet values;
  input::AllocateParameters(d, &values);
  values.gamma = {1.0, 0.0};
  const auto delta = input::DeltaShape(d);
  const auto tau = input::TauShape(d);
  const double rows[4][2] = {{0.5, 0.5}, {0.3, 0.7}, {0.2, 0.8}, {0.6, 0.4}};
  for (std::int32_t c = 0; c < 2; ++c) {
    values.delta[delta(c, 0, 0)] = 1.0;
    for (std::int32_t r = 0; r < 4; ++r) {
      for (std::int32_t j = 0; j < 2; ++j) values.tau[tau(r, j, c)] = rows[r][j];
    }
  }
  DeriveOccasionPrevalences(d, &values);
  EXPECT_DOUBLE_EQ(values.delta[delta(0, 0, 0)], 1.0);
  EXPECT_DOUBLE_EQ(values.delta[delta(0, 0, 1)], 0.5);
  EXPECT_DOUBLE_EQ(values.delta[delta(0, 1, 1)], 0.5);
  EXPECT_NEAR(values.delta[delta(0, 0, 2)], 0.4, 1e-15);
  EXPECT_NEAR(values.delta[delta(0, 1, 2)], 0.6, 1e-15);
  EXPECT_DOUBLE_EQ(values.delta[delta(1, 0, 0)], 1.0);
  EXPECT_TRUE(std::isnan(values.delta[delta(1, 0, 1)]));
  EXPECT_TRUE(std::isnan(values.delta[delta(1, 1, 2)]));

  std::mt19937 random(5);
  for (const ModelShape& shape :
       {ModelShape{2, 3, {2}, {2}, 4, 1}, ModelShape{2, 3, {2}, {2}, 4, 2},
        ModelShape{3, 2, {}, {2}, 5, 2}}) {
    model = ModelOf(shape);
    values = RandomValues(model, random);
    const std::vector<double> expected = testing::BruteForcePrevalences(model.dims, values);
    DeriveOccasionPrevalences(model.dims, &values);
    EXPECT_TRUE(Near(values.delta, expected)) << "order " << shape.order;
  }
}

// ---------------------------------------------------------------------------------------------
// Patterns of a few hundred items, whose probabilities lie far below the smallest double.

double LogSumExp(const std::vector<double>& terms) {
  double largest = -HUGE_VAL;
  for (double x : terms) largest = std::max(largest, x);
  if (!std::isfinite(largest)) return largest;
  double sum = 0.0;
  for (double x : terms) sum += std::exp(x - largest);
  return largest + std::log(sum);
}

// The E-step of a first-order model in logarithms: forward and backward messages as logs, so
// nothing underflows. Returns the log-likelihood; fills the counts in the parameter layouts.
double LogSpaceEStep(const input::Model& model, const input::ParameterSet& v,
                     const input::PatternTable& table, ExpectedCounts* counts) {
  const input::ModelDimensions& d = model.dims;
  const std::int32_t classes = d.classes;
  const std::int32_t statuses = std::max(d.statuses, 1);
  const std::int32_t occasions = d.HasStatuses() ? d.occasions : 1;
  const auto gamma = input::GammaShape(d);
  const auto delta = input::DeltaShape(d);
  const auto tau = input::TauShape(d);
  const auto little = input::LittleRhoShape(d);
  const auto big = input::BigRhoShape(d);
  counts->total = 0.0;
  counts->classCounts.assign(gamma.Size(), 0.0);
  counts->statusMargins.assign(delta.Size(), 0.0);
  counts->transitionCounts.assign(tau.Size(), 0.0);
  counts->littleRhoCounts.assign(little.Size(), 0.0);
  counts->bigRhoCounts.assign(big.Size(), 0.0);
  // ln of item probabilities; a missing item enters as its row sum.
  const auto classItem = [&](std::int32_t j, std::int32_t y, std::int32_t c) {
    double p = 0.0;
    for (std::int32_t k = 1; k <= model.classItemCategories[std::size_t(j)]; ++k) {
      if (y == 0 || y == k) p += v.littleRho[little(k - 1, j, c)];
    }
    return std::log(p);
  };
  const auto statusItem = [&](std::int32_t i, std::int32_t y, std::int32_t s, std::int32_t c,
                              std::int32_t t) {
    double p = 0.0;
    for (std::int32_t k = 1; k <= model.statusItemCategories[std::size_t(i)]; ++k) {
      if (y == 0 || y == k) p += v.bigRho[big(k - 1, i, s, c, t)];
    }
    return std::log(p);
  };
  const auto logDelta = [&](std::int32_t c, std::int32_t s) {
    return statuses == 1 ? 0.0 : std::log(v.delta[delta(c, s, 0)]);
  };
  const auto logTau = [&](std::int32_t row, std::int32_t j, std::int32_t c) {
    return statuses == 1 ? 0.0 : std::log(v.tau[tau(row, j, c)]);
  };
  const std::size_t S = std::size_t(statuses);
  double logLikelihood = 0.0;
  for (std::int32_t q = 0; q < table.patternCount; ++q) {
    const std::int32_t* y = table.Pattern(q);
    const double n = table.frequencies[std::size_t(q)];
    counts->total += n;
    std::vector<double> factor(static_cast<std::size_t>(classes));
    std::vector<std::vector<double>> e(std::size_t(classes * occasions), std::vector<double>(S));
    std::vector<std::vector<double>> a = e, b = e;
    std::vector<double> classTerms;
    for (std::int32_t c = 0; c < classes; ++c) {
      double f = std::log(v.gamma[gamma(c)]);
      for (std::int32_t j = 0; j < d.classItems; ++j) f += classItem(j, y[j], c);
      factor[std::size_t(c)] = f;
      for (std::int32_t t = 0; t < occasions; ++t) {
        for (std::int32_t s = 0; s < statuses; ++s) {
          double x = 0.0;
          for (std::int32_t i = 0; i < (d.HasStatuses() ? d.statusItems : 0); ++i) {
            x += statusItem(i, y[d.classItems + t * d.statusItems + i], s, c, t);
          }
          e[std::size_t(c * occasions + t)][std::size_t(s)] = x;
        }
      }
      auto* ac = &a[std::size_t(c * occasions)];
      auto* bc = &b[std::size_t(c * occasions)];
      auto* ec = &e[std::size_t(c * occasions)];
      for (std::int32_t s = 0; s < statuses; ++s) ac[0][std::size_t(s)] = logDelta(c, s) + ec[0][std::size_t(s)];
      for (std::int32_t t = 1; t < occasions; ++t) {
        for (std::int32_t j = 0; j < statuses; ++j) {
          std::vector<double> terms;
          for (std::int32_t i = 0; i < statuses; ++i) {
            terms.push_back(ac[t - 1][std::size_t(i)] + logTau((t - 1) * statuses + i, j, c));
          }
          ac[t][std::size_t(j)] = LogSumExp(terms) + ec[t][std::size_t(j)];
        }
      }
      std::fill(bc[occasions - 1].begin(), bc[occasions - 1].end(), 0.0);
      for (std::int32_t t = occasions - 2; t >= 0; --t) {
        for (std::int32_t i = 0; i < statuses; ++i) {
          std::vector<double> terms;
          for (std::int32_t j = 0; j < statuses; ++j) {
            terms.push_back(logTau(t * statuses + i, j, c) + ec[t + 1][std::size_t(j)] +
                            bc[t + 1][std::size_t(j)]);
          }
          bc[t][std::size_t(i)] = LogSumExp(terms);
        }
      }
      classTerms.push_back(f + LogSumExp(ac[occasions - 1]));
    }
    const double logP = LogSumExp(classTerms);
    logLikelihood += n * logP;
    for (std::int32_t c = 0; c < classes; ++c) {
      const auto* ac = &a[std::size_t(c * occasions)];
      const auto* bc = &b[std::size_t(c * occasions)];
      const auto* ec = &e[std::size_t(c * occasions)];
      const double f = factor[std::size_t(c)] - logP;
      const double classPosterior = n * std::exp(classTerms[std::size_t(c)] - logP);
      counts->classCounts[gamma(c)] += classPosterior;
      for (std::int32_t j = 0; j < d.classItems; ++j) {
        for (std::int32_t k = 1; k <= model.classItemCategories[std::size_t(j)]; ++k) {
          if (y[j] != 0 && y[j] != k) continue;
          const double share = y[j] == 0 ? v.littleRho[little(k - 1, j, c)] /
                                               std::exp(classItem(j, 0, c))
                                         : 1.0;
          counts->littleRhoCounts[little(k - 1, j, c)] += classPosterior * share;
        }
      }
      for (std::int32_t t = 0; t < occasions; ++t) {
        for (std::int32_t s = 0; s < statuses; ++s) {
          const double m = n * std::exp(f + ac[t][std::size_t(s)] + bc[t][std::size_t(s)]);
          if (t < std::int32_t(delta.Extent(2))) counts->statusMargins[delta(c, s, t)] += m;
          for (std::int32_t i = 0; i < (d.HasStatuses() ? d.statusItems : 0); ++i) {
            const std::int32_t r = y[d.classItems + t * d.statusItems + i];
            for (std::int32_t k = 1; k <= model.statusItemCategories[std::size_t(i)]; ++k) {
              if (r != 0 && r != k) continue;
              const double share = r == 0 ? v.bigRho[big(k - 1, i, s, c, t)] /
                                                std::exp(statusItem(i, 0, s, c, t))
                                          : 1.0;
              counts->bigRhoCounts[big(k - 1, i, s, c, t)] += m * share;
            }
          }
          if (t == 0) continue;
          for (std::int32_t from = 0; from < statuses; ++from) {
            const std::int32_t row = (t - 1) * statuses + from;
            counts->transitionCounts[tau(row, s, c)] +=
                n * std::exp(f + ac[t - 1][std::size_t(from)] + logTau(row, s, c) +
                             ec[t][std::size_t(s)] + bc[t][std::size_t(s)]);
          }
        }
      }
    }
  }
  return logLikelihood;
}

// The M-step of a model without restrictions: every row its counts over their sum.
void NormalizeCounts(const input::Model& model, const ExpectedCounts& counts,
                     input::ParameterSet* v) {
  const input::ModelDimensions& d = model.dims;
  const auto delta = input::DeltaShape(d);
  const auto tau = input::TauShape(d);
  const auto little = input::LittleRhoShape(d);
  const auto big = input::BigRhoShape(d);
  const auto normalize = [](const std::vector<double>& from, std::vector<double>* to,
                            const std::vector<std::size_t>& row) {
    double sum = 0.0;
    for (std::size_t k : row) sum += from[k];
    for (std::size_t k : row) (*to)[k] = from[k] / sum;
  };
  std::vector<std::size_t> row;
  for (std::int32_t c = 0; c < d.classes; ++c) {
    v->gamma[std::size_t(c)] = counts.classCounts[std::size_t(c)] / counts.total;
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      row.clear();
      for (std::int32_t k = 0; k < model.classItemCategories[std::size_t(j)]; ++k) row.push_back(little(k, j, c));
      normalize(counts.littleRhoCounts, &v->littleRho, row);
    }
    if (!d.HasStatuses()) continue;
    row.clear();
    for (std::int32_t s = 0; s < d.statuses; ++s) row.push_back(delta(c, s, 0));
    normalize(counts.statusMargins, &v->delta, row);
    for (std::int32_t r = 0; r < d.TransitionRows(); ++r) {
      row.clear();
      for (std::int32_t s = 0; s < d.statuses; ++s) row.push_back(tau(r, s, c));
      normalize(counts.transitionCounts, &v->tau, row);
    }
    for (std::int32_t t = 0; t < d.occasions; ++t) {
      for (std::int32_t s = 0; s < d.statuses; ++s) {
        for (std::int32_t i = 0; i < d.statusItems; ++i) {
          row.clear();
          for (std::int32_t k = 0; k < model.statusItemCategories[std::size_t(i)]; ++k) {
            row.push_back(big(k, i, s, c, t));
          }
          normalize(counts.bigRhoCounts, &v->bigRho, row);
        }
      }
    }
  }
  DeriveOccasionPrevalences(d, v);
}

::testing::AssertionResult RelativelyNear(const std::vector<double>& actual,
                                          const std::vector<double>& expected) {
  if (actual.size() != expected.size()) return ::testing::AssertionFailure() << "sizes differ";
  double scale = 0.0;
  for (double e : expected) scale = std::max(scale, std::abs(e));
  for (std::size_t k = 0; k < actual.size(); ++k) {
    const double a = actual[k];
    const double e = expected[k];
    if (!(std::abs(a - e) <= 1e-9 * std::max(std::abs(a), std::abs(e)) + 1e-14 * scale)) {
      return ::testing::AssertionFailure() << "entry " << k << ": " << a << " instead of " << e;
    }
  }
  return ::testing::AssertionSuccess();
}

// Each E-step's counts and log-likelihood, and the estimates after a few EM iterations, against
// the same iterations in logarithms; and the G-squared from the logarithms of the probabilities.
TEST(EStepTest, PatternsOfManyItemsAgreeWithLogSpaceRecursions) {
  struct ManyItems {
    std::string name;
    ModelShape shape;
    double missing;
    int iterations;  // one where a status is left with no posterior mass (a row 0 / 0)
  };
  const std::vector<ManyItems> cases = {
      {"latent classes, 600 five-category items",
       {3, 1, std::vector<std::int32_t>(600, 5), {}, 0, 1}, 0.05, 3},
      {"latent transitions, 150 four-category items at 5 occasions",
       {2, 2, {3, 2}, std::vector<std::int32_t>(150, 4), 5, 1}, 0.05, 3},
      {"latent transitions, 1000 binary items at 2 occasions",
       {1, 3, {}, std::vector<std::int32_t>(1000, 2), 2, 1}, 0.0, 1},
  };
  std::mt19937 random(31);
  for (const ManyItems& c : cases) {
    SCOPED_TRACE(c.name);
    const input::Model model = ModelOf(c.shape);
    input::ParameterSet values = RandomValues(model, random, /*zeroChance=*/0.0);
    DeriveOccasionPrevalences(model.dims, &values);
    const input::PatternTable table = RandomPatterns(model, random, 12, c.missing);
    const GroupedPatterns grouped = GroupByMissingness(table, model);
    EStep estep(model);
    input::ParameterSet reference = values;
    for (int iteration = 0; iteration < c.iterations; ++iteration) {
      SCOPED_TRACE(iteration);
      ExpectedCounts counts, expected;
      std::vector<double> probabilities, logProbabilities;
      const double logLikelihood =
          estep.Run(values, grouped, &counts, &probabilities, &logProbabilities);
      const double expectedLogLikelihood =
          LogSpaceEStep(model, reference, grouped.patterns, &expected);
      ASSERT_LT(expectedLogLikelihood, -900.0);  // far below ln of the smallest double
      EXPECT_TRUE(RelativelyNear({logLikelihood}, {expectedLogLikelihood}));
      EXPECT_DOUBLE_EQ(counts.total, expected.total);
      EXPECT_TRUE(RelativelyNear(counts.classCounts, expected.classCounts)) << "class counts";
      EXPECT_TRUE(RelativelyNear(counts.statusMargins, expected.statusMargins)) << "margins";
      EXPECT_TRUE(RelativelyNear(counts.transitionCounts, expected.transitionCounts)) << "tau";
      EXPECT_TRUE(RelativelyNear(counts.littleRhoCounts, expected.littleRhoCounts)) << "little";
      EXPECT_TRUE(RelativelyNear(counts.bigRhoCounts, expected.bigRhoCounts)) << "big rho";
      // One group without missing data: G-squared = 2 sum n ln n - 2 n ln N - 2 LL.
      if (c.missing == 0.0) {
        double gSquared = -2.0 * expectedLogLikelihood;
        for (double n : table.frequencies) {
          if (n > 0.0) gSquared += 2.0 * n * (std::log(n) - std::log(table.subjectCount));
        }
        EXPECT_TRUE(RelativelyNear({ModelGSquared(grouped, probabilities, &logProbabilities)},
                                   {gSquared}));
      }
      NormalizeCounts(model, counts, &values);
      NormalizeCounts(model, expected, &reference);
    }
    EXPECT_TRUE(RelativelyNear(values.gamma, reference.gamma)) << "gamma";
    EXPECT_TRUE(RelativelyNear(values.delta, reference.delta)) << "delta";
    EXPECT_TRUE(RelativelyNear(values.tau, reference.tau)) << "tau";
    EXPECT_TRUE(RelativelyNear(values.littleRho, reference.littleRho)) << "little rho";
    EXPECT_TRUE(RelativelyNear(values.bigRho, reference.bigRho)) << "big rho";
  }
}

}  // namespace
}  // namespace kov::em
