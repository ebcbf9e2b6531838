#include "input/data_file.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "base/engine_status.h"
#include "base/result_codes.h"
#include "base/status_record.h"
#include "temp_files.h"

namespace kov::input {
namespace {

using test::TempDir;

// Two class items with 2 and 3 categories and one status item (2 categories) at two
// occasions: N = 2 + 1 x 2 = 4 responses a record.
Model FourItemModel(bool missingData) {
  Model m;
  m.dims.classItems = 2;
  m.dims.statusItems = 1;
  m.dims.occasions = 2;
  m.classItemCategories = {2, 3};
  m.statusItemCategories = {2};
  m.missingData = missingData;
  return m;
}

class DataFileTest : public ::testing::Test {
 protected:
  void SetUp() override { run::ResetStatusForTesting(); }

  DataLayout Layout(const std::string& text, const std::string& format = "") {
    DataLayout layout;
    layout.path = dir.Write("data.dat", text);
    layout.fixedFormat = !format.empty();
    layout.format = format;
    layout.itemCount = 4;
    return layout;
  }

  // Keeps a pass's message for Message() and gives its code.
  std::int32_t Keep(const Status& status) {
    m_message = status.Message();
    return status.Code();
  }

  // Both passes, as a driver runs them; returns the loading status.
  std::int32_t Load(const DataLayout& layout, const Model& model, PatternTable* table) {
    std::int32_t count = -1;
    double subjects = -1.0;
    countStatus = Keep(CountDataRecords(layout, &count, &subjects));
    countedPatterns = count;
    countedSubjects = subjects;
    DataFileReader reader;
    if (const std::int32_t status = Keep(OpenDataFile(layout, &reader)); status != kStatusOk) {
      return status;
    }
    return Keep(LoadPatterns(reader, model, layout, count, table));
  }

  // The message of the last failing pass.
  const std::string& Message() const { return m_message; }

  TempDir dir;
  std::int32_t countStatus = 0;
  std::int32_t countedPatterns = 0;
  double countedSubjects = 0.0;

