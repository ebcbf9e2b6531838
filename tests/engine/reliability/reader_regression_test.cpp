// Inputs that the fuzz targets (or a reading of the readers guided by them) showed to break a
// reader, each kept as the test that failed before its mend.
#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <string>

#include "base/result_codes.h"
#include "base/status_record.h"
#include "input/control_file.h"
#include "input/estimates_writer.h"
#include "input/model.h"
#include "job.h"

namespace kov::reliability {
namespace {

class ReaderRegressionTest : public ::testing::Test {
 protected:
  void SetUp() override { run::ResetStatusForTesting(); }

  Status ReadControl(const std::string& text) {
    path = dir.Write("job.cnt", text);
    return input::ReadControlFile(test::PathField(path), &model);
  }

  test::TempDir dir;
  std::string path;
  input::Model model;
};

TEST_F(ReaderRegressionTest, HugeOccasionCountWithoutStatusItemsIsRefusedWithoutOverflow) {
  // Without status items the occasions are not bounded by five, yet the extra transition rows
  // (T - 2) x S^order are still counted from them: 9998 x 1000^5 is beyond 64 bits, and the
  // product overflowed before it could be compared with the limit.
  const Status read = ReadControl("1000 1000 1 0 10000 5 0 0 0\n'x.dat' ''\n");
  EXPECT_EQ(read.Code(), kModelTooLarge);
  EXPECT_EQ(read.Message(), "Unable to read common model information from control file: " + path +
                                "; The tau parameters would take more than 16777216 values, over "
                                "the limit of 16777216 in one parameter array.");
}

TEST_F(ReaderRegressionTest, HugeProcessOrderWithOneStatusIsCountedAtOnce) {
  // 1^order is 1 whatever the order, but the power was taken one multiplication at a time: an
  // order of 2^31 - 1 kept the reader busy for seconds. The reader takes microseconds here; one
  // second leaves room for any sanitizer and any load.
  const auto start = std::chrono::steady_clock::now();
  const Status read = ReadControl("1 1 1 0 5 2147483647 0 0 0\n'x.dat' ''\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  // The dimensions passed: the file ends where the EM information should be.
  EXPECT_EQ(read.Code(), kEndOfFile);
  EXPECT_TRUE(
      read.Message().starts_with("Unable to read EM model information from control file: "));
}

TEST_F(ReaderRegressionTest, EstimatesFileReadsBackEveryValueItsWriterWrites) {
  // The writer puts every value in fixed-point form with 16 decimals, so a large one takes up to
  // 309 digits before the point; the reader refused any number longer than 64 characters.
  // Whole numbers are written with all their digits, so they must read back exactly.
  input::ModelDimensions dims;
  dims.classes = 3;
  dims.classItems = 1;
  dims.maxClassCategories = 1;
  input::ParameterSet written;
  input::AllocateParameters(dims, &written);
  written.gamma = {2.2e61, std::numeric_limits<double>::max(), 0.25};
  written.littleRho = {1.0, 1.0, 1.0};
  const std::string file = dir.Path("large.est");
  {
    input::TextOutput out;
    ASSERT_EQ(out.Create(file), 0);
    ASSERT_EQ(input::WriteParameterEstimates(dims, written, 7, input::kEstimatesFileFormat, out), 0);
    ASSERT_EQ(out.Close(), 0);
  }
  input::ParameterSet read;
  input::AllocateParameters(dims, &read);
  std::int32_t iteration = 0;
  const Status loaded = input::ReadStartValuesFile(file, dims, &read, &iteration);
  ASSERT_TRUE(loaded.IsOk()) << loaded.Message();
  EXPECT_EQ(read.gamma, written.gamma);
  EXPECT_EQ(read.littleRho, written.littleRho);
  EXPECT_EQ(iteration, 7);
}

}  // namespace
}  // namespace kov::reliability
