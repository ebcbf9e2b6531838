// Every file a run writes, made impossible to write in two ways: a folder that cannot hold it
// and a disk that is full. Tests run as root, so permissions cannot refuse anything; instead an
// unwritable place is a path under a regular file (ENOTDIR), or a folder standing where the
// file should be (EISDIR). /dev/full opens and refuses every write with ENOSPC; the imputed data
// files and "Details.txt" go to the control file's folder, so there a symbolic link with their
// name leads to it.
//
// Each case must end the run with its own message and the status of the failed operation, close
// every file, and leave whatever was written before the failure whole: the files of a clean run
// of the same job (same seed) are the reference, and every line written before the failure must
// be the line the clean run wrote there.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "job.h"

namespace kov::reliability {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ReadLines;

const char* const kDaFiles[] = {"da.out", "da.ser", "da.ind", "imp1.dat", "imp2.dat", "Details.txt"};

class OutputFailureTest : public ::testing::Test {
 protected:
  // A regular file: any path under it names a folder that cannot exist.
  std::string Unwritable(const std::string& name) {
    dir.Write("plain", "not a folder\n");
    return dir.Path("plain/" + name);
  }

  // The clean EM run of the job writes em.est, the starting values of every DA run below; the
  // clean DA run (two imputations three iterations apart, seed 5, individual estimates) is the
  // reference for what a failing run writes before its failure.
  void RunCleanJobs() {
    job.SetDa(3, 2, 5, true);
    ASSERT_EQ(RunEm(job), kRunCompleted) << LastError().message;
    cleanEm = ReadLines(dir.Path("em.out"));
    ASSERT_EQ(RunDa(job), kRunCompleted) << LastError().message;
    for (const char* name : kDaFiles) clean[name] = ReadFile(dir.Path(name));
    RemoveDaFiles();
  }

  void RemoveDaFiles() {
    for (const char* name : kDaFiles) fs::remove_all(dir.Path(name));
  }

  // The run ended with this code and message and left nothing open in the test's folder.
  void ExpectFailure(std::int32_t result, std::int32_t code, const std::string& message) {
    EXPECT_EQ(result, code);
    const RecordedError error = LastError();
    EXPECT_EQ(error.code, code);
    EXPECT_EQ(error.message, message);
    EXPECT_TRUE(OpenFilesUnder(dir.Path()).empty());
  }

  // The file holds whole lines only, each of them the line the clean run wrote at that place;
  // returns the number of lines. The report's start time differs from run to run, and the
  // header names whichever file was swapped for a failing one.
  std::size_t ExpectCleanPrefix(const std::string& name, const std::vector<std::string>& cleanLines,
                                const std::string& swappedPath = {},
                                const std::string& cleanPath = {}) {
    EXPECT_TRUE(EndsWithWholeLine(dir.Path(name))) << name;
    const std::vector<std::string> lines = ReadLines(dir.Path(name));
    EXPECT_LE(lines.size(), cleanLines.size()) << name;
    for (std::size_t i = 0; i < lines.size() && i < cleanLines.size(); ++i) {
      if (lines[i].starts_with(" PROGRAM STARTED:")) continue;
      const std::string expected =
          !swappedPath.empty() && cleanLines[i] == cleanPath ? swappedPath : cleanLines[i];
      EXPECT_EQ(lines[i], expected) << name << " line " << i + 1;
    }
    return lines.size();
  }

  // The same against the clean DA run's file of that name.
  std::size_t ExpectCleanPrefix(const std::string& name, const std::string& swappedPath = {},
                                const std::string& cleanPath = {}) {
    const std::string& text = clean[name];
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
      end = text.find('\n', start);
      lines.push_back(text.substr(start, end - start));
    }
    return ExpectCleanPrefix(name, lines, swappedPath, cleanPath);
  }

  test::TempDir dir;
  Job job{"substance.cnt", dir};
  std::vector<std::string> cleanEm;
  std::map<std::string, std::string> clean;
};

// ---------------------------------------------------------------------------------------------
// EM: the report and the parameter estimates file

