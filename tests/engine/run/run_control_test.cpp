#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <semaphore>
#include <string>

#include "base/engine_status.h"
#include "base/result_codes.h"
#include "base/status_record.h"
#include "input/model.h"
#include "kov_exports.h"
#include "kovos.h"
#include "temp_files.h"

namespace kov::run {
namespace {

using test::PathField;
using test::TempDir;

// A complete small job: one status item with two categories at two occasions, one status
// model, two records.
constexpr const char* kControl =
    "'* run control test'\n"
    "1 2 0 1 2 1 0 0 0\n"
    "'DIR/job.dat' ''\n"
    "1 0 10 0.0001\n'DIR/em.out'\n'..'\n'..'\n"
    "5 2 7 0\n'DIR/da.out'\n'DIR/start.est'\n'DIR/series.ser'\n'..'\n"
    "2\n'S1' 'S2'\n'Item' 'no' 'yes'\n"
    "1 1\n1 1 1 1\n1\n1\n1\n1\n1\n1\n1\n1\n"
    "0.5 0.5\n0.5 0.5 0.5 0.5\n0.9\n0.2\n0.1\n0.8\n";

class RunControlTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetStatusForTesting(); }

  std::string Control(const std::string& dataText) {
    dir.Write("job.dat", dataText);
    // Two parameter sets as an EM run leaves them for data augmentation.
    // Delta, tau, then big rho one value a line by occasion, category and status.
    const std::string set =
        "0.5 0.5\n0.5 0.5 0.5 0.5\n0.9\n0.2\n0.1\n0.8\n0.9\n0.2\n0.1\n0.8\n 3\n";
    dir.Write("start.est", set + set);
    std::string text = kControl;
    for (std::size_t at; (at = text.find("DIR")) != std::string::npos;) text.replace(at, 3, dir.Path());
    return dir.Write("job.cnt", text);
  }

