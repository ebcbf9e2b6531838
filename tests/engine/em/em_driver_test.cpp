#include "em/em_driver.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/engine_status.h"
#include "base/result_codes.h"
#include "base/status_record.h"
#include "em/missingness.h"
#include "em_iteration.h"
#include "input/control_file.h"
#include "input/data_file.h"
#include "input/model.h"
#include "temp_files.h"

namespace kov::em {
namespace {

using input::TrimRight;
using test::PathField;
using test::ReadFile;
using test::ReadLines;
using test::TempDir;

const std::string kExamples = std::string(MARNEL_TEST_DATA) + "/../../examples/";
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// ---------------------------------------------------------------------------------------------
// Control files

// The parts of a control file that vary between the jobs below; the structural sections are
// written as text, exactly as the editor would put them in the file.
struct Job {
  std::string title = "'* EM driver test job'";
  std::string model;  // section 2: C S Ic Is T order print-residuals missing fixed-format
  std::string data = "job.dat";
  int type = 1;
  bool writeEstimates = false;
  int maxIterations = 100;
  std::string criterion = "0.0000001";
  std::string startFile = "..";
  std::string categoriesAndLabels;  // sections 7 and 8
  std::string codes;                // section 9, written when maxIterations > 0
  std::string start;                // section 10, written when type is 1
};

std::string Quoted(const TempDir& dir, const std::string& name) {
  return "'" + (name == ".." ? name : dir.Path(name)) + "'\n";
}

std::string ControlText(const Job& job, const TempDir& dir) {
  std::string text = job.title + "\n" + job.model + "\n";
  text += "'" + dir.Path(job.data) + "' ''\n";
  text += std::to_string(job.type) + (job.writeEstimates ? " 1 " : " 0 ") +
          std::to_string(job.maxIterations) + " " + job.criterion + "\n";
  text += Quoted(dir, "em.out") + Quoted(dir, job.startFile) +
          Quoted(dir, job.writeEstimates ? "em.est" : "..");
  text += "10 5 12345 0\n" + Quoted(dir, "da.out") + Quoted(dir, "da.est") + Quoted(dir, "da.ser") +
          "'..'\n";
  text += job.categoriesAndLabels;
  if (job.maxIterations > 0) text += job.codes;
  if (job.type == 1) text += job.start;
  return text;
}

// Stouffer and Toby's role-conflict data (examples/stouffer_toby.dat): four dichotomous items,
// 216 respondents, two latent classes; the start values of the example control file.
constexpr const char* kStoufferStart =
    "0.6 0.4\n0.9 0.8 0.8 0.7\n0.4 0.3 0.2 0.1\n0.1 0.2 0.2 0.3\n0.6 0.7 0.8 0.9\n";

Job StoufferToby(const TempDir& dir) {
  dir.Write("job.dat", ReadFile(kExamples + "stouffer_toby.dat"));
  Job job;
  job.model = "2 0 4 0 0 1 0 0 0";
  job.categoriesAndLabels =
      "2 2 2 2\n'Univ' 'Partic'\n'Item1' 'Univ' 'Partic'\n'Item2' 'Univ' 'Partic'\n"
      "'Item3' 'Univ' 'Partic'\n'Item4' 'Univ' 'Partic'\n";
  job.codes = "1 1\n1 1 1 1\n1 1 1 1\n1 1 1 1\n1 1 1 1\n";
  job.start = kStoufferStart;
  return job;
}

// The same run to a tight convergence, saving its estimates.
Job ConvergedStoufferToby(const TempDir& dir) {
  Job job = StoufferToby(dir);
  job.maxIterations = 2000;
  job.criterion = "0.000000001";
  job.writeEstimates = true;
  return job;
}

// The G-squared of a two-class model of four binary items, straight from its definition:
// P(y) = sum over c of gamma(c) times the product of P(y_j | c); G2 = 2 sum n ln(n / (N P(y))).
// rho1[c][j] is the probability of category 1.
double LatentClassGSquared(const std::string& dataText, const double gamma[2],
                           const double rho1[2][4]) {
  std::vector<std::vector<int>> patterns;
  std::vector<double> counts;
  double total = 0.0;
  std::istringstream in(dataText);
  for (int y[4]; in >> y[0] >> y[1] >> y[2] >> y[3];) {
    double n = 0.0;
    in >> n;
    patterns.push_back({y[0], y[1], y[2], y[3]});
    counts.push_back(n);
    total += n;
  }
  double g2 = 0.0;
  for (std::size_t p = 0; p < patterns.size(); ++p) {
    double probability = 0.0;
    for (int c = 0; c < 2; ++c) {
      double term = gamma[c];
      for (int j = 0; j < 4; ++j) term *= patterns[p][j] == 1 ? rho1[c][j] : 1.0 - rho1[c][j];
      probability += term;
    }
    g2 += 2.0 * counts[p] * std::log(counts[p] / (total * probability));
  }
  return g2;
}

double StoufferStartGSquared() {
  const double gamma[2] = {0.6, 0.4};
  const double rho1[2][4] = {{0.9, 0.8, 0.8, 0.7}, {0.4, 0.3, 0.2, 0.1}};
  return LatentClassGSquared(ReadFile(kExamples + "stouffer_toby.dat"), gamma, rho1);
}

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

bool Contains(const std::vector<std::string>& lines, std::string_view start) {
  return FindLine(lines, start) != kNone;
}

// The number in a fixed field that follows a label: the line must be the label and exactly
// `width` more columns.
double FieldAfter(const std::vector<std::string>& lines, const std::string& label,
                  std::size_t width = 20, std::size_t from = 0) {
  const std::size_t at = FindLine(lines, label, from);
  if (at == kNone) {
    ADD_FAILURE() << "no line starts with '" << label << "'";
    return NAN;
  }
  EXPECT_EQ(lines[at].size(), label.size() + width) << lines[at];
  return ParseDouble(std::string_view(lines[at]).substr(label.size()));
}

struct HistoryEntry {
  int iteration = 0;
  double mad = 0.0;
  int column = 0;  // 1, 2 or 3
  std::size_t line = 0;
  std::string madText;
};

// The entries of the iteration history, read by columns: iteration in columns 1-5, 21-25 or
// 41-45, two blanks before it except in the first column, two blanks after it, then the MAD in
// 11 columns with 10 decimals. Blank column ranges are checked to be blank.
std::vector<HistoryEntry> History(const std::vector<std::string>& lines) {
  std::vector<HistoryEntry> entries;
  const std::size_t head = FindLine(lines, "ATION");
  if (head == kNone) return entries;
  const std::regex mad(R"( *[0-9]*\.[0-9]{10})");
  for (std::size_t i = head + 2; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    // An entry line starts with the blanks or digits of its first iteration field.
    if (line.empty() || (line[0] != ' ' && !std::isdigit(static_cast<unsigned char>(line[0])))) {
      break;
    }
    EXPECT_TRUE(line.size() == 18 || line.size() == 38 || line.size() == 58) << "'" << line << "'";
    for (int column = 1; column <= 3; ++column) {
      const std::size_t begin = static_cast<std::size_t>(column - 1) * 20;
      if (line.size() < begin + 18) break;
      const std::string field = line.substr(begin, 18);
      if (field.find_first_not_of(' ') == std::string::npos) continue;
      HistoryEntry entry;
      entry.iteration = static_cast<int>(ParseDouble(field.substr(0, 5)));
      entry.madText = field.substr(7, 11);
      EXPECT_EQ(field.substr(5, 2), "  ") << line;
      EXPECT_TRUE(std::regex_match(entry.madText, mad)) << line;
      entry.mad = ParseDouble(entry.madText);
      entry.column = column;
      entry.line = i;
      if (column > 1) {
        EXPECT_EQ(line.substr(begin - 2, 2), "  ") << line;
      }
      entries.push_back(entry);
    }
  }
  return entries;
}

// The sets of a parameter estimates file: the values of each set in file order and the
// iteration number that closes it. Every value line is checked against the layout: at most
// three values, each right-aligned in 20 columns, fixed point with 16 decimals.
struct EstimatesSet {
  std::vector<double> values;
  std::vector<std::size_t> lineLengths;
  int iteration = -1;
};

std::vector<EstimatesSet> ReadEstimatesSets(const std::string& path) {
  std::vector<EstimatesSet> sets(1);
  const std::regex value(R"( *[0-9]+\.[0-9]{16})");
  const std::regex iteration(R"( [0-9]+)");
  for (const std::string& line : ReadLines(path)) {
    if (line.empty()) continue;
    if (std::regex_match(line, iteration)) {
      sets.back().iteration = static_cast<int>(ParseDouble(line));
      sets.emplace_back();
      continue;
    }
    EXPECT_TRUE(line.size() % 20 == 0 && line.size() >= 20 && line.size() <= 60) << line;
    sets.back().lineLengths.push_back(line.size());
    for (std::size_t at = 0; at + 20 <= line.size(); at += 20) {
      const std::string field = line.substr(at, 20);
      EXPECT_TRUE(std::regex_match(field, value)) << "'" << field << "'";
      sets.back().values.push_back(ParseDouble(field));
    }
  }
  EXPECT_TRUE(sets.back().values.empty()) << "values after the last iteration number";
  sets.pop_back();
  return sets;
}

// The Stouffer-Toby parameters in the order of the file: gamma, then little rho by category,
// class and item.
std::vector<double> StoufferFileOrder(const input::ParameterSet& values) {
  std::vector<double> order(values.gamma);
  const input::MultiIndex<3> shape(2, 4, 2);
  for (int k = 0; k < 2; ++k) {
    for (int c = 0; c < 2; ++c) {
      for (int i = 0; i < 4; ++i) order.push_back(values.littleRho[shape(k, i, c)]);
    }
  }
  return order;
}

// ---------------------------------------------------------------------------------------------

std::vector<int> g_published;  // iteration numbers the driver published, in order
int g_abortAt = 0;
std::int16_t g_abortValue = 0;

void RecordIteration(std::int32_t iteration) {
  g_published.push_back(iteration);
  if (iteration == g_abortAt) {
    // What lAbortRun stores in the record (the export itself lives in the shared library).
    run::EngineStatus& status = run::Status();
    std::lock_guard lock(status.mutex);
    status.abortRequested = g_abortValue;
  }
}

class EmDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run::ResetStatusForTesting();
    g_published.clear();
    g_abortAt = 0;
    g_abortValue = run::kTrue16;
    run::SetProgressObserverForTesting(RecordIteration);
  }
  void TearDown() override { run::SetProgressObserverForTesting(nullptr); }

