// How many iterations a run of a control file does at most, read from the file's head.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kovrun {

enum class RunKind { kEM, kDataAugmentation };

// The EM maximum (EM model information, value 3), or for data augmentation the chain's
// length: iterations between imputations times the number of imputations. Nothing when the
// file cannot be read, does not look like a control file, or sets no positive limit; the
// engine reads the file again and is the judge of it, so this only feeds the progress bar.
std::optional<std::int64_t> ReadIterationLimit(const std::string& path, RunKind kind);

// The report a run of the control file writes, as the file names it (relative names are the
// run's working folder's). Nothing when the file cannot be read that far or names no report.
std::optional<std::string> ReadReportName(const std::string& path, RunKind kind);

// The parameter series file a data-augmentation run of the control file writes, likewise.
std::optional<std::string> ReadSeriesName(const std::string& path);

// Appends the values of one line of a read step to *values until it holds `count` values,
// and ignores the rest of the line. Values are separated by blanks or one comma; a text in
// apostrophes may hold blanks, commas and doubled apostrophes. False for what this reader
// does not take: an unclosed apostrophe, a slash, or a comma with no value before it.
bool SplitStepLine(std::string_view line, std::size_t count, std::vector<std::string>* values);

}  // namespace kovrun
