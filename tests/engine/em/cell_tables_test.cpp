// The four cell tables, row by row. Numbers are worked out by hand (E = N_g P or N P(cell),
// residual / sqrt(E), 2 n ln(n / E), the saturated values from the closed form of
// saturated_model_test.cpp) and rounded to the field; rows are written as their fields in order
// (9 columns each) so that every column can be checked against the layout.
#include "em/cell_tables.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "report/cell_tables.h"
#include "temp_files.h"

namespace kov::em {
namespace test_support {
struct Row {
  std::vector<std::int32_t> responses;
  double frequency;
};
GroupedPatterns MakeGrouped(const std::vector<std::int32_t>& categories,
                            const std::vector<Row>& rows);  // in fit_test.cpp
}  // namespace test_support

namespace {

using test_support::MakeGrouped;

const std::string kRule = " **************************************************";
const std::string kTwenty(20, ' ');

// Model probabilities of the four cells of two binary items.
std::function<double(const std::int32_t*)> Cells(double p11, double p21, double p12, double p22) {
  return [=](const std::int32_t* y) {
    const std::map<std::pair<int, int>, double> p = {
        {{1, 1}, p11}, {{2, 1}, p21}, {{1, 2}, p12}, {{2, 2}, p22}};
    return p.at({y[0], y[1]});
  };
}

class CellTables : public ::testing::Test {
 protected:
  std::vector<std::string> Write(int setting, bool missing, const GroupedPatterns& grouped,
                                 const std::vector<double>& probabilities,
                                 const SaturatedModel* saturated,
                                 const std::function<double(const std::int32_t*)>& cells,
                                 double total, double maxCells = kMaxTableCells) {
    input::TextOutput out;
    EXPECT_EQ(out.Create(m_path), 0);
    EXPECT_EQ(WriteCellTable(out, setting, missing, grouped, probabilities, saturated, cells,
                             total, maxCells),
              0);
    EXPECT_EQ(out.Close(), 0);
    return kov::test::ReadLines(m_path);
  }
  kov::test::TempDir m_dir;
  std::string m_path = m_dir.Path("table.out");
};

// Complete data, N = 8, in cell order 11, 21, 12, 22; E = 2, 0, 2, 0.5.
const GroupedPatterns kComplete =
    MakeGrouped({2, 2}, {{{1, 1}, 2}, {{2, 1}, 1}, {{1, 2}, 1}, {{2, 2}, 4}});
const std::vector<double> kCompleteP = {0.25, 0.0, 0.25, 0.0625};

// The second item missing for half the subjects (closed form in saturated_model_test.cpp).
const GroupedPatterns kSecondMissing = MakeGrouped(
    {2, 2}, {{{1, 1}, 4}, {{2, 1}, 1}, {{1, 2}, 2}, {{2, 2}, 3}, {{1, 0}, 2}, {{2, 0}, 8}});

TEST_F(CellTables, ResidualsOfTheObservedPatterns) {
  const std::vector<std::string> expected = {
      kRule,
      "",
      kTwenty + "EXPECTED CELL FREQUENCIES AND RESIDUALS",
      "",
      "           OBS        EXP      RESID    PEARSON",
      "",
      " 11" "  " "   2.0000" "  " "   2.0000" "  " "   0.0000" "  " "   0.0000" " " " ",
      // Nothing expected but observed: an unbounded Pearson residual, flagged.
      " 21" "  " "   1.0000" "  " "   0.0000" "  " "   1.0000" "  " "      Inf" " " "*",
      " 12" "  " "   1.0000" "  " "   2.0000" "  " "  -1.0000" "  " "  -0.7071" " " " ",
      " 22" "  " "   4.0000" "  " "   0.5000" "  " "   3.5000" "  " "   4.9497" " " "*"};
  EXPECT_EQ(Write(1, false, kComplete, kCompleteP, nullptr, nullptr, 8), expected);
}

TEST_F(CellTables, ModelAndSaturatedResidualsWithoutASaturatedModel) {
  const std::vector<std::string> lines =
      Write(2, false, kComplete, kCompleteP, nullptr, nullptr, 8);
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[2], kTwenty + "EXPECTED CELL FREQUENCIES AND RESIDUALS");
  // Separators in columns 17 and 64; the blocks fill 18..63 and 65..106; padded to 120.
  EXPECT_EQ(lines[4], std::string(16, ' ') + "|" + std::string(18, ' ') + "Kov Model" +
                          std::string(19, ' ') + "|" + std::string(13, ' ') + "Saturated Model" +
                          std::string(14 + 14, ' '));
  EXPECT_EQ(lines[5], std::string(16, ' ') + "|" + std::string(46, '-') + "|" +
                          std::string(42, '-') + std::string(14, ' '));
  EXPECT_EQ(lines[6], " Respat    Obs  |      Exp      Resid    Pearson           lr  |"
                      "      Exp      Resid    Pearson         lr" + std::string(14, ' '));
  EXPECT_EQ(lines[9], " 21" "  " "   1.0000" "  |" "   0.0000" "  " "   1.0000" "  " "      Inf"
                      " " "*" "  " "   0.0000" "  |" "  -1.0000" "  " "   0.0000" "  "
                      "   0.0000" "  " "   0.0000");
  EXPECT_EQ(lines[10], " 12" "  " "   1.0000" "  |" "   2.0000" "  " "  -1.0000" "  "
                       "  -0.7071" " " " " "  " "  -1.3863" "  |" "  -1.0000" "  " "   0.0000"
                       "  " "   0.0000" "  " "   0.0000");
  EXPECT_EQ(lines[11], " 22" "  " "   4.0000" "  |" "   0.5000" "  " "   3.5000" "  "
                       "   4.9497" " " "*" "  " "  16.6355" "  |" "  -1.0000" "  " "   0.0000"
                       "  " "   0.0000" "  " "   0.0000");
}

TEST_F(CellTables, ModelAndSaturatedResidualsWithMissingData) {
  SaturatedModel saturated;
  ASSERT_EQ(saturated.Estimate(kSecondMissing, 200, 0.0), SaturatedStatus::kEstimated);
  // Model: E = 10 x 0.25 for the complete patterns, 10 x 0.5 for the incomplete ones.
  const std::vector<std::string> lines = Write(
      2, true, kSecondMissing, {0.25, 0.25, 0.25, 0.25, 0.5, 0.5}, &saturated, nullptr, 20);
  ASSERT_EQ(lines.size(), 14u);
  // Saturated E = 10 x 4/15; residual 4/3, Pearson 4/3 / sqrt(8/3), lr 8 ln 1.5.
  EXPECT_EQ(lines[8], " 11" "  " "   4.0000" "  |" "   2.5000" "  " "   1.5000" "  " "   0.9487"
                      " " " " "  " "   3.7600" "  |" "   2.6667" "  " "   1.3333" "  "
                      "   0.8165" "  " "   3.2437");
  // Saturated E = 10 x P(y1 = 2) = 6; lr 16 ln 1.6 and 16 ln 4/3.
  EXPECT_EQ(lines[13], " 20" "  " "   8.0000" "  |" "   5.0000" "  " "   3.0000" "  "
                       "   1.3416" " " " " "  " "   7.5201" "  |" "   6.0000" "  " "   2.0000"
                       "  " "   0.8165" "  " "   4.6029");
}

TEST_F(CellTables, EveryCellAdjustedForMissingness) {
  SaturatedModel saturated;
  ASSERT_EQ(saturated.Estimate(kSecondMissing, 200, 0.0), SaturatedStatus::kEstimated);
  // E_sat = 20 theta = 16/3, 3, 8/3, 9; E = 20 P = 5, 5, 0, 2.
  const std::vector<std::string> expected = {
      kRule,
      "",
      kTwenty + "CELL FREQUENCIES AND FIT INDICATORS",
      kTwenty + "ADJUSTED FOR MISSINGNESS",
      "",
      "        Expected    Expected   Indicator   Indicator",
      "       Sat Model   Kov Model         Fit  Scaled Fit",
      "",
      " 11" "    " "   5.3333" "   " "   5.0000" "   " "   0.3333" "   " "   0.1491" " ",
      " 21" "    " "   3.0000" "   " "   5.0000" "   " "  -2.0000" "   " "  -0.8944" " ",
      " 12" "    " "   2.6667" "   " "   0.0000" "   " "   2.6667" "   " "   0.0000" " ",
      " 22" "    " "   9.0000" "   " "   2.0000" "   " "   7.0000" "   " "   4.9497" "*"};
  EXPECT_EQ(Write(1, true, kSecondMissing, {}, &saturated, Cells(0.25, 0.25, 0.0, 0.1), 20),
            expected);
}

TEST_F(CellTables, SelectedCellsOfCompleteData) {
  // Only 11 observed, 4 times. E = 1, 0, 2.5, 0.5. 21 has E = O = 0 and the scaled fit
  // 100000; 12 has |-2.5 / sqrt 2.5| >= 1; 22 (-0.71) is left out.
  const GroupedPatterns grouped = MakeGrouped({2, 2}, {{{1, 1}, 4}});
  const std::vector<std::string> expected = {
      kRule,
      "",
      kTwenty + "EXPECTED CELL FREQUENCIES AND FIT INDICATORS",
      "",
      "           Count    Expected   Indicator    Indicator",
      "        Observed   Kov Model         Fit   Scaled Fit",
      "",
      " 11" "    " "        4" "   " "   1.0000" "   " "   3.0000" "    " "     3.00" "*",
      " 21" "    " "        0" "   " "   0.0000" "   " "   0.0000" "    " " 100000.0" "*",
      " 12" "    " "        0" "   " "   2.5000" "   " "  -2.5000" "    " "    -1.58" " "};
  EXPECT_EQ(Write(3, false, grouped, {0.25}, nullptr, Cells(0.25, 0.0, 0.625, 0.125), 4),
            expected);
}

TEST_F(CellTables, SelectedCellsWithMissingDataUseTheSaturatedModel) {
  SaturatedModel saturated;
  ASSERT_EQ(saturated.Estimate(kSecondMissing, 200, 0.0), SaturatedStatus::kEstimated);
  const std::vector<std::string> lines =
      Write(3, true, kSecondMissing, {}, &saturated, Cells(0.25, 0.25, 0.25, 0.25), 20);
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[3], kTwenty + "ADJUSTED FOR MISSINGNESS");
  EXPECT_EQ(lines[5], "        Expected    Expected   Indicator    Indicator");
  EXPECT_EQ(lines[6], "       Sat Model   Kov Model         Fit   Scaled Fit");
  // 12: 8/3 - 5 = -7/3, over sqrt 5.
  EXPECT_EQ(lines[10], " 12" "    " "   2.6667" "   " "   5.0000" "   " "  -2.3333" "    "
                       "    -1.04" " ");
}

