// Whole data-augmentation runs: an EM run writes the two estimate sets, the DA driver runs its
// chain from them, and the tests read what the run left on disk.
#include "da/da_driver.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_codes.h"
#include "base/status_record.h"
#include "da/uniform.h"
#include "em/em_driver.h"
#include "input/model.h"
#include "kov_exports.h"
#include "temp_files.h"

namespace kov::da {
namespace {

using test::PathField;
using test::ReadFile;
using test::ReadLines;
using test::TempDir;

const std::string kExamples = MARNEL_EXAMPLES;
constexpr std::size_t kNone = static_cast<std::size_t>(-1);
const std::string kStars62(62, '*');
const std::string kStars50 = " " + std::string(50, '*');

// ---------------------------------------------------------------------------------------------
// Control files: an example model with every file name made absolute inside the test's folder.

// Lines of the control file after the model line (section 2).
enum Offset : std::size_t {
  kDataLine = 1,
  kEmLine = 2,
  kEmOutput = 3,
  kEmStart = 4,
  kEmEstimates = 5,
  kDaLine = 6,
  kDaOutput = 7,
  kDaStart = 8,
  kDaSeries = 9,
  kDaIndividual = 10,
};

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

class Job {
 public:
  Job(const std::string& example, const TempDir& dir) : m_dir(dir) {
    m_lines = ReadLines(kExamples + "/" + example);
    while (m_model < m_lines.size() && m_lines[m_model].starts_with("'*")) ++m_model;
    EXPECT_LT(m_model + kDaIndividual, m_lines.size()) << example;
    // The data stay in the examples folder: the run only reads them.
    const std::string data = m_lines[m_model + kDataLine];
    const std::size_t open = data.find('\''), close = data.find('\'', open + 1);
    Set(kDataLine, Quoted(kExamples + "/" + data.substr(open + 1, close - open - 1)) + " ''");
    Set(kEmOutput, Quoted(dir.Path("em.out")));
    Set(kEmStart, "'..'");
    Set(kEmEstimates, Quoted(dir.Path("em.est")));
    Set(kDaOutput, Quoted(dir.Path("da.out")));
    Set(kDaStart, Quoted(dir.Path("em.est")));
    Set(kDaSeries, Quoted(dir.Path("da.ser")));
    Set(kDaIndividual, Quoted(dir.Path("da.ind")));
  }

  void Set(std::size_t offset, const std::string& text) { m_lines[m_model + offset] = text; }
  void ReplaceLine(std::size_t index, const std::string& was, const std::string& text) {
    EXPECT_EQ(m_lines[index], was);
    m_lines[index] = text;
  }
  std::size_t IndexOf(const std::string& line, std::size_t from) const {
    for (std::size_t i = from; i < m_lines.size(); ++i) {
      if (m_lines[i] == line) return i;
    }
    return kNone;
  }
  std::size_t ModelLine() const { return m_model; }

  void SetDa(int k, int m, int seed, bool individual) {
    Set(kDaLine, std::to_string(k) + " " + std::to_string(m) + " " + std::to_string(seed) +
                     (individual ? " 1" : " 0"));
  }

  // Writes the control file and returns its path in the engine's 300-byte field.
  std::string Field() const {
    std::string text;
    for (const std::string& line : m_lines) text += line + "\n";
    return PathField(m_dir.Write("job.cnt", text));
  }

