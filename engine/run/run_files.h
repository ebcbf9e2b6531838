// The files of one run, each in its role. Before a run writes anything it claims them: two
// roles that name one file are refused (an output must never replace an input or another
// output), and every output is locked against a second run that would write it at the same time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

namespace kov::run {

struct RunFile {
  std::string_view role;  // as the messages name it: "data file", "EM output file", ...
  std::string path;       // as the run will open it; blank roles are left out
  bool output = false;
  // An input that the run has read whole before it opens any output, and whose successor the
  // run may write over it (the starting values of a continued EM run and its new estimates).
  bool continuedByRun = false;
  // An output written under a temporary name and renamed over its file only when complete.
  bool replacedWhole = false;
  // One of a numbered series of outputs (the imputed data files): distinct from the rest of its
  // series by its number, and not locked one by one: every run that writes the series also
  // writes a file that is locked for all of it.
  bool numbered = false;
};

// The claim of a run on its outputs: one open descriptor a file, holding an advisory lock
// (flock) until the run ends. A file that the claim itself had to create and that is still
// empty when the claim ends was never written by the run and is removed again, so a run that
// fails early leaves no empty files behind.
class OutputClaim {
 public:
  OutputClaim() = default;
  ~OutputClaim();
  OutputClaim(const OutputClaim&) = delete;
  OutputClaim& operator=(const OutputClaim&) = delete;

  // Refuses a run in which two roles name the same file (kFileRoleClash) or an output is locked
  // by another run (kOutputInUse); otherwise locks every output and succeeds. An output that
  // cannot be opened is left to the run's own open, which reports it in its own words.
  kov::Status Take(const std::vector<RunFile>& files);
  void Release();

 private:
  struct Held {
    int descriptor = -1;
    std::string path;
    bool created = false;
  };
  std::vector<Held> m_held;
};

// What tells whether two paths name one file: the same device and inode where both exist,
// otherwise the same absolute path once symbolic links and "." and ".." are resolved.
struct FileIdentity {
  bool exists = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::string resolved;
};
FileIdentity IdentityOf(const std::string& path);
bool SameFile(const FileIdentity& a, const FileIdentity& b);

}  // namespace kov::run
