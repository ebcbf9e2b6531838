#include "job.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "base/status_record.h"
#include "da/da_driver.h"
#include "em/em_driver.h"
#include "input/model.h"

namespace kov::reliability {

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

std::string ExamplePath(const std::string& name) { return std::string(MARNEL_EXAMPLES) + "/" + name; }

std::string DataText(const std::map<std::vector<int>, int>& patterns) {
  std::string text;
  for (const auto& [y, count] : patterns) {
    for (int response : y) text += std::to_string(response) + " ";
    text += std::to_string(count) + "\n";
  }
  return text;
}

Job::Job(const std::string& example, const test::TempDir& dir) : m_dir(dir) {
  m_lines = test::ReadLines(ExamplePath(example));
  while (m_model < m_lines.size() && m_lines[m_model].starts_with("'*")) ++m_model;
  EXPECT_LT(m_model + static_cast<std::size_t>(Line::kDaIndividual), m_lines.size()) << example;
  const std::string data = m_lines[m_model + static_cast<std::size_t>(Line::kData)];
  const std::size_t open = data.find('\''), close = data.find('\'', open + 1);
  Set(Line::kData, Quoted(ExamplePath(data.substr(open + 1, close - open - 1))) + " ''");
  Set(Line::kEmOutput, Quoted(dir.Path("em.out")));
  Set(Line::kEmStart, "'..'");
  Set(Line::kEmEstimates, Quoted(dir.Path("em.est")));
  Set(Line::kDaOutput, Quoted(dir.Path("da.out")));
  Set(Line::kDaStart, Quoted(dir.Path("em.est")));
  Set(Line::kDaSeries, Quoted(dir.Path("da.ser")));
  Set(Line::kDaIndividual, Quoted(dir.Path("da.ind")));
}

void Job::Set(Line line, const std::string& text) {
  m_lines[m_model + static_cast<std::size_t>(line)] = text;
}

void Job::SetDa(int iterationsBetween, int imputations, int seed, bool individual) {
  Set(Line::kDa, std::to_string(iterationsBetween) + " " + std::to_string(imputations) + " " +
                     std::to_string(seed) + (individual ? " 1" : " 0"));
}

std::string Job::Field() const {
  std::string text;
  for (const std::string& line : m_lines) text += line + "\n";
  return test::PathField(m_dir.Write(m_controlName, text));
}

RecordedError LastError() {
  RecordedError error;
  std::string message;
  error.code = run::ReadEngineError(&message);
  message.erase(message.find_last_not_of(std::string(" \0", 2)) + 1);
  error.message = message;
  return error;
}

std::int32_t RunEm(const Job& job) {
  run::ResetStatusForTesting();
  const std::string field = job.Field();
  return em::RunEmDriver(field.c_str(), 300);
}

std::int32_t RunDa(const Job& job) {
  run::ResetStatusForTesting();
  const std::string field = job.Field();
  return da::RunDaDriver(field.c_str(), 300);
}

std::vector<std::string> OpenFilesUnder(const std::string& folder) {
  std::vector<std::string> open;
  const std::string prefix = std::filesystem::canonical(folder).string() + "/";
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    char target[PATH_MAX];
    const ssize_t n = readlink(entry.path().c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    const std::string path(target, static_cast<std::size_t>(n));
    if (path.starts_with(prefix)) open.push_back(path);
  }
  return open;
}

bool EndsWithWholeLine(const std::string& path) {
  const std::string text = test::ReadFile(path);
  return text.empty() || text.back() == '\n';
}

std::string WriteFailedMessage(const std::string& name) {
  return "Unable to write to output file: " + name +
         "; Please make sure that this is a valid file path and name, and that the file is "
         "available for writing.";
}

}  // namespace kov::reliability
