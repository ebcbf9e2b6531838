// Runs driven as the run host drives them, through the exports on the engine's worker thread:
// aborts requested from the caller's thread at moments drawn from a seeded generator, and a
// caller that polls a thousand times a second throughout a run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/status_record.h"
#include "job.h"
#include "kov_exports.h"
#include "kovos.h"

namespace kov::reliability {
namespace {

namespace fs = std::filesystem;
using test::ReadLines;

constexpr std::uint32_t kRunTimeoutMs = 300'000;

// ---------------------------------------------------------------------------------------------
// Stopping the worker at an iteration: the observer (on the worker) announces the iteration and
// waits until the caller's thread has done what it does there.

struct Rendezvous {
  std::int32_t iteration = -1;
  std::promise<void> reached;
  std::promise<void> resume;
  std::shared_future<void> resumed = resume.get_future().share();
};
std::atomic<Rendezvous*> g_rendezvous{nullptr};

void AtIteration(std::int32_t iteration) {
  Rendezvous* meeting = g_rendezvous.load();
  if (meeting == nullptr || iteration != meeting->iteration) return;
  meeting->reached.set_value();
  meeting->resumed.wait();
}

struct Polled {
  std::int32_t result;
  std::int32_t iteration;
  double criterion;
  std::int16_t running;
};

// The caller's side of the meeting: once the worker has announced the iteration, request the
// abort, then let the worker go on. Iteration 0 is never announced (the request came before the
// worker was resumed).
void AbortAtTheMeeting(Rendezvous* meeting) {
  if (meeting->iteration == 0) return;
  const bool reached = meeting->reached.get_future().wait_for(std::chrono::minutes(5)) ==
                       std::future_status::ready;
  EXPECT_TRUE(reached) << "the run never began iteration " << meeting->iteration;
  if (reached) {
    EXPECT_EQ(lAbortRun(), 1);
  }
  meeting->resume.set_value();
}

// The end of a run as the caller sees it.
struct RunEnd {
  std::int32_t result = -1;
  std::int32_t iteration = -1;
  double criterion = 0.0;
  std::int16_t running = -1;
};

RunEnd Poll() {
  RunEnd end;
  end.result = lGetIteration(&end.iteration, &end.criterion, &end.running);
  return end;
}

class RunControlStressTest : public ::testing::Test {
 protected:
  void SetUp() override { run::ResetStatusForTesting(); }
  void TearDown() override {
    run::SetProgressObserverForTesting(nullptr);
    g_rendezvous.store(nullptr);
  }

  // Starts a run, lets `whileRunning` act on the caller's thread, waits for the worker's end.
  RunEnd RunThroughExports(bool em, const std::string& field,
                           const std::function<void()>& beforeResume,
                           const std::function<void()>& whileRunning) {
    run::ResetStatusForTesting();
    run::SetProgressObserverForTesting(AtIteration);
    const kovos::Handle thread = em ? lRunKovEM(field.c_str(), 300) : lRunKovDA(field.c_str(), 300);
    EXPECT_NE(thread, 0);
    if (beforeResume) beforeResume();
    EXPECT_TRUE(kovos::ResumeThread(thread));
    if (whileRunning) whileRunning();
    EXPECT_EQ(kovos::WaitForHandle(thread, kRunTimeoutMs), kovos::kWaitSignalled);
    EXPECT_TRUE(kovos::CloseHandle(thread));
    return Poll();
  }

  // Every file of the run is closed and no error was recorded.
  void ExpectCleanEnd(const RunEnd& end) {
    EXPECT_EQ(end.result, 1);
    EXPECT_EQ(end.running, 0);
    EXPECT_EQ(lCurrentlyRunning(), 0);
    char message[1024];
    EXPECT_EQ(lGetKovError(message, 1024), 0);
    EXPECT_TRUE(OpenFilesUnder(dir.Path()).empty());
  }

