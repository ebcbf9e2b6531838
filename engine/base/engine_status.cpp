#include "engine_status.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "status_record.h"

namespace kov::run {

EngineStatus& Status() {
  static EngineStatus status;
  return status;
}

namespace {

// Library attach: the record (and its lock) exist from here on. Detach has nothing to release:
// the lock is an object of the record.
__attribute__((constructor)) void AttachLibrary() {
  EngineStatus& status = Status();
  status.iteration = 0;
  status.initialised.store(kTrue16);
}

}  // namespace

namespace {
std::atomic<ProgressObserver> g_progressObserver{nullptr};
}  // namespace

void SetProgressObserverForTesting(ProgressObserver observer) { g_progressObserver.store(observer); }

void PublishProgress(std::int32_t iteration, double criterion) {
  if (const ProgressObserver observer = g_progressObserver.load()) observer(iteration);
  EngineStatus& status = Status();
  if (!IsTrue(status.initialised.load())) return;
  if (!status.mutex.try_lock_for(kStatusLockWait)) return;
  status.iteration = iteration;
  status.criterion = criterion;
  status.mutex.unlock();
}

void SetEngineError(std::int32_t code, std::string_view message) {
  EngineStatus& status = Status();
  if (!IsTrue(status.initialised.load())) return;
  std::lock_guard lock(status.mutex);
  status.errorCode = code;
  const std::size_t n = std::min(message.size(), kMessageBytes);
  std::memcpy(status.errorMessage, message.data(), n);
  std::memset(status.errorMessage + n, ' ', kMessageBytes - n);
}

std::int32_t Record(const kov::Status& status) {
  if (!status.IsOk() && !status.IsRecorded()) SetEngineError(ShownCodeOf(status), status.Message());
  return RunResultOf(status);
}

void RecordAndGoOn(const kov::Status& status) {
  if (!status.IsOk()) SetEngineError(status.Code(), status.Message());
}

bool AbortRequested() {
  EngineStatus& status = Status();
  if (!status.mutex.try_lock_for(kStatusLockWait)) return false;
  const bool requested = IsTrue(status.abortRequested);
  status.mutex.unlock();
  return requested;
}

void ResetStatusForTesting() {
  EngineStatus& status = Status();
  std::lock_guard lock(status.mutex);
  status.iteration = 0;
  status.criterion = 0.0;
  status.errorCode = 0;
  std::memset(status.errorMessage, 0, kMessageBytes);
  status.abortRequested = 0;
  status.running.store(0);
  status.clean.store(kTrue16);
  status.runResult.store(0);
  std::memset(status.controlFilePath, 0, kPathBytes);
  status.workerThread.store(0);
  status.unloading.store(false);
  status.workerThreadIdEm = 0;
  status.workerThreadIdDa = 0;
  status.initialised.store(kTrue16);
  g_progressObserver.store(nullptr);
}

std::int32_t RecordedErrorCode() {
  std::string message;
  return ReadEngineError(&message);
}

std::int32_t ReadEngineError(std::string* message) {
  EngineStatus& status = Status();
  std::lock_guard lock(status.mutex);
  message->assign(status.errorMessage, kMessageBytes);
  return status.errorCode;
}

}  // namespace kov::run
