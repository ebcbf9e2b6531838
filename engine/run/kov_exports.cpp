// The seven exports: each is a shell over the status record that catches everything, since
// nothing may cross the C boundary.
#include "kov_exports.h"

#include <cstring>
#include <new>

#include "drivers.h"
#include "da/da_driver.h"
#include "em/em_driver.h"
#include "engine_status.h"
#include "result_codes.h"
#include "status_record.h"

namespace kov::run {

namespace {

constexpr std::size_t kWorkerStackBytes = 5'242'880;

std::int32_t RunDriverCatchingAll(RunType type, const char* path) {
  try {
    return type == RunType::kEm ? em::RunEmDriver(path, kPathBytes)
                                : da::RunDaDriver(path, kPathBytes);
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
  EngineStatus& status = Status();
  status.clean.store(0);
  const auto type = static_cast<RunType>(reinterpret_cast<std::intptr_t>(argument));
  const std::int32_t result = RunDriverCatchingAll(type, status.controlFilePath);
  status.runResult.store(result, std::memory_order_release);
  status.running.store(0, std::memory_order_release);
  return static_cast<std::uint32_t>(result);
}

std::int32_t StartRun(RunType type, const char* path) {
  EngineStatus& status = Status();
  {
    std::lock_guard lock(status.mutex);
    status.criterion = 0.0;
    status.iteration = 0;
    status.abortRequested = 0;
  }
  status.initialised.store(kTrue16);
  status.running.store(kTrue16);
  if (path != nullptr) {
    std::memcpy(status.controlFilePath, path, kPathBytes);
  } else {
    std::memset(status.controlFilePath, ' ', kPathBytes);
  }

  std::uint32_t threadId = 0;
  const kovos::Handle thread =
      kovos::CreateSuspendedThread(kWorkerStackBytes, WorkerThread,
                                   reinterpret_cast<void*>(static_cast<std::intptr_t>(type)),
                                   &threadId);
  (type == RunType::kEm ? status.workerThreadIdEm : status.workerThreadIdDa) = threadId;
  if (threadId == 0 || thread == 0) {
    {
      std::lock_guard lock(status.mutex);
      status.errorCode = kovos::LastError();
    }
    status.running.store(0);
    return 0;
  }
  status.workerThread = thread;
  return thread;
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
