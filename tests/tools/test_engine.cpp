// A scripted engine with the seven exports of libkov.so, for testing kovrun against answers
// that a real run gives only by chance or never (a busy or used engine, a failed start).
// KOVRUN_TEST_SCENARIO picks the script:
//   finish    iteration 5 is published and the run ends with result 1
//   abort     iteration 1 is published, the worker waits for lAbortRun, publishes 2, ends
//   error     code 12, the message quoting the 300-byte path field between brackets
//   result    no error, but result 7
//   nothread  no worker: code 11, "No thread", handle 0
//   busy      lCurrentlyRunning says 1
//   used      lClean says 0
// A data-augmentation run publishes the criterion -9, an EM run 0.25.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "kov_exports.h"
#include "kovos.h"

namespace {

std::mutex g_lock;
std::condition_variable g_abortChanged;
bool g_abortRequested = false;
std::atomic<bool> g_running{false};
std::atomic<bool> g_clean{true};
std::int32_t g_iteration = 0;
double g_criterion = 0.0;
std::int32_t g_result = 0;
std::int32_t g_errorCode = 0;
char g_errorMessage[kErrorMessageBytes] = {};
std::string g_path;
bool g_dataAugmentation = false;

std::string Scenario() {
  const char* value = std::getenv("KOVRUN_TEST_SCENARIO");
  return value != nullptr ? value : "";
}

void SetError(std::int32_t code, std::string_view text) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_errorCode = code;
  std::memset(g_errorMessage, ' ', sizeof g_errorMessage);
  std::memcpy(g_errorMessage, text.data(), std::min(text.size(), sizeof g_errorMessage));
}

void Publish(std::int32_t iteration) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_iteration = iteration;
  g_criterion = g_dataAugmentation ? -9.0 : 0.25;
}

std::uint32_t Worker(void*) {
  g_clean = false;
  const std::string scenario = Scenario();
  std::int32_t result = 1;
  if (scenario == "abort") {
    Publish(1);
    std::unique_lock<std::mutex> lock(g_lock);
    g_abortChanged.wait(lock, [] { return g_abortRequested; });
    lock.unlock();
    Publish(2);
  } else if (scenario == "error") {
    Publish(3);
    SetError(12, "Path [" + g_path + "]");
    result = 0;
  } else if (scenario == "result") {
    Publish(1);
    result = 7;
  } else {
    Publish(5);
  }
  std::lock_guard<std::mutex> lock(g_lock);
  g_result = result;
  g_running = false;
  return static_cast<std::uint32_t>(result);
}

std::int32_t Start(const char* path, bool dataAugmentation) {
  g_path.assign(path, kControlPathBytes);
  g_dataAugmentation = dataAugmentation;
  if (Scenario() == "nothread") {
    SetError(11, "No thread");
    return 0;
  }
  g_running = true;
  std::uint32_t threadId = 0;
  return kovos::CreateSuspendedThread(1 << 20, Worker, nullptr, &threadId);
}

}  // namespace

KOV_EXPORT std::int32_t lRunKovEM(const char* path, std::int32_t) { return Start(path, false); }

KOV_EXPORT std::int32_t lRunKovDA(const char* path, std::int32_t) { return Start(path, true); }

KOV_EXPORT std::int32_t lGetIteration(std::int32_t* iteration, double* criterion,
                                      std::int16_t* running) {
  std::lock_guard<std::mutex> lock(g_lock);
  *iteration = g_iteration;
  *criterion = g_criterion;
  *running = g_running ? static_cast<std::int16_t>(-1) : 0;
  return g_running ? 1 : g_result;
}

KOV_EXPORT std::int32_t lGetKovError(char* buffer, std::int32_t) {
  std::lock_guard<std::mutex> lock(g_lock);
  std::memcpy(buffer, g_errorMessage, sizeof g_errorMessage);
  return g_errorCode;
}

KOV_EXPORT std::int32_t lAbortRun() {
  std::lock_guard<std::mutex> lock(g_lock);
  g_abortRequested = true;
  g_abortChanged.notify_all();
  return 1;
}

KOV_EXPORT std::int32_t lCurrentlyRunning() {
  return Scenario() == "busy" || g_running ? 1 : 0;
}

#ifndef KOVRUN_TEST_ENGINE_WITHOUT_CLEAN
KOV_EXPORT std::int32_t lClean() { return Scenario() == "used" || !g_clean ? 0 : 1; }
#endif
