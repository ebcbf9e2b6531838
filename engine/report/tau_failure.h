// The report's explanation of a zero transition denominator, which ends a run's TAU update.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/status.h"
#include "base/text_output.h"

namespace kov::report {

// Where the TAU update met its zero denominator: a row (counted from 1 within its latent class)
// with free entries and no count, or the head row of an equality class without any count.
struct ZeroTauDenominator {
  bool freeParameter = false;
  std::size_t row = 0;
  std::size_t latentClass = 0;  // counted from 1
  bool namesClass = false;      // more than one latent class: the class is named too
};

// One block of lines: "IN ROW " is followed directly by the row in 4 columns ("IN ROW    3"),
// and the class, when named, follows on a line of its own ("OF THE TAU MATRIX FOR LATENT
// CLASS   2"). Numbers wider than 4 columns are written whole. kStatusOk or the write status.
std::int32_t WriteZeroTauDenominator(input::TextOutput& report, const ZeroTauDenominator& where);

// The explanation of the update's failure, and the status the run ends with: the update's own,
// or the failed write in its place.
Status ExplainZeroTauDenominator(input::TextOutput& report, Status update,
                                 const ZeroTauDenominator& where);

}  // namespace kov::report
