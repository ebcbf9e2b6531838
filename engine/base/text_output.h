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
//
// A file made by CreateReplacing is written under a temporary name in the same folder and takes
// the place of the named file only at Commit, in one rename: until then, and for ever when the
// writer closes without committing (a failed or fit-only run), the named file stays as it was.
// The temporary file is named ".NAME.marnel-tmp-PID-N" in the named file's folder; those that a
// killed process left for the same file are removed at the next CreateReplacing, never those of
// a process that still runs.
class TextOutput {
 public:
  TextOutput() = default;
  ~TextOutput();
  TextOutput(const TextOutput&) = delete;
  TextOutput& operator=(const TextOutput&) = delete;

  // kStatusOk or the errno of the failed open.
  std::int32_t Create(const std::string& path);
  // kStatusOk or the errno of the failed creation of the temporary file.
  std::int32_t CreateReplacing(const std::string& path);
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
  // A replacing file that was not committed is removed.
  std::int32_t Close();
  // For a replacing file: closes, then renames it over the named file when every write
  // succeeded (otherwise removes it). kStatusOk or the status of the first failure, the rename
  // included. For a plain file the same as Close.
  std::int32_t Commit();
  // For a replacing file: closes it with its data on the disk but leaves it under its
  // temporary name, so that a later Commit puts it in place together with others written
  // before or after it (Close removes it instead). kStatusOk or the status of the first failure.
  std::int32_t Finish() { return CloseFile(); }

  std::int32_t Status() const { return m_status; }
  const std::string& Path() const { return m_path; }

 private:
  std::int32_t CloseFile();
  std::int32_t Open(const std::string& path, int flags);

  std::FILE* m_file = nullptr;
  std::string m_path;
  std::string m_temporaryPath;  // the replacing file's name until Commit; empty for a plain file
  std::int32_t m_status = 0;
  std::string m_openLine;
};

}  // namespace kov::input
