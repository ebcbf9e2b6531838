#include "handles.h"

#include <cerrno>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

namespace kovos {
namespace detail {
namespace {

// Handle values count up from 1 and come round again only after the largest one, so a
// handle that was closed fails cleanly instead of naming some newer thread or process.
class HandleTable {
 public:
  Handle Add(std::shared_ptr<KernelObject> object) {
    std::lock_guard lock(m_mutex);
    if (m_objects.size() >= static_cast<std::size_t>(std::numeric_limits<Handle>::max())) {
      SetLastError(EMFILE);
      return 0;
    }
    while (m_objects.contains(m_next)) Advance();
    const Handle handle = m_next;
    Advance();
    m_objects.emplace(handle, std::move(object));
    return handle;
  }

  std::shared_ptr<KernelObject> Find(Handle handle) {
    std::lock_guard lock(m_mutex);
    const auto found = m_objects.find(handle);
    return found == m_objects.end() ? nullptr : found->second;
  }

  std::shared_ptr<KernelObject> Remove(Handle handle) {
    std::lock_guard lock(m_mutex);
    const auto found = m_objects.find(handle);
    if (found == m_objects.end()) return nullptr;
    std::shared_ptr<KernelObject> object = std::move(found->second);
    m_objects.erase(found);
    return object;
  }

 private:
  void Advance() { m_next = m_next == std::numeric_limits<Handle>::max() ? 1 : m_next + 1; }

  std::mutex m_mutex;
  std::unordered_map<Handle, std::shared_ptr<KernelObject>> m_objects;
  Handle m_next = 1;
};

// Never destroyed: a detached worker may still close or wait on handles while the process
// runs its static destructors.
HandleTable& Table() {
  static HandleTable* const table = new HandleTable;
  return *table;
}

thread_local int t_lastError = 0;

}  // namespace

Handle AddHandle(std::shared_ptr<KernelObject> object) {
  try {
    return Table().Add(std::move(object));
  } catch (const std::bad_alloc&) {
    SetLastError(ENOMEM);
    return 0;
  }
}

std::shared_ptr<KernelObject> FindHandle(Handle handle) {
  std::shared_ptr<KernelObject> object = Table().Find(handle);
  if (object == nullptr) SetLastError(EBADF);
  return object;
}

}  // namespace detail

std::int32_t WaitForHandle(Handle handle, std::uint32_t timeoutMs) {
  const std::shared_ptr<detail::KernelObject> object = detail::FindHandle(handle);
  if (object == nullptr) return kWaitFailed;
  return object->Wait(timeoutMs);
}

bool CloseHandle(Handle handle) {
  const std::shared_ptr<detail::KernelObject> object = detail::Table().Remove(handle);
  if (object == nullptr) {
    SetLastError(EBADF);
    return false;
  }
  object->Release();
  return true;
}

int LastError() { return detail::t_lastError; }

void SetLastError(int error) { detail::t_lastError = error; }

}  // namespace kovos
