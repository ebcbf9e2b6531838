// Expected records are typed by hand from the layout: every response in 2 columns and a blank,
// two blanks, the latent values counted from 1 (class alone: 3 columns and two blanks; statuses
// of occasions 1 to 5, or to the last beyond 5, or the class and then those statuses: 3 columns
// and a blank each, 1 past the model's last occasion), then the count in 8 columns.
#include "da/imputed_data_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/status_record.h"
#include "temp_files.h"

namespace kov::da {
namespace {

using input::ModelDimensions;
using Lines = std::vector<std::string>;

ModelDimensions Dims(int classes, int classItems, int statuses, int statusItems, int occasions) {
  ModelDimensions d;
  d.classes = classes;
  d.classItems = classItems;
  d.statuses = statuses;
  d.statusItems = statusItems;
  d.occasions = occasions;
  return d;
}

struct Drawn {
  std::int32_t pattern, latentClass;
  std::vector<std::int32_t> statuses;  // 0-based, one per occasion; none without status items
  double count;
};

// Completed data of patterns of `itemCount` responses, records as drawn.
CompletedData Completed(std::int32_t itemCount, std::vector<std::int32_t> responses,
                        std::vector<double> frequencies, const std::vector<Drawn>& drawn) {
  CompletedData data;
  data.itemCount = itemCount;
  data.responses = std::move(responses);
  data.frequencies = std::move(frequencies);
  data.occasions = std::max(static_cast<std::int32_t>(drawn[0].statuses.size()), 1);
  for (const Drawn& d : drawn) {
    const std::vector<std::int32_t> statuses =
        d.statuses.empty() ? std::vector<std::int32_t>(1, 0) : d.statuses;
    data.Add(CompletedRecord{d.pattern, d.latentClass, d.count}, statuses.data());
  }
  return data;
}

TEST(ImputedDataFileName, IsTheControlFilesFolderImpAndTheNumber) {
  EXPECT_EQ(ImputedDataFileName("C:\\models\\run1.cnt", 3), "C:\\models\\imp3.dat");
  EXPECT_EQ(ImputedDataFileName("/home/a/run.cnt      ", 12), "/home/a/imp12.dat");
  EXPECT_EQ(ImputedDataFileName("run.cnt", 1), "imp1.dat");
  EXPECT_EQ(ControlFileFolder("a\\b/c.cnt"), "a\\b/");
  EXPECT_EQ(ControlFileFolder("c:/x\\y.cnt"), "c:/x\\");
}

class ImputedDataFile : public ::testing::Test {
 protected:
  void SetUp() override { run::ResetStatusForTesting(); }

  Lines Write(std::int32_t j, const ModelDimensions& d, const CompletedData& data) {
    EXPECT_TRUE(WriteImputedDataFile(j, test::PathField(dir.Path("model.cnt")), d, data).IsOk());
    return test::ReadLines(dir.Path("imp" + std::to_string(j) + ".dat"));
  }

  test::TempDir dir;
};

TEST_F(ImputedDataFile, ClassesOnlyWriteTheClassAndTwoBlanks) {
  // Three class items; pattern 1 2 1 has 2 subjects in class 1 and 3 in class 2, pattern
  // 2 2 2 has 12 in class 2.
  const CompletedData data =
      Completed(3, {1, 2, 1, 2, 2, 2}, {5, 12}, {{0, 0, {}, 2}, {0, 1, {}, 3}, {1, 1, {}, 12}});
  const Lines expected = {
      //        1         2
      // 3456789012345678901234
      " 1  2  1     1         2",
      " 1  2  1     2         3",
      " 2  2  2     2        12",
  };
  EXPECT_EQ(Write(1, Dims(2, 3, 1, 0, 0), data), expected);
  // The next imputation goes beside it.
  EXPECT_EQ(Write(2, Dims(2, 3, 1, 0, 0), data), expected);
  EXPECT_TRUE(std::filesystem::exists(dir.Path("imp1.dat")));
}

TEST_F(ImputedDataFile, StatusesOnlyWriteFiveOccasionsWithOnePastTheLast) {
  // One status item at three occasions; statuses 3, 1, 2 (0-based 2, 0, 1), occasions 4 and 5
  // written as 1.
  const CompletedData data = Completed(3, {2, 1, 10}, {14}, {{0, 0, {2, 0, 1}, 14}});
  const Lines expected = {
      //        1         2         3         4
      // 3456789012345678901234567890123456789
      " 2  1 10     3   1   2   1   1       14",
  };
  EXPECT_EQ(Write(2, Dims(1, 0, 3, 1, 3), data), expected);
}

TEST_F(ImputedDataFile, BothVariablesWriteTheClassThenTheStatuses) {
  // One class item and one status item at two occasions: class 2, statuses 2 and 1.
  const CompletedData data = Completed(3, {1, 2, 1}, {7}, {{0, 1, {1, 0}, 7}});
  const Lines expected = {
      //        1         2         3         4
      // 34567890123456789012345678901234567890123
      " 1  2  1     2   2   1   1   1   1        7",
  };
  EXPECT_EQ(Write(1, Dims(2, 1, 2, 1, 2), data), expected);
}

// Past five occasions every occasion has its column: statuses alone at seven occasions (one
// status item; statuses 2 1 3 3 1 2 1), and a class with six occasions (one class item and one
// status item; class 1, statuses 1 1 2 2 2 1).
TEST_F(ImputedDataFile, LongerPanelsWriteAStatusColumnPerOccasion) {
  struct Case {
    ModelDimensions dims;
    CompletedData data;
    std::string line;
  };
  const Case cases[] = {
      {Dims(1, 0, 3, 1, 7),
       Completed(7, {1, 2, 3, 3, 1, 2, 1}, {5}, {{0, 0, {1, 0, 2, 2, 0, 1, 0}, 5}}),
       " 1  2  3  3  1  2  1     2   1   3   3   1   2   1        5"},
      {Dims(2, 1, 2, 1, 6),
       Completed(7, {2, 1, 1, 2, 2, 1, 2}, {12}, {{0, 0, {0, 0, 1, 1, 1, 0}, 12}}),
       " 2  1  1  2  2  1  2     1   1   1   2   2   2   1       12"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Write(1, c.dims, c.data), Lines{c.line});
  }
}

TEST_F(ImputedDataFile, AnUnwritableFolderNamesTheFolderInTheMessage) {
  const CompletedData data = Completed(1, {1}, {1}, {{0, 0, {}, 1}});
  const std::string folder = dir.Path("missing") + "/";
  const Status failure = WriteImputedDataFile(1, folder + "model.cnt", Dims(1, 1, 1, 0, 0), data);
  EXPECT_EQ(failure.Code(), ENOENT);
  EXPECT_EQ(failure.Message(),
            "The DA routine was unable to open or write to one or more imputed data files.  "
            "Please make sure that the folder, " + folder + ", is available for writing.");
}

}  // namespace
}  // namespace kov::da
