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

}  // namespace
}  // namespace kovrun
