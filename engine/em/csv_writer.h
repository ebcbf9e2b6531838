// Comma-separated rows by RFC 4180: a field holding a comma, a quote or a line break is quoted,
// its quotes doubled; every row ends with CR LF.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/text_output.h"

namespace kov::em {

// The field as it stands in a row.
std::string CsvField(std::string_view text);

// The fields joined by commas, without the line end.
std::string CsvRow(const std::vector<std::string>& fields);

// A number as the shortest text that reads back to the same double, without the process locale.
std::string CsvNumber(double value);

// Writes one row and its CR LF; kStatusOk or the write status the output keeps.
std::int32_t WriteCsvRow(input::TextOutput& out, const std::vector<std::string>& fields);

}  // namespace kov::em