TEST_F(CellTables, ATableOfManyCellsListsEachCellOnceInOrder) {
  // 13 binary items: 8192 cells, more than one batch of rows. N = 4 x 8192 under a uniform model
  // expects 4 in every cell: the observed one fits, each other has scaled fit -4 / 2 and shows.
  const std::vector<std::int32_t> binary(13, 2);
  const GroupedPatterns grouped = MakeGrouped(binary, {{std::vector<std::int32_t>(13, 1), 4}});
  const std::vector<std::string> lines = Write(
      3, false, grouped, {1.0}, nullptr, [](const std::int32_t*) { return 1.0 / 8192; },
      4.0 * 8192);
  ASSERT_EQ(lines.size(), 7u + 8192u);
  const std::string unobserved =
      "    "
      "        0"
      "   "
      "   4.0000"
      "   "
      "  -4.0000"
      "    "
      "    -2.00"
      " ";
  const struct {
    std::size_t cell;
    std::string row;
  } cases[] = {
      {0,
       " 1111111111111"
       "    "
       "        4"
       "   "
       "   4.0000"
       "   "
       "   0.0000"
       "    "
       "     0.00"
       " "},
      {4095, " 2222222222221" + unobserved},
      {4096, " 1111111111112" + unobserved},
      {8191, " 2222222222222" + unobserved},
  };
  for (const auto& c : cases) EXPECT_EQ(lines[7 + c.cell], c.row) << "cell " << c.cell;
}

