#include "starts_report.h"

#include <cmath>
#include <string>

#include "base/result_codes.h"
#include "fields.h"

namespace kov::report {

namespace {

std::string Count(std::int64_t value) { return FormatIntegerAtLeast(value, 1); }

std::string StartLine(const StartSummary& start) {
  std::string line = FormatInteger(start.start, 7);
  // The control file's own start values have no seed.
  line += start.seed ? FormatIntegerAtLeast(static_cast<std::int64_t>(*start.seed), 21)
                     : std::string(20, ' ') + "-";
  line += std::isfinite(start.logLikelihood) ? FormatFixed(start.logLikelihood, 20, 6)
                                             : std::string(17, ' ') + "UND";
  line += FormatInteger(start.iterations, 12);
  line += start.converged ? "         YES" : "          NO";
  return line;
}

}  // namespace

std::int32_t BestReplications(const std::vector<StartSummary>& sorted) {
  if (sorted.empty() || !std::isfinite(sorted.front().logLikelihood)) return 0;
  const double best = sorted.front().logLikelihood;
  std::int32_t count = 0;
  for (const StartSummary& start : sorted) {
    if (std::fabs(start.logLikelihood - best) <= kReplicationTolerance * std::fabs(best)) ++count;
  }
  return count;
}

std::int32_t WriteStartsTable(input::TextOutput& out, const StartsPlan& plan,
                              const std::vector<StartSummary>& sorted) {
  const std::int32_t reached = BestReplications(sorted);
  std::vector<std::string> lines = {
      "  RANDOM STARTS",
      "  ",
      " " + std::string(50, '*'),
      "",
      " " + Count(plan.starts) + " STARTS FROM SEED " + Count(plan.seed) + " (START 1: THE START " +
          "VALUES ABOVE), " + Count(plan.firstStageIterations) + " ITERATIONS EACH;",
      " THE BEST " + Count(plan.finalStarts) + " BY LOG-LIKELIHOOD RUN TO THE END:",
      "",
      "  START                 SEED      LOG-LIKELIHOOD  ITERATIONS   CONVERGED",
  };
  for (const StartSummary& start : sorted) lines.push_back(StartLine(start));
  lines.push_back("");
  lines.push_back(" THE BEST LOG-LIKELIHOOD WAS REACHED BY " + Count(reached) + " OF " +
                  Count(static_cast<std::int64_t>(sorted.size())) + " STARTS.");
  if (reached == 1 && sorted.size() > 1) {
    lines.push_back("  ****WARNING: THE BEST LOG-LIKELIHOOD WAS REACHED ONLY ONCE****");
    lines.push_back("  IT MAY NOT BE THE BEST SOLUTION: RUN AGAIN WITH MORE STARTS.");
  } else if (reached == 1) {
    lines.push_back("  ****WARNING: ONE START RAN TO THE END; ITS LOG-LIKELIHOOD WAS NOT****");
    lines.push_back("  REPLICATED: RUN AGAIN WITH MORE STARTS RUN TO THE END.");
  }
  lines.push_back("");
  for (const std::string& line : lines) {
    if (const std::int32_t status = out.WriteLine(line); status != kStatusOk) return status;
  }
  return kStatusOk;
}

}  // namespace kov::report
