#include "draws.h"

#include <cstdlib>
#include <vector>

#include "gamma_variate.h"
#include "uniform.h"

namespace kov::da {

std::size_t ChooseCell(double u, std::span<const double> weights, double total) {
  const double scale = 1.0 / total;
  double running = 0.0;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    running += weights[i] * scale;
    if (u < running) return i;
  }
  return weights.size();
}

std::size_t DrawCategory(std::span<const double> weights, double total) {
  return ChooseCell(NextUniform(0), weights, total);
}

double DrawGroupedDirichlet(std::span<const std::int32_t> codes, std::span<const double> alpha,
                            std::span<const double> weights, std::span<double> values) {
  const std::size_t n = codes.size();
  double fixedSum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (codes[i] == 0) fixedSum += values[i];
  }

  // One draw per opening cell, kept at the opener's index.
  std::vector<double> draws(n, 0.0);
  double drawSum = 0.0;
  bool anyGroup = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (codes[i] <= 0) continue;
    double shape = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      if (j == i || (codes[i] >= 2 && std::abs(codes[j]) == codes[i])) shape += alpha[j];
    }
    draws[i] = GammaVariate(static_cast<float>(shape));
    drawSum += draws[i];
    anyGroup = true;
  }

  if (anyGroup) {
    const double mass = 1.0 - fixedSum;
    for (std::size_t i = 0; i < n; ++i) {
      if (codes[i] <= 0) continue;
      const double share = draws[i] / drawSum;
      if (codes[i] == 1) {
        values[i] = mass * share;
        continue;
      }
      std::size_t members = 0;
      for (std::size_t j = 0; j < n; ++j) members += std::abs(codes[j]) == codes[i] ? 1 : 0;
      const double each = mass * share / static_cast<double>(members);
      for (std::size_t j = 0; j < n; ++j) {
        if (std::abs(codes[j]) == codes[i]) values[j] = each;
      }
    }
  }

  double series = 0.0;
  for (std::size_t i = 0; i < n; ++i) series += weights[i] * values[i];
  return series;
}

}  // namespace kov::da
