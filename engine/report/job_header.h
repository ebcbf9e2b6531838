// The job information header that opens every report.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "base/text_output.h"
#include "input/model.h"
#include "report/run_type.h"

namespace kov::report {

// What the header shows besides the model record.
struct JobInfo {
  RunType runType = RunType::kEm;
  std::string controlFile;  // as passed to the run; trailing blanks are not printed
  std::int32_t patternCount = 0;
  double subjectCount = 0.0;  // the sum of the pattern frequencies
  std::tm started{};          // local date and time of the start of the run
};

// Version, start time, titles, run type, the files of the run and the model's dimensions and
// options. Returns kStatusOk or the status of the first failed write, after which nothing more
// is written.
std::int32_t WriteJobHeader(input::TextOutput& out, const input::Model& model, const JobInfo& job);

}  // namespace kov::report
