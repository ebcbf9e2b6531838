#include <chrono>
#include <cstdint>

#include "kovos.h"

namespace kovos {

std::uint64_t TickCount() {
  // steady_clock, unlike the system clock, never jumps when the date is set.
  const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count());
}

}  // namespace kovos
