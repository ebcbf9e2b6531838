#include "csv_writer.h"

#include <charconv>
#include <cmath>

namespace kov::em {

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted.push_back('"');
  for (char c : text) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

std::string CsvRow(const std::vector<std::string>& fields) {
  std::string row;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    if (k > 0) row.push_back(',');
    row += CsvField(fields[k]);
  }
  return row;
}

std::string CsvNumber(double value) {
  // An empty field is what spreadsheet readers take for a missing value.
  if (!std::isfinite(value)) return {};
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::int32_t WriteCsvRow(input::TextOutput& out, const std::vector<std::string>& fields) {
  // TextOutput ends the line with LF; the CR before it makes the CR LF of the rule.
  return out.WriteLine(CsvRow(fields) + '\r');
}

}  // namespace kov::em
