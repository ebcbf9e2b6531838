#include "uniform.h"

namespace kov::da {
namespace {

constexpr std::int32_t kModulus = 2147483647;  // 2^31 - 1
constexpr std::int32_t kMultiplier = 16807;

std::int32_t g_state = 0;

// The low 32 bits as a signed value: what a 32-bit register holds after the operation.
constexpr std::int32_t Wrap32(std::int64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

}  // namespace

std::int32_t NextState(std::int32_t x) {
  // Divisions round towards zero, as C++ integer division does.
  const std::int32_t hi = x / 65536;
  const std::int32_t lo = x - 65536 * hi;
  const std::int32_t p = Wrap32(std::int64_t{kMultiplier} * lo);
  const std::int32_t q = Wrap32(std::int64_t{kMultiplier} * hi + p / 65536);
  const std::int32_t r = Wrap32(std::int64_t{p - 65536 * (p / 65536)} +
                                std::int64_t{65536} * (q - 32768 * (q / 32768)) + q / 32768);
  const std::int32_t reduced = Wrap32(std::int64_t{r} - kModulus);
  return reduced < 0 ? r : reduced;
}

float StateToUniform(std::int32_t state) {
  // The product is exact in double; the cast is the only rounding.
  return static_cast<float>(static_cast<double>(state) * 0x1p-31);
}

float NextUniform(std::int32_t reseed) {
  if (reseed != 0) g_state = reseed;
  g_state = NextState(g_state);
  return StateToUniform(g_state);
}

std::int32_t GeneratorState() { return g_state; }

void SetGeneratorState(std::int32_t state) { g_state = state; }

}  // namespace kov::da
