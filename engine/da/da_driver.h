// The data-augmentation run from the control file to the finished report.
#pragma once

#include <cstdint>

namespace kov::da {

// Runs one data-augmentation job. Returns 1 when the run went through to its end (or was
// aborted cleanly), otherwise the status of the last file or memory failure it met (0 when the
// run ended on a check or a setting); the error is recorded once, as the run ends.
std::int32_t RunDaDriver(const char* controlFilePath, std::int32_t pathLength);

}  // namespace kov::da
