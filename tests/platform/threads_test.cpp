// Threads and handles of libkovos: the suspended start, exit codes, timed waits, stack sizes,
// priorities, and what closing a handle does to its thread.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <latch>
#include <memory>
#include <string>
#include <thread>

#include "kovos.h"

namespace {

// Long enough never to be reached by a working wait, short enough to fail a broken one.
constexpr std::uint32_t kLongWaitMs = 5000;

struct RunRecord {
  std::atomic<bool> ran{false};
  std::atomic<pid_t> tid{0};
};

std::uint32_t RecordRun(void* argument) {
  auto* record = static_cast<RunRecord*>(argument);
  record->tid = gettid();
  record->ran = true;
  return 0xFFFFFFFEu;  // the top bit set and the bottom one clear: truncation or sign shows
}

// Creates a thread with the stack size, runs proc to its end and returns its exit code.
std::uint32_t RunToEnd(std::size_t stackSize, kovos::ThreadProc proc) {
  const kovos::Handle thread = kovos::CreateSuspendedThread(stackSize, proc, nullptr, nullptr);
  EXPECT_GT(thread, 0);
  EXPECT_TRUE(kovos::ResumeThread(thread));
  EXPECT_EQ(kovos::WaitForHandle(thread, kLongWaitMs), kovos::kWaitSignalled);
  std::uint32_t exitCode = 0;
  EXPECT_TRUE(kovos::GetExitCode(thread, &exitCode));
  EXPECT_TRUE(kovos::CloseHandle(thread));
  return exitCode;
}

TEST(Threads, RunOnlyAfterResumeAndDeliverTheirExitCode) {
  RunRecord record;
  std::uint32_t threadId = 0;
  const kovos::Handle thread = kovos::CreateSuspendedThread(0, RecordRun, &record, &threadId);
  ASSERT_GT(thread, 0);
  EXPECT_NE(threadId, 0u);

  // A suspended thread never ends, so the wait lasts its whole time-out.
  const std::uint64_t start = kovos::TickCount();
  EXPECT_EQ(kovos::WaitForHandle(thread, 50), kovos::kWaitTimeout);
  EXPECT_GE(kovos::TickCount() - start, 50u);
  EXPECT_FALSE(record.ran);
  std::uint32_t exitCode = 0;
  EXPECT_FALSE(kovos::GetExitCode(thread, &exitCode));

  ASSERT_TRUE(kovos::ResumeThread(thread));
  EXPECT_TRUE(kovos::ResumeThread(thread));
  ASSERT_EQ(kovos::WaitForHandle(thread, kLongWaitMs), kovos::kWaitSignalled);
  EXPECT_TRUE(record.ran);
  EXPECT_EQ(static_cast<pid_t>(threadId), record.tid.load());
  ASSERT_TRUE(kovos::GetExitCode(thread, &exitCode));
  EXPECT_EQ(exitCode, 0xFFFFFFFEu);
  EXPECT_EQ(kovos::WaitForHandle(thread, 0), kovos::kWaitSignalled);
  EXPECT_TRUE(kovos::CloseHandle(thread));
}

// Writes one byte in every page of a 4 MiB automatic array, page k holding k mod 256, and adds
// them up: 1024 pages make four rounds of 0 + 1 + ... + 255 = 32640, so 130560.
std::uint32_t TouchFourMiB(void*) {
  constexpr std::size_t kPage = 4096;
  volatile unsigned char block[4 << 20];
  for (std::size_t at = 0; at < sizeof block; at += kPage) {
    block[at] = static_cast<unsigned char>(at / kPage);
  }
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < sizeof block; at += kPage) sum += block[at];
  return sum;
}

std::uint32_t ReportStackKiB(void*) {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
  std::size_t size = 0;
  pthread_attr_getstacksize(&attributes, &size);
  pthread_attr_destroy(&attributes);
  return static_cast<std::uint32_t>(size / 1024);
}

TEST(Threads, GetTheStackSizeTheyAskFor) {
  EXPECT_EQ(RunToEnd(5242880, TouchFourMiB), 130560u);
  EXPECT_GE(RunToEnd(5242880, ReportStackKiB), 5120u);
  // 200000 bytes round up to whole pages, far below the megabytes of a default stack.
  const std::uint32_t smallKiB = RunToEnd(200000, ReportStackKiB);
  EXPECT_GE(smallKiB, 196u);
  EXPECT_LT(smallKiB, 1024u);
}

TEST(Threads, AFailedCreationReportsTheSystemError) {
  // No address space holds a 2^50-byte stack: pthread_create answers EAGAIN.
  std::uint32_t threadId = 12345;
  kovos::SetLastError(0);
  EXPECT_EQ(kovos::CreateSuspendedThread(std::size_t{1} << 50, RecordRun, nullptr, &threadId), 0);
  EXPECT_EQ(threadId, 0u);
  EXPECT_EQ(kovos::LastError(), EAGAIN);
}

int NiceOf(pid_t tid) {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, tid);
  EXPECT_EQ(errno, 0);
  return nice;
}

