// The engine as its callers meet it: libkov.so loaded by name, its seven exports bound with
// dlsym, and several threads starting, polling and aborting jobs on it at once.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <barrier>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/result_codes.h"
#include "job.h"
#include "kov_exports.h"
#include "kovos.h"

namespace kov::reliability {
namespace {

constexpr std::uint32_t kRunEndMs = 120'000;
constexpr std::int16_t kRunning16 = static_cast<std::int16_t>(0xFFFF);

class LoadedEngine {
 public:
  LoadedEngine() : m_library(dlopen(KOV_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {
    if (m_library == nullptr) return;
    Bind(&runKovEM, "lRunKovEM");
    Bind(&runKovDA, "lRunKovDA");
    Bind(&getIteration, "lGetIteration");
    Bind(&getKovError, "lGetKovError");
    Bind(&abortRun, "lAbortRun");
    Bind(&currentlyRunning, "lCurrentlyRunning");
    Bind(&clean, "lClean");
  }
  ~LoadedEngine() { Unload(); }
  LoadedEngine(const LoadedEngine&) = delete;
  LoadedEngine& operator=(const LoadedEngine&) = delete;

  bool Complete() const {
    return runKovEM && runKovDA && getIteration && getKovError && abortRun && currentlyRunning &&
           clean;
  }

  // True once the library is really gone from the process.
  bool Unload() {
    if (m_library != nullptr && dlclose(m_library) != 0) return false;
    m_library = nullptr;
    return dlopen(KOV_LIBRARY, RTLD_NOW | RTLD_NOLOAD) == nullptr;
  }

  std::int32_t ErrorCode() const {
    char message[kErrorMessageBytes];
    return getKovError(message, kErrorMessageBytes);
  }

  decltype(&::lRunKovEM) runKovEM = nullptr;
  decltype(&::lRunKovDA) runKovDA = nullptr;
  decltype(&::lGetIteration) getIteration = nullptr;
  decltype(&::lGetKovError) getKovError = nullptr;
  decltype(&::lAbortRun) abortRun = nullptr;
  decltype(&::lCurrentlyRunning) currentlyRunning = nullptr;
  decltype(&::lClean) clean = nullptr;

 private:
  template <typename Function>
  void Bind(Function* slot, const char* name) {
    *slot = reinterpret_cast<Function>(dlsym(m_library, name));
  }

  void* m_library;
};

// An EM run on the lta example that only its abort ends: no criterion is ever met.
std::string EndlessEmJob(const test::TempDir& dir) {
  Job job("lta.cnt", dir);
  job.Set(Line::kEm, "1 0 100000000 0");
  return job.Field();
}

// Every round, every thread tries to start a job at the same moment, and exactly one start is
// accepted. In even rounds its thread runs the worker (EM) and later aborts it, in odd rounds it
// closes the suspended worker (data augmentation) unresumed. While the job lives the other
// threads poll and keep trying to start; every poll must see the job running and every start
// must be refused with its code. Once the job has ended, the engine is free.
TEST(LoadedEngineTest, SeveralThreadsShareOneJobAtATime) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 6;
  constexpr int kPolls = 200;
  test::TempDir dir;
  const std::string field = EndlessEmJob(dir);
  LoadedEngine engine;
  ASSERT_TRUE(engine.Complete()) << dlerror();

  std::array<std::atomic<int>, kRounds> accepted{};
  std::atomic<int> wrongRefusals{0}, missedRuns{0}, failedRequests{0}, livesOn{0};
  std::barrier meet(kThreads);

  const auto player = [&](int round) {
    const bool runIt = round % 2 == 0;
    meet.arrive_and_wait();
    const kovos::Handle worker = runIt ? engine.runKovEM(field.c_str(), kControlPathBytes)
                                       : engine.runKovDA(field.c_str(), kControlPathBytes);
    if (worker != 0) {
      ++accepted[static_cast<std::size_t>(round)];
    } else if (engine.ErrorCode() != kJobAlreadyRunning) {
      ++wrongRefusals;
    }
    // Every start of the round has been made before anybody resumes the accepted worker.
    meet.arrive_and_wait();
    if (worker != 0 && runIt) {
      kovos::ResumeThread(worker);
      for (std::int32_t iteration = 0; iteration < 2; std::this_thread::yield()) {
        if (engine.getIteration(&iteration, nullptr, nullptr) != 1) ++missedRuns;
      }
    } else if (worker == 0) {
      for (int poll = 0; poll < kPolls; ++poll) {
        std::int16_t running = 0;
        if (engine.getIteration(nullptr, nullptr, &running) != 1 || running != kRunning16 ||
            engine.currentlyRunning() != 1) {
          ++missedRuns;
        }
        if (engine.runKovEM(field.c_str(), kControlPathBytes) != 0) {
          ++accepted[static_cast<std::size_t>(round)];
        }
      }
    }
    meet.arrive_and_wait();
    if (worker != 0) {
      if (runIt && engine.abortRun() == 0) ++failedRequests;
      if (runIt && kovos::WaitForHandle(worker, kRunEndMs) != kovos::kWaitSignalled) ++livesOn;
      kovos::CloseHandle(worker);
    } else {
      // Requests and polls while the job ends.
      for (int poll = 0; poll < kPolls / 10; ++poll) {
        if (engine.abortRun() == 0) ++failedRequests;
        if (engine.getIteration(nullptr, nullptr, nullptr) < 0) ++failedRequests;
      }
    }
    meet.arrive_and_wait();
    if (engine.currentlyRunning() != 0) ++livesOn;
  };
  std::vector<std::thread> players;
  for (int index = 0; index < kThreads; ++index) {
    players.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) player(round);
    });
  }
  for (std::thread& thread : players) thread.join();

  for (int round = 0; round < kRounds; ++round) {
    EXPECT_EQ(accepted[static_cast<std::size_t>(round)].load(), 1) << "round " << round;
  }
  EXPECT_EQ(wrongRefusals.load(), 0);
  EXPECT_EQ(missedRuns.load(), 0);
  EXPECT_EQ(failedRequests.load(), 0);
  EXPECT_EQ(livesOn.load(), 0);
}

// Unloading the library while a job's worker lives stops the worker before the code goes.
TEST(LoadedEngineTest, UnloadingUnderALiveWorkerEndsItFirst) {
  struct Case {
    const char* name;
    bool resumed;
  };
  test::TempDir dir;
  const std::string field = EndlessEmJob(dir);
  for (const Case& c : {Case{"suspended", false}, Case{"running", true}}) {
    SCOPED_TRACE(c.name);
    LoadedEngine engine;
    ASSERT_TRUE(engine.Complete()) << dlerror();
    const kovos::Handle worker = engine.runKovEM(field.c_str(), kControlPathBytes);
    ASSERT_NE(worker, 0);
    if (c.resumed) {
      ASSERT_TRUE(kovos::ResumeThread(worker));
      std::int32_t iteration = 0;
      while (iteration < 1) ASSERT_EQ(engine.getIteration(&iteration, nullptr, nullptr), 1);
    }
    EXPECT_TRUE(engine.Unload());
    EXPECT_EQ(kovos::WaitForHandle(worker, 0), kovos::kWaitSignalled);
    kovos::CloseHandle(worker);
  }
}

}  // namespace
}  // namespace kov::reliability
