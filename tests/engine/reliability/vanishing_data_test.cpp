// A data file that changes between the counting pass and the loading pass of a run.
//
// The data file is a named pipe, so the test decides exactly when the counting pass ends: a
// writer thread is let in by the counting pass's open, writes the records, and only then removes
// the pipe (or puts a shorter regular file in its place) and closes its end. The counting pass
// reads until that close, so the change is complete before the run opens the data file again.
// Reading a pipe is not what the engine is for (it cannot look ahead for blank lines there and
// miscounts), but every record holds digits only, so the counting pass always reads to the
// end; what matters is what the second opening finds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "job.h"
#include "run/result_codes.h"

namespace kov::reliability {
namespace {

namespace fs = std::filesystem;

// Stouffer and Toby's first records, four items and a frequency each.
constexpr const char* kRecords =
    "1 1 1 1 42\n1 1 1 2 23\n1 1 2 1 6\n1 1 2 2 25\n1 2 1 1 6\n1 2 1 2 24\n1 2 2 1 7\n"
    "1 2 2 2 38\n2 1 1 1 1\n2 1 1 2 4\n2 1 2 1 1\n2 1 2 2 6\n2 2 1 1 2\n2 2 1 2 9\n";

enum class Change { kRemoved, kShortened };

class VanishingDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A pass that stopped reading early must not kill the test through the writer.
    std::signal(SIGPIPE, SIG_IGN);
    data = dir.Path("job.dat");
    ASSERT_EQ(mkfifo(data.c_str(), 0600), 0);
    job.Set(Line::kData, Quoted(data) + " ''");
  }

  // Runs `run` while the writer serves the counting pass and then changes the file.
  template <typename Run>
  std::int32_t RunWhileTheDataChange(Change change, Run run) {
    std::atomic<bool> opened{false};
    std::thread writer([&] {
      const int fd = open(data.c_str(), O_WRONLY);  // waits for the counting pass
      opened = true;
      if (fd < 0) return;
      const std::string records = kRecords;
      EXPECT_EQ(write(fd, records.data(), records.size()), static_cast<ssize_t>(records.size()));
      if (change == Change::kRemoved) {
        EXPECT_EQ(unlink(data.c_str()), 0);
      } else {
        dir.Write("short.dat", "1 1 1 1 42\n");
        EXPECT_EQ(rename(dir.Path("short.dat").c_str(), data.c_str()), 0);
      }
      close(fd);
    });
    const std::int32_t result = run();
    if (!opened) {
      // The run never opened the data: let the writer in so that it can end.
      ADD_FAILURE() << "the counting pass did not open the data file";
      const int fd = open(data.c_str(), O_RDONLY | O_NONBLOCK);
      writer.join();
      if (fd >= 0) close(fd);
    } else {
      writer.join();
    }
    return result;
  }

  void ExpectError(std::int32_t result, std::int32_t code, const std::string& message) {
    EXPECT_EQ(result, code);
    const RecordedError error = LastError();
    EXPECT_EQ(error.code, code);
    EXPECT_EQ(error.message, message);
    EXPECT_TRUE(OpenFilesUnder(dir.Path()).empty());
  }

  std::string OpenMessage() const {
    return "Unable to open data file for reading: " + data +
           ";  Please make sure this is a valid file path and name.";
  }

  test::TempDir dir;
  Job job{"stouffer_toby.cnt", dir};
  std::string data;
};

TEST_F(VanishingDataTest, EmRunWhoseDataVanishAfterCountingEndsWithTheOpenMessage) {
  const std::int32_t result = RunWhileTheDataChange(Change::kRemoved, [&] { return RunEm(job); });
  ExpectError(result, ENOENT, OpenMessage());
  // The data are opened before the report and the estimates file.
  EXPECT_FALSE(fs::exists(dir.Path("em.out")));
  EXPECT_FALSE(fs::exists(dir.Path("em.est")));
}

TEST_F(VanishingDataTest, DaRunWhoseDataVanishAfterCountingEndsWithTheOpenMessage) {
  const std::int32_t result = RunWhileTheDataChange(Change::kRemoved, [&] { return RunDa(job); });
  ExpectError(result, ENOENT, OpenMessage());
  // The report was created before the data were counted; nothing was written to it.
  EXPECT_EQ(test::ReadFile(dir.Path("da.out")), "");
  EXPECT_FALSE(fs::exists(dir.Path("da.ser")));
}

TEST_F(VanishingDataTest, EmRunWhoseDataShrinkAfterCountingEndsWithTheReadMessage) {
  const std::int32_t result = RunWhileTheDataChange(Change::kShortened, [&] { return RunEm(job); });
  // The loading pass finds one record where the counting pass found more.
  ExpectError(result, kTruncatedRecord,
              "Unable to read from data file: " + data +
                  "; Please make sure that this file is properly formatted.");
  // The report holds the header and the checks, in whole lines, and no estimation.
  const std::string report = test::ReadFile(dir.Path("em.out"));
  EXPECT_NE(report.find(" INFORMATION ABOUT THIS JOB:"), std::string::npos);
  EXPECT_EQ(report.find("ITERATION HISTORY"), std::string::npos);
  EXPECT_TRUE(EndsWithWholeLine(dir.Path("em.out")));
}

}  // namespace
}  // namespace kov::reliability
