// The posterior membership file of a whole EM run, and the EM settings refused before a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "em/posterior_membership.h"
#include "job.h"
#include "kov_exports.h"

namespace kov::reliability {
namespace {

using Row = std::vector<std::string>;

// The rows of a file whose fields hold no quotes, without the CR of each line end.
std::vector<Row> ReadCsv(const std::string& path) {
  std::vector<Row> rows;
  for (std::string line : test::ReadLines(path)) {
    EXPECT_FALSE(line.empty() || line.back() != '\r') << "a row without its CR LF";
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Row row;
    std::stringstream fields(line);
    for (std::string field; std::getline(fields, field, ',');) row.push_back(field);
    if (!line.empty() && line.back() == ',') row.emplace_back();
    rows.push_back(row);
  }
  return rows;
}

std::size_t Column(const Row& header, const std::string& name) {
  const auto at = std::find(header.begin(), header.end(), name);
  EXPECT_NE(at, header.end()) << name;
  return static_cast<std::size_t>(at - header.begin());
}

// The example: two classes, three statuses, three occasions, about 15% of the responses
// missing.
constexpr int kClasses = 2, kStatuses = 3, kOccasions = 3;

// The example's data twice over, so that every pattern stands in two records; the records, the
// distinct patterns and the total frequency, counted from the lines (the frequency last).
struct Data {
  std::size_t records = 0;
  std::size_t patterns = 0;
  double subjects = 0.0;
};
Data WriteDoubledData(const test::TempDir& dir) {
  const std::vector<std::string> lines = test::ReadLines(ExamplePath("lta_missing.dat"));
  std::string text;
  Data data;
  std::vector<std::string> responses;
  for (int copy = 0; copy < 2; ++copy) {
    for (const std::string& line : lines) {
      if (line.find_first_not_of(' ') == std::string::npos) continue;
      text += line + "\n";
      ++data.records;
      const std::size_t last = line.find_last_of(' ');
      data.subjects += std::stod(line.substr(last + 1));
      responses.push_back(line.substr(0, last));
    }
  }
  std::sort(responses.begin(), responses.end());
  data.patterns =
      static_cast<std::size_t>(std::unique(responses.begin(), responses.end()) - responses.begin());
  dir.Write("doubled.dat", text);
  return data;
}

TEST(PosteriorFileTest, EachRowSumsToOneAndADecisiveClassIsThePathsClass) {
  struct Case {
    const char* line;          // the control file's block line, or empty
    const char* overrideName;  // the terminal's file name (empty: none)
    bool overrideByPattern;
    const char* written;  // where the file lands, in the test folder
    bool byPattern;
  };
  const Case cases[] = {
      // A relative name is taken in the control file's folder, not the working folder.
      {"'POSTERIOR' 'post.csv' 0", "", false, "post.csv", false},
      {"'POSTERIOR' 'post.csv' 1", "", false, "post.csv", true},
      {"'STOP' 1e-12\n'POSTERIOR' 'post.csv' 1", "", false, "post.csv", true},
      // The override wins over the file's line.
      {"'POSTERIOR' 'post.csv' 0", "other.csv", true, "other.csv", true},
      {"", "other.csv", false, "other.csv", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.line) + " / " + c.overrideName);
    test::TempDir dir;
    Job job("lta_missing.cnt", dir);
    job.Set(Line::kEm, "1 0 200 0.000001");
    const Data data = WriteDoubledData(dir);
    job.Set(Line::kData, Quoted(dir.Path("doubled.dat")) + " ''");
    if (*c.line) job.Append(c.line);
    const std::string overrideName = *c.overrideName ? dir.Path(c.overrideName) : "";
    ASSERT_EQ(
        lSetPosteriorFile(test::PathField(overrideName).c_str(), 300, c.overrideByPattern ? -1 : 0),
        1);
    const std::int32_t result = RunEm(job);
    lSetPosteriorFile(test::PathField("").c_str(), 300, 0);
    ASSERT_EQ(result, kRunCompleted) << LastError().message;
    ASSERT_TRUE(std::filesystem::exists(dir.Path(c.written)));
    EXPECT_EQ(std::filesystem::exists(dir.Path("post.csv")), std::string(c.written) == "post.csv");

    const std::vector<Row> rows = ReadCsv(dir.Path(c.written));
    ASSERT_GT(rows.size(), 1u);
    const Row& header = rows[0];
    EXPECT_EQ(header[0], c.byPattern ? "pattern" : "record");
    const std::size_t frequency = Column(header, "frequency");
    const std::size_t firstClass = Column(header, "p_class1");
    const std::size_t modalClass = Column(header, "class");
    const std::size_t pathClass = Column(header, "path_class");
    double subjects = 0.0;
    int decisive = 0;
    for (std::size_t r = 1; r < rows.size(); ++r) {
      const Row& row = rows[r];
      ASSERT_EQ(row.size(), header.size()) << "row " << r;
      if (!c.byPattern) EXPECT_EQ(row[0], std::to_string(r));
      subjects += std::stod(row[frequency]);
      std::vector<double> p(kClasses);
      for (int k = 0; k < kClasses; ++k) p[k] = std::stod(row[firstClass + k]);
      EXPECT_NEAR(std::accumulate(p.begin(), p.end(), 0.0), 1.0, 1e-12) << "row " << r;
      const int modal = static_cast<int>(std::max_element(p.begin(), p.end()) - p.begin()) + 1;
      EXPECT_EQ(row[modalClass], std::to_string(modal)) << "row " << r;
      for (int t = 1; t <= kOccasions; ++t) {
        const std::size_t first = Column(header, "p_t" + std::to_string(t) + "_status1");
        double sum = 0.0;
        for (int s = 0; s < kStatuses; ++s) sum += std::stod(row[first + s]);
        EXPECT_NEAR(sum, 1.0, 1e-12) << "row " << r << ", occasion " << t;
      }
      // A class above 27/28: even the likeliest of its 27 status paths beats every path of the
      // other class, whose posterior is below 1/28.
      if (p[modal - 1] > 28.0 / 29.0) {
        ++decisive;
        EXPECT_EQ(row[pathClass], row[modalClass]) << "row " << r;
      }
    }
    EXPECT_GT(decisive, 0);
    EXPECT_DOUBLE_EQ(subjects, data.subjects);
    EXPECT_EQ(rows.size() - 1, c.byPattern ? data.patterns : data.records);
  }
}

TEST(PosteriorFileTest, RefusesANewEstimationWithoutIterations) {
  struct Case {
    const char* emLine;
    bool refused;
  };
  const Case cases[] = {{"1 0 0 0.000001", true}, {"1 0 1 0.000001", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.emLine);
    test::TempDir dir;
    Job job("stouffer_toby.cnt", dir);
    job.Set(Line::kEm, c.emLine);
    const std::int32_t result = RunEm(job);
    if (!c.refused) {
      EXPECT_EQ(result, kRunCompleted) << LastError().message;
      continue;
    }
    EXPECT_NE(result, kRunCompleted);
    const RecordedError error = LastError();
    EXPECT_EQ(error.code, kBadRunSetting);
    EXPECT_EQ(error.message.rfind("A new estimation needs at least one EM iteration", 0), 0u)
        << error.message;
    EXPECT_FALSE(std::filesystem::exists(dir.Path("em.out")));
  }
}

}  // namespace
}  // namespace kov::reliability
