// Whole report blocks compared line by line with expected files written by hand from the column
// rules of the report (one blank and a label, values at fixed columns; table rows of one blank,
// an 8-character label and per column its spacing and a 5-character cell). The three models
// cover latent classes only, latent statuses only, and both with a second-order process.
//
// Values are chosen so that every cell can be read off by hand: the first two models use small
// binary fractions (0.0625 -> 0.063 and 0.3125 -> 0.313 check rounding half up), the third
// encodes each entry's 1-based indices in its digits (delta(c,s,t) = 0.cst, tau(r,j,c) = c.rrj,
// little rho(k,i,c) = 0.kic, big rho(k,i,s,c,t) = c.kst, and codes the same way as integers), so
// an entry printed in the wrong place shows at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "base/text_output.h"
#include "input/model.h"
#include "report/job_header.h"
#include "report/parameter_tables.h"
#include "report/restrictions_report.h"
#include "report/run_end.h"

namespace kov::report {
namespace {

using input::Model;

std::string Padded(const std::string& text, std::size_t width) {
  std::string padded = text;
  padded.resize(width, ' ');
  return padded;
}
std::string Label(const std::string& text) { return Padded(text, input::kLabelWidth); }
std::string File(const std::string& text) { return Padded(text, input::kFileNameWidth); }

std::tm Time(int year, int month, int day, int weekday, int hour, int minute, int second) {
  std::tm time{};
  time.tm_year = year - 1900;
  time.tm_mon = month - 1;
  time.tm_mday = day;
  time.tm_wday = weekday;
  time.tm_hour = hour;
  time.tm_min = minute;
  time.tm_sec = second;
  return time;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class ReportFile : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = ::testing::TempDir() + "report_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".out";
    ASSERT_EQ(m_out.Create(m_path), 0);
  }
  void TearDown() override { std::remove(m_path.c_str()); }

  // Writes the blocks of a run in the order the drivers write them.
  void WriteReport(const Model& model, const JobInfo& job, const std::tm& finished,
                   std::uint64_t elapsedMilliseconds) {
    EXPECT_EQ(WriteJobHeader(m_out, model, job), 0);
    EXPECT_EQ(WriteRestrictionsReport(m_out, model, model.codes), 0);
    EXPECT_EQ(WriteStartValues(m_out, model, model.start), 0);
    EXPECT_EQ(WriteRunEnd(m_out, finished, elapsedMilliseconds, job.runType), 0);
    ASSERT_EQ(m_out.Close(), 0);
  }

  void ExpectFileMatches(const std::string& expectedName) {
    const std::vector<std::string> expected =
        ReadLines(std::string(REPORT_TEST_DATA) + "/" + expectedName);
    ASSERT_FALSE(expected.empty()) << "missing expected file " << expectedName;
    const std::vector<std::string> actual = ReadLines(m_path);
    for (std::size_t n = 0; n < expected.size() && n < actual.size(); ++n) {
      if (expected[n] != actual[n]) {
        ADD_FAILURE() << expectedName << " line " << n + 1 << " differs\n  expected: ["
                      << expected[n] << "]\n  actual:   [" << actual[n] << "]";
        return;
      }
    }
    EXPECT_EQ(actual.size(), expected.size()) << expectedName << ": number of lines";
  }

