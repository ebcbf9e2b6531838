#include "gamma_variate.h"

#include <cmath>
#include <cstdint>

#include "base/engine_status.h"
#include "uniform.h"

namespace kov::da {
namespace {

constexpr float kInverseE = 0.36787942f;
constexpr float kE = 2.718282f;

// The uniform generator inlined over a local copy of the state.
class Stream {
 public:
  explicit Stream(std::int32_t state) : m_state(state) {}
  float Next() {
    m_state = NextState(m_state);
    return StateToUniform(m_state);
  }
  std::int32_t State() const { return m_state; }

 private:
  std::int32_t m_state;
};

float Single(double value) { return static_cast<float>(value); }

// The abort request takes a lock, far dearer than a proposal: it is asked once per 2^20 of them.
constexpr std::uint32_t kProposalsPerAbortProbe = 1u << 20;

bool g_abandoned = false;

// Counts the proposals of one variate; true when the loop should give up.
class AbortProbe {
 public:
  bool GivesUp() {
    if (++m_proposals % kProposalsPerAbortProbe != 0) return false;
    if (!run::AbortRequested()) return false;
    g_abandoned = true;
    return true;
  }

 private:
  std::uint32_t m_proposals = 0;
};

// Ahrens and Dieter's method for shapes below 1: the envelope is x^(a-1) on [0, 1] joined to
// e^-x beyond, mixed with weights 1 and a/e, so b = 1 + a/e.
float SmallShape(float a, Stream& stream) {
  const double shape = a;
  const float b = Single(1.0 + double{kInverseE} * shape);
  for (AbortProbe probe; !probe.GivesUp();) {
    const float u1 = stream.Next();
    const float p = Single(double{b} * u1);
    if (p <= 1.0f) {
      const float x = Single(std::pow(double{p}, 1.0 / shape));
      const float u2 = stream.Next();
      if (u2 <= std::pow(double{kE}, -double{x})) return x;
    } else {
      const float x = Single(-std::log((double{b} - p) / shape));
      const float u2 = stream.Next();
      if (u2 <= std::pow(double{x}, shape - 1.0)) return x;
    }
  }
  return 0.0f;
}

// Shapes of 1 or more: y is exponential, and a y has the gamma density once y is accepted with
// probability (y e^(1-y))^(a-1), the ratio of the two densities scaled to its maximum at y = 1.
float LargeShape(float a, Stream& stream) {
  const double shape = a;
  for (AbortProbe probe; !probe.GivesUp();) {
    const float u1 = stream.Next();
    const float u2 = stream.Next();
    const float y = Single(-std::log(double{u2}));
    const float v = Single(std::exp((shape - 1.0) * (std::log(double{y}) - y + 1.0)));
    if (u1 <= v) return Single(shape * y);
  }
  return 0.0f;
}

}  // namespace

float GammaVariate(float a) {
  if (g_abandoned) return 0.0f;
  Stream stream(GeneratorState());
  const float x = a >= 1.0f ? LargeShape(a, stream) : SmallShape(a, stream);
  SetGeneratorState(stream.State());
  return x;
}

bool GammaDrawAbandoned() { return g_abandoned; }

void ClearGammaDrawAbandoned() { g_abandoned = false; }

}  // namespace kov::da
