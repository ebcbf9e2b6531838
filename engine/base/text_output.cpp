#include "text_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "result_codes.h"

namespace kov::input {

namespace {

std::int32_t ErrnoOr(std::int32_t fallback) { return errno != 0 ? errno : fallback; }

// A name beside `path` that no other writer of this or another process picks: the process id
// and a counter, and O_EXCL at the open for anything left over by a process that died.
std::string TemporaryNameFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

}  // namespace

TextOutput::~TextOutput() { Close(); }

std::int32_t TextOutput::Open(const std::string& path, int flags) {
  errno = 0;
  // 0666 leaves the permissions to the user's umask, as for any file the user's programs make.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666);
  if (fd < 0) return ErrnoOr(EIO);
  m_file = ::fdopen(fd, "wb");
  if (m_file == nullptr) {
    const std::int32_t status = ErrnoOr(EIO);
    ::close(fd);
    return status;
  }
  // Line buffering: a full disk shows at the line that did not fit, not at the close, so the
  // run ends there with its message and everything before it stays in the file.
  std::setvbuf(m_file, nullptr, _IOLBF, 1 << 16);
  return kStatusOk;
}

std::int32_t TextOutput::Create(const std::string& path) {
  Close();
  m_path = path;
  m_status = kStatusOk;
  return Open(path, O_TRUNC);
}

std::int32_t TextOutput::CreateReplacing(const std::string& path) {
  Close();
  m_path = path;
  m_status = kStatusOk;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    // A folder in the file's place would only fail the rename at the end of the run; it fails
    // here, as the open of a plain file does.
    if (S_ISDIR(info.st_mode)) return EISDIR;
    // A device or a pipe cannot be replaced, only written; renaming over it would remove it.
    if (!S_ISREG(info.st_mode)) return Open(path, O_TRUNC);
    // Through a symbolic link the file it leads to is replaced, and the link stays.
    if (char* target = ::realpath(path.c_str(), nullptr)) {
      m_path = target;
      std::free(target);
    }
  }
  // A missing folder or a path under a file fails the temporary file's creation with the status
  // the named file would give.
  std::int32_t status = kStatusOk;
  for (int attempt = 0; attempt < 100; ++attempt) {
    m_temporaryPath = TemporaryNameFor(m_path);
    status = Open(m_temporaryPath, O_EXCL);
    if (status != EEXIST) break;
  }
  if (status != kStatusOk) m_temporaryPath.clear();
  return status;
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

std::int32_t TextOutput::CloseFile() {
  if (m_file == nullptr) return m_status;
  if (!m_openLine.empty()) EndLine();
  errno = 0;
  if (std::fflush(m_file) != 0 && m_status == kStatusOk) m_status = ErrnoOr(kWriteFailed);
  // The data must be on the disk before the rename makes them the file's content, or a crash
  // could leave an empty file where the old one was.
  errno = 0;
  if (!m_temporaryPath.empty() && ::fsync(::fileno(m_file)) != 0 && m_status == kStatusOk) {
    m_status = ErrnoOr(kWriteFailed);
  }
  errno = 0;
  if (std::fclose(m_file) != 0 && m_status == kStatusOk) m_status = ErrnoOr(kWriteFailed);
  m_file = nullptr;
  return m_status;
}

std::int32_t TextOutput::Close() {
  CloseFile();
  if (!m_temporaryPath.empty()) {
    ::unlink(m_temporaryPath.c_str());
    m_temporaryPath.clear();
  }
  return m_status;
}

std::int32_t TextOutput::Commit() {
  if (m_temporaryPath.empty()) return Close();
  if (CloseFile() == kStatusOk) {
    errno = 0;
    if (::rename(m_temporaryPath.c_str(), m_path.c_str()) != 0) {
      m_status = ErrnoOr(kWriteFailed);
    } else {
      m_temporaryPath.clear();
    }
  }
  return Close();
}

}  // namespace kov::input
