// What the scripted engine saw of its runs; shared by the engine and the test's handle on it.
#pragma once

#include <cstdint>

namespace kov::runhost::test {

struct ScriptedObservation {
  std::int32_t starts = 0;          // lRunKovEM and lRunKovDA calls that made a worker
  std::int32_t lastRunType = 0;     // 1 EM, 2 DA
  std::int32_t workerNice = -100;   // the worker's nice value as it began to run
  bool abortSeen = false;           // the worker ended because of lAbortRun
  char pathField[300] = {};         // the 300 bytes the caller passed
};

}  // namespace kov::runhost::test
