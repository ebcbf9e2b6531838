#include "input/read_step.h"

#include <gtest/gtest.h>

#include "base/result_codes.h"
#include "input/text_input.h"

namespace kov::input {
namespace {

TEST(ReadStep, TakesValuesAcrossLinesAndDropsTheRestOfItsLastLine) {
  StringLines lines("1 2\n3, 4 99 99\n5\n");
  std::int32_t a = 0, b = 0, c = 0, d = 0, e = 0;
  {
    ReadStep step(lines);
    ASSERT_EQ(step.Int(&a), kStatusOk);
    ASSERT_EQ(step.Int(&b), kStatusOk);
    ASSERT_EQ(step.Int(&c), kStatusOk);
    ASSERT_EQ(step.Int(&d), kStatusOk);
  }
  ReadStep next(lines);
  ASSERT_EQ(next.Int(&e), kStatusOk);
  EXPECT_EQ((std::vector{a, b, c, d, e}), (std::vector{1, 2, 3, 4, 5}));
}

TEST(ReadStep, SeparatesByBlanksOrOneCommaAndRefusesAnEmptyValue) {
  StringLines lines("1,2 ,3 , 4,\n5\n1,,2\n");
  std::int32_t v = 0;
  ReadStep step(lines);
  for (std::int32_t expected = 1; expected <= 5; ++expected) {
    ASSERT_EQ(step.Int(&v), kStatusOk);
    EXPECT_EQ(v, expected);
  }
  ReadStep empty(lines);
  ASSERT_EQ(empty.Int(&v), kStatusOk);
  EXPECT_EQ(empty.Int(&v), kBadValue);
}

TEST(ReadStep, QuotedTextKeepsBlanksAndUndoublesApostrophes) {
  StringLines lines("'* It''s a title, with commas'  'x'\n'' next\nplain/path.dat\n");
  std::string text;
  ReadStep step(lines);
  ASSERT_EQ(step.Text(120, &text), kStatusOk);
  EXPECT_EQ(text.substr(0, 30), "* It's a title, with commas   ");
  EXPECT_EQ(text.size(), 120u);
  ASSERT_EQ(step.Text(8, &text), kStatusOk);
  EXPECT_EQ(text, "x       ");
  ReadStep empty(lines);
  ASSERT_EQ(empty.Text(8, &text), kStatusOk);
  EXPECT_EQ(text, "        ");
  ReadStep unquoted(lines);
  ASSERT_EQ(unquoted.Text(300, &text), kStatusOk);
  EXPECT_EQ(text.substr(0, 15), "plain/path.dat ");
}

TEST(ReadStep, CutsTextToItsField) {
  StringLines lines("'LongLabel1'\n");
  std::string text;
  ReadStep step(lines);
  ASSERT_EQ(step.Text(8, &text), kStatusOk);
  EXPECT_EQ(text, "LongLabe");
}

TEST(ReadStep, ReadsRealsInEveryDecimalForm) {
  StringLines lines("0.5 1 -2.5e-3 +3. .25 1.0D2 1E+1\n");
  ReadStep step(lines);
  const double expected[] = {0.5, 1.0, -0.0025, 3.0, 0.25, 100.0, 10.0};
  for (double e : expected) {
    double v = 0;
    ASSERT_EQ(step.Real(&v), kStatusOk);
    EXPECT_DOUBLE_EQ(v, e);
  }
}

TEST(ReadStep, RefusesValuesOfTheWrongKind) {
  for (const char* bad : {"2.5", "x", "'3'", "99999999999", "1e3"}) {
    StringLines lines(bad);
    std::int32_t v = 0;
    ReadStep step(lines);
    EXPECT_EQ(step.Int(&v), kBadValue) << bad;
  }
  for (const char* bad : {"abc", "nan", "inf", "1.2.3", "-"}) {
    StringLines lines(bad);
    double v = 0;
    ReadStep step(lines);
    EXPECT_EQ(step.Real(&v), kBadValue) << bad;
  }
}

TEST(ReadStep, SkipsBlankLinesAndReportsTheEndOfTheSource) {
  StringLines lines("\n   \n7\n");
  std::int32_t v = 0;
  ReadStep step(lines);
  ASSERT_EQ(step.Int(&v), kStatusOk);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(step.Int(&v), kEndOfFile);
}

TEST(ReadStep, AcceptsWindowsLineEnds) {
  StringLines lines("1 2\r\n'ab'\r\n");
  std::int32_t a = 0, b = 0;
  std::string text;
  ReadStep step(lines);
  ASSERT_EQ(step.Int(&a), kStatusOk);
  ASSERT_EQ(step.Int(&b), kStatusOk);
  ReadStep labels(lines);
  ASSERT_EQ(labels.Text(8, &text), kStatusOk);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(text, "ab      ");
}

}  // namespace
}  // namespace kov::input