  // Runs the job; returns the driver's result and fills the error and the report.
  std::int32_t Run(const Job& job) {
    g_published.clear();
    const std::string field = PathField(dir.Write("job.cnt", ControlText(job, dir)));
    const std::int32_t result = RunEmDriver(field.c_str(), 300);
    std::string message;
    errorCode = run::ReadEngineError(&message);
    errorMessage = TrimRight(message);
    report = ReadLines(dir.Path("em.out"));
    return result;
  }

  // The model, its codes unmarked, and its patterns, read the way the driver reads them.
  testing::EmIterations Follow(const Job& job) {
    const std::string field = PathField(dir.Write("follow.cnt", ControlText(job, dir)));
    input::Model model;
    EXPECT_TRUE(input::ReadControlFile(field, &model).IsOk());
    const input::DataLayout layout = input::DataLayoutOf(model);
    std::int32_t count = 0;
    double subjects = 0.0;
    EXPECT_TRUE(input::CountDataRecords(layout, &count, &subjects).IsOk());
    input::DataFileReader reader;
    EXPECT_TRUE(input::OpenDataFile(layout, &reader).IsOk());
    input::PatternTable patterns;
    EXPECT_TRUE(input::LoadPatterns(reader, model, layout, count, &patterns).IsOk());
    if (!model.startValuesFromFile) {
      const std::size_t perOccasion =
          model.start.bigRho.size() / static_cast<std::size_t>(model.dims.OccasionExtent());
      for (std::size_t v = perOccasion; v < model.start.bigRho.size(); ++v) {
        model.start.bigRho[v] = model.start.bigRho[v % perOccasion];
      }
    }
    GroupedPatterns grouped = GroupByMissingness(patterns, model);
    return testing::EmIterations(std::move(model), std::move(grouped));
  }

  TempDir dir;
  std::int32_t errorCode = 0;
  std::string errorMessage;
  std::vector<std::string> report;
};

// ---------------------------------------------------------------------------------------------
// Fit of a published model

TEST_F(EmDriverTest, StoufferTobyTwoClassModelReproducesGoodmansFit) {
  const Job job = ConvergedStoufferToby(dir);
  ASSERT_EQ(Run(job), kRunCompleted) << errorMessage;
  EXPECT_EQ(errorCode, 0);

  // Goodman (1974): G-squared 2.72 on 16 cells - 9 parameters - 1 = 6 degrees of freedom.
  const double g2 = FieldAfter(report, " G-Squared Test of Model Fit:  ");
  EXPECT_NEAR(g2, 2.72, 0.005);
  EXPECT_EQ(FieldAfter(report, " Degrees of Freedom:           "), 6.0);
  EXPECT_FALSE(Contains(report, " G-Squared Test for MCAR"));
  EXPECT_FALSE(Contains(report, "  ****WARNING: CONVERGENCE NOT REACHED****"));

  // Goodman's estimates to three decimals: a class of 0.279 answering the universalistic
  // category with 0.993, 0.940, 0.927, 0.769, and one of 0.721 with 0.714, 0.330, 0.354, 0.132.
  // The start values put the first class on the universalistic side.
  const std::vector<EstimatesSet> sets = ReadEstimatesSets(dir.Path("em.est"));
  ASSERT_GE(sets.size(), 1u);
  const std::vector<double> published = {0.279, 0.721, 0.993, 0.940, 0.927,
                                         0.769, 0.714, 0.330, 0.354, 0.132};
  ASSERT_EQ(sets[0].values.size(), 18u);
  for (std::size_t v = 0; v < published.size(); ++v) {
    EXPECT_NEAR(sets[0].values[v], published[v], 0.0006) << "value " << v;
  }

  // The report closes with the finishing lines.
  ASSERT_GE(report.size(), 2u);
  EXPECT_TRUE(report[report.size() - 2].starts_with(" PROGRAM FINISHED: "));
  EXPECT_TRUE(std::regex_match(
      report.back(),
      std::regex(R"( ELAPSED TIME: {4}0 HOURS, {4}0 MINUTES, {3}[ 0-9]\d SECONDS\.)")))
      << report.back();
}

// Classification of the Stouffer-Toby subjects by Bayes' rule, P(c | y) = gamma(c) P(y | c) /
// P(y), from estimates given as gamma[c] and rho1[c][j], the probability of category 1.
struct Classified {
  double relativeEntropy = 0.0;
  double modalAverage[2] = {0.0, 0.0};
};

Classified ClassifyStoufferToby(const double gamma[2], const double rho1[2][4]) {
  std::istringstream in(ReadFile(kExamples + "stouffer_toby.dat"));
  double entropy = 0.0, total = 0.0, mass[2] = {0, 0}, count[2] = {0, 0};
  for (int y[4]; in >> y[0] >> y[1] >> y[2] >> y[3];) {
    double n = 0.0;
    in >> n;
    double joint[2];
    for (int c = 0; c < 2; ++c) {
      joint[c] = gamma[c];
      for (int j = 0; j < 4; ++j) joint[c] *= y[j] == 1 ? rho1[c][j] : 1.0 - rho1[c][j];
    }
    const double p[2] = {joint[0] / (joint[0] + joint[1]), joint[1] / (joint[0] + joint[1])};
    entropy -= n * (p[0] * std::log(p[0]) + p[1] * std::log(p[1]));
    const int modal = p[1] > p[0] ? 1 : 0;
    mass[modal] += n * p[modal];
    count[modal] += n;
    total += n;
  }
  return {1.0 - entropy / (total * std::log(2.0)), {mass[0] / count[0], mass[1] / count[1]}};
}

