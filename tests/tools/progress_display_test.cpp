#include "progress_display.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace kovrun {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// What the display wrote, read back from an anonymous file.
std::string Contents(std::FILE* file) {
  std::string text;
  std::rewind(file);
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  return text;
}

TEST(ProgressDisplayTest, WritesOneLinePerNewIterationWhenNotATerminal) {
  std::unique_ptr<std::FILE, FileCloser> file(std::tmpfile());
  ASSERT_TRUE(file);
  ProgressDisplay display(file.get(), false, std::nullopt);
  display.Show(0, 0.0);         // nothing published yet
  display.Show(1, 0.0);
  display.Show(1, 0.0);         // the same iteration polled again
  display.Show(12, 0.0000123);  // nine decimals: 0.000012300
  display.Show(13, -9.0);       // data augmentation: no criterion
  display.EndLine();            // no line is open in this mode
  EXPECT_EQ(Contents(file.get()),
            "iteration 1  MAD 0.000000000\n"
            "iteration 12  MAD 0.000012300\n"
            "iteration 13\n");
}

TEST(ProgressDisplayTest, RedrawsABarInPlaceOnATerminal) {
  std::unique_ptr<std::FILE, FileCloser> file(std::tmpfile());
  ASSERT_TRUE(file);
  ProgressDisplay display(file.get(), true, 48);
  // 24 columns: 12 of 48 fill 6, 48 fill all; past the maximum stays full.
  display.Show(12, 1.5);
  display.Show(48, 0.25);
  display.EndLine();
  display.Show(60, -9.0);
  display.EndLine();
  EXPECT_EQ(Contents(file.get()),
            "\r[######..................] 12/48  MAD 1.500000000"
            "\r[########################] 48/48  MAD 0.250000000\n"
            "\r[########################] 60/48\n");
}

TEST(ProgressDisplayTest, BlanksOutTheRestOfALongerLineWithoutAMaximum) {
  std::unique_ptr<std::FILE, FileCloser> file(std::tmpfile());
  ASSERT_TRUE(file);
  ProgressDisplay display(file.get(), true, 0);  // 0: no limit known
  display.Show(9, 12.0);
  display.Show(10, -9.0);
  display.EndLine();
  // "iteration 9  MAD 12.000000000" is 29 characters, "iteration 10" 12: 17 blanks follow.
  EXPECT_EQ(Contents(file.get()), "\riteration 9  MAD 12.000000000\riteration 10" +
                                      std::string(17, ' ') + "\n");
}

TEST(ProgressDisplayTest, EstimatesTheTimeLeftOfARunWithoutACriterionFromItsPace) {
  std::unique_ptr<std::FILE, FileCloser> file(std::tmpfile());
  ASSERT_TRUE(file);
  std::int64_t now = 7000;  // milliseconds; the run's start is not the clock's zero
  ProgressDisplay display(file.get(), true, 50, [&now] { return now; });
  // Iteration 1 is first seen at 7 s: the pace starts there, nothing to estimate yet.
  display.Show(1, -9.0);
  // At 9 s iteration 5 is under way: 4 iterations in 2 s, 0.5 s each; iterations 5 to 50
  // remain, 46 x 0.5 = 23 s. The bar: 5 x 24 / 50 = 2.4, 2 columns.
  now = 9000;
  display.Show(5, -9.0);
  // At 27 s iteration 41: 40 in 20 s; 10 remain, 5 s. 41 x 24 / 50 = 19.68, 19 columns.
  now = 27000;
  display.Show(41, -9.0);
  // At 31.6 s the last one: 49 in 24.6 s, 0.502 s for the one left, rounded to 1 s.
  now = 31600;
  display.Show(50, -9.0);
  display.EndLine();
  EXPECT_EQ(Contents(file.get()),
            "\r[........................] 1/50"
            "\r[##......................] 5/50  time left 0:23"
            "\r[###################.....] 41/50  time left 0:05"
            "\r[########################] 50/50  time left 0:01\n");
}

TEST(ProgressDisplayTest, LongRunsShowHoursAndRunsThatMayConvergeShowNoTimeLeft) {
  std::unique_ptr<std::FILE, FileCloser> file(std::tmpfile());
  ASSERT_TRUE(file);
  std::int64_t now = 0;
  // 10 iterations in 1 s; 99 990 remain: 9 999 s = 2 h 46 min 39 s.
  ProgressDisplay da(file.get(), true, 100000, [&now] { return now; });
  da.Show(1, -9.0);
  now = 1000;
  EXPECT_EQ(da.Describe(11, -9.0), "[........................] 11/100000  time left 2:46:39");

  // EM publishes its MAD and may stop long before its maximum; a file gets no estimate either.
  ProgressDisplay em(file.get(), true, 100, [&now] { return now; });
  em.Show(1, 0.5);
  now = 2000;
  EXPECT_EQ(em.Describe(2, 0.25), "[........................] 2/100  MAD 0.250000000");
  ProgressDisplay log(file.get(), false, 100, [&now] { return now; });
  log.Show(1, -9.0);
  now = 3000;
  EXPECT_EQ(log.Describe(2, -9.0), "iteration 2 of 100");
}

TEST(ProgressDisplayTest, FormatsDurationsAsMinutesAndSecondsOrHours) {
  EXPECT_EQ(FormatDuration(0), "0:00");
  EXPECT_EQ(FormatDuration(59), "0:59");
  EXPECT_EQ(FormatDuration(60), "1:00");
  EXPECT_EQ(FormatDuration(3599), "59:59");
  EXPECT_EQ(FormatDuration(3600), "1:00:00");
  EXPECT_EQ(FormatDuration(3725), "1:02:05");  // 1 h, 2 min, 5 s
  EXPECT_EQ(FormatDuration(-5), "0:00");
}

}  // namespace
}  // namespace kovrun
