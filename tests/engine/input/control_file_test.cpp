#include "input/control_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "base/engine_status.h"
#include "base/result_codes.h"
#include "base/status_record.h"
#include "temp_files.h"

namespace kov::input {
namespace {

using test::PathField;
using test::TempDir;

// A control file as the editor writes it, for a model of the given shape: every code 1 and
// start values that sum to one (uniform over statuses and categories, as counted by hand below).
struct Shape {
  int classes = 2, statuses = 2, classItems = 1, statusItems = 2, occasions = 2, order = 1;
  int classCategories = 2, statusCategories = 2;
  int estimationType = 1, maxIterations = 100;
  int titles = 1;
};

std::string Repeat(const std::string& value, int n) {
  std::string line;
  for (int i = 0; i < n; ++i) line += (i ? " " : "") + value;
  return line + "\n";
}

std::string Lines(const std::string& line, int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += line + "\n";
  return text;
}

std::string ControlText(const Shape& shape, const std::string& startFile = "start.est") {
  Shape s = shape;
  std::ostringstream f;
  for (int i = 1; i <= s.titles; ++i) f << "'* Title line " << i << "'\n";
  f << s.classes << ' ' << s.statuses << ' ' << s.classItems << ' ' << s.statusItems << ' '
    << s.occasions << ' ' << s.order << " 0 0 0\n";
  // The reader takes 0 classes or statuses as 1.
  s.classes = std::max(s.classes, 1);
  s.statuses = std::max(s.statuses, 1);
  f << "'data.dat' ''\n";
  f << s.estimationType << " 0 " << s.maxIterations << " 0.000001\n";
  f << "'em.out'\n'" << startFile << "'\n'..'\n";
  f << "10 5 12345 0\n'da.out'\n'da.est'\n'da.ser'\n'..'\n";
  if (s.classItems > 0) f << Repeat(std::to_string(s.classCategories), s.classItems);
  if (s.statusItems > 0) f << Repeat(std::to_string(s.statusCategories), s.statusItems);
  if (s.classItems > 0) f << Repeat("'Class'", s.classes);
  if (s.statusItems > 0) f << Repeat("'Status'", s.statuses);
  for (int i = 0; i < s.classItems; ++i) f << "'CItem'" << Repeat(" 'Cat'", s.classCategories);
  for (int i = 0; i < s.statusItems; ++i) f << "'SItem'" << Repeat(" 'Cat'", s.statusCategories);
  const int extra = s.occasions >= 3 ? (s.occasions - 2) * (s.order == 2 ? s.statuses * s.statuses
                                                                         : s.statuses)
                                     : 0;
  auto sections = [&](const std::string& gamma, const std::string& delta, const std::string& tau,
                      const std::string& little, const std::string& big, int bigOccasions) {
    if (s.classItems > 0) f << Repeat(gamma, s.classes);
    if (s.statusItems > 0) {
      f << Repeat(delta, s.classes * s.statuses);
      for (int c = 0; c < s.classes; ++c) {
        f << Repeat(tau, s.statuses * s.statuses);
        if (s.occasions >= 3) f << Repeat(tau, extra * s.statuses);
      }
    }
    if (s.classItems > 0)
      for (int k = 0; k < s.classCategories * s.classes; ++k) f << Repeat(little, s.classItems);
    if (s.statusItems > 0)
      for (int n = 0; n < s.classes * bigOccasions * s.statusCategories * s.statuses; ++n)
        f << Repeat(big, s.statusItems);
  };
  if (s.maxIterations > 0) sections("1", "1", "1", "1", "1", s.occasions);
  if (s.estimationType == 1) {
    const std::string uniformStatus = std::to_string(1.0 / s.statuses);
    sections(std::to_string(1.0 / s.classes), uniformStatus, uniformStatus,
             std::to_string(1.0 / s.classCategories), std::to_string(1.0 / s.statusCategories), 1);
  }
  return f.str();
}

class ControlFileTest : public ::testing::Test {
 protected:
  void SetUp() override { run::ResetStatusForTesting(); }

  // 1 when the file reads through, else 0 with the failure kept for ErrorCode and lastError.
  std::int32_t Read(const std::string& text, Model* model) {
    return ReadField(PathField(dir.Write("job.cnt", text)), model);
  }
  std::int32_t ReadField(const std::string& field, Model* model) {
    last = ReadControlFile(field, model, &titleFailure);
    lastError = last.Message();
    // The reader only reports; recording is its driver's business.
    EXPECT_EQ(run::RecordedErrorCode(), 0) << lastError;
    return last.IsOk() ? 1 : 0;
  }
  std::int32_t ErrorCode(std::string* message) {
    *message = last.Message();
    return last.Code();
  }
  std::string Reading(const std::string& stage) {
    return stage + dir.Path("job.cnt") +
           "; Please verify that this is a valid file name and path, and that the file is "
           "properly formatted.";
  }

