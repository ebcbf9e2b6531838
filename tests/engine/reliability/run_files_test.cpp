// The files a run claims before it writes anything: no output may replace an input or another
// output, the estimates file changes only when a complete set takes its place, and an output
// that another run is writing is refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "base/result_codes.h"
#include "job.h"

namespace kov::reliability {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

enum class Kind { kEm, kDa };

std::int32_t RunJob(Kind run, const Job& job) { return run == Kind::kEm ? RunEm(job) : RunDa(job); }

// The id of a process that has ended and been reaped: no process runs under it now.
pid_t DeadProcessId() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

// A job of the substance example whose data file is a copy in the job's own folder, so that a
// run that wrongly writes over its inputs destroys nothing but the copy.
struct Folder {
  Folder() { UseData("data.dat"); }

  void UseData(const std::string& name) {
    fs::copy_file(ExamplePath("substance.dat"), dir.Path(name), fs::copy_options::overwrite_existing);
    job.Set(Line::kData, Quoted(dir.Path(name)) + " ''");
  }

  // Every file of the folder with its content.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
      if (entry.is_regular_file()) files[entry.path().filename()] = ReadFile(entry.path());
    }
    return files;
  }

  test::TempDir dir;
  Job job{"substance.cnt", dir};
};

class RunFilesTest : public ::testing::Test, protected Folder {};

TEST_F(RunFilesTest, TwoRolesNamingOneFileAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    const char* what;
    Kind run;
    std::function<void(Folder&)> arrange;
    const char* first;
    const char* second;
    const char* path;  // in the test's folder
  };
  const auto set = [](Line line, const char* name) {
    return [line, name](Folder& t) { t.job.Set(line, Quoted(t.dir.Path(name))); };
  };
  const Case cases[] = {
      {"EM report = data", Kind::kEm, set(Line::kEmOutput, "data.dat"), "data file", "output file",
       "data.dat"},
      {"estimates = data", Kind::kEm, set(Line::kEmEstimates, "data.dat"), "data file",
       "parameter estimates file", "data.dat"},
      {"EM report = control", Kind::kEm, set(Line::kEmOutput, "job.cnt"), "control file",
       "output file", "job.cnt"},
      {"estimates = control", Kind::kEm, set(Line::kEmEstimates, "job.cnt"), "control file",
       "parameter estimates file", "job.cnt"},
      {"estimates = EM report", Kind::kEm, set(Line::kEmEstimates, "em.out"), "output file",
       "parameter estimates file", "em.out"},
      {"EM report through a link to the data", Kind::kEm,
       [](Folder& t) {
         fs::create_symlink(t.dir.Path("data.dat"), t.dir.Path("link.out"));
         t.job.Set(Line::kEmOutput, Quoted(t.dir.Path("link.out")));
       },
       "data file", "output file", "data.dat"},
      {"DA report = data", Kind::kDa, set(Line::kDaOutput, "data.dat"), "data file",
       "DA output file", "data.dat"},
      {"DA report = starting values", Kind::kDa, set(Line::kDaOutput, "em.est"),
       "starting values file", "DA output file", "em.est"},
      {"series = starting values", Kind::kDa, set(Line::kDaSeries, "em.est"),
       "starting values file", "DA series file", "em.est"},
      {"data named as an imputed data file", Kind::kDa, [](Folder& t) { t.UseData("imp1.dat"); },
       "data file", "imputed data file", "imp1.dat"},
      {"control file named as the details file", Kind::kDa,
       [](Folder& t) { t.job.NameControlFile("Details.txt"); }, "control file",
       "imputation details file", "Details.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Folder f;
    f.dir.Write("em.est", "starting values of an earlier run\n");
    c.arrange(f);
    f.job.Field();  // the control file exists before the run, as it would for a user
    const auto before = f.Snapshot();
    EXPECT_EQ(RunJob(c.run, f.job), kFileRoleClash);
    EXPECT_EQ(LastError().message,
              std::string("The ") + c.first + " and the " + c.second + " are the same file: " +
                  fs::weakly_canonical(f.dir.Path(c.path)).string() +
                  ";  Please give every file of the run a name of its own.");
    EXPECT_EQ(f.Snapshot(), before);
  }
}

