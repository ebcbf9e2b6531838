#include "report/report_lines.h"

#include "base/result_codes.h"
#include "input/model.h"
#include "report/fields.h"

namespace kov::report {

std::int32_t WriteLines(input::TextOutput& out, std::initializer_list<std::string_view> lines) {
  for (std::string_view line : lines) {
    if (const std::int32_t status = out.WriteLine(line); status != kStatusOk) return status;
  }
  return out.Status();
}

std::int32_t WriteLines(input::TextOutput& out, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    if (const std::int32_t status = out.WriteLine(line); status != kStatusOk) return status;
  }
  return out.Status();
}

std::string QuotedLabel(std::string_view label) {
  return '"' + Fit(label, input::kLabelWidth) + '"';
}

std::string LabelAt(const std::vector<std::string>& labels, std::int32_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= labels.size()) {
    return std::string(input::kLabelWidth, ' ');
  }
  return Fit(labels[static_cast<std::size_t>(index)], input::kLabelWidth);
}

}  // namespace kov::report
