// The exports: each is a shell over the status record that catches everything, since
// nothing may cross the C boundary.
#include "kov_exports.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "base/engine_status.h"
#include "base/result_codes.h"
#include "base/status_record.h"
#include "da/da_driver.h"
#include "em/em_driver.h"
#include "em/enumeration.h"
#include "em/posterior_membership.h"
#include "input/model.h"

namespace kov::run {

namespace {

constexpr std::size_t kWorkerStackBytes = 5'242'880;
// How long unloading the library waits for a live worker to see its abort request and end.
constexpr std::chrono::milliseconds kUnloadRunWait{20'000};
constexpr std::chrono::milliseconds kUnloadPollStep{5};
// A worker clears the running flag as its last act in the library; what is left (its return
// into the thread layer) takes microseconds, and this is the margin the unload gives it when it
// has no handle to wait on.
constexpr std::chrono::milliseconds kUnloadTailMargin{50};

constexpr std::string_view kJobAlreadyRunningMessage =
    "A run is already in progress in this engine. Wait for it to finish, or abort it, before "
    "starting another.";

std::int32_t RunDriverCatchingAll(const WorkerJob& job) {
  try {
    if (job.type == RunType::kDa) return da::RunDaDriver(job.controlFilePath, kPathBytes);
    // An EM start runs the enumeration while one is set, so that every host gets its progress
    // and abort through the same exports.
    const em::EnumerationOptions enumeration = em::CurrentEnumerationOptions();
    if (enumeration.kind != em::EnumerationKind::kNone) {
      return em::RunEnumeration(job.controlFilePath, enumeration);
    }
    return em::RunEmDriver(job.controlFilePath, kPathBytes);
  } catch (const std::bad_alloc&) {
    SetEngineError(kOutOfMemory,
                   "Unable to allocate memory for this run. Please make sure that your computer "
                   "has enough available memory.");
    return kOutOfMemory;
  } catch (...) {
    SetEngineError(kInternalError, "An unexpected error ended the run in the engine.");
    return kInternalError;
  }
}

std::uint32_t WorkerThread(void* argument) {
  std::unique_ptr<WorkerJob> job(static_cast<WorkerJob*>(argument));
  EngineStatus& status = Status();
  std::int32_t result = kRunAborted;
  // A worker resumed by the unload itself has nothing to do.
  if (!status.unloading.load()) {
    status.clean.store(0);
    result = RunDriverCatchingAll(*job);
  }
  job.reset();
  status.runResult.store(result, std::memory_order_release);
  status.running.store(0, std::memory_order_release);
  return static_cast<std::uint32_t>(result);
}

// A worker whose handle was closed before it was ever resumed: it never runs, so its job is
// dropped here and the engine is free for the next start.
std::uint32_t DiscardWorker(void* argument) {
  delete static_cast<WorkerJob*>(argument);
  Status().running.store(0, std::memory_order_release);
  return 0;
}

std::unique_ptr<WorkerJob> MakeJob(RunType type, const char* path) {
  auto job = std::make_unique<WorkerJob>();
  job->type = type;
  if (path != nullptr) {
    std::memcpy(job->controlFilePath, path, kPathBytes);
  } else {
    std::memset(job->controlFilePath, ' ', kPathBytes);
  }
  return job;
}

std::int32_t StartRun(RunType type, const char* path) {
  EngineStatus& status = Status();
  std::unique_ptr<WorkerJob> job = MakeJob(type, path);
  // Of two starts at once only one takes the flag; a refused start leaves the live job's record
  // alone, its abort request above all.
  std::int16_t idle = 0;
  if (!status.running.compare_exchange_strong(idle, kTrue16, std::memory_order_acq_rel)) {
    SetEngineError(kJobAlreadyRunning, kJobAlreadyRunningMessage);
    return 0;
  }
  {
    std::lock_guard lock(status.mutex);
    status.criterion = 0.0;
    status.iteration = 0;
    status.abortRequested = 0;
  }
  status.initialised.store(kTrue16);
  std::memcpy(status.controlFilePath, job->controlFilePath, kPathBytes);

  std::uint32_t threadId = 0;
  const kovos::Handle thread = kovos::CreateSuspendedThreadWithDiscard(
      kWorkerStackBytes, WorkerThread, DiscardWorker, job.get(), &threadId);
  (type == RunType::kEm ? status.workerThreadIdEm : status.workerThreadIdDa) = threadId;
  if (threadId == 0 || thread == 0) {
    {
      std::lock_guard lock(status.mutex);
      status.errorCode = kovos::LastError();
    }
    status.running.store(0);
    return 0;
  }
  // The worker owns its job from here: it runs it, or the discard frees it.
  static_cast<void>(job.release());
  status.workerThread.store(thread);
  return thread;
}

// Waits up to `limit` for `done`, asking again every few milliseconds.
template <typename Condition>
bool WaitUntil(std::chrono::milliseconds limit, Condition done) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kUnloadPollStep);
  }
  return true;
}

