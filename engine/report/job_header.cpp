#include "report/job_header.h"

#include <string_view>
#include <vector>

#include "base/result_codes.h"
#include "marnel_version.h"
#include "report/fields.h"
#include "report/report_lines.h"

namespace kov::report {

namespace {

using input::Model;

constexpr std::string_view kVersion = MARNEL_VERSION " REL";

// label, then the value so that its field begins in the given column.
std::string At(std::string label, std::size_t column, std::string_view value) {
  PadToColumn(&label, column);
  label += value;
  return label;
}

// Integers of the header sit in 2 columns (45-46) or 6 columns (41-46).
std::string Small(std::string label, std::int64_t value) {
  return At(std::move(label), 45, FormatInteger(value, 2));
}
std::string Count(std::string label, std::int64_t value) {
  return At(std::move(label), 41, FormatInteger(value, 6));
}
std::string YesNo(std::string label, bool yes) {
  return At(std::move(label), 44, yes ? "YES" : " NO");
}

void AddFile(std::vector<std::string>* lines, std::string label, const std::string& path) {
  lines->push_back(std::move(label));
  lines->push_back(input::TrimRight(path));
  lines->emplace_back("");
}

std::string_view ProcessName(std::int32_t order) {
  if (order == 1) return " FIRST-ORDER";
  if (order == 2) return "SECOND-ORDER";
  return " (INVALID!) ";
}

}  // namespace

std::int32_t WriteJobHeader(input::TextOutput& out, const Model& model, const JobInfo& job) {
  const bool em = job.runType == RunType::kEm;
  const input::ModelDimensions& dims = model.dims;
  std::vector<std::string> lines;
  lines.push_back(" PROGRAM VERSION: " + Fit(kVersion, 30));
  lines.push_back(" PROGRAM STARTED: " + Fit(FormatDateTime(job.started), 30));
  lines.emplace_back("");
  for (const std::string& title : model.titles) lines.push_back(input::TrimRight(title));
  lines.insert(lines.end(), {"", std::string(kRule), "", " INFORMATION ABOUT THIS JOB:", ""});
  lines.emplace_back(em ? " RUN TYPE: PARAMETER ESTIMATION BY EM" : " RUN TYPE: DATA AUGMENTATION");
  lines.emplace_back("");

  AddFile(&lines, " CONTROL DATA READ FROM FILE:", job.controlFile);
  if (em && model.estimationType != 1) {
    AddFile(&lines, " START VALUES READ FROM FILE:", model.emStartValuesFile);
  } else if (!em) {
    AddFile(&lines, " START VALUES READ FROM FILE:", model.daStartValuesFile);
  }
  AddFile(&lines, " DATA ANALYZED IN THIS RUN READ FROM FILE:", model.dataFile);
  AddFile(&lines, " OUTPUT SAVED IN FILE:", em ? model.emOutputFile : model.daOutputFile);
  if (em && model.writeEstimates) {
    AddFile(&lines, " PARAMETER ESTIMATES SAVED IN FILE:", model.emEstimatesFile);
  }
  if (!em) AddFile(&lines, " PARAMETER SERIES DATA SAVED IN FILE:", model.seriesFile);
  if (!em && model.writeIndividualEstimates) {
    AddFile(&lines, " INDIVIDUAL PARAMETER ESTIMATES SAVED IN FILE:",
            model.individualEstimatesFile);
  }

  if (dims.HasClasses()) {
    lines.push_back(At(" STATIC LATENT VARIABLE", 44, "YES"));
    lines.push_back(Small(" NUMBER OF LATENT CLASSES", dims.classes));
    lines.push_back(Small(" NUMBER OF MANIFEST ITEMS", dims.classItems));
    lines.emplace_back("");
  } else {
    lines.emplace_back("");
    lines.push_back(At(" STATIC LATENT VARIABLE", 45, "NO"));
    lines.emplace_back("");
  }
  if (dims.HasStatuses()) {
    lines.push_back(At(" DYNAMIC LATENT VARIABLE", 44, "YES"));
    lines.push_back(Small(" NUMBER OF LATENT STATUSES", dims.statuses));
    lines.push_back(Small(" NUMBER OF OCCASIONS OF MEASUREMENT", dims.occasions));
    lines.push_back(Small(" NUMBER OF MANIFEST ITEMS PER OCCASION", dims.statusItems));
    lines.push_back(At(" TYPE OF PROCESS", 35, ProcessName(dims.order)));
    lines.emplace_back("");
  } else {
    lines.push_back(At(" DYNAMIC LATENT VARIABLE", 45, "NO"));
    lines.emplace_back("");
  }

  lines.push_back(Count(" NUMBER OF SUBJECTS", RoundHalfEven(job.subjectCount)));
  lines.push_back(Count(" NUMBER OF UNIQUE RESPONSE PATTERNS", job.patternCount));
  if (em) {
    lines.push_back(Count(" MAXIMUM NUBMER OF ITERATIONS", model.maxIterations));
    lines.push_back(At(" CONVERGENCE CRITERION", 32, FormatFixed(model.criterion, 15, 14)));
  } else {
    // The value stands on the second line of its two-line label.
    lines.emplace_back(" NUMBER OF ITERATIONS");
    lines.push_back(Count("  BETWEEN IMPUTATIONS", model.iterationsBetweenImputations));
    lines.push_back(Count(" NUMBER OF IMPUTATIONS", model.imputations));
    lines.push_back(Count(" RANDOM GENERATOR SEED", model.seed));
  }
  lines.push_back(YesNo(" MISSING DATA IN RESPONSE PATTERNS", model.missingData));
  if (em) lines.push_back(YesNo(" PRINT RESIDUALS", model.printResiduals > 0));
  lines.insert(lines.end(), {"", std::string(kRule), ""});
  return WriteLines(out, lines);
}

}  // namespace kov::report
