#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <new>

#include "handles.h"
#include "kovos.h"

namespace kovos {
namespace {

using detail::kInfinite;

// Per-thread nice values for the three priorities. Lowering a thread's priority never needs a
// privilege; raising it again may, and is then left undone (see ThreadObject::SetNice).
bool NiceFor(Priority priority, int* nice) {
  switch (priority) {
    case Priority::kLowest:
      *nice = 19;
      return true;
    case Priority::kBelowNormal:
      *nice = 10;
      return true;
    case Priority::kNormal:
      *nice = 0;
      return true;
  }
  return false;
}

// The stack size to ask pthreads for: whole pages and at least the system minimum, because
// pthread_attr_setstacksize refuses anything smaller instead of rounding it up.
int StackSizeFor(std::size_t requested, std::size_t* size) {
  const long page = sysconf(_SC_PAGESIZE);
  const std::size_t pageSize = page > 0 ? static_cast<std::size_t>(page) : 4096;
  const std::size_t wanted = std::max(requested, static_cast<std::size_t>(PTHREAD_STACK_MIN));
  if (wanted > std::numeric_limits<std::size_t>::max() - (pageSize - 1)) return EINVAL;
  *size = (wanted + pageSize - 1) / pageSize * pageSize;
  return 0;
}

// A pthread that waits at a gate until it is resumed, then runs its proc once.
class ThreadObject final : public detail::KernelObject {
 public:
  ThreadObject(ThreadProc proc, ThreadProc discard, void* argument)
      : m_proc(proc), m_discard(discard), m_argument(argument) {}

  // Starts the pthread and returns once it has reported its kernel thread id, so that the id
  // can be handed out and the priority set before the thread is resumed. 0 or an errno value.
  static int Start(const std::shared_ptr<ThreadObject>& self, std::size_t stackSize);

  // Constant once Start has succeeded.
  pid_t Tid() const { return m_tid; }

  void Resume() {
    std::lock_guard lock(m_mutex);
    if (m_state != State::kSuspended) return;
    m_state = State::kRunning;
    m_changed.notify_all();
  }

  bool SetNice(int nice) {
    // Holding the lock keeps the thread from ending meanwhile, so its tid cannot have passed to
    // some other thread of the system.
    std::lock_guard lock(m_mutex);
    if (m_state == State::kEnded) {
      SetLastError(ESRCH);
      return false;
    }
    if (setpriority(PRIO_PROCESS, m_tid, nice) == 0) return true;
    const int error = errno;
    // An unprivileged process may not raise a nice value it lowered before. The thread then
    // simply keeps the lower priority, which is never harmful to a run.
    if (error == EACCES || error == EPERM) return true;
    SetLastError(error);
    return false;
  }

  bool ExitCode(std::uint32_t* exitCode) {
    std::lock_guard lock(m_mutex);
    if (m_state != State::kEnded) {
      SetLastError(EAGAIN);
      return false;
    }
    *exitCode = m_exitCode;
    return true;
  }

  std::int32_t Wait(std::uint32_t timeoutMs) override {
    std::unique_lock lock(m_mutex);
    const auto ended = [this] { return m_state == State::kEnded; };
    if (timeoutMs == kInfinite) {
      m_changed.wait(lock, ended);
      return kWaitSignalled;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return m_changed.wait_until(lock, deadline, ended) ? kWaitSignalled : kWaitTimeout;
  }

  void Release() override {
    bool join = true;
    {
      std::lock_guard lock(m_mutex);
      if (m_state == State::kSuspended) {
        m_state = State::kAbandoned;
        m_changed.notify_all();
      } else if (m_state == State::kRunning) {
        join = false;
      }
    }
    // A thread that never ran or whose proc has returned is about to leave, so joining it is
    // quick and leaves nothing behind; a running thread frees itself when its proc returns.
    if (join) {
      pthread_join(m_thread, nullptr);
    } else {
      pthread_detach(m_thread);
    }
  }

 private:
  enum class State { kSuspended, kRunning, kAbandoned, kEnded };

  static void* Main(void* start);

  const ThreadProc m_proc;
  const ThreadProc m_discard;  // may be null
  void* const m_argument;
  pthread_t m_thread{};
  std::mutex m_mutex;
  std::condition_variable m_changed;
  State m_state = State::kSuspended;
  pid_t m_tid = 0;
  std::uint32_t m_exitCode = 0;
};

int ThreadObject::Start(const std::shared_ptr<ThreadObject>& self, std::size_t stackSize) {
  // The thread holds a reference of its own, so the object outlives a handle that is closed
  // while the thread still runs.
  auto reference = std::make_unique<std::shared_ptr<ThreadObject>>(self);
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error != 0) return error;
  if (stackSize != 0) {
    std::size_t size = 0;
    error = StackSizeFor(stackSize, &size);
    if (error == 0) error = pthread_attr_setstacksize(&attributes, size);
  }
  if (error == 0) {
    error = pthread_create(&self->m_thread, &attributes, &ThreadObject::Main, reference.get());
  }
  pthread_attr_destroy(&attributes);
  if (error != 0) return error;
  // The thread owns its reference from here and drops it when it ends.
  static_cast<void>(reference.release());

