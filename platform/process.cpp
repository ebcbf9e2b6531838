#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "handles.h"
#include "kovos.h"
#include "process_poll.h"

namespace kovos {
namespace {

using detail::kInfinite;

// A descriptor that becomes readable when the process ends, or -1 with errno set.
int OpenPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

// Failures of pidfd_open after which polling the pid still works.
bool PidfdUnavailable(int error) {
  return error == ENOSYS || error == EPERM || error == EACCES || error == EMFILE ||
         error == ENFILE || error == ENOMEM;
}

// A process we wait on, through its pidfd when we have one (m_pidfd >= 0).
class ProcessObject final : public detail::KernelObject {
 public:
  ProcessObject(pid_t pid, int pidfd) : m_pid(pid), m_pidfd(pidfd) {}
  ~ProcessObject() override {
    if (m_pidfd >= 0) close(m_pidfd);
  }
  ProcessObject(const ProcessObject&) = delete;
  ProcessObject& operator=(const ProcessObject&) = delete;

  std::int32_t Wait(std::uint32_t timeoutMs) override {
    // Once seen to end, always ended: a polled pid may meanwhile belong to a new process.
    if (m_ended.load()) return kWaitSignalled;
    const std::int32_t result =
        m_pidfd >= 0 ? WaitOnPidfd(timeoutMs) : detail::WaitByPolling(m_pid, timeoutMs);
    if (result == kWaitSignalled) m_ended.store(true);
    return result;
  }

  // The descriptor is closed with the object, after the last wait that uses it has returned.
  void Release() override {}

 private:
  std::int32_t WaitOnPidfd(std::uint32_t timeoutMs) const {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int pollMs = -1;
      if (timeoutMs != kInfinite) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollMs = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
      }
      pollfd descriptor{m_pidfd, POLLIN, 0};
      const int ready = poll(&descriptor, 1, pollMs);
      if (ready > 0) return kWaitSignalled;
      if (ready == 0) {
        if (pollMs == 0 || (timeoutMs != kInfinite && Clock::now() >= deadline)) {
          return kWaitTimeout;
        }
        continue;  // a wait longer than poll can express goes on in pieces
      }
      if (errno != EINTR) {
        SetLastError(errno);
        return kWaitFailed;
      }
    }
  }

  const pid_t m_pid;
  const int m_pidfd;
  std::atomic<bool> m_ended{false};
};

}  // namespace

Handle OpenProcessForWait(pid_t pid) {
  // 0 and negative numbers name process groups in kill and waitpid, never one process.
  if (pid <= 0) {
    SetLastError(ESRCH);
    return 0;
  }
  const int pidfd = OpenPidfd(pid);
  if (pidfd < 0) {
    const int error = errno;
    if (!PidfdUnavailable(error)) {
      SetLastError(error);
      return 0;
    }
    if (detail::ProcessIsGone(pid)) {
      SetLastError(ESRCH);
      return 0;
    }
  }
  std::shared_ptr<ProcessObject> process;
  try {
    process = std::make_shared<ProcessObject>(pid, pidfd);
  } catch (const std::bad_alloc&) {
    if (pidfd >= 0) close(pidfd);
    SetLastError(ENOMEM);
    return 0;
  }
  return detail::AddHandle(std::move(process));
}

pid_t CurrentProcessId() { return getpid(); }

}  // namespace kovos
