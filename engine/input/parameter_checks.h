// The two checks every run makes before estimating: that the start values of each probability
// vector sum to one, and that equality restrictions tying vectors together can hold.
#pragma once

#include <cstdint>

#include "model.h"
#include "text_output.h"

namespace kov::input {

// Sums every probability vector of the start values at occasion 1, class by class: the delta
// row, the tau rows 1 to R, the big rho rows (item, and inside it status) when there are status
// items; the little rho rows (per item) when there are class items; and then the gamma vector
// when there are class items. A vector fails when |1 - sum| exceeds 0.01, both formed in single
// precision, or when one of its values lies outside [0, 1]. Every failing vector adds 1 to *failures and writes its message to the report at
// once. Returns kStatusOk or the first failed write's status (the check stops there, *failures
// then counts the vectors found so far).
//
// The arrays must be sized from dims (AllocateParameters).
std::int32_t CheckStartValueSums(const ModelDimensions& dims, const ParameterSet& start,
                                 TextOutput& report, std::int32_t* failures);

// Checks that equality restrictions link only vectors with equal sums of their fixed entries and
// the same number of members of every equivalence class, in the blocks little rho (with class
// items), big rho, tau and delta (with status items). The first inconsistency writes its message
// to the report, sets *failedCheck to its number (2 to 9) and ends the check; *failedCheck is 0
// when every restriction is consistent. Returns kStatusOk or the failed write's status.
//
// A code's sign only tells whether it starts comparisons (the first member of an equivalence
// class keeps its positive code); membership goes by magnitude. The arrays must be sized from
// dims (AllocateParameters, AllocateRestrictions); big rho is checked at every occasion.
std::int32_t CheckRestrictions(const ModelDimensions& dims, const ParameterSet& values,
                               const RestrictionSet& codes, TextOutput& report,
                               std::int32_t* failedCheck);

}  // namespace kov::input
