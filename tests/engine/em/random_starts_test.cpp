// Random starts: a three-class model whose own start values hold two classes equal (EM keeps
// them equal for ever, a two-class solution) finds its maximum from random starts, reports
// how often, and gives the same files on any number of threads.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <stdlib.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/status_record.h"
#include "em/em_driver.h"
#include "em/random_starts.h"
#include "input/control_file.h"
#include "input/restriction_structure.h"
#include "temp_files.h"

namespace kov::em {
namespace {

using test::ReadFile;
using test::TempDir;

constexpr int kItems = 6;

// 600 subjects from three classes of 6 binary items (all high, first half high, all low), as
// patterns with their frequencies.
std::string SimulatedData() {
  const double gamma[] = {0.4, 0.35, 0.25};
  const double high[3][kItems] = {{0.9, 0.9, 0.9, 0.9, 0.9, 0.9},
                                  {0.9, 0.9, 0.9, 0.1, 0.1, 0.1},
                                  {0.1, 0.1, 0.1, 0.1, 0.1, 0.1}};
  std::mt19937_64 generator(20240611);
  auto uniform = [&] { return static_cast<double>(generator() >> 11) * 0x1.0p-53; };
  std::map<std::string, int> counts;
  for (int n = 0; n < 600; ++n) {
    const double u = uniform();
    const int c = u < gamma[0] ? 0 : u < gamma[0] + gamma[1] ? 1 : 2;
    std::string pattern;
    for (int i = 0; i < kItems; ++i) pattern += uniform() < high[c][i] ? "1 " : "2 ";
    ++counts[pattern];
  }
  std::string text;
  for (const auto& [pattern, count] : counts) text += pattern + std::to_string(count) + "\n";
  return text;
}

std::string ControlFile(const TempDir& dir, const std::string& block) {
  std::ostringstream f;
  f << "'* three classes, two of them equal at the start'\n3 0 6 0 0 1 0 0 0\n";
  f << "'" << dir.Path("job.dat") << "' ''\n1 0 2000 0.0000001\n";
  f << "'" << dir.Path("em.out") << "'\n'..'\n'..'\n";
  f << "10 5 1 0\n'da.out'\n'..'\n'da.ser'\n'..'\n";
  f << "2 2 2 2 2 2\n'A' 'B' 'C'\n";
  for (int i = 0; i < kItems; ++i) f << "'I" << i << "' 'Yes' 'No'\n";
  f << "1 1 1\n";
  for (int line = 0; line < 6; ++line) f << "1 1 1 1 1 1\n";
  f << "0.5 0.25 0.25\n";
  for (const char* row : {"0.7", "0.4", "0.4", "0.3", "0.6", "0.6"}) {
    for (int i = 0; i < kItems; ++i) f << row << (i + 1 < kItems ? " " : "\n");
  }
  f << block;
  return f.str();
}

// The report without the lines that carry the clock.
std::string WithoutClock(const std::string& text) {
  std::string kept;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("PROGRAM STARTED") != std::string::npos ||
        line.find("PROGRAM FINISHED") != std::string::npos ||
        line.find("ELAPSED TIME") != std::string::npos) {
      continue;
    }
    kept += line + "\n";
  }
  return kept;
}

struct Outcome {
  std::string report;
  nlohmann::json results;
};

Outcome RunJob(const TempDir& dir, const std::string& block, const char* threads,
               run::ProgressObserver observer = nullptr) {
  run::ResetStatusForTesting();
  run::SetProgressObserverForTesting(observer);
  setenv("MARNEL_THREADS", threads, 1);
  dir.Write("job.dat", SimulatedData());
  const std::string field = test::PathField(dir.Write("job.cnt", ControlFile(dir, block)));
  const std::int32_t result = RunEmDriver(field.c_str(), 300);
  unsetenv("MARNEL_THREADS");
  run::SetProgressObserverForTesting(nullptr);
  EXPECT_EQ(result, kRunCompleted);
  return {WithoutClock(ReadFile(dir.Path("em.out"))),
          nlohmann::json::parse(ReadFile(dir.Path("em.json")))};
}

