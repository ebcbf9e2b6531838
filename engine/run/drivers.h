// The two run drivers the worker thread calls. Each returns 1 when the run went through to its
// end, otherwise the status of the last failure it met (already recorded with SetEngineError).
#pragma once

#include <cstdint>

namespace kov::run {

std::int32_t RunDaDriver(const char* controlFilePath, std::int32_t pathLength);

// The code recorded by the last SetEngineError (0 when none).
std::int32_t RecordedErrorCode();

}  // namespace kov::run
