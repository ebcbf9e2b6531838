// Field formatting. Expected texts are worked out by hand from the rounding rule of each field:
// a cell is floor(x * 1000 + 0.5) thousandths shown as one digit, a point and three decimals.
#include "report/fields.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>

namespace kov::report {
namespace {

TEST(FormatCell, RoundsHalfUpToThreeDecimals) {
  EXPECT_EQ(FormatCell(0.99951), "1.000");  // 999.51 + 0.5 -> 1000
  EXPECT_EQ(FormatCell(0.12345), "0.123");  // 123.45 + 0.5 -> 123
  EXPECT_EQ(FormatCell(0.0625), "0.063");   // 62.5 exactly, + 0.5 -> 63
  EXPECT_EQ(FormatCell(0.5), "0.500");
  EXPECT_EQ(FormatCell(1.0), "1.000");
  EXPECT_EQ(FormatCell(0.0), "0.000");
  EXPECT_EQ(FormatCell(0.0004), "0.000");
}

TEST(FormatCell, MarksNotApplicableAndUndefined) {
  EXPECT_EQ(FormatCell(9.0), "  -  ");
  EXPECT_EQ(FormatCell(std::numeric_limits<double>::quiet_NaN()), " UND ");
  // Only exactly 9.0 is the mark; a neighbouring value is a number.
  EXPECT_EQ(FormatCell(8.9999), "9.000");
}

TEST(FormatCell, KeepsOnlyTheUnitsDigitOfLargeValues) {
  EXPECT_EQ(FormatCell(12.3456), "2.346");
  EXPECT_EQ(FormatCell(10.0), "0.000");
}

TEST(FormatCell, NegativeValuesKeepTheirSignWhileTheyFit) {
  EXPECT_EQ(FormatCell(-0.25), "-.250");
  EXPECT_EQ(FormatCell(-0.0004), "0.000");  // rounds to zero before the sign is looked at
  EXPECT_EQ(FormatCell(-1.5), "*****");
  EXPECT_EQ(FormatCell(std::numeric_limits<double>::infinity()), "*****");
}

TEST(FormatInteger, RightAlignsAndFillsWithAsterisksWhenTooWide) {
  EXPECT_EQ(FormatInteger(7, 2), " 7");
  EXPECT_EQ(FormatInteger(42, 2), "42");
  EXPECT_EQ(FormatInteger(100, 2), "**");
  EXPECT_EQ(FormatInteger(-5, 2), "-5");
  EXPECT_EQ(FormatInteger(-10, 2), "**");
  EXPECT_EQ(FormatInteger(999999, 6), "999999");
  EXPECT_EQ(FormatInteger(1000000, 6), "******");
  EXPECT_EQ(FormatIntegerAtLeast(12, 5), "   12");
  EXPECT_EQ(FormatIntegerAtLeast(123456, 5), "123456");
}

TEST(FormatFixed, DropsOnlyALeadingZeroThatDoesNotFit) {
  EXPECT_EQ(FormatFixed(0.000001, 15, 14), ".00000100000000");
  EXPECT_EQ(FormatFixed(1.5, 6, 3), " 1.500");
  EXPECT_EQ(FormatFixed(-0.25, 4, 2), "-.25");
  EXPECT_EQ(FormatFixed(1.25, 4, 2), "1.25");
  EXPECT_EQ(FormatFixed(12.5, 4, 2), "****");
}

TEST(FormatFixed, ANonZeroIntegerDigitThatDoesNotFitGivesAsterisks) {
  EXPECT_EQ(FormatFixed(1.5, 16, 14), "1.50000000000000");
  EXPECT_EQ(FormatFixed(1.5, 15, 14), "***************");
}

TEST(RoundHalfEven, ExactHalvesGoToTheEvenNeighbour) {
  EXPECT_EQ(RoundHalfEven(1234.5), 1234);
  EXPECT_EQ(RoundHalfEven(1235.5), 1236);
  EXPECT_EQ(RoundHalfEven(1234.50001), 1235);
  EXPECT_EQ(RoundHalfEven(1234.49999), 1234);
  EXPECT_EQ(RoundHalfEven(-2.5), -2);
  EXPECT_EQ(RoundHalfEven(-3.5), -4);
  EXPECT_EQ(RoundHalfEven(0.0), 0);
}

TEST(FormatDateTime, WritesTheTwentyFourCharacterForm) {
  std::tm time{};
  time.tm_year = 2024 - 1900;
  time.tm_mon = 2;  // March
  time.tm_mday = 6;
  time.tm_wday = 3;  // Wednesday
  time.tm_hour = 9;
  time.tm_min = 5;
  time.tm_sec = 7;
  EXPECT_EQ(FormatDateTime(time), "Wed Mar  6 09:05:07 2024");
  time.tm_mon = 11;
  time.tm_mday = 31;
  time.tm_wday = 0;
  time.tm_hour = 23;
  time.tm_min = 59;
  time.tm_sec = 58;
  time.tm_year = 1999 - 1900;
  EXPECT_EQ(FormatDateTime(time), "Sun Dec 31 23:59:58 1999");
}

TEST(PadToColumn, PutsTheNextCharacterInTheColumn) {
  std::string line = " LABEL";
  PadToColumn(&line, 45);
  EXPECT_EQ(line.size(), 44u);
  PadToColumn(&line, 10);  // already past it: unchanged
  EXPECT_EQ(line.size(), 44u);
}

}  // namespace
}  // namespace kov::report