TEST(RandomStartsTest, FindTheMaximumThatTheFileStartMissesOnAnyNumberOfThreads) {
  TempDir dir;
  const Outcome alone = RunJob(dir, "", "1");
  ASSERT_EQ(alone.results["starts"].size(), 1u);
  EXPECT_TRUE(alone.results["best_replicated"].is_null());

  struct Case {
    const char* threads;
  };
  const Case cases[] = {{"1"}, {"2"}, {"4"}};
  std::string reference;
  nlohmann::json referenceResults;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("threads ") + c.threads);
    const Outcome outcome = RunJob(dir, "'STARTS' 500 5 50 2024\n", c.threads);
    const nlohmann::json& starts = outcome.results["starts"];
    ASSERT_EQ(starts.size(), 5u);
    const double best = outcome.results["loglik"].get<double>();
    // The two-class solution of the file's start is well below the three-class maximum.
    EXPECT_GT(best, alone.results["loglik"].get<double>() + 5.0);
    EXPECT_NEAR(starts[0]["loglik"].get<double>(), best, 1e-6 * std::fabs(best));
    int reached = 0;
    for (std::size_t i = 0; i < starts.size(); ++i) {
      if (i > 0) {
        EXPECT_GE(starts[i - 1]["loglik"], starts[i]["loglik"]);
      }
      if (std::fabs(starts[i]["loglik"].get<double>() - best) <= 1e-6 * std::fabs(best)) ++reached;
    }
    EXPECT_GE(reached, 2);
    EXPECT_EQ(outcome.results["best_replicated"], true);
    EXPECT_NE(outcome.report.find(" THE BEST LOG-LIKELIHOOD WAS REACHED BY " +
                                  std::to_string(reached) + " OF 5 STARTS."),
              std::string::npos);
    EXPECT_LT(outcome.report.find("  RANDOM STARTS"), outcome.report.find("  ITERATION HISTORY"));
    if (reference.empty()) {
      reference = outcome.report;
      referenceResults = outcome.results;
      continue;
    }
    EXPECT_EQ(outcome.report, reference);
    EXPECT_EQ(outcome.results, referenceResults);
  }
}

// The progress seen by the caller, and an abort requested at one published iteration the way
// lAbortRun stores it.
struct ProgressWatch {
  static constexpr std::int32_t kAbortAt = 3;
  std::mutex lock;
  std::vector<std::int32_t> beforeRequest;  // the iterations published up to the request
  int afterRequest = 0;
  bool requested = false;
};
ProgressWatch g_watch;

void WatchProgress(std::int32_t iteration) {
  std::lock_guard guard(g_watch.lock);
  if (g_watch.requested) {
    ++g_watch.afterRequest;
    return;
  }
  g_watch.beforeRequest.push_back(iteration);
  if (iteration == ProgressWatch::kAbortAt) {
    g_watch.requested = true;
    run::EngineStatus& status = run::Status();
    std::lock_guard statusGuard(status.mutex);
    status.abortRequested = run::kTrue16;
  }
}

// An abort during the first stage stops every start at its next iteration: no start goes on to
// the final stage, and the run ends with the best start so far, unconverged, as a run without
// random starts ends after an abort. The progress shows one start's iterations at a time, so
// it counts 1, 2, 3 up to the request whatever the threads.
TEST(RandomStartsTest, AnAbortStopsEveryStartBeforeTheFinalStage) {
  struct Case {
    const char* threads;
    int extraPublications;  // a start that checked before the request may show one iteration
  };
  const Case cases[] = {{"1", 0}, {"2", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("threads ") + c.threads);
    TempDir dir;
    g_watch.requested = false;
    g_watch.beforeRequest.clear();
    g_watch.afterRequest = 0;
    const std::int32_t firstStage = 50;
    const std::string block = "'STARTS' 20 5 " + std::to_string(firstStage) + " 2024\n";
    const Outcome outcome = RunJob(dir, block, c.threads, WatchProgress);
    ASSERT_TRUE(g_watch.requested);
    std::vector<std::int32_t> counted;
    for (std::int32_t i = 1; i <= ProgressWatch::kAbortAt; ++i) counted.push_back(i);
    EXPECT_EQ(g_watch.beforeRequest, counted);
    EXPECT_LE(g_watch.afterRequest, c.extraPublications);
    const nlohmann::json& starts = outcome.results["starts"];
    ASSERT_EQ(starts.size(), 5u);
    for (const nlohmann::json& start : starts) {
      EXPECT_LE(start["iterations"].get<int>(), firstStage);
    }
    EXPECT_NE(outcome.report.find("****WARNING: CONVERGENCE NOT REACHED****"), std::string::npos);
  }
}

