// Power-of-two rescaling for the products and messages of the latent recursions.
//
// A pattern of a few hundred many-category items has a probability far below the smallest
// double (0.2^600 is about 1e-420). The recursions therefore carry each product or message as
// a value and a binary exponent: once the value falls below kRescaleBelow it is multiplied by
// 2^kRescaleStep and the step is taken off the exponent. Multiplying by a power of two is
// exact, so a rescaled value holds the same digits the unscaled one would have held, and a
// value that never falls that low is never touched: patterns of ordinary probability give
// bit-for-bit the results of unscaled recursions.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>

namespace kov::em {

inline constexpr double kRescaleBelow = 0x1p-400;
inline constexpr int kRescaleStep = 600;
inline constexpr double kRescaleUp = 0x1p600;

// Brings a positive value back to at least kRescaleBelow, taking the steps off *exponent.
inline void KeepAbove(double* value, int* exponent) {
  while (*value > 0.0 && *value < kRescaleBelow) {
    *value *= kRescaleUp;
    *exponent -= kRescaleStep;
  }
}

// A vector that shares one exponent, whose largest entry the caller already has.
inline void KeepAbove(double* values, std::size_t n, double largest, int* exponent) {
  while (largest > 0.0 && largest < kRescaleBelow) {
    for (std::size_t i = 0; i < n; ++i) values[i] *= kRescaleUp;
    largest *= kRescaleUp;
    *exponent -= kRescaleStep;
  }
}

// The same for a vector that shares one exponent: rescaled as a whole once its largest entry
// falls below kRescaleBelow (smaller entries may then be subnormal; they are negligible beside
// the largest).
inline void KeepAbove(double* values, std::size_t n, int* exponent) {
  double largest = 0.0;
  for (std::size_t i = 0; i < n; ++i) largest = values[i] > largest ? values[i] : largest;
  while (largest > 0.0 && largest < kRescaleBelow) {
    for (std::size_t i = 0; i < n; ++i) values[i] *= kRescaleUp;
    largest *= kRescaleUp;
    *exponent -= kRescaleStep;
  }
}

// The product of values[row[i]], i < n, scaled to value x 2^*exponent. The plain product comes
// first: with factors that are probabilities (at most 1) it only falls, so when it ends at or
// above kRescaleBelow nothing on the way underflowed, and only a product that ends below it
// (or at 0) is taken again with rescaling.
template <typename Factor>
inline double ScaledProduct(double start, int n, Factor factor, int* exponent) {
  double product = start;
  for (int i = 0; i < n; ++i) product *= factor(i);
  *exponent = 0;
  if (product >= kRescaleBelow || start == 0.0) return product;
  product = start;
  for (int i = 0; i < n; ++i) {
    product *= factor(i);
    if (product < kRescaleBelow) KeepAbove(&product, exponent);
  }
  return product;
}

// value x 2^exponent; the value itself for exponent 0 (the common case costs no call).
inline double TimesPowerOfTwo(double value, int exponent) {
  return exponent == 0 ? value : std::ldexp(value, exponent);
}

// ln(value x 2^exponent) for value > 0: the plain logarithm whenever the product is a normal
// double, so that unscaled probabilities keep their logarithms to the last bit.
inline double LogOfScaled(double value, int exponent) {
  const double plain = TimesPowerOfTwo(value, exponent);
  if (plain >= DBL_MIN || exponent == 0) return std::log(plain);
  return std::log(value) + exponent * 0.69314718055994530942;
}

}  // namespace kov::em
