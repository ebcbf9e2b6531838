// The quantiles against the published true values (normal and t tables). The t point at 10000
// degrees of freedom is the Cornish-Fisher value z + (z^3 + z) / (4 nu) + (5z^5 + 16z^3 + 3z) /
// (96 nu^2) with z = 1.959964, worked out by hand.
#include <gtest/gtest.h>

#include <cmath>

#include "da/quantiles.h"

namespace kov::da {
namespace {

// AS 111 is within about 3e-9 in the centre and at 2.5 %, 1.5e-5 at 1e-6.
TEST(NormalQuantile, AgreesWithTrueValuesToItsAccuracy) {
  struct Case {
    double p, z, tolerance;
  };
  const Case cases[] = {{0.025, -1.959963985, 1e-8},
                        {0.1, -1.281551566, 1e-8},
                        {0.975, 1.959963985, 1e-8},
                        {1e-6, -4.753424309, 2e-5},
                        {0.5, 0.0, 0.0}};
  for (const Case& c : cases) {
    bool outOfRange = true;
    EXPECT_NEAR(NormalQuantile(c.p, &outOfRange), c.z, c.tolerance) << c.p;
    EXPECT_FALSE(outOfRange) << c.p;
  }
}

TEST(NormalQuantile, OutsideTheOpenIntervalFlagsAndReturnsZero) {
  for (double p : {0.0, 1.0, -0.25, 1.25}) {
    bool outOfRange = false;
    EXPECT_EQ(NormalQuantile(p, &outOfRange), 0.0) << p;
    EXPECT_TRUE(outOfRange) << p;
  }
}

TEST(StudentT975, ExactPointsForOneAndTwoDegrees) {
  EXPECT_EQ(StudentT975(1.0), 12.70620438113411);
  EXPECT_EQ(StudentT975(2.0), 4.302652359008789);
}

// 3 takes Hill's tail expansion, 4 its small-n correction, 7.5 a fractional count.
TEST(StudentT975, HillsApproximationAgreesWithTheTable) {
  struct Case {
    double nu, t;
  };
  const Case cases[] = {{3, 3.182446305},   {4, 2.776445105},  {5, 2.570581837},
                        {7.5, 2.333039627}, {10, 2.228138852}, {30, 2.042272456},
                        {100, 1.983971518}, {1000, 1.962339081}};
  for (const Case& c : cases) EXPECT_NEAR(StudentT975(c.nu), c.t, 3e-6) << c.nu;
}

TEST(StudentT975, NormalPointOnlyAboveTenThousand) {
  EXPECT_NEAR(StudentT975(10000.0), 1.96020123, 1e-7);
  EXPECT_EQ(StudentT975(20000.0), std::fabs(NormalQuantile(0.025, nullptr)));
  EXPECT_NEAR(StudentT975(20000.0), 1.959963985, 1e-8);
}

}  // namespace
}  // namespace kov::da
