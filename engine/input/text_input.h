// Line-by-line reading of the engine's single-byte text files.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace kov::input {

// Lines longer than this are refused with kLineTooLong: no control, data or estimates file of
// ours comes near it, and a binary file must not make us allocate without bound.
inline constexpr std::size_t kMaxLineLength = 1 << 20;

// Open statuses for files refused for what they are rather than where they are. They are the
// system's numbers for the nearest failure, so a caller treats them as any failed open.
// A pipe, a device or a socket: it may never end (/dev/zero), and our readers go back in their
// files (titles are read again, the data file is read twice).
inline constexpr std::int32_t kNotARegularFile = ESPIPE;
// Text saved as UTF-16 (a byte order mark, or zero bytes in the first line): every character
// of ours would come with a zero byte.
inline constexpr std::int32_t kUtf16Text = EILSEQ;

// A source of lines. The fixed-format record reader and the read steps pull lines from it.
class LineSource {
 public:
  virtual ~LineSource() = default;
  // Stores the next line (without its end-of-line characters) in *line, valid until the next
  // call. Returns kStatusOk, kEndOfFile, or a positive read status.
  virtual std::int32_t NextLine(std::string_view* line) = 0;
  // Where the next line starts, and going back to such a place (to read a line again).
  virtual long Position() const = 0;
  virtual std::int32_t Rewind(long position) = 0;
};

// An open text file. Closes itself. "\n" and "\r\n" both end a line; a last line without an
// end-of-line character is a line too.
class TextInput final : public LineSource {
 public:
  TextInput() = default;
  ~TextInput() override;
  TextInput(const TextInput&) = delete;
  TextInput& operator=(const TextInput&) = delete;

  // Opens the file for reading. Returns kStatusOk or the errno of the failure (EISDIR for a
  // folder, which the system would otherwise open and fail on at the first read), or
  // kNotARegularFile, or kUtf16Text. A UTF-8 byte order mark at the head is skipped.
  std::int32_t Open(const std::string& path);
  bool IsOpen() const { return m_file != nullptr; }
  void Close();

  std::int32_t NextLine(std::string_view* line) override;

  long Position() const override { return m_lineStart; }
  std::int32_t Rewind(long position) override;

  // True when nothing but blank lines (blanks, tabs, an end of line) is left. Consumes nothing.
  bool AtEndIgnoringBlankLines();

  // The 1-based number of the line last returned by NextLine.
  long LineNumber() const { return m_lineNumber; }

 private:
  std::int32_t CheckTextEncoding();

  std::FILE* m_file = nullptr;
  std::string m_buffer;
  long m_lineStart = 0;
  long m_lineNumber = 0;
};

// Lines of a text held in memory, for tests and for reading a text that is already loaded.
class StringLines final : public LineSource {
 public:
  explicit StringLines(std::string_view text) : m_text(text) {}
  std::int32_t NextLine(std::string_view* line) override;
  long Position() const override { return static_cast<long>(m_position); }
  std::int32_t Rewind(long position) override;

 private:
  std::string_view m_text;
  std::size_t m_position = 0;
};

}  // namespace kov::input
