// The posterior draws under restrictions, and a short chain of whole iterations.
//
// Hand values: from state 1 the uniforms are 7.826369e-06, 0.13153780, 0.75560534, 0.45865014,
// so the first two gamma variates of shape 1 are -ln(0.13153780) = 2.0284610 and
// -ln(0.45865014) = 0.7794676 (every first proposal is accepted at shape 1); their sum is
// 2.8079286. The shares and derived values below follow with a calculator.
#include "da/posterior_step.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "da/imputation_step.h"
#include "da/missing_draw.h"
#include "da/uniform.h"
#include "em/parameter_count.h"
#include "random_model.h"

namespace kov::da {
namespace {

// A first-order model with every value 0 and every code 0, for each test to fill in.
input::Model MakeModel(std::int32_t classes, std::int32_t statuses,
                       std::vector<std::int32_t> classCategories,
                       std::vector<std::int32_t> statusCategories, std::int32_t occasions) {
  input::Model model = test::MakeModel(
      {classes, statuses, std::move(classCategories), std::move(statusCategories), occasions, 1});
  input::AllocateParameters(model.dims, &model.start);
  input::AllocateRestrictions(model.dims, &model.codes);
  return model;
}

em::ExpectedCounts ZeroCounts(const input::ModelDimensions& d) {
  em::ExpectedCounts counts;
  counts.classCounts.assign(input::GammaShape(d).Size(), 0.0);
  counts.statusMargins.assign(input::DeltaShape(d).Size(), 0.0);
  counts.transitionCounts.assign(input::TauShape(d).Size(), 0.0);
  counts.littleRhoCounts.assign(input::LittleRhoShape(d).Size(), 0.0);
  counts.bigRhoCounts.assign(input::BigRhoShape(d).Size(), 0.0);
  return counts;
}

input::ParameterSet ZeroWeights(const input::ModelDimensions& d) {
  input::ParameterSet weights;
  input::AllocateParameters(d, &weights);
  return weights;
}

TEST(PosteriorStep, GammaIsOneWithOneClassOrWithoutClassItems) {
  input::Model model = MakeModel(1, 1, {2, 3}, {}, 0);
  model.codes.gamma = {1};
  model.codes.littleRho = {1, 1, 0, 1, 1, 1};
  model.start.gamma = {1.0};
  model.start.littleRho = {0.5, 0.5, 0.0, 0.2, 0.3, 0.5};
  const input::RestrictionStructure restrictions(model.dims, model.codes, model.start);
  PosteriorStep step(restrictions);
  em::ExpectedCounts counts = ZeroCounts(model.dims);
  SetGeneratorState(77);
  for (double n : {0.0, 3.0, 250.0}) {
    counts.classCounts = {n};
    step.Run(counts, PriorArrays(model.dims), ZeroWeights(model.dims), &model.start);
    EXPECT_EQ(model.start.gamma[0], 1.0);
  }

  // No class items: every GAMMA is 1 and neither GAMMA nor LITTLE RHO has a series.
  input::Model dynamic = MakeModel(2, 2, {}, {2}, 2);
  std::fill(dynamic.start.gamma.begin(), dynamic.start.gamma.end(), 0.5);
  input::ParameterSet weights = ZeroWeights(dynamic.dims);
  std::fill(weights.gamma.begin(), weights.gamma.end(), 1.0);
  const SeriesValues series =
      PosteriorStep(input::RestrictionStructure(dynamic.dims, dynamic.codes, dynamic.start))
          .Run(ZeroCounts(dynamic.dims), PriorArrays(dynamic.dims), weights, &dynamic.start);
  EXPECT_EQ(dynamic.start.gamma, (std::vector<double>{1.0, 1.0}));
  EXPECT_EQ(series[kGammaSeries], 0.0);
  EXPECT_EQ(series[kLittleRhoSeries], 0.0);
}

// Everything fixed: nothing is drawn, the values stay, the series is 0.2 + 0.6 + 1.5 = 2.3.
TEST(PosteriorStep, FixedGammaKeepsItsStartValues) {
  input::Model model = MakeModel(3, 1, {2}, {}, 0);
  model.start.gamma = {0.2, 0.3, 0.5};
  model.start.littleRho = {0.1, 0.9, 0.4, 0.6, 0.7, 0.3};
  input::ParameterSet weights = ZeroWeights(model.dims);
  weights.gamma = {1.0, 2.0, 3.0};
  em::ExpectedCounts counts = ZeroCounts(model.dims);
  counts.classCounts = {50.0, 10.0, 40.0};
  const input::ParameterSet before = model.start;
  SetGeneratorState(1);
  const input::RestrictionStructure restrictions(model.dims, model.codes, model.start);
  const SeriesValues series =
      PosteriorStep(restrictions).Run(counts, PriorArrays(model.dims), weights, &model.start);
  EXPECT_EQ(GeneratorState(), 1);
  EXPECT_EQ(model.start.gamma, before.gamma);
  EXPECT_EQ(model.start.littleRho, before.littleRho);
  EXPECT_DOUBLE_EQ(series[kGammaSeries], 2.3);
}

// DELTA of two classes with status 1 tied across them (codes 2 and -2) and status 2 free; TAU
// and BIG RHO fixed, so DELTA draws first. With zero counts both shapes are 0.5 + 0.5 = 1:
// G_free = 2.0284610, G_2 = 0.7794676; status 1 gets 0.7794676 / 2.8079286 = 0.2775952 in both
// classes and status 2 the free mass 0.7224048. Weights 1, 2, 3, 4 give 3 x 0.2775952 +
// 7 x 0.7224048 = 5.8896191. With TAU rows (0.9, 0.1) and (0.2, 0.8) the occasion-2 status
// prevalences are 0.2775952 x 0.9 + 0.7224048 x 0.2 = 0.3943167 and 0.6056833.
TEST(PosteriorStep, LinkedDeltaRowsShareTheirGroup) {
  input::Model model = MakeModel(2, 2, {}, {2}, 2);
  const input::ModelDimensions& d = model.dims;
  model.codes.delta = {2, 2, 1, 1};  // (c, s)
  em::MarkAndCountEstimatedParameters(input::RestrictionStructure(d, model.codes, model.start),
                                      &model.codes);
  model.start.gamma = {1.0, 1.0};
  model.start.delta = {0.5, 0.5, 0.5, 0.5, 0.0, 0.0, 0.0, 0.0};
  model.start.tau = {0.9, 0.2, 0.1, 0.8, 0.9, 0.2, 0.1, 0.8};  // (r, j, c)
  std::fill(model.start.bigRho.begin(), model.start.bigRho.end(), 0.5);
  input::ParameterSet weights = ZeroWeights(d);
  weights.delta = {1.0, 2.0, 3.0, 4.0, 0.0, 0.0, 0.0, 0.0};

  const input::RestrictionStructure restrictions(d, model.codes, model.start);
  PosteriorStep step(restrictions);
  EXPECT_EQ(step.RowLinks(RowFamily::kDelta), (std::vector<std::int32_t>{1, -1}));
  SetGeneratorState(1);
  const SeriesValues series = step.Run(ZeroCounts(d), PriorArrays(d), weights, &model.start);
  const auto delta = input::DeltaShape(d);
  EXPECT_EQ(model.start.delta[delta(0, 0, 0)], model.start.delta[delta(1, 0, 0)]);
  EXPECT_NEAR(model.start.delta[delta(0, 0, 0)], 0.2775952, 1e-7);
  EXPECT_NEAR(model.start.delta[delta(0, 1, 0)], 0.7224048, 1e-7);
  EXPECT_NEAR(model.start.delta[delta(1, 1, 0)], 0.7224048, 1e-7);
  EXPECT_NEAR(series[kDeltaSeries], 5.8896191, 1e-6);
  EXPECT_NEAR(model.start.delta[delta(1, 0, 1)], 0.3943167, 1e-7);
  EXPECT_NEAR(model.start.delta[delta(1, 1, 1)], 0.6056833, 1e-7);
  EXPECT_EQ(model.start.tau, (std::vector<double>{0.9, 0.2, 0.1, 0.8, 0.9, 0.2, 0.1, 0.8}));
}

// One DELTA row: a fixed 0.2, a group of three and a free cell. Priors of 1/3 on the group and
// a count of 0.5 on the free cell make both shapes 1, so the free cell draws 2.0284610 and the
// group 0.7794676: M = 0.8, each member 0.8 x 0.7794676 / (3 x 2.8079286) = 0.0740254, the
// free cell 0.8 x 2.0284610 / 2.8079286 = 0.5779238.
TEST(PosteriorStep, EqualityGroupOfThreeGetsThreeEqualValues) {
  input::Model model = MakeModel(1, 5, {}, {2}, 2);
  const input::ModelDimensions& d = model.dims;
  model.codes.delta = {0, 2, 2, 2, 1};
  em::MarkAndCountEstimatedParameters(input::RestrictionStructure(d, model.codes, model.start),
                                      &model.codes);
  std::fill(model.start.tau.begin(), model.start.tau.end(), 0.2);
  model.start.delta = {0.2, 0.2, 0.2, 0.2, 0.2, 0, 0, 0, 0, 0};
  input::ParameterSet priors = PriorArrays(d);
  for (std::size_t s = 1; s <= 3; ++s) priors.delta[s] = 1.0 / 3.0;
  em::ExpectedCounts counts = ZeroCounts(d);
  counts.statusMargins[4] = 0.5;

  const input::RestrictionStructure restrictions(d, model.codes, model.start);
  PosteriorStep step(restrictions);
  SetGeneratorState(1);
  step.Run(counts, priors, ZeroWeights(d), &model.start);
  const std::vector<double>& delta = model.start.delta;
  EXPECT_EQ(delta[0], 0.2);
  EXPECT_EQ(delta[1], delta[2]);
  EXPECT_EQ(delta[1], delta[3]);
  EXPECT_NEAR(delta[1], 0.0740254, 1e-7);
  EXPECT_NEAR(delta[4], 0.5779238, 1e-7);
  EXPECT_NEAR(delta[0] + delta[1] + delta[2] + delta[3] + delta[4], 1.0, 1e-15);
}

// TAU, S = 2, T = 3, one class: rows r hold cells (r, 1) and (r, 2) at offsets r and r + 4.
// Row 1 ties its status 2 to status 1 of row 2 (offsets 4 and 1: the first member in storage is
// row 2's, so row 1 holds -2 and opens nothing); row 3 is free, row 4 fixed. Row 2 opens link 1
// and row 1 joins it: links -1, 1, 0, 0.
TEST(PosteriorStep, RowsSharingAGroupAreDrawnTogether) {
  input::Model model = MakeModel(1, 2, {}, {2}, 3);
  const input::ModelDimensions& d = model.dims;
  model.codes.delta = {1, 1};
  model.codes.tau = {1, 2, 1, 0, 2, 1, 1, 0};
  em::MarkAndCountEstimatedParameters(input::RestrictionStructure(d, model.codes, model.start),
                                      &model.codes);
  EXPECT_EQ(model.codes.tau[4], -2);
  model.start.delta = {0.5, 0.5, 0, 0, 0, 0};
  model.start.tau = {0.5, 0.5, 0.5, 0.25, 0.5, 0.5, 0.5, 0.75};
  std::fill(model.start.bigRho.begin(), model.start.bigRho.end(), 0.5);

  const input::RestrictionStructure restrictions(d, model.codes, model.start);
  PosteriorStep step(restrictions);
  EXPECT_EQ(step.RowLinks(RowFamily::kTau), (std::vector<std::int32_t>{-1, 1, 0, 0}));
  em::ExpectedCounts counts = ZeroCounts(d);
  counts.transitionCounts = {7, 1, 4, 0, 2, 9, 5, 0};
  SetGeneratorState(4711);
  for (int iteration = 0; iteration < 5; ++iteration) {
    step.Run(counts, PriorArrays(d), ZeroWeights(d), &model.start);
    const std::vector<double>& tau = model.start.tau;
    EXPECT_EQ(tau[4], tau[1]);
    for (std::size_t r = 0; r < 4; ++r) EXPECT_NEAR(tau[r] + tau[r + 4], 1.0, 1e-15) << r;
    EXPECT_EQ(tau[3], 0.25);
    EXPECT_EQ(tau[7], 0.75);
  }
}

// A short chain on a model with classes, statuses and missing responses: DELTA tied across the
// classes, a fixed TAU row, BIG RHO of item 1 tied across the occasions. Every iteration keeps
// the ties exact, the fixed row, and every probability vector summing to one; the counts hold
// every subject; a second chain from the same state repeats the first exactly.
TEST(Chain, KeepsTheRestrictionsAndRepeatsFromItsState) {
  input::Model model = MakeModel(2, 2, {2}, {2, 3}, 3);
  const input::ModelDimensions& d = model.dims;
  std::fill(model.codes.gamma.begin(), model.codes.gamma.end(), 1);
  std::fill(model.codes.littleRho.begin(), model.codes.littleRho.end(), 1);
  model.codes.delta = {2, 2, 1, 1};
  std::fill(model.codes.tau.begin(), model.codes.tau.end(), 1);
  const auto tauAt = input::TauShape(d);
  model.codes.tau[tauAt(2, 0, 1)] = model.codes.tau[tauAt(2, 1, 1)] = 0;
  const auto bigAt = input::BigRhoShape(d);
  // Item 1, category 1: one group per status and class, across the occasions. Item 1 has no
  // category 3: fixed at 0.
  std::fill(model.codes.bigRho.begin(), model.codes.bigRho.end(), 1);
  for (std::int32_t c = 0; c < 2; ++c) {
    for (std::int32_t s = 0; s < 2; ++s) {
      for (std::int32_t t = 0; t < 3; ++t) {
        model.codes.bigRho[bigAt(0, 0, s, c, t)] = 3 + 2 * c + s;
        model.codes.bigRho[bigAt(2, 0, s, c, t)] = 0;
      }
    }
  }
  em::MarkAndCountEstimatedParameters(input::RestrictionStructure(d, model.codes, model.start),
                                      &model.codes);
  input::ParameterSet& v = model.start;
  v.gamma = {0.6, 0.4};
  v.littleRho = {0.7, 0.3, 0.2, 0.8};
  v.delta = {0.5, 0.5, 0.5, 0.5, 0, 0, 0, 0, 0, 0, 0, 0};
  std::fill(v.tau.begin(), v.tau.end(), 0.5);
  v.tau[tauAt(2, 0, 1)] = 0.3;
  v.tau[tauAt(2, 1, 1)] = 0.7;
  for (std::size_t i = 0; i < v.bigRho.size(); ++i) v.bigRho[i] = 1.0 / 3.0;
  for (std::size_t i = 0; i < v.bigRho.size(); i += 3) {
    if ((i / 3) % 2 != 0) continue;  // item 2
    v.bigRho[i] = v.bigRho[i + 1] = 0.5;
    v.bigRho[i + 2] = 0.0;
  }

  input::PatternTable observed;
  observed.itemCount = d.ItemCount();
  std::mt19937 random(5);
  for (std::int32_t p = 0; p < 40; ++p) {
    const std::vector<std::int32_t> responses = test::RandomResponses(model, random, 0.2);
    observed.responses.insert(observed.responses.end(), responses.begin(), responses.end());
    observed.frequencies.push_back(1 + p % 4);
  }
  observed.patternCount = 40;
  const double subjects = 100.0;  // 10 x (1 + 2 + 3 + 4)

  auto chain = [&](input::ParameterSet values, std::int32_t iterations) {
    SetGeneratorState(123456789);
    MissingResponseDraw missing(model);
    ImputationStep imputation(model);
    const input::RestrictionStructure restrictions(d, model.codes, model.start);
    PosteriorStep posterior(restrictions);
    const input::ParameterSet priors = PriorArrays(d);
    const input::ParameterSet weights = ZeroWeights(d);
    input::PatternTable completed;
    CompletedData data;
    em::ExpectedCounts counts;
    for (std::int32_t t = 0; t < iterations; ++t) {
      EXPECT_TRUE(missing.DrawMissingResponses(values, observed, &completed));
      EXPECT_TRUE(imputation.Run(values, completed, &data, &counts));
      EXPECT_EQ(counts.total, subjects);
      posterior.Run(counts, priors, weights, &values);

      const auto delta = input::DeltaShape(d);
      EXPECT_EQ(values.delta[delta(0, 0, 0)], values.delta[delta(1, 0, 0)]);
      EXPECT_EQ(values.tau[tauAt(2, 0, 1)], 0.3);
      EXPECT_NEAR(values.gamma[0] + values.gamma[1], 1.0, 1e-12);
      for (std::int32_t c = 0; c < 2; ++c) {
        EXPECT_NEAR(values.delta[delta(c, 0, 0)] + values.delta[delta(c, 1, 0)], 1.0, 1e-12);
        EXPECT_NEAR(values.littleRho[2 * c] + values.littleRho[2 * c + 1], 1.0, 1e-12);
        for (std::int32_t r = 0; r < d.TransitionRows(); ++r) {
          EXPECT_NEAR(values.tau[tauAt(r, 0, c)] + values.tau[tauAt(r, 1, c)], 1.0, 1e-12);
        }
        for (std::int32_t s = 0; s < 2; ++s) {
          for (std::int32_t o = 0; o < 3; ++o) {
            EXPECT_EQ(values.bigRho[bigAt(0, 0, s, c, o)], values.bigRho[bigAt(0, 0, s, c, 0)]);
            EXPECT_EQ(values.bigRho[bigAt(2, 0, s, c, o)], 0.0);
            for (std::int32_t i = 0; i < 2; ++i) {
              double sum = 0.0;
              for (std::int32_t k = 0; k < 3; ++k) sum += values.bigRho[bigAt(k, i, s, c, o)];
              EXPECT_NEAR(sum, 1.0, 1e-12);
            }
          }
        }
      }
    }
    return values;
  };
  const input::ParameterSet first = chain(model.start, 15);
  const input::ParameterSet second = chain(model.start, 15);
  EXPECT_EQ(first.gamma, second.gamma);
  EXPECT_EQ(first.delta, second.delta);
  EXPECT_EQ(first.tau, second.tau);
  EXPECT_EQ(first.littleRho, second.littleRho);
  EXPECT_EQ(first.bigRho, second.bigRho);
  EXPECT_NE(first.gamma, model.start.gamma);
}

}  // namespace
}  // namespace kov::da
