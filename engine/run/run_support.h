// What both drivers need around their files: the wall clock, the file-name messages, and the
// failures of their opens, writes and checks.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "base/status.h"
#include "base/text_output.h"
#include "input/model.h"

namespace kov::run {

std::tm LocalNow();

// "Unable to write to output file: " + name + the two suffixes, with the write status as code.
kov::Status WriteFailure(std::int32_t status, const std::string& reportName);
// Records WriteFailure and returns the status, for the steps that still record their own failures.
std::int32_t ReportWriteFailed(std::int32_t status, const std::string& reportName);

// An open failure: prefix + name (with the full path tried when it is relative) + suffix, with
// the open status as code.
kov::Status OpenFailure(std::int32_t status, std::string_view prefix, const std::string& name,
                   std::string_view suffix);

inline constexpr std::string_view kValidPathAndName = ";  Please make sure that this is a valid path and name.";

// Creates the report (or another output file). Success, or the open failure with "Unable to open
// output file for writing: ".
kov::Status CreateReport(const std::string& name, input::TextOutput* report);

// The checks every run makes before it estimates: the start-value sums and, when asked, the
// consistency of the restrictions, with what they find written to the report. Success when both
// pass; else the failed write, or the failed check (kStartValuesDoNotSum with the count of
// failing vectors, or kRestrictionsInconsistent with the check's number) and the short message
// naming the report.
kov::Status CheckStartValuesAndRestrictions(const input::Model& model, bool checkRestrictions,
                                       input::TextOutput& report, const std::string& reportName);

}  // namespace kov::run
