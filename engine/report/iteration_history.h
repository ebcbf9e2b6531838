// The EM report's iteration history: its heading, and the iterations three to a line, each in
// the column its number chooses; and the warning after a run that used up its iterations.
#pragma once

#include <cstdint>

#include "base/text_output.h"

namespace kov::report {

// "  ITERATION HISTORY", the rule, the starting G-squared and the ITER-/ATION MAD column heads.
std::int32_t WriteHistoryHeading(input::TextOutput& out, double startGSquared);

// Iteration number and MAD in the column of iteration % 3 (1, 2, then 0 ends the line), so that
// a continued run starts in the column of its first number.
std::int32_t WriteHistoryEntry(input::TextOutput& out, std::int32_t iteration, double mad);

// The lines that tell the user the run stopped at its maximum number of iterations and how to
// go on from its estimates.
std::int32_t WriteConvergenceWarning(input::TextOutput& out);

}  // namespace kov::report
