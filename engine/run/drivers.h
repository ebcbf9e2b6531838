// What the run drivers share with the worker.
#pragma once

#include <cstdint>

namespace kov::run {

// The code recorded by the last SetEngineError (0 when none).
std::int32_t RecordedErrorCode();

}  // namespace kov::run