// Library detach: the worker runs the library's code, which must not go away under it. A live
// job is asked to stop (a worker still waiting to be resumed is resumed and returns at once), and
// the unload waits, within bounds, for the worker to end and leave.
__attribute__((destructor)) void DetachLibrary() {
  EngineStatus& status = Status();
  const kovos::Handle thread = status.workerThread.load();
  if (thread == 0) return;
  try {
    if (IsTrue(status.running.load(std::memory_order_acquire))) {
      status.unloading.store(true);
      if (status.mutex.try_lock_for(kStatusLockWait)) {
        status.abortRequested = kTrue16;
        status.mutex.unlock();
      }
      // Resuming a running worker does nothing; with its handle closed, the worker is gone.
      kovos::ResumeThread(thread);
      WaitUntil(kUnloadRunWait,
                [&status] { return !IsTrue(status.running.load(std::memory_order_acquire)); });
      // The caller may have closed the handle (a running worker then frees itself): without it,
      // the margin stands in for the wait.
      const auto marginMs = static_cast<std::uint32_t>(kUnloadTailMargin.count());
      if (kovos::WaitForHandle(thread, marginMs) == kovos::kWaitFailed) {
        std::this_thread::sleep_for(kUnloadTailMargin);
      }
    }
  } catch (...) {
    // Nothing may leave a library destructor; the unload goes on.
  }
}

}  // namespace

}  // namespace kov::run

using namespace kov::run;
using kov::kInternalError;

KOV_EXPORT std::int32_t lRunKovEM(const char* path, std::int32_t) {
  try {
    return StartRun(RunType::kEm, path);
  } catch (...) {
    return 0;
  }
}

KOV_EXPORT std::int32_t lRunKovDA(const char* path, std::int32_t) {
  try {
    return StartRun(RunType::kDa, path);
  } catch (...) {
    return 0;
  }
}

KOV_EXPORT std::int32_t lGetIteration(std::int32_t* iteration, double* criterion,
                                      std::int16_t* running) {
  try {
    EngineStatus& status = Status();
    if (!IsTrue(status.initialised.load())) return -3;
    if (!status.mutex.try_lock_for(kStatusLockWait)) return -2;
    if (iteration != nullptr) *iteration = status.iteration;
    if (criterion != nullptr) *criterion = status.criterion;
    status.mutex.unlock();
    const bool isRunning = IsTrue(status.running.load(std::memory_order_acquire));
    const std::int32_t result =
        isRunning ? 1 : status.runResult.load(std::memory_order_acquire);
    if (running != nullptr) *running = isRunning ? kTrue16 : 0;
    return result;
  } catch (...) {
    return -2;
  }
}

KOV_EXPORT std::int32_t lGetKovError(char* buffer, std::int32_t) {
  try {
    EngineStatus& status = Status();
    if (!IsTrue(status.initialised.load())) return 0;
    std::lock_guard lock(status.mutex);
    if (buffer != nullptr) std::memcpy(buffer, status.errorMessage, kMessageBytes);
    return status.errorCode;
  } catch (...) {
    return kInternalError;
  }
}

KOV_EXPORT std::int32_t lAbortRun() {
  try {
    EngineStatus& status = Status();
    if (!IsTrue(status.initialised.load())) return 0;
    if (!status.mutex.try_lock_for(kStatusLockWait)) return 0;
    status.abortRequested = kTrue16;
    status.mutex.unlock();
    return 1;
  } catch (...) {
    return 0;
  }
}

KOV_EXPORT std::int32_t lCurrentlyRunning() {
  return IsTrue(Status().running.load(std::memory_order_acquire)) ? 1 : 0;
}

KOV_EXPORT std::int32_t lClean() { return IsTrue(Status().clean.load()) ? 1 : 0; }

KOV_EXPORT std::int32_t lSetStartOptions(std::int32_t starts, std::int32_t finalStarts,
                                         std::int32_t seed) {
  try {
    // A run reads the settings once, as it reads its control file; a change in its course
    // would reach no one.
    if (IsTrue(Status().running.load(std::memory_order_acquire))) return 0;
    constexpr std::int32_t kMaxStarts = 10000;
    const bool valid = (starts < 0 || (starts >= 1 && starts <= kMaxStarts)) &&
                       (finalStarts < 0 || (finalStarts >= 1 && finalStarts <= kMaxStarts));
    if (!valid) return 0;
    kov::em::SetStartOverrides({starts < 0 ? -1 : starts, finalStarts < 0 ? -1 : finalStarts,
                                seed < 0 ? -1 : seed});
    return 1;
  } catch (...) {
    return 0;
  }
}

KOV_EXPORT std::int32_t lSetPosteriorFile(const char* path, std::int32_t, std::int16_t byPattern) {
  try {
    if (IsTrue(Status().running.load(std::memory_order_acquire))) return 0;
    std::string name = path == nullptr ? std::string() : std::string(path, kPathBytes);
    kov::em::SetPosteriorOverride({kov::input::TrimRight(name), byPattern != 0});
    return 1;
  } catch (...) {
    return 0;
  }
}

KOV_EXPORT std::int32_t lSetEnumerateOptions(std::int32_t kind, std::int32_t from, std::int32_t to,
                                             std::int32_t bootstrap) {
  try {
    if (IsTrue(Status().running.load(std::memory_order_acquire))) return 0;
    using kov::em::EnumerationKind;
    if (kind == 0) {
      kov::em::SetEnumerationOptions({});
      return 1;
    }
    const bool valid = (kind == 1 || kind == 2) && from >= 1 && to >= from &&
                       to <= kov::em::kMaxEnumeratedSize && bootstrap >= 0 &&
                       bootstrap <= kov::em::kMaxBootstrapSamples;
    if (!valid) return 0;
    kov::em::SetEnumerationOptions({static_cast<EnumerationKind>(kind), from, to, bootstrap});
    return 1;
  } catch (...) {
    return 0;
  }
}
