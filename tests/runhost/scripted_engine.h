// The test's handle on the scripted engine (scripted_engine.cpp), which stands in for libkov.so
// so that every answer of the engine can be provoked: a busy or used engine, a failed start, an
// error at the end of a run, a failed poll, and a worker that runs until it is aborted.
#pragma once

#include <QString>

#include <cstdint>
#include <string>

#include "scripted_observation.h"

namespace kov::runhost::test {

// Binds the script functions of the scripted engine at `path` (the library the run host loads
// too, so both see the same state).
class ScriptedEngine {
 public:
  explicit ScriptedEngine(const QString& path);

  // Back to a fresh library: clean, nothing running, no error (message all zero bytes), the
  // worker waits for lAbortRun.
  void Reset();
  // The next start creates no worker and records code with message (the engine leaves the
  // message of an earlier failure; pass what that was).
  void FailStart(std::int32_t code, const std::string& message);
  // The worker ends at once instead of waiting for an abort.
  void EndAtOnce();
  // The worker records this error as it ends.
  void FailRun(std::int32_t code, const std::string& message);
  void Publish(std::int32_t iteration, double criterion);
  // lGetIteration answers -2, as when the status lock was not had in time.
  void FailPolls(bool fail);
  ScriptedObservation Observation() const;

 private:
  void* m_handle;
};

}  // namespace kov::runhost::test
