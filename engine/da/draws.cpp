#include "draws.h"

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

double DrawGroupedDirichlet(const input::ArrayRestrictions& vector, std::span<const double> alpha,
                            std::span<const double> weights, std::span<double> values) {
  const std::size_t n = vector.sets.size;
  const std::int32_t* codes = vector.codes.data();
  double fixedSum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (codes[i] == 0) fixedSum += values[i];
  }

  // One draw per opening cell, kept at the opener's index.
  double* draws = vector.work.data();
  double drawSum = 0.0;
  bool anyGroup = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (codes[i] <= 0) continue;
    double shape = 0.0;
    if (codes[i] == 1) {
      shape = alpha[i];
    } else {
      for (const std::size_t j : vector.groups[vector.groupOf[i]].members) shape += alpha[j];
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
      const std::vector<std::size_t>& members = vector.groups[vector.groupOf[i]].members;
      const double each = mass * share / static_cast<double>(members.size());
      for (const std::size_t j : members) values[j] = each;
    }
  }

  double series = 0.0;
  for (std::size_t i = 0; i < n; ++i) series += weights[i] * values[i];
  return series;
}

}  // namespace kov::da
