#include "em/standard_errors.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/status_record.h"
#include "em/em_driver.h"
#include "em/estep.h"
#include "em/missingness.h"
#include "input/data_file.h"
#include "input/model.h"
#include "input/restriction_structure.h"
#include "temp_files.h"

namespace kov::em {
namespace {

using test::PathField;
using test::ReadFile;
using test::ReadLines;
using test::TempDir;

const std::string kExamples = std::string(MARNEL_TEST_DATA) + "/../../examples/";

// Every set of the array filled with a row that differs from set to set and stays between
// about 0.1 and 0.9, so that finite differences stay well inside the parameter space.
void FillSets(const input::ParameterSets& sets, std::vector<double>* values, int seed) {
  for (std::size_t q = 0; q < sets.sets; ++q) {
    double sum = 0.0;
    std::vector<double> row(sets.size);
    for (std::size_t e = 0; e < sets.size; ++e) {
      row[e] = 1.0 + 0.6 * std::sin(1.7 * static_cast<double>(seed + 3 * q + 5 * e) + 0.3);
      sum += row[e];
    }
    for (std::size_t e = 0; e < sets.size; ++e) (*values)[sets.At(q, e)] = row[e] / sum;
  }
}

// A model whose start values are the values the data are generated from.
input::Model MakeModel(std::int32_t classes, std::int32_t classItems, std::int32_t statuses,
                       std::int32_t statusItems, std::int32_t occasions, std::int32_t order) {
  input::Model m;
  input::ModelDimensions& d = m.dims;
  d.classes = classes;
  d.classItems = classItems;
  d.statuses = statuses;
  d.statusItems = statusItems;
  d.occasions = occasions;
  d.order = order;
  d.maxClassCategories = classItems > 0 ? 2 : 0;
  d.maxStatusCategories = statusItems > 0 ? 2 : 0;
  const int power = order == 2 ? statuses * statuses : statuses;
  d.extraTransitionRows = statusItems > 0 && occasions >= 3 ? (occasions - 2) * power : 0;
  m.classItemCategories.assign(static_cast<std::size_t>(classItems), 2);
  m.statusItemCategories.assign(static_cast<std::size_t>(statusItems), 2);
  input::AllocateParameters(d, &m.start);
  input::AllocateRestrictions(d, &m.codes);
  FillSets(input::GammaSets(d), &m.start.gamma, 1);
  FillSets(input::DeltaSets(d), &m.start.delta, 2);
  FillSets(input::TauSets(d), &m.start.tau, 3);
  FillSets(input::LittleRhoSets(d), &m.start.littleRho, 4);
  FillSets(input::BigRhoSets(d), &m.start.bigRho, 5);
  for (auto* codes : {&m.codes.gamma, &m.codes.delta, &m.codes.tau, &m.codes.littleRho,
                      &m.codes.bigRho}) {
    std::fill(codes->begin(), codes->end(), 1);
  }
  return m;
}

// Big rho tied across occasions: one code per (category, item, status), the values of
// occasion 1 everywhere.
void TieBigRhoAcrossOccasions(input::Model* m) {
  const input::ModelDimensions& d = m->dims;
  const auto big = input::BigRhoShape(d);
  std::int32_t code = 2;
  for (std::int32_t k = 0; k < 2; ++k) {
    for (std::int32_t i = 0; i < d.statusItems; ++i) {
      for (std::int32_t s = 0; s < d.statuses; ++s, ++code) {
        for (std::int32_t t = 0; t < d.occasions; ++t) {
          m->codes.bigRho[big(k, i, s, 0, t)] = code;
          m->start.bigRho[big(k, i, s, 0, t)] = m->start.bigRho[big(k, i, s, 0, 0)];
        }
      }
    }
  }
}

// The data a model's start values expect: every complete pattern with frequency N P(pattern).
GroupedPatterns ExpectedData(const input::Model& model, double subjects) {
  EStep estep(model);
  input::PatternTable table;
  table.itemCount = model.dims.ItemCount();
  std::vector<std::int32_t> pattern(static_cast<std::size_t>(table.itemCount), 1);
  while (true) {
    table.responses.insert(table.responses.end(), pattern.begin(), pattern.end());
    table.frequencies.push_back(subjects * estep.PatternProbability(model.start, pattern.data()));
    ++table.patternCount;
    std::size_t i = 0;
    while (i < pattern.size() && pattern[i] == 2) pattern[i++] = 1;
    if (i == pattern.size()) break;
    ++pattern[i];
  }
  table.subjectCount = subjects;
  return GroupByMissingness(table, model);
}

struct HessianCase {
  const char* name;
  std::function<input::Model()> make;
};

// The standard errors from the derivative of the analytic score against the inverse of a
// finite-difference Hessian of the log-likelihood itself, in the same reduced parameters.
TEST(StandardErrorsTest, AgreeWithTheFiniteDifferenceHessianOfTheLogLikelihood) {
  const HessianCase cases[] = {
      {"latent classes, one fixed entry",
       [] {
         input::Model m = MakeModel(2, 4, 1, 0, 1, 1);
         m.codes.littleRho[input::LittleRhoShape(m.dims)(0, 3, 1)] = 0;
         m.codes.littleRho[input::LittleRhoShape(m.dims)(1, 3, 1)] = 0;
         return m;
       }},
      {"first order, measurement tied across occasions",
       [] {
         input::Model m = MakeModel(1, 0, 2, 2, 3, 1);
         TieBigRhoAcrossOccasions(&m);
         return m;
       }},
      {"second order, measurement and two transition rows tied",
       [] {
         input::Model m = MakeModel(1, 0, 2, 2, 3, 2);
         TieBigRhoAcrossOccasions(&m);
         const auto tau = input::TauShape(m.dims);
         for (std::int32_t j = 0; j < 2; ++j) {
           m.codes.tau[tau(2, j, 0)] = m.codes.tau[tau(3, j, 0)] = 20 + j;
           m.start.tau[tau(3, j, 0)] = m.start.tau[tau(2, j, 0)];
         }
         return m;
       }},
  };
  for (const HessianCase& c : cases) {
    SCOPED_TRACE(c.name);
    const input::Model model = c.make();
    const GroupedPatterns grouped = ExpectedData(model, 1000.0);
    const input::RestrictionStructure restrictions(model.dims, model.codes, model.start);
    EStep estep(model);
    const StandardErrorResult result =
        ComputeStandardErrors(estep, grouped, model.dims, restrictions, model.start);
    ASSERT_TRUE(result.identified);

    const ReducedParameters reduced(model.dims, restrictions, model.start);
    const auto k = static_cast<Eigen::Index>(reduced.Size());
    ASSERT_GT(k, 0);
    input::ParameterSet values;
    std::vector<double> probabilities, logProbabilities;
    auto logLikelihood = [&](const Eigen::VectorXd& theta) {
      reduced.ValuesAt(theta, &values);
      return estep.Run(values, grouped, nullptr, &probabilities, &logProbabilities);
    };
    constexpr double h = 1e-4;
    Eigen::MatrixXd hessian(k, k);
    for (Eigen::Index i = 0; i < k; ++i) {
      for (Eigen::Index j = 0; j < k; ++j) {
        auto at = [&](double a, double b) {
          Eigen::VectorXd theta = Eigen::VectorXd::Zero(k);
          theta(i) += a;
          theta(j) += b;
          return logLikelihood(theta);
        };
        hessian(i, j) = (at(h, h) - at(h, -h) - at(-h, h) + at(-h, -h)) / (4.0 * h * h);
      }
    }
    const Eigen::MatrixXd covariance =
        reduced.Basis() * (-hessian).inverse() * reduced.Basis().transpose();
    for (const ReducedParameters::Unit& unit : reduced.Units()) {
      if (!unit.free) continue;
      const double expected = std::sqrt(covariance(unit.column, unit.column));
      const std::vector<double>* errors[] = {
          &result.tables.errors.gamma, &result.tables.errors.delta, &result.tables.errors.tau,
          &result.tables.errors.littleRho, &result.tables.errors.bigRho};
      for (const std::size_t offset : unit.offsets) {
        const double actual = (*errors[static_cast<int>(unit.array)])[offset];
        EXPECT_NEAR(actual, expected, 1e-4 * expected) << "array " << static_cast<int>(unit.array)
                                                       << " offset " << offset;
      }
    }
  }
}

// Four binary items: the Stouffer-Toby data, and data expected under a three-class model with
// interior values. Three classes on four binary items are not identified (14 parameters, and
// the cell probabilities span 13 dimensions), two are.
constexpr const char* kGenerated3 = "generated";

std::string ControlText(const TempDir& dir, std::int32_t classes) {
  std::string text = "'* standard errors'\n" + std::to_string(classes) + " 0 4 0 0 1 0 0 0\n";
  text += "'" + dir.Path("job.dat") + "' ''\n1 0 5000 0.0000000001\n";
  text += "'" + dir.Path("em.out") + "'\n'..'\n'..'\n";
  text += "10 5 12345 0\n'" + dir.Path("da.out") + "'\n'..'\n'" + dir.Path("da.ser") + "'\n'..'\n";
  text += "2 2 2 2\n";
  for (std::int32_t c = 0; c < classes; ++c) text += "'C" + std::to_string(c + 1) + "' ";
  text += "\n";
  for (int i = 1; i <= 4; ++i) text += "'Item" + std::to_string(i) + "' 'A' 'B'\n";
  std::string ones;
  for (std::int32_t c = 0; c < classes; ++c) ones += "1 ";
  text += ones + "\n";
  for (std::int32_t line = 0; line < 2 * classes; ++line) text += "1 1 1 1\n";
  // Start values: equal shares, and classes that differ in their first category.
  for (std::int32_t c = 0; c < classes; ++c) text += std::to_string(1.0 / classes) + " ";
  text += "\n";
  const char* first[] = {"0.8 0.75 0.7 0.65\n", "0.3 0.25 0.2 0.35\n", "0.55 0.2 0.8 0.4\n"};
  const char* second[] = {"0.2 0.25 0.3 0.35\n", "0.7 0.75 0.8 0.65\n", "0.45 0.8 0.2 0.6\n"};
  for (std::int32_t c = 0; c < classes; ++c) text += first[c];
  for (std::int32_t c = 0; c < classes; ++c) text += second[c];
  return text;
}

// Frequencies of the 16 patterns expected of 2000 subjects under a three-class model.
std::string GeneratedData() {
  const double gamma[3] = {0.45, 0.35, 0.2};
  const double rho[3][4] = {{0.85, 0.8, 0.9, 0.75}, {0.2, 0.3, 0.15, 0.25}, {0.7, 0.15, 0.3, 0.8}};
  std::string text;
  for (int p = 0; p < 16; ++p) {
    double probability = 0.0;
    for (int c = 0; c < 3; ++c) {
      double term = gamma[c];
      for (int i = 0; i < 4; ++i) term *= (p >> (3 - i) & 1) ? 1.0 - rho[c][i] : rho[c][i];
      probability += term;
    }
    for (int i = 0; i < 4; ++i) text += std::to_string((p >> (3 - i) & 1) + 1) + " ";
    text += std::to_string(2000.0 * probability) + "\n";
  }
  return text;
}

struct RunCase {
  const char* data;  // an example's data file, or kGenerated3
  std::int32_t classes;
  bool identified;
  double gammaError;  // expected standard error of the first class's share (0: not checked)
};

TEST(StandardErrorsTest, RunReportsStandardErrorsOrFlagsTheModelAsNotIdentified) {
  // Goodman's two-class solution of the Stouffer-Toby data has class shares 0.279 and 0.721;
  // the observed information gives their standard error as about 0.058.
  const RunCase cases[] = {
      {"stouffer_toby.dat", 2, true, 0.058},
      {kGenerated3, 2, true, 0.0},
      {kGenerated3, 3, false, 0.0},
  };
  for (const RunCase& c : cases) {
    SCOPED_TRACE(std::string(c.data) + " with " + std::to_string(c.classes) + " classes");
    TempDir dir;
    dir.Write("job.dat", c.data == kGenerated3 ? GeneratedData() : ReadFile(kExamples + c.data));
    const std::string control = dir.Write("job.cnt", ControlText(dir, c.classes));
    run::ResetStatusForTesting();
    ASSERT_EQ(RunEmDriver(PathField(control).c_str(), 300), 1);

    const nlohmann::json results = nlohmann::json::parse(ReadFile(dir.Path("em.json")));
    const std::vector<std::string> report = ReadLines(dir.Path("em.out"));
    auto has = [&](const std::string& text) {
      return std::find(report.begin(), report.end(), text) != report.end();
    };
    EXPECT_EQ(results["identified"], c.identified);
    EXPECT_EQ(has("  ****WARNING: THE MODEL IS NOT LOCALLY IDENTIFIED****"), !c.identified);
    EXPECT_EQ(has(" STANDARD ERRORS OF THE GAMMA PARAMETERS"), c.identified);
    EXPECT_EQ(has(" STANDARD ERRORS OF THE LITTLE RHO PARAMETERS"), c.identified);
    if (!c.identified) {
      EXPECT_GE(results["non_identified_directions"].get<int>(), 1);
      EXPECT_TRUE(results["standard_errors"].is_null());
      continue;
    }
    EXPECT_EQ(results["non_identified_directions"], 0);
    const nlohmann::json& errors = results["standard_errors"];
    ASSERT_EQ(errors["gamma"].size(), static_cast<std::size_t>(c.classes));
    ASSERT_EQ(errors["little_rho"].size(), results["estimates"]["little_rho"].size());
    // With two classes the shares move together.
    EXPECT_NEAR(errors["gamma"][0].get<double>(), errors["gamma"][1].get<double>(), 1e-9);
    if (c.gammaError > 0.0) {
      EXPECT_NEAR(errors["gamma"][0].get<double>(), c.gammaError, 0.0015);
    }
  }
}

}  // namespace
}  // namespace kov::em
