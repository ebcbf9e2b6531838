// libkov.so loaded by name from kovrun's own folder, its exports bound at their first call.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "kov_exports.h"

namespace kovrun {

// The library or one of its exports could not be found; what() names the file, the export
// and the loader's reason.
class EngineLoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The engine library of one process. The exports are looked up lazily, exactly like the run
// host does it: an engine missing an export that this run never calls still runs.
class EngineLibrary {
 public:
  EngineLibrary() = default;
  EngineLibrary(const EngineLibrary&) = delete;
  EngineLibrary& operator=(const EngineLibrary&) = delete;
  // The library stays loaded for the life of the process: a worker may still be in it.
  ~EngineLibrary() = default;

  // Loads folder + "/libkov.so". Throws EngineLoadError.
  void Load(const std::string& folder);
  const std::string& Path() const { return m_path; }

  // The exports; each throws EngineLoadError when it cannot be bound.
  std::int32_t RunKovEM(const char* path, std::int32_t pathLength);
  std::int32_t RunKovDA(const char* path, std::int32_t pathLength);
  std::int32_t GetIteration(std::int32_t* iteration, double* criterion, std::int16_t* running);
  std::int32_t GetKovError(char* buffer, std::int32_t bufferLength);
  std::int32_t AbortRun();
  std::int32_t CurrentlyRunning();
  std::int32_t Clean();
  std::int32_t SetStartOptions(std::int32_t starts, std::int32_t finalStarts, std::int32_t seed);

 private:
  template <typename Function>
  Function Bind(Function* slot, const char* name);

  void* m_handle = nullptr;
  std::string m_path;
  decltype(&::lRunKovEM) m_runKovEM = nullptr;
  decltype(&::lRunKovDA) m_runKovDA = nullptr;
  decltype(&::lGetIteration) m_getIteration = nullptr;
  decltype(&::lGetKovError) m_getKovError = nullptr;
  decltype(&::lAbortRun) m_abortRun = nullptr;
  decltype(&::lCurrentlyRunning) m_currentlyRunning = nullptr;
  decltype(&::lClean) m_clean = nullptr;
  decltype(&::lSetStartOptions) m_setStartOptions = nullptr;
};

// The folder that holds the running executable, from /proc/self/exe. Throws EngineLoadError.
std::string ExecutableFolder();

}  // namespace kovrun
