// The one process-wide status record behind the exports (internal to the engine).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/run_type.h"
#include "kovos.h"

namespace kov::run {

inline constexpr std::chrono::milliseconds kStatusLockWait{1000};
inline constexpr std::size_t kMessageBytes = 1024;
inline constexpr std::size_t kPathBytes = 300;
inline constexpr std::int16_t kTrue16 = static_cast<std::int16_t>(0xFFFF);
// Kept as the name of the status lock in diagnostics.
inline constexpr const char* kStatusMutexName = "KovDataMutex";

using kov::RunType;

// What a worker runs: its own copy of the start's path, so that nothing a later call does can
// change the file a live run reads.
struct WorkerJob {
  RunType type = RunType::kEm;
  char controlFilePath[kPathBytes] = {};
};

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
  // running is true exactly while a job's worker lives: an accepted start takes it from false to
  // true in one step (so of two starts at once only one is accepted), and it goes back to false
  // when the worker ends, or when its handle is closed before it was ever resumed.
  std::atomic<std::int16_t> running{0};
  std::atomic<std::int16_t> clean{kTrue16};
  std::atomic<std::int32_t> runResult{0};
  // The accepted start's path, kept for the record; the worker reads its own copy (WorkerJob).
  char controlFilePath[kPathBytes] = {};

  // The handle of the last worker created. The caller owns and closes it; the engine uses it
  // only at unload, to let a worker that is still waiting to be resumed end.
  std::atomic<kovos::Handle> workerThread{0};
  std::uint32_t workerThreadIdEm = 0;
  std::uint32_t workerThreadIdDa = 0;

  // Set while the library is being unloaded: a worker that begins now returns at once.
  std::atomic<bool> unloading{false};
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
