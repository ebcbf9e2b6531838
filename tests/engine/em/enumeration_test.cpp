// Enumeration: the derived models keep the file's ties across classes and occasions, and an
// enumeration of data from three classes picks three by BIC and by the bootstrap test.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "em/enumeration.h"
#include "input/control_file.h"
#include "report/compare_file.h"
#include "temp_files.h"

namespace kov::em {
namespace {

using test::ReadFile;
using test::TempDir;

input::Model ExampleModel(const std::string& name) {
  input::Model model;
  const std::string path = std::string(MARNEL_TEST_DATA) + "/../../examples/" + name;
  const Status read = input::ReadControlFile(test::PathField(path), &model);
  EXPECT_TRUE(read.IsOk()) << read.Message();
  return model;
}

// Whether every entry of an array shares one tie code with the entry at class 0 (or occasion 0,
// or the first transition's row).
bool BigRhoTiedAcross(const input::Model& m, bool classes) {
  const auto shape = input::BigRhoShape(m.dims);
  const std::int32_t extent = classes ? m.dims.classes : m.dims.OccasionExtent();
  if (extent < 2) return false;
  for (std::int32_t c = 0; c < m.dims.classes; ++c) {
    for (std::int32_t t = 0; t < m.dims.OccasionExtent(); ++t) {
      for (std::int32_t s = 0; s < m.dims.statuses; ++s) {
        for (std::int32_t i = 0; i < m.dims.statusItems; ++i) {
          const std::int32_t code = m.codes.bigRho[shape(0, i, s, c, t)];
          const std::int32_t first =
              m.codes.bigRho[classes ? shape(0, i, s, 0, t) : shape(0, i, s, c, 0)];
          if (code < 2 || code != first) return false;
        }
      }
    }
  }
  return true;
}

bool TauTiedAcrossOccasions(const input::Model& m) {
  const auto shape = input::TauShape(m.dims);
  for (std::int32_t c = 0; c < m.dims.classes; ++c) {
    for (std::int32_t r = m.dims.statuses; r < m.dims.TransitionRows(); ++r) {
      for (std::int32_t j = 0; j < m.dims.statuses; ++j) {
        const std::int32_t code = m.codes.tau[shape(r, j, c)];
        if (code < 2 || code != m.codes.tau[shape(r % m.dims.statuses, j, c)]) return false;
      }
    }
  }
  return true;
}

bool AllFree(const std::vector<std::int32_t>& codes) {
  for (const std::int32_t code : codes) {
    if (code != 1) return false;
  }
  return true;
}

// Homogeneous transitions: each later row tied to the first transition's row of its status.
void TieTransitions(input::Model* m) {
  const auto shape = input::TauShape(m->dims);
  std::int32_t next = 2;
  for (std::int32_t c = 0; c < m->dims.classes; ++c) {
    for (std::int32_t r = 0; r < m->dims.statuses; ++r) {
      for (std::int32_t j = 0; j < m->dims.statuses; ++j) {
        const std::int32_t code = next++;
        for (std::int32_t row = r; row < m->dims.TransitionRows(); row += m->dims.statuses) {
          m->codes.tau[shape(row, j, c)] = code;
        }
      }
    }
  }
}

void FreeBigRho(input::Model* m) { std::fill(m->codes.bigRho.begin(), m->codes.bigRho.end(), 1); }

TEST(DeriveModelOfSize, KeepsTiesAcrossClassesAndOccasions) {
  const input::Model lta = ExampleModel("lta.cnt");
  struct Case {
    const char* name;
    std::function<void(input::Model*)> change;
    EnumerationKind kind;
    std::int32_t size;
    bool rhoAcrossClasses, rhoAcrossOccasions, tauAcrossOccasions;
  } cases[] = {
      {"invariant measurement, more classes", nullptr, EnumerationKind::kClasses, 3, true, true,
       false},
      {"invariant measurement, more statuses", nullptr, EnumerationKind::kStatuses, 4, true, true,
       false},
      {"homogeneous transitions, more statuses", TieTransitions, EnumerationKind::kStatuses, 2,
       true, true, true},
      {"homogeneous transitions, more classes", TieTransitions, EnumerationKind::kClasses, 4, true,
       true, true},
      {"free measurement stays free", FreeBigRho, EnumerationKind::kClasses, 3, false, false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    input::Model file = lta;
    if (c.change) c.change(&file);
    const input::Model derived = DeriveModelOfSize(file, c.kind, c.size);
    EXPECT_EQ(c.kind == EnumerationKind::kClasses ? derived.dims.classes : derived.dims.statuses,
              c.size);
    EXPECT_EQ(BigRhoTiedAcross(derived, true), c.rhoAcrossClasses);
    EXPECT_EQ(BigRhoTiedAcross(derived, false), c.rhoAcrossOccasions);
    EXPECT_EQ(TauTiedAcrossOccasions(derived), c.tauAcrossOccasions);
    if (!c.rhoAcrossClasses) {
      EXPECT_TRUE(AllFree(derived.codes.bigRho));
    }
    EXPECT_TRUE(AllFree(derived.codes.gamma));
    // The derived start values keep every tie, so that the checks of a run accept them.
    const auto shape = input::BigRhoShape(derived.dims);
    EXPECT_EQ(derived.start.bigRho[shape(0, 0, 0, 0, 0)],
              derived.start.bigRho[shape(0, 0, 0, derived.dims.classes - 1, 0)]);
  }
}

// 2000 subjects from three classes of seven binary items.
constexpr int kItems = 7;

struct Enumerated {
  TempDir dir;
  std::int32_t result = 0;
  std::string stem;
};

// The job of the three-class data in `dir`, its optional block being `block`.
std::string WriteThreeClassJob(TempDir& dir, const std::string& block) {
  input::Model truth;
  truth.dims.classes = 3;
  truth.dims.classItems = kItems;
  truth.dims.maxClassCategories = 2;
  truth.classItemCategories.assign(kItems, 2);
  input::AllocateParameters(truth.dims, &truth.start);
  truth.start.gamma = {0.45, 0.35, 0.2};
  const double high[3][kItems] = {{0.85, 0.85, 0.85, 0.85, 0.85, 0.85, 0.85},
                                  {0.85, 0.85, 0.85, 0.85, 0.15, 0.15, 0.15},
                                  {0.15, 0.15, 0.15, 0.15, 0.15, 0.15, 0.15}};
  const auto shape = input::LittleRhoShape(truth.dims);
  for (std::int32_t c = 0; c < 3; ++c) {
    for (std::int32_t i = 0; i < kItems; ++i) {
      truth.start.littleRho[shape(0, i, c)] = high[c][i];
      truth.start.littleRho[shape(1, i, c)] = 1.0 - high[c][i];
    }
  }
  const input::PatternTable table = SimulatePatterns(truth, truth.start, 2000, nullptr, 97);
  std::string data;
  for (std::int32_t p = 0; p < table.patternCount; ++p) {
    for (std::int32_t i = 0; i < kItems; ++i) data += std::to_string(table.Pattern(p)[i]) + " ";
    data += std::to_string(static_cast<int>(table.frequencies[static_cast<std::size_t>(p)])) + "\n";
  }
  dir.Write("three.dat", data);
  std::string control = "'* three classes'\n2 0 7 0 0 1 0 0 0\n'" + dir.Path("three.dat") +
                        "' ''\n1 0 1000 0.000001\n'" + dir.Path("three.out") +
                        "'\n''\n''\n10 5 1 0\n''\n''\n''\n''\n2 2 2 2 2 2 2\n'A' 'B'\n";
  for (int i = 1; i <= kItems; ++i) control += "'I" + std::to_string(i) + "' 'y' 'n'\n";
  control += "1 1\n";
  for (int k = 0; k < 4; ++k) control += "1 1 1 1 1 1 1\n";
  control +=
      "0.5 0.5\n0.6 0.6 0.6 0.6 0.6 0.6 0.6\n0.3 0.3 0.3 0.3 0.3 0.3 0.3\n"
      "0.4 0.4 0.4 0.4 0.4 0.4 0.4\n0.7 0.7 0.7 0.7 0.7 0.7 0.7\n" +
      block;
  return dir.Write("three.cnt", control);
}

constexpr const char* kStartsLine = "'STARTS' 20 5 50 11\n";

const Enumerated& ThreeClassEnumeration() {
  static Enumerated* run = [] {
    auto* e = new Enumerated;
    const std::string path = WriteThreeClassJob(e->dir, kStartsLine);
    e->result = RunEnumeration(test::PathField(path).c_str(),
                               {EnumerationKind::kClasses, 1, 4, /*bootstrap=*/50});
    e->stem = e->dir.Path("three");
    return e;
  }();
  return *run;
}

nlohmann::json CompareRows(const Enumerated& e) {
  return nlohmann::json::parse(ReadFile(e.stem + ".compare.json"))["rows"];
}

TEST(RunEnumeration, ThreeClassesWinByBicAndBootstrap) {
  const Enumerated& e = ThreeClassEnumeration();
  ASSERT_EQ(e.result, kRunCompleted);
  const nlohmann::json rows = CompareRows(e);
  ASSERT_EQ(rows.size(), 4u);
  std::size_t best = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (rows[r]["BIC"].get<double>() < rows[best]["BIC"].get<double>()) best = r;
  }
  EXPECT_EQ(rows[best]["size"], 3);
  EXPECT_TRUE(rows[0]["blrt_p"].is_null());          // one class has no smaller model
  EXPECT_LT(rows[2]["blrt_p"].get<double>(), 0.05);  // 2 against 3
  EXPECT_GT(rows[3]["blrt_p"].get<double>(), 0.05);  // 3 against 4
}

TEST(RunEnumeration, WritesEachSizeAndTheComparisonFiles) {
  const Enumerated& e = ThreeClassEnumeration();
  ASSERT_EQ(e.result, kRunCompleted);
  const nlohmann::json rows = CompareRows(e);
  const std::vector<std::string> csv = test::ReadLines(e.stem + ".compare.csv");
  ASSERT_EQ(csv.size(), rows.size() + 1);
  std::string header;
  for (const char* key : report::kCompareKeys) {
    header += (header.empty() ? "" : ",") + std::string(key);
    for (const auto& row : rows) EXPECT_TRUE(row.contains(key)) << key;
  }
  EXPECT_EQ(csv[0], header);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::string size = std::to_string(r + 1);
    EXPECT_EQ(rows[r]["size"], r + 1);
    EXPECT_EQ(csv[r + 1].substr(0, csv[r + 1].find(',')), size);
    // Each row is that size's own run, as its results file reports it.
    const auto own = nlohmann::json::parse(ReadFile(e.stem + ".k" + size + ".json"));
    EXPECT_EQ(rows[r]["loglik"], own["loglik"]);
    EXPECT_EQ(own["dimensions"]["classes"], r + 1);
    EXPECT_FALSE(ReadFile(e.stem + ".k" + size + ".out").empty());
  }
}

// A plain EM run of a file with the 'ENUMERATE' line runs the comparison the line asks for, as
// the export's options run it: the same sizes reach the same fits.
TEST(RunEnumeration, AnEmRunOfAFileWithTheLineComparesItsSizes) {
  const Enumerated& byOptions = ThreeClassEnumeration();
  ASSERT_EQ(byOptions.result, kRunCompleted);
  TempDir dir;
  const std::string path =
      WriteThreeClassJob(dir, std::string(kStartsLine) + "'ENUMERATE' 1 2 3 0\n");
  ASSERT_EQ(RunEmDriver(test::PathField(path).c_str(), 0), kRunCompleted);
  const std::string stem = dir.Path("three");
  const nlohmann::json rows = nlohmann::json::parse(ReadFile(stem + ".compare.json"))["rows"];
  const nlohmann::json expected = CompareRows(byOptions);
  ASSERT_EQ(rows.size(), 2u);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::int32_t size = static_cast<std::int32_t>(r) + 2;
    EXPECT_EQ(rows[r]["size"], size);
    EXPECT_EQ(rows[r]["loglik"], expected[r + 1]["loglik"]);
    EXPECT_TRUE(rows[r]["blrt_p"].is_null());  // no bootstrap samples asked for
    // Each size's own control file is a plain job: read back, it asks for no comparison.
    const std::string sizeFile = stem + ".k" + std::to_string(size) + ".cnt";
    EXPECT_EQ(ReadFile(sizeFile).find("ENUMERATE"), std::string::npos);
    input::Model model;
    ASSERT_TRUE(input::ReadControlFile(test::PathField(sizeFile), &model).IsOk());
    EXPECT_EQ(model.enumerationKind, 0);
    EXPECT_EQ(model.dims.classes, size);
  }
  // Sizes outside the line's range were not fitted.
  EXPECT_TRUE(ReadFile(stem + ".k1.json").empty());
  EXPECT_TRUE(ReadFile(stem + ".k4.json").empty());
}

}  // namespace
}  // namespace kov::em