TEST_F(EmDriverTest, StoufferTobyFitIndicesInTheReportAndTheResultsFile) {
  const Job job = ConvergedStoufferToby(dir);
  ASSERT_EQ(Run(job), kRunCompleted) << errorMessage;

  // The published figures: logL -504.4677, AIC 1026.935, BIC 1057.313, X2 2.7198, with 9
  // parameters and N = 216. By hand from them: adjusted BIC = AIC - 18 + 9 ln(218 / 24) =
  // 1028.793; CAIC = BIC + 9; the tail of chi-square on 6 df, e^(-x/2) (1 + x/2 + x^2/8), is
  // 0.8431 at x = 2.72 and at 2.7198. Labels end in column 31, values in column 51.
  const std::size_t block = FindLine(report, " FIT INDICES");
  ASSERT_NE(block, kNone);
  // MODEL FIT and its two empty lines stay as they were, right before.
  EXPECT_EQ(report[block - 4], " G-Squared Test of Model Fit:                 2.720");
  EXPECT_EQ(report[block - 3], " Degrees of Freedom:                              6");
  const std::vector<std::string> expected = {
      " FIT INDICES",
      "",
      " Log-Likelihood:                           -504.468",
      " Estimated Parameters:                            9",
      " Pearson X-Squared:                           2.720",
      " p-Value of G-Squared:                       0.8431",
      " p-Value of X-Squared:                       0.8431",
      " AIC:                                      1026.935",
      " BIC:                                      1057.313",
      " Sample-Size Adjusted BIC:                 1028.793",
      " CAIC:                                     1066.313",
      "",
      "",
      " CLASSIFICATION QUALITY",
      ""};
  ASSERT_GT(report.size(), block + expected.size() + 8);
  EXPECT_EQ(std::vector(report.begin() + static_cast<std::ptrdiff_t>(block),
                        report.begin() + static_cast<std::ptrdiff_t>(block + expected.size())),
            expected);

  // Entropy and modal posteriors from Bayes' rule on the estimates the run saved.
  const std::vector<EstimatesSet> sets = ReadEstimatesSets(dir.Path("em.est"));
  ASSERT_FALSE(sets.empty());
  const std::vector<double>& e = sets[0].values;  // gamma, then rho by category, class, item
  const double gamma[2] = {e[0], e[1]};
  const double rho1[2][4] = {{e[2], e[3], e[4], e[5]}, {e[6], e[7], e[8], e[9]}};
  const Classified classified = ClassifyStoufferToby(gamma, rho1);
  const std::size_t entropyLine = block + expected.size();
  EXPECT_NEAR(FieldAfter(report, " Relative Entropy:             ", 20, entropyLine),
              classified.relativeEntropy, 0.00005 + 1e-9);
  const std::size_t modal =
      FindLine(report, " AVERAGE POSTERIOR PROBABILITY OF THE MODAL LATENT CLASS", entropyLine);
  ASSERT_NE(modal, kNone);
  for (int c = 0; c < 2; ++c) {
    const std::string& row = report[modal + 2 + static_cast<std::size_t>(c)];
    EXPECT_EQ(row.substr(0, 11), std::string(" ") + (c == 0 ? "Univ    " : "Partic  ") + "  ");
    EXPECT_NEAR(ParseDouble(row.substr(11)), classified.modalAverage[c], 0.0005 + 1e-9);
  }

  // The results file beside the report, with the same figures at full precision.
  const nlohmann::json results = nlohmann::json::parse(ReadFile(dir.Path("em.json")));
  EXPECT_EQ(results["run_type"], "EM");
  EXPECT_FALSE(results["program_version"].get<std::string>().empty());
  EXPECT_EQ(results["files"]["report"], dir.Path("em.out"));
  EXPECT_EQ(results["files"]["estimates"], dir.Path("em.est"));
  EXPECT_TRUE(results["files"]["start_values"].is_null());
  EXPECT_EQ(results["dimensions"]["classes"], 2);
  // The control file's names, without the blanks that pad them to eight characters.
  EXPECT_EQ(results["labels"]["classes"], nlohmann::json({"Univ", "Partic"}));
  EXPECT_EQ(results["labels"]["class_items"][3], "Item4");
  EXPECT_EQ(results["labels"]["class_categories"][0], nlohmann::json({"Univ", "Partic"}));
  EXPECT_EQ(results["subjects"], 216.0);
  EXPECT_EQ(results["patterns"], 16);
  EXPECT_EQ(results["npar"], 9);
  EXPECT_EQ(results["df"], 6.0);
  EXPECT_TRUE(results["converged"].get<bool>());
  EXPECT_EQ(results["iterations"], sets[0].iteration);
  struct Key {
    const char* name;
    double value;
    double tolerance;
  };
  const Key keys[] = {{"loglik", -504.4677, 0.00005}, {"G2", 2.72, 0.005},
                      {"X2", 2.7198, 0.00005},        {"p_G2", 0.8431, 0.00005},
                      {"p_X2", 0.8431, 0.00005},      {"AIC", 1026.935, 0.0005},
                      {"BIC", 1057.313, 0.0005},      {"aBIC", 1028.793, 0.0005},
                      {"CAIC", 1066.313, 0.0005},     {"entropy", classified.relativeEntropy, 1e-9}};
  for (const Key& key : keys) {
    ASSERT_TRUE(results[key.name].is_number()) << key.name;
    EXPECT_NEAR(results[key.name].get<double>(), key.value, key.tolerance) << key.name;
  }
  // One start, the control file's own.
  ASSERT_EQ(results["starts"].size(), 1u);
  const nlohmann::json& start = results["starts"][0];
  EXPECT_EQ(start["start"], 1);
  EXPECT_TRUE(start["seed"].is_null());
  EXPECT_EQ(start["loglik"], results["loglik"]);
  EXPECT_EQ(start["iterations"], results["iterations"]);
  EXPECT_EQ(start["converged"], true);
  EXPECT_TRUE(results["best_replicated"].is_null());
  // The estimates of the file, [class] and [class][item][category], and no status arrays.
  const nlohmann::json& estimates = results["estimates"];
  EXPECT_FALSE(estimates.contains("delta") || estimates.contains("tau") ||
               estimates.contains("big_rho"));
  for (int c = 0; c < 2; ++c) {
    EXPECT_NEAR(estimates["gamma"][c].get<double>(), gamma[c], 1e-15);
    for (int j = 0; j < 4; ++j) {
      const nlohmann::json& categories = estimates["little_rho"][c][j];
      ASSERT_EQ(categories.size(), 2u);
      EXPECT_NEAR(categories[0].get<double>(), rho1[c][j], 1e-15);
      EXPECT_NEAR(categories[1].get<double>(), e[10 + 4 * c + j], 1e-15);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Iteration history

TEST_F(EmDriverTest, HistoryHeadingAndEntriesFollowTheColumnRules) {
  Job job = StoufferToby(dir);
  job.maxIterations = 5;
  job.criterion = "0.0";
  ASSERT_EQ(Run(job), kRunCompleted) << errorMessage;

  const std::size_t head = FindLine(report, "  ITERATION HISTORY");
  ASSERT_NE(head, kNone);
  const std::vector<std::string> expectedHead = {
      "  ITERATION HISTORY",
      "  ",
      " " + std::string(50, '*'),
      "",
      "",  // the starting G-squared, checked below
      "",
      "ITER-   MAD         ITER-   MAD         ITER-   MAD",
      "ATION               ATION               ATION",
      ""};
  ASSERT_GT(report.size(), head + expectedHead.size());
  for (std::size_t i = 0; i < expectedHead.size(); ++i) {
    if (i != 4) {
      EXPECT_EQ(report[head + i], expectedHead[i]) << "heading line " << i;
    }
  }
  // The start values' G-squared, 10 columns with 3 decimals, worked out from its definition.
  EXPECT_EQ(report[head + 4].size(), 30u);
  EXPECT_TRUE(report[head + 4].starts_with(" STARTING G-SQUARED="));
  EXPECT_NEAR(ParseDouble(report[head + 4].substr(20)), StoufferStartGSquared(), 0.0005);

  // Iterations 1-3 fill the first line, 4 and 5 the second; each MAD is the mean absolute
  // change of the nine estimated parameters of the same iteration followed outside the driver.
  const std::vector<HistoryEntry> history = History(report);
  ASSERT_EQ(history.size(), 5u);
  testing::EmIterations follow = Follow(job);
  EXPECT_EQ(follow.Estimated(), 9);
  for (std::size_t n = 0; n < history.size(); ++n) {
    follow.Step();
    EXPECT_EQ(history[n].iteration, static_cast<int>(n) + 1);
    EXPECT_EQ(history[n].column, static_cast<int>(n % 3) + 1);
    EXPECT_EQ(history[n].line, head + expectedHead.size() + n / 3);
    EXPECT_NEAR(history[n].mad, follow.Mad(), 0.6e-10) << "iteration " << n + 1;
    EXPECT_GT(history[n].mad, 0.0);
  }
  // The open line of iteration 5 ends before the fit block, which starts with two empty lines.
  EXPECT_EQ(report[history.back().line + 1], "");
  EXPECT_EQ(report[history.back().line + 2], "");
  EXPECT_EQ(report[history.back().line + 3], " " + std::string(50, '*'));
  EXPECT_EQ(g_published, (std::vector<int>{1, 2, 3, 4, 5}));
  // Criterion 0 is never reached: the warning follows the fit.
  EXPECT_TRUE(Contains(report, "  ****WARNING: CONVERGENCE NOT REACHED****"));
}

TEST_F(EmDriverTest, ContinuedRunNumbersFromTheStoredIterationInItsColumn) {
  // Forty iterations saved, then continued to a maximum of 100: iterations 41 to 100, the
  // first one in the second column (41 mod 3 = 2), the last (100 mod 3 = 1) alone in the first.
  Job first = StoufferToby(dir);
  first.maxIterations = 40;
  first.criterion = "0.0";
  first.writeEstimates = true;
  ASSERT_EQ(Run(first), kRunCompleted) << errorMessage;
  std::filesystem::rename(dir.Path("em.est"), dir.Path("forty.est"));
  ASSERT_EQ(ReadEstimatesSets(dir.Path("forty.est")).size(), 1u);

  Job continued = first;
  continued.type = 2;
  continued.startFile = "forty.est";
  continued.maxIterations = 100;
  continued.writeEstimates = false;
  ASSERT_EQ(Run(continued), kRunCompleted) << errorMessage;
  EXPECT_TRUE(Contains(report, " START VALUES READ FROM FILE:"));
  EXPECT_TRUE(Contains(report, " NOTE: THESE START VALUES ARE PARAMETER ESTIMATES"));
  const std::vector<HistoryEntry> history = History(report);
  ASSERT_EQ(history.size(), 60u);
  EXPECT_EQ(history.front().iteration, 41);
  EXPECT_EQ(history.front().column, 2);
  EXPECT_EQ(report[history.front().line].substr(0, 25), std::string(23, ' ') + "41");
  EXPECT_EQ(history.back().iteration, 100);
  EXPECT_EQ(history.back().column, 1);
  EXPECT_EQ(report[history.back().line].size(), 18u);
  EXPECT_EQ(g_published.front(), 41);
  EXPECT_EQ(g_published.back(), 100);

  // The continuation computes what 100 iterations in one run compute: the saved values carry
  // 16 decimals, far below the 10 of the history.
  Job whole = first;
  whole.maxIterations = 100;
  whole.writeEstimates = false;
  ASSERT_EQ(Run(whole), kRunCompleted) << errorMessage;
  const std::vector<HistoryEntry> reference = History(report);
  ASSERT_EQ(reference.size(), 100u);
  for (std::size_t n = 0; n < history.size(); ++n) {
    EXPECT_EQ(history[n].iteration, reference[n + 40].iteration);
    EXPECT_EQ(history[n].column, reference[n + 40].column);
    EXPECT_NEAR(history[n].mad, reference[n + 40].mad, 1.1e-10);
  }
}

TEST_F(EmDriverTest, ContinuedRunBeyondItsMaximumRunsNoIteration) {
  Job first = StoufferToby(dir);
  first.maxIterations = 4;
  first.criterion = "0.0";
  first.writeEstimates = true;
  ASSERT_EQ(Run(first), kRunCompleted) << errorMessage;
  std::filesystem::rename(dir.Path("em.est"), dir.Path("four.est"));

  Job continued = first;
  continued.type = 2;
  continued.startFile = "four.est";
  continued.maxIterations = 3;
  continued.writeEstimates = false;
  g_published.clear();
  ASSERT_EQ(Run(continued), kRunCompleted) << errorMessage;
  EXPECT_TRUE(Contains(report, "  ITERATION HISTORY"));
  EXPECT_TRUE(History(report).empty());
  EXPECT_TRUE(g_published.empty());
  EXPECT_TRUE(Contains(report, " MODEL FIT"));
}

TEST_F(EmDriverTest, ConvergenceAtTheFirstIterationEndsTheRunAfterOneEntry) {
  // Every change is below 1, so a criterion of 1.0 is met at once.
  Job job = StoufferToby(dir);
  job.criterion = "1.0";
  ASSERT_EQ(Run(job), kRunCompleted) << errorMessage;
  const std::vector<HistoryEntry> history = History(report);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].iteration, 1);
  EXPECT_EQ(history[0].column, 1);
  const std::size_t line = history[0].line;
  EXPECT_EQ(report[line].size(), 18u);
  EXPECT_EQ(report[line + 1], "");
  EXPECT_EQ(report[line + 2], "");
  EXPECT_EQ(report[line + 3], " " + std::string(50, '*'));
  EXPECT_EQ(report[line + 4], "");
  EXPECT_EQ(report[line + 5], " MODEL FIT");
  EXPECT_FALSE(Contains(report, "  ****WARNING: CONVERGENCE NOT REACHED****"));
  EXPECT_EQ(g_published, (std::vector<int>{1}));
}

// ---------------------------------------------------------------------------------------------
// Parameter estimates file

TEST_F(EmDriverTest, ConvergedRunSavesItsEstimatesAndThoseOfTheNextIteration) {
  Job job = StoufferToby(dir);
  job.criterion = "0.0001";
  job.maxIterations = 1000;
  job.writeEstimates = true;
  ASSERT_EQ(Run(job), kRunCompleted) << errorMessage;
  const std::vector<HistoryEntry> history = History(report);
  ASSERT_FALSE(history.empty());
  const int converged = history.back().iteration;
  ASSERT_LT(converged, 1000);
  EXPECT_LT(history.back().mad, 0.0001);

  const std::vector<EstimatesSet> sets = ReadEstimatesSets(dir.Path("em.est"));
  ASSERT_EQ(sets.size(), 2u);
  // Gamma on one line, then each of the four little rho groups as three values and one.
  const std::vector<std::size_t> lengths = {40, 60, 20, 60, 20, 60, 20, 60, 20};
  EXPECT_EQ(sets[0].lineLengths, lengths);
  EXPECT_EQ(sets[1].lineLengths, lengths);
  EXPECT_EQ(sets[0].iteration, converged);
  // The silent iteration that follows changes the estimates by less than the criterion again,
  // so it is the last one.
  EXPECT_EQ(sets[1].iteration, converged + 1);
  EXPECT_EQ(g_published.back(), converged + 1);
  EXPECT_NE(sets[0].values, sets[1].values);

  // The first set reads back as start values, with its iteration number.
  input::Model model;
  ASSERT_TRUE(input::ReadControlFile(PathField(dir.Path("job.cnt")), &model).IsOk());
  input::ParameterSet read;
  input::AllocateParameters(model.dims, &read);
  std::int32_t iteration = -1;
  ASSERT_TRUE(input::ReadStartValuesFile(dir.Path("em.est"), model.dims, &read, &iteration).IsOk());
  EXPECT_EQ(iteration, converged);
  EXPECT_EQ(StoufferFileOrder(read), sets[0].values);

  // The second set is one EM iteration from the first.
  testing::EmIterations follow = Follow(job);
  follow.SetValues(read);
  follow.Step();
  const std::vector<double> next = StoufferFileOrder(follow.Values());
  ASSERT_EQ(next.size(), sets[1].values.size());
  double mad = 0.0;
  for (std::size_t v = 0; v < next.size(); ++v) {
    EXPECT_NEAR(sets[1].values[v], next[v], 1e-12) << "value " << v;
    mad += std::fabs(sets[1].values[v] - sets[0].values[v]);
  }
  EXPECT_GT(mad, 0.0);
}

TEST_F(EmDriverTest, RunEndingAtItsMaximumSavesOneSet) {
  Job job = StoufferToby(dir);
  job.criterion = "0.0";
  job.maxIterations = 6;
  job.writeEstimates = true;
  ASSERT_EQ(Run(job), kRunCompleted) << errorMessage;
  const std::vector<EstimatesSet> sets = ReadEstimatesSets(dir.Path("em.est"));
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].iteration, 6);
  EXPECT_EQ(g_published.back(), 6);
  testing::EmIterations follow = Follow(job);
  for (int n = 0; n < 6; ++n) follow.Step();
  const std::vector<double> expected = StoufferFileOrder(follow.Values());
  ASSERT_EQ(sets[0].values.size(), expected.size());
  for (std::size_t v = 0; v < expected.size(); ++v) {
    // Written with 16 decimals: within half a unit of the last one (and a rounding more).
    EXPECT_NEAR(sets[0].values[v], expected[v], 1e-15) << "value " << v;
  }
  EXPECT_TRUE(Contains(report, "  ****WARNING: CONVERGENCE NOT REACHED****"));
  EXPECT_TRUE(Contains(report, " PARAMETER ESTIMATES SAVED IN FILE:"));
}

