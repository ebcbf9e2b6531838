// Panels longer than the five occasions the engine once stopped at: a seven-wave latent Markov
// model simulated here, fitted by a whole EM run, and its log-likelihood at the written
// estimates recomputed by summing over every one of the S^T status paths.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/status_record.h"
#include "em/em_driver.h"
#include "input/control_file.h"
#include "input/model.h"
#include "job.h"

namespace kov::reliability {
namespace {

constexpr int kStatuses = 2;
constexpr int kItems = 3;  // binary, asked at every occasion
constexpr int kOccasions = 7;
constexpr int kSubjects = 1000;

using Pattern = std::vector<int>;  // 1-based responses, occasion by occasion

// A first-order chain that mostly stays, and items that tell the statuses apart but not
// perfectly; every subject answers every item.
std::map<Pattern, int> SimulatePanel() {
  const double delta[kStatuses] = {0.6, 0.4};
  const double tau[kStatuses][kStatuses] = {{0.8, 0.2}, {0.25, 0.75}};
  const double yes[kStatuses][kItems] = {{0.15, 0.2, 0.25}, {0.85, 0.75, 0.8}};
  std::mt19937 generator(20240607);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::map<Pattern, int> patterns;
  for (int n = 0; n < kSubjects; ++n) {
    Pattern y;
    int s = uniform(generator) < delta[0] ? 0 : 1;
    for (int t = 0; t < kOccasions; ++t) {
      if (t > 0) s = uniform(generator) < tau[s][0] ? 0 : 1;
      for (int i = 0; i < kItems; ++i) y.push_back(uniform(generator) < yes[s][i] ? 2 : 1);
    }
    ++patterns[y];
  }
  return patterns;
}

std::string Repeated(const std::string& text, int times) {
  std::string line;
  for (int n = 0; n < times; ++n) line += (n > 0 ? " " : "") + text;
  return line;
}

// Every parameter free; tau starts the same at each transition, big rho at each occasion.
std::string ControlText(const test::TempDir& dir) {
  const int laterTransitions = kOccasions - 2;
  std::string text = "'* Seven waves'\n1 2 0 3 7 1 0 0 0\n" + Quoted(dir.Path("panel.dat")) +
                     " ''\n1 1 5000 0.0000000001\n" + Quoted(dir.Path("em.out")) + "\n'..'\n" +
                     Quoted(dir.Path("em.est")) + "\n10 5 261207 0\n'da.out'\n'em.est'\n" +
                     "'da.ser'\n'..'\n2 2 2\n'Low' 'High'\n'A' 'No' 'Yes'\n'B' 'No' 'Yes'\n" +
                     "'C' 'No' 'Yes'\n";
  text += "1 1\n1 1 1 1\n" + Repeated("1", 4 * laterTransitions) + "\n";
  for (int line = 0; line < kOccasions * 2 * kStatuses; ++line) text += "1 1 1\n";
  text += "0.5 0.5\n0.7 0.3 0.3 0.7\n" + Repeated("0.7 0.3 0.3 0.7", laterTransitions) + "\n";
  text += "0.7 0.7 0.7\n0.3 0.3 0.3\n0.3 0.3 0.3\n0.7 0.7 0.7\n";
  return text;
}

// P(y) as the sum over all S^T status paths of P(path) P(y | path), the path counted in base S
// with occasion 1 slowest. Tau row of the transition into occasion t + 1 (0-based t >= 1):
// S + (t - 1) S + s_t, after the S rows of the first transition.
double PatternProbability(const input::ModelDimensions& dims, const input::ParameterSet& v,
                          const Pattern& y) {
  const auto delta = input::DeltaShape(dims);
  const auto tau = input::TauShape(dims);
  const auto rho = input::BigRhoShape(dims);
  int paths = 1;
  for (int t = 0; t < kOccasions; ++t) paths *= kStatuses;
  double sum = 0.0;
  for (int path = 0; path < paths; ++path) {
    int s[kOccasions];
    for (int t = kOccasions - 1, rest = path; t >= 0; --t, rest /= kStatuses)
      s[t] = rest % kStatuses;
    double p = v.delta[delta(0, s[0], 0)];
    for (int t = 0; t + 1 < kOccasions; ++t) {
      const int row = t == 0 ? s[0] : kStatuses + (t - 1) * kStatuses + s[t];
      p *= v.tau[tau(row, s[t + 1], 0)];
    }
    for (int t = 0; t < kOccasions; ++t) {
      for (int i = 0; i < kItems; ++i) {
        p *= v.bigRho[rho(y[t * kItems + i] - 1, i, s[t], 0, t)];
      }
    }
    sum += p;
  }
  return sum;
}

TEST(LongPanelTest, SevenOccasionsConvergeToTheLikelihoodOfEveryPath) {
  const test::TempDir dir;
  const std::map<Pattern, int> patterns = SimulatePanel();
  dir.Write("panel.dat", DataText(patterns));
  const std::string control = test::PathField(dir.Write("job.cnt", ControlText(dir)));

  run::ResetStatusForTesting();
  ASSERT_EQ(em::RunEmDriver(control.c_str(), 300), 1) << LastError().message;
  const nlohmann::json results = nlohmann::json::parse(test::ReadFile(dir.Path("em.json")));
  EXPECT_TRUE(results.at("converged").get<bool>());

  // The estimates as a data-augmentation run would take them up from the file.
  run::ResetStatusForTesting();
  input::Model model;
  const Status read = input::ReadControlFile(control, &model);
  ASSERT_TRUE(read.IsOk()) << read.Message();
  ASSERT_EQ(model.dims.occasions, kOccasions);
  input::ParameterSet estimates;
  input::AllocateParameters(model.dims, &estimates);
  std::int32_t iteration = 0;
  const Status loaded =
      input::ReadStartValuesFile(dir.Path("em.est"), model.dims, &estimates, &iteration);
  ASSERT_TRUE(loaded.IsOk()) << loaded.Message();
  input::FillAbsentLatentVariables(model.dims, &estimates);
  EXPECT_EQ(iteration, results.at("iterations").get<int>());

  double logLikelihood = 0.0;
  for (const auto& [y, count] : patterns) {
    logLikelihood += count * std::log(PatternProbability(model.dims, estimates, y));
  }
  const double reported = results.at("loglik").get<double>();
  EXPECT_NEAR(logLikelihood, reported, 1e-10 * std::abs(reported));

  // Occasions 6 and 7 are in a block of their own in every table whose columns are occasions
  // (delta's start values, codes, estimates and standard errors, the modal statuses' average
  // posteriors): as many second blocks as first ones, and never a sixth occasion beside a fifth.
  const std::string report = test::ReadFile(dir.Path("em.out"));
  const auto count = [&](const std::string& text) {
    std::size_t found = 0;
    for (std::size_t at = report.find(text); at != std::string::npos;
         at = report.find(text, at + 1)) {
      ++found;
    }
    return found;
  };
  EXPECT_GE(count("\n           TIME 6 TIME 7 \n"), 3u);
  EXPECT_EQ(count("\n           TIME 6 TIME 7 \n"), count("TIME 1 TIME 2 TIME 3 TIME 4 TIME 5 \n"));
  EXPECT_NE(
      report.find(" AVERAGE POSTERIOR PROBABILITY OF THE MODAL LATENT STATUS\n\n           TIME 1"),
      std::string::npos);
  EXPECT_EQ(report.find("TIME 5 TIME 6"), std::string::npos);
}

}  // namespace
}  // namespace kov::reliability
