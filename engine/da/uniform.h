// The engine's uniform random numbers: the multiplicative congruential generator
// x' = 16807 x mod (2^31 - 1), computed in 32-bit integer arithmetic.
//
// The state is one signed 32-bit integer for the whole engine, 0 when the library is loaded. It
// is advanced only by NextUniform and GammaVariate and is never reset between runs: a data
// augmentation run seeds it once, before its first draw, and so a run is reproducible from its
// seed. Only the worker thread draws, one run at a time, so the state has no lock.
#pragma once

#include <cstdint>

namespace kov::da {

// The generator runs through every state from 1 to 2^31 - 2 before it comes round again; these
// are also the only seeds it can start from (its modulus, 2^31 - 1, is followed by 0 for ever).
inline constexpr std::int32_t kGeneratorPeriod = 2147483646;

// Advances the state: a nonzero reseed replaces the state first (every call that passes one
// reseeds; the run passes its seed once and 0 afterwards). Returns the new state times 2^-31 in
// single precision, a number in [0, 1]: exactly 1.0 for states of 2147483584 and above, 0.0 only
// for the state 0.
float NextUniform(std::int32_t reseed);

// The state that follows x, by the generator's 32-bit arithmetic: Schrage-style splitting into
// 16-bit halves, so that no product leaves 32 bits; sums that do wrap around as two's
// complement, exactly as the 32-bit registers would, which still gives 16807 x mod (2^31 - 1)
// for every x in [1, 2^31 - 2].
inline std::int32_t NextState(std::int32_t x) {
  // The low 32 bits as a signed value: what a 32-bit register holds after the operation.
  const auto wrap32 = [](std::int64_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
  };
  constexpr std::int32_t kModulus = 2147483647;  // 2^31 - 1
  constexpr std::int32_t kMultiplier = 16807;
  // Divisions round towards zero, as C++ integer division does.
  const std::int32_t hi = x / 65536;
  const std::int32_t lo = x - 65536 * hi;
  const std::int32_t p = wrap32(std::int64_t{kMultiplier} * lo);
  const std::int32_t q = wrap32(std::int64_t{kMultiplier} * hi + p / 65536);
  const std::int32_t r = wrap32(std::int64_t{p - 65536 * (p / 65536)} +
                                std::int64_t{65536} * (q - 32768 * (q / 32768)) + q / 32768);
  const std::int32_t reduced = wrap32(std::int64_t{r} - kModulus);
  return reduced < 0 ? r : reduced;
}

// The uniform number of a state: state x 2^-31, rounded once to single precision.
inline float StateToUniform(std::int32_t state) {
  // The product is exact in double; the cast is the only rounding.
  return static_cast<float>(static_cast<double>(state) * 0x1p-31);
}

// The process-wide state, read and replaced as a whole (for GammaVariate, which works on a copy
// and stores it back, and for tests that need a known starting point).
std::int32_t GeneratorState();
void SetGeneratorState(std::int32_t state);

}  // namespace kov::da
