// Data augmentation on panels longer than five occasions: a seven-wave latent Markov model
// simulated here is fitted by EM, then a whole DA run starts from the EM estimates, and its
// imputed data files must hold a status for every occasion, drawn as the fitted model says the
// statuses are spread. A model whose latent table has more cells than a cell number can count
// is refused before anything is written.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/status_record.h"
#include "da/da_driver.h"
#include "em/em_driver.h"
#include "job.h"
#include "temp_files.h"

namespace kov::reliability {
namespace {

constexpr int kItems = 3;  // binary, asked at every occasion
constexpr int kSubjects = 1000;

using Pattern = std::vector<int>;  // 1-based responses, occasion by occasion

// Two statuses, the second taken up over the waves and seldom left, so that its prevalence
// climbs from 0.1 to 0.8 and every occasion has its own; the items tell the statuses apart
// but not perfectly.
std::map<Pattern, int> SimulatePanel(int occasions) {
  const double firstStatus = 0.9;
  const double stay[2] = {0.7, 0.95};
  const double yes[2][kItems] = {{0.15, 0.2, 0.25}, {0.85, 0.75, 0.8}};
  std::mt19937 generator(20250131);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::map<Pattern, int> patterns;
  for (int n = 0; n < kSubjects; ++n) {
    Pattern y;
    int s = uniform(generator) < firstStatus ? 0 : 1;
    for (int t = 0; t < occasions; ++t) {
      if (t > 0 && uniform(generator) >= stay[s]) s = 1 - s;
      for (int i = 0; i < kItems; ++i) y.push_back(uniform(generator) < yes[s][i] ? 2 : 1);
    }
    ++patterns[y];
  }
  return patterns;
}

// A row of S probabilities that sums to 1 in decimals: 0.2 everywhere but at `heavy`.
std::string Row(int statuses, int heavy) {
  std::string row;
  for (int s = 0; s < statuses; ++s) {
    if (s > 0) row += " ";
    row += s == heavy ? std::to_string(1.0 - 0.2 * (statuses - 1)) : "0.2";
  }
  return row;
}

std::string Repeated(const std::string& text, int times) {
  std::string line;
  for (int n = 0; n < times; ++n) line += (n > 0 ? " " : "") + text;
  return line;
}

// One class, S statuses of a first-order process over T occasions, three yes/no items at each;
// every parameter free, and start values that lean each status to its own answer. Every file
// is in `dir`; the DA run takes two imputations three iterations apart.
std::string ControlText(const test::TempDir& dir, int statuses, int occasions) {
  std::string text = "'* Long panel'\n1 " + std::to_string(statuses) + " 0 3 " +
                     std::to_string(occasions) + " 1 0 0 0\n" + Quoted(dir.Path("panel.dat")) +
                     " ''\n1 1 5000 0.00000001\n" + Quoted(dir.Path("em.out")) + "\n'..'\n" +
                     Quoted(dir.Path("em.est")) + "\n3 2 4711 0\n" + Quoted(dir.Path("da.out")) +
                     "\n" + Quoted(dir.Path("em.est")) + "\n" + Quoted(dir.Path("da.ser")) +
                     "\n'..'\n2 2 2\n";
  for (int s = 1; s <= statuses; ++s) text += (s > 1 ? " 'S" : "'S") + std::to_string(s) + "'";
  text += "\n'A' 'No' 'Yes'\n'B' 'No' 'Yes'\n'C' 'No' 'Yes'\n";
  const int laterRows = (occasions - 2) * statuses;
  text += Repeated("1", statuses) + "\n" + Repeated("1", statuses * statuses) + "\n" +
          Repeated("1", laterRows * statuses) + "\n";
  for (int line = 0; line < occasions * 2 * statuses; ++line) text += "1 1 1\n";
  text += Row(statuses, 0) + "\n";
  // The first transition's rows on one line, the later transitions' on the next.
  for (int r = 0; r < statuses + laterRows; ++r) {
    const bool endsLine = r + 1 == statuses || r + 1 == statuses + laterRows;
    text += Row(statuses, r % statuses) + (endsLine ? "\n" : " ");
  }
  for (int k = 0; k < 2; ++k) {
    for (int s = 0; s < statuses; ++s) {
      const double no = 0.7 - 0.4 * s / (statuses - 1);
      text += Repeated(std::to_string(k == 0 ? no : 1.0 - no), kItems) + "\n";
    }
  }
  return text;
}

// The prevalence of each status at each occasion implied by the EM estimates of a one-class
// first-order process: delta at occasion 1, carried on by each transition's rows (the first
// transition's S rows, then S rows per later transition).
std::vector<std::vector<double>> ImpliedPrevalences(const nlohmann::json& estimates, int statuses,
                                                    int occasions) {
  std::vector<std::vector<double>> prevalence(1, std::vector<double>(statuses));
  for (int s = 0; s < statuses; ++s) prevalence[0][s] = estimates.at("delta")[0][s].get<double>();
  const nlohmann::json& tau = estimates.at("tau")[0];
  for (int t = 1; t < occasions; ++t) {
    std::vector<double> next(statuses, 0.0);
    for (int s = 0; s < statuses; ++s) {
      for (int j = 0; j < statuses; ++j) {
        next[j] += prevalence[t - 1][s] * tau[(t - 1) * statuses + s][j].get<double>();
      }
    }
    prevalence.push_back(next);
  }
  return prevalence;
}

std::vector<long> Fields(const std::string& line) {
  std::istringstream in(line);
  std::vector<long> fields;
  for (long value = 0; in >> value;) fields.push_back(value);
  return fields;
}

// Seven occasions, two statuses: each line of an imputed file is the 21 responses, a status
// for each of the 7 occasions and the count. Pooled over both imputations, the share of each
// status at each occasion must be the EM-implied prevalence give or take 0.07 (the draw's own
// spread is about 0.01 and the chain's parameters stray from the EM estimates by about 0.02;
// neighbouring occasions differ by 0.05 to 0.27 early on, so statuses written under the wrong
// occasion miss).
TEST(LongPanelDa, SevenOccasionsImputeAStatusPerOccasionSpreadAsEmFitsThem) {
  constexpr int kStatuses = 2;
  constexpr int kOccasions = 7;
  const test::TempDir dir;
  dir.Write("panel.dat", DataText(SimulatePanel(kOccasions)));
  const std::string control =
      test::PathField(dir.Write("job.cnt", ControlText(dir, kStatuses, kOccasions)));
  run::ResetStatusForTesting();
  ASSERT_EQ(em::RunEmDriver(control.c_str(), 300), kRunCompleted) << LastError().message;
  const nlohmann::json em = nlohmann::json::parse(test::ReadFile(dir.Path("em.json")));
  const auto prevalence = ImpliedPrevalences(em.at("estimates"), kStatuses, kOccasions);

  run::ResetStatusForTesting();
  ASSERT_EQ(da::RunDaDriver(control.c_str(), 300), kRunCompleted) << LastError().message;
  std::vector<std::vector<double>> share(kOccasions, std::vector<double>(kStatuses, 0.0));
  for (const char* name : {"imp1.dat", "imp2.dat"}) {
    SCOPED_TRACE(name);
    long subjects = 0;
    for (const std::string& line : test::ReadLines(dir.Path(name))) {
      const std::vector<long> fields = Fields(line);
      ASSERT_EQ(fields.size(), static_cast<std::size_t>(kItems * kOccasions + kOccasions + 1))
          << line;
      const long count = fields.back();
      subjects += count;
      for (int t = 0; t < kOccasions; ++t) {
        const long status = fields[kItems * kOccasions + t];
        ASSERT_TRUE(status >= 1 && status <= kStatuses) << line;
        share[t][status - 1] += static_cast<double>(count) / (2.0 * kSubjects);
      }
    }
    EXPECT_EQ(subjects, kSubjects);
  }
  for (int t = 0; t < kOccasions; ++t) {
    for (int s = 0; s < kStatuses; ++s) {
      EXPECT_NEAR(share[t][s], prevalence[t][s], 0.07)
          << "occasion " << t + 1 << " status " << s + 1;
    }
  }
}

// 3^40 cells is over 2^63: the run is refused before its report is opened, naming the reason,
// the model's counts and the limit.
TEST(LongPanelDa, LatentTableBeyondNumberingIsRefusedBeforeTheRun) {
  const test::TempDir dir;
  const std::string control = test::PathField(dir.Write("job.cnt", ControlText(dir, 3, 40)));
  run::ResetStatusForTesting();
  EXPECT_NE(da::RunDaDriver(control.c_str(), 300), kRunCompleted);
  const RecordedError error = LastError();
  EXPECT_EQ(error.code, kModelTooLarge);
  EXPECT_EQ(error.message,
            "Data augmentation needs the latent table of C x S^T cells to be countable: here "
            "C = 1, S = 3 and T = 40 give more than 2^63 cells, the most it can number. Use "
            "fewer latent statuses or occasions, or estimate this model by EM alone.");
  EXPECT_FALSE(std::filesystem::exists(dir.Path("da.out")));
}

}  // namespace
}  // namespace kov::reliability
