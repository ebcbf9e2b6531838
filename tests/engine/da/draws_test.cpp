// The categorical and grouped Dirichlet draws. Boundaries are the running sums worked out by
// hand; the Dirichlet values follow from the gamma draws of known states (-ln u for shape 1),
// shared as (1 - F) g / sum(g) and split equally in a group, with a calculator.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "da/draws.h"
#include "da/uniform.h"

namespace kov::da {
namespace {

using Codes = std::vector<std::int32_t>;
using Values = std::vector<double>;

// Running sums 0.25, 0.75, 1.0: a u on a boundary belongs to the next cell.
// One probability vector (gamma's) with the given codes.
input::ArrayRestrictions Vector(const Codes& codes) {
  input::ModelDimensions d;
  d.classes = static_cast<std::int32_t>(codes.size());
  return input::CompileArray(input::GammaSets(d), codes, {});
}

TEST(ChooseCell, StrictBoundaries) {
  const Values weights = {1.0, 2.0, 1.0};
  EXPECT_EQ(ChooseCell(0.0, weights, 4.0), 0u);
  EXPECT_EQ(ChooseCell(0.2499999, weights, 4.0), 0u);
  EXPECT_EQ(ChooseCell(0.25, weights, 4.0), 1u);
  EXPECT_EQ(ChooseCell(0.75, weights, 4.0), 2u);
  EXPECT_EQ(ChooseCell(1.0, weights, 4.0), 3u);  // not below the final sum: no cell
  EXPECT_EQ(ChooseCell(0.0, Values{0.0, 1.0}, 1.0), 1u);
}

TEST(DrawCategory, OneUniformPerDraw) {
  const Values weights = {1.0, 2.0, 1.0};
  SetGeneratorState(16807);
  EXPECT_EQ(DrawCategory(weights, 4.0), 0u);  // u = 0.1315378
  EXPECT_EQ(GeneratorState(), 282475249);
  EXPECT_EQ(DrawCategory(weights, 4.0), 2u);  // u = 0.7556053
  EXPECT_EQ(GeneratorState(), 1622650073);
}

TEST(GroupedDirichlet, AllFixedDrawsNothing) {
  Values values = {0.2, 0.3, 0.5};
  SetGeneratorState(1);
  EXPECT_DOUBLE_EQ(
      DrawGroupedDirichlet(Vector({0, 0, 0}), Values{5, 5, 5}, Values{1, 2, 3}, values), 2.3);
  EXPECT_EQ(values, (Values{0.2, 0.3, 0.5}));
  EXPECT_EQ(GeneratorState(), 1);
}

// F = 0.4. From state 1 the group {1, 3, 4} (shape 0.25 + 0.5 + 0.25 = 1) draws first,
// g = -ln(0.13153780) = 2.0284610, then the free cell (shape 1), g = -ln(0.45865014) = 0.7794676:
// each member gets 0.6 * 2.0284610 / 2.8079286 / 3, the free cell 0.6 * 0.7794676 / 2.8079286.
TEST(GroupedDirichlet, EqualityGroupOfThreeSharesItsDrawEqually) {
  Values values = {0.4, 0.1, 0.2, 0.1, 0.2};
  SetGeneratorState(1);
  const double series = DrawGroupedDirichlet(Vector({0, 2, 1, -2, -2}),
                                             Values{9.0, 0.25, 1.0, 0.5, 0.25},
                                             Values{1, 2, 3, 4, 5}, values);
  EXPECT_EQ(values[0], 0.4);
  EXPECT_EQ(values[1], values[3]);
  EXPECT_EQ(values[1], values[4]);
  EXPECT_NEAR(values[1], 0.14448095345, 1e-10);
  EXPECT_NEAR(values[2], 0.16655713964, 1e-10);
  EXPECT_NEAR(values[0] + values[1] + values[2] + values[3] + values[4], 1.0, 1e-15);
  EXPECT_NEAR(series, 2.48896190691, 1e-10);  // 0.4 + (2 + 4 + 5) v1 + 3 v2
  EXPECT_EQ(GeneratorState(), 984943658);      // four uniforms
}

// Dirichlet means alpha_i / alpha_0; a group of n members behaves as one cell with the summed
// alpha, split n ways. Bounds are five standard errors of the mean (largest variance 0.0227).
TEST(GroupedDirichlet, MeansFollowThePosteriorParameters) {
  constexpr int kDraws = 4000;
  struct Case {
    Codes codes;
    Values alpha, expected;
  };
  const Case cases[] = {
      {{1, 1, 1}, {2.0, 3.0, 5.0}, {0.2, 0.3, 0.5}},
      {{2, 1, -2}, {1.0, 3.0, 2.0}, {0.25, 0.5, 0.25}},
  };
  for (const Case& c : cases) {
    const input::ArrayRestrictions vector = Vector(c.codes);
    NextUniform(4711);
    Values mean(3, 0.0);
    Values values(3, 0.0);
    for (int i = 0; i < kDraws; ++i) {
      DrawGroupedDirichlet(vector, c.alpha, Values{0, 0, 0}, values);
      EXPECT_NEAR(values[0] + values[1] + values[2], 1.0, 1e-12);
      for (int k = 0; k < 3; ++k) mean[k] += values[k] / kDraws;
    }
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(mean[k], c.expected[k], 0.012) << k;
  }
}

}  // namespace
}  // namespace kov::da
