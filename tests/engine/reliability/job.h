// Jobs for the reliability tests: an example model whose file names all point into a test's
// own folder, the runs that read it, and what a finished run must have left behind.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "temp_files.h"

namespace kov::reliability {

// Lines of a control file after its first model line (the nine common values).
enum class Line : std::size_t {
  kData = 1,
  kEm = 2,
  kEmOutput = 3,
  kEmStart = 4,
  kEmEstimates = 5,
  kDa = 6,
  kDaOutput = 7,
  kDaStart = 8,
  kDaSeries = 9,
  kDaIndividual = 10,
};

// The control file of examples/NAME with every file it names inside `dir`: the EM report
// em.out, the estimates em.est (which are also the starting values of data augmentation), the
// DA report da.out, the series da.ser and the individual estimates da.ind. The data stay in the
// examples folder unless Set changes them.
class Job {
 public:
  Job(const std::string& example, const test::TempDir& dir);

  // Replaces a line; text is written as it stands (quote file names with Quoted).
  void Set(Line line, const std::string& text);
  void SetDa(int iterationsBetween, int imputations, int seed, bool individual);
  // Adds a line after the last one (the optional block).
  void Append(const std::string& text) { m_lines.push_back(text); }
  // Writes the control file as dir/job.cnt (or the name given here) and returns its path in the
  // engine's 300-byte field.
  std::string Field() const;
  void NameControlFile(const std::string& name) { m_controlName = name; }

 private:
  const test::TempDir& m_dir;
  std::vector<std::string> m_lines;
  std::size_t m_model = 0;
  std::string m_controlName = "job.cnt";
};

std::string Quoted(const std::string& text);
std::string ExamplePath(const std::string& name);

// A free-format data file: each pattern's responses, then its frequency, one pattern a line.
std::string DataText(const std::map<std::vector<int>, int>& patterns);

// The error that the last run recorded: its code, and its message without the padding.
struct RecordedError {
  std::int32_t code = 0;
  std::string message;
};
RecordedError LastError();

// Runs a driver on this thread after putting the status record back to its load state.
std::int32_t RunEm(const Job& job);
std::int32_t RunDa(const Job& job);

// The files of this process that are open on paths under `folder` (from /proc/self/fd).
std::vector<std::string> OpenFilesUnder(const std::string& folder);

// True when the file is empty or ends with a line end: nothing was cut inside a line.
bool EndsWithWholeLine(const std::string& path);

// The message pieces of a failed write to a named output file.
std::string WriteFailedMessage(const std::string& name);

}  // namespace kov::reliability