  // Starts a run, resumes it and waits for its end; returns lGetIteration's result.
  std::int32_t RunToEnd(bool em, const std::string& path) {
    const std::string field = PathField(path);
    const kovos::Handle thread = em ? lRunKovEM(field.c_str(), 300) : lRunKovDA(field.c_str(), 300);
    EXPECT_NE(thread, 0);
    EXPECT_TRUE(kovos::ResumeThread(thread));
    EXPECT_EQ(kovos::WaitForHandle(thread, 60'000), kovos::kWaitSignalled);
    EXPECT_TRUE(kovos::CloseHandle(thread));
    std::int32_t iteration = -1;
    double criterion = -1.0;
    std::int16_t running = 1;
    const std::int32_t result = lGetIteration(&iteration, &criterion, &running);
    EXPECT_EQ(running, 0);
    return result;
  }

  std::int32_t Error(std::string* message) {
    char buffer[1024];
    const std::int32_t code = lGetKovError(buffer, 1024);
    message->assign(buffer, 1024);
    return code;
  }

  TempDir dir;
};

TEST_F(RunControlTest, BeforeAnyRunTheRecordIsAtItsLoadState) {
  std::int32_t iteration = 99;
  double criterion = 9.0;
  std::int16_t running = 7;
  EXPECT_EQ(lGetIteration(&iteration, &criterion, &running), 0);
  EXPECT_EQ(iteration, 0);
  EXPECT_EQ(criterion, 0.0);
  EXPECT_EQ(running, 0);
  EXPECT_EQ(lClean(), 1);
  EXPECT_EQ(lCurrentlyRunning(), 0);
  std::string message;
  EXPECT_EQ(Error(&message), 0);
  EXPECT_EQ(message, std::string(1024, '\0'));
}

TEST_F(RunControlTest, ASuspendedWorkerDoesNothingUntilResumed) {
  const std::string field = PathField(dir.Path("missing.cnt"));
  const kovos::Handle thread = lRunKovEM(field.c_str(), 300);
  ASSERT_NE(thread, 0);
  // Started but suspended: running, still clean, and an abort request is only recorded.
  EXPECT_EQ(lCurrentlyRunning(), 1);
  EXPECT_EQ(lClean(), 1);
  EXPECT_NE(lAbortRun(), 0);
  EXPECT_EQ(kovos::WaitForHandle(thread, 50), kovos::kWaitTimeout);
  std::int32_t iteration = -1;
  double criterion = -1.0;
  std::int16_t running = 0;
  EXPECT_EQ(lGetIteration(&iteration, &criterion, &running), 1);
  EXPECT_EQ(running, static_cast<std::int16_t>(0xFFFF));

  ASSERT_TRUE(kovos::ResumeThread(thread));
  ASSERT_EQ(kovos::WaitForHandle(thread, 60'000), kovos::kWaitSignalled);
  std::uint32_t exitCode = 0;
  EXPECT_TRUE(kovos::GetExitCode(thread, &exitCode));
  EXPECT_EQ(exitCode, static_cast<std::uint32_t>(ENOENT));
  kovos::CloseHandle(thread);
  // A run that failed at once has still made the library unclean.
  EXPECT_EQ(lClean(), 0);
  EXPECT_EQ(lCurrentlyRunning(), 0);
}

TEST_F(RunControlTest, AMissingControlFileEndsTheRunWithItsCodeAndPaddedMessage) {
  const std::string path = dir.Path("missing.cnt");
  EXPECT_EQ(RunToEnd(true, path), ENOENT);
  std::string message;
  EXPECT_EQ(Error(&message), ENOENT);
  const std::string expected =
      "Unable to open control file: " + path + "; Please verify that this is a valid file name and path.";
  EXPECT_EQ(message, expected + std::string(1024 - expected.size(), ' '));
}

TEST_F(RunControlTest, ACompleteRunReportsOneAndLeavesNoError) {
  const std::string path = Control("1 1 20\n1 2 10\n2 2 5\n");
  EXPECT_EQ(RunToEnd(true, path), 1);
  std::string message;
  EXPECT_EQ(Error(&message), 0);
  EXPECT_EQ(lClean(), 0);
}

TEST_F(RunControlTest, ADataAugmentationRunPublishesNoCriterion) {
  const std::string path = Control("1 1 20\n");
  EXPECT_EQ(RunToEnd(false, path), 1);
  std::int32_t iteration = -1;
  double criterion = 0.0;
  std::int16_t running = 0;
  lGetIteration(&iteration, &criterion, &running);
  EXPECT_EQ(criterion, -9.0);
}

TEST_F(RunControlTest, BadDataEndsTheRunWithTheLoadingMessage) {
  const std::string path = Control("1 1 20\n1 x 10\n");
  EXPECT_EQ(RunToEnd(true, path), kBadValue);
  std::string message;
  EXPECT_EQ(Error(&message), kBadValue);
  EXPECT_EQ(message.substr(0, 31), "Unable to read from data file: ");
}

TEST_F(RunControlTest, AFullDiskEndsTheRunWithTheReportWriteMessage) {
  std::string text = test::ReadFile(Control("1 1 20\n"));
  text.replace(text.find(dir.Path("em.out")), dir.Path("em.out").size(), "/dev/full");
  const std::string path = dir.Write("full.cnt", text);
  EXPECT_EQ(RunToEnd(true, path), ENOSPC);
  std::string message;
  EXPECT_EQ(Error(&message), ENOSPC);
  EXPECT_EQ(input::TrimRight(message),
            "Unable to write to output file: /dev/full; Please make sure that this is a valid file "
            "path and name, and that the file is available for writing.");
}

TEST_F(RunControlTest, StartValuesThatDoNotSumToOneStopTheRunWithTheirCount) {
  // Delta 0.5 0.4 and both tau rows of the only class summing to 0.9: three failing rows.
  std::string text = test::ReadFile(Control("1 1 20\n"));
  text.replace(text.find("0.5 0.5\n0.5 0.5 0.5 0.5\n"), 24, "0.5 0.4\n0.5 0.4 0.5 0.4\n");
  EXPECT_EQ(RunToEnd(true, dir.Write("sums.cnt", text)), 0);
  std::string message;
  EXPECT_EQ(Error(&message), 3);
  EXPECT_EQ(input::TrimRight(message),
            "Starting values do not sum to 1.0 .  Please see output file for details.");
  const std::string report = test::ReadFile(dir.Path("em.out"));
  EXPECT_NE(report.find("                      FOR LATENT CLASS  1\n"
                        "                      OF THE DELTA MATRIX\n"),
            std::string::npos);
  EXPECT_NE(report.find("               FOR ROW  2 LATENT CLASS  1\n"), std::string::npos);
}

TEST_F(RunControlTest, InconsistentRestrictionsStopTheRunWithTheCheckNumber) {
  // Tau rows 1 and 2 tied by code 2 while row 1 fixes 0.5 and row 2 fixes nothing: check 6.
  std::string text = test::ReadFile(Control("1 1 20\n"));
  text.replace(text.find("1 1\n1 1 1 1\n"), 12, "1 1\n2 0 2 1\n");
  EXPECT_EQ(RunToEnd(true, dir.Write("codes.cnt", text)), 0);
  std::string message;
  EXPECT_EQ(Error(&message), 6);
  EXPECT_EQ(input::TrimRight(message),
            "One or more parameter restrictions was not appropriate.  Please see output file for "
            "details.");
  EXPECT_NE(test::ReadFile(dir.Path("em.out")).find(" *** ERROR: TAU CONSTRAINTS ***"),
            std::string::npos);
}

TEST_F(RunControlTest, ACompleteRunLeavesAReportFromHeaderToRunEnd) {
  EXPECT_EQ(RunToEnd(true, Control("1 1 20\n2 2 5\n")), 1);
  const std::vector<std::string> lines = test::ReadLines(dir.Path("em.out"));
  ASSERT_GT(lines.size(), 20u);
  EXPECT_EQ(lines[0].substr(0, 27), " PROGRAM VERSION: 3.1.0 REL");
  EXPECT_EQ(lines[lines.size() - 2].substr(0, 19), " PROGRAM FINISHED: ");
  EXPECT_EQ(lines.back().substr(0, 15), " ELAPSED TIME: ");
  const std::string report = test::ReadFile(dir.Path("em.out"));
  EXPECT_NE(report.find(" NUMBER OF SUBJECTS                         25\n"), std::string::npos);
  EXPECT_NE(report.find(" THE FOLLOWING PARAMETER RESTRICTIONS HAVE BEEN SPECIFIED"), std::string::npos);
  EXPECT_NE(report.find("START VALUES"), std::string::npos);
}

// Holds the worker at the start of its first iteration until the test lets it go on.
std::binary_semaphore g_atFirstIteration{0};
std::binary_semaphore g_goOn{0};

void HoldAtFirstIteration(std::int32_t iteration) {
  if (iteration != 1) return;
  g_atFirstIteration.release();
  g_goOn.acquire();
}

TEST_F(RunControlTest, AStartWhileAJobLivesIsRefusedAndLeavesTheJobAlone) {
  struct Case {
    const char* name;
    bool liveJobRunning;  // else it still waits to be resumed
  };
  const std::string own = Control("1 1 20\n1 2 10\n2 2 5\n");
  // Had the second start's path reached the live worker, its run would fail on this missing file
  // and write no report.
  const std::string other = PathField(dir.Path("other.cnt"));
  for (const Case& c : {Case{"suspended", false}, Case{"running", true}}) {
    SCOPED_TRACE(c.name);
    ResetStatusForTesting();
    std::filesystem::remove(dir.Path("em.out"));
    if (c.liveJobRunning) SetProgressObserverForTesting(HoldAtFirstIteration);
    const kovos::Handle thread = lRunKovEM(PathField(own).c_str(), 300);
    ASSERT_NE(thread, 0);
    if (c.liveJobRunning) {
      ASSERT_TRUE(kovos::ResumeThread(thread));
      g_atFirstIteration.acquire();
    }
    ASSERT_NE(lAbortRun(), 0);

    for (const bool em : {true, false}) {
      EXPECT_EQ(em ? lRunKovEM(other.c_str(), 300) : lRunKovDA(other.c_str(), 300), 0);
      std::string message;
      EXPECT_EQ(Error(&message), kJobAlreadyRunning);
      EXPECT_EQ(input::TrimRight(message),
                "A run is already in progress in this engine. Wait for it to finish, or abort it, "
                "before starting another.");
    }
    EXPECT_TRUE(AbortRequested());
    EXPECT_EQ(lCurrentlyRunning(), 1);

    if (c.liveJobRunning) g_goOn.release();
    ASSERT_TRUE(kovos::ResumeThread(thread));
    ASSERT_EQ(kovos::WaitForHandle(thread, 60'000), kovos::kWaitSignalled);
    kovos::CloseHandle(thread);
    EXPECT_TRUE(std::filesystem::exists(dir.Path("em.out")));
    EXPECT_EQ(lCurrentlyRunning(), 0);
  }
}

TEST_F(RunControlTest, AWorkerClosedBeforeItWasResumedFreesTheEngine) {
  const std::string path = Control("1 1 20\n");
  const kovos::Handle thread = lRunKovEM(PathField(path).c_str(), 300);
  ASSERT_NE(thread, 0);
  ASSERT_TRUE(kovos::CloseHandle(thread));
  EXPECT_EQ(lCurrentlyRunning(), 0);
  std::int16_t running = -1;
  lGetIteration(nullptr, nullptr, &running);
  EXPECT_EQ(running, 0);
  EXPECT_EQ(lClean(), 1);
  EXPECT_EQ(RunToEnd(true, path), 1);
}

TEST_F(RunControlTest, ErrorMessagesAreCutAtTheirFieldAndTheLastOneWins) {
  SetEngineError(7, std::string(1500, 'a') + "tail");
  std::string message;
  EXPECT_EQ(Error(&message), 7);
  EXPECT_EQ(message, std::string(1024, 'a'));
  SetEngineError(3, "short");
  EXPECT_EQ(Error(&message), 3);
  EXPECT_EQ(message, "short" + std::string(1019, ' '));
}

TEST_F(RunControlTest, ProgressIsPublishedForThePoller) {
  PublishProgress(12, 0.0025);
  std::int32_t iteration = 0;
  double criterion = 0.0;
  std::int16_t running = -1;
  EXPECT_EQ(lGetIteration(&iteration, &criterion, &running), 0);
  EXPECT_EQ(iteration, 12);
  EXPECT_EQ(criterion, 0.0025);
  EXPECT_FALSE(AbortRequested());
  EXPECT_NE(lAbortRun(), 0);
  EXPECT_TRUE(AbortRequested());
}

}  // namespace
}  // namespace kov::run
