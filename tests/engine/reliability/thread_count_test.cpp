// The number of threads changes nothing but the time: every file of an EM and a
// data-augmentation run is the same, byte for byte (the report's clock lines aside), for 1, 2
// and 7 threads.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <string>

#include "base/result_codes.h"
#include "job.h"

namespace kov::reliability {
namespace {

// The report without the lines that carry the clock.
std::string WithoutClock(const std::string& text) {
  std::string kept;
  for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.find("PROGRAM STARTED") != std::string::npos ||
        line.find("PROGRAM FINISHED") != std::string::npos ||
        line.find("ELAPSED TIME") != std::string::npos || line.find("Elapsed time") != std::string::npos) {
      continue;
    }
    kept += line + "\n";
  }
  return kept;
}

TEST(ThreadCountTest, FilesAreTheSameForAnyNumberOfThreads) {
  for (const char* example : {"lta_missing.cnt", "stouffer_toby.cnt"}) {
    std::map<std::string, std::string> reference;
    // One folder for every thread count: the reports name the files they read and write.
    test::TempDir dir;
    Job job(example, dir);
    job.SetDa(2, 2, 17, true);
    for (const char* threads : {"1", "2", "7"}) {
      SCOPED_TRACE(std::string(example) + " on " + threads + " threads");
      setenv("MARNEL_THREADS", threads, 1);
      ASSERT_EQ(RunEm(job), kRunCompleted) << LastError().message;
      ASSERT_EQ(RunDa(job), kRunCompleted) << LastError().message;
      std::map<std::string, std::string> files;
      for (const char* name : {"em.out", "da.out"}) files[name] = WithoutClock(test::ReadFile(dir.Path(name)));
      for (const char* name : {"em.est", "da.ser", "da.ind", "imp1.dat", "imp2.dat", "Details.txt"}) {
        files[name] = test::ReadFile(dir.Path(name));
      }
      if (reference.empty()) {
        reference = files;
        continue;
      }
      for (const auto& [name, content] : files) EXPECT_EQ(content, reference[name]) << name;
    }
  }
  unsetenv("MARNEL_THREADS");
}

}  // namespace
}  // namespace kov::reliability