  TempDir dir;
  Status last;
  Status titleFailure;
  std::string lastError;
};

TEST_F(ControlFileTest, ReadsEveryValueIntoItsPlace) {
  // Hand-written file: C = 2, S = 2, one class item and two status items (2 categories each),
  // T = 2, start values chosen so that each lands in a recognisable slot.
  const std::string text =
      "'* First title'\n'* It''s the second'\n"
      "2 2 1 2 2 1 3 1 1\n"
      "'data file.dat' '(5I1,F4.0)'\n"
      "1 1 50 0.0001\n'em.out'\n'ignored.est'\n'em.est'\n"
      "7 3 4321 1\n'da.out'\n'da start.est'\n'da.ser'\n'indiv.est'\n"
      "2\n2 2\n"
      "'Low' 'High'\n'Never' 'Always'\n"
      "'Smoke' 'no' 'yes'\n'Drink' 'no' 'yes'\n'Drive' 'no' 'yes'\n"
      // codes: gamma, delta, tau c1, tau c2, little rho (k, c), big rho (c, t, k, s)
      "1 0\n2 2 1 1\n1 1 0 0\n3 3 1 1\n1\n1\n1\n1\n" +
      Lines("1 1", 16) +
      // start values
      "0.25 0.75\n0.6 0.4 0.3 0.7\n0.9 0.1 0.2 0.8\n0.7 0.3 0.4 0.6\n"
      "0.8\n0.3\n0.2\n0.7\n"
      "0.91 0.81\n0.11 0.21\n0.09 0.19\n0.89 0.79\n"
      "0.92 0.82\n0.12 0.22\n0.08 0.18\n0.88 0.78\n";
  Model m;
  ASSERT_EQ(Read(text, &m), 1) << lastError;
  ASSERT_EQ(m.titles.size(), 2u);
  EXPECT_EQ(TrimRight(m.titles[1]), "* It's the second");
  const ModelDimensions& d = m.dims;
  EXPECT_EQ(d.classes, 2);
  EXPECT_EQ(d.ItemCount(), 5);
  EXPECT_EQ(m.printResiduals, 3);
  EXPECT_TRUE(m.missingData);
  EXPECT_TRUE(m.fixedFormat);
  EXPECT_EQ(TrimRight(m.dataFile), "data file.dat");
  EXPECT_EQ(TrimRight(m.dataFormat), "(5I1,F4.0)");
  EXPECT_EQ(m.maxIterations, 50);
  EXPECT_DOUBLE_EQ(m.criterion, 0.0001);
  // Estimation type 1: the start-values file reads back as blanks.
  EXPECT_EQ(m.emStartValuesFile, std::string(300, ' '));
  EXPECT_EQ(TrimRight(m.emEstimatesFile), "em.est");
  EXPECT_EQ(m.iterationsBetweenImputations, 7);
  EXPECT_EQ(m.seed, 4321);
  EXPECT_EQ(TrimRight(m.individualEstimatesFile), "indiv.est");
  EXPECT_EQ(TrimRight(m.daStartValuesFile), "da start.est");
  EXPECT_EQ(m.statusLabels[1], "Always  ");
  EXPECT_EQ(m.statusCategoryLabels[1][1], "yes     ");
  EXPECT_EQ(m.classItemLabels[0], "Smoke   ");

  EXPECT_EQ(m.codes.gamma, (std::vector{1, 0}));
  // Delta codes are given class by class, stored class fastest: (c1 s1, c2 s1, c1 s2, c2 s2).
  EXPECT_EQ(m.codes.delta, (std::vector{2, 1, 2, 1}));
  // tau(r, j, c): class 1 rows (1 1) (0 0), class 2 rows (3 3) (1 1).
  EXPECT_EQ(m.codes.tau, (std::vector{1, 0, 1, 0, 3, 1, 3, 1}));

  const ParameterSet& v = m.start;
  EXPECT_EQ(v.gamma, (std::vector{0.25, 0.75}));
  EXPECT_DOUBLE_EQ(v.delta[DeltaShape(d)(1, 0, 0)], 0.3);
  EXPECT_DOUBLE_EQ(v.tau[TauShape(d)(0, 1, 1)], 0.3);
  EXPECT_DOUBLE_EQ(v.tau[TauShape(d)(1, 0, 0)], 0.2);
  EXPECT_DOUBLE_EQ(v.littleRho[LittleRhoShape(d)(1, 0, 0)], 0.2);
  EXPECT_DOUBLE_EQ(v.littleRho[LittleRhoShape(d)(0, 0, 1)], 0.3);
  // Big rho of occasion 1 only: class 2, category 1, status 1, item 2 is the 2nd of line 5.
  EXPECT_DOUBLE_EQ(v.bigRho[BigRhoShape(d)(0, 1, 0, 1, 0)], 0.82);
  EXPECT_DOUBLE_EQ(v.bigRho[BigRhoShape(d)(1, 0, 1, 0, 0)], 0.89);
  EXPECT_DOUBLE_EQ(v.bigRho[BigRhoShape(d)(1, 0, 1, 0, 1)], 0.0);
}

TEST_F(ControlFileTest, KeepsTwentyTitlesAndConsumesTheRest) {
  Shape s;
  s.titles = 25;
  Model m;
  ASSERT_EQ(Read(ControlText(s), &m), 1);
  ASSERT_EQ(m.titles.size(), 20u);
  EXPECT_EQ(TrimRight(m.titles[19]), "* Title line 20");
  EXPECT_EQ(m.titles[0].size(), 120u);
  EXPECT_EQ(m.dims.statusItems, 2);
}

TEST_F(ControlFileTest, ReadsALineThatIsNoTitleAgainAsTheModelInformation) {
  Shape s;
  s.titles = 0;
  Model m;
  ASSERT_EQ(Read(ControlText(s), &m), 1);
  EXPECT_TRUE(m.titles.empty());
  EXPECT_EQ(m.dims.classes, 2);
  // An unquoted word is no title either; the model information then fails to read it.
  ASSERT_EQ(Read("'* title'\nwords here\n", &m), 0);
  std::string message;
  EXPECT_EQ(ErrorCode(&message), kBadValue);
  EXPECT_EQ(message, Reading("Unable to read common model information from control file: "));
}

TEST_F(ControlFileTest, ComputesExtraRowsBeforeZeroCountsBecomeOne) {
  Shape s;
  s.classes = 1;
  s.classItems = 0;
  s.statuses = 3;
  s.statusItems = 1;
  s.occasions = 4;
  s.order = 2;
  Model m;
  ASSERT_EQ(Read(ControlText(s), &m), 1);
  // (4 - 2) x 3^2 = 18 extra rows, 21 rows per class.
  EXPECT_EQ(m.dims.extraTransitionRows, 18);
  EXPECT_EQ(m.dims.TransitionRows(), 21);
  EXPECT_EQ(m.codes.tau.size(), 21u * 3u);

  // S read as 0 gives E = (3 - 2) x 0 = 0, and only then S becomes 1.
  const std::string zeroStatuses =
      "0 0 1 0 3 1 0 0 0\n'd' ''\n1 0 0 0.1\n'o'\n'.'\n'.'\n1 1 1 0\n'a'\n'b'\n'c'\n'd'\n"
      "2\n'C1'\n'I' 'a' 'b'\n1.0\n0.5\n0.5\n";
  ASSERT_EQ(Read(zeroStatuses, &m), 1);
  EXPECT_EQ(m.dims.classes, 1);
  EXPECT_EQ(m.dims.statuses, 1);
  EXPECT_EQ(m.dims.extraTransitionRows, 0);
}

TEST_F(ControlFileTest, FillsTheParametersOfAnAbsentLatentVariable) {
  Shape classesOnly;
  classesOnly.statusItems = 0;
  classesOnly.statuses = 0;
  Model m;
  ASSERT_EQ(Read(ControlText(classesOnly), &m), 1);
  EXPECT_EQ(m.dims.statuses, 1);
  EXPECT_DOUBLE_EQ(m.start.delta[DeltaShape(m.dims)(1, 0, 0)], 1.0);
  EXPECT_DOUBLE_EQ(m.start.tau[TauShape(m.dims)(0, 0, 1)], 1.0);
  EXPECT_TRUE(m.statusLabels.size() == 1 && m.statusItemLabels.empty());

  Shape statusesOnly;
  statusesOnly.classItems = 0;
  statusesOnly.classes = 0;
  ASSERT_EQ(Read(ControlText(statusesOnly), &m), 1) << lastError;
  EXPECT_EQ(m.start.gamma, (std::vector{1.0}));
  EXPECT_TRUE(m.codes.littleRho.empty());
}

TEST_F(ControlFileTest, ReadsNoRestrictionsWithoutIterations) {
  Shape s;
  s.maxIterations = 0;
  Model m;
  ASSERT_EQ(Read(ControlText(s), &m), 1);
  EXPECT_FALSE(m.restrictionsRead);
  EXPECT_DOUBLE_EQ(m.start.gamma[1], 0.5);
  for (std::int32_t code : m.codes.tau) EXPECT_EQ(code, 0);
}

TEST_F(ControlFileTest, TakesStartValuesFromTheEstimatesFileForTypesTwoAndFour) {
  // C = 2, S = 2, T = 3, one status item, no class items: groups are delta (4), tau c1 (4),
  // tau c1 rows 3-4 (4), tau c2 (4 + 4), big rho c x t x k x s = 2 x 3 x 2 x 2 = 24 lines.
  std::string estimates = "0.6 0.4\n0.3 0.7\n";
  for (int i = 0; i < 4; ++i) estimates += "0.5 0.5 0.5\n0.5\n";
  for (int i = 0; i < 24; ++i) estimates += "0.25\n";
  estimates += " 17\n\n";
  dir.Write("start.est", estimates);
  for (int type : {2, 4}) {
    Shape s;
    s.classItems = 0;
    s.statusItems = 1;
    s.occasions = 3;
    s.estimationType = type;
    s.maxIterations = type == 4 ? 0 : 10;
    Model m;
    ASSERT_EQ(Read(ControlText(s, dir.Path("start.est")), &m), 1) << type;
    EXPECT_TRUE(m.startValuesFromFile);
    EXPECT_EQ(m.startIteration, 17);
    EXPECT_EQ(TrimRight(m.emStartValuesFile), dir.Path("start.est"));
    EXPECT_DOUBLE_EQ(m.start.delta[DeltaShape(m.dims)(1, 0, 0)], 0.3);
    EXPECT_DOUBLE_EQ(m.start.bigRho[BigRhoShape(m.dims)(0, 0, 1, 1, 2)], 0.25);
  }
}

TEST_F(ControlFileTest, RefusesAnEstimatesFileWithoutItsIterationLine) {
  std::string estimates = "0.6 0.4\n0.3 0.7\n";
  for (int i = 0; i < 4; ++i) estimates += "0.5 0.5 0.5\n0.5\n";
  for (int i = 0; i < 24; ++i) estimates += "0.25\n";
  const std::string path = dir.Write("start.est", estimates + "\n\n");
  Shape s;
  s.classItems = 0;
  s.statusItems = 1;
  s.occasions = 3;
  s.estimationType = 2;
  Model m;
  ASSERT_EQ(Read(ControlText(s, path), &m), 0);
  std::string message;
  EXPECT_EQ(ErrorCode(&message), kEndOfFile);
  EXPECT_EQ(message, "Unable to read last iteration value from parameter estimates file: " + path +
                         "; Please verify that this is a valid file name and path, and that the "
                         "file is properly formatted.");

  dir.Write("short.est", "0.6 0.4\n");
  ASSERT_EQ(Read(ControlText(s, dir.Path("short.est")), &m), 0);
  EXPECT_EQ(ErrorCode(&message), kEndOfFile);
  EXPECT_EQ(message, "Unable to read starting values from parameter estimates file: " +
                         dir.Path("short.est") +
                         "; Please verify that this is a valid file name and path, and that the "
                         "file is properly formatted.");

  ASSERT_EQ(Read(ControlText(s, dir.Path("none.est")), &m), 0);
  EXPECT_EQ(ErrorCode(&message), ENOENT);
  EXPECT_EQ(message, "Unable to open parameter estimates file: " + dir.Path("none.est") +
                         "; Please verify that this is a valid file name and path.");
}

TEST_F(ControlFileTest, EachStageFailsWithItsOwnMessage) {
  const std::string full = ControlText(Shape{});
  // Cut the file after n lines: the stage that runs out names itself; end of file counts.
  struct Cut {
    int lines;
    const char* stage;
  };
  // Line numbers of the default shape: title 1, common 2-3, EM 4-7, DA 8-12, categories
  // 13-14, labels 15-19, codes 20-43, start values 44-59.
  const Cut cuts[] = {{1, "Unable to read common model information from control file: "},
                      {2, "Unable to read common model information from control file: "},
                      {3, "Unable to read EM model information from control file: "},
                      {5, "Unable to read EM model information from control file: "},
                      {7, "Unable to read DA model information from control file: "},
                      {9, "Unable to read DA model information from control file: "},
                      {12, "Unable to read response category information from control file: "},
                      {13, "Unable to read response category information from control file: "},
                      {14, "Unable to read label information from control file: "},
                      {18, "Unable to read label information from control file: "},
                      {19, "Unable to read parameter restrictions from control file: "},
                      {25, "Unable to read parameter restrictions from control file: "},
                      {43, "Unable to read starting values from parameter estimates file: "},
                      {58, "Unable to read starting values from parameter estimates file: "}};
  for (const Cut& cut : cuts) {
    std::size_t at = 0;
    for (int i = 0; i < cut.lines; ++i) at = full.find('\n', at) + 1;
    run::ResetStatusForTesting();
    Model m;
    ASSERT_EQ(Read(full.substr(0, at), &m), 0) << cut.lines;
    std::string message;
    EXPECT_EQ(ErrorCode(&message), kEndOfFile) << cut.lines;
    EXPECT_EQ(message, Reading(cut.stage)) << cut.lines;
  }
}

TEST_F(ControlFileTest, AMissingFileNamesItselfWithTheOpenStatus) {
  Model m;
  const std::string path = dir.Path("missing.cnt");
  ASSERT_EQ(ReadField(PathField(path), &m), 0);
  std::string message;
  EXPECT_EQ(ErrorCode(&message), ENOENT);
  EXPECT_EQ(message, "Unable to open control file: " + path +
                         "; Please verify that this is a valid file name and path.");
  ASSERT_EQ(ReadField(PathField(dir.Path("")), &m), 0);
  EXPECT_EQ(ErrorCode(&message), EISDIR);
}

TEST_F(ControlFileTest, AnUnreadableTitleIsRecordedAndReadingGoesOn) {
  const std::string rest = ControlText(Shape{}).substr(std::string("'* Title line 1'\n").size());
  const std::string unreadable = "'* ok'\n'*" + std::string(2 << 20, 'x') + "'\n";
  struct Case {
    const char* what;
    std::string text;
    std::int32_t result, titleCode;
  };
  const Case cases[] = {
      {"readable title", ControlText(Shape{}), 1, kStatusOk},
      {"unreadable title", unreadable + rest, 1, kLineTooLong},
      // A later failure is the one returned; the title's is not handed back beside it.
      {"unreadable title, then no model", unreadable + "words here\n", 0, kStatusOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    titleFailure = Status(kBadValue, "stale");
    Model m;
    ASSERT_EQ(Read(c.text, &m), c.result) << lastError;
    EXPECT_EQ(titleFailure.Code(), c.titleCode);
    EXPECT_EQ(titleFailure.Message(), c.titleCode == kStatusOk ? "" : "Error Reading Title");
    EXPECT_EQ(last.Code(), c.result == 1 ? kStatusOk : kBadValue);
  }
}

TEST_F(ControlFileTest, RefusesAbsurdDimensionsNamingTheCountAndItsLimit) {
  // The head of a file up to the category counts; the reader refuses before it needs more.
  const auto head = [](const std::string& common, const std::string& categories = "") {
    return common + "\n'd' ''\n1 0 10 0.1\n'o'\n'.'\n'.'\n1 1 1 0\n'a'\n'b'\n'c'\n'd'\n" +
           categories;
  };
  Shape manyCategories;
  manyCategories.classCategories = 150;
  const std::string common = "Unable to read common model information from control file: ";
  const std::string categories = "Unable to read response category information from control file: ";
  const std::string limit = " values, over the limit of 16777216 in one parameter array.";
  struct Case {
    std::string text;
    std::string stage;
    std::string why;
  };
  const Case cases[] = {
      {head("1000000000 2 1 1 2 1 0 0 0"), common,
       "The number of latent classes (1000000000) is over the limit of 1000."},
      {head("2 1500 0 1 2 1 0 0 0"), common,
       "The number of latent statuses (1500) is over the limit of 1000."},
      {head("2 2 1 1001 2 1 0 0 0"), common,
       "The number of items per occasion measuring the latent statuses (1001) is over the "
       "limit of 1000."},
      {head("2 2 1 1 51 1 0 0 0"), common, "The number of occasions (51) is over the limit of 50."},
      {head("-2 2 1 1 2 1 0 0 0"), common, "The number of latent classes (-2) is negative."},
      // E = 3 x 1000^2, so tau takes (1000 + 3 x 10^6) x 1000 x 2 values.
      {head("2 1000 0 5 5 2 0 0 0"), common, "The tau parameters would take 6002000000" + limit},
      // 2^1000 rows per transition: counting stops long before.
      {head("2 2 0 1 3 1000 0 0 0"), common,
       "The tau parameters would take more than 16777216" + limit},
      {ControlText(manyCategories), categories,
       "The number of response categories of class item 1 (150) is over the limit of 99."},
      // Big rho: 99 categories x 1000 items x 100 statuses x 1 class x 2 occasions.
      {head("1 100 0 1000 2 1 0 0 0", Repeat("99", 1000)), categories,
       "The big rho parameters would take 19800000" + limit},
  };
  for (const Case& c : cases) {
    run::ResetStatusForTesting();
    Model m;
    ASSERT_EQ(Read(c.text, &m), 0) << c.why;
    std::string message;
    EXPECT_EQ(ErrorCode(&message), kModelTooLarge) << c.why;
    EXPECT_EQ(message, c.stage + dir.Path("job.cnt") + "; " + c.why);
  }
}

TEST_F(ControlFileTest, RefusesARestrictionCodeWhoseMagnitudeIsNoCode) {
  // Line 20 of the default shape holds the two gamma codes.
  std::string text = ControlText(Shape{});
  std::size_t at = 0;
  for (int i = 0; i < 19; ++i) at = text.find('\n', at) + 1;
  const std::size_t end = text.find('\n', at);
  const struct {
    const char* codes;
    bool accepted;
  } cases[] = {{"-2147483648 1", false}, {"1 -2147483648", false}, {"-2147483647 2147483647", true}};
  for (const auto& c : cases) {
    run::ResetStatusForTesting();
    Model m;
    const std::int32_t result = Read(text.substr(0, at) + c.codes + text.substr(end), &m);
    EXPECT_EQ(result, c.accepted ? 1 : 0) << c.codes;
    if (c.accepted) continue;
    std::string message;
    EXPECT_EQ(ErrorCode(&message), kBadValue) << c.codes;
    EXPECT_EQ(message, "Unable to read parameter restrictions from control file: " +
                           dir.Path("job.cnt") +
                           "; The restriction code -2147483648 is outside the range -2147483647 "
                           "to 2147483647.");
  }
}

TEST_F(ControlFileTest, RefusesAStoredIterationThatLeavesNoRoomForTheRun) {
  // C = 2, S = 2, T = 3, one status item: the groups of the estimates file as in the test above.
  std::string estimates = "0.6 0.4\n0.3 0.7\n";
  for (int i = 0; i < 4; ++i) estimates += "0.5 0.5 0.5\n0.5\n";
  for (int i = 0; i < 24; ++i) estimates += "0.25\n";
  const struct {
    const char* iteration;
    int type, maxIterations;
    bool accepted;
  } cases[] = {
      {"2147483647", 2, 10, false},
      {"2147483638", 2, 10, false},  // one past room for ten more
      {"-1", 2, 10, false},
      {"2147483637", 2, 10, true},   // exactly room for ten more
      {"2147483647", 4, 0, true},    // goodness of fit only: no iteration follows
  };
  for (const auto& c : cases) {
    run::ResetStatusForTesting();
    const std::string path = dir.Write("start.est", estimates + " " + c.iteration + "\n");
    Shape s;
    s.classItems = 0;
    s.statusItems = 1;
    s.occasions = 3;
    s.estimationType = c.type;
    s.maxIterations = c.maxIterations;
    Model m;
    ASSERT_EQ(Read(ControlText(s, path), &m), c.accepted ? 1 : 0) << c.iteration;
    if (c.accepted) continue;
    std::string message;
    EXPECT_EQ(ErrorCode(&message), kBadValue) << c.iteration;
    EXPECT_EQ(message, "Unable to read last iteration value from parameter estimates file: " +
                           path +
                           "; Please verify that this is a valid file name and path, and that the "
                           "file is properly formatted.");
  }
}

// The text as UTF-16, each character of ours followed (little end first) or preceded by a zero.
std::string Utf16(const std::string& text, bool littleEndian) {
  std::string wide;
  for (char c : text) wide += littleEndian ? std::string{c, '\0'} : std::string{'\0', c};
  return wide;
}

TEST_F(ControlFileTest, SkipsAUtf8ByteOrderMarkAndRefusesUtf16) {
  const std::string text = ControlText(Shape{});
  const struct {
    const char* encoding;
    std::string bytes;
    bool accepted;
  } cases[] = {
      {"UTF-8 with mark", "\xEF\xBB\xBF" + text, true},
      {"UTF-16LE with mark", "\xFF\xFE" + Utf16(text, true), false},
      {"UTF-16BE with mark", "\xFE\xFF" + Utf16(text, false), false},
      {"UTF-16LE without mark", Utf16(text, true), false},
  };
  for (const auto& c : cases) {
    run::ResetStatusForTesting();
    Model m;
    ASSERT_EQ(Read(c.bytes, &m), c.accepted ? 1 : 0) << c.encoding << ": " << lastError;
    if (c.accepted) {
      EXPECT_EQ(TrimRight(m.titles.at(0)), "* Title line 1");
      continue;
    }
    std::string message;
    EXPECT_EQ(ErrorCode(&message), EILSEQ) << c.encoding;
    EXPECT_EQ(message, "The control file " + dir.Path("job.cnt") +
                           " is saved as UTF-16; please save it as plain text (UTF-8 or ASCII).");
  }
}

TEST_F(ControlFileTest, SurvivesBinaryAndGarbageInput) {
  std::string binary;
  for (int i = 0; i < 5000; ++i) binary.push_back(static_cast<char>((i * 131) % 256));
  for (const std::string& text : {binary, std::string("\0\0\0\n", 4), std::string("''''''\n"),
                                  std::string("1 2 3\n"), std::string()}) {
    Model m;
    EXPECT_EQ(Read(text, &m), 0);
    std::string message;
    EXPECT_NE(ErrorCode(&message), 0);
  }
}

}  // namespace
}  // namespace kov::input

namespace kov::input {
namespace {

TEST_F(ControlFileTest, ReadsTheRandomStartsBlockAfterTheLastSection) {
  struct Case {
    const char* block;
    std::int32_t result;
    bool startsBlock;
    std::int32_t starts, finalStarts, stage, seed;
    double stop;  // 0: no stop rule
    const char* why;  // the refusal's reason, when refused
  };
  const Case cases[] = {
      {"", 1, false, 0, 0, 0, 0, 0.0, ""},
      {"\n  \n", 1, false, 0, 0, 0, 0, 0.0, ""},
      // Anything else after the last section was never read and still is not.
      {"0.5 0.5\n", 1, false, 0, 0, 0, 0, 0.0, ""},
      {"'STARTS' 20 5 50 12345\n", 1, true, 20, 5, 50, 12345, 0.0, ""},
      {"'starts' 0 0 0 7\n'STOP' 1e-9\n", 1, true, 0, 0, 0, 7, 1e-9, ""},
      {"'STOP' 0.000001\n", 1, false, 0, 0, 0, 0, 1e-6, ""},
      {"'STARTS' 8 2 10 1\n'other'\n", 1, true, 8, 2, 10, 1, 0.0, ""},
      {"'STARTS' 4 5 10 1\n", 0, false, 0, 0, 0, 0, 0.0,
       "The number of starts run to convergence (5) is over the number of random starts (4)."},
      {"'STARTS' -1 0 10 1\n", 0, false, 0, 0, 0, 0, 0.0,
       "The number of random starts (-1) is negative."},
      {"'STARTS' 10001 0 10 1\n", 0, false, 0, 0, 0, 0, 0.0,
       "The number of random starts (10001) is over the limit of 10000."},
      {"'STARTS' 20 5 50 -3\n", 0, false, 0, 0, 0, 0, 0.0,
       "The random start seed (-3) is negative."},
      {"'STARTS' 20 5 50 1\n'STOP' 0\n", 0, false, 0, 0, 0, 0, 0.0,
       "The log-likelihood stop criterion must be above 0."},
      {"'STARTS' 20 5\n", 0, false, 0, 0, 0, 0, 0.0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.block);
    run::ResetStatusForTesting();
    Model m;
    ASSERT_EQ(Read(ControlText(Shape{}) + c.block, &m), c.result) << lastError;
    if (c.result == 0) {
      const std::string stage = "Unable to read random start settings from control file: ";
      EXPECT_EQ(lastError, *c.why ? stage + dir.Path("job.cnt") + "; " + c.why
                                  : Reading(stage));
      continue;
    }
    EXPECT_EQ(m.startsBlock, c.startsBlock);
    EXPECT_EQ(m.starts, c.starts);
    EXPECT_EQ(m.finalStarts, c.finalStarts);
    EXPECT_EQ(m.firstStageIterations, c.stage);
    EXPECT_EQ(m.startSeed, c.seed);
    EXPECT_EQ(m.logLikelihoodRule, c.stop > 0.0);
    EXPECT_DOUBLE_EQ(m.logLikelihoodCriterion, c.stop);
    // The sections before the block read as they did.
    EXPECT_EQ(m.maxIterations, 100);
    EXPECT_DOUBLE_EQ(m.start.gamma[1], 0.5);
  }
}

TEST_F(ControlFileTest, ReadsThePosteriorLineLastInTheBlock) {
  struct Case {
    const char* block;
    std::int32_t result;
    const char* file;  // as read: empty for none
    bool byPattern;
    bool startsBlock;
    double stop;
  };
  const Case cases[] = {
      {"'POSTERIOR' 'post.csv' 0\n", 1, "post.csv", false, false, 0.0},
      {"'posterior' 'out dir/p, q.csv' 1\n", 1, "out dir/p, q.csv", true, false, 0.0},
      {"'STOP' 1e-9\n'POSTERIOR' p.csv 1\n", 1, "p.csv", true, false, 1e-9},
      {"'STARTS' 8 2 10 1\n'STOP' 1e-9\n'POSTERIOR' p.csv 0\n", 1, "p.csv", false, true, 1e-9},
      {"'STARTS' 8 2 10 1\n'POSTERIOR' p.csv 0\n", 1, "p.csv", false, true, 0.0},
      // Out of order: the block ends at the line that cannot follow.
      {"'POSTERIOR' p.csv 0\n'STOP' 1e-9\n", 1, "p.csv", false, false, 0.0},
      {"'POSTERIOR' '' 0\n", 0, "", false, false, 0.0},
      {"'POSTERIOR' p.csv\n", 0, "", false, false, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.block);
    run::ResetStatusForTesting();
    Model m;
    ASSERT_EQ(Read(ControlText(Shape{}) + c.block, &m), c.result) << lastError;
    if (c.result == 0) continue;
    EXPECT_EQ(m.posteriorFile, c.file);
    EXPECT_EQ(m.posteriorByPattern, c.byPattern);
    EXPECT_EQ(m.startsBlock, c.startsBlock);
    EXPECT_DOUBLE_EQ(m.logLikelihoodCriterion, c.stop);
  }
}

TEST_F(ControlFileTest, ReadsTheEnumerateLineAfterThePosteriorLine) {
  struct Case {
    const char* block;
    std::int32_t result;
    std::int32_t kind, from, to, bootstrap;  // as read
    const char* posterior;
    const char* why;  // the refusal's reason, when refused
  };
  const Case cases[] = {
      {"'ENUMERATE' 1 1 4 100\n", 1, 1, 1, 4, 100, "", ""},
      {"'STARTS' 8 2 10 1\n'STOP' 1e-9\n'POSTERIOR' p.csv 0\n'enumerate' 2, 2, 2, 0\n", 1, 2, 2, 2,
       0, "p.csv", ""},
      // Before the posterior line it ends the block, as any line out of order does.
      {"'ENUMERATE' 1 1 4 0\n'POSTERIOR' p.csv 0\n", 1, 1, 1, 4, 0, "", ""},
      {"'ENUMERATE' 1 1 50 10000\n", 1, 1, 1, 50, 10000, "", ""},
      {"'ENUMERATE' 3 1 4 0\n", 0, 0, 0, 0, 0, "",
       "The kind of the ENUMERATE line (3) is neither 1 (classes) nor 2 (statuses)."},
      {"'ENUMERATE' 0 1 4 0\n", 0, 0, 0, 0, 0, "",
       "The kind of the ENUMERATE line (0) is neither 1 (classes) nor 2 (statuses)."},
      {"'ENUMERATE' 1 0 4 0\n", 0, 0, 0, 0, 0, "",
       "The smallest size of the ENUMERATE line (0) is below 1."},
      {"'ENUMERATE' 2 3 2 0\n", 0, 0, 0, 0, 0, "",
       "The largest size of the ENUMERATE line (2) is below its smallest size (3)."},
      {"'ENUMERATE' 1 1 51 0\n", 0, 0, 0, 0, 0, "",
       "The largest size of the ENUMERATE line (51) is over the limit of 50."},
      {"'ENUMERATE' 1 1 4 -1\n", 0, 0, 0, 0, 0, "",
       "The number of bootstrap samples of the ENUMERATE line (-1) is negative."},
      {"'ENUMERATE' 1 1 4 10001\n", 0, 0, 0, 0, 0, "",
       "The number of bootstrap samples of the ENUMERATE line (10001) is over the limit of "
       "10000."},
      {"'ENUMERATE' 1 1 4\n", 0, 0, 0, 0, 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.block);
    run::ResetStatusForTesting();
    Model m;
    ASSERT_EQ(Read(ControlText(Shape{}) + c.block, &m), c.result) << lastError;
    if (c.result == 0) {
      const std::string stage = "Unable to read random start settings from control file: ";
      EXPECT_EQ(lastError, *c.why ? stage + dir.Path("job.cnt") + "; " + c.why : Reading(stage));
      continue;
    }
    EXPECT_EQ(m.enumerationKind, c.kind);
    EXPECT_EQ(m.enumerationFrom, c.from);
    EXPECT_EQ(m.enumerationTo, c.to);
    EXPECT_EQ(m.enumerationBootstrap, c.bootstrap);
    EXPECT_EQ(m.posteriorFile, c.posterior);
  }
}

}  // namespace
}  // namespace kov::input