  test::TempDir dir;
};

// The iteration history of an EM report: iteration number and MAD of every entry. Each entry is
// the iteration, two blanks and the MAD in 11 columns with 10 decimals (a MAD below 1 loses its
// leading zero to the width), up to three entries a line.
std::map<std::int32_t, double> History(const std::vector<std::string>& report) {
  std::map<std::int32_t, double> history;
  bool inHistory = false;
  for (const std::string& line : report) {
    if (line.starts_with("ATION")) {
      inHistory = true;
      continue;
    }
    if (!inHistory) continue;
    if (line.starts_with(" *****")) break;
    std::istringstream entries(line);
    std::int32_t iteration = 0;
    std::string mad;
    while (entries >> iteration >> mad) history[iteration] = std::stod(mad);
  }
  return history;
}

// The iteration numbers of the sets of a parameter estimates file: the lines of one blank and
// an integer.
std::vector<std::int32_t> EstimateSetIterations(const std::string& path) {
  std::vector<std::int32_t> iterations;
  for (const std::string& line : ReadLines(path)) {
    const bool number = line.size() > 1 && line[0] == ' ' &&
                        line.find_first_not_of("0123456789", 1) == std::string::npos;
    if (number) iterations.push_back(std::stoi(line.substr(1)));
  }
  return iterations;
}

// ---------------------------------------------------------------------------------------------

TEST_F(RunControlStressTest, AbortsAtRandomMomentsEndEveryEmRunCleanly) {
  // Criterion 0 is never reached, so every run goes on until its abort or its 40th iteration.
  constexpr std::int32_t kMaximum = 40;
  std::mt19937 random(20261207);
  for (int trial = 0; trial < 12; ++trial) {
    // 0: the request comes before the worker is resumed, and is seen after iteration 1.
    const std::int32_t at = std::uniform_int_distribution<std::int32_t>(0, kMaximum)(random);
    const bool estimates = trial % 2 == 0;
    SCOPED_TRACE("trial " + std::to_string(trial) + ": abort at " + std::to_string(at) +
                 (estimates ? " with" : " without") + " the estimates file");
    fs::remove(dir.Path("em.out"));
    fs::remove(dir.Path("em.est"));
    Job job("substance.cnt", dir);
    job.Set(Line::kEm, std::string("1 ") + (estimates ? "1" : "0") + " " +
                           std::to_string(kMaximum) + " 0");

    Rendezvous meeting;
    meeting.iteration = at;
    g_rendezvous.store(&meeting);
    const RunEnd end = RunThroughExports(
        true, job.Field(), [&] {
          if (at == 0) {
            EXPECT_EQ(lAbortRun(), 1);
          }
        },
        [&] { AbortAtTheMeeting(&meeting); });
    g_rendezvous.store(nullptr);
    ExpectCleanEnd(end);

    // The iteration during which the request came is completed and is the last in the history;
    // the report is finished as for a converged run.
    const std::int32_t last = std::max(at, 1);
    const std::vector<std::string> report = ReadLines(dir.Path("em.out"));
    ASSERT_GE(report.size(), 2u);
    EXPECT_TRUE(report[report.size() - 2].starts_with(" PROGRAM FINISHED: "));
    EXPECT_TRUE(report.back().starts_with(" ELAPSED TIME: "));
    const std::map<std::int32_t, double> history = History(report);
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history.rbegin()->first, last);
    EXPECT_EQ(history.size(), static_cast<std::size_t>(last));
    if (!estimates) {
      EXPECT_EQ(end.iteration, last);
      continue;
    }
    // With iterations left, one silent iteration follows and is saved as the second set; the
    // caller last saw that iteration.
    const std::vector<std::int32_t> sets = EstimateSetIterations(dir.Path("em.est"));
    if (last < kMaximum) {
      EXPECT_EQ(sets, (std::vector<std::int32_t>{last, last + 1}));
      EXPECT_EQ(end.iteration, last + 1);
    } else {
      EXPECT_EQ(sets, (std::vector<std::int32_t>{last}));
      EXPECT_EQ(end.iteration, last);
    }
  }
}

TEST_F(RunControlStressTest, AbortsAtRandomMomentsEndEveryDataAugmentationRunCleanly) {
  Job job("substance.cnt", dir);
  ASSERT_EQ(RunEm(job), 1) << LastError().message;  // the two starting sets
  constexpr int k = 3, m = 4;
  job.SetDa(k, m, 11, true);
  std::mt19937 random(7);
  for (int trial = 0; trial < 12; ++trial) {
    const std::int32_t at = std::uniform_int_distribution<std::int32_t>(0, k * m)(random);
    SCOPED_TRACE("trial " + std::to_string(trial) + ": abort at " + std::to_string(at));
    for (const char* name : {"da.out", "da.ser", "da.ind"}) fs::remove(dir.Path(name));
    // An earlier run's set: Details.txt first, then the imputed data files 1 to m.
    std::vector<std::string> earlierSet = {"Details.txt"};
    for (int j = 1; j <= m; ++j) earlierSet.push_back("imp" + std::to_string(j) + ".dat");
    for (const std::string& name : earlierSet) dir.Write(name, "earlier " + name + "\n");

    Rendezvous meeting;
    meeting.iteration = at;
    g_rendezvous.store(&meeting);
    const RunEnd end = RunThroughExports(
        false, job.Field(), [&] {
          if (at == 0) {
            EXPECT_EQ(lAbortRun(), 1);
          }
        },
        [&] { AbortAtTheMeeting(&meeting); });
    g_rendezvous.store(nullptr);
    ExpectCleanEnd(end);

    const std::int32_t last = std::max(at, 1);
    EXPECT_EQ(end.iteration, last);
    EXPECT_EQ(end.criterion, -9.0);
    const std::vector<std::string> report = ReadLines(dir.Path("da.out"));
    ASSERT_GE(report.size(), 7u);
    EXPECT_EQ(report[report.size() - 6], "RUN ABORTED");
    char notice[64];
    std::snprintf(notice, sizeof notice, " DA execution was aborted at iteration: %6d .", last);
    EXPECT_EQ(report[report.size() - 5], notice);
    // One series row and one individual set per completed iteration, and no combination.
    EXPECT_EQ(ReadLines(dir.Path("da.ser")).size(), 2u + static_cast<std::size_t>(last));
    EXPECT_EQ(EstimateSetIterations(dir.Path("da.ind")).size(), static_cast<std::size_t>(last));
    // The imputations taken before the abort replaced their earlier files whole; the rest of
    // the earlier set and its Details.txt stay, and no file written to under another name is left.
    for (std::size_t f = 0; f < earlierSet.size(); ++f) {
      const bool taken = f > 0 && static_cast<std::int32_t>(f) * k <= last;
      const std::string text = test::ReadFile(dir.Path(earlierSet[f]));
      EXPECT_EQ(text == "earlier " + earlierSet[f] + "\n", !taken) << earlierSet[f];
      if (taken) EXPECT_EQ(text.back(), '\n') << earlierSet[f];
    }
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
      EXPECT_EQ(entry.path().filename().string().find("marnel-tmp"), std::string::npos)
          << entry.path();
    }
  }
}