 private:
  const TempDir& m_dir;
  std::vector<std::string> m_lines;
  std::size_t m_model = 0;
};

// ---------------------------------------------------------------------------------------------
// Reading what a run wrote

double ParseDouble(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  double value = NAN;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  EXPECT_TRUE(result.ec == std::errc() && result.ptr == text.data() + text.size())
      << "not a number: '" << text << "'";
  return value;
}

std::size_t FindLine(const std::vector<std::string>& lines, std::string_view start,
                     std::size_t from = 0) {
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (lines[i].starts_with(start)) return i;
  }
  return kNone;
}

// The values of a file in the estimates-file layout, set by set: each set closed by the line of
// its iteration number. Value lines hold up to three fields of 20 columns with 16 decimals.
struct EstimatesSet {
  std::vector<double> values;
  int iteration = -1;
};

std::vector<EstimatesSet> ReadEstimatesSets(const std::string& path) {
  std::vector<EstimatesSet> sets(1);
  const std::regex field(R"( *[0-9]+\.[0-9]{16})");
  const std::regex iteration(R"( [0-9]+)");
  for (const std::string& line : ReadLines(path)) {
    if (line.empty()) continue;
    if (std::regex_match(line, iteration)) {
      sets.back().iteration = static_cast<int>(ParseDouble(line));
      sets.emplace_back();
      continue;
    }
    EXPECT_TRUE(line.size() % 20 == 0 && line.size() <= 60) << line;
    for (std::size_t at = 0; at + 20 <= line.size(); at += 20) {
      EXPECT_TRUE(std::regex_match(line.substr(at, 20), field)) << line;
      sets.back().values.push_back(ParseDouble(line.substr(at, 20)));
    }
  }
  EXPECT_TRUE(sets.back().values.empty()) << "values after the last iteration number";
  sets.pop_back();
  return sets;
}

// "Details.txt": each section a label line (a blank and the label) and its values in the
// estimates-file layout, 16 decimals except the degrees of freedom (10).
std::vector<std::pair<std::string, std::vector<double>>> ReadDetails(const std::string& path) {
  std::vector<std::pair<std::string, std::vector<double>>> sections;
  for (const std::string& line : ReadLines(path)) {
    if (line.empty()) continue;
    if (line.back() == ':') {
      sections.push_back({line, {}});
      continue;
    }
    if (sections.empty()) {
      ADD_FAILURE() << "values before the first label: " << line;
      continue;
    }
    const int decimals = sections.back().first == " DEGREES OF FREEDOM:" ? 10 : 16;
    const std::regex field(" *[0-9]+\\.[0-9]{" + std::to_string(decimals) + "}");
    EXPECT_TRUE(line.size() % 20 == 0 && line.size() <= 60) << line;
    for (std::size_t at = 0; at + 20 <= line.size(); at += 20) {
      EXPECT_TRUE(std::regex_match(line.substr(at, 20), field)) << line;
      sections.back().second.push_back(ParseDouble(line.substr(at, 20)));
    }
  }
  return sections;
}

// The report without the lines that carry the date, the time or the elapsed time.
std::vector<std::string> WithoutClockLines(const std::vector<std::string>& report) {
  std::vector<std::string> kept;
  for (const std::string& line : report) {
    if (line.starts_with(" PROGRAM STARTED: ") || line.starts_with(" PROGRAM FINISHED: ") ||
        line.starts_with(" ELAPSED TIME: ")) {
      continue;
    }
    kept.push_back(line);
  }
  return kept;
}

// The row of a table in one of the five final blocks: the first line starting with rowStart
// after the block title and then after each of the markers in turn.
std::string BlockRow(const std::vector<std::string>& report, const std::string& title,
                     const std::vector<std::string>& markers, const std::string& rowStart) {
  std::size_t at = FindLine(report, title);
  for (const std::string& marker : markers) {
    if (at == kNone) break;
    at = FindLine(report, marker, at);
  }
  if (at != kNone) at = FindLine(report, rowStart, at);
  if (at == kNone) {
    ADD_FAILURE() << "no row '" << rowStart << "' in block " << title;
    return {};
  }
  return report[at];
}

// A probability as the report's 5-character cell shows it: rounded half up to 3 decimals.
std::string Cell(double value) {
  const double rounded = std::floor(value * 1000.0 + 0.5) / 1000.0;
  char buffer[16];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, rounded, std::chars_format::fixed, 3);
  return std::string(buffer, result.ptr);
}

const char* const kBlockTitles[] = {
    "***  Final Parameter Estimates Based on Data Augmentation  ***",
    "***  Standard Error Based on Data Augmentation             ***",
    "***  Lower Bound of 95% Confidence Interval                ***",
    "***  Upper Bound of 95% Confidence Interval                ***",
    "***  Fraction of Missing Information                       ***",
};

// The keys of the results file that hold the five blocks' figures, in the blocks' order.
const char* const kResultKeys[] = {"estimates", "standard_errors", "lower", "upper", "fmi"};

// Arrays of the same lengths down to leaves that are numbers or null.
void ExpectSameShape(const nlohmann::json& actual, const nlohmann::json& expected,
                     const std::string& where) {
  if (expected.is_object() || expected.is_array()) {
    ASSERT_EQ(actual.type(), expected.type()) << where;
    ASSERT_EQ(actual.size(), expected.size()) << where;
    for (auto it = expected.begin(); it != expected.end(); ++it) {
      const std::string key =
          expected.is_object() ? it.key() : std::to_string(it - expected.begin());
      const nlohmann::json& inner =
          expected.is_object() ? actual.at(it.key()) : actual.at(it - expected.begin());
      ExpectSameShape(inner, *it, where + "/" + key);
    }
    return;
  }
  EXPECT_TRUE(actual.is_number() || actual.is_null()) << where;
}

// ---------------------------------------------------------------------------------------------

std::vector<int> g_published;  // iterations the driver published, in order
int g_abortAt = 0;
std::function<void(int)> g_atIteration;

void Observe(std::int32_t iteration) {
  g_published.push_back(iteration);
  if (g_atIteration) g_atIteration(iteration);
  if (iteration == g_abortAt) {
    EXPECT_EQ(lAbortRun(), 1);
  }
}

class DaDriverTest : public ::testing::Test {
 protected:
  void TearDown() override {
    run::SetProgressObserverForTesting(nullptr);
    g_atIteration = nullptr;
  }

  void Reset() {
    run::ResetStatusForTesting();  // also drops the observer
    g_published.clear();
    run::SetProgressObserverForTesting(Observe);
  }

  std::int32_t RunEm(const Job& job) {
    Reset();
    const std::string field = job.Field();
    const std::int32_t result = em::RunEmDriver(field.c_str(), 300);
    ReadError();
    return result;
  }

