// Whole EM runs on inputs that the readers must refuse before estimating: each ends with its own
// code and a message that names the file and what is wrong with it.
//
// Some of these inputs once kept a run reading or iterating without end (a pipe or /dev/zero as
// a file, an iteration counter that wrapped), so every run goes in a child process with a time
// limit: a run that hangs fails its case instead of the whole suite.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/result_codes.h"
#include "base/status_record.h"
#include "em/em_driver.h"
#include "job.h"

namespace kov::reliability {
namespace {

const std::string kVerifyFormat =
    "; Please verify that this is a valid file name and path, and that the file is properly "
    "formatted.";

std::string NotARegularFile(const std::string& role, const std::string& name) {
  return "The " + role + " " + name +
         " is not a regular file but a pipe, device or socket, which the engine cannot read to its "
         "end and again; please name a file on disk.";
}

// Stouffer and Toby (two classes, four two-category items) continued from an estimates file:
// gamma, then little rho for each category and class (four values a line), then the iteration.
std::string ContinueFrom(Job& job, const test::TempDir& dir, const std::string& littleRho,
                         const std::string& iteration) {
  const std::string path = dir.Write("start.est", "0.6 0.4\n" + littleRho + " " + iteration + "\n");
  job.Set(Line::kEm, "2 0 1000 0.0000001");
  job.Set(Line::kEmStart, Quoted(path));
  return path;
}

std::string Fifo(const test::TempDir& dir) {
  const std::string path = dir.Path("pipe");
  EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
  return path;
}

struct Refusal {
  std::int32_t code;
  std::string message;
};

// Runs the EM driver on the control file in `field` in a child that has 20 seconds, and expects
// it to record the refusal.
void ExpectRefusal(const std::string& field, const Refusal& expected) {
  EXPECT_EXIT(
      {
        alarm(20);
        run::ResetStatusForTesting();
        em::RunEmDriver(field.c_str(), 300);
        const RecordedError error = LastError();
        const bool refused = error.code == expected.code && error.message == expected.message;
        if (!refused) std::fprintf(stderr, "error %d: %s\n", error.code, error.message.c_str());
        std::_Exit(refused ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ReaderGuardsTest, EmRunRefusesInputsItCannotHold) {
  const struct {
    const char* input;
    Refusal (*prepare)(Job&, const test::TempDir&);
  } cases[] = {
      {"little rho start values (1.5, -0.5)",
       [](Job& job, const test::TempDir& dir) {
         ContinueFrom(job, dir, "1.5 0.8 0.8 0.7\n0.4 0.3 0.2 0.1\n-0.5 0.2 0.2 0.3\n0.6 0.7 0.8 0.9\n",
                      "12");
         return Refusal{1, "Starting values do not sum to 1.0 .  Please see output file for "
                           "details."};
       }},
      {"iteration 2147483647 stored with the start values",
       [](Job& job, const test::TempDir& dir) {
         const std::string path = ContinueFrom(
             job, dir, "0.9 0.8 0.8 0.7\n0.4 0.3 0.2 0.1\n0.1 0.2 0.2 0.3\n0.6 0.7 0.8 0.9\n",
             "2147483647");
         return Refusal{kBadValue,
                        "Unable to read last iteration value from parameter estimates file: " +
                            path + kVerifyFormat};
       }},
      {"frequencies of 1.7e308",
       [](Job& job, const test::TempDir& dir) {
         const std::string data =
             dir.Write("job.dat", "1 1 1 1 42\n1 1 1 2 1.7e308\n1 1 2 1 1.7e308\n");
         job.Set(Line::kData, Quoted(data) + " ''");
         return Refusal{kFrequencyTooLarge,
                        "Unable to read from data file: " + data +
                            "; the frequencies up to line 2 add up to more than 1e15 subjects, "
                            "beyond what the estimation can count."};
       }},
      {"a pipe as data file",
       [](Job& job, const test::TempDir& dir) {
         const std::string data = Fifo(dir);
         job.Set(Line::kData, Quoted(data) + " ''");
         return Refusal{ESPIPE, NotARegularFile("data file", data)};
       }},
      {"/dev/zero as data file",
       [](Job& job, const test::TempDir&) {
         job.Set(Line::kData, "'/dev/zero' ''");
         return Refusal{ESPIPE, NotARegularFile("data file", "/dev/zero")};
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    test::TempDir dir;
    Job job("stouffer_toby.cnt", dir);
    const Refusal refusal = c.prepare(job, dir);
    ExpectRefusal(job.Field(), refusal);
  }
}

TEST(ReaderGuardsTest, EmRunRefusesAControlFileThatIsNoRegularFile) {
  test::TempDir dir;
  for (const std::string& path : {Fifo(dir), std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    ExpectRefusal(test::PathField(path), {ESPIPE, NotARegularFile("control file", path)});
  }
}

}  // namespace
}  // namespace kov::reliability