TEST(RandomStartsTest, OneStartToTheEndIsWarnedAbout) {
  TempDir dir;
  const Outcome outcome = RunJob(dir, "'STARTS' 6 1 20 5\n", "1");
  EXPECT_EQ(outcome.results["starts"].size(), 1u);
  EXPECT_EQ(outcome.results["best_replicated"], false);
  EXPECT_NE(outcome.report.find("REACHED BY 1 OF 1 STARTS."), std::string::npos);
  EXPECT_NE(outcome.report.find("****WARNING"), std::string::npos);
}

// Every drawn row sums to one, fixed entries keep their values, tied entries share one value,
// and a start's values depend on its own seed alone.
TEST(RandomStartsTest, DrawsKeepTheRestrictions) {
  input::ModelDimensions d;
  d.classes = 3;
  d.classItems = 2;
  d.maxClassCategories = 3;
  input::RestrictionSet codes;
  input::ParameterSet file;
  input::AllocateRestrictions(d, &codes);
  input::AllocateParameters(d, &file);
  codes.gamma = {1, 0, 1};
  file.gamma = {0.3, 0.2, 0.5};
  const input::MultiIndex<3> rho = input::LittleRhoShape(d);
  for (std::int32_t c = 0; c < 3; ++c) {
    // Item 1: category 3 fixed at 0.1 and category 1 tied across the classes; item 2 free.
    codes.littleRho[rho(0, 0, c)] = 2;
    codes.littleRho[rho(1, 0, c)] = 1;
    codes.littleRho[rho(2, 0, c)] = 0;
    file.littleRho[rho(0, 0, c)] = 0.45;
    file.littleRho[rho(1, 0, c)] = 0.45;
    file.littleRho[rho(2, 0, c)] = 0.1;
    for (std::int32_t k = 0; k < 3; ++k) {
      codes.littleRho[rho(k, 1, c)] = 1;
      file.littleRho[rho(k, 1, c)] = 1.0 / 3.0;
    }
  }
  const input::RestrictionStructure restrictions(d, codes, file);
  input::ParameterSet first, again, other;
  DrawStartValues(restrictions, StartSeed(7, 2), file, &first);
  DrawStartValues(restrictions, StartSeed(7, 2), file, &again);
  DrawStartValues(restrictions, StartSeed(7, 3), file, &other);
  EXPECT_EQ(first.littleRho, again.littleRho);
  EXPECT_NE(first.littleRho, other.littleRho);
  EXPECT_NE(StartSeed(7, 2), StartSeed(8, 2));
  for (const input::ParameterSet* values : {&first, &other}) {
    EXPECT_DOUBLE_EQ(values->gamma[1], 0.2);
    EXPECT_NEAR(values->gamma[0] + values->gamma[1] + values->gamma[2], 1.0, 1e-12);
    EXPECT_NE(values->gamma[0], 0.3);
    for (std::int32_t c = 0; c < 3; ++c) {
      EXPECT_DOUBLE_EQ(values->littleRho[rho(2, 0, c)], 0.1);
      EXPECT_DOUBLE_EQ(values->littleRho[rho(0, 0, c)], values->littleRho[rho(0, 0, 0)]);
      for (std::int32_t i = 0; i < 2; ++i) {
        double sum = 0.0;
        for (std::int32_t k = 0; k < 3; ++k) {
          EXPECT_GT(values->littleRho[rho(k, i, c)], 0.0);
          sum += values->littleRho[rho(k, i, c)];
        }
        EXPECT_NEAR(sum, 1.0, 1e-12);
      }
    }
  }
}

}  // namespace
}  // namespace kov::em
