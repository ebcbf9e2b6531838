// libkov.so, loaded by name from the run host's own folder when the first of its functions is
// called, each function bound at its own first call. A library or function that cannot be had
// is an automation error, which reaches the caller of lRunKov.
#pragma once

#include <QString>

#include <cstdint>

#include "kov_exports.h"

namespace kov::runhost {

class EngineLibrary {
 public:
  // The engine in `folder` ("<folder>/libkov.so"); nothing is loaded yet.
  explicit EngineLibrary(QString folder);
  EngineLibrary(const EngineLibrary&) = delete;
  EngineLibrary& operator=(const EngineLibrary&) = delete;
  // The library stays loaded for the life of the process: its worker may still run, and the
  // engine runs one job per load, which must not be reset by loading it again.
  ~EngineLibrary() = default;

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
  void* Handle();
  template <typename Function>
  Function Bind(Function* slot, const char* name);

  QString m_path;
  void* m_handle = nullptr;
  decltype(&::lRunKovEM) m_runKovEM = nullptr;
  decltype(&::lRunKovDA) m_runKovDA = nullptr;
  decltype(&::lGetIteration) m_getIteration = nullptr;
  decltype(&::lGetKovError) m_getKovError = nullptr;
  decltype(&::lAbortRun) m_abortRun = nullptr;
  decltype(&::lCurrentlyRunning) m_currentlyRunning = nullptr;
  decltype(&::lClean) m_clean = nullptr;
};

}  // namespace kov::runhost