TEST_F(OutputFailureTest, EmReportInAnUnwritableFolderEndsTheRunBeforeAnythingIsWritten) {
  const std::string report = Unwritable("em.out");
  job.Set(Line::kEmOutput, Quoted(report));
  ExpectFailure(RunEm(job), ENOTDIR,
                "Unable to open output file for writing: " + report +
                    ";  Please make sure that this is a valid path and name.");
  // The estimates file is opened after the report: it was never created.
  EXPECT_FALSE(fs::exists(dir.Path("em.est")));
}

TEST_F(OutputFailureTest, EmReportOnAFullDiskEndsTheRunAtItsFirstLine) {
  job.Set(Line::kEmOutput, "'/dev/full'");
  ExpectFailure(RunEm(job), ENOSPC, WriteFailedMessage("/dev/full"));
  // Opened before the first report line, written only at the end.
  EXPECT_EQ(ReadFile(dir.Path("em.est")), "");
}

TEST_F(OutputFailureTest, EstimatesFileInAnUnwritableFolderFailsAtItsOpening) {
  const std::string estimates = Unwritable("em.est");
  job.Set(Line::kEmEstimates, Quoted(estimates));
  ExpectFailure(RunEm(job), ENOTDIR,
                "Unable to open parameter estimates file for reading/writing: " + estimates +
                    ";  Please make sure that this is a valid path and name.");
  // The report was created just before and has nothing in it yet.
  EXPECT_EQ(ReadFile(dir.Path("em.out")), "");
}

TEST_F(OutputFailureTest, EstimatesOnAFullDiskFailAfterTheCompleteReportTables) {
  RunCleanJobs();
  job.Set(Line::kEmEstimates, "'/dev/full'");
  ExpectFailure(RunEm(job), ENOSPC, WriteFailedMessage("/dev/full"));
  // The estimates are written after the final tables: the report is the clean one without its
  // two closing lines.
  const std::size_t lines = ExpectCleanPrefix("em.out", cleanEm, "/dev/full", dir.Path("em.est"));
  EXPECT_EQ(lines, cleanEm.size() - 2);
}

// ---------------------------------------------------------------------------------------------
// Data augmentation: the report, the series, the individual estimates

TEST_F(OutputFailureTest, DaReportInAnUnwritableFolderEndsTheRunBeforeAnyOtherFile) {
  RunCleanJobs();
  const std::string report = Unwritable("da.out");
  job.Set(Line::kDaOutput, Quoted(report));
  ExpectFailure(RunDa(job), ENOTDIR,
                "Unable to open output file for writing: " + report +
                    ";  Please make sure that this is a valid path and name.");
  EXPECT_FALSE(fs::exists(dir.Path("da.ser")));
}

TEST_F(OutputFailureTest, DaReportOnAFullDiskEndsTheRunAtTheJobHeader) {
  RunCleanJobs();
  job.Set(Line::kDaOutput, "'/dev/full'");
  ExpectFailure(RunDa(job), ENOSPC, WriteFailedMessage("/dev/full"));
  // The series was opened and headed before the report's first line.
  EXPECT_EQ(ExpectCleanPrefix("da.ser"), 2u);
}

TEST_F(OutputFailureTest, SeriesInAnUnwritableFolderFailsBeforeTheJobHeader) {
  RunCleanJobs();
  const std::string series = Unwritable("da.ser");
  job.Set(Line::kDaSeries, Quoted(series));
  ExpectFailure(RunDa(job), ENOTDIR,
                "Unable to open the following DA series file for writing: " + series +
                    "; Please make sure that this is a valid file path and name, and that the file "
                    "is available for writing.");
  EXPECT_EQ(ReadFile(dir.Path("da.out")), "");
}

TEST_F(OutputFailureTest, SeriesOnAFullDiskEndsTheRunAtItsHeader) {
  // A series cut short would pass in the viewer for a chain that stopped early.
  RunCleanJobs();
  job.Set(Line::kDaSeries, "'/dev/full'");
  ExpectFailure(RunDa(job), ENOSPC, WriteFailedMessage("/dev/full"));
  // The series is headed before the report's first line.
  EXPECT_EQ(ReadFile(dir.Path("da.out")), "");
  EXPECT_FALSE(fs::exists(dir.Path("imp1.dat")));
}

