// Waiting for a process where pidfd_open is missing (old kernels, or a sandbox that blocks
// the call): the process is looked at every few milliseconds. Internal to libkovos; the tests
// include it to exercise this path on kernels that do have pidfd_open.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <thread>

#include "handles.h"
#include "kovos.h"

namespace kovos::detail {

inline constexpr std::chrono::milliseconds kProcessPollStep{5};

inline bool ProcessIsGone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

// True once the process has ended. A process that has ended but was not yet reaped by its
// parent still answers kill(pid, 0), so its state letter in /proc/<pid>/stat tells it apart.
inline bool ProcessHasEnded(pid_t pid) {
  if (ProcessIsGone(pid)) return true;
  char path[32] = "/proc/";
  const std::string_view suffix = "/stat";
  char* const digitsEnd = path + sizeof path - suffix.size() - 1;
  const auto [end, error] = std::to_chars(path + 6, digitsEnd, pid);
  if (error != std::errc{}) return false;
  std::copy(suffix.begin(), suffix.end(), end);
  end[suffix.size()] = '\0';
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return ProcessIsGone(pid);  // reaped since, or no /proc to look in
  char text[256];
  const ssize_t length = read(file, text, sizeof text);
  close(file);
  if (length <= 0) return ProcessIsGone(pid);
  // "pid (command) state ...": the command may hold blanks and parentheses, so the state is
  // the letter after the last ')'. Only a short command fits in front of it; the rest of the
  // line is numbers.
  const std::string_view stat(text, static_cast<std::size_t>(length));
  const std::size_t paren = stat.rfind(')');
  if (paren == std::string_view::npos || paren + 2 >= stat.size()) return false;
  const char state = stat[paren + 2];
  return state == 'Z' || state == 'X';
}

// kWaitSignalled once the process has ended, kWaitTimeout after timeoutMs (kInfinite: never).
// A pid that ends and is reused by a new process within one step would be missed; pidfds,
// where available, have no such gap.
inline std::int32_t WaitByPolling(pid_t pid, std::uint32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (ProcessHasEnded(pid)) return kWaitSignalled;
    auto step = std::chrono::duration_cast<Clock::duration>(kProcessPollStep);
    if (timeoutMs != kInfinite) {
      const Clock::duration left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) return kWaitTimeout;
      step = std::min(step, left);
    }
    std::this_thread::sleep_for(step);
  }
}

}  // namespace kovos::detail