  // Runs the DA job from the given generator state, after removing whatever an earlier run of
  // the test left, so that every file found afterwards is this run's.
  std::int32_t RunDa(const Job& job, std::int32_t generatorState = 0) {
    for (const char* name : {"da.out", "da.json", "da.ser", "da.ind", "Details.txt"}) {
      std::filesystem::remove(dir.Path(name));
    }
    for (int j = 1; j <= 20; ++j) {
      std::filesystem::remove(dir.Path("imp" + std::to_string(j) + ".dat"));
    }
    Reset();
    SetGeneratorState(generatorState);
    const std::string field = job.Field();
    const std::int32_t result = RunDaDriver(field.c_str(), 300);
    ReadError();
    report = ReadLines(dir.Path("da.out"));
    return result;
  }

  void ReadError() {
    std::string message;
    errorCode = run::ReadEngineError(&message);
    errorMessage = input::TrimRight(message);
    errorMessage.erase(errorMessage.find_last_not_of('\0') + 1);
  }

  bool Exists(const std::string& name) const { return std::filesystem::exists(dir.Path(name)); }

  TempDir dir;
  std::int32_t errorCode = 0;
  std::string errorMessage;
  std::vector<std::string> report;
};

// ---------------------------------------------------------------------------------------------
// Reproducibility

TEST_F(DaDriverTest, SameSeedAndInputsReproduceEveryFileByteForByte) {
  // The substance model has missing responses, so the missing-response draw is in the stream.
  Job job("substance.cnt", dir);
  ASSERT_EQ(RunEm(job), kRunCompleted) << errorMessage;
  job.SetDa(3, 2, 4711, true);
  const std::vector<std::string> files = {"da.ser", "da.ind", "imp1.dat", "imp2.dat",
                                          "Details.txt"};

  ASSERT_EQ(RunDa(job), kRunCompleted) << errorMessage;
  std::map<std::string, std::string> first;
  for (const std::string& name : files) {
    first[name] = ReadFile(dir.Path(name));
    EXPECT_FALSE(first[name].empty()) << name;
  }
  const std::vector<std::string> firstReport = WithoutClockLines(report);
  // Only the three clock lines are set aside.
  EXPECT_EQ(firstReport.size() + 3, report.size());

  // The generator is left elsewhere, as by an earlier run in the same process: the seed alone
  // must decide the draws.
  ASSERT_EQ(RunDa(job, 123456789), kRunCompleted) << errorMessage;
  for (const std::string& name : files) {
    EXPECT_EQ(ReadFile(dir.Path(name)), first[name]) << name;
  }
  EXPECT_EQ(WithoutClockLines(report), firstReport);

  // Another seed gives another chain.
  job.SetDa(3, 2, 4712, true);
  ASSERT_EQ(RunDa(job), kRunCompleted) << errorMessage;
  EXPECT_NE(ReadFile(dir.Path("da.ser")), first["da.ser"]);
  EXPECT_NE(ReadFile(dir.Path("imp1.dat")), first["imp1.dat"]);
  EXPECT_NE(ReadFile(dir.Path("Details.txt")), first["Details.txt"]);
}

// ---------------------------------------------------------------------------------------------
// A complete run's files

