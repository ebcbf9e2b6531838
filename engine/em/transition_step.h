// One step of the latent status process, shared by every recursion that carries a message
// forward through the transitions: the data-augmentation draws, the missing-response draw and
// the occasion prevalences that the estimates report.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace kov::em {

// current = previous carried from occasion t - 1 into occasion t (t >= 1, 0-based) by TAU.
// The states are the statuses of a first-order process; in a second-order process the state of
// occasion t >= 1 is the pair (status at t - 1, status at t) as previous x S + current, and the
// first transition takes row s_0, the later ones row S + (t - 2) S^2 + a S + b from the pair
// (a, b). tau(row, d) is the TAU entry of the row into status d. The terms are added in the
// order of the rows, so that every caller gets the same bits.
template <typename Tau>
void TransitionStep(bool secondOrder, std::int32_t statuses, std::int32_t t, const Tau& tau,
                    const double* previous, double* current) {
  const std::int32_t s = statuses;
  const auto at = [s](std::int32_t a, std::int32_t b) {
    return static_cast<std::size_t>(a) * static_cast<std::size_t>(s) + static_cast<std::size_t>(b);
  };
  if (secondOrder && t == 1) {
    for (std::int32_t a = 0; a < s; ++a) {
      const double pa = previous[a];
      for (std::int32_t b = 0; b < s; ++b) current[at(a, b)] = pa * tau(a, b);
    }
    return;
  }
  if (secondOrder) {
    std::fill_n(current, at(s, 0), 0.0);
    const std::int32_t first = s + (t - 2) * s * s;
    for (std::int32_t a = 0; a < s; ++a) {
      for (std::int32_t b = 0; b < s; ++b) {
        const double pab = previous[at(a, b)];
        const std::int32_t row = first + a * s + b;
        for (std::int32_t d = 0; d < s; ++d) current[at(b, d)] += pab * tau(row, d);
      }
    }
    return;
  }
  std::fill_n(current, static_cast<std::size_t>(s), 0.0);
  const std::int32_t first = (t - 1) * s;
  for (std::int32_t a = 0; a < s; ++a) {
    const double pa = previous[a];
    const std::int32_t row = first + a;
    for (std::int32_t d = 0; d < s; ++d) current[d] += pa * tau(row, d);
  }
}

}  // namespace kov::em
