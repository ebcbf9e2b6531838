#include "control_head.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kov::client {
namespace {

namespace fs = std::filesystem;

// Each case writes its own small file; the limits are read off the text by eye: the EM
// maximum is the third value of the fourth step, the DA length the first two values of the
// ninth step multiplied. A value counts once its section has been read to its end: the EM
// section ends with three file names, the DA section with four.
const std::string kEmNames = "'o'\n'..'\n'..'\n";
const std::string kDaNames = "'d'\n'..'\n'..'\n'..'\n";

class IterationLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kovrun_limit.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_folder = pattern;
  }
  void TearDown() override { fs::remove_all(m_folder); }

  std::string Write(const std::string& text) {
    const std::string path = (m_folder / "job.cnt").string();
    std::ofstream file(path, std::ios::binary);
    file << text;
    file.close();
    EXPECT_TRUE(file) << path;
    return path;
  }

  fs::path m_folder;
};

TEST_F(IterationLimitTest, ReadsBothLimitsFromAnEditorWrittenHead) {
  const std::string path = KOVRUN_TEST_DATA "/editor_head.cnt";
  EXPECT_EQ(ReadIterationLimit(path, RunKind::kEM), 500);
  EXPECT_EQ(ReadIterationLimit(path, RunKind::kDataAugmentation), 50);  // 10 x 5
}

TEST_F(IterationLimitTest, FollowsTheReadStepRulesOfHandWrittenFiles) {
  // Unquoted titles, a blank line and CRLF endings; section 2 spread over two lines with a
  // comma and a rest of line that the step drops; quoted names holding blanks, a comma,
  // a slash and a doubled apostrophe.
  const std::string path = Write(
      "*title without quotes\r\n"
      "'* second title'\r\n"
      "\r\n"
      "2, 1 2 0\r\n"
      "1 1 0 0 0 ignored words\r\n"
      "'my data, version 2.dat' '(2I1)'\r\n"
      "1,0,  250 , 1.0e-6 trailing\r\n"
      "'out/put.out'\r\n"
      "'John''s.est'\r\n"
      "''\r\n"
      "  4 3 77 1\r\n" +
      kDaNames);
  EXPECT_EQ(ReadIterationLimit(path, RunKind::kEM), 250);
  EXPECT_EQ(ReadIterationLimit(path, RunKind::kDataAugmentation), 12);  // 4 x 3
}

TEST_F(IterationLimitTest, NamesTheReportOfEachKindAndTheSeries) {
  // The EM report is the first name after the EM line; after the DA line come the DA report,
  // its starting values and the series. Blanks that pad a name are no part of it.
  const std::string head = "'* t'\n2 1 2 0 1 1 0 0 0\n'a.dat' ''\n1 1 9 0.1\n'em.out  '\n'..'\n'em.est'\n";
  const std::string path = Write(head + "10 5 1 0\n'da.out'\n'em.est'\n'chain.ser'\n'..'\n");
  EXPECT_EQ(ReadReportName(path, RunKind::kEM), "em.out");
  EXPECT_EQ(ReadReportName(path, RunKind::kDataAugmentation), "da.out");
  EXPECT_EQ(ReadSeriesName(path), "chain.ser");
  // A file that ends before a name, or names none, gives nothing.
  const std::string cut = Write(head);
  EXPECT_EQ(ReadReportName(cut, RunKind::kEM), "em.out");
  EXPECT_EQ(ReadReportName(cut, RunKind::kDataAugmentation), std::nullopt);
  EXPECT_EQ(ReadSeriesName(cut), std::nullopt);
  EXPECT_EQ(ReadReportName(Write("'* t'\n2 1 2 0 1 1 0 0 0\n'a.dat' ''\n1 1 9 0.1\n''\n"), RunKind::kEM),
            std::nullopt);
}

TEST_F(IterationLimitTest, ALineNotBeginningWithAStarIsSectionTwo) {
  // "x" ends the titles and is read again as the first of nine integers: not a control file.
  EXPECT_EQ(ReadIterationLimit(Write("'* t'\nx 1 2 0 1 1 0 0 0\n'a' ''\n1 0 9 0.1\n" + kEmNames),
                               RunKind::kEM),
            std::nullopt);
  // A title whose text starts with a blank does not begin with "*" either.
  EXPECT_EQ(ReadIterationLimit(Write("' * t'\n2 1 2 0 1 1 0 0 0\n'a' ''\n1 0 9 0.1\n" + kEmNames),
                               RunKind::kEM),
            std::nullopt);
}

TEST_F(IterationLimitTest, GivesNothingWhenNoPositiveLimitCanBeRead) {
  const std::string head = "2 1 2 0 1 1 0 0 0\n'a' ''\n";
  EXPECT_EQ(ReadIterationLimit((m_folder / "absent.cnt").string(), RunKind::kEM), std::nullopt);
  struct Case {
    std::string tail;
    RunKind kind;
  };
  const Case cases[] = {
      {"1 0 0 0.1\n" + kEmNames, RunKind::kEM},
      {"1 0 9.5 0.1\n" + kEmNames, RunKind::kEM},
      // The section is cut: the criterion is missing, or the last name.
      {"1 0 9\n" + kEmNames, RunKind::kEM},
      {"1 0 9 0.1\n'o'\n'..'\n", RunKind::kEM},
      {"1 0 9 0.1\n" + kEmNames + "0 5 1 0\n" + kDaNames, RunKind::kDataAugmentation},
      {"1 0 9 0.1\n" + kEmNames + "3 5 1 0\n'd'\n'..'\n'..'\n", RunKind::kDataAugmentation},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadIterationLimit(Write(head + c.tail), c.kind), std::nullopt) << c.tail;
  }
}

// In a death test's child: 0 when the glance gives nothing within 10 seconds and 1 GiB.
int GlanceWithLimits(const std::string& path) {
  alarm(10);
#if !defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer maps terabytes of address space for its shadow: under it the cap would
  // fail the sanitizer's own maps, and the reader's bounded lines are left to its checks.
  const rlim_t gibibyte = rlim_t{1} << 30;
  const rlimit memory{gibibyte, gibibyte};
  setrlimit(RLIMIT_AS, &memory);
#endif
  return ReadIterationLimit(path, RunKind::kEM) == std::nullopt ? 0 : 1;
}

TEST_F(IterationLimitTest, GlancesAtAFileThatNeverEndsWithoutHanging) {
  // A pipe without a writer would hold the open for ever, /dev/zero the read of its one line; a
  // child with a few seconds and a cap on its memory stands in for the user who gives up.
  const std::string pipe = (m_folder / "pipe.cnt").string();
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  for (const std::string& path : {pipe, std::string("/dev/zero")}) {
    EXPECT_EXIT(std::_Exit(GlanceWithLimits(path)), ::testing::ExitedWithCode(0), "") << path;
  }
  // A UTF-8 byte order mark does not hide the first title.
  EXPECT_EQ(ReadIterationLimit(
                Write("\xEF\xBB\xBF'* title'\n2 1 2 0 1 1 0 0 0\n'a' ''\n1 0 9 0.1\n" + kEmNames),
                RunKind::kEM),
            9);
}

}  // namespace
}  // namespace kov::client
