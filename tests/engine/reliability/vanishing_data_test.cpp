// A data file that changes between the counting pass and the loading pass of a run: removed, or
// replaced by a shorter file. The loading pass must fail with its own message instead of taking
// stale or missing records for data. (A pipe, which could change between the passes while the
// run goes on, is refused as a data file before either pass.)
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "base/result_codes.h"
#include "base/status_record.h"
#include "input/control_file.h"
#include "input/data_file.h"
#include "job.h"

namespace kov::reliability {
namespace {

namespace fs = std::filesystem;

// Stouffer and Toby's first records, four items and a frequency each.
constexpr const char* kRecords =
    "1 1 1 1 42\n1 1 1 2 23\n1 1 2 1 6\n1 1 2 2 25\n1 2 1 1 6\n1 2 1 2 24\n1 2 2 1 7\n"
    "1 2 2 2 38\n2 1 1 1 1\n2 1 1 2 4\n2 1 2 1 1\n2 1 2 2 6\n2 2 1 1 2\n2 2 1 2 9\n";

TEST(VanishingDataTest, DataChangedAfterCountingFailTheLoadingPassWithItsMessage) {
  struct Case {
    const char* what;
    void (*change)(const test::TempDir& dir, const std::string& data);
    std::int32_t code;
    const char* prefix;
    const char* suffix;
    bool opens;
  };
  const Case cases[] = {
      {"removed", [](const test::TempDir&, const std::string& data) { fs::remove(data); }, ENOENT,
       "Unable to open data file for reading: ",
       ";  Please make sure this is a valid file path and name.", false},
      {"shortened",
       [](const test::TempDir& dir, const std::string& data) {
         fs::rename(dir.Write("short.dat", "1 1 1 1 42\n"), data);
       },
       kTruncatedRecord, "Unable to read from data file: ",
       "; Please make sure that this file is properly formatted.", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    Job job("stouffer_toby.cnt", dir);
    const std::string data = dir.Write("job.dat", kRecords);
    job.Set(Line::kData, Quoted(data) + " ''");
    run::ResetStatusForTesting();
    input::Model model;
    ASSERT_TRUE(input::ReadControlFile(job.Field(), &model).IsOk());
    const input::DataLayout layout = input::DataLayoutOf(model);
    std::int32_t patterns = 0;
    double subjects = 0.0;
    ASSERT_TRUE(input::CountDataRecords(layout, &patterns, &subjects).IsOk());
    EXPECT_EQ(patterns, 14);

    c.change(dir, data);
    input::DataFileReader reader;
    Status status = input::OpenDataFile(layout, &reader);
    EXPECT_EQ(status.IsOk(), c.opens);
    input::PatternTable table;
    if (status.IsOk()) status = input::LoadPatterns(reader, model, layout, patterns, &table);
    EXPECT_EQ(status.Code(), c.code);
    EXPECT_EQ(status.Message(), c.prefix + data + c.suffix);
  }
}

}  // namespace
}  // namespace kov::reliability
