// The two checks every run makes before estimating: that the start values of each probability
// vector sum to one, and that equality restrictions tying vectors together can hold. The checks
// return what they found; the report writes it (report/check_reports.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "model.h"

namespace kov::input {

// A probability vector of the start values that fails: its |1 - sum| exceeds 0.01, both formed
// in single precision, or one of its values lies outside [0, 1]. Indices are 0-based.
struct StartValueFailure {
  enum class Vector { kDelta, kTau, kBigRho, kLittleRho, kGamma };
  Vector vector = Vector::kGamma;
  std::size_t latentClass = 0;
  std::size_t row = 0;  // the tau row, or the big rho vector's latent status
  std::size_t item = 0;
};

// Sums every probability vector of the start values at occasion 1, class by class: the delta
// row, the tau rows 1 to R, the big rho rows (item, and inside it status) when there are status
// items; the little rho rows (per item) when there are class items; and then the gamma vector
// when there are class items. Returns the failing vectors in that order.
//
// The arrays must be sized from dims (AllocateParameters).
std::vector<StartValueFailure> FindStartValueSumFailures(const ModelDimensions& dims,
                                                       const ParameterSet& start);

// The 0-based indices that name a row of an array, from the shape of the array without its entry
// index: little rho {i, c}, big rho {i, s, c, t}, tau {r, c}, delta {c}.
using RowName = std::array<std::size_t, 4>;

// The first inconsistency of the restrictions: rows A and B tied by an equality link although
// their fixed entries have different sums (the check numbered 2, 4, 6, 8 in the blocks little
// rho, big rho, tau, delta) or a different number of members of equivalence class y (3, 5, 7, 9).
struct RestrictionFinding {
  enum class Array { kLittleRho, kBigRho, kTau, kDelta };
  std::int32_t check = 0;  // 0: every restriction is consistent
  Array array = Array::kLittleRho;
  bool memberCount = false;
  RowName rowA{};
  RowName rowB{};
  std::int64_t equivalenceClass = 0;  // y
};

// Checks that equality restrictions link only vectors with equal sums of their fixed entries and
// the same number of members of every equivalence class, in the blocks little rho (with class
// items), big rho, tau and delta (with status items), and stops at the first inconsistency.
//
// A code's sign only tells whether it starts comparisons (the first member of an equivalence
// class keeps its positive code); membership goes by magnitude. The arrays must be sized from
// dims (AllocateParameters, AllocateRestrictions); big rho is checked at every occasion.
RestrictionFinding FindRestrictionInconsistency(const ModelDimensions& dims,
                                                const ParameterSet& values,
                                                const RestrictionSet& codes);

}  // namespace kov::input
