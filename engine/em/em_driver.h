// The EM run from the control file to the finished report.
#pragma once

#include <cstdint>

namespace kov::em {

// Runs one EM job. Returns 1 when the run went through to its end, otherwise the status of the
// file or memory failure it met (0 when the run ended on a check or a zero denominator); the
// error is recorded once, as the run ends.
std::int32_t RunEmDriver(const char* controlFilePath, std::int32_t pathLength);

}  // namespace kov::em
