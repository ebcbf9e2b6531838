// A scripted libkov.so: the seven exports over a small status record, plus script functions
// that the tests reach through ScriptedEngine (scripted_engine_client.cpp).

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>

#include "kov_exports.h"
#include "kovos.h"
#include "scripted_observation.h"

#define SCRIPT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex g_lock;
std::condition_variable g_changed;
std::atomic<bool> g_running{false};
std::atomic<bool> g_clean{true};
bool g_abortRequested = false;
bool g_waitForAbort = true;
bool g_failPolls = false;
std::int32_t g_iteration = 0;
double g_criterion = 0.0;
std::int32_t g_result = 0;
std::int32_t g_errorCode = 0;
char g_errorMessage[kErrorMessageBytes] = {};
std::int32_t g_startError = 0;
std::int32_t g_endCode = 0;
std::string_view g_endMessage;
char g_endMessageStore[2 * kErrorMessageBytes] = {};
kov::runhost::test::ScriptedObservation g_observed;

// Caller holds g_lock.
void StoreError(std::int32_t code, std::string_view text) {
  g_errorCode = code;
  std::memset(g_errorMessage, ' ', sizeof g_errorMessage);
  std::memcpy(g_errorMessage, text.data(), std::min(text.size(), sizeof g_errorMessage));
}

std::uint32_t Worker(void*) {
  std::unique_lock lock(g_lock);
  g_observed.workerNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  g_clean = false;
  if (g_waitForAbort) g_changed.wait(lock, [] { return g_abortRequested; });
  g_observed.abortSeen = g_abortRequested;
  if (g_endCode != 0) StoreError(g_endCode, g_endMessage);
  g_result = 1;
  g_running = false;
  return 1;
}

std::int32_t Start(const char* path, std::int32_t runType) {
  std::lock_guard lock(g_lock);
  g_iteration = 0;
  g_criterion = 0.0;
  g_abortRequested = false;
  g_running = true;
  std::memcpy(g_observed.pathField, path, sizeof g_observed.pathField);
  if (g_startError != 0) {
    g_errorCode = g_startError;
    g_running = false;
    return 0;
  }
  std::uint32_t id = 0;
  const kovos::Handle handle = kovos::CreateSuspendedThread(0, Worker, nullptr, &id);
  if (handle == 0) {
    g_running = false;
    return 0;
  }
  ++g_observed.starts;
  g_observed.lastRunType = runType;
  return handle;
}

}  // namespace

KOV_EXPORT std::int32_t lRunKovEM(const char* path, std::int32_t) { return Start(path, 1); }
KOV_EXPORT std::int32_t lRunKovDA(const char* path, std::int32_t) { return Start(path, 2); }

KOV_EXPORT std::int32_t lGetIteration(std::int32_t* iteration, double* criterion,
                                      std::int16_t* running) {
  std::lock_guard lock(g_lock);
  if (g_failPolls) return -2;
  *iteration = g_iteration;
  *criterion = g_criterion;
  const bool isRunning = g_running;
  *running = isRunning ? static_cast<std::int16_t>(-1) : 0;
  return isRunning ? 1 : g_result;
}

KOV_EXPORT std::int32_t lGetKovError(char* buffer, std::int32_t) {
  std::lock_guard lock(g_lock);
  std::memcpy(buffer, g_errorMessage, sizeof g_errorMessage);
  return g_errorCode;
}

KOV_EXPORT std::int32_t lAbortRun() {
  std::lock_guard lock(g_lock);
  g_abortRequested = true;
  g_changed.notify_all();
  return 1;
}

#ifndef SCRIPTED_ENGINE_WITHOUT_CURRENTLY_RUNNING
KOV_EXPORT std::int32_t lCurrentlyRunning() { return g_running ? 1 : 0; }
#endif

KOV_EXPORT std::int32_t lClean() { return g_clean ? 1 : 0; }

SCRIPT_EXPORT void ScriptedEngineReset() {
  std::lock_guard lock(g_lock);
  g_running = false;
  g_clean = true;
  g_abortRequested = false;
  g_waitForAbort = true;
  g_failPolls = false;
  g_iteration = 0;
  g_criterion = 0.0;
  g_result = 0;
  g_errorCode = 0;
  std::memset(g_errorMessage, 0, sizeof g_errorMessage);
  g_startError = 0;
  g_endCode = 0;
  g_endMessage = {};
  g_observed = {};
}

SCRIPT_EXPORT void ScriptedEngineFailStart(std::int32_t code, const char* message) {
  std::lock_guard lock(g_lock);
  g_startError = code;
  if (*message != '\0') StoreError(0, message);
}

SCRIPT_EXPORT void ScriptedEngineEndAtOnce() {
  std::lock_guard lock(g_lock);
  g_waitForAbort = false;
}

SCRIPT_EXPORT void ScriptedEngineFailRun(std::int32_t code, const char* message) {
  std::lock_guard lock(g_lock);
  g_endCode = code;
  const std::size_t length = std::min(std::strlen(message), sizeof g_endMessageStore);
  std::memcpy(g_endMessageStore, message, length);
  g_endMessage = std::string_view(g_endMessageStore, length);
}

SCRIPT_EXPORT void ScriptedEnginePublish(std::int32_t iteration, double criterion) {
  std::lock_guard lock(g_lock);
  g_iteration = iteration;
  g_criterion = criterion;
}

SCRIPT_EXPORT void ScriptedEngineFailPolls(bool fail) {
  std::lock_guard lock(g_lock);
  g_failPolls = fail;
}

SCRIPT_EXPORT void ScriptedEngineObservation(kov::runhost::test::ScriptedObservation* observed) {
  std::lock_guard lock(g_lock);
  *observed = g_observed;
}
