#include "text_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "../base/result_codes.h"

namespace kov::input {

TextInput::~TextInput() { Close(); }

std::int32_t TextInput::Open(const std::string& path) {
  Close();
  errno = 0;
  // Without O_NONBLOCK, opening a pipe would wait for a writer, possibly for ever. The flag
  // changes nothing for the regular files that are all we go on to read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno != 0 ? errno : ENOENT;
  struct stat info {};
  std::int32_t status = kStatusOk;
  if (fstat(fd, &info) != 0) {
    status = errno != 0 ? errno : EIO;
  } else if (S_ISDIR(info.st_mode)) {
    status = EISDIR;
  } else if (!S_ISREG(info.st_mode)) {
    status = kNotARegularFile;
  } else if ((m_file = fdopen(fd, "rb")) == nullptr) {
    status = errno != 0 ? errno : EIO;
  }
  if (status != kStatusOk) {
    ::close(fd);
    return status;
  }
  m_lineStart = 0;
  m_lineNumber = 0;
  status = CheckTextEncoding();
  if (status != kStatusOk) Close();
  return status;
}

// Skips a UTF-8 byte order mark (some editors write one) and refuses UTF-16.
std::int32_t TextInput::CheckTextEncoding() {
  // Enough to hold the first line of any file of ours that UTF-16 would give away.
  unsigned char head[4096];
  const std::size_t n = std::fread(head, 1, sizeof head, m_file);
  if (std::ferror(m_file)) return errno != 0 ? errno : EIO;
  const auto startsWith = [&](std::initializer_list<unsigned char> bytes) {
    return n >= bytes.size() && std::equal(bytes.begin(), bytes.end(), head);
  };
  long start = 0;
  if (startsWith({0xEF, 0xBB, 0xBF})) {
    start = 3;
  } else if (startsWith({0xFF, 0xFE}) || startsWith({0xFE, 0xFF})) {
    return kUtf16Text;
  } else {
    // UTF-16 without its mark still puts a zero byte beside every character of ours.
    const auto* lineEnd = static_cast<const unsigned char*>(std::memchr(head, '\n', n));
    const std::size_t firstLine = lineEnd == nullptr ? n : static_cast<std::size_t>(lineEnd - head);
    if (std::memchr(head, '\0', firstLine) != nullptr) return kUtf16Text;
  }
  if (std::fseek(m_file, start, SEEK_SET) != 0) return EIO;
  m_lineStart = start;
  return kStatusOk;
}

void TextInput::Close() {
  if (m_file != nullptr) std::fclose(m_file);
  m_file = nullptr;
}

std::int32_t TextInput::NextLine(std::string_view* line) {
  if (m_file == nullptr) return kEndOfFile;
  m_buffer.clear();
  bool sawAny = false;
  bool tooLong = false;
  for (;;) {
    const int c = std::getc(m_file);
    if (c == EOF) {
      if (std::ferror(m_file)) return errno != 0 ? errno : EIO;
      break;
    }
    sawAny = true;
    if (c == '\n') break;
    if (m_buffer.size() < kMaxLineLength) {
      m_buffer.push_back(static_cast<char>(c));
    } else {
      tooLong = true;  // keep consuming so the file position stays at a line start
    }
  }
  if (!sawAny) return kEndOfFile;
  ++m_lineNumber;
  m_lineStart = std::ftell(m_file);
  if (tooLong) return kLineTooLong;
  if (!m_buffer.empty() && m_buffer.back() == '\r') m_buffer.pop_back();
  *line = m_buffer;
  return kStatusOk;
}

std::int32_t TextInput::Rewind(long position) {
  if (m_file == nullptr || std::fseek(m_file, position, SEEK_SET) != 0) return EIO;
  m_lineStart = position;
  return kStatusOk;
}

bool TextInput::AtEndIgnoringBlankLines() {
  if (m_file == nullptr) return true;
  const long start = std::ftell(m_file);
  for (;;) {
    const int c = std::getc(m_file);
    if (c == EOF) {
      // A read error is not the end: let the next read report it.
      const bool atEnd = !std::ferror(m_file);
      std::clearerr(m_file);
      std::fseek(m_file, start, SEEK_SET);
      return atEnd;
    }
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      std::fseek(m_file, start, SEEK_SET);
      return false;
    }
  }
}

std::int32_t StringLines::Rewind(long position) {
  if (position < 0 || static_cast<std::size_t>(position) > m_text.size()) return EIO;
  m_position = static_cast<std::size_t>(position);
  return kStatusOk;
}

std::int32_t StringLines::NextLine(std::string_view* line) {
  if (m_position >= m_text.size()) return kEndOfFile;
  std::size_t end = m_text.find('\n', m_position);
  if (end == std::string_view::npos) end = m_text.size();
  std::string_view result = m_text.substr(m_position, end - m_position);
  m_position = end + 1;
  if (result.size() > kMaxLineLength) return kLineTooLong;
  if (!result.empty() && result.back() == '\r') result.remove_suffix(1);
  *line = result;
  return kStatusOk;
}

}  // namespace kov::input