// ---------------------------------------------------------------------------------------------
// Abort requests

TEST_F(EmDriverTest, AbortDuringIterationSevenEndsTheRunAfterIt) {
  Job job = StoufferToby(dir);
  job.criterion = "0.0000000001";
  job.maxIterations = 1000;
  job.writeEstimates = true;
  g_abortAt = 7;
  ASSERT_EQ(Run(job), kRunCompleted) << errorMessage;
  EXPECT_EQ(errorCode, 0);
  const std::vector<HistoryEntry> history = History(report);
  ASSERT_EQ(history.size(), 7u);
  EXPECT_EQ(history.back().iteration, 7);
  EXPECT_GT(history.back().mad, 0.0000000001);

  // Fit, warning and tables follow as after any other end of the iterations.
  const std::size_t fit = FindLine(report, " MODEL FIT");
  const std::size_t warning = FindLine(report, "  ****WARNING: CONVERGENCE NOT REACHED****");
  const std::size_t gamma = FindLine(report, " GAMMA PARAMETERS", warning == kNone ? 0 : warning);
  ASSERT_NE(fit, kNone);
  ASSERT_NE(warning, kNone);
  ASSERT_NE(gamma, kNone);
  EXPECT_LT(fit, warning);
  EXPECT_EQ(report[warning + 1], "  IF YOU HAVE CHOSEN TO WRITE PARAMETER ESTIMATES");
  EXPECT_EQ(report[warning + 2], "  TO A FILE, THEY CAN BE USED AS START VALUES");
  EXPECT_EQ(report[warning + 3], "  TO CONTINUE THIS RUN.");
  EXPECT_EQ(report[warning + 4], "  ");
  EXPECT_TRUE(report[report.size() - 2].starts_with(" PROGRAM FINISHED: "));

  // The request is still set after iteration 7: the silent iteration 8 is the last.
  const std::vector<EstimatesSet> sets = ReadEstimatesSets(dir.Path("em.est"));
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0].iteration, 7);
  EXPECT_EQ(sets[1].iteration, 8);
  EXPECT_EQ(g_published, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(EmDriverTest, OnlyTheLowestBitOfTheAbortRequestCounts) {
  Job job = StoufferToby(dir);
  job.criterion = "0.0";
  job.maxIterations = 9;
  g_abortAt = 3;
  g_abortValue = 2;
  ASSERT_EQ(Run(job), kRunCompleted) << errorMessage;
  EXPECT_EQ(History(report).size(), 9u);
}

// ---------------------------------------------------------------------------------------------
// Nothing to estimate

Job AllFixed(const TempDir& dir) {
  Job job = StoufferToby(dir);
  job.codes = "0 0\n0 0 0 0\n0 0 0 0\n0 0 0 0\n0 0 0 0\n";
  return job;
}

TEST_F(EmDriverTest, WithEveryCodeZeroNothingMovesAndTheRunStopsAfterItsFirstIteration) {
  Job job = AllFixed(dir);
  job.maxIterations = 50;
  job.writeEstimates = true;
  ASSERT_EQ(Run(job), kRunCompleted) << errorMessage;
  const std::vector<HistoryEntry> history = History(report);
  ASSERT_EQ(history.size(), 1u);
  // F11.10 leaves no room for the zero in front of the point.
  EXPECT_EQ(history[0].madText, ".0000000000");
  // No estimated parameter: 16 cells - 0 - 1.
  EXPECT_EQ(FieldAfter(report, " Degrees of Freedom:           "), 15.0);
  // The parameters are the start values, so the fit is theirs.
  EXPECT_NEAR(FieldAfter(report, " G-Squared Test of Model Fit:  "), StoufferStartGSquared(),
              0.0005);
  EXPECT_FALSE(Contains(report, "  ****WARNING: CONVERGENCE NOT REACHED****"));
  // The silent iteration 2 changes nothing either.
  const std::vector<EstimatesSet> sets = ReadEstimatesSets(dir.Path("em.est"));
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[1].iteration, 2);
  EXPECT_EQ(sets[0].values, sets[1].values);
  EXPECT_EQ(sets[0].values[0], 0.6);
  EXPECT_EQ(sets[0].values[2], 0.9);
}

