// Data augmentation on data that no draw should have to carry: a pattern of more subjects than
// the uniform stream has numbers is refused before the chain, and an abort requested while one
// step draws a pattern of very many subjects ends the run at once instead of after the step.
// Either way the run must end in moments and in bounded memory, where drawing the subjects
// would take minutes and gigabytes.
//
// The substance example has missing responses: its record 1 misses two items (the draw of
// missing responses meets it first), record 10 is complete (only the latent draw meets it).
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/status_record.h"
#include "da/da_driver.h"
#include "job.h"

namespace kov::reliability {
namespace {

using test::ReadLines;

// The example's data with the frequency of record `line` (from 1) replaced.
std::string DataWithFrequency(std::size_t line, const std::string& frequency) {
  std::vector<std::string> lines = ReadLines(ExamplePath("substance.dat"));
  std::string& record = lines.at(line - 1);
  record = record.substr(0, record.find_last_of(' ') + 1) + frequency;
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

void RequestAbort(std::int32_t) {
  std::lock_guard lock(run::Status().mutex);
  run::Status().abortRequested = 1;
}

// RunDa, with an abort requested as the chain publishes its first iteration.
std::int32_t RunDaAbortedAtOnce(const Job& job) {
  run::ResetStatusForTesting();
  run::SetProgressObserverForTesting(RequestAbort);
  const std::string field = job.Field();
  const std::int32_t result = da::RunDaDriver(field.c_str(), 300);
  run::SetProgressObserverForTesting(nullptr);
  return result;
}

class DaGuardsTest : public ::testing::Test {
 protected:
  // EM on the example's own data writes the starting values; DA then reads the altered data.
  void SetUp() override {
    job.SetDa(3, 2, 5, false);
    ASSERT_EQ(RunEm(job), kRunCompleted) << LastError().message;
  }

  void UseData(std::size_t line, const std::string& frequency) {
    job.Set(Line::kData, Quoted(dir.Write("big.dat", DataWithFrequency(line, frequency))) + " ''");
  }

  test::TempDir dir;
  Job job{"substance.cnt", dir};
};

TEST_F(DaGuardsTest, PatternOfMoreSubjectsThanTheStreamHasNumbersIsRefusedBeforeTheChain) {
  struct Case {
    std::size_t line;
    const char* frequency;
  };
  // 2^31 - 1 is one past the stream's period; 1e12 stays below the loader's total limit.
  const Case cases[] = {{1, "2147483647"}, {10, "2147483647"}, {1, "1e12"}, {10, "1e12"}};
  for (const Case& c : cases) {
    SCOPED_TRACE("record " + std::to_string(c.line) + ", frequency " + c.frequency);
    UseData(c.line, c.frequency);
    EXPECT_EQ(RunDa(job), kFrequencyTooLarge);
    const RecordedError error = LastError();
    EXPECT_EQ(error.code, kFrequencyTooLarge);
    EXPECT_EQ(error.message,
              "A frequency in the data file is larger than data augmentation can draw (at most "
              "2147483646 subjects a pattern).");
    // The series has its header and no row; nothing was imputed.
    EXPECT_EQ(ReadLines(dir.Path("da.ser")).size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(dir.Path("imp1.dat")));
    EXPECT_TRUE(OpenFilesUnder(dir.Path()).empty());
  }
}

TEST_F(DaGuardsTest, AbortDuringAStepOfManySubjectsEndsTheRunInsideTheStep) {
  for (const std::size_t line : {1u, 10u}) {
    SCOPED_TRACE("record " + std::to_string(line));
    // Within the limit: iteration 1 alone would draw two billion subjects.
    UseData(line, "2000000000");
    ASSERT_EQ(RunDaAbortedAtOnce(job), kRunCompleted) << LastError().message;
    EXPECT_EQ(LastError().code, 0);
    const std::vector<std::string> report = ReadLines(dir.Path("da.out"));
    ASSERT_GE(report.size(), 7u);
    EXPECT_EQ(report[report.size() - 6], "RUN ABORTED");
    EXPECT_EQ(report[report.size() - 5], " DA execution was aborted at iteration:      1 .");
    // Iteration 1 never reached its series row.
    EXPECT_EQ(ReadLines(dir.Path("da.ser")).size(), 2u);
    EXPECT_TRUE(OpenFilesUnder(dir.Path()).empty());
  }
}

}  // namespace
}  // namespace kov::reliability