TEST_F(DaDriverTest, TwoImputationsThreeApartWriteSixRowsTwoDataSetsAndTheFinalBlocks) {
  Job job("substance.cnt", dir);
  ASSERT_EQ(RunEm(job), kRunCompleted) << errorMessage;
  job.SetDa(3, 2, 99, true);
  // Imputation j is written during iteration 3 j: at the top of iteration 4 the first file is
  // there and the second is not, at the top of iteration 6 still not.
  std::map<int, std::pair<bool, bool>> seen;
  g_atIteration = [&](int t) { seen[t] = {Exists("imp1.dat"), Exists("imp2.dat")}; };
  ASSERT_EQ(RunDa(job), kRunCompleted) << errorMessage;
  EXPECT_EQ(errorCode, 0);
  EXPECT_EQ(g_published, (std::vector<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(seen[3], std::make_pair(false, false));
  EXPECT_EQ(seen[4], std::make_pair(true, false));
  EXPECT_EQ(seen[6], std::make_pair(true, false));
  EXPECT_TRUE(Exists("imp2.dat"));
  EXPECT_FALSE(Exists("imp3.dat"));

  // Series: m k C S, the names at columns 20, 30, 40, 51 and 63, then rows 1 to 6.
  const std::vector<std::string> series = ReadLines(dir.Path("da.ser"));
  ASSERT_EQ(series.size(), 8u);
  EXPECT_TRUE(std::regex_match(series[0], std::regex(R"( +2 +3 +1 +2)"))) << series[0];
  EXPECT_EQ(series[1], std::string(19, ' ') + "Gamma" + std::string(5, ' ') + "Delta" +
                           std::string(5, ' ') + "  Tau" + std::string(6, ' ') + " LRho" +
                           std::string(7, ' ') + " BRho");

  // Each row's Delta, Tau and BRho values are the weighted sums of the values the run wrote to
  // the individual estimates file for that iteration, the weights 1e6 x (second EM set - first).
  // The substance model has 2 delta, 8 tau and 36 big rho values per set, in this file order;
  // without class items Gamma and LRho stay 0.
  const std::vector<EstimatesSet> em = ReadEstimatesSets(dir.Path("em.est"));
  const std::vector<EstimatesSet> draws = ReadEstimatesSets(dir.Path("da.ind"));
  ASSERT_EQ(em.size(), 2u);
  ASSERT_EQ(draws.size(), 6u);
  // t in columns 1-6, blanks to column 15, then five fields of 10 columns with 5 decimals, one
  // blank apart.
  const std::regex row(R"([ 0-9]{6} {9}[ \-0-9]{3}[0-9]\.[0-9]{5})"
                       R"(( [ \-0-9]{3}[0-9]\.[0-9]{5}){4})");
  for (int t = 1; t <= 6; ++t) {
    const std::string& line = series[static_cast<std::size_t>(t) + 1];
    ASSERT_TRUE(std::regex_match(line, row)) << "'" << line << "'";
    EXPECT_EQ(ParseDouble(line.substr(0, 6)), t);
    const EstimatesSet& set = draws[static_cast<std::size_t>(t) - 1];
    EXPECT_EQ(set.iteration, t);
    ASSERT_EQ(set.values.size(), 46u);
    double sums[3] = {0.0, 0.0, 0.0};
    for (std::size_t v = 0; v < 46; ++v) {
      const double weight = 1e6 * (em[1].values[v] - em[0].values[v]);
      sums[v < 2 ? 0 : v < 10 ? 1 : 2] += weight * set.values[v];
    }
    EXPECT_EQ(line.substr(15, 10), "   0.00000");  // Gamma
    EXPECT_EQ(line.substr(48, 10), "   0.00000");  // LRho
    EXPECT_NEAR(ParseDouble(line.substr(26, 10)), sums[0], 0.6e-5) << "Delta, row " << t;
    EXPECT_NEAR(ParseDouble(line.substr(37, 10)), sums[1], 0.6e-5) << "Tau, row " << t;
    EXPECT_NEAR(ParseDouble(line.substr(59, 10)), sums[2], 0.6e-5) << "BRho, row " << t;
  }

  // The imputed data sets: 9 responses (the missing ones drawn), two blanks, the statuses of
  // the five occasions (1 beyond the third), the count; every one of the 1500 subjects once.
  for (const char* name : {"imp1.dat", "imp2.dat"}) {
    const std::regex record(R"(( [12] ){9}  ( {2}[12] ){3}( {2}1 ){2}[ 0-9]{7}[0-9])");
    double subjects = 0.0;
    for (const std::string& line : ReadLines(dir.Path(name))) {
      ASSERT_EQ(line.size(), 57u) << name << ": '" << line << "'";
      EXPECT_TRUE(std::regex_match(line, record)) << name << ": '" << line << "'";
      const double count = ParseDouble(line.substr(49));
      EXPECT_GE(count, 1.0) << name << ": '" << line << "'";
      subjects += count;
    }
    EXPECT_EQ(subjects, 1500.0) << name;
  }

  // "Details.txt": the six sections, 46 values each.
  const auto details = ReadDetails(dir.Path("Details.txt"));
  const std::vector<std::string> labels = {" QBAR:", " TOTAL VARIANCE:", " DEGREES OF FREEDOM:",
                                           " FRACTION OF MISSING INFORMATION:", " HIGH:", " LOW:"};
  ASSERT_EQ(details.size(), labels.size());
  for (std::size_t s = 0; s < labels.size(); ++s) {
    EXPECT_EQ(details[s].first, labels[s]);
    EXPECT_EQ(details[s].second.size(), 46u) << labels[s];
  }

  // The five blocks in order, each framed as: empty line, 62 stars, title, 62 stars, empty
  // line, and then the tables, which open with their own line of 50 stars.
  std::size_t from = 0;
  for (const char* title : kBlockTitles) {
    const std::size_t at = FindLine(report, title, from);
    ASSERT_NE(at, kNone) << title;
    ASSERT_GE(at, 2u);
    EXPECT_EQ(report[at].size(), 62u);
    EXPECT_EQ(report[at - 2], "");
    EXPECT_EQ(report[at - 1], kStars62);
    EXPECT_EQ(report[at + 1], kStars62);
    EXPECT_EQ(report[at + 2], "");
    EXPECT_EQ(report[at + 3], kStars50);
    from = at + 1;
  }
  ASSERT_GE(report.size(), 2u);
  EXPECT_TRUE(std::regex_match(
      report[report.size() - 2],
      std::regex(R"( PROGRAM FINISHED: {7}(Sun|Mon|Tue|Wed|Thu|Fri|Sat) )"
                 R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] )"
                 R"([0-2][0-9]:[0-5][0-9]:[0-5][0-9] [0-9]{4})")))
      << report[report.size() - 2];
  EXPECT_TRUE(std::regex_match(
      report.back(),
      std::regex(R"( ELAPSED TIME: {4}0 HOURS, {4}0 MINUTES, {3}[ 0-9][0-9] SECONDS\.)")))
      << report.back();
}

