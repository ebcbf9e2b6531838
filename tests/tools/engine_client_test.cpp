// The engine client in the test's own process, over the scripted engine of the kovrun tests.

#include "engine_client.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "kovos.h"

namespace kov::client {
namespace {

namespace fs = std::filesystem;

class EngineClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "engine_client.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_folder = pattern;
  }
  void TearDown() override { fs::remove_all(m_folder); }

  fs::path m_folder;
};

TEST_F(EngineClientTest, SaysWhyAnExportCannotBeCalledAndCallsThoseThatCan) {
  { std::ofstream(m_folder / "libkov.so") << "not a library"; }
  struct Case {
    std::string library;
    bool cleanBound;    // lClean answers
    BindResult result;  // otherwise this failure
    bool runningBound;  // lCurrentlyRunning answers all the same
  };
  const Case cases[] = {
      {TEST_ENGINE_PATH, true, kBound, true},
      {(m_folder / "absent" / "libkov.so").string(), false, kLibraryMissing, false},
      {(m_folder / "libkov.so").string(), false, kLibraryRefused, false},
      // Bound one by one: an engine without lClean still answers what it has.
      {INCOMPLETE_ENGINE_PATH, false, kExportMissing, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library);
    EngineClient engine(c.library);
    const Call clean = engine.Clean();
    ASSERT_EQ(clean.failure == nullptr, c.cleanBound);
    if (!c.cleanBound) {
      EXPECT_EQ(clean.failure->result, c.result);
      EXPECT_EQ(clean.failure->library, c.library);
      EXPECT_FALSE(clean.failure->reason.empty());
      EXPECT_EQ(clean.failure->exportName, c.result == kExportMissing ? "lClean" : "");
    }
    EXPECT_EQ(engine.CurrentlyRunning().failure == nullptr, c.runningBound);
  }
}

// The field the engine is given: the path blank-padded to its fixed length.
std::array<char, kControlPathBytes> Field(const std::string& path) {
  std::array<char, kControlPathBytes> field;
  field.fill(' ');
  path.copy(field.data(), field.size());
  return field;
}

TEST_F(EngineClientTest, StartsPollsAndAbortsAJob) {
  // The scripted engine's answers: "finish" publishes iteration 5 and ends with result 1,
  // "abort" publishes 1, waits for the abort and publishes 2, "error" publishes 3 and ends with
  // code 12 quoting the path field; EM reports the criterion 0.25, DA -9. An abort request is
  // kept for good, so the abort comes after the plain run and before the error.
  struct Case {
    const char* scenario;
    RunKind kind;
    std::int32_t result, iteration;
    double criterion;
    std::int32_t code;
  };
  const Case cases[] = {
      {"finish", RunKind::kEM, 1, 5, 0.25, 0},
      {"abort", RunKind::kDataAugmentation, 1, 2, -9.0, 0},
      {"error", RunKind::kEM, 0, 3, 0.25, 12},
  };
  EngineClient engine(TEST_ENGINE_PATH);
  const std::array<char, kControlPathBytes> field = Field("job.cnt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    ASSERT_EQ(setenv("KOVRUN_TEST_SCENARIO", c.scenario, 1), 0);
    const Call start = engine.Start(c.kind, field.data());
    ASSERT_EQ(start.failure, nullptr);
    ASSERT_NE(start.value, 0);
    ASSERT_TRUE(kovos::ResumeThread(start.value));
    Progress progress;
    if (std::string(c.scenario) == "abort") {
      // The worker waits for the request once it has published its first iteration.
      do {
        ASSERT_EQ(engine.Poll(&progress), nullptr);
      } while (progress.iteration != 1);
      EXPECT_TRUE(progress.running);
      ASSERT_NE(engine.AbortRun().value, 0);
    }
    ASSERT_EQ(kovos::WaitForHandle(start.value, 10000), kovos::kWaitSignalled);
    kovos::CloseHandle(start.value);

    ASSERT_EQ(engine.Poll(&progress), nullptr);
    EXPECT_EQ(progress.result, c.result);
    EXPECT_EQ(progress.iteration, c.iteration);
    EXPECT_EQ(progress.criterion, c.criterion);
    EXPECT_FALSE(progress.running);
    EngineError error;
    ASSERT_EQ(engine.ReadError(&error), nullptr);
    EXPECT_EQ(error.code, c.code);
    // The message without the blanks that pad its field; the path field inside it keeps its own.
    EXPECT_EQ(error.message, c.code == 0
                                 ? std::string()
                                 : "Path [" + std::string(field.data(), field.size()) + "]");
  }
}

}  // namespace
}  // namespace kov::client
