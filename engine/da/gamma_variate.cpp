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
    constexpr std::int64_t kModulus = 2147483647;  // 2^31 - 1
    if (m_state > 0 && m_state < kModulus) {
      // The exact product, with 2^31 taken as 1 modulo 2^31 - 1: NextState's value for every
      // state of the generator's cycle, at a third of the cost.
      const std::int64_t product = std::int64_t{m_state} * 16807;
      std::int64_t x = (product & kModulus) + (product >> 31);
      if (x >= kModulus) x -= kModulus;
      m_state = static_cast<std::int32_t>(x);
    } else {
      m_state = NextState(m_state);
    }
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

// The proposals of a large shape that no u1 can accept, told from u2 alone. The acceptance
// value v is exp((a - 1) g(y)) with g(y) = ln y - y + 1, and g lies below -(y - 1)^2 / 2 for y < 1
// and below -(y - 1)^2 / (2 y) for y > 1. Outside the window where (a - 1) times that bound
// stays above -30, v is below e^-25 (rounding of y, g and the exponent included), while every u1
// but that of the state 0 is at least 2^-31: the full test would refuse the proposal as well.
// y = -ln u2 falls as u2 rises, so the window is an interval of u2.
class RefusalWindow {
 public:
  explicit RefusalWindow(double shape) {
    // Beyond 10^7 the window would approach the spacing of the single-precision y.
    if (!(shape > 1.0 && shape <= 1e7)) return;
    const double k = 60.0 / (shape - 1.0);
    const double yAbove = ((2.0 + k) + std::sqrt((2.0 + k) * (2.0 + k) - 4.0)) / 2.0;
    const double yBelow = 1.0 - std::sqrt(k);
    m_uBelow = std::exp(-yAbove);
    m_uAbove = yBelow > 0.0 ? std::exp(-yBelow) : 2.0;
  }
  bool Refuses(float u1, float u2) const { return u1 > 0.0f && (u2 < m_uBelow || u2 > m_uAbove); }

 private:
  double m_uBelow = -1.0;
  double m_uAbove = 2.0;
};

// Shapes of 1 or more: y is exponential, and a y has the gamma density once y is accepted with
// probability (y e^(1-y))^(a-1), the ratio of the two densities scaled to its maximum at y = 1.
float LargeShape(float a, Stream& stream) {
  const double shape = a;
  const RefusalWindow window(shape);
  for (AbortProbe probe; !probe.GivesUp();) {
    const float u1 = stream.Next();
    const float u2 = stream.Next();
    if (window.Refuses(u1, u2)) continue;
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