TEST_F(DaDriverTest, ResultsFileHoldsTheReportsFiguresInTheShapesOfTheEmEstimates) {
  // A cell of the report's tables (5 characters at column 12 after the row's label) and the
  // entry of the results file it shows.
  struct Shown {
    std::vector<std::string> markers;
    std::string row;
    std::string pointer;
  };
  struct Case {
    const char* example;
    std::vector<Shown> cells;
  };
  const std::vector<std::string> gamma = {" GAMMA PARAMETERS"};
  const std::vector<std::string> delta = {" DELTA PARAMETERS FOR LATENT CLASS \"Class2  \""};
  const Case cases[] = {
      {"stouffer_toby.cnt", {{gamma, " Univ    ", "/gamma/0"}, {gamma, " Partic  ", "/gamma/1"}}},
      {"lta.cnt", {{delta, " High     ", "/delta/1/0"}, {delta, " Low      ", "/delta/1/2"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.example);
    Job job(c.example, dir);
    ASSERT_EQ(RunEm(job), kRunCompleted) << errorMessage;
    job.SetDa(4, 3, 321, false);
    ASSERT_EQ(RunDa(job), kRunCompleted) << errorMessage;
    const nlohmann::json em = nlohmann::json::parse(ReadFile(dir.Path("em.json")));
    const nlohmann::json da = nlohmann::json::parse(ReadFile(dir.Path("da.json")));
    EXPECT_EQ(da["run_type"], "DA");
    EXPECT_EQ(da["files"]["report"], dir.Path("da.out"));
    EXPECT_EQ(da["files"]["start_values"], dir.Path("em.est"));
    EXPECT_EQ(da["dimensions"], em["dimensions"]);
    EXPECT_EQ(da["subjects"], em["subjects"]);
    EXPECT_EQ(da["imputations"], 3);
    EXPECT_EQ(da["iterations"], 12);
    for (std::size_t b = 0; b < std::size(kResultKeys); ++b) {
      const nlohmann::json& set = da[kResultKeys[b]];
      ExpectSameShape(set, em["estimates"], kResultKeys[b]);
      for (const Shown& cell : c.cells) {
        const nlohmann::json& value = set.at(nlohmann::json::json_pointer(cell.pointer));
        ASSERT_TRUE(value.is_number()) << kResultKeys[b] << cell.pointer;
        EXPECT_EQ(BlockRow(report, kBlockTitles[b], cell.markers, cell.row).substr(11, 5),
                  Cell(value.get<double>()))
            << kResultKeys[b] << cell.pointer;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Coverage on data simulated from known parameters

// examples/lta.dat was simulated by examples/simulate_lta.py from these parameters: 2 classes
// with 2 binary class items, 3 statuses at 3 occasions with 4 binary status items, first-order
// transitions equal at both steps, big rho equal across classes and occasions. Listed here in
// the order of an estimates file (and of "Details.txt"): gamma; delta per class; tau per class,
// rows 1-3 and then rows 4-6; little rho per category and class; big rho per class, occasion,
// category and status. The probability of category 2 is 1 minus that of category 1.
struct TrueValue {
  double value;
  bool distinct;  // false for the later members of an equality group (the same parameter)
};

std::vector<TrueValue> LtaTruthInFileOrder() {
  const double gamma[2] = {0.6, 0.4};
  const double delta[2][3] = {{0.6, 0.3, 0.1}, {0.2, 0.3, 0.5}};
  const double tau[2][3][3] = {{{0.80, 0.15, 0.05}, {0.10, 0.80, 0.10}, {0.05, 0.15, 0.80}},
                               {{0.60, 0.30, 0.10}, {0.10, 0.60, 0.30}, {0.05, 0.15, 0.80}}};
  const double littleRho1[2][2] = {{0.85, 0.80}, {0.20, 0.25}};
  const double bigRho1[3][4] = {{0.90, 0.90, 0.85, 0.90}, {0.20, 0.85, 0.30, 0.80},
                                {0.10, 0.15, 0.10, 0.20}};
  std::vector<TrueValue> truth;
  for (double g : gamma) truth.push_back({g, true});
  for (const auto& row : delta) {
    for (double d : row) truth.push_back({d, true});
  }
  for (const auto& rows : tau) {
    for (int step = 0; step < 2; ++step) {
      for (const auto& row : rows) {
        for (double p : row) truth.push_back({p, true});
      }
    }
  }
  for (int k = 0; k < 2; ++k) {
    for (const auto& items : littleRho1) {
      for (double p : items) truth.push_back({k == 0 ? p : 1.0 - p, true});
    }
  }
  for (int c = 0; c < 2; ++c) {
    for (int t = 0; t < 3; ++t) {
      for (int k = 0; k < 2; ++k) {
        for (const auto& items : bigRho1) {
          for (double p : items) truth.push_back({k == 0 ? p : 1.0 - p, c == 0 && t == 0});
        }
      }
    }
  }
  return truth;
}

TEST_F(DaDriverTest, BoundsCoverTheTrueValuesAndFixedParametersCarryTheMarker) {
  // lta.cnt with gamma and class 2's first-step tau row of "Low" fixed at their true values.
  Job job("lta.cnt", dir);
  const std::size_t model = job.ModelLine();
  // Section 9 starts with gamma's codes and section 10 with gamma's start values.
  const std::size_t codes = job.IndexOf("1 1", model + 11);
  ASSERT_NE(codes, kNone);
  job.ReplaceLine(codes, "1 1", "0 0");
  job.ReplaceLine(codes + 4, "1 1 1 1 1 1 1 1 1", "1 1 1 1 1 1 0 0 0");
  const std::size_t start = job.IndexOf("0.55 0.45", codes);
  ASSERT_NE(start, kNone);
  job.ReplaceLine(start, "0.55 0.45", "0.6 0.4");
  job.ReplaceLine(start + 4, "0.5 0.35 0.15 0.15 0.55 0.3 0.1 0.2 0.7",
                  "0.5 0.35 0.15 0.15 0.55 0.3 0.05 0.15 0.8");
  ASSERT_EQ(RunEm(job), kRunCompleted) << errorMessage;
  ASSERT_EQ(ReadEstimatesSets(dir.Path("em.est")).size(), 2u);

  // Ten imputations twenty iterations apart: far enough apart that the imputations are nearly
  // independent, few enough that the run takes a fraction of a second.
  job.SetDa(20, 10, 20261207, false);
  ASSERT_EQ(RunDa(job), kRunCompleted) << errorMessage;

  const auto details = ReadDetails(dir.Path("Details.txt"));
  ASSERT_EQ(details.size(), 6u);
  const std::vector<double>& qbar = details[0].second;
  const std::vector<double>& variance = details[1].second;
  const std::vector<double>& high = details[4].second;
  const std::vector<double>& low = details[5].second;
  // The results file marks the fixed entries null and shows their values as estimates.
  const nlohmann::json results = nlohmann::json::parse(ReadFile(dir.Path("da.json")));
  EXPECT_EQ(results["estimates"]["gamma"], nlohmann::json({0.6, 0.4}));
  for (const char* key : {"standard_errors", "lower", "upper", "fmi"}) {
    EXPECT_EQ(results[key]["gamma"], nlohmann::json({nullptr, nullptr})) << key;
    EXPECT_EQ(results[key]["tau"][1][2], nlohmann::json({nullptr, nullptr, nullptr})) << key;
    EXPECT_TRUE(results[key]["tau"][1][1][0].is_number()) << key;
  }

  const std::vector<TrueValue> truth = LtaTruthInFileOrder();
  ASSERT_EQ(truth.size(), 2u + 6u + 36u + 8u + 144u);
  for (const auto& [label, values] : details) ASSERT_EQ(values.size(), truth.size()) << label;

  // The fixed cells, at their positions in file order: gamma (0, 1) and class 2's rows 1-3,
  // third row (8 + 18 + 6 = 32 to 34). They keep their values and carry 9.0 everywhere else.
  const std::vector<std::size_t> fixed = {0, 1, 32, 33, 34};
  int estimated = 0, covered = 0;
  for (std::size_t v = 0; v < truth.size(); ++v) {
    if (std::find(fixed.begin(), fixed.end(), v) != fixed.end()) {
      EXPECT_EQ(qbar[v], truth[v].value) << "fixed value " << v;
      for (std::size_t s = 1; s < details.size(); ++s) {
        EXPECT_EQ(details[s].second[v], 9.0) << details[s].first << " value " << v;
      }
      continue;
    }
    ASSERT_GT(variance[v], 0.0) << "value " << v;
    ASSERT_LT(variance[v], 9.0) << "value " << v;
    EXPECT_LT(low[v], qbar[v]) << "value " << v;
    EXPECT_LT(qbar[v], high[v]) << "value " << v;
    EXPECT_GE(details[3].second[v], 0.0) << "missing information, value " << v;
    EXPECT_LE(details[3].second[v], 1.0) << "missing information, value " << v;
    if (!truth[v].distinct) {
      // A later member of a big rho equality group: the same estimate as its head, which is
      // the same item, category and status in class 1 at occasion 1 (24 values per class and
      // occasion, from value 52 on).
      EXPECT_NEAR(qbar[v], qbar[v - (v - 52) / 24 * 24], 1e-15) << "value " << v;
      continue;
    }
    ++estimated;
    if (low[v] <= truth[v].value && truth[v].value <= high[v]) ++covered;
  }
  // 6 delta, 33 tau, 8 little rho and 24 big rho parameters are estimated. Each interval has
  // a nominal coverage of 95 %, so about 67 of the 71 should cover (binomial spread about 2),
  // but one data set and one chain make the misses move together (the cells of a row share
  // their errors, and the two categories of a binary item miss together), and ten imputations
  // estimate the between variance roughly. At least 85 % (61) leaves room for that; intervals
  // half as wide as they should be would cover about 68 % (48).
  EXPECT_EQ(estimated, 71);
  EXPECT_GE(covered, 61) << covered << " of " << estimated << " covered";

  // The report's blocks show the same values as "Details.txt", to 3 decimals: delta of class 1
  // at occasion 1 (the first cell after the row label, columns 12-16).
  const std::vector<std::string> toDelta = {" DELTA PARAMETERS FOR LATENT CLASS \"Class1  \""};
  const char* statuses[] = {" High     ", " Middle   ", " Low      "};
  for (std::size_t s = 0; s < 3; ++s) {
    EXPECT_EQ(BlockRow(report, kBlockTitles[0], toDelta, statuses[s]).substr(11, 5),
              Cell(qbar[2 + s]));
    EXPECT_EQ(BlockRow(report, kBlockTitles[1], toDelta, statuses[s]).substr(11, 5),
              Cell(std::sqrt(variance[2 + s])));
    EXPECT_EQ(BlockRow(report, kBlockTitles[2], toDelta, statuses[s]).substr(11, 5),
              Cell(low[2 + s]));
    EXPECT_EQ(BlockRow(report, kBlockTitles[3], toDelta, statuses[s]).substr(11, 5),
              Cell(high[2 + s]));
    EXPECT_EQ(BlockRow(report, kBlockTitles[4], toDelta, statuses[s]).substr(11, 5),
              Cell(details[3].second[2 + s]));
  }

  // The fixed cells in the report: their values in the estimates block, and a lone "-" in the
  // middle of the 5-character cell in the other four. Gamma rows: a blank, the 8-character
  // label, two blanks, the cell; tau rows: a blank, the label, then a blank before each cell.
  const std::vector<std::string> toTau = {
      " TRANSITION PROBABILITIES FOR LATENT CLASS \"Class2  \"",
      " ROWS REPRESENT LATENT STATUS MEMBERSHIP AT TIME 1"};
  EXPECT_EQ(BlockRow(report, kBlockTitles[0], {" GAMMA PARAMETERS"}, " Class1 "),
            " Class1    0.600");
  EXPECT_EQ(BlockRow(report, kBlockTitles[0], toTau, " Low "), " Low      0.050 0.150 0.800");
  for (std::size_t b = 1; b < 5; ++b) {
    EXPECT_EQ(BlockRow(report, kBlockTitles[b], {" GAMMA PARAMETERS"}, " Class2 "),
              " Class2      -  ")
        << kBlockTitles[b];
    EXPECT_EQ(BlockRow(report, kBlockTitles[b], toTau, " Low "), " Low        -     -     -  ")
        << kBlockTitles[b];
  }
}

// ---------------------------------------------------------------------------------------------
// Abort

TEST_F(DaDriverTest, AbortAtIterationTLeavesTRowsTheAbortLinesAndNoCombination) {
  Job job("substance.cnt", dir);
  ASSERT_EQ(RunEm(job), kRunCompleted) << errorMessage;
  job.SetDa(4, 3, 5, false);
  // The first iteration, one after the first imputation, and the last of the chain: an abort
  // found after the last series row still ends the run without combining.
  for (const int t : {1, 7, 12}) {
    SCOPED_TRACE("abort during iteration " + std::to_string(t));
    g_abortAt = t;
    ASSERT_EQ(RunDa(job), kRunCompleted) << errorMessage;
    g_abortAt = 0;
    EXPECT_EQ(errorCode, 0);
    ASSERT_FALSE(g_published.empty());
    EXPECT_EQ(g_published.back(), t);
    EXPECT_EQ(g_published.size(), static_cast<std::size_t>(t));

    const std::vector<std::string> series = ReadLines(dir.Path("da.ser"));
    ASSERT_EQ(series.size(), 2u + static_cast<std::size_t>(t));
    EXPECT_EQ(ParseDouble(series.back().substr(0, 6)), t);

    ASSERT_GE(report.size(), 7u);
    const std::size_t end = report.size() - 7;
    EXPECT_EQ(report[end], "");
    EXPECT_EQ(report[end + 1], "RUN ABORTED");
    char expected[64];
    std::snprintf(expected, sizeof expected, " DA execution was aborted at iteration: %6d .", t);
    EXPECT_EQ(report[end + 2], expected);
    EXPECT_TRUE(
        std::regex_match(report[end + 3], std::regex(R"( Elapsed time: {6}[0-9] seconds\.)")))
        << report[end + 3];
    EXPECT_EQ(report[end + 4],
              "Please note that DA runs cannot be resumed, and must be restarted.");
    EXPECT_EQ(report[end + 5], "Run will now terminate.");
    EXPECT_EQ(report[end + 6], "");
    EXPECT_EQ(FindLine(report, kBlockTitles[0]), kNone);
    EXPECT_EQ(FindLine(report, " PROGRAM FINISHED: "), kNone);

    EXPECT_FALSE(Exists("Details.txt"));
    EXPECT_FALSE(Exists("da.json"));
    // The imputations written before the abort stay.
    EXPECT_EQ(Exists("imp1.dat"), t >= 4);
    EXPECT_EQ(Exists("imp2.dat"), t >= 8);
    EXPECT_EQ(Exists("imp3.dat"), t >= 12);
  }
}

// ---------------------------------------------------------------------------------------------
// Settings and inputs that end the run early

TEST_F(DaDriverTest, UnworkableSettingsAreRefusedBeforeTheReportIsOpened) {
  Job job("substance.cnt", dir);
  ASSERT_EQ(RunEm(job), kRunCompleted) << errorMessage;
  constexpr const char* kSeedRange =
      "The random generator seed on the DA tab must be a whole number from 1 to 2147483646.";
  struct Case {
    int k, m, seed;
    const char* message;
  };
  const Case cases[] = {
      {3, 1, 5,
       "The number of imputations on the DA tab must be at least 2, so that the imputations can "
       "be combined."},
      {0, 2, 5, "The number of iterations between imputations on the DA tab must be at least 1."},
      {3, 2, 0, kSeedRange},
      {3, 2, -7, kSeedRange},
      // The generator's modulus: every state after it is 0, and the first gamma draw never ends.
      {3, 2, 2147483647, kSeedRange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("k " + std::to_string(c.k) + ", m " + std::to_string(c.m) + ", seed " +
                 std::to_string(c.seed));
    job.SetDa(c.k, c.m, c.seed, false);
    EXPECT_NE(RunDa(job), kRunCompleted);
    EXPECT_EQ(errorCode, kBadRunSetting);
    EXPECT_EQ(errorMessage, c.message);
    EXPECT_FALSE(Exists("da.out"));
    EXPECT_FALSE(Exists("da.ser"));
    EXPECT_TRUE(g_published.empty());
  }
  // A maximum of 0 EM iterations: the file holds no restriction codes to draw under.
  job.SetDa(3, 2, 5, false);
  job.Set(kEmLine, "1 1 0 0.000001");
  EXPECT_NE(RunDa(job), kRunCompleted);
  EXPECT_EQ(errorCode, kBadRunSetting);
  EXPECT_EQ(errorMessage,
            "Data augmentation needs the restriction codes, which a control file with a maximum "
            "of 0 EM iterations does not hold. Set the maximum number of iterations on the "
            "Estimation tab above 0 and save the model again.");
  EXPECT_FALSE(Exists("da.out"));
}

TEST_F(DaDriverTest, StartingValuesFileWithOneSetFailsAfterTheHeader) {
  // An EM run that stops at its maximum of 3 iterations writes one set.
  Job job("substance.cnt", dir);
  job.Set(kEmLine, "1 1 3 0.000001");
  ASSERT_EQ(RunEm(job), kRunCompleted) << errorMessage;
  ASSERT_EQ(ReadEstimatesSets(dir.Path("em.est")).size(), 1u);

  job.SetDa(3, 2, 5, false);
  EXPECT_NE(RunDa(job), kRunCompleted);
  EXPECT_EQ(errorCode, kEndOfFile);
  EXPECT_EQ(errorMessage, "Unable to read starting values from file: " + dir.Path("em.est") +
                              "; The file holds one set of estimates and data augmentation needs "
                              "two: the EM run that wrote it stopped at its maximum of "
                              "iterations. Continue that run, or raise its maximum, and start "
                              "from its new estimates.");
  // The header and the restrictions were written; the start-value tables and the chain were not.
  EXPECT_NE(FindLine(report, " RUN TYPE: DATA AUGMENTATION"), kNone);
  EXPECT_EQ(FindLine(report, "          START VALUES"), kNone);
  EXPECT_TRUE(g_published.empty());
  EXPECT_EQ(ReadLines(dir.Path("da.ser")).size(), 2u);
  EXPECT_FALSE(Exists("Details.txt"));
}

TEST_F(DaDriverTest, FilesThatCannotBeOpenedFailBeforeTheHeader) {
  Job job("substance.cnt", dir);
  ASSERT_EQ(RunEm(job), kRunCompleted) << errorMessage;
  job.SetDa(3, 2, 5, false);

  const std::string series = dir.Path("no such folder/da.ser");
  job.Set(kDaSeries, Quoted(series));
  EXPECT_NE(RunDa(job), kRunCompleted);
  EXPECT_EQ(errorCode, ENOENT);
  EXPECT_EQ(errorMessage, "Unable to open the following DA series file for writing: " + series +
                              "; Please make sure that this is a valid file path and name, and "
                              "that the file is available for writing.");
  // The report was opened first but nothing was written to it: no empty report is left.
  EXPECT_FALSE(Exists("da.out"));

  job.Set(kDaSeries, Quoted(dir.Path("da.ser")));
  job.Set(kDaStart, Quoted(dir.Path("none.est")));
  EXPECT_NE(RunDa(job), kRunCompleted);
  EXPECT_EQ(errorCode, ENOENT);
  EXPECT_EQ(errorMessage, "Unable to open starting values file for reading: " +
                              dir.Path("none.est") +
                              ";  Please make sure that this is a valid path and name.");
  EXPECT_FALSE(Exists("da.out"));
  EXPECT_FALSE(Exists("da.ser"));
}

}  // namespace
}  // namespace kov::da