  std::string m_path;
  input::TextOutput m_out;
};

// C = 3 classes, two class items with 2 and 3 categories (Kc = 3), no statuses; an EM run
// continued from estimates of a previous run.
Model ClassesOnlyModel() {
  Model model;
  model.titles = {Padded("* LATENT CLASS TEST", input::kTitleWidth),
                  Padded("* SECOND TITLE LINE", input::kTitleWidth)};
  model.dims.classes = 3;
  model.dims.classItems = 2;
  model.dims.maxClassCategories = 3;
  model.printResiduals = 2;
  model.dataFile = File("/data/classes.dat");
  model.estimationType = 2;
  model.writeEstimates = true;
  model.maxIterations = 500;
  model.criterion = 0.000001;
  model.emOutputFile = File("/data/classes.out");
  model.emStartValuesFile = File("/data/classes.est");
  model.emEstimatesFile = File("/data/classes2.est");
  model.daOutputFile = File("/data/WRONG.out");  // a DA file name must not appear
  model.classItemCategories = {2, 3};
  model.classLabels = {Label("LOW"), Label("MID"), Label("HIGH")};
  model.classItemLabels = {Label("ITEMA"), Label("ITEMB")};
  model.classCategoryLabels = {{Label("NO"), Label("YES")},
                               {Label("ONE"), Label("TWO"), Label("THREE")}};
  model.restrictionsRead = true;
  model.startValuesFromFile = true;
  input::AllocateParameters(model.dims, &model.start);
  input::AllocateRestrictions(model.dims, &model.codes);

  model.start.gamma = {0.5, 0.25, 0.25};
  model.codes.gamma = {1, 2, 2};
  // [item][class][category]
  const double rho[2][3][3] = {{{0.75, 0.25, 0.0}, {0.5, 0.5, 0.0}, {0.25, 0.75, 0.0}},
                               {{0.5, 0.25, 0.25}, {0.25, 0.5, 0.25}, {0.0625, 0.3125, 0.625}}};
  const std::int32_t codes[2][3][3] = {{{1, 1, 0}, {2, 2, 0}, {1, 123456, 0}},
                                       {{1, 1, 1}, {3, 0, 1}, {3, 12, 1}}};
  const auto shape = input::LittleRhoShape(model.dims);
  for (int i = 0; i < 2; ++i) {
    for (int c = 0; c < 3; ++c) {
      for (int k = 0; k < 3; ++k) {
        model.start.littleRho[shape(k, i, c)] = rho[i][c][k];
        model.codes.littleRho[shape(k, i, c)] = codes[i][c][k];
      }
    }
  }
  return model;
}

// C = 1, S = 2 statuses at T = 3 occasions, one binary status item, first-order process (E = 2,
// four transition rows); a data-augmentation run.
Model StatusesOnlyModel() {
  Model model;
  model.dims.statuses = 2;
  model.dims.statusItems = 1;
  model.dims.occasions = 3;
  model.dims.maxStatusCategories = 2;
  model.dims.extraTransitionRows = 2;
  model.printResiduals = 1;
  model.missingData = true;
  model.dataFile = File("/runs/stat.dat");
  // EM settings and files that a DA header must not show.
  model.estimationType = 2;
  model.writeEstimates = true;
  model.emOutputFile = File("/runs/WRONG.out");
  model.emStartValuesFile = File("/runs/WRONG.est");
  model.emEstimatesFile = File("/runs/WRONG2.est");
  model.iterationsBetweenImputations = 100;
  model.imputations = 5;
  model.seed = 1234567;
  model.writeIndividualEstimates = true;
  model.daOutputFile = File("/runs/stat.out");
  model.daStartValuesFile = File("/runs/stat.est");
  model.seriesFile = File("/runs/stat.ser");
  model.individualEstimatesFile = File("/runs/stat.ind");
  model.statusItemCategories = {2};
  model.statusLabels = {Label("NONUSER"), Label("USER")};
  model.statusItemLabels = {Label("DRINK")};
  model.statusCategoryLabels = {{Label("NO"), Label("YES")}};
  model.restrictionsRead = true;
  model.startValuesFromFile = true;
  input::AllocateParameters(model.dims, &model.start);
  input::AllocateRestrictions(model.dims, &model.codes);

  const auto delta = input::DeltaShape(model.dims);
  const double deltas[2][3] = {{0.75, 0.5, 0.25}, {0.25, 0.5, 0.75}};  // [s][t]
  for (int s = 0; s < 2; ++s) {
    for (int t = 0; t < 3; ++t) model.start.delta[delta(0, s, t)] = deltas[s][t];
  }
  model.codes.delta = {1, 0};

  const auto tau = input::TauShape(model.dims);
  const double taus[4][2] = {{0.9, 0.1}, {0.2, 0.8}, {0.8, 0.2}, {0.3, 0.7}};  // [r][j]
  const std::int32_t tauCodes[4][2] = {{1, 0}, {0, 1}, {2, 0}, {0, 2}};
  for (int r = 0; r < 4; ++r) {
    for (int j = 0; j < 2; ++j) {
      model.start.tau[tau(r, j, 0)] = taus[r][j];
      model.codes.tau[tau(r, j, 0)] = tauCodes[r][j];
    }
  }

  const auto rho = input::BigRhoShape(model.dims);
  // [t][s][k]
  const double rhos[3][2][2] = {{{0.9, 0.1}, {0.1, 0.9}},
                                {{0.85, 0.15}, {0.15, 0.85}},
                                {{0.875, 0.125}, {0.0625, 0.9375}}};
  const std::int32_t rhoCodes[3][2][2] = {{{1, 0}, {1, 0}}, {{2, 0}, {3, 0}}, {{2, 0}, {3, 0}}};
  for (int t = 0; t < 3; ++t) {
    for (int s = 0; s < 2; ++s) {
      for (int k = 0; k < 2; ++k) {
        model.start.bigRho[rho(k, 0, s, 0, t)] = rhos[t][s][k];
        model.codes.bigRho[rho(k, 0, s, 0, t)] = rhoCodes[t][s][k];
      }
    }
  }
  return model;
}

// C = 2, S = 3, T = 4, second-order process (E = 2 x 9 = 18, R = 21 rows per class), one
// binary class item and one binary status item; a new EM estimation.
Model BothModel() {
  Model model;
  // A title that fills all 120 columns is printed whole.
  model.titles = {"* " + std::string(118, 'X')};
  model.dims.classes = 2;
  model.dims.statuses = 3;
  model.dims.classItems = 1;
  model.dims.statusItems = 1;
  model.dims.occasions = 4;
  model.dims.order = 2;
  model.dims.maxClassCategories = 2;
  model.dims.maxStatusCategories = 2;
  model.dims.extraTransitionRows = 18;
  model.missingData = true;
  model.dataFile = File("/both/both.dat");
  model.estimationType = 1;
  model.writeEstimates = false;
  model.maxIterations = 2000;
  model.criterion = 0.0005;
  model.emOutputFile = File("/both/both.out");
  model.emStartValuesFile = File("/both/WRONG.est");  // not used by a new estimation
  model.emEstimatesFile = File("/both/WRONG2.est");   // writing estimates is off
  model.classItemCategories = {2};
  model.statusItemCategories = {2};
  model.classLabels = {Label("GROUP1"), Label("GROUP2")};
  model.statusLabels = {Label("EARLY"), Label("MIDDLE"), Label("LATE")};
  model.classItemLabels = {Label("SEX")};
  model.classCategoryLabels = {{Label("MALE"), Label("FEMALE")}};
  model.statusItemLabels = {Label("SMOKE")};
  model.statusCategoryLabels = {{Label("NEVER"), Label("EVER")}};
  model.restrictionsRead = true;
  input::AllocateParameters(model.dims, &model.start);
  input::AllocateRestrictions(model.dims, &model.codes);

  model.start.gamma = {0.6, 0.4};
  model.codes.gamma = {1, 0};
  const auto delta = input::DeltaShape(model.dims);
  const auto deltaCode = input::DeltaCodeShape(model.dims);
  const auto tau = input::TauShape(model.dims);
  const auto little = input::LittleRhoShape(model.dims);
  const auto big = input::BigRhoShape(model.dims);
  for (int c = 1; c <= 2; ++c) {
    for (int s = 1; s <= 3; ++s) {
      model.codes.delta[deltaCode(c - 1, s - 1)] = 10 * c + s;
      for (int t = 1; t <= 4; ++t) {
        model.start.delta[delta(c - 1, s - 1, t - 1)] = (100 * c + 10 * s + t) / 1000.0;
      }
    }
    for (int r = 1; r <= 21; ++r) {
      for (int j = 1; j <= 3; ++j) {
        model.start.tau[tau(r - 1, j - 1, c - 1)] = (1000 * c + 10 * r + j) / 1000.0;
        model.codes.tau[tau(r - 1, j - 1, c - 1)] = 1000 * c + 10 * r + j;
      }
    }
    for (int k = 1; k <= 2; ++k) {
      model.start.littleRho[little(k - 1, 0, c - 1)] = (100 * k + 10 + c) / 1000.0;
      model.codes.littleRho[little(k - 1, 0, c - 1)] = 100 * k + 10 + c;
      for (int s = 1; s <= 3; ++s) {
        for (int t = 1; t <= 4; ++t) {
          const int digits = 1000 * c + 100 * k + 10 * s + t;
          model.start.bigRho[big(k - 1, 0, s - 1, c - 1, t - 1)] = digits / 1000.0;
          model.codes.bigRho[big(k - 1, 0, s - 1, c - 1, t - 1)] = digits;
        }
      }
    }
  }
  return model;
}

TEST_F(ReportFile, LatentClassesOnly) {
  JobInfo job;
  job.runType = RunType::kEm;
  job.controlFile = File("/data/classes.cnt");
  job.patternCount = 6;
  job.subjectCount = 1234.5;
  job.started = Time(2024, 3, 6, 3, 9, 5, 7);
  // 3 725.999 s: 1 hour, 2 minutes, 5 seconds, the fraction dropped.
  WriteReport(ClassesOnlyModel(), job, Time(2024, 3, 6, 3, 10, 7, 12), 3'725'999);
  ExpectFileMatches("classes_only.out");
}

TEST_F(ReportFile, LatentStatusesOnly) {
  JobInfo job;
  job.runType = RunType::kDa;
  job.controlFile = "/runs/stat.cnt";
  job.patternCount = 12;
  job.subjectCount = 1235.5;
  job.started = Time(2023, 12, 31, 0, 23, 59, 58);
  WriteReport(StatusesOnlyModel(), job, Time(2024, 1, 1, 1, 0, 0, 59), 61'500);
  ExpectFileMatches("statuses_only.out");
}

TEST_F(ReportFile, ClassesAndStatusesSecondOrder) {
  JobInfo job;
  job.runType = RunType::kEm;
  job.controlFile = File("/both/both.cnt");
  job.patternCount = 40;
  job.subjectCount = 987.25;
  job.started = Time(2008, 2, 29, 5, 12, 0, 0);
  WriteReport(BothModel(), job, Time(2008, 2, 29, 5, 12, 0, 0), 999);
  ExpectFileMatches("classes_and_statuses.out");
}

// Final estimates: each rho table is preceded by the warning that names what the user may wish
// to relabel, and the five tables follow in the order little rho, big rho, gamma, delta, tau.
TEST_F(ReportFile, FinalEstimatesWarnBeforeEachRhoTable) {
  const Model model = BothModel();
  ASSERT_EQ(WriteFinalEstimates(m_out, model, model.start), 0);
  ASSERT_EQ(m_out.Close(), 0);
  const std::vector<std::string> lines = ReadLines(m_path);
  const std::vector<std::string> classesWarning = {
      "  **WARNING**: BE SURE TO INTERPRET THE LATENT CLASSES CAREFULLY ",
      "               BASED ON THE ESTIMATED RHO PARAMETERS REPORTED BELOW.",
      "               YOU MAY WISH TO CHANGE THE LABELS YOU PREVIOUSLY ASSIGNED",
      "               TO THE LATENT CLASSES IN ORDER TO MAKE THEM",
      "               CONSISTENT WITH YOUR INTERPRETATION.",
      " ",
      " **************************************************",
      "",
      " LITTLE RHO PARAMETERS"};
  ASSERT_GE(lines.size(), classesWarning.size());
  for (std::size_t n = 0; n < classesWarning.size(); ++n) EXPECT_EQ(lines[n], classesWarning[n]);

  std::vector<std::string> order;
  bool statusesWarned = false;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    if (line == "  **WARNING**: BE SURE TO INTERPRET THE LATENT STATUSES CAREFULLY ") {
      statusesWarned = true;
      ASSERT_LT(n + 8, lines.size());
      EXPECT_EQ(lines[n + 3], "               TO THE LATENT STATUSES IN ORDER TO MAKE THEM");
      EXPECT_EQ(lines[n + 8], " BIG RHO PARAMETERS");
    }
    if (line == " LITTLE RHO PARAMETERS" || line == " BIG RHO PARAMETERS" ||
        line == " GAMMA PARAMETERS" || line == " DELTA PARAMETERS" || line == " TAU PARAMETERS") {
      order.push_back(line);
    }
  }
  EXPECT_TRUE(statusesWarned);
  EXPECT_EQ(order, (std::vector<std::string>{" LITTLE RHO PARAMETERS", " BIG RHO PARAMETERS",
                                             " GAMMA PARAMETERS", " DELTA PARAMETERS",
                                             " TAU PARAMETERS"}));
}

// Occasions beyond five: the delta table goes on in further blocks of at most five occasions,
// each under its own time header. delta(s, t) = s / 10 + t / 1000 (1-based), so a cell names its
// status and occasion.
TEST_F(ReportFile, DeltaTableWrapsOccasionsInBlocksOfFive) {
  const std::string nonuser = " NONUSER   ";
  const std::string user = " USER      ";
  struct Case {
    std::int32_t occasions;
    bool codes;  // the restrictions report instead of the estimates
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {7,
       false,
       {" DELTA PARAMETERS", " DELTAS ARE PROBABILITIES OF LATENT STATUS MEMBERSHIP", "",
        "           TIME 1 TIME 2 TIME 3 TIME 4 TIME 5 ",
        nonuser + "0.101  0.102  0.103  0.104  0.105", user + "0.201  0.202  0.203  0.204  0.205",
        "", "           TIME 6 TIME 7 ", nonuser + "0.106  0.107", user + "0.206  0.207"}},
      {11,
       false,
       {" DELTA PARAMETERS", " DELTAS ARE PROBABILITIES OF LATENT STATUS MEMBERSHIP", "",
        "           TIME 1 TIME 2 TIME 3 TIME 4 TIME 5 ",
        nonuser + "0.101  0.102  0.103  0.104  0.105", user + "0.201  0.202  0.203  0.204  0.205",
        "", "           TIME 6 TIME 7 TIME 8 TIME 9 TIME10 ",
        nonuser + "0.106  0.107  0.108  0.109  0.110", user + "0.206  0.207  0.208  0.209  0.210",
        "", "           TIME11 ", nonuser + "0.111", user + "0.211"}},
      {7,
       true,
       {" DELTA PARAMETER RESTRICTIONS", " DELTAS ARE PROBABILITIES OF LATENT STATUS MEMBERSHIP",
        "", "           TIME 1 TIME 2 TIME 3 TIME 4 TIME 5 ",
        " NONUSER       1    -      -      -      -  ",
        " USER          0    -      -      -      -  ", "", "           TIME 6 TIME 7 ",
        " NONUSER     -      -  ", " USER        -      -  "}},
  };
  for (const Case& c : cases) {
    Model model = StatusesOnlyModel();
    model.dims.occasions = c.occasions;
    model.dims.extraTransitionRows = (c.occasions - 2) * model.dims.statuses;
    input::AllocateParameters(model.dims, &model.start);
    input::AllocateRestrictions(model.dims, &model.codes);
    model.codes.delta = {1, 0};
    const auto delta = input::DeltaShape(model.dims);
    for (int s = 1; s <= 2; ++s) {
      for (int t = 1; t <= c.occasions; ++t) {
        model.start.delta[delta(0, s - 1, t - 1)] = s / 10.0 + t / 1000.0;
      }
    }
    input::TextOutput out;
    const std::string path = m_path + std::to_string(c.occasions) + (c.codes ? "c" : "e");
    ASSERT_EQ(out.Create(path), 0);
    ASSERT_EQ(c.codes ? WriteRestrictionsReport(out, model, model.codes)
                      : WriteFinalEstimates(out, model, model.start),
              0);
    ASSERT_EQ(out.Close(), 0);
    const std::vector<std::string> lines = ReadLines(path);
    std::remove(path.c_str());
    auto line = std::find(lines.begin(), lines.end(), c.expected.front());
    std::vector<std::string> table;
    for (; line != lines.end() && !line->starts_with(" ****"); ++line) table.push_back(*line);
    EXPECT_EQ(table, c.expected) << c.occasions << (c.codes ? " occasions, codes" : " occasions");
  }
}

}  // namespace
}  // namespace kov::report
