#include "uniform.h"

namespace kov::da {
namespace {

std::int32_t g_state = 0;

}  // namespace

float NextUniform(std::int32_t reseed) {
  if (reseed != 0) g_state = reseed;
  g_state = NextState(g_state);
  return StateToUniform(g_state);
}

std::int32_t GeneratorState() { return g_state; }

void SetGeneratorState(std::int32_t state) { g_state = state; }

}  // namespace kov::da