TEST_F(OutputFailureTest, IndividualEstimatesInAnUnwritableFolderFailAtTheirOpening) {
  RunCleanJobs();
  const std::string individual = Unwritable("da.ind");
  job.Set(Line::kDaIndividual, Quoted(individual));
  ExpectFailure(RunDa(job), ENOTDIR,
                "Unable to open the individual parameter estimates file for writing: " + individual +
                    "; Please make sure that this is a valid file path and name, and that the file "
                    "is available for writing.");
  // The header, written just before, names the file.
  EXPECT_GT(ExpectCleanPrefix("da.out", individual, dir.Path("da.ind")), 0u);
}

TEST_F(OutputFailureTest, IndividualEstimatesOnAFullDiskFailAtTheFirstIteration) {
  RunCleanJobs();
  job.Set(Line::kDaIndividual, "'/dev/full'");
  ExpectFailure(RunDa(job), ENOSPC, WriteFailedMessage("/dev/full"));
  ExpectCleanPrefix("da.out", "/dev/full", dir.Path("da.ind"));
  // Iteration 1 failed before its series row.
  EXPECT_EQ(ExpectCleanPrefix("da.ser"), 2u);
  EXPECT_FALSE(fs::exists(dir.Path("imp1.dat")));
}

// ---------------------------------------------------------------------------------------------
// Data augmentation: the imputed data files and "Details.txt" in the control file's folder

TEST_F(OutputFailureTest, SecondImputedDataFileThatCannotBeCreatedEndsTheRunAtIterationSix) {
  RunCleanJobs();
  fs::create_directory(dir.Path("imp2.dat"));
  ExpectFailure(RunDa(job), EISDIR,
                "The DA routine was unable to open or write to one or more imputed data files.  "
                "Please make sure that the folder, " + dir.Path() + "/, is available for writing.");
  EXPECT_EQ(ReadFile(dir.Path("imp1.dat")), clean["imp1.dat"]);
  // Iterations 1 to 5 wrote their rows; the sixth failed at its imputation.
  EXPECT_EQ(ExpectCleanPrefix("da.ser"), 7u);
  ExpectCleanPrefix("da.out");
  EXPECT_FALSE(fs::exists(dir.Path("Details.txt")));
}

TEST_F(OutputFailureTest, SecondImputedDataFileOnAFullDiskEndsTheRunAtIterationSix) {
  RunCleanJobs();
  fs::create_symlink("/dev/full", dir.Path("imp2.dat"));
  ExpectFailure(RunDa(job), ENOSPC,
                "The DA routine was unable to open or write to one or more imputed data files.  "
                "Please make sure that the folder, " + dir.Path() + "/, is available for writing.");
  EXPECT_EQ(ReadFile(dir.Path("imp1.dat")), clean["imp1.dat"]);
  EXPECT_EQ(ExpectCleanPrefix("da.ser"), 7u);
  ExpectCleanPrefix("da.out");
}

TEST_F(OutputFailureTest, DetailsFileThatCannotBeCreatedEndsTheRunAfterTheWholeChain) {
  RunCleanJobs();
  fs::create_directory(dir.Path("Details.txt"));
  ExpectFailure(RunDa(job), EISDIR,
                "Unable to open imputation details text file: " + dir.Path("Details.txt") +
                    "; Please verify that this path exists and is writable.");
  for (const char* name : {"da.ser", "da.ind", "imp1.dat", "imp2.dat"}) {
    EXPECT_EQ(ReadFile(dir.Path(name)), clean[name]) << name;
  }
  // The report stops before the final blocks.
  const std::size_t lines = ExpectCleanPrefix("da.out");
  const std::vector<std::string> report = ReadLines(dir.Path("da.out"));
  for (const std::string& line : report) EXPECT_EQ(line.find("Based on Data Augmentation"), std::string::npos);
  EXPECT_GT(lines, 0u);
}

TEST_F(OutputFailureTest, DetailsFileOnAFullDiskEndsTheRunWithTheWriteMessage) {
  RunCleanJobs();
  fs::create_symlink("/dev/full", dir.Path("Details.txt"));
  ExpectFailure(RunDa(job), ENOSPC,
                "Unable to write to imputation details text file: " + dir.Path("Details.txt") +
                    "; Please verify that this path exists and is writable.");
  for (const char* name : {"da.ser", "da.ind", "imp1.dat", "imp2.dat"}) {
    EXPECT_EQ(ReadFile(dir.Path(name)), clean[name]) << name;
  }
  ExpectCleanPrefix("da.out");
}

}  // namespace
}  // namespace kov::reliability
