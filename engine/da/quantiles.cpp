#include "quantiles.h"

#include <cmath>

namespace kov::da {
namespace {

// Beasley and Springer's published coefficients.
constexpr double kSplit = 0.42;
constexpr double kA0 = 2.50662823884, kA1 = -18.61500062529, kA2 = 41.39119773534,
                 kA3 = -25.44106049637;
constexpr double kB1 = -8.47351093090, kB2 = 23.08336743743, kB3 = -21.06224101826,
                 kB4 = 3.13082909833;
constexpr double kC0 = -2.78718931138, kC1 = -2.29796479134, kC2 = 4.85014127135,
                 kC3 = 2.32121276858;
constexpr double kD1 = 3.54388924762, kD2 = 1.63706781897;

// The exact points for 1 and 2 degrees of freedom, as the single-precision tables give them.
constexpr double kT975OneDf = 12.70620438113411;
constexpr double kT975TwoDf = 4.302652359008789;
// Above this many degrees of freedom the normal quantile is used.
constexpr double kNormalLimit = 10000.0;
// Hill's method takes the two-sided probability; it and pi/2 are single-precision constants.
constexpr double kTwoSidedP = 0.05f;
constexpr double kHalfPi = 1.5707963705062866;

}  // namespace

double NormalQuantile(double p, bool* outOfRange) {
  if (outOfRange != nullptr) *outOfRange = false;
  const double q = p - 0.5;
  if (std::fabs(q) <= kSplit) {
    const double r = q * q;
    return q * (((kA3 * r + kA2) * r + kA1) * r + kA0) /
           ((((kB4 * r + kB3) * r + kB2) * r + kB1) * r + 1.0);
  }
  double r = q > 0.0 ? 1.0 - p : p;
  if (r <= 0.0) {
    if (outOfRange != nullptr) *outOfRange = true;
    return 0.0;
  }
  r = std::sqrt(-std::log(r));
  const double z = (((kC3 * r + kC2) * r + kC1) * r + kC0) / ((kD2 * r + kD1) * r + 1.0);
  return q < 0.0 ? -z : z;
}

double StudentT975(double nu) {
  if (nu == 2.0) return kT975TwoDf;
  if (nu == 1.0) return kT975OneDf;
  if (nu > kNormalLimit) return std::fabs(NormalQuantile(0.025, nullptr));

  const double n = nu;
  const double a = 1.0 / (n - 0.5);
  const double b = 48.0 / (a * a);
  double c = ((20700.0 * a / b - 98.0) * a - 16.0) * a + 96.36;
  const double d = ((94.5 / (b + c) - 3.0) / b + 1.0) * std::sqrt(a * kHalfPi) * n;
  double x = d * kTwoSidedP;
  double y = std::pow(x, 2.0 / n);
  if (y > a + 0.05) {
    // The asymptotic expansion about the normal deviate, for the larger degrees of freedom.
    x = NormalQuantile(0.025f, nullptr);
    y = x * x;
    if (n < 5.0) c += (0.3 * n - 1.35) * (x + 0.6);
    c = (((0.05 * d * x - 5.0) * x - 7.0) * x - 2.0) * x + b + c;
    y = (((((0.4 * y + 6.3) * y + 36.0) * y + 94.5) / c - y - 3.0) / b + 1.0) * x;
    y = a * y * y;
    y = y > 0.0002 ? std::exp(y) - 1.0 : 0.5 * y * y + y;
  } else {
    y = ((1.0 / (((n + 6.0) / (n * y) - 0.089 * d - 0.822) * (n + 2.0) * 3.0) + 0.5 / (n + 4.0)) *
             y -
         1.0) *
            (n + 1.0) / (n + 2.0) +
        1.0 / y;
  }
  return std::sqrt(n * y);
}

}  // namespace kov::da