 private:
  std::string m_message;
};

TEST_F(DataFileTest, ReadsFreeFieldRecordsSplitOverLinesWithExtrasIgnored) {
  const DataLayout layout = Layout("1 3 2 1 10\n2 1\n 1 2 2.5\n1,2,1,1,4 extra values 9\n\n\n");
  PatternTable table;
  ASSERT_EQ(Load(layout, FourItemModel(false), &table), kStatusOk);
  EXPECT_EQ(countStatus, kStatusOk);
  // Three records; 10 + 2.5 + 4 subjects. Trailing blank lines are no records.
  EXPECT_EQ(countedPatterns, 3);
  EXPECT_DOUBLE_EQ(countedSubjects, 16.5);
  EXPECT_EQ(table.patternCount, 3);
  EXPECT_EQ(table.responses, (std::vector{1, 3, 2, 1, 2, 1, 1, 2, 1, 2, 1, 1}));
  EXPECT_EQ(table.frequencies, (std::vector{10.0, 2.5, 4.0}));
  EXPECT_DOUBLE_EQ(table.subjectCount, 16.5);
}

TEST_F(DataFileTest, KeepsRepeatedPatternsAsSeparateEntries) {
  PatternTable table;
  ASSERT_EQ(Load(Layout("1 1 1 1 3\n1 1 1 1 4\n"), FourItemModel(false), &table), kStatusOk);
  EXPECT_EQ(table.patternCount, 2);
  EXPECT_EQ(table.frequencies, (std::vector{3.0, 4.0}));
}

TEST_F(DataFileTest, AnEmptyFileHasNoPatternsAndNoSubjects) {
  for (const char* text : {"", "\n  \n"}) {
    PatternTable table;
    ASSERT_EQ(Load(Layout(text), FourItemModel(false), &table), kStatusOk);
    EXPECT_EQ(countedPatterns, 0);
    EXPECT_EQ(countedSubjects, 0.0);
    EXPECT_EQ(table.patternCount, 0);
  }
}

TEST_F(DataFileTest, ReadsFixedFormatRecords) {
  struct Case {
    const char* format;
    const char* text;
  };
  // Each file holds the records (1 3 2 1; 12.5) and (2 0 1 2; 3) in a different layout.
  const Case cases[] = {
      {"(4I1,F5.1)", "1321 12.5\n2012   30\n"},
      {"(4I1,1X,F4.0)", "1321 12.5\n2012    3\n"},
      {"(2I1/2I1,T4,F4.1)", "13\n21 12.5\n20\n12   3.\n"},
      {"(2(I1,1X),2I1,F4.1)", "1 3 21 125\n2 0 12  30\n"},
  };
  for (const Case& c : cases) {
    run::ResetStatusForTesting();
    PatternTable table;
    ASSERT_EQ(Load(Layout(c.text, c.format), FourItemModel(true), &table), kStatusOk)
        << c.format << ": " << Message();
    EXPECT_EQ(table.responses, (std::vector{1, 3, 2, 1, 2, 0, 1, 2})) << c.format;
    EXPECT_EQ(table.frequencies, (std::vector{12.5, 3.0})) << c.format;
  }
}

TEST_F(DataFileTest, CountingPassHasItsOwnMessages) {
  DataLayout layout = Layout("1 1 1 1 2\n1 x 1 1 2\n");
  std::int32_t count = 0;
  double subjects = 0.0;
  EXPECT_EQ(Keep(CountDataRecords(layout, &count, &subjects)), kBadValue);
  EXPECT_EQ(Message(), "Error reading data");
  EXPECT_EQ(count, 2);

  layout.path = dir.Path("absent.dat");
  EXPECT_EQ(Keep(CountDataRecords(layout, &count, &subjects)), ENOENT);
  EXPECT_EQ(Message(), "Error Opening Data File");
}

TEST_F(DataFileTest, LoadingPassNamesTheFile) {
  const Model model = FourItemModel(false);
  PatternTable table;
  const DataLayout bad = Layout("1 1 1 1 2\n1 1 A 1 2\n");
  EXPECT_EQ(Load(bad, model, &table), kBadValue);
  EXPECT_EQ(Message(), "Unable to read from data file: " + bad.path +
                           "; Please make sure that this file is properly formatted.");

  DataLayout absent = bad;
  absent.path = dir.Path("absent.dat");
  EXPECT_EQ(Load(absent, model, &table), ENOENT);
  EXPECT_EQ(Message(), "Unable to open data file for reading: " + absent.path +
                           ";  Please make sure this is a valid file path and name.");
}

TEST_F(DataFileTest, RefusesResponsesOutsideTheirItems) {
  const char* files[] = {
      "1 4 1 1 2\n",   // item 2 has 3 categories
      "1 1 1 3 2\n",   // the status item at occasion 2 has 2
      "1 1 0 1 2\n",   // a missing response in data declared complete
      "1 1 1 1 -2\n",  // a negative frequency
  };
  for (const char* text : files) {
    PatternTable table;
    EXPECT_EQ(Load(Layout(text), FourItemModel(false), &table), kBadResponse) << text;
  }
  PatternTable table;
  EXPECT_EQ(Load(Layout("1 1 0 1 2\n"), FourItemModel(true), &table), kStatusOk);
}

TEST_F(DataFileTest, ARecordCutShortByTheEndOfTheFileIsAnError) {
  PatternTable table;
  const DataLayout layout = Layout("1 1 1 1 2\n1 1\n");
  EXPECT_EQ(Load(layout, FourItemModel(false), &table), kTruncatedRecord);
  EXPECT_EQ(countStatus, kTruncatedRecord);
  EXPECT_EQ(Message(), "Unable to read from data file: " + layout.path +
                           "; Please make sure that this file is properly formatted.");
}

TEST_F(DataFileTest, ABadFixedFormatIsAReadFailure) {
  PatternTable table;
  const DataLayout layout = Layout("1111 2\n", "(4I1,F4.");
  EXPECT_EQ(Load(layout, FourItemModel(false), &table), kBadDataFormat);
  EXPECT_EQ(Message(), "Unable to read from data file: " + layout.path +
                           "; Please make sure that this file is properly formatted.");
}

TEST_F(DataFileTest, RefusesFrequenciesWhoseTotalPassesWhatCanBeCounted) {
  // The total may reach 1e15 and not pass it; each case names the line where it does.
  const struct {
    const char* text;
    long line;  // 0: accepted
  } cases[] = {
      {"1 1 1 1 1e15\n", 0},
      {"1 1 1 1 1e15\n1 1 1 1 1\n", 2},
      {"1 1 1 1 2\n1 1 1 1 1.7e308\n1 1 1 1 1.7e308\n", 2},
      {"1 1 1 1 1\n1 1 1 2 1\n\n1 1\n1 1 9e14\n1 1 1 1 9e14\n", 6},
  };
  for (const auto& c : cases) {
    run::ResetStatusForTesting();
    const DataLayout layout = Layout(c.text);
    PatternTable table;
    const std::int32_t expected = c.line == 0 ? kStatusOk : kFrequencyTooLarge;
    EXPECT_EQ(Load(layout, FourItemModel(false), &table), expected) << c.text;
    EXPECT_EQ(countStatus, expected) << c.text;
    if (c.line == 0) continue;
    EXPECT_EQ(Message(), "Unable to read from data file: " + layout.path +
                             "; the frequencies up to line " + std::to_string(c.line) +
                             " add up to more than 1e15 subjects, beyond what the estimation "
                             "can count.");
  }
}

TEST_F(DataFileTest, BothPassesStopAtAnAbortRequest) {
  std::string records;
  for (int i = 0; i < 10000; ++i) records += "1 1 1 1 1\n";
  const DataLayout layout = Layout(records);
  {
    std::lock_guard lock(run::Status().mutex);
    run::Status().abortRequested = run::kTrue16;
  }
  std::int32_t count = 0;
  double subjects = 0.0;
  // The flag is first asked for after 4096 records.
  EXPECT_EQ(Keep(CountDataRecords(layout, &count, &subjects)), kRunAborted);
  EXPECT_EQ(count, 4096);
  const std::string aborted = "The run was aborted while the data file was read.";
  EXPECT_EQ(Message(), aborted);

  DataFileReader reader;
  ASSERT_EQ(Keep(OpenDataFile(layout, &reader)), kStatusOk);
  PatternTable table;
  EXPECT_EQ(Keep(LoadPatterns(reader, FourItemModel(false), layout, 10000, &table)), kRunAborted);
  EXPECT_EQ(Message(), aborted);
}

TEST_F(DataFileTest, ReadsPastAUtf8ByteOrderMark) {
  PatternTable table;
  ASSERT_EQ(Load(Layout("\xEF\xBB\xBF" "1 2 1 2 5\n"), FourItemModel(false), &table), kStatusOk)
      << Message();
  EXPECT_EQ(table.responses, (std::vector{1, 2, 1, 2}));
}

}  // namespace
}  // namespace kov::input
