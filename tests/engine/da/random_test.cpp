// The uniform generator and the gamma variates, against values worked out from the generator's
// recurrence and the two gamma methods with a calculator: states by 16807 x mod (2^31 - 1) in
// exact integers, uniforms as state / 2^31 rounded to single precision, and every named
// quantity of a gamma draw rounded to single precision as it is formed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "base/status_record.h"
#include "da/draws.h"
#include "da/gamma_variate.h"
#include "da/uniform.h"

namespace kov::da {
namespace {

constexpr std::int64_t kModulus = 2147483647;

TEST(Uniform, SeedOneGivesTheKnownStatesAndNumbers) {
  NextUniform(1);
  EXPECT_FLOAT_EQ(NextUniform(1), 7.826369e-06f);  // a nonzero argument reseeds every time
  EXPECT_EQ(GeneratorState(), 16807);
  EXPECT_FLOAT_EQ(NextUniform(0), 0.13153780f);
  EXPECT_EQ(GeneratorState(), 282475249);
  EXPECT_FLOAT_EQ(NextUniform(0), 0.75560534f);
  EXPECT_EQ(GeneratorState(), 1622650073);
}

// Against exact 64-bit products, and Park and Miller's published check that the 10000th state
// from 1 is 1043618065.
TEST(Uniform, SplitArithmeticEqualsTheExactModularProduct) {
  std::vector<std::int64_t> states = {1, 2, 65535, 65536, 65537, 127773, 2147418112,
                                      kModulus - 2, kModulus - 1};
  for (std::int64_t x = 1; x < kModulus; x += 214741) states.push_back(x);
  for (std::int64_t x : states) {
    EXPECT_EQ(NextState(static_cast<std::int32_t>(x)), (16807 * x) % kModulus) << x;
  }
  SetGeneratorState(1);
  for (int i = 0; i < 10000; ++i) NextUniform(0);
  EXPECT_EQ(GeneratorState(), 1043618065);
}

// The predecessors come from the inverse of 16807 modulo 2^31 - 1; floats near 2^31 are 128
// apart, so 2^31 - 64 ties and rounds up to 2^31 while one less rounds down to 1 - 2^-24.
TEST(Uniform, TopStatesRoundToOneInSinglePrecision) {
  SetGeneratorState(1510662174);
  EXPECT_EQ(NextUniform(0), 1.0f);
  EXPECT_EQ(GeneratorState(), 2147483584);
  SetGeneratorState(102985174);
  EXPECT_EQ(NextUniform(0), 1.0f - 0x1p-24f);
  EXPECT_EQ(GeneratorState(), 2147483583);
  SetGeneratorState(0);
  EXPECT_EQ(NextUniform(0), 0.0f);
  EXPECT_EQ(GeneratorState(), 0);
}

TEST(GammaVariate, ShapeOneIsMinusLogOfTheSecondUniform) {
  SetGeneratorState(1);
  EXPECT_FLOAT_EQ(GammaVariate(1.0f), 2.02846098f);  // -ln(0.13153780)
  EXPECT_EQ(GeneratorState(), 282475249);             // two draws, stored back
}

TEST(GammaVariate, HandTracedDrawsThroughEveryBranch) {
  struct Case {
    std::int32_t start;
    float shape;
    float value;
    std::int32_t end;
  };
  const Case cases[] = {
      {1, 0.5f, 8.585781e-11f, 282475249},          // p <= 1, accepted: (b u1)^2
      {101027544, 0.5f, 1.8666604f, 823564440},     // p <= 1 rejected, then p > 1 accepted
      {1457850878, 0.5f, 0.20615534f, 1115438165},  // p <= 1 rejected, then accepted
      {16807, 5.0f, 3.1483533f, 1144108930},        // one rejection, then 5 (-ln u2)
      {282475249, 12.0f, 7.8605933f, 1115438165},   // four rejections
  };
  for (const Case& c : cases) {
    SetGeneratorState(c.start);
    EXPECT_FLOAT_EQ(GammaVariate(c.shape), c.value) << c.start;
    EXPECT_EQ(GeneratorState(), c.end) << c.start;
  }
}

// The method for shapes of 1 or more, every proposal through the full test, as the method
// states it; the variate must skip no proposal this loop would accept.
float PlainLargeShape(float a) {
  const double shape = a;
  for (;;) {
    const float u1 = NextUniform(0);
    const float u2 = NextUniform(0);
    const float y = static_cast<float>(-std::log(double{u2}));
    const float v = static_cast<float>(std::exp((shape - 1.0) * (std::log(double{y}) - y + 1.0)));
    if (u1 <= v) return static_cast<float>(shape * y);
  }
}

// Shapes on both sides of the refusal window's limits (no lower edge up to 61, no window past
// 10^7), each from states spread over the period: same variate, same state afterwards.
TEST(GammaVariate, LargeShapesAcceptWhatEveryProposalTestedInFullAccepts) {
  for (float a : {1.0f, 1.5f, 7.0f, 60.9f, 61.1f, 500.0f, 2500.5f, 1e5f, 9.99e6f, 1.01e7f}) {
    for (std::int64_t start = 1; start < kModulus; start += 5368709) {
      SetGeneratorState(static_cast<std::int32_t>(start));
      const float expected = PlainLargeShape(a);
      const std::int32_t end = GeneratorState();
      SetGeneratorState(static_cast<std::int32_t>(start));
      ASSERT_EQ(GammaVariate(a), expected) << a << " from " << start;
      ASSERT_EQ(GeneratorState(), end) << a << " from " << start;
    }
  }
}

// Mean and variance of a gamma(a, 1) are both a; the bounds are five standard errors, with
// Var(sample variance) ~ (mu4 - a^2) / n = (2a^2 + 6a) / n.
TEST(GammaVariate, MomentsMatchTheShape) {
  constexpr int kDraws = 20000;
  for (float a : {0.3f, 0.5f, 1.0f, 2.5f, 8.0f}) {
    NextUniform(20240601);
    double sum = 0.0, squares = 0.0;
    for (int i = 0; i < kDraws; ++i) {
      const double x = GammaVariate(a);
      sum += x;
      squares += x * x;
    }
    const double mean = sum / kDraws;
    const double variance = squares / kDraws - mean * mean;
    EXPECT_NEAR(mean, a, 5.0 * std::sqrt(a / kDraws)) << a;
    EXPECT_NEAR(variance, a, 5.0 * std::sqrt((2.0 * a * a + 6.0 * a) / kDraws)) << a;
  }
}

// Variates that are never accepted: a shape that is not a number (the method for small shapes),
// and a shape of 3 from the state 0 (all uniforms 0, y infinite), where the seed 2^31 - 1 leads.
// With an abort requested each gives up and returns 0; later variates then draw nothing until
// the flag is cleared. Run in a child that an alarm ends if the draw never returns.
TEST(GammaVariate, EndlessRejectionGivesUpWhenAnAbortIsRequested) {
  struct Case {
    float shape;
    std::int32_t state;
  };
  const Case cases[] = {{std::nanf(""), 12345}, {3.0f, 0}};
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          alarm(30);
          run::ResetStatusForTesting();
          {
            std::lock_guard lock(run::Status().mutex);
            run::Status().abortRequested = 1;
          }
          SetGeneratorState(c.state);
          const bool gaveUp = GammaVariate(c.shape) == 0.0f && GammaDrawAbandoned();
          SetGeneratorState(777);
          const bool drewNothing = GammaVariate(2.0f) == 0.0f && GeneratorState() == 777;
          ClearGammaDrawAbandoned();
          const bool drawsAgain = GammaVariate(2.0f) > 0.0f && GeneratorState() != 777;
          std::exit(gaveUp && drewNothing && drawsAgain ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << "shape " << c.shape << ", state " << c.state;
  }
}

TEST(RandomStream, SameSeedSameSequence) {
  const std::vector<double> weights = {0.1, 0.2, 0.3, 0.4};
  const auto run = [&weights] {
    std::vector<double> drawn;
    NextUniform(987654321);
    for (int i = 0; i < 200; ++i) {
      drawn.push_back(NextUniform(0));
      drawn.push_back(GammaVariate(0.5f + 0.1f * static_cast<float>(i % 20)));
      drawn.push_back(static_cast<double>(DrawCategory(weights, 1.0)));
    }
    return drawn;
  };
  const std::vector<double> first = run();
  SetGeneratorState(42);
  EXPECT_EQ(run(), first);
}

}  // namespace
}  // namespace kov::da
