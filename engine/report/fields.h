// Fixed-width fields of the output report, formatted without the process locale.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace kov::report {

// The integer right-aligned in width columns; asterisks fill the field when it does not fit.
std::string FormatInteger(std::int64_t value, int width);

// The integer right-aligned in width columns, or all its digits when it is wider: for restriction
// codes, which the user reads to check the model and which must never be hidden.
std::string FormatIntegerAtLeast(std::int64_t value, int width);

// Fixed point with the given decimals, right-aligned in width columns. When only the zero in
// front of the point does not fit it is left out (".00000100000000" in 15 columns); anything
// wider than that fills the field with asterisks.
std::string FormatFixed(double value, int width, int decimals);

// The 5-character parameter cell: 9.0 (not applicable) as a centred "-", a value that is not a
// number as " UND ", otherwise rounded half up to three decimals and written as one integer
// digit, the point and three decimals (higher integer digits are dropped).
std::string FormatCell(double value);

// "Www Mmm dd hh:mm:ss yyyy", 24 characters, the day of the month blank-padded.
std::string FormatDateTime(const std::tm& time);

// The nearest integer, an exact half going to the even neighbour; not-a-number gives 0.
std::int64_t RoundHalfEven(double value);

// The text cut or blank-padded to width characters.
std::string Fit(std::string_view text, std::size_t width);

// Appends blanks to line until its next character lands in the given column (counted from 1).
void PadToColumn(std::string* line, std::size_t column);

}  // namespace kov::report