// A raise of a nice value may be refused by the kernel, and then it is no error: the thread
// keeps its old value. Anything else must be the wanted value.
void ExpectNiceOrRefusedRaise(pid_t tid, int wanted, int old) {
  const int nice = NiceOf(tid);
  if (nice == wanted) return;
  EXPECT_EQ(nice, old);
  EXPECT_LT(wanted, old);
  EXPECT_EQ(setpriority(PRIO_PROCESS, tid, wanted), -1) << "the raise was possible";
}

// Reports the proc's own nice value + 20, which keeps the exit code positive.
std::uint32_t ReportNice(void*) {
  return static_cast<std::uint32_t>(getpriority(PRIO_PROCESS, 0) + 20);
}

std::uint32_t WaitForRelease(void* argument) {
  static_cast<std::latch*>(argument)->wait();
  return 0;
}

TEST(Threads, PriorityIsThePerThreadNiceValue) {
  std::uint32_t tid = 0;
  kovos::Handle thread = kovos::CreateSuspendedThread(0, ReportNice, nullptr, &tid);
  ASSERT_GT(thread, 0);
  ASSERT_TRUE(kovos::SetThreadPriority(thread, kovos::Priority::kLowest));
  EXPECT_EQ(NiceOf(static_cast<pid_t>(tid)), 19);
  ASSERT_TRUE(kovos::ResumeThread(thread));
  ASSERT_EQ(kovos::WaitForHandle(thread, kLongWaitMs), kovos::kWaitSignalled);
  std::uint32_t exitCode = 0;
  ASSERT_TRUE(kovos::GetExitCode(thread, &exitCode));
  EXPECT_EQ(exitCode, 19u + 20u);
  EXPECT_TRUE(kovos::CloseHandle(thread));

  // On a running thread: below normal, then normal again. This thread's own nice is untouched.
  const int ours = NiceOf(0);
  std::latch release(1);
  thread = kovos::CreateSuspendedThread(0, WaitForRelease, &release, &tid);
  ASSERT_GT(thread, 0);
  // No ASSERT from here on: the worker must be released before `release` goes out of scope.
  EXPECT_TRUE(kovos::ResumeThread(thread));
  const pid_t worker = static_cast<pid_t>(tid);
  EXPECT_EQ(NiceOf(worker), ours);
  EXPECT_TRUE(kovos::SetThreadPriority(thread, kovos::Priority::kBelowNormal));
  ExpectNiceOrRefusedRaise(worker, 10, ours);
  const int belowNormal = NiceOf(worker);
  EXPECT_TRUE(kovos::SetThreadPriority(thread, kovos::Priority::kNormal));
  ExpectNiceOrRefusedRaise(worker, 0, belowNormal);
  EXPECT_EQ(NiceOf(0), ours);
  release.count_down();
  EXPECT_EQ(kovos::WaitForHandle(thread, kLongWaitMs), kovos::kWaitSignalled);
  EXPECT_TRUE(kovos::CloseHandle(thread));
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::_Exit(1);
}

// Without the right to raise nice values (a zero limit, and no root), going back to normal
// priority is refused by the kernel, yet counts as success and leaves the thread at 19.
void CheckRefusedRaiseIsNoError() {
  const rlimit none{0, 0};
  if (setrlimit(RLIMIT_NICE, &none) != 0) Fail("setrlimit failed");
  if (geteuid() == 0 && setuid(65534) != 0) Fail("setuid failed");
  std::uint32_t tid = 0;
  const kovos::Handle thread = kovos::CreateSuspendedThread(0, ReportNice, nullptr, &tid);
  if (thread <= 0) Fail("no thread");
  if (!kovos::SetThreadPriority(thread, kovos::Priority::kLowest)) Fail("lowest failed");
  if (!kovos::SetThreadPriority(thread, kovos::Priority::kNormal)) Fail("normal failed");
  if (getpriority(PRIO_PROCESS, static_cast<pid_t>(tid)) != 19) Fail("nice was raised");
  std::_Exit(0);
}

TEST(ThreadsDeathTest, ARefusedPriorityRaiseIsNoError) {
  // A fresh process for the dropped privileges, started by exec rather than by a plain fork of
  // this one, which has threads.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(CheckRefusedRaiseIsNoError(), testing::ExitedWithCode(0), "");
}

