// Whole-line output to the report: every writer stops at the first failed write and hands its
// status back, so a full disk ends the run at the line that did not fit.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "base/text_output.h"

namespace kov::report {

// The frame line that opens every block: one blank and 50 asterisks.
inline constexpr std::string_view kRule = " **************************************************";

// Writes the lines in order; kStatusOk, or the status of the first failed write (the lines
// after it are not written).
std::int32_t WriteLines(input::TextOutput& out, std::initializer_list<std::string_view> lines);
std::int32_t WriteLines(input::TextOutput& out, const std::vector<std::string>& lines);

// The label in its 8 columns between double quotes, as class names appear in headings.
std::string QuotedLabel(std::string_view label);

// The label at index of a label list, in its 8 columns; blanks when the list has no such entry.
std::string LabelAt(const std::vector<std::string>& labels, std::int32_t index);

}  // namespace kov::report