  std::unique_lock lock(self->m_mutex);
  self->m_changed.wait(lock, [&] { return self->m_tid != 0; });
  return 0;
}

void* ThreadObject::Main(void* start) {
  const std::unique_ptr<std::shared_ptr<ThreadObject>> reference(
      static_cast<std::shared_ptr<ThreadObject>*>(start));
  const std::shared_ptr<ThreadObject> self = *reference;
  bool abandoned = false;
  {
    std::unique_lock lock(self->m_mutex);
    self->m_tid = gettid();
    self->m_changed.notify_all();
    self->m_changed.wait(lock, [&] { return self->m_state != State::kSuspended; });
    abandoned = self->m_state == State::kAbandoned;
  }
  if (abandoned) {
    // Release joins this thread, so the discard has run when CloseHandle returns.
    if (self->m_discard != nullptr) self->m_discard(self->m_argument);
    std::lock_guard lock(self->m_mutex);
    self->m_state = State::kEnded;
    self->m_changed.notify_all();
    return nullptr;
  }
  const std::uint32_t exitCode = self->m_proc(self->m_argument);
  std::lock_guard lock(self->m_mutex);
  self->m_exitCode = exitCode;
  self->m_state = State::kEnded;
  self->m_changed.notify_all();
  return nullptr;
}

}  // namespace

Handle CreateSuspendedThread(std::size_t stackSize, ThreadProc proc, void* argument,
                             std::uint32_t* threadId) {
  return CreateSuspendedThreadWithDiscard(stackSize, proc, nullptr, argument, threadId);
}

Handle CreateSuspendedThreadWithDiscard(std::size_t stackSize, ThreadProc proc, ThreadProc discard,
                                        void* argument, std::uint32_t* threadId) {
  if (threadId != nullptr) *threadId = 0;
  if (proc == nullptr) {
    SetLastError(EINVAL);
    return 0;
  }
  std::shared_ptr<ThreadObject> thread;
  try {
    thread = std::make_shared<ThreadObject>(proc, discard, argument);
    const int error = ThreadObject::Start(thread, stackSize);
    if (error != 0) {
      SetLastError(error);
      return 0;
    }
  } catch (const std::bad_alloc&) {
    SetLastError(ENOMEM);
    return 0;
  }
  const Handle handle = detail::AddHandle(thread);
  if (handle == 0) {
    const int error = LastError();
    thread->Release();
    SetLastError(error);
    return 0;
  }
  if (threadId != nullptr) *threadId = static_cast<std::uint32_t>(thread->Tid());
  return handle;
}

bool ResumeThread(Handle thread) {
  const std::shared_ptr<ThreadObject> object = detail::FindHandleOf<ThreadObject>(thread);
  if (object == nullptr) return false;
  object->Resume();
  return true;
}

bool SetThreadPriority(Handle thread, Priority priority) {
  int nice = 0;
  if (!NiceFor(priority, &nice)) {
    SetLastError(EINVAL);
    return false;
  }
  const std::shared_ptr<ThreadObject> object = detail::FindHandleOf<ThreadObject>(thread);
  return object != nullptr && object->SetNice(nice);
}

bool GetExitCode(Handle thread, std::uint32_t* exitCode) {
  if (exitCode == nullptr) {
    SetLastError(EINVAL);
    return false;
  }
  const std::shared_ptr<ThreadObject> object = detail::FindHandleOf<ThreadObject>(thread);
  return object != nullptr && object->ExitCode(exitCode);
}

}  // namespace kovos
