#include "text_output.h"

#include <cerrno>

#include "../run/result_codes.h"

namespace kov::input {

namespace {
std::int32_t ErrnoOr(std::int32_t fallback) { return errno != 0 ? errno : fallback; }
}  // namespace

TextOutput::~TextOutput() { Close(); }

std::int32_t TextOutput::Create(const std::string& path) {
  Close();
  m_path = path;
  m_status = kStatusOk;
  errno = 0;
  m_file = std::fopen(path.c_str(), "wb");
  if (m_file == nullptr) return ErrnoOr(EIO);
  // Line buffering: a full disk shows at the line that did not fit, not at the close, so the
  // run ends there with its message and everything before it stays in the file.
  std::setvbuf(m_file, nullptr, _IOLBF, 1 << 16);
  return kStatusOk;
}

std::int32_t TextOutput::Write(std::string_view text) {
  if (m_status == kStatusOk) m_openLine.append(text);
  return m_status;
}

std::int32_t TextOutput::EndLine() {
  std::string line;
  line.swap(m_openLine);
  return WriteLine(line);
}

std::int32_t TextOutput::WriteLine(std::string_view text) {
  if (!m_openLine.empty() && EndLine() != kStatusOk) return m_status;
  if (m_status != kStatusOk) return m_status;
  if (m_file == nullptr) return m_status = EBADF;
  errno = 0;
  if ((!text.empty() && std::fwrite(text.data(), 1, text.size(), m_file) != text.size()) ||
      std::fputc('\n', m_file) == EOF) {
    m_status = ErrnoOr(kWriteFailed);
  }
  return m_status;
}

std::int32_t TextOutput::Close() {
  if (m_file == nullptr) return m_status;
  if (!m_openLine.empty()) EndLine();
  errno = 0;
  if (std::fflush(m_file) != 0 && m_status == kStatusOk) m_status = ErrnoOr(kWriteFailed);
  errno = 0;
  if (std::fclose(m_file) != 0 && m_status == kStatusOk) m_status = ErrnoOr(kWriteFailed);
  m_file = nullptr;
  return m_status;
}

}  // namespace kov::input
