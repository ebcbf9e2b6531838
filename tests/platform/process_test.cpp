// Waiting on processes: a child that ends when told, our own process, a pid that is gone, and
// the polling path taken where pidfd_open is missing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "kovos.h"
#include "process_poll.h"

namespace {

constexpr std::uint32_t kLongWaitMs = 5000;

// A child process that ends as soon as the write end of its pipe is closed.
struct Child {
  pid_t pid = -1;
  int pipeWrite = -1;
};

Child StartChildThatEndsOnEof() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(ends[1]);
    char byte = 0;
    while (read(ends[0], &byte, 1) > 0) {
    }
    _exit(0);
  }
  close(ends[0]);
  return {pid, ends[1]};
}

TEST(Processes, AWaitEndsWhenTheChildEnds) {
  const Child child = StartChildThatEndsOnEof();
  ASSERT_GT(child.pid, 0);
  const kovos::Handle process = kovos::OpenProcessForWait(child.pid);
  ASSERT_GT(process, 0);
  EXPECT_EQ(kovos::WaitForHandle(process, 30), kovos::kWaitTimeout);

  close(child.pipeWrite);
  EXPECT_EQ(kovos::WaitForHandle(process, kLongWaitMs), kovos::kWaitSignalled);
  int status = 0;
  ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
  EXPECT_EQ(kovos::WaitForHandle(process, 0), kovos::kWaitSignalled);
  EXPECT_TRUE(kovos::CloseHandle(process));

  // Reaped, the pid names no process any more.
  kovos::SetLastError(0);
  EXPECT_EQ(kovos::OpenProcessForWait(child.pid), 0);
  EXPECT_EQ(kovos::LastError(), ESRCH);
}

TEST(Processes, OurOwnProcessDoesNotEndDuringAWait) {
  EXPECT_EQ(kovos::CurrentProcessId(), getpid());
  const kovos::Handle process = kovos::OpenProcessForWait(kovos::CurrentProcessId());
  ASSERT_GT(process, 0);
  const std::uint64_t start = kovos::TickCount();
  EXPECT_EQ(kovos::WaitForHandle(process, 20), kovos::kWaitTimeout);
  EXPECT_GE(kovos::TickCount() - start, 20u);
  EXPECT_TRUE(kovos::CloseHandle(process));
}

TEST(Processes, PollingTakesZombiesAndReapedChildrenAsEnded) {
  const Child child = StartChildThatEndsOnEof();
  ASSERT_GT(child.pid, 0);
  EXPECT_FALSE(kovos::detail::ProcessHasEnded(child.pid));
  EXPECT_EQ(kovos::detail::WaitByPolling(child.pid, 20), kovos::kWaitTimeout);

  // Not reaped yet, the child is a zombie that kill(pid, 0) still finds.
  close(child.pipeWrite);
  EXPECT_EQ(kovos::detail::WaitByPolling(child.pid, kLongWaitMs), kovos::kWaitSignalled);
  EXPECT_EQ(kill(child.pid, 0), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
  EXPECT_TRUE(kovos::detail::ProcessHasEnded(child.pid));
  EXPECT_FALSE(kovos::detail::ProcessHasEnded(getpid()));
}

}  // namespace
