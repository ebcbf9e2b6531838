// The process-wide handle table behind kovos::Handle. Internal to libkovos.
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>

#include "kovos.h"

namespace kovos::detail {

// A wait of this many milliseconds never times out.
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

// Something a handle can name: a thread of ours or a process we wait on.
class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // kWaitSignalled once the object has ended, kWaitTimeout when timeoutMs passed first,
  // kWaitFailed with the last error set.
  virtual std::int32_t Wait(std::uint32_t timeoutMs) = 0;
  // Called once, when the handle is removed from the table. Waits that already hold the
  // object keep it alive until they return.
  virtual void Release() = 0;
};

// Enters the object and returns its new handle, or 0 with the last error set.
Handle AddHandle(std::shared_ptr<KernelObject> object);

// The object behind a handle, or null with the last error set to EBADF.
std::shared_ptr<KernelObject> FindHandle(Handle handle);

// The object behind a handle of the wanted kind. EBADF for an unknown handle, EINVAL for one
// that names another kind of object.
template <class Object>
std::shared_ptr<Object> FindHandleOf(Handle handle) {
  std::shared_ptr<KernelObject> object = FindHandle(handle);
  if (object == nullptr) return nullptr;
  std::shared_ptr<Object> wanted = std::dynamic_pointer_cast<Object>(object);
  if (wanted == nullptr) SetLastError(EINVAL);
  return wanted;
}

}  // namespace kovos::detail