TEST_F(EmDriverTest, MadEqualToTheCriterionRunsToTheMaximumWithoutWarning) {
  // MAD stays 0 and a criterion of 0 is never undercut; at the maximum MAD is not above it.
  Job job = AllFixed(dir);
  job.maxIterations = 3;
  job.criterion = "0.0";
  ASSERT_EQ(Run(job), kRunCompleted) << errorMessage;
  const std::vector<HistoryEntry> history = History(report);
  ASSERT_EQ(history.size(), 3u);
  for (const HistoryEntry& entry : history) EXPECT_EQ(entry.mad, 0.0);
  EXPECT_FALSE(Contains(report, "  ****WARNING: CONVERGENCE NOT REACHED****"));
}

// ---------------------------------------------------------------------------------------------
// Maximum iterations 0

void ExpectStartValuesEvaluatedOnly(const std::vector<std::string>& report, double g2) {
  EXPECT_FALSE(Contains(report, " THE FOLLOWING PARAMETER RESTRICTIONS HAVE BEEN SPECIFIED"));
  EXPECT_FALSE(Contains(report, "  ITERATION HISTORY"));
  EXPECT_FALSE(Contains(report, " MODEL FIT"));
  EXPECT_FALSE(Contains(report, "  **WARNING**"));
  EXPECT_TRUE(Contains(report, "          START VALUES"));
  const std::size_t block = FindLine(report, " CROSSVALIDATION");
  ASSERT_NE(block, kNone);
  ASSERT_EQ(report.size(), block + 6);
  // The line of asterisks and the empty line that close the start values come right before.
  EXPECT_EQ(report[block - 2], " " + std::string(50, '*'));
  EXPECT_EQ(report[block - 1], "");
  EXPECT_EQ(report[block + 1], "");
  EXPECT_NEAR(FieldAfter(report, " G-Squared Test of Model Fit:  ", 20, block), g2, 0.0005);
  EXPECT_EQ(report[block + 3], "");
  EXPECT_TRUE(report[block + 4].starts_with(" PROGRAM FINISHED: "));
  EXPECT_TRUE(report[block + 5].starts_with(" ELAPSED TIME: "));
}

