// What both drivers need around their files: the wall clock, the file-name messages, and the
// recording of a failed report write.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "input/model.h"
#include "input/text_output.h"

namespace kov::run {

std::tm LocalNow();

// "Unable to write to output file: " + name + the two suffixes, with the write status as code.
// Returns the status, so that a driver can write `return ReportWriteFailed(...)`.
std::int32_t ReportWriteFailed(std::int32_t status, const std::string& reportName);

// Records an open failure as prefix + name + suffix and returns the status.
std::int32_t OpenFailed(std::int32_t status, std::string_view prefix, const std::string& name,
                        std::string_view suffix);

inline constexpr std::string_view kValidPathAndName = ";  Please make sure that this is a valid path and name.";

// Creates the report (or another output file). Returns kStatusOk or records the open failure
// with "Unable to open output file for writing: " and returns its status.
std::int32_t CreateReport(const std::string& name, input::TextOutput* report);

// The checks every run makes before it estimates: the start-value sums and, when asked, the
// consistency of the restrictions. Records a failure (its count or check number with the short
// message naming the report, or a failed write) and returns the driver's result for it: the
// write status, or 0 for a failed check. kRunCompleted when both checks pass.
std::int32_t CheckStartValuesAndRestrictions(const input::Model& model, bool checkRestrictions,
                                             input::TextOutput& report,
                                             const std::string& reportName);

}  // namespace kov::run
