// Data-augmentation runs whose process dies without a word (a second interrupt, the end of the
// session, a crash), at moments taken from the run itself: when a file of the run first shows
// in its folder, the imputed data files and Details.txt included. An earlier run's files stand
// there beforehand; after the death each must be that earlier file or the complete file of the
// same run left to finish, never a file cut short.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/status_record.h"
#include "da/da_driver.h"
#include "job.h"

namespace kov::reliability {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

// Many imputations of a small model, one iteration apart: the run spends much of its time
// writing imputed data files.
constexpr int kImputations = 40;

// Name, size and modification time of every entry of the folder.
using Listing = std::map<std::string, std::pair<std::uintmax_t, std::int64_t>>;

Listing List(const std::string& folder) {
  Listing listing;
  for (const auto& entry : fs::directory_iterator(folder)) {
    struct stat info {};
    if (::lstat(entry.path().c_str(), &info) != 0) continue;
    listing[entry.path().filename().string()] = {
        static_cast<std::uintmax_t>(info.st_size),
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
  }
  return listing;
}

// A name of the folder that starts with `prefix`, or the temporary file of one, and is new or no
// longer as it was.
bool Touched(const Listing& before, const Listing& now, const std::string& prefix) {
  for (const auto& [name, state] : now) {
    if (!name.starts_with(prefix) && !name.starts_with("." + prefix)) continue;
    const auto earlier = before.find(name);
    if (earlier == before.end() || earlier->second != state) return true;
  }
  return false;
}

class KilledRunFilesTest : public ::testing::Test {
 protected:
  // The starting values, and the files of the run left to finish (same seed) as the reference.
  void SetUp() override {
    for (Job* job : {&reference, &killed}) {
      job->SetDa(1, kImputations, 17, false);
      ASSERT_EQ(RunEm(*job), kRunCompleted) << LastError().message;
    }
    ASSERT_EQ(RunDa(reference), kRunCompleted) << LastError().message;
    for (const std::string& name : Watched()) complete[name] = ReadFile(referenceDir.Path(name));
  }

  static std::vector<std::string> Watched() {
    std::vector<std::string> names = {"Details.txt", "da.ser"};
    for (int j = 1; j <= kImputations; ++j) names.push_back("imp" + std::to_string(j) + ".dat");
    return names;
  }

  // Starts the run in a child process and kills it as soon as a name of the folder starting
  // with `prefix` appears or changes (or lets it end, should it end first).
  void RunAndKillAt(const std::string& prefix) {
    const std::string field = killed.Field();
    const Listing before = List(dir.Path());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      run::ResetStatusForTesting();
      ::_exit(da::RunDaDriver(field.c_str(), 300) == kRunCompleted ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
      if (Touched(before, List(dir.Path()), prefix)) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        break;
      }
    }
  }

  test::TempDir referenceDir;
  test::TempDir dir;
  Job reference{"substance.cnt", referenceDir};
  Job killed{"substance.cnt", dir};
  std::map<std::string, std::string> complete;
};

TEST_F(KilledRunFilesTest, EachFileIsTheEarlierOneOrTheCompleteNewOne) {
  const std::string middle = "imp" + std::to_string(kImputations / 2) + ".dat";
  const std::string last = "imp" + std::to_string(kImputations) + ".dat";
  const char* const moments[] = {"da.ser", "imp1.dat", middle.c_str(), last.c_str(), "Details.txt"};
  for (int round = 0; round < 3; ++round) {
    for (const char* moment : moments) {
      SCOPED_TRACE(std::string("killed at ") + moment + ", round " + std::to_string(round));
      for (const std::string& name : Watched()) dir.Write(name, "earlier " + name + "\n");
      RunAndKillAt(moment);
      for (const std::string& name : Watched()) {
        const std::string text = ReadFile(dir.Path(name));
        EXPECT_TRUE(text == "earlier " + name + "\n" || text == complete[name])
            << name << " holds " << text.size() << " bytes, the complete file "
            << complete[name].size();
      }
    }
  }
  // A dead process cannot remove its temporary files; a run that writes the same files again
  // sweeps them.
  ASSERT_EQ(RunDa(killed), kRunCompleted) << LastError().message;
  for (const auto& [name, state] : List(dir.Path())) {
    EXPECT_EQ(name.find("marnel-tmp"), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace kov::reliability
