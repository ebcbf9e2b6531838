#include "report/run_end.h"

#include <string>

#include "report/fields.h"
#include "report/report_lines.h"

namespace kov::report {

std::int32_t WriteRunEnd(input::TextOutput& out, const std::tm& finished,
                         std::uint64_t elapsedMilliseconds, RunType runType) {
  std::string date = FormatDateTime(finished);
  if (runType == RunType::kDa && date.size() < 30) date.insert(0, 30 - date.size(), ' ');
  const auto seconds = static_cast<std::int64_t>(elapsedMilliseconds / 1000);
  const std::int64_t hours = seconds / 3600;
  const std::int64_t minutes = (seconds - 3600 * hours) / 60;
  const std::int64_t rest = seconds - 3600 * hours - 60 * minutes;
  const std::string elapsed = " ELAPSED TIME: " + FormatInteger(hours, 4) + " HOURS, " +
                              FormatInteger(minutes, 4) + " MINUTES, " + FormatInteger(rest, 4) +
                              " SECONDS.";
  return WriteLines(out, {" PROGRAM FINISHED: " + date, elapsed});
}

}  // namespace kov::report