TEST_F(EmDriverTest, ZeroIterationsEvaluateTheStartValuesOnly) {
  Job job = StoufferToby(dir);
  job.maxIterations = 0;
  job.writeEstimates = true;
  // A new estimation needs iterations; values are evaluated from a file, with a fit-only job.
  EXPECT_NE(Run(job), kRunCompleted);
  EXPECT_EQ(errorCode, kBadRunSetting);
  EXPECT_FALSE(std::filesystem::exists(dir.Path("em.est")));
  EXPECT_TRUE(g_published.empty());

  // The start values from a parameter estimates file, with a fit-only job (type 4).
  dir.Write("start.est",
            "  0.6000000000000000  0.4000000000000000\n"
            "  0.9000000000000000  0.8000000000000000  0.8000000000000000\n"
            "  0.7000000000000000\n"
            "  0.4000000000000000  0.3000000000000000  0.2000000000000000\n"
            "  0.1000000000000000\n"
            "  0.1000000000000000  0.2000000000000000  0.2000000000000000\n"
            "  0.3000000000000000\n"
            "  0.6000000000000000  0.7000000000000000  0.8000000000000000\n"
            "  0.9000000000000000\n"
            " 12\n");
  job.type = 4;
  job.startFile = "start.est";
  dir.Write("em.est", "estimates of an earlier run\n");
  ASSERT_EQ(Run(job), kRunCompleted) << errorMessage;
  ExpectStartValuesEvaluatedOnly(report, StoufferStartGSquared());
  EXPECT_TRUE(Contains(report, " START VALUES READ FROM FILE:"));
  EXPECT_TRUE(Contains(report, " NOTE: THESE START VALUES ARE PARAMETER ESTIMATES"));
  // An existing estimates file stays as it was.
  EXPECT_EQ(ReadFile(dir.Path("em.est")), "estimates of an earlier run\n");
}

// Two classes of 24 binary items; a record that misses every item has 2^24 completions, more
// than the saturated model is estimated for. Its G-squared then tests nothing: the report gives
// it a label of its own, and neither degrees of freedom nor a p-value.
TEST_F(EmDriverTest, WithoutTheSaturatedModelTheFitLineIsNoTest) {
  const auto repeat = [](const std::string& value, int n) {
    std::string line;
    for (int i = 0; i < n; ++i) line += value + " ";
    return line;
  };
  dir.Write("job.dat", repeat("1", 24) + "6\n" + repeat("2", 24) + "5\n" +
                           repeat("1", 12) + repeat("2", 12) + "3\n" + repeat("0", 24) + "1\n");
  Job job;
  job.model = "2 0 24 0 0 1 0 1 0";
  job.maxIterations = 20;
  job.categoriesAndLabels = repeat("2", 24) + "\n'A' 'B'\n";
  for (int i = 0; i < 24; ++i) job.categoriesAndLabels += "'Item' 'A' 'B'\n";
  job.codes = "1 1\n" + repeat("1", 24) + "\n" + repeat("1", 24) + "\n" + repeat("1", 24) +
              "\n" + repeat("1", 24) + "\n";
  job.start = "0.5 0.5\n" + repeat("0.7", 24) + "\n" + repeat("0.3", 24) + "\n" +
              repeat("0.3", 24) + "\n" + repeat("0.7", 24) + "\n";
  ASSERT_EQ(Run(job), kRunCompleted) << errorMessage;
  EXPECT_TRUE(Contains(report, " SATURATED MODEL NOT ESTIMATED:"));
  EXPECT_FALSE(Contains(report, " G-Squared Test of Model Fit:"));
  EXPECT_TRUE(Contains(report, " G-Squared, Observed Patterns: "));
  const std::size_t pValue = FindLine(report, " p-Value of G-Squared:");
  ASSERT_NE(pValue, kNone);
  EXPECT_EQ(report[pValue].size(), 51u);
  EXPECT_TRUE(report[pValue].ends_with("UND")) << report[pValue];
  const nlohmann::json results = nlohmann::json::parse(ReadFile(dir.Path("em.json")));
  EXPECT_TRUE(results["df"].is_null());
  EXPECT_TRUE(results["p_G2"].is_null());
  EXPECT_TRUE(results["G2"].is_number());
}

// ---------------------------------------------------------------------------------------------
// Zero transition denominators

// One binary status item at two occasions, two statuses; nobody starts in status 2 when delta
// is fixed at (1, 0).
Job EmptyOriginOneClass(const TempDir& dir) {
  dir.Write("job.dat", "1 1 10\n1 2 5\n2 2 7\n2 1 3\n");
  Job job;
  job.model = "1 2 0 1 2 1 0 0 0";
  job.categoriesAndLabels = "2\n'S1' 'S2'\n'Item' 'no' 'yes'\n";
  job.codes = "0 0\n1 1 1 1\n" + std::string("1\n1\n1\n1\n1\n1\n1\n1\n");
  job.start = "1.0 0.0\n0.5 0.5 0.5 0.5\n0.7\n0.4\n0.3\n0.6\n";
  return job;
}

const std::vector<std::string> kFreeRowText = {
    "THIS MEANS THAT THE DENOMINATOR FOR THIS ROW",
    "  (WHICH FOR FIRST-ORDER MODELS IS THE CORRESPONDING DELTA",
    "   AND FOR SECOND-ORDER MODELS IS THE JOINT PROBABILITY OF ",
    "   LATENT STATUS MEMBERSHIP AT TIME T AND TIME T+1)",
    "HAS BEEN ESTIMATED AT ZERO.  THUS THERE IS NO ONE TO TRANSITION",
    "INTO THIS ROW OF THE TAU MATRIX.",
    "A SUGGESTED WAY OF DEALING WITH THIS IS TO CHANGE THE CONSTRAINTS",
    "SO THAT THE ENTIRE ROW OF THE TAU MATRIX IS FIXED TO ZERO",
    "EXCEPT FOR THE DIAGONAL ELEMENT, WHICH SHOULD BE FIXED TO ONE."};

// The report ends with the explanation: its head, the row (and class) lines, then the rest.
void ExpectFreeRowExplanation(const std::vector<std::string>& report,
                              const std::vector<std::string>& where) {
  std::vector<std::string> expected = {
      "PROGRAM TERMINATED - DIVISION BY ZERO ATTEMPTED IN TAU MATRIX",
      "THIS OCCURED IN A FREE PARAMETER"};
  expected.insert(expected.end(), where.begin(), where.end());
  expected.insert(expected.end(), kFreeRowText.begin(), kFreeRowText.end());
  ASSERT_GE(report.size(), expected.size());
  const std::vector<std::string> tail(report.end() - static_cast<std::ptrdiff_t>(expected.size()),
                                      report.end());
  // The first line may continue a history line that was still open.
  EXPECT_TRUE(tail[0].ends_with(expected[0])) << tail[0];
  EXPECT_EQ(std::vector(tail.begin() + 1, tail.end()),
            std::vector(expected.begin() + 1, expected.end()));
}