TEST_F(CellTables, TablesOverEveryCellStopAtTheLimit) {
  const auto uniform = Cells(0.25, 0.25, 0.25, 0.25);
  EXPECT_EQ(Write(3, false, kComplete, kCompleteP, nullptr, uniform, 8, 4.0).size(), 11u);
  const std::vector<std::string> expected = {
      kRule, "", kTwenty + "EXPECTED CELL FREQUENCIES AND FIT INDICATORS", "",
      " CELL TABLE NOT WRITTEN: THE COMPLETE TABLE HAS MORE THAN 3 CELLS"};
  EXPECT_EQ(Write(3, false, kComplete, kCompleteP, nullptr, uniform, 8, 3.0), expected);
  EXPECT_EQ(report::CellTableTooLargeLine(kMaxTableCells),
            " CELL TABLE NOT WRITTEN: THE COMPLETE TABLE HAS MORE THAN 10000000 CELLS");
  // Without a saturated model the adjusted table has nothing to list.
  EXPECT_EQ(Write(1, true, kSecondMissing, {}, nullptr, uniform, 20).back(),
            " CELL TABLE NOT WRITTEN: THE SATURATED MODEL WAS NOT ESTIMATED");
}

TEST_F(CellTables, SettingsOutsideOneToThreeWriteNothing) {
  for (int setting : {-1, 0, 4}) {
    EXPECT_TRUE(Write(setting, false, kComplete, kCompleteP, nullptr, nullptr, 8).empty());
  }
}

TEST(CellTablesOnAFullDisk, EveryTableReturnsTheFailedWriteStatus) {
  input::TextOutput out;
  ASSERT_EQ(out.Create("/dev/full"), 0) << "the test needs /dev/full";
  const auto uniform = Cells(0.25, 0.25, 0.25, 0.25);
  for (int setting : {1, 2, 3}) {
    EXPECT_EQ(WriteCellTable(out, setting, false, kComplete, kCompleteP, nullptr, uniform, 8),
              ENOSPC);
  }
}

}  // namespace
}  // namespace kov::em