// ---------------------------------------------------------------------------------------------
// A caller polling every millisecond. After a thousand polls it asks the run to stop, so the run
// lasts as long as the polls need whatever the speed of the machine.

std::vector<Polled> PollAtOneKilohertz(std::atomic<bool>* abortSent) {
  std::vector<Polled> polls;
  auto next = std::chrono::steady_clock::now();
  for (;;) {
    Polled p{};
    p.result = lGetIteration(&p.iteration, &p.criterion, &p.running);
    polls.push_back(p);
    if (p.running == 0) return polls;
    if (polls.size() == 1000) abortSent->store(lAbortRun() == 1);
    next += std::chrono::milliseconds(1);
    std::this_thread::sleep_until(next);
  }
}

TEST_F(RunControlStressTest, PollingAThousandTimesASecondDuringAnEmRunSeesWholeValues) {
  Job job("lta.cnt", dir);
  job.Set(Line::kEm, "1 0 100000000 0");
  std::atomic<bool> abortSent{false};
  std::vector<Polled> polls;
  const RunEnd end = RunThroughExports(true, job.Field(), nullptr, [&] {
    std::thread poller([&] { polls = PollAtOneKilohertz(&abortSent); });
    poller.join();
  });
  ExpectCleanEnd(end);
  EXPECT_TRUE(abortSent.load());
  ASSERT_GT(polls.size(), 1000u);

  // Iteration i publishes itself with the MAD of iteration i - 1 (0 before the first), under
  // one lock: a poll must never pair an iteration with another iteration's MAD. The report
  // prints each MAD with 10 decimals.
  const std::map<std::int32_t, double> history = History(ReadLines(dir.Path("em.out")));
  ASSERT_FALSE(history.empty());
  EXPECT_EQ(end.iteration, history.rbegin()->first);
  std::int32_t previous = 0;
  for (const Polled& p : polls) {
    ASSERT_NE(p.result, -2) << "the status lock was held for a second";
    EXPECT_EQ(p.result, 1);
    EXPECT_GE(p.iteration, previous);
    previous = p.iteration;
    if (p.iteration <= 1) {
      EXPECT_EQ(p.criterion, 0.0) << "iteration " << p.iteration;
      continue;
    }
    const auto mad = history.find(p.iteration - 1);
    ASSERT_NE(mad, history.end()) << p.iteration;
    EXPECT_NEAR(p.criterion, mad->second, 0.51e-10) << "iteration " << p.iteration;
  }
  // Every poll but the last saw the run in progress.
  for (std::size_t i = 0; i + 1 < polls.size(); ++i) {
    EXPECT_EQ(polls[i].running, static_cast<std::int16_t>(0xFFFF));
  }
}

TEST_F(RunControlStressTest, PollingAThousandTimesASecondDuringADataAugmentationRunSeesWholeValues) {
  Job job("substance.cnt", dir);
  ASSERT_EQ(RunEm(job), 1) << LastError().message;
  // Far more iterations than a second holds on any machine; the abort ends the chain.
  job.SetDa(50, 400, 3, false);
  std::atomic<bool> abortSent{false};
  std::vector<Polled> polls;
  const RunEnd end = RunThroughExports(false, job.Field(), nullptr, [&] {
    std::thread poller([&] { polls = PollAtOneKilohertz(&abortSent); });
    poller.join();
  });
  ExpectCleanEnd(end);
  EXPECT_TRUE(abortSent.load());
  ASSERT_GT(polls.size(), 1000u);
  // A cycle publishes its number with -9.0; before the first, the start of the run left 0 and
  // 0.0. Any other pair is torn.
  std::int32_t previous = 0;
  for (const Polled& p : polls) {
    ASSERT_NE(p.result, -2) << "the status lock was held for a second";
    EXPECT_GE(p.iteration, previous);
    previous = p.iteration;
    EXPECT_EQ(p.criterion, p.iteration == 0 ? 0.0 : -9.0) << "iteration " << p.iteration;
  }
  EXPECT_EQ(polls.back().iteration, end.iteration);
  EXPECT_LT(end.iteration, 50 * 400);
  EXPECT_EQ(ReadLines(dir.Path("da.ser")).size(), 2u + static_cast<std::size_t>(end.iteration));
}

}  // namespace
}  // namespace kov::reliability
