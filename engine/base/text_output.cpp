#include "text_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "result_codes.h"

namespace kov::input {

namespace {

std::int32_t ErrnoOr(std::int32_t fallback) { return errno != 0 ? errno : fallback; }

// A writer's temporary file sits beside the file it replaces as ".NAME.marnel-tmp-PID-N": hidden,
// and telling by its name which file it was for and which process wrote it, so that the files
// of a writer that was killed before it could remove them can be told apart and swept.
constexpr std::string_view kTemporaryMark = ".marnel-tmp-";

struct FolderAndName {
  std::string folder;  // with its closing separator; empty for the current folder
  std::string name;
};

FolderAndName SplitPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {{}, path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string TemporaryNamePrefix(const std::string& name) {
  return "." + name + std::string(kTemporaryMark);
}

// A name beside `path` that no other writer of this or another process picks: the process id
// and a counter, and O_EXCL at the open for anything left over by a process that died.
std::string TemporaryNameFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  const FolderAndName parts = SplitPath(path);
  return parts.folder + TemporaryNamePrefix(parts.name) + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1));
}

// The process id in a temporary file's name after its prefix ("PID-N"), or 0 when the rest is
// not of that form, so that a user's file that merely starts alike is never taken for one.
pid_t WriterOfTemporary(std::string_view rest) {
  const std::size_t dash = rest.find('-');
  const std::string_view counter = dash == std::string_view::npos ? "" : rest.substr(dash + 1);
  if (counter.empty() || counter.find_first_not_of("0123456789") != std::string_view::npos)
    return 0;
  pid_t pid = 0;
  const char* end = rest.data() + dash;
  const auto [stop, error] = std::from_chars(rest.data(), end, pid);
  return error == std::errc() && stop == end && pid > 0 ? pid : 0;
}

// Only a process that no longer exists: one that lives, or that we may not signal (EPERM: it
// runs as another user), may still be writing its file.
bool ProcessIsGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// Removes the temporary files for `path` that writers killed before their Commit or Close left
// behind. Best effort: a folder that cannot be listed leaves them, and the write goes on.
void RemoveTemporariesOfDeadWriters(const std::string& path) {
  const FolderAndName parts = SplitPath(path);
  const std::string prefix = TemporaryNamePrefix(parts.name);
  const std::unique_ptr<DIR, int (*)(DIR*)> folder(
      ::opendir(parts.folder.empty() ? "." : parts.folder.c_str()), ::closedir);
  if (!folder) return;
  while (const dirent* entry = ::readdir(folder.get())) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(prefix)) continue;
    const pid_t writer = WriterOfTemporary(name.substr(prefix.size()));
    if (writer != 0 && ProcessIsGone(writer)) ::unlinkat(::dirfd(folder.get()), entry->d_name, 0);
  }
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
  RemoveTemporariesOfDeadWriters(m_path);
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
