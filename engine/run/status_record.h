// The one process-wide status record behind the exports (internal to the engine).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "kovos.h"

namespace kov::run {

inline constexpr std::chrono::milliseconds kStatusLockWait{1000};
inline constexpr std::size_t kMessageBytes = 1024;
inline constexpr std::size_t kPathBytes = 300;
inline constexpr std::int16_t kTrue16 = static_cast<std::int16_t>(0xFFFF);
// Kept as the name of the status lock in diagnostics.
inline constexpr const char* kStatusMutexName = "KovDataMutex";

enum class RunType : std::int16_t { kEm = 1, kDa = 2 };

struct EngineStatus {
  std::atomic<std::int16_t> initialised{0};
  std::timed_mutex mutex;

  // Guarded by mutex.
  std::int32_t iteration = 0;
  double criterion = 0.0;
  std::int32_t errorCode = 0;
  char errorMessage[kMessageBytes] = {};
  std::int16_t abortRequested = 0;

  // Single stores by the worker, loads by the caller, without the lock. runResult is stored
  // before running is cleared (release), so a caller that sees running false sees the result.
  std::atomic<std::int16_t> running{0};
  std::atomic<std::int16_t> clean{kTrue16};
  std::atomic<std::int32_t> runResult{0};
  char controlFilePath[kPathBytes] = {};

  kovos::Handle workerThread = 0;
  std::uint32_t workerThreadIdEm = 0;
  std::uint32_t workerThreadIdDa = 0;
};

EngineStatus& Status();

// Only bit 0 of a 16-bit boolean counts.
inline bool IsTrue(std::int16_t flag) { return (flag & 1) != 0; }

// Puts the record back into its state at library load. Tests run many jobs in one process;
// the exports never call this.
void ResetStatusForTesting();

// Called with the iteration at every PublishProgress, on the worker thread; tests use it to act
// at an exact point of a run (for example to request an abort during iteration 7). Null: none.
using ProgressObserver = void (*)(std::int32_t iteration);
void SetProgressObserverForTesting(ProgressObserver observer);

// The error code and message as lGetKovError delivers them, for tests.
std::int32_t ReadEngineError(std::string* message);

}  // namespace kov::run
