// The EM run from the control file to the finished report.
#pragma once

#include <cstdint>

#include "input/model.h"

namespace kov::em {

// Runs one EM job. Returns 1 when the run went through to its end, otherwise the status of the
// file or memory failure it met (0 when the run ended on a check or a zero denominator); the
// error is recorded once, as the run ends.
std::int32_t RunEmDriver(const char* controlFilePath, std::int32_t pathLength);

// Random start settings that replace the control file's for the runs that follow (a terminal
// run's command line); a negative value keeps the file's. Any value given turns random starts
// on for a new estimation, the file's block or not.
struct StartOverrides {
  std::int32_t starts = -1;
  std::int32_t finalStarts = -1;
  std::int32_t seed = -1;
};
void SetStartOverrides(const StartOverrides& overrides);
StartOverrides CurrentStartOverrides();

// The random starts a run makes: its settings with the defaults for counts left at 0 and the
// overrides applied; none (starts 0) unless the run is a new estimation with iterations.
struct StartSettings {
  std::int32_t starts = 0;
  std::int32_t finalStarts = 0;
  std::int32_t firstStageIterations = 0;
  std::int32_t seed = 0;
};
StartSettings RandomStartSettings(const input::Model& model, const StartOverrides& overrides);

}  // namespace kov::em
