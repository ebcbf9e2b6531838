// Expected values are read off the test lines by hand: count the columns each descriptor covers
// and read the digits there, scaling by 10^-d when the field has no point.
#include "input/fixed_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/result_codes.h"

namespace kov::input {
namespace {

struct Record {
  std::int32_t status = kStatusOk;
  std::vector<std::int32_t> responses;
  double frequency = -99.0;
};

Record Read(FixedFormat& format, LineSource& lines, int count) {
  Record record;
  record.responses.assign(static_cast<std::size_t>(count), -99);
  record.status = format.ReadRecord(lines, record.responses.data(), count, &record.frequency);
  return record;
}

// Parses `format` and reads the first record of `text`.
Record ReadOne(std::string_view format, std::string_view text, int count) {
  FixedFormat parsed;
  EXPECT_EQ(FixedFormat::Parse(format, &parsed), kStatusOk) << format;
  StringLines lines(text);
  return Read(parsed, lines, count);
}

using Ints = std::vector<std::int32_t>;

TEST(FixedFormat, ReadsTwelveOneColumnResponsesAndAFrequencyPerLine) {
  FixedFormat format;
  ASSERT_EQ(FixedFormat::Parse("(12I1,F6.0)", &format), kStatusOk);
  // The rest of a line after the frequency is ignored; each record starts on its own line.
  StringLines lines("121212121212  15.0 notes\n211200000001    3.\n");
  Record first = Read(format, lines, 12);
  ASSERT_EQ(first.status, kStatusOk);
  EXPECT_EQ(first.responses, (Ints{1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2}));
  EXPECT_DOUBLE_EQ(first.frequency, 15.0);
  Record second = Read(format, lines, 12);
  ASSERT_EQ(second.status, kStatusOk);
  EXPECT_EQ(second.responses, (Ints{2, 1, 1, 2, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_DOUBLE_EQ(second.frequency, 3.0);
  EXPECT_EQ(Read(format, lines, 12).status, kEndOfFile);
}

TEST(FixedFormat, RealFieldsUseImpliedDecimalsOnlyWithoutAPoint) {
  const struct {
    const char* field;
    double value;
  } cases[] = {
      {"  1234", 12.34}, {"12.345", 12.345}, {"  -125", -1.25}, {"    .5", 0.5},
      {"1.5E+2", 150.0}, {"1.5d2 ", 150.0},  {"1.5+2 ", 150.0}, {" 15E1 ", 1.5},  // 0.15 x 10
      {"      ", 0.0},   {"1 2 34", 12.34},  {"- 1.5 ", -1.5},
  };
  for (const auto& c : cases) {
    const Record record = ReadOne("(F6.2)", c.field, 0);
    ASSERT_EQ(record.status, kStatusOk) << c.field;
    EXPECT_DOUBLE_EQ(record.frequency, c.value) << c.field;
  }
}

TEST(FixedFormat, SkipsAndTabsMoveTheColumnBothWays) {
  // I1 col 1; 2X skips 2-3; I1 col 4; T2 back to col 2; T8 then F3.0 cols 8-10.
  const Record record = ReadOne("(I1,2X,I1,T2,I1,T8,F3.0)", "1234567890", 3);
  ASSERT_EQ(record.status, kStatusOk);
  EXPECT_EQ(record.responses, (Ints{1, 4, 2}));
  EXPECT_DOUBLE_EQ(record.frequency, 890.0);
}

TEST(FixedFormat, RepeatsGroupsAndNestedGroups) {
  // Cols 1-3, 5-7 responses, 4 and 8 skipped, F4.1 cols 9-12 " 125" = 12.5.
  Record record = ReadOne("(2(3I1,1X),F4.1)", "123a456b 125", 6);
  ASSERT_EQ(record.status, kStatusOk);
  EXPECT_EQ(record.responses, (Ints{1, 2, 3, 4, 5, 6}));
  EXPECT_DOUBLE_EQ(record.frequency, 12.5);
  // Each outer pass: I1, X, I1, X, I2 over six columns; then F3.0 in cols 13-15.
  record = ReadOne("(2(2(I1,1X),I2),F3.0)", "1a2b345c6d78  9", 6);
  ASSERT_EQ(record.status, kStatusOk);
  EXPECT_EQ(record.responses, (Ints{1, 2, 34, 5, 6, 78}));
  EXPECT_DOUBLE_EQ(record.frequency, 9.0);
}

TEST(FixedFormat, SlashContinuesOnTheNextLine) {
  for (const char* format : {"(3I1/2I1,F3.0)", "(3I1,/,2I1,F3.0)"}) {
    const Record record = ReadOne(format, "123\n457.5", 5);
    ASSERT_EQ(record.status, kStatusOk) << format;
    EXPECT_EQ(record.responses, (Ints{1, 2, 3, 4, 5}));
    EXPECT_DOUBLE_EQ(record.frequency, 7.5);
  }
  FixedFormat format;
  ASSERT_EQ(FixedFormat::Parse("(2I1,2/I1,F2.0)", &format), kStatusOk);
  StringLines lines("12\nskipped\n3 4\n56\n\n7 8\n");
  Record record = Read(format, lines, 3);
  EXPECT_EQ(record.responses, (Ints{1, 2, 3}));
  EXPECT_DOUBLE_EQ(record.frequency, 4.0);
  record = Read(format, lines, 3);  // the next record starts on the line after "3 4"
  EXPECT_EQ(record.responses, (Ints{5, 6, 7}));
  EXPECT_DOUBLE_EQ(record.frequency, 8.0);
  // The source ends between the two lines of a record.
  StringLines cut("12\n");
  EXPECT_EQ(Read(format, cut, 3).status, kEndOfFile);
}

TEST(FixedFormat, RevertsToTheLastTopLevelGroupOnTheNextLine) {
  // Line 1 gives 3 values; line 2 restarts at (2I1) in col 1 without the leading 2X.
  Record record = ReadOne("(2X,I1,(2I1))", "ab123\n45", 4);
  ASSERT_EQ(record.status, kStatusOk);
  EXPECT_EQ(record.responses, (Ints{1, 2, 3, 4}));
  EXPECT_DOUBLE_EQ(record.frequency, 5.0);
  // The group's repeat count comes back too: two values on line 2, the frequency on line 3.
  record = ReadOne("(I1,2(I1,1X))", "12 3 \n4 5 \n6", 5);
  ASSERT_EQ(record.status, kStatusOk);
  EXPECT_EQ(record.responses, (Ints{1, 2, 3, 4, 5}));
  EXPECT_DOUBLE_EQ(record.frequency, 6.0);
  // Without a group the whole list starts again.
  record = ReadOne("(2I1)", "12\n34\n5", 4);
  ASSERT_EQ(record.status, kStatusOk);
  EXPECT_EQ(record.responses, (Ints{1, 2, 3, 4}));
  EXPECT_DOUBLE_EQ(record.frequency, 5.0);
  EXPECT_EQ(ReadOne("(2I1)", "12\n34\n", 4).status, kEndOfFile);
  // A reversion group that reads nothing could never finish the record.
  EXPECT_EQ(ReadOne("(I1,(2X))", "12\n34\n", 1).status, kBadDataFormat);
}

TEST(FixedFormat, ShortLinesReadAsBlanks) {
  Record record = ReadOne("(5I1,F5.0)", "12", 5);
  ASSERT_EQ(record.status, kStatusOk);
  EXPECT_EQ(record.responses, (Ints{1, 2, 0, 0, 0}));
  EXPECT_DOUBLE_EQ(record.frequency, 0.0);
  // I3 covers cols 2-4 of which only " 2" exist; T10 lies past the end of the line.
  record = ReadOne("(I1,I3,T10,F3.0)", "1 2", 2);
  ASSERT_EQ(record.status, kStatusOk);
  EXPECT_EQ(record.responses, (Ints{1, 2}));
  EXPECT_DOUBLE_EQ(record.frequency, 0.0);
}

TEST(FixedFormat, FieldsThatDoNotHoldTheirTypeAreBadValues) {
  for (const char* line : {"1a 1", "1.51", "-  1", "1\t21", "+-11"}) {
    EXPECT_EQ(ReadOne("(I3,F1.0)", line, 1).status, kBadValue) << line;
  }
  EXPECT_EQ(ReadOne("(I10,F1.0)", "2147483648", 1).status, kBadValue);
  Record record = ReadOne("(2I11,F1.0)", "-2147483648 2147483647", 2);
  ASSERT_EQ(record.status, kStatusOk);
  EXPECT_EQ(record.responses, (Ints{-2147483647 - 1, 2147483647}));
  // An F field gives a response only when it holds a whole number; an I field a frequency.
  record = ReadOne("(F3.1,I2)", "2.0 7", 1);
  ASSERT_EQ(record.status, kStatusOk);
  EXPECT_EQ(record.responses, (Ints{2}));
  EXPECT_DOUBLE_EQ(record.frequency, 7.0);
  EXPECT_EQ(ReadOne("(F3.1,I2)", "1.5 7", 1).status, kBadValue);
  for (const char* field : {"1.5x", "1.5E", "1..5", ".", "-", "1E+-2"}) {
    EXPECT_EQ(ReadOne("(F5.0)", field, 0).status, kBadValue) << field;
  }
}

TEST(FixedFormat, AcceptsBlanksLowerCaseAndTheOtherRealLetters) {
  Record record = ReadOne(" ( 1 2 i 1 , f 6 . 0 )  ", "121212121212  15.0", 12);
  ASSERT_EQ(record.status, kStatusOk);
  EXPECT_DOUBLE_EQ(record.frequency, 15.0);
  EXPECT_DOUBLE_EQ(ReadOne("(2(I1)I1/X,e8.2)", "123\n  1.5e2", 3).frequency, 150.0);
  EXPECT_DOUBLE_EQ(ReadOne("(D4.1)", " 125", 0).frequency, 12.5);
  EXPECT_DOUBLE_EQ(ReadOne("(G4)", " 125", 0).frequency, 125.0);
  std::string deep = std::string(32, '(') + "I1" + std::string(32, ')');
  EXPECT_DOUBLE_EQ(ReadOne("(" + deep + ")", "7", 0).frequency, 7.0);
}

TEST(FixedFormat, RefusesMalformedFormats) {
  const std::string tooDeep = "(" + std::string(33, '(') + "I1" + std::string(33, ')') + ")";
  for (const std::string& text : std::vector<std::string>{
           "", "   ", "()", "12I1,F6.0", "(12I1,F6.0", "(12I1,F6.0))", "((I1)", "(I1)X",
           "(I0)", "(F6.7)", "(I)", "(F.2)", "(F6.)", "(12Q1)", "(12I1F6.0)", "(I1,,I2)",
           "(,I1)", "(I1,)", "(0I1)", "(100001I1)", "(2T5)", "(T0)", "(5X,/)", "(I1,())",
           "(I1,'A')", tooDeep, "(I1,1000(1000(1000X)))"}) {
    FixedFormat format;
    EXPECT_EQ(FixedFormat::Parse(text, &format), kBadDataFormat) << text;
  }
}

TEST(FixedFormat, ReportsTheEndOfTheSourceAndItsErrors) {
  EXPECT_EQ(ReadOne("(I1,F1.0)", "", 1).status, kEndOfFile);
  // A read failure of the line source on a record's second line is passed on as it is.
  const std::string text = "1\n" + std::string(kMaxLineLength + 1, '1') + "\n";
  EXPECT_EQ(ReadOne("(I1/F1.0)", text, 1).status, kLineTooLong);
  FixedFormat unparsed;
  StringLines lines("11\n");
  EXPECT_EQ(Read(unparsed, lines, 1).status, kBadDataFormat);
}

}  // namespace
}  // namespace kov::input
