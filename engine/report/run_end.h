// The closing lines of a report: when the run finished and how long it took.
#pragma once

#include <cstdint>
#include <ctime>

#include "base/text_output.h"
#include "report/run_type.h"

namespace kov::report {

// " PROGRAM FINISHED: " and the date and time (for a data-augmentation run right-aligned in 30
// columns), then " ELAPSED TIME: " with whole hours, minutes and seconds, each in 4 columns.
// Returns kStatusOk or the status of the first failed write.
std::int32_t WriteRunEnd(input::TextOutput& out, const std::tm& finished,
                         std::uint64_t elapsedMilliseconds, RunType runType = RunType::kEm);

}  // namespace kov::report
