// Every value is a short decimal chosen to encode its indices (for example tau(r, j, c) =
// (1000c + 10r + j) / 10000), so the expected lines are typed by hand: the decimal padded with
// zeros to 16 places and right-aligned in 20 columns, three to a line, each group on new lines.
#include "../../../engine/input/estimates_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../../../engine/base/result_codes.h"

namespace kov::input {
namespace {

using Lines = std::vector<std::string>;

// Writes into a fresh temporary file and reads it back line by line.
class TempFile {
 public:
  TempFile() {
    std::string name = (std::filesystem::temp_directory_path() / "kov_estimates_XXXXXX").string();
    const int fd = mkstemp(name.data());
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    m_path = name;
    EXPECT_EQ(out.Create(m_path), kStatusOk);
  }
  ~TempFile() { std::remove(m_path.c_str()); }

  Lines Read() {
    EXPECT_EQ(out.Close(), kStatusOk);
    std::ifstream file(m_path, std::ios::binary);
    Lines lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }

  TextOutput out;

 private:
  std::string m_path;
};

Lines Write(const ModelDimensions& d, const ParameterSet& p, std::int32_t iteration,
            const NumberFormat& format = kEstimatesFileFormat) {
  TempFile file;
  EXPECT_EQ(WriteParameterEstimates(d, p, iteration, format, file.out), kStatusOk);
  return file.Read();
}

TEST(WriteParameterEstimates, ClassModelWritesGammaThenLittleRhoPerCategoryAndClass) {
  ModelDimensions d;
  d.classes = 4;
  d.classItems = 2;
  d.maxClassCategories = 2;
  ParameterSet p;
  AllocateParameters(d, &p);
  p.gamma = {0.1, 0.2, 0.3, 0.4};
  const MultiIndex<3> at = LittleRhoShape(d);
  for (int k = 0; k < 2; ++k) {
    for (int i = 0; i < 2; ++i) {
      for (int c = 0; c < 4; ++c) {
        p.littleRho[at(k, i, c)] = (100 * (k + 1) + 10 * (i + 1) + c + 1) / 1000.0;
      }
    }
  }
  p.littleRho[at(0, 0, 0)] = 0.1234567890123456;

  EXPECT_EQ(Write(d, p, 17),
            (Lines{"  0.1000000000000000  0.2000000000000000  0.3000000000000000",
                   "  0.4000000000000000",
                   "  0.1234567890123456  0.1210000000000000",
                   "  0.1120000000000000  0.1220000000000000",
                   "  0.1130000000000000  0.1230000000000000",
                   "  0.1140000000000000  0.1240000000000000",
                   "  0.2110000000000000  0.2210000000000000",
                   "  0.2120000000000000  0.2220000000000000",
                   "  0.2130000000000000  0.2230000000000000",
                   "  0.2140000000000000  0.2240000000000000",
                   " 17"}));
}

TEST(WriteParameterEstimates, SecondOrderStatusModelWritesBothTauGroupsPerClass) {
  // S = 2, second order, T = 4: E = 2 x 2^2 = 8 extra rows, R = 10.
  ModelDimensions d;
  d.classes = 2;
  d.statuses = 2;
  d.statusItems = 2;
  d.occasions = 4;
  d.order = 2;
  d.maxStatusCategories = 1;
  d.extraTransitionRows = 8;
  ParameterSet p;
  AllocateParameters(d, &p);
  const MultiIndex<3> deltaAt = DeltaShape(d);
  const MultiIndex<3> tauAt = TauShape(d);
  const MultiIndex<5> rhoAt = BigRhoShape(d);
  for (int c = 0; c < 2; ++c) {
    for (int s = 0; s < 2; ++s) {
      p.delta[deltaAt(c, s, 0)] = (10 * (c + 1) + s + 1) / 100.0;
      for (int t = 1; t < 4; ++t) p.delta[deltaAt(c, s, t)] = 0.9;  // derived, never written
    }
    for (int r = 0; r < 10; ++r) {
      for (int j = 0; j < 2; ++j) {
        p.tau[tauAt(r, j, c)] = (1000 * (c + 1) + 10 * (r + 1) + j + 1) / 10000.0;
      }
    }
    for (int t = 0; t < 4; ++t) {
      for (int s = 0; s < 2; ++s) {
        for (int i = 0; i < 2; ++i) {
          p.bigRho[rhoAt(0, i, s, c, t)] =
              (1000 * (c + 1) + 100 * (t + 1) + 10 * (s + 1) + i + 1) / 10000.0;
        }
      }
    }
  }

  EXPECT_EQ(Write(d, p, 0),
            (Lines{// delta, occasion 1
                   "  0.1100000000000000  0.1200000000000000  0.2100000000000000",
                   "  0.2200000000000000",
                   // class 1: rows 1-2, then rows 3-10
                   "  0.1011000000000000  0.1012000000000000  0.1021000000000000",
                   "  0.1022000000000000",
                   "  0.1031000000000000  0.1032000000000000  0.1041000000000000",
                   "  0.1042000000000000  0.1051000000000000  0.1052000000000000",
                   "  0.1061000000000000  0.1062000000000000  0.1071000000000000",
                   "  0.1072000000000000  0.1081000000000000  0.1082000000000000",
                   "  0.1091000000000000  0.1092000000000000  0.1101000000000000",
                   "  0.1102000000000000",
                   // class 2
                   "  0.2011000000000000  0.2012000000000000  0.2021000000000000",
                   "  0.2022000000000000",
                   "  0.2031000000000000  0.2032000000000000  0.2041000000000000",
                   "  0.2042000000000000  0.2051000000000000  0.2052000000000000",
                   "  0.2061000000000000  0.2062000000000000  0.2071000000000000",
                   "  0.2072000000000000  0.2081000000000000  0.2082000000000000",
                   "  0.2091000000000000  0.2092000000000000  0.2101000000000000",
                   "  0.2102000000000000",
                   // big rho: class, occasion, (one) category, status; items on a line
                   "  0.1111000000000000  0.1112000000000000",
                   "  0.1121000000000000  0.1122000000000000",
                   "  0.1211000000000000  0.1212000000000000",
                   "  0.1221000000000000  0.1222000000000000",
                   "  0.1311000000000000  0.1312000000000000",
                   "  0.1321000000000000  0.1322000000000000",
                   "  0.1411000000000000  0.1412000000000000",
                   "  0.1421000000000000  0.1422000000000000",
                   "  0.2111000000000000  0.2112000000000000",
                   "  0.2121000000000000  0.2122000000000000",
                   "  0.2211000000000000  0.2212000000000000",
                   "  0.2221000000000000  0.2222000000000000",
                   "  0.2311000000000000  0.2312000000000000",
                   "  0.2321000000000000  0.2322000000000000",
                   "  0.2411000000000000  0.2412000000000000",
                   "  0.2421000000000000  0.2422000000000000",
                   " 0"}));
}

TEST(WriteParameterEstimates, OtherFormatsAndValuesWiderThanTheirField) {
  ModelDimensions d;
  d.classes = 3;
  d.classItems = 1;
  d.maxClassCategories = 1;
  ParameterSet p;
  AllocateParameters(d, &p);
  p.gamma = {0.5, 1234.5678, -0.25};
  p.littleRho = {1.0, 1.0, 1.0};

  // 1234.568 fills all 8 columns, so it gets a blank of its own; a negative iteration
  // writes no iteration line.
  EXPECT_EQ(Write(d, p, -1, NumberFormat{2, 8, 3}),
            (Lines{"   0.500 1234.568", "  -0.250", "   1.000", "   1.000", "   1.000"}));

  p.gamma = {-123.25, 0.0, 0.0};
  EXPECT_EQ(Write(d, p, -1).front(),
            " -123.2500000000000000  0.0000000000000000  0.0000000000000000");
}

TEST(WriteParameterEstimates, AFailedWriteIsReturned) {
  ModelDimensions d;
  d.classes = 2;
  d.classItems = 1;
  d.maxClassCategories = 2;
  ParameterSet p;
  AllocateParameters(d, &p);
  TextOutput full;
  ASSERT_EQ(full.Create("/dev/full"), kStatusOk);
  EXPECT_NE(WriteParameterEstimates(d, p, 3, kEstimatesFileFormat, full), kStatusOk);
}

}  // namespace
}  // namespace kov::input
