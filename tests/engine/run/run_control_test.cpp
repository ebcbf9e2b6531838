#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kov_exports.h"
#include "kovos.h"
#include "run/engine_status.h"
#include "run/result_codes.h"
#include "run/status_record.h"
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
    "'DATA' ''\n"
    "1 0 10 0.0001\n'out.out'\n'..'\n'..'\n"
    "5 2 7 0\n'da.out'\n'start.est'\n'series.ser'\n'..'\n"
    "2\n'S1' 'S2'\n'Item' 'no' 'yes'\n"
    "1 1\n1 1 1 1\n1\n1\n1\n1\n1\n1\n1\n1\n"
    "0.5 0.5\n0.5 0.5 0.5 0.5\n0.9\n0.2\n0.1\n0.8\n";

class RunControlTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetStatusForTesting(); }

  std::string Control(const std::string& dataText) {
    const std::string data = dir.Write("job.dat", dataText);
    std::string text = kControl;
    text.replace(text.find("DATA"), 4, data);
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
