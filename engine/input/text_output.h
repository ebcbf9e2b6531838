// An output text file written line by line, every write checked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace kov::input {

// Creates (or replaces) a text file and writes whole lines to it. The first failed write is
// kept: later writes do nothing and return it again, so a writer may test the status once per
// block. Closing flushes and reports a failure of the flush too. Closes itself; what was
// written before a failure stays in the file.
class TextOutput {
 public:
  TextOutput() = default;
  ~TextOutput();
  TextOutput(const TextOutput&) = delete;
  TextOutput& operator=(const TextOutput&) = delete;

  // kStatusOk or the errno of the failed open.
  std::int32_t Create(const std::string& path);
  bool IsOpen() const { return m_file != nullptr; }

  // Writes text and a line end. A line left open by Write is ended first, so whatever writes
  // next always starts on a line of its own. kStatusOk or the write status.
  std::int32_t WriteLine(std::string_view text);

  // Adds text to a line that stays open (as the iteration history keeps three entries a line)
  // until EndLine, the next WriteLine or Close ends it.
  std::int32_t Write(std::string_view text);
  std::int32_t EndLine();
  std::size_t OpenLineLength() const { return m_openLine.size(); }
  // Writes an empty line.
  std::int32_t WriteEmptyLine() { return WriteLine({}); }

  // Flushes and closes. kStatusOk or the status of the first failure, the flush included.
  std::int32_t Close();

  std::int32_t Status() const { return m_status; }
  const std::string& Path() const { return m_path; }

 private:
  std::FILE* m_file = nullptr;
  std::string m_path;
  std::int32_t m_status = 0;
  std::string m_openLine;
};

}  // namespace kov::input
