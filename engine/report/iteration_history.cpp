#include "iteration_history.h"

#include <string>
#include <vector>

#include "base/result_codes.h"
#include "fields.h"
#include "input/model.h"
#include "report_lines.h"

namespace kov::report {

std::int32_t WriteHistoryHeading(input::TextOutput& out, double startGSquared) {
  std::string iterHead(60, ' '), ationHead(60, ' ');
  for (std::size_t column : {0u, 20u, 40u}) {
    iterHead.replace(column, 5, "ITER-");
    iterHead.replace(column + 8, 3, "MAD");
    ationHead.replace(column, 5, "ATION");
  }
  return WriteLines(
      out, std::vector<std::string>{"  ITERATION HISTORY", "  ", std::string(kRule), "",
                                    " STARTING G-SQUARED=" + FormatFixed(startGSquared, 10, 3), "",
                                    input::TrimRight(iterHead), input::TrimRight(ationHead), ""});
}

std::int32_t WriteHistoryEntry(input::TextOutput& out, std::int32_t iteration, double mad) {
  const std::int32_t column = iteration % 3;
  // The column where the entry's two leading blanks start (the first column has none).
  const std::size_t start = column == 1 ? 1 : column == 2 ? 19 : 39;
  std::int32_t status = kStatusOk;
  if (column == 1 && out.OpenLineLength() > 0) status = out.EndLine();
  std::string entry;
  PadToColumn(&entry, start > out.OpenLineLength() ? start - out.OpenLineLength() : 1);
  if (column != 1) entry += "  ";
  entry += FormatInteger(iteration, 5) + "  " + FormatFixed(mad, 11, 10);
  if (status == kStatusOk) status = out.Write(entry);
  if (status == kStatusOk && column == 0) status = out.EndLine();
  return status;
}

std::int32_t WriteConvergenceWarning(input::TextOutput& out) {
  return WriteLines(
      out, {"  ****WARNING: CONVERGENCE NOT REACHED****",
            "  IF YOU HAVE CHOSEN TO WRITE PARAMETER ESTIMATES",
            "  TO A FILE, THEY CAN BE USED AS START VALUES", "  TO CONTINUE THIS RUN.", "  "});
}

}  // namespace kov::report
