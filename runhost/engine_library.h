// The run host's side of the engine client: libkov.so from the run host's own folder, loaded
// when the first of its functions is called. A library or function that cannot be had is an
// automation error, which reaches the caller of lRunKov.
#pragma once

#include <QString>

#include <cstdint>

#include "engine_client.h"

namespace kov::runhost {

class EngineLibrary {
 public:
  // The engine in `folder` ("<folder>/libkov.so"); nothing is loaded yet.
  explicit EngineLibrary(QString folder);
  EngineLibrary(const EngineLibrary&) = delete;
  EngineLibrary& operator=(const EngineLibrary&) = delete;

  // The engine beside this program.
  static EngineLibrary& ForProcess();

  const QString& Path() const { return m_path; }

  // The exports. Each throws kov::automation::AutomationError: kErrorFileNotFound when the
  // library is missing, kErrorCannotLoadLibrary when the loader refuses it,
  // kErrorEntryPointNotFound when it lacks the function.
  std::int32_t lRunKovEM(const char* path, std::int32_t pathLength);
  std::int32_t lRunKovDA(const char* path, std::int32_t pathLength);
  std::int32_t lGetIteration(std::int32_t* iteration, double* criterion, std::int16_t* running);
  std::int32_t lGetKovError(char* buffer, std::int32_t bufferLength);
  std::int32_t lAbortRun();
  std::int32_t lCurrentlyRunning();
  std::int32_t lClean();

 private:
  std::int32_t Value(const client::Call& call) const;

  QString m_path;
  client::EngineClient m_client;
};

}  // namespace kov::runhost
