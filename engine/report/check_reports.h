// The report's lines for what the start-value and restriction checks found.
#pragma once

#include <cstdint>
#include <vector>

#include "base/text_output.h"
#include "input/parameter_checks.h"

namespace kov::report {

// One message a failing vector, in the order found. kStatusOk or the first failed write's status.
std::int32_t WriteStartValueFailures(input::TextOutput& report,
                                     const std::vector<input::StartValueFailure>& failures);

// The message of an inconsistent restriction (nothing when finding.check is 0). kStatusOk or the
// failed write's status.
std::int32_t WriteRestrictionFinding(input::TextOutput& report,
                                     const input::RestrictionFinding& finding);

}  // namespace kov::report