TEST(Handles, UnknownClosedAndWrongKindHandlesFail) {
  std::uint32_t exitCode = 0;
  for (const kovos::Handle bad : {0, -1, 0x7FFFFFFF}) {
    kovos::SetLastError(0);
    EXPECT_EQ(kovos::WaitForHandle(bad, 0), kovos::kWaitFailed);
    EXPECT_EQ(kovos::LastError(), EBADF);
    EXPECT_FALSE(kovos::ResumeThread(bad));
    EXPECT_FALSE(kovos::SetThreadPriority(bad, kovos::Priority::kLowest));
    EXPECT_FALSE(kovos::GetExitCode(bad, &exitCode));
    EXPECT_FALSE(kovos::CloseHandle(bad));
  }

  const kovos::Handle thread = kovos::CreateSuspendedThread(0, RecordRun, nullptr, nullptr);
  const kovos::Handle process = kovos::OpenProcessForWait(kovos::CurrentProcessId());
  ASSERT_GT(thread, 0);
  ASSERT_GT(process, 0);
  EXPECT_NE(thread, process);
  kovos::SetLastError(0);
  EXPECT_FALSE(kovos::ResumeThread(process));
  EXPECT_EQ(kovos::LastError(), EINVAL);
  EXPECT_FALSE(kovos::GetExitCode(process, &exitCode));
  EXPECT_TRUE(kovos::CloseHandle(process));

  EXPECT_TRUE(kovos::CloseHandle(thread));
  EXPECT_FALSE(kovos::CloseHandle(thread));
  EXPECT_EQ(kovos::WaitForHandle(thread, 0), kovos::kWaitFailed);
  EXPECT_FALSE(kovos::ResumeThread(thread));
}

TEST(Handles, LastErrorBelongsToTheCallingThread) {
  kovos::SetLastError(ENOENT);
  std::thread other([] {
    EXPECT_EQ(kovos::LastError(), 0);
    EXPECT_FALSE(kovos::CloseHandle(0));
    EXPECT_EQ(kovos::LastError(), EBADF);
  });
  other.join();
  EXPECT_EQ(kovos::LastError(), ENOENT);
}

bool ThreadExists(std::uint32_t tid) {
  return std::filesystem::exists("/proc/self/task/" + std::to_string(tid));
}

TEST(Handles, ClosingReclaimsSuspendedAndEndedThreads) {
  RunRecord never;
  RunRecord ended;
  std::uint32_t suspendedTid = 0;
  const kovos::Handle suspended =
      kovos::CreateSuspendedThread(0, RecordRun, &never, &suspendedTid);
  const kovos::Handle finished = kovos::CreateSuspendedThread(0, RecordRun, &ended, nullptr);
  ASSERT_GT(suspended, 0);
  ASSERT_GT(finished, 0);
  EXPECT_TRUE(ThreadExists(suspendedTid));
  ASSERT_TRUE(kovos::ResumeThread(finished));
  ASSERT_EQ(kovos::WaitForHandle(finished, kLongWaitMs), kovos::kWaitSignalled);

  // The suspended thread is gone, not merely let go, when CloseHandle returns, and it never ran
  // its proc.
  EXPECT_TRUE(kovos::CloseHandle(suspended));
  EXPECT_FALSE(ThreadExists(suspendedTid));
  EXPECT_TRUE(kovos::CloseHandle(finished));
  EXPECT_FALSE(never.ran);
  EXPECT_TRUE(ended.ran);
}

TEST(Handles, ClosingASuspendedThreadRunsItsDiscardInsteadOfItsProc) {
  // The discard gets what was handed to the thread, and has run when CloseHandle returns.
  struct Case {
    bool resumed;
    bool ran;
    bool discarded;
  };
  for (const Case c : {Case{false, false, true}, Case{true, true, false}}) {
    RunRecord proc, discard;
    auto both = std::make_pair(&proc, &discard);
    const kovos::Handle thread = kovos::CreateSuspendedThreadWithDiscard(
        0, [](void* argument) { return RecordRun(static_cast<decltype(both)*>(argument)->first); },
        [](void* argument) { return RecordRun(static_cast<decltype(both)*>(argument)->second); },
        &both, nullptr);
    ASSERT_GT(thread, 0);
    if (c.resumed) {
      ASSERT_TRUE(kovos::ResumeThread(thread));
      ASSERT_EQ(kovos::WaitForHandle(thread, kLongWaitMs), kovos::kWaitSignalled);
    }
    EXPECT_TRUE(kovos::CloseHandle(thread));
    EXPECT_EQ(proc.ran, c.ran);
    EXPECT_EQ(discard.ran, c.discarded);
  }
}

struct HandOff {
  std::latch release{1};
  std::latch done{1};
};

// Owns a reference to the hand-off so that the test may drop its own as soon as `done` opens.
std::uint32_t FinishAfterRelease(void* argument) {
  const std::unique_ptr<std::shared_ptr<HandOff>> reference(
      static_cast<std::shared_ptr<HandOff>*>(argument));
  const std::shared_ptr<HandOff> handOff = *reference;
  handOff->release.wait();
  handOff->done.count_down();
  return 0;
}

TEST(Handles, ARunningThreadOutlivesItsHandle) {
  const auto handOff = std::make_shared<HandOff>();
  auto* reference = new std::shared_ptr<HandOff>(handOff);
  const kovos::Handle thread =
      kovos::CreateSuspendedThread(0, FinishAfterRelease, reference, nullptr);
  ASSERT_GT(thread, 0);
  ASSERT_TRUE(kovos::ResumeThread(thread));
  EXPECT_TRUE(kovos::CloseHandle(thread));
  handOff->release.count_down();
  handOff->done.wait();
}

}  // namespace
