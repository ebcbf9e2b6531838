// libkovos: the few operating-system services that the engine and the run host share.
//
// Threads and processes are addressed through small positive integer handles kept in one
// process-wide table, so that a handle made in the engine (the worker thread) is valid in the
// run host that waits on it and closes it. Handle 0 is never valid. Handle values count up and
// are not used again until the count wraps, so a handle that was closed fails (EBADF) rather
// than naming a newer thread or process. Every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#define KOVOS_API __attribute__((visibility("default")))

namespace kovos {

using Handle = std::int32_t;
using ThreadProc = std::uint32_t (*)(void* argument);

enum class Priority { kLowest, kBelowNormal, kNormal };

// Results of WaitForHandle.
inline constexpr std::int32_t kWaitSignalled = 0;
inline constexpr std::int32_t kWaitTimeout = 258;
inline constexpr std::int32_t kWaitFailed = -1;

// Creates a thread with the given stack size that does not run `proc` until ResumeThread.
// The size is rounded up to whole pages and to the system minimum; 0 takes the default size.
// Returns its handle and stores a nonzero identifier (the kernel thread id) in *threadId, or
// returns 0 (threadId 0) and sets the last error to the system's errno (EAGAIN when no thread
// or stack could be had). threadId may be null.
KOVOS_API Handle CreateSuspendedThread(std::size_t stackSize, ThreadProc proc, void* argument,
                                       std::uint32_t* threadId);
// The same, and when the handle is closed before the thread was ever resumed, `discard` runs
// with the argument instead of `proc` (on the thread, before CloseHandle returns), so that
// whatever was handed to the thread is not lost.
KOVOS_API Handle CreateSuspendedThreadWithDiscard(std::size_t stackSize, ThreadProc proc,
                                                  ThreadProc discard, void* argument,
                                                  std::uint32_t* threadId);

// Lets a suspended thread run. Resuming a running thread does nothing. False for a bad handle.
KOVOS_API bool ResumeThread(Handle thread);

// Lowers (or restores) the scheduling priority of a thread through its per-thread nice value:
// kLowest 19, kBelowNormal 10, kNormal 0. Works before and after ResumeThread; never needs
// privileges: a raise that the system refuses is ignored (the thread keeps its lower priority)
// and still counts as success. False for a bad handle or a thread that has ended.
KOVOS_API bool SetThreadPriority(Handle thread, Priority priority);

// Waits until the thread or process has ended, at most timeoutMs milliseconds; 0xFFFFFFFF
// waits without limit. A thread has ended when its ThreadProc has returned; a thread that was
// never resumed never ends. kWaitSignalled, kWaitTimeout or kWaitFailed (bad handle; last
// error set).
KOVOS_API std::int32_t WaitForHandle(Handle handle, std::uint32_t timeoutMs);

// The exit code of an ended thread (the value its ThreadProc returned). False while it has not
// ended (last error EAGAIN), and for a process handle (EINVAL).
KOVOS_API bool GetExitCode(Handle thread, std::uint32_t* exitCode);

// Releases a handle. A thread that is still running goes on and cleans up after itself;
// a never-resumed thread is resumed into a no-op, and it and an ended thread are reclaimed
// before CloseHandle returns. False (EBADF) for a handle that is not open.
KOVOS_API bool CloseHandle(Handle handle);

// The calling thread's last error value (an errno number), and setting it. The functions above
// set it when they fail and leave it alone when they succeed.
KOVOS_API int LastError();
KOVOS_API void SetLastError(int error);

// Opens a process of this machine for waiting on with WaitForHandle. 0 when there is none
// (last error ESRCH). A process that has ended but not yet been reaped counts as ended.
KOVOS_API Handle OpenProcessForWait(pid_t pid);

KOVOS_API pid_t CurrentProcessId();

// Milliseconds from a fixed point in the past, monotonic.
KOVOS_API std::uint64_t TickCount();

}  // namespace kovos
