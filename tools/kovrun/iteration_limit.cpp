#include "iteration_limit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <limits>

namespace kovrun {

namespace {

// The values needed sit in the first few dozen lines; these bounds keep a wrong file (a data
// file, a binary) from costing more than a glance. A line is refused as soon as it passes its
// length, before more of it is kept: /dev/zero has no line end at all.
constexpr std::size_t kMaxLines = 10000;
constexpr std::size_t kMaxLineLength = 1 << 16;
constexpr std::size_t kMaxBytes = 1 << 22;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Read steps over the lines of a file: a step begins on a new line, takes values from as
// many lines as it needs and drops the rest of the last line it touched.
class StepReader {
 public:
  explicit StepReader(const std::string& path) : m_file(OpenRegularFile(path)) {}
  ~StepReader() {
    if (m_file != nullptr) std::fclose(m_file);
  }
  StepReader(const StepReader&) = delete;
  StepReader& operator=(const StepReader&) = delete;

  bool IsOpen() const { return m_file != nullptr; }

  bool ReadStep(std::size_t count, std::vector<std::string>* values) {
    values->clear();
    std::size_t index = m_next;
    while (values->size() < count) {
      if (!LoadLine(index) || !SplitStepLine(m_lines[index], count, values)) return false;
      ++index;
    }
    m_next = index;
    return true;
  }

  // Steps that turn out not to belong to a section are read again by the next one.
  std::size_t Mark() const { return m_next; }
  void Reset(std::size_t mark) { m_next = mark; }

 private:
  // Only a regular file: opening a pipe would wait for a writer, and a pipe or device may never
  // end. Anything else is left to the engine, which refuses it with a message of its own.
  static std::FILE* OpenRegularFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info {};
    std::FILE* file = nullptr;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) file = fdopen(fd, "rb");
    if (file == nullptr) ::close(fd);
    return file;
  }

  bool LoadLine(std::size_t index) {
    while (m_lines.size() <= index) {
      if (m_lines.size() >= kMaxLines) return false;
      std::string line;
      if (!ReadLine(&line)) return false;
      // A UTF-8 byte order mark before the first line is no part of it.
      if (m_lines.empty() && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      m_lines.push_back(std::move(line));
    }
    return true;
  }

  // The next line without its end; false at the end of the file, at a line longer than
  // kMaxLineLength, or past kMaxBytes in all.
  bool ReadLine(std::string* line) {
    int c = std::getc(m_file);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = std::getc(m_file)) {
      if (line->size() >= kMaxLineLength || ++m_bytes > kMaxBytes) return false;
      line->push_back(static_cast<char>(c));
    }
    return true;
  }

  std::FILE* m_file = nullptr;
  std::size_t m_bytes = 0;
  std::vector<std::string> m_lines;
  std::size_t m_next = 0;
};

std::optional<std::int64_t> ParseInteger(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

bool SplitStepLine(std::string_view line, std::size_t count, std::vector<std::string>* values) {
  std::size_t i = 0;
  bool commaAllowed = false;
  while (values->size() < count) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size()) return true;
    const char c = line[i];
    if (c == ',') {
      if (!commaAllowed) return false;
      commaAllowed = false;
      ++i;
      continue;
    }
    if (c == '/') return false;
    std::string value;
    if (c == '\'') {
      for (++i;; ++i) {
        if (i == line.size()) return false;
        if (line[i] == '\'') {
          if (i + 1 < line.size() && line[i + 1] == '\'') {
            value += '\'';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        value += line[i];
      }
    } else {
      while (i < line.size() && !IsBlank(line[i]) && line[i] != ',' && line[i] != '/' &&
             line[i] != '\'') {
        value += line[i++];
      }
    }
    values->push_back(std::move(value));
    commaAllowed = true;
  }
  return true;
}

namespace {

// Reads up to and including the EM model information line (type, write-estimates flag, maximum
// iterations, criterion), leaving it in *values. False when the file does not get that far.
bool ReadThroughEmLine(StepReader& reader, std::vector<std::string>* values) {
  // Title lines: steps of one text that begins with "*". The first other step is section 2.
  for (;;) {
    const std::size_t mark = reader.Mark();
    if (!reader.ReadStep(1, values)) return false;
    if ((*values)[0].empty() || (*values)[0][0] != '*') {
      reader.Reset(mark);
      break;
    }
  }

  // Common model information: nine integers, then the data file name and format.
  if (!reader.ReadStep(9, values)) return false;
  for (const std::string& value : *values) {
    if (!ParseInteger(value)) return false;
  }
  if (!reader.ReadStep(2, values)) return false;
  return reader.ReadStep(4, values);
}

}  // namespace

std::optional<std::int64_t> ReadIterationLimit(const std::string& path, RunKind kind) {
  StepReader reader(path);
  if (!reader.IsOpen()) return std::nullopt;
  std::vector<std::string> values;
  if (!ReadThroughEmLine(reader, &values)) return std::nullopt;
  const std::optional<std::int64_t> emMaximum = ParseInteger(values[2]);
  if (kind == RunKind::kEM) {
    if (!emMaximum || *emMaximum <= 0) return std::nullopt;
    return emMaximum;
  }

  // The three EM file names, then the DA line: iterations between imputations, imputations.
  for (int file = 0; file < 3; ++file) {
    if (!reader.ReadStep(1, &values)) return std::nullopt;
  }
  if (!reader.ReadStep(4, &values)) return std::nullopt;
  const std::optional<std::int64_t> between = ParseInteger(values[0]);
  const std::optional<std::int64_t> imputations = ParseInteger(values[1]);
  if (!between || !imputations || *between <= 0 || *imputations <= 0) return std::nullopt;
  return *between * *imputations;
}

namespace {

// The file name that `stepsAfterEmLine` read steps after the EM model information line begin,
// blanks at its end dropped; nothing when the file does not get that far or the name is empty.
std::optional<std::string> ReadNameAfterEmLine(const std::string& path, int stepsAfterEmLine) {
  StepReader reader(path);
  if (!reader.IsOpen()) return std::nullopt;
  std::vector<std::string> values;
  if (!ReadThroughEmLine(reader, &values)) return std::nullopt;
  for (int step = 0; step < stepsAfterEmLine; ++step) {
    // The DA line (the fifth step after the EM line) has four values, every other step one.
    if (!reader.ReadStep(step == 3 ? 4 : 1, &values)) return std::nullopt;
  }
  if (!reader.ReadStep(1, &values)) return std::nullopt;
  // Fixed-length names arrive padded with blanks.
  std::string name = values[0];
  while (!name.empty() && IsBlank(name.back())) name.pop_back();
  if (name.empty()) return std::nullopt;
  return name;
}

}  // namespace

std::optional<std::string> ReadReportName(const std::string& path, RunKind kind) {
  // EM: the first of the three EM file names. DA: the first name after the DA line.
  return ReadNameAfterEmLine(path, kind == RunKind::kEM ? 0 : 4);
}

std::optional<std::string> ReadSeriesName(const std::string& path) {
  // After the DA line: the DA report, its starting values file, then the series file.
  return ReadNameAfterEmLine(path, 6);
}

}  // namespace kovrun
