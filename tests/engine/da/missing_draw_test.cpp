// The missing-response draw against a walk over every completion, weighted by the E-step's
// pattern probability, and the rebuilt pattern table.
#include "da/missing_draw.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "da/uniform.h"
#include "em/estep.h"
#include "random_model.h"

namespace kov::da {
namespace {

// Random rows; every tenth entry or so exactly 0, so that impossible completions occur, and
// rows that sum to a little less than 1, as fixed start values may (the sums of the missing
// items' rows then enter every weight).
input::ParameterSet RandomValues(const input::Model& model, std::mt19937& random) {
  return test::RandomValues(model, random, {.low = 0.05, .zeroChance = 0.1, .shortfall = 0.03});
}

TEST(MissingResponseDraw, AgreesWithWalkingEveryCompletion) {
  struct Case {
    input::Model model;
    double missing;
  };
  const std::vector<Case> cases = {
      {test::MakeModel({3, 1, {2, 3, 2, 2}, {}, 0, 1}), 0.5},
      {test::MakeModel({2, 3, {2}, {2, 3}, 3, 1}), 0.4},
      {test::MakeModel({2, 2, {3}, {2, 2}, 4, 2}), 0.35},
      {test::MakeModel({1, 3, {}, {3}, 4, 2}), 0.5},
      {test::MakeModel({2, 2, {2}, {2}, 3, 1}), 1.0},  // every item missing
  };
  std::mt19937 random(31337);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (const Case& example : cases) {
    const input::Model& model = example.model;
    const std::vector<std::int32_t> categories = test::ItemCategories(model);
    MissingResponseDraw draw(model);
    em::EStep estep(model);
    for (std::int32_t trial = 0; trial < 5; ++trial) {
      const input::ParameterSet values = RandomValues(model, random);
      std::vector<std::int32_t> y;
      std::vector<std::size_t> missing;
      std::bernoulli_distribution isMissing(example.missing);
      for (std::size_t n = 0; n < categories.size(); ++n) {
        const bool gap = isMissing(random) || (n + 1 == categories.size() && missing.empty());
        y.push_back(gap ? 0
                        : std::uniform_int_distribution<std::int32_t>(1, categories[n])(random));
        if (gap) missing.push_back(n);
      }

      // Every completion in order, the first missing item slowest, weighted by P(completion).
      std::vector<std::vector<std::int32_t>> completions;
      std::vector<double> weights;
      double total = 0.0;
      std::vector<std::int32_t> digits(missing.size(), 1);
      for (;;) {
        std::vector<std::int32_t> full = y;
        for (std::size_t q = 0; q < missing.size(); ++q) full[missing[q]] = digits[q];
        completions.push_back(full);
        weights.push_back(estep.PatternProbability(values, full.data()));
        total += weights.back();
        std::size_t q = missing.size();
        while (q > 0 && digits[q - 1] == categories[missing[q - 1]]) digits[--q] = 1;
        if (q == 0) break;
        ++digits[q - 1];
      }
      draw.SetParameters(values);
      ASSERT_NEAR(draw.Prepare(y.data()), total, 1e-12 * total);
      if (!(total > 0.0)) continue;
      std::vector<double> boundaries;
      double running = 0.0;
      std::size_t lastPositive = 0;
      for (std::size_t k = 0; k < weights.size(); ++k) {
        running += weights[k] * (1.0 / total);
        boundaries.push_back(running);
        if (weights[k] > 0.0) lastPositive = k;
      }
      std::vector<double> us = {0.0, 1.0};
      for (std::int32_t n = 0; n < 2000; ++n) us.push_back(uniform(random));
      for (double b : boundaries) us.push_back(b);
      std::vector<std::int32_t> drawn(y.size());
      for (const double u : us) {
        const auto at = std::upper_bound(boundaries.begin(), boundaries.end(), u);
        const std::size_t expected = at == boundaries.end()
                                         ? lastPositive
                                         : static_cast<std::size_t>(at - boundaries.begin());
        ASSERT_TRUE(draw.DrawCompletion(u, drawn.data()));
        if (drawn == completions[expected]) continue;
        double nearest = 1.0;
        for (double b : boundaries) nearest = std::min(nearest, std::abs(u - b));
        EXPECT_LT(nearest, 1e-12) << "u = " << u << " drew completion "
                                  << std::find(completions.begin(), completions.end(), drawn) -
                                         completions.begin()
                                  << " instead of " << expected;
      }
    }
  }
}

// The subjects of a pattern go down the completions together; each must end where a draw of
// its own with the same uniform ends. Missing items in a class item and at occasions 1 and 3
// (occasion 2 complete, so the forward message crosses it), first and second order; 300
// subjects go down at once, 150 000 in three batches whose counts are added up.
TEST(MissingResponseDraw, SubjectsOfAPatternDrawnTogetherEndAsDrawnAlone) {
  for (const auto& [order, subjects] : {std::pair{1, 300}, {2, 300}, {1, 150000}, {2, 150000}}) {
    SCOPED_TRACE("order " + std::to_string(order) + ", " + std::to_string(subjects) + " subjects");
    const input::Model model = test::MakeModel({2, 3, {2, 3}, {2, 3}, 3, order});
    std::mt19937 random(order);
    const input::ParameterSet values = RandomValues(model, random);
    input::PatternTable observed;
    observed.itemCount = 8;
    observed.responses = {0, 2, 1, 0, 2, 3, 0, 0};
    observed.frequencies = {static_cast<double>(subjects)};
    observed.patternCount = 1;

    SetGeneratorState(86421);
    MissingResponseDraw together(model);
    input::PatternTable completed;
    ASSERT_TRUE(together.DrawMissingResponses(values, observed, &completed));

    SetGeneratorState(86421);
    MissingResponseDraw alone(model);
    alone.SetParameters(values);
    alone.Prepare(observed.responses.data());
    std::map<std::vector<std::int32_t>, double> expected;
    std::vector<std::int32_t> drawn(8);
    for (int n = 0; n < subjects; ++n) {
      ASSERT_TRUE(alone.DrawCompletion(NextUniform(0), drawn.data()));
      expected[drawn] += 1.0;
    }
    std::map<std::vector<std::int32_t>, double> actual;
    for (std::int32_t p = 0; p < completed.patternCount; ++p) {
      actual[std::vector<std::int32_t>(completed.responses.begin() + 8 * p,
                                       completed.responses.begin() + 8 * (p + 1))] =
          completed.frequencies[p];
    }
    EXPECT_EQ(actual, expected);
    EXPECT_GT(actual.size(), 10u);
  }
}

// The patterns of a table are split into blocks that draw on the engine's threads, which must
// change no draw: the completed table against DrawCompletion taking the same uniforms one subject
// at a time, complete patterns passed through, and one pattern of 70 000 subjects among 4 000
// small ones, on 1 and 3 threads.
TEST(MissingResponseDraw, BlocksOnThreadsDrawAsOneSubjectAtATime) {
  const input::Model model = test::MakeModel({2, 2, {2}, {2, 3}, 3, 1});
  const std::vector<std::int32_t> categories = test::ItemCategories(model);
  std::mt19937 random(4242);
  const input::ParameterSet values = RandomValues(model, random);
  input::PatternTable observed;
  observed.itemCount = static_cast<std::int32_t>(categories.size());
  for (std::int32_t p = 0; p < 4000; ++p) {
    const std::vector<std::int32_t> responses = test::RandomResponses(model, random, 0.3);
    observed.responses.insert(observed.responses.end(), responses.begin(), responses.end());
    observed.frequencies.push_back(p == 2000 ? 70000.0 : std::uniform_int_distribution<int>(0, 3)(random));
  }
  observed.responses[2000 * categories.size()] = 0;
  observed.patternCount = 4000;

  // Keyed by the reversed pattern: the last item most significant, as the table is ordered.
  std::map<std::vector<std::int32_t>, double> expected;
  SetGeneratorState(777);
  MissingResponseDraw alone(model);
  alone.SetParameters(values);
  std::vector<std::int32_t> drawn(categories.size());
  for (std::int32_t p = 0; p < observed.patternCount; ++p) {
    const std::int32_t* y = observed.Pattern(p);
    if (std::find(y, y + categories.size(), 0) == y + categories.size()) {
      expected[std::vector<std::int32_t>(std::make_reverse_iterator(y + categories.size()),
                                         std::make_reverse_iterator(y))] += observed.frequencies[p];
      continue;
    }
    if (!(alone.Prepare(y) > 0.0)) continue;
    for (double n = 0; n < observed.frequencies[p]; ++n) {
      ASSERT_TRUE(alone.DrawCompletion(NextUniform(0), drawn.data()));
      expected[std::vector<std::int32_t>(drawn.rbegin(), drawn.rend())] += 1.0;
    }
  }
  const std::int32_t expectedState = GeneratorState();

  for (const char* threads : {"1", "3"}) {
    SCOPED_TRACE(std::string(threads) + " threads");
    setenv("MARNEL_THREADS", threads, 1);
    SetGeneratorState(777);
    MissingResponseDraw draw(model);
    input::PatternTable completed;
    ASSERT_TRUE(draw.DrawMissingResponses(values, observed, &completed));
    EXPECT_EQ(GeneratorState(), expectedState);
    std::vector<std::pair<std::vector<std::int32_t>, double>> actual;
    for (std::int32_t p = 0; p < completed.patternCount; ++p) {
      const std::int32_t* y = completed.Pattern(p);
      actual.emplace_back(std::vector<std::int32_t>(std::make_reverse_iterator(y + categories.size()),
                                                    std::make_reverse_iterator(y)),
                          completed.frequencies[p]);
    }
    EXPECT_EQ(actual, (std::vector<std::pair<std::vector<std::int32_t>, double>>(expected.begin(),
                                                                                 expected.end())));
  }
  unsetenv("MARNEL_THREADS");
}

// Two classes, two class items of two categories; item 2 answers 2 with certainty in both
// classes, so by hand: (1, 0) completes to (1, 2), and (0, 1) has probability 0.
// Observed: (1 2) x 2, (1 0) x 3, (0 0) x 0, (2 1) x 4, (0 1) x 1, (2 2) x 1.
// Drawn: 3 uniforms for (1 0), none for (0 0), 1 for (0 1), whose subject is left out.
// Rebuilt, the last item most significant: (2 1) x 4, (1 2) x 2 + 3, (2 2) x 1.
TEST(MissingResponseDraw, RebuildsTheCompletedPatterns) {
  const input::Model model = test::MakeModel({2, 1, {2, 2}, {}, 0, 1});
  input::ParameterSet values;
  input::AllocateParameters(model.dims, &values);
  values.gamma = {0.3, 0.7};
  values.delta = {1.0, 1.0};
  values.littleRho = {0.4, 0.6, 0.0, 1.0, 0.9, 0.1, 0.0, 1.0};  // (k, item, class)
  input::PatternTable observed;
  observed.itemCount = 2;
  observed.responses = {1, 2, 1, 0, 0, 0, 2, 1, 0, 1, 2, 2};
  observed.frequencies = {2.0, 3.0, 0.0, 4.0, 1.0, 1.0};
  observed.patternCount = 6;

  std::int32_t state = 2718;
  SetGeneratorState(state);
  MissingResponseDraw draw(model);
  input::PatternTable completed;
  ASSERT_TRUE(draw.DrawMissingResponses(values, observed, &completed));
  for (int n = 0; n < 4; ++n) state = NextState(state);
  EXPECT_EQ(GeneratorState(), state);
  EXPECT_EQ(completed.patternCount, 3);
  EXPECT_EQ(completed.itemCount, 2);
  EXPECT_EQ(completed.responses, (std::vector<std::int32_t>{2, 1, 1, 2, 2, 2}));
  EXPECT_EQ(completed.frequencies, (std::vector<double>{4.0, 5.0, 1.0}));
  EXPECT_EQ(completed.subjectCount, 10.0);
}

}  // namespace
}  // namespace kov::da