TEST_F(RunFilesTest, EstimatesFileChangesOnlyWhenACompleteSetReplacesIt) {
  struct Case {
    const char* what;
    std::function<void(Folder&)> arrange;
    std::int32_t result;
  };
  const Case cases[] = {
      // Without a restrictions section the start values are read from where it stands.
      {"start values refused", [](Folder& t) { t.job.Set(Line::kEm, "1 1 0 0.000001"); }, 0},
      {"data refused after the outputs were opened",
       [](Folder& t) { t.dir.Write("data.dat", "1 1 1 1 1 1 1 1 9 1\n"); }, kBadResponse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UseData("data.dat");
    job.Set(Line::kEm, "1 1 500 0.000001");
    dir.Write("em.est", "estimates of an earlier run\n");
    c.arrange(*this);
    EXPECT_EQ(RunEm(job), c.result) << LastError().message;
    EXPECT_EQ(ReadFile(dir.Path("em.est")), "estimates of an earlier run\n");
    for (const auto& [name, content] : Snapshot())
      EXPECT_EQ(name.find("marnel-tmp"), std::string::npos);
  }
}

TEST_F(RunFilesTest, FailedRunLeavesNoResultsFileAndAnOlderOneAsItWas) {
  struct Case {
    const char* what;
    std::function<void(Folder&)> arrange;
  };
  const Case cases[] = {
      {"start values refused", [](Folder& t) { t.job.Set(Line::kEm, "1 1 0 0.000001"); }},
      {"data refused after the outputs were opened",
       [](Folder& t) { t.dir.Write("data.dat", "1 1 1 1 1 1 1 1 9 1\n"); }},
      {"estimates on a full disk", [](Folder& t) { t.job.Set(Line::kEmEstimates, "'/dev/full'"); }},
  };
  for (const Case& c : cases) {
    for (const bool older : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (older ? ", older results" : ", no older results"));
      Folder f;
      if (older) f.dir.Write("em.json", "results of an earlier run\n");
      c.arrange(f);
      EXPECT_NE(RunEm(f.job), kRunCompleted);
      const auto files = f.Snapshot();
      if (older) {
        EXPECT_EQ(ReadFile(f.dir.Path("em.json")), "results of an earlier run\n");
      } else {
        EXPECT_EQ(files.count("em.json"), 0u);
      }
      for (const auto& [name, content] : files)
        EXPECT_EQ(name.find("marnel-tmp"), std::string::npos) << name;
    }
  }
  // The same job run to its end writes the results file beside its report.
  ASSERT_EQ(RunEm(job), kRunCompleted) << LastError().message;
  EXPECT_NE(ReadFile(dir.Path("em.json")).find("\"loglik\""), std::string::npos);
}

TEST_F(RunFilesTest, ContinuedRunWritesItsEstimatesOverItsStartingValues) {
  ASSERT_EQ(RunEm(job), kRunCompleted) << LastError().message;
  const std::string first = ReadFile(dir.Path("em.est"));
  job.Set(Line::kEm, "2 1 500 0.000001");
  job.Set(Line::kEmStart, Quoted(dir.Path("em.est")));
  ASSERT_EQ(RunEm(job), kRunCompleted) << LastError().message;
  const std::string second = ReadFile(dir.Path("em.est"));
  EXPECT_FALSE(second.empty());
  EXPECT_NE(second, first);  // the iteration numbers go on
  // Data, control file, report, estimates, results: nothing left over.
  EXPECT_EQ(Snapshot().size(), 5u);
}

TEST_F(RunFilesTest, OutputLockedByAnotherRunIsRefusedAndLeftAlone) {
  ASSERT_EQ(RunEm(job), kRunCompleted) << LastError().message;
  struct Case {
    Kind run;
    const char* name;
    const char* role;
  };
  const Case cases[] = {{Kind::kEm, "em.out", "output file"},
                        {Kind::kEm, "em.est", "parameter estimates file"},
                        {Kind::kDa, "da.ser", "DA series file"},
                        {Kind::kDa, "Details.txt", "imputation details file"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Path(c.name);
    const std::string content = "written by another run\n";
    dir.Write(c.name, content);
    const int other = ::open(path.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(RunJob(c.run, job), kOutputInUse);
    EXPECT_EQ(LastError().message,
              "The " + std::string(c.role) + " " + path +
                  " is being written by another run at this moment;  Please wait until that run "
                  "ends, or choose another name.");
    EXPECT_EQ(ReadFile(path), content);
    ::close(other);
    // Once the other run has let go, the same job runs.
    EXPECT_EQ(RunJob(c.run, job), kRunCompleted) << LastError().message;
  }
  // A device is no file on disk: another writer of /dev/null does not hold a run back.
  const int devNull = ::open("/dev/null", O_RDONLY);
  ASSERT_EQ(::flock(devNull, LOCK_EX | LOCK_NB), 0);
  job.Set(Line::kDaSeries, "'/dev/null'");
  EXPECT_EQ(RunDa(job), kRunCompleted) << LastError().message;
  ::close(devNull);
}

TEST_F(RunFilesTest, RunThatFailsBeforeWritingLeavesNoEmptyFiles) {
  fs::remove(dir.Path("data.dat"));
  job.Field();
  for (Kind run : {Kind::kEm, Kind::kDa}) EXPECT_NE(RunJob(run, job), kRunCompleted);
  EXPECT_EQ(Snapshot().size(), 1u);  // the control file
}

// The temporary estimates file of a killed run goes at the next run that writes the estimates;
// one of a process that still runs, another file's and a user's file of a like name stay.
TEST_F(RunFilesTest, TemporaryFilesOfKilledWritersAreSweptAtTheNextWriteOfTheirFile) {
  const std::string dead = std::to_string(DeadProcessId());
  const std::string alive = std::to_string(::getpid());
  struct Case {
    std::string name;
    bool kept;
  };
  const Case cases[] = {
      {".em.est.marnel-tmp-" + dead + "-0", false},
      {".em.est.marnel-tmp-" + alive + "-999", true},
      {".da.ser.marnel-tmp-" + dead + "-0", true},
      {".em.est.marnel-tmp-" + dead + "-draft", true},
      {"em.est.notes", true},
  };
  for (const Case& c : cases) dir.Write(c.name, "left behind\n");
  ASSERT_EQ(RunEm(job), kRunCompleted) << LastError().message;
  for (const Case& c : cases) EXPECT_EQ(fs::exists(dir.Path(c.name)), c.kept) << c.name;
}

}  // namespace
}  // namespace kov::reliability