TEST_F(EmDriverTest, AnUnreadableTitleStaysRecordedUnlessALaterFailureReplacesIt) {
  const std::string unreadable = "'*" + std::string(2 << 20, 'x') + "'";
  struct Case {
    const char* what;
    std::string model, data;
    std::int32_t result, code;
    std::string message;  // its start
  };
  const Case cases[] = {
      {"rest of the run fine", "2 0 4 0 0 1 0 0 0", "job.dat", kRunCompleted, kLineTooLong,
       "Error Reading Title"},
      {"model line unreadable", "words", "job.dat", kBadValue, kBadValue,
       "Unable to read common model information from control file: "},
      {"data file missing", "2 0 4 0 0 1 0 0 0", "none.dat", ENOENT, ENOENT,
       "Unable to open data file for reading: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    run::ResetStatusForTesting();
    Job job = StoufferToby(dir);
    job.title = unreadable;
    job.model = c.model;
    job.data = c.data;
    EXPECT_EQ(Run(job), c.result);
    EXPECT_EQ(errorCode, c.code);
    EXPECT_TRUE(errorMessage.starts_with(c.message)) << errorMessage;
  }
}

TEST_F(EmDriverTest, FreeTauRowWithoutOriginEndsTheRunWithCodeTwo) {
  ASSERT_EQ(Run(EmptyOriginOneClass(dir)), 0);
  EXPECT_EQ(errorCode, 2);
  EXPECT_EQ(errorMessage,
            "There was an error in the EM routine.  Please see the output file for details.");
  ExpectFreeRowExplanation(report, {"IN ROW    2"});
  EXPECT_EQ(report[report.size() - 12],
            "PROGRAM TERMINATED - DIVISION BY ZERO ATTEMPTED IN TAU MATRIX");
  // The run stops in iteration 1: no history entry, no fit, no finishing lines.
  EXPECT_TRUE(History(report).empty());
  EXPECT_FALSE(Contains(report, " MODEL FIT"));
  EXPECT_FALSE(Contains(report, " PROGRAM FINISHED: "));

  // With two classes the class is named: class 1 estimates its delta, class 2 starts
  // everybody in status 1 and has its second row free.
  dir.Write("job.dat", "1 1 1 10\n2 1 2 5\n2 2 2 7\n1 2 1 4\n");
  Job twoClasses;
  twoClasses.model = "2 2 1 1 2 1 0 0 0";
  twoClasses.categoriesAndLabels = "2\n2\n'C1' 'C2'\n'S1' 'S2'\n'Cit' 'a' 'b'\n'Item' 'no' 'yes'\n";
  twoClasses.codes = "1 1\n1 1 0 0\n1 1 1 1\n0 0 1 1\n1\n1\n1\n1\n";
  for (int n = 0; n < 16; ++n) twoClasses.codes += "1\n";
  twoClasses.start =
      "0.5 0.5\n0.6 0.4 1.0 0.0\n0.8 0.2 0.3 0.7\n0.9 0.1 0.5 0.5\n"
      "0.8\n0.3\n0.2\n0.7\n"
      "0.7\n0.4\n0.3\n0.6\n0.7\n0.4\n0.3\n0.6\n";
  run::ResetStatusForTesting();
  ASSERT_EQ(Run(twoClasses), 0);
  EXPECT_EQ(errorCode, 2);
  ExpectFreeRowExplanation(report, {"IN ROW    2", "OF THE TAU MATRIX FOR LATENT CLASS   2"});
}

TEST_F(EmDriverTest, ZeroTauDenominatorInALaterIterationKeepsTheHistoryBeforeIt) {
  // Delta of status 1 is fixed at 1.0 and that of status 2 starts free at 0.009 (the sum,
  // 1.009, is within the tolerance of the start-value check). Iteration 1 finds subjects in
  // status 2, and the delta update gives status 2 what the fixed entry leaves: 0. Iteration 2
  // then has nobody in row 2.
  Job job = EmptyOriginOneClass(dir);
  job.codes = "0 1\n1 1 1 1\n" + std::string("1\n1\n1\n1\n1\n1\n1\n1\n");
  job.start = "1.0 0.009\n0.5 0.5 0.5 0.5\n0.7\n0.4\n0.3\n0.6\n";
  ASSERT_EQ(Run(job), 0);
  EXPECT_EQ(errorCode, 2);
  EXPECT_EQ(g_published, (std::vector<int>{1, 2}));
  ExpectFreeRowExplanation(report, {"IN ROW    2"});
  // The entry of iteration 1 is in the report, ahead of the explanation (on its own line or
  // with the explanation continuing it).
  const std::size_t entry = FindLine(report, "    1  ");
  ASSERT_NE(entry, kNone) << "the history entry of iteration 1 is missing";
  EXPECT_TRUE(report[entry].size() == 18 ||
              report[entry].substr(18).starts_with("PROGRAM TERMINATED"))
      << report[entry];
  EXPECT_EQ(entry, report.size() - (report[entry].size() == 18 ? 13 : 12));
}

// ---------------------------------------------------------------------------------------------
// Recovery of simulated parameters

// examples/lta.dat was simulated by examples/simulate_lta.py: 3000 subjects, two latent classes
// measured by two binary class items, three latent statuses measured at three occasions by four
// binary status items, first-order transitions that are the same at both steps.
struct LtaTruth {
  double gamma[2] = {0.6, 0.4};
  double littleRho1[2][2] = {{0.85, 0.80}, {0.20, 0.25}};  // [class][item], category 1
  double delta[2][3] = {{0.6, 0.3, 0.1}, {0.2, 0.3, 0.5}};
  double tau[2][3][3] = {{{0.80, 0.15, 0.05}, {0.10, 0.80, 0.10}, {0.05, 0.15, 0.80}},
                         {{0.60, 0.30, 0.10}, {0.10, 0.60, 0.30}, {0.05, 0.15, 0.80}}};
  double bigRho1[3][4] = {{0.90, 0.90, 0.85, 0.90},
                          {0.20, 0.85, 0.30, 0.80},
                          {0.10, 0.15, 0.10, 0.20}};  // [status][item], category 1
};

// Big rho tied across classes and occasions (one code per category, item and status), tau free
// per class and transition. Start values off the truth by 0.05 to 0.1, in the same order of
// classes and statuses, so that the labels stay where the simulation put them.
Job LatentTransitionJob(const std::string& data, bool missing) {
  Job job;
  job.model = std::string("2 3 2 4 3 1 0 ") + (missing ? "1" : "0") + " 0";
  job.data = data;
  job.maxIterations = 1000;
  job.criterion = "0.000001";
  job.writeEstimates = true;
  job.categoriesAndLabels =
      "2 2\n2 2 2 2\n'C1' 'C2'\n'S1' 'S2' 'S3'\n'A' '1' '2'\n'B' '1' '2'\n"
      "'W' '1' '2'\n'X' '1' '2'\n'Y' '1' '2'\n'Z' '1' '2'\n";
  job.codes = "1 1\n1 1 1 1 1 1\n";
  for (int c = 0; c < 2; ++c) job.codes += "1 1 1 1 1 1 1 1 1\n1 1 1 1 1 1 1 1 1\n";
  job.codes += "1 1\n1 1\n1 1\n1 1\n";
  for (int c = 0; c < 2; ++c) {
    for (int t = 0; t < 3; ++t) {
      for (int k = 0; k < 2; ++k) {
        for (int s = 0; s < 3; ++s) {
          for (int i = 0; i < 4; ++i) {
            job.codes += std::to_string(2 + k * 12 + s * 4 + i) + (i < 3 ? " " : "\n");
          }
        }
      }
    }
  }
  job.start =
      "0.55 0.45\n0.5 0.3 0.2 0.25 0.3 0.45\n"
      "0.7 0.2 0.1 0.15 0.7 0.15 0.1 0.2 0.7\n0.7 0.2 0.1 0.15 0.7 0.15 0.1 0.2 0.7\n"
      "0.5 0.35 0.15 0.15 0.55 0.3 0.1 0.2 0.7\n0.5 0.35 0.15 0.15 0.55 0.3 0.1 0.2 0.7\n"
      "0.8 0.75\n0.25 0.3\n0.2 0.25\n0.75 0.7\n";
  const std::string category1 = "0.85 0.85 0.8 0.85\n0.25 0.8 0.35 0.75\n0.15 0.2 0.15 0.25\n";
  const std::string category2 = "0.15 0.15 0.2 0.15\n0.75 0.2 0.65 0.25\n0.85 0.8 0.85 0.75\n";
  for (int c = 0; c < 2; ++c) job.start += category1 + category2;
  return job;
}

// The true values as a parameter set of the model's dimensions (both transitions alike, big
// rho alike in every class and occasion).
input::ParameterSet TrueValues(const input::ModelDimensions& dims) {
  const LtaTruth truth;
  input::ParameterSet v;
  input::AllocateParameters(dims, &v);
  const auto delta = input::DeltaShape(dims);
  const auto tau = input::TauShape(dims);
  const auto little = input::LittleRhoShape(dims);
  const auto big = input::BigRhoShape(dims);
  for (int c = 0; c < 2; ++c) {
    v.gamma[static_cast<std::size_t>(c)] = truth.gamma[c];
    for (int i = 0; i < 2; ++i) {
      v.littleRho[little(0, i, c)] = truth.littleRho1[c][i];
      v.littleRho[little(1, i, c)] = 1.0 - truth.littleRho1[c][i];
    }
    for (int s = 0; s < 3; ++s) {
      v.delta[delta(c, s, 0)] = truth.delta[c][s];
      for (int j = 0; j < 3; ++j) {
        v.tau[tau(s, j, c)] = v.tau[tau(3 + s, j, c)] = truth.tau[c][s][j];
      }
      for (int t = 0; t < 3; ++t) {
        for (int i = 0; i < 4; ++i) {
          v.bigRho[big(0, i, s, c, t)] = truth.bigRho1[s][i];
          v.bigRho[big(1, i, s, c, t)] = 1.0 - truth.bigRho1[s][i];
        }
      }
    }
  }
  return v;
}

class EmRecoveryTest : public EmDriverTest {
 protected:
  // Runs the job on a copy of the example data; returns the first set of its estimates file.
  input::ParameterSet RunAndReadEstimates(const Job& job) {
    dir.Write(job.data, ReadFile(kExamples + job.data));
    EXPECT_EQ(Run(job), kRunCompleted) << errorMessage;
    input::Model model;
    EXPECT_TRUE(input::ReadControlFile(PathField(dir.Path("job.cnt")), &model).IsOk());
    dims = model.dims;
    input::ParameterSet values;
    input::AllocateParameters(dims, &values);
    std::int32_t iteration = 0;
    EXPECT_TRUE(input::ReadStartValuesFile(dir.Path("em.est"), dims, &values, &iteration).IsOk());
    return values;
  }

  // Twice the log-likelihood gained from the truth to the estimates. For the maximum-likelihood
  // estimates it is at least 0, and with the truth inside the model it follows a chi-square
  // distribution with 45 degrees of freedom, whose 0.999 quantile is about 80.1 (Wilson and
  // Hilferty's approximation: 45 (1 - 2/405 + 3.090 sqrt(2/405))^3).
  double LikelihoodRatioAgainstTruth(const Job& job, const input::ParameterSet& estimates) {
    testing::EmIterations follow = Follow(job);
    follow.SetValues(estimates);
    const double atEstimates = follow.LogLikelihood();
    follow.SetValues(TrueValues(dims));
    return 2.0 * (atEstimates - follow.LogLikelihood());
  }

  input::ModelDimensions dims;
};

constexpr double kChiSquare45Quantile999 = 80.1;

TEST_F(EmRecoveryTest, RecoversTheSimulatedLatentTransitionModel) {
  const Job job = LatentTransitionJob("lta.dat", false);
  const input::ParameterSet v = RunAndReadEstimates(job);
  EXPECT_FALSE(Contains(report, "  ****WARNING: CONVERGENCE NOT REACHED****"));
  // 2^14 cells; 45 parameters: gamma 1, delta 2 x 2, tau 2 classes x 6 rows x 2, little rho
  // 2 x 2, big rho 4 items x 3 statuses (category 2 of each tie).
  EXPECT_EQ(FieldAfter(report, " Degrees of Freedom:           "), 16384.0 - 45.0 - 1.0);

  // Each estimate within 4 standard errors of a proportion at its widest (p = 0.5), sqrt(0.25
  // / n), with n the expected number of subjects it is estimated from under the truth: all
  // 3000 for gamma, the class's share for little rho and delta, the class's share in the origin
  // status at the origin occasion for a tau row, and for big rho the subjects in the status
  // over all classes and occasions that the tie pools.
  const LtaTruth truth;
  auto tolerance = [](double n) { return 4.0 * std::sqrt(0.25 / n); };
  const auto delta = input::DeltaShape(dims);
  const auto tau = input::TauShape(dims);
  const auto little = input::LittleRhoShape(dims);
  const auto big = input::BigRhoShape(dims);
  double pooled[3] = {0, 0, 0};
  double inStatus[2][3][3];  // [class][occasion][status]: subjects under the truth
  for (int c = 0; c < 2; ++c) {
    for (int s = 0; s < 3; ++s) inStatus[c][0][s] = 3000.0 * truth.gamma[c] * truth.delta[c][s];
    for (int t = 1; t < 3; ++t) {
      for (int s = 0; s < 3; ++s) {
        inStatus[c][t][s] = 0.0;
        for (int r = 0; r < 3; ++r) inStatus[c][t][s] += inStatus[c][t - 1][r] * truth.tau[c][r][s];
      }
    }
    for (int t = 0; t < 3; ++t) {
      for (int s = 0; s < 3; ++s) pooled[s] += inStatus[c][t][s];
    }
  }
  EXPECT_NEAR(v.gamma[0], truth.gamma[0], tolerance(3000.0));
  for (int c = 0; c < 2; ++c) {
    SCOPED_TRACE("class " + std::to_string(c + 1));
    const double classSize = 3000.0 * truth.gamma[c];
    for (int i = 0; i < 2; ++i) {
      EXPECT_NEAR(v.littleRho[little(0, i, c)], truth.littleRho1[c][i], tolerance(classSize));
    }
    for (int s = 0; s < 3; ++s) {
      EXPECT_NEAR(v.delta[delta(c, s, 0)], truth.delta[c][s], tolerance(classSize))
          << "status " << s + 1;
      for (int step = 0; step < 2; ++step) {
        for (int j = 0; j < 3; ++j) {
          EXPECT_NEAR(v.tau[tau(3 * step + s, j, c)], truth.tau[c][s][j],
                      tolerance(inStatus[c][step][s]))
              << "transition " << step + 1 << ", row " << s + 1 << ", column " << j + 1;
        }
      }
      for (int t = 0; t < 3; ++t) {
        for (int i = 0; i < 4; ++i) {
          EXPECT_NEAR(v.bigRho[big(0, i, s, c, t)], truth.bigRho1[s][i], tolerance(pooled[s]))
              << "status " << s + 1 << ", occasion " << t + 1 << ", item " << i + 1;
        }
      }
    }
  }

  const double ratio = LikelihoodRatioAgainstTruth(job, v);
  EXPECT_GE(ratio, 0.0);
  EXPECT_LE(ratio, kChiSquare45Quantile999);
}

TEST_F(EmRecoveryTest, MissingResponsesGetTheMcarTest) {
  const Job job = LatentTransitionJob("lta_missing.dat", true);
  const input::ParameterSet v = RunAndReadEstimates(job);

  // MCAR degrees of freedom from the data, by their definition: over the missingness groups
  // (patterns with the same items missing), the sum of 2^(observed items) for the groups that
  // observe anything, minus the number of groups, minus the 2^14 cells, plus 1.
  std::set<std::vector<bool>> groups;
  double observedCells = 0.0;
  std::istringstream data(ReadFile(kExamples + "lta_missing.dat"));
  for (std::string line; std::getline(data, line);) {
    std::istringstream record(line);
    std::vector<bool> missing(14);
    int observed = 0;
    for (int item = 0; item < 14; ++item) {
      int response = -1;
      record >> response;
      ASSERT_GE(response, 0) << line;
      missing[static_cast<std::size_t>(item)] = response == 0;
      observed += response != 0;
    }
    if (groups.insert(missing).second && observed > 0) observedCells += std::ldexp(1.0, observed);
  }
  const double mcarDegrees = observedCells - static_cast<double>(groups.size()) - 16384.0 + 1.0;

  const std::size_t fit = FindLine(report, " MODEL FIT");
  ASSERT_NE(fit, kNone);
  const double modelFit = FieldAfter(report, " G-Squared Test of Model Fit:  ", 20, fit);
  EXPECT_EQ(FieldAfter(report, " Degrees of Freedom:           ", 20, fit), 16384.0 - 45.0 - 1.0);
  const std::size_t mcar = FindLine(report, " G-Squared Test for MCAR =     ", fit);
  ASSERT_NE(mcar, kNone);
  const double mcarG2 = FieldAfter(report, " G-Squared Test for MCAR =     ", 20, fit);
  EXPECT_EQ(FieldAfter(report, " Degrees of Freedom:           ", 20, mcar), mcarDegrees);
  EXPECT_GT(mcarG2, 0.0);
  // The fit is the model's G-squared less the saturated model's, which the MCAR line shows.
  testing::EmIterations follow = Follow(job);
  follow.SetValues(v);
  EXPECT_NEAR(modelFit + mcarG2, follow.GSquared(), 0.002);

  const double ratio = LikelihoodRatioAgainstTruth(job, v);
  EXPECT_GE(ratio, 0.0);
  EXPECT_LE(ratio, kChiSquare45Quantile999);
}

}  // namespace
}  // namespace kov::em
