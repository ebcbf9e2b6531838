#include "run_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "base/result_codes.h"
#include "input/messages.h"

namespace kov::run {

namespace {

namespace fs = std::filesystem;

std::string ResolvedPath(const std::string& path) {
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  if (error) return path;
  fs::path resolved = fs::weakly_canonical(absolute, error);
  return (error ? absolute.lexically_normal() : resolved).string();
}

// Two roles may share a file only when the run reads the input whole before writing anything
// and replaces it by renaming a complete file over it.
bool MayShare(const RunFile& a, const RunFile& b) {
  if (a.output && b.output) return false;
  const RunFile& input = a.output ? b : a;
  const RunFile& output = a.output ? a : b;
  if (!output.output) return true;  // two inputs read the same file: nothing is written
  return input.continuedByRun && output.replacedWhole;
}

kov::Status RefuseSharedFile(const RunFile& a, const RunFile& b) {
  return kov::Status(kFileRoleClash, "The " + std::string(a.role) + " and the " +
                                         std::string(b.role) + " are the same file: " +
                                         ResolvedPath(b.path) +
                                         ";  Please give every file of the run a name of its own.");
}

// Whether `path` still leads to the file described by `info`.
bool StillNamed(const std::string& path, const struct stat& info) {
  struct stat named {};
  return ::stat(path.c_str(), &named) == 0 && named.st_dev == info.st_dev &&
         named.st_ino == info.st_ino;
}

}  // namespace

FileIdentity IdentityOf(const std::string& path) {
  FileIdentity identity;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    identity.exists = true;
    identity.device = info.st_dev;
    identity.inode = info.st_ino;
  }
  identity.resolved = ResolvedPath(path);
  return identity;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  if (a.exists && b.exists) return a.device == b.device && a.inode == b.inode;
  return a.exists == b.exists && a.resolved == b.resolved;
}

OutputClaim::~OutputClaim() { Release(); }

void OutputClaim::Release() {
  for (Held& held : m_held) {
    struct stat info {};
    // Still empty and made by the claim: the run never wrote it. The lock is still held, so no
    // other run is writing it either. A file the run renamed over it has taken its name, and
    // stays.
    if (held.created && ::fstat(held.descriptor, &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size == 0 && StillNamed(held.path, info)) {
      ::unlink(held.path.c_str());
    }
    ::close(held.descriptor);
  }
  m_held.clear();
}

kov::Status OutputClaim::Take(const std::vector<RunFile>& files) {
  Release();
  std::vector<FileIdentity> identities;
  identities.reserve(files.size());
  for (const RunFile& file : files) {
    identities.push_back(file.path.empty() ? FileIdentity{} : IdentityOf(file.path));
  }
  // Every pair with at least one file outside the numbered series, each pair once: the series
  // may hold thousands of files that differ by their numbers alone.
  for (std::size_t a = 0; a < files.size(); ++a) {
    if (files[a].numbered || files[a].path.empty()) continue;
    for (std::size_t b = 0; b < files.size(); ++b) {
      if (b == a || (b < a && !files[b].numbered) || files[b].path.empty() ||
          MayShare(files[a], files[b])) {
        continue;
      }
      if (SameFile(identities[a], identities[b])) {
        return a < b ? RefuseSharedFile(files[a], files[b]) : RefuseSharedFile(files[b], files[a]);
      }
    }
  }
  for (const RunFile& file : files) {
    if (!file.output || file.numbered || file.path.empty()) continue;
    // Read-only and non-blocking: the lock needs a descriptor, not the right to write, and a
    // named pipe must not stall the run here. A whole replacement is never created early: the
    // old file must stay as it was until the new one is complete.
    Held held{-1, file.path, false};
    constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (!file.replacedWhole) {
      held.descriptor = ::open(file.path.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
      held.created = held.descriptor >= 0;
    }
    if (held.descriptor < 0) held.descriptor = ::open(file.path.c_str(), kFlags);
    if (held.descriptor < 0) continue;
    // Only a file on disk can be corrupted by two writers; two runs may well both write to a
    // device such as /dev/null, and must not refuse each other for it.
    struct stat info {};
    if (::fstat(held.descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(held.descriptor);
      continue;
    }
    if (::flock(held.descriptor, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(held.descriptor);
      if (error != EWOULDBLOCK) continue;  // a file system without locks: nothing to guard with
      Release();
      return kov::Status(kOutputInUse,
                         input::Message("The " + std::string(file.role) + " ", file.path,
                                        " is being written by another run at this moment;  "
                                        "Please wait until that run ends, or choose another name."));
    }
    m_held.push_back(std::move(held));
  }
  return {};
}

}  // namespace kov::run
