#include "estep.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "scaling.h"

namespace kov::em {

namespace {

using input::ModelDimensions;

constexpr std::size_t Size(std::int32_t n) { return static_cast<std::size_t>(n > 0 ? n : 0); }
// An index or count known not to be negative, in the recursions' inner loops.
constexpr std::size_t Index(std::int32_t n) { return static_cast<std::size_t>(n); }

// The number of statuses: the compiled one, or the model's when none was compiled for it.
template <int kStatuses>
std::size_t StatusCount(std::int32_t statuses) {
  return kStatuses > 0 ? static_cast<std::size_t>(kStatuses) : Size(statuses);
}

// Elementwise operations over n doubles, each entry computed exactly as the plain loop would
// (the same operations in the same order, no contraction). With the count compiled in (kN > 0)
// they run on whole vectors of four, then two, then one entry, which the compiler does not find
// by itself once it has unrolled the short loops into scalars; with kN == 0 they are the plain
// loops over the n read at run time.
using Lanes4 = double __attribute__((vector_size(32)));
using Lanes2 = double __attribute__((vector_size(16)));

template <typename V>
[[gnu::always_inline]] inline void Load(V& v, const double* p) {
  std::memcpy(&v, p, sizeof v);
}
template <typename V>
[[gnu::always_inline]] inline void Store(double* p, const V& v) {
  std::memcpy(p, &v, sizeof v);
}

template <int kN, typename Op>
[[gnu::always_inline]] inline void ForLanes(std::size_t n, Op op) {
  if constexpr (kN > 0) {
    std::size_t x = 0;
    for (; x + 4 <= Size(kN); x += 4) op.template operator()<Lanes4>(x);
    if (Size(kN) - x >= 2) {
      op.template operator()<Lanes2>(x);
      x += 2;
    }
    if (x < Size(kN)) op.template operator()<double>(x);
  } else {
    for (std::size_t x = 0; x < n; ++x) op.template operator()<double>(x);
  }
}

// to += from
template <int kN>
[[gnu::always_inline]] inline void AddTo(double* to, const double* from, std::size_t n) {
  ForLanes<kN>(n, [&]<typename V>(std::size_t x) {
    V a, b;
    Load(a, to + x);
    Load(b, from + x);
    a = a + b;
    Store(to + x, a);
  });
}

// to += u * v
template <int kN>
[[gnu::always_inline]] inline void AddProducts(double* to, const double* u, const double* v,
                                               std::size_t n) {
  ForLanes<kN>(n, [&]<typename V>(std::size_t x) {
    V a, b, c;
    Load(a, to + x);
    Load(b, u + x);
    Load(c, v + x);
    a = a + b * c;
    Store(to + x, a);
  });
}

// to += k * v
template <int kN>
[[gnu::always_inline]] inline void AddMultiple(double* to, double k, const double* v,
                                               std::size_t n) {
  ForLanes<kN>(n, [&]<typename V>(std::size_t x) {
    V a, c;
    Load(a, to + x);
    Load(c, v + x);
    a = a + k * c;
    Store(to + x, a);
  });
}

// to *= v
template <int kN>
[[gnu::always_inline]] inline void MultiplyBy(double* to, const double* v, std::size_t n) {
  ForLanes<kN>(n, [&]<typename V>(std::size_t x) {
    V a, c;
    Load(a, to + x);
    Load(c, v + x);
    a = a * c;
    Store(to + x, a);
  });
}

// to = u * v
template <int kN>
[[gnu::always_inline]] inline void Products(double* to, const double* u, const double* v,
                                            std::size_t n) {
  ForLanes<kN>(n, [&]<typename V>(std::size_t x) {
    V b, c;
    Load(b, u + x);
    Load(c, v + x);
    b = b * c;
    Store(to + x, b);
  });
}

// to = k * u * v, k times u first
template <int kN>
[[gnu::always_inline]] inline void ScaledProducts(double* to, double k, const double* u,
                                                  const double* v, std::size_t n) {
  ForLanes<kN>(n, [&]<typename V>(std::size_t x) {
    V b, c;
    Load(b, u + x);
    Load(c, v + x);
    b = k * b * c;
    Store(to + x, b);
  });
}

// to = k * u
template <int kN>
[[gnu::always_inline]] inline void Multiples(double* to, double k, const double* u,
                                             std::size_t n) {
  ForLanes<kN>(n, [&]<typename V>(std::size_t x) {
    V b;
    Load(b, u + x);
    b = k * b;
    Store(to + x, b);
  });
}

// Room for one occasion's states (pairs of statuses for a second-order process) on the stack,
// where the compiler knows that it aliases no array and can keep it in registers; with the
// count read at run time the work arrays stand in.
template <int kStatuses>
struct Scratch {
  static constexpr std::size_t kSize = kStatuses > 0 ? Size(kStatuses) * Size(kStatuses) : 1;
};

// Calls body with a number of statuses or classes as a compile-time constant when it is one of
// the small counts the recursions are compiled for, and with 0 (the count read at run time)
// otherwise.
template <typename Body>
decltype(auto) WithSmallCount(std::int32_t count, Body body) {
  switch (count) {
    case 2: return body(std::integral_constant<int, 2>{});
    case 3: return body(std::integral_constant<int, 3>{});
    case 4: return body(std::integral_constant<int, 4>{});
    case 5: return body(std::integral_constant<int, 5>{});
    case 6: return body(std::integral_constant<int, 6>{});
    default: return body(std::integral_constant<int, 0>{});
  }
}

// Occasions whose status items a pattern holds.
std::int32_t ItemOccasions(const ModelDimensions& dims) {
  return dims.HasStatuses() ? ModelDimensions::Positive(dims.occasions) : 0;
}

// Occasions of the latent process: without status items the status is never measured and the
// process has a single occasion.
std::int32_t LatentOccasions(const ModelDimensions& dims) {
  return std::max<std::int32_t>(ItemOccasions(dims), 1);
}

bool SecondOrder(const ModelDimensions& dims) {
  return dims.order == 2 && LatentOccasions(dims) >= 2;
}

// Transition rows that the occasions use: S per transition for a first-order process; the first
// S, then S x S per transition, for a second-order one.
std::int32_t RowsUsed(const ModelDimensions& dims) {
  const std::int32_t occasions = LatentOccasions(dims);
  if (occasions < 2) return 0;
  const std::int32_t s = dims.statuses;
  return SecondOrder(dims) ? s + (occasions - 2) * s * s : (occasions - 1) * s;
}

// One TAU entry as the recursions see it: with a single status every transition is certain,
// and a row that the array lacks has no probability.
double TauValue(const ModelDimensions& dims, const input::ParameterSet& values, std::int32_t row,
                std::int32_t j, std::int32_t c) {
  if (dims.statuses == 1) return 1.0;
  if (row >= dims.TransitionRows()) return 0.0;
  return values.tau[input::TauShape(dims)(row, j, c)];
}

}  // namespace

EStep::EStep(const input::Model& model)
    : m_dims(model.dims),
      m_categories(ItemCategoryCounts(model)),
      m_classes(std::max<std::int32_t>(model.dims.classes, 1)),
      m_statuses(std::max<std::int32_t>(model.dims.statuses, 1)),
      m_classItems(ModelDimensions::Positive(model.dims.classItems)),
      m_statusItems(ModelDimensions::Positive(model.dims.statusItems)),
      m_itemOccasions(ItemOccasions(model.dims)),
      m_occasions(LatentOccasions(model.dims)),
      m_secondOrder(SecondOrder(model.dims)),
      m_rows(RowsUsed(model.dims)),
      m_tableRows(model.dims.TransitionRows()),
      m_classCategories(ModelDimensions::Positive(model.dims.maxClassCategories)),
      m_statusCategories(ModelDimensions::Positive(model.dims.maxStatusCategories)) {
  const std::size_t c = Size(m_classes);
  const std::size_t s = Size(m_statuses);
  m_stateStride = m_secondOrder ? m_statuses * m_statuses : m_statuses;
  const std::size_t classItemSlots = c * Size(m_classItems);
  const std::size_t statusItemSlots = c * Size(m_itemOccasions) * Size(m_statusItems);

  m_gamma.assign(c, 0.0);
  m_delta.assign(c * s, 0.0);
  m_tau.assign(c * Size(m_rows) * s, 0.0);
  m_tauForward.assign(m_tau.size(), 0.0);
  m_classRho.assign(classItemSlots * (Size(m_classCategories) + 1), 0.0);
  m_classRhoByClass.assign(m_classRho.size(), 0.0);
  m_classSpread.assign(classItemSlots * Size(m_classCategories), 0.0);
  m_statusRho.assign(statusItemSlots * (Size(m_statusCategories) + 1) * s, 0.0);
  m_statusSpread.assign(statusItemSlots * Size(m_statusCategories) * s, 0.0);

  PrepareWork(&m_work);
}

void EStep::PrepareWork(Work* work) const {
  const std::size_t c = Size(m_classes);
  const std::size_t s = Size(m_statuses);
  const std::size_t t = Size(m_occasions);
  const std::size_t states = Size(m_stateStride);
  work->classFactor.assign(c, 0.0);
  work->classExponent.assign(c, 0);
  work->emission.assign(c * t * s, 1.0);
  work->emissionExponent.assign(c * t, 0);
  work->statusExponent.assign(s, 0);
  work->alpha.assign(c * t * states, 0.0);
  work->alphaExponent.assign(c * t, 0);
  work->classProbability.assign(c, 0.0);
  work->classPosterior.assign(c, 0.0);
  work->patternExponent = 0;
  work->beta.assign(states, 0.0);
  work->betaNext.assign(states, 0.0);
  work->scaled.assign(states, 0.0);
  work->pairPosterior.assign(states, 0.0);
  work->posterior.assign(s, 0.0);
  work->origin.assign(3 * s, 0.0);
  work->itemRows.assign(Size(m_statusItems), nullptr);
  work->knownResponses.assign(c * Size(m_itemOccasions) * Size(m_statusItems), 0);
  work->known.assign(c, 0);

  work->classCount.assign(c, 0.0);
  work->marginCount.assign(c * t * s, 0.0);
  work->tauCount.assign(m_tau.size(), 0.0);
  work->classRhoCount.assign(m_classSpread.size(), 0.0);
  work->statusRhoCount.assign(m_statusSpread.size(), 0.0);
}

std::size_t EStep::ForwardIndex(std::int32_t row, std::int32_t j) const {
  const std::size_t s = Size(m_statuses);
  // The block of the row: its first row and the row's place (a, or a and b) inside it.
  const bool pairRow = m_secondOrder && row >= m_statuses;
  const std::int32_t blockRows = pairRow ? m_statuses * m_statuses : m_statuses;
  const std::int32_t blockStart =
      pairRow ? row - (row - m_statuses) % blockRows : row - row % blockRows;
  const std::size_t local = Size(row - blockStart);
  const std::size_t start = Size(blockStart) * s;
  if (pairRow) return start + ((local % s) * s + Size(j)) * s + local / s;
  return start + Size(j) * s + local;
}

void EStep::SetParameters(const input::ParameterSet& values) {
  std::fill(m_work.known.begin(), m_work.known.end(), 0);
  const ModelDimensions& dims = m_dims;
  const std::int32_t kc = m_classCategories;
  const std::int32_t ks = m_statusCategories;
  const std::size_t s = Size(m_statuses);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    m_gamma[Size(c)] = values.gamma[input::GammaShape(dims)(c)];
    for (std::int32_t st = 0; st < m_statuses; ++st) {
      m_delta[Size(c) * s + Size(st)] =
          m_statuses == 1 ? 1.0 : values.delta[input::DeltaShape(dims)(c, st, 0)];
    }
    const std::size_t classStart = Size(c) * Size(m_rows) * s;
    for (std::int32_t row = 0; row < m_rows; ++row) {
      double* target = m_tau.data() + classStart + Size(row) * s;
      double* forward = m_tauForward.data() + classStart;
      for (std::int32_t j = 0; j < m_statuses; ++j) {
        const double value = TauValue(dims, values, row, j, c);
        target[j] = value;
        forward[ForwardIndex(row, j)] = value;
      }
    }
    for (std::int32_t j = 0; j < m_classItems; ++j) {
      const std::size_t slot = Size(c) * Size(m_classItems) + Size(j);
      const std::int32_t own = std::min(m_categories[Size(j)], kc);
      double* rho = m_classRho.data() + slot * Size(kc + 1);
      double* spread = m_classSpread.data() + slot * Size(kc);
      double sum = 0.0;
      for (std::int32_t y = 0; y < kc; ++y) {
        rho[y + 1] = values.littleRho[input::LittleRhoShape(dims)(y, j, c)];
        if (y < own) sum += rho[y + 1];
      }
      rho[0] = sum;
      for (std::int32_t y = 0; y < kc; ++y) spread[y] = sum > 0.0 ? rho[y + 1] / sum : 0.0;
      for (std::int32_t y = 0; y <= kc; ++y) {
        m_classRhoByClass[(Size(j) * Size(kc + 1) + Size(y)) * Size(m_classes) + Size(c)] =
            rho[y];
      }
    }
    for (std::int32_t t = 0; t < m_itemOccasions; ++t) {
      for (std::int32_t i = 0; i < m_statusItems; ++i) {
        const std::size_t slot =
            (Size(c) * Size(m_itemOccasions) + Size(t)) * Size(m_statusItems) + Size(i);
        const std::int32_t own = std::min(m_categories[Size(m_classItems + i)], ks);
        double* rho = m_statusRho.data() + slot * Size(ks + 1) * s;
        double* spread = m_statusSpread.data() + slot * Size(ks) * s;
        for (std::int32_t st = 0; st < m_statuses; ++st) {
          double sum = 0.0;
          for (std::int32_t y = 0; y < ks; ++y) {
            const double value = values.bigRho[input::BigRhoShape(dims)(y, i, st, c, t)];
            rho[Size(y + 1) * s + Size(st)] = value;
            if (y < own) sum += value;
          }
          rho[Size(st)] = sum;
          for (std::int32_t y = 0; y < ks; ++y) {
            const double value = rho[Size(y + 1) * s + Size(st)];
            spread[Size(y) * s + Size(st)] = sum > 0.0 ? value / sum : 0.0;
          }
        }
      }
    }
  }
}

// The emissions of class c at occasion t: the product over the status items of each status.
// The items run in the outer loop so that the statuses' products advance side by side; only an
// occasion whose products fall below the rescaling bound is taken again with exponents.
template <int kStatuses>
[[gnu::always_inline]] inline void EStep::Emissions(const std::int32_t* responses,
                                                    std::int32_t c, std::int32_t t,
                                                    Work& work) const {
  const std::size_t s = StatusCount<kStatuses>(m_statuses);
  const std::size_t ks1 = Index(m_statusCategories + 1);
  const std::size_t ct = Index(c) * Index(m_occasions) + Index(t);
  double* e = work.emission.data() + ct * s;
  const std::int32_t* y = responses + m_classItems + t * m_statusItems;
  const double* table =
      m_statusRho.data() +
      (Index(c) * Index(m_itemOccasions) + Index(t)) * Index(m_statusItems) * ks1 * s;
  double local[Scratch<kStatuses>::kSize];
  double* product = kStatuses > 0 ? local : e;
  const std::size_t itemStride = ks1 * s;
  std::copy_n(table + static_cast<std::size_t>(y[0]) * s, s, product);
  const std::int32_t items = m_statusItems;
  for (std::int32_t i = 1; i < items; ++i) {
    const double* row = table + static_cast<std::size_t>(i) * itemStride;
    MultiplyBy<kStatuses>(product, row + static_cast<std::size_t>(y[i]) * s, s);
  }
  bool low = false;
  for (std::size_t d = 0; d < s; ++d) low |= product[d] < kRescaleBelow;
  if (kStatuses > 0) std::copy_n(product, s, e);
  work.emissionExponent[ct] = 0;
  if (!low) return;
  for (std::int32_t i = 0; i < m_statusItems; ++i) {
    work.itemRows[Index(i)] = table + (Index(i) * ks1 + Index(y[i])) * s;
  }
  ScaledEmissions(work.itemRows.data(), e, &work.emissionExponent[ct], work);
}

// The products of one occasion again, each status with its own exponent, then brought to the
// occasion's largest.
void EStep::ScaledEmissions(const double* const* rows, double* e, int* exponent,
                            Work& work) const {
  const std::size_t s = Size(m_statuses);
  int* exponents = work.statusExponent.data();
  int scaledAny = 0;
  for (std::size_t d = 0; d < s; ++d) {
    int own = 0;
    e[d] = ScaledProduct(rows[0][d], m_statusItems - 1,
                         [rows, d](int i) { return rows[i + 1][d]; }, &own);
    exponents[d] = own;
    scaledAny |= own;
  }
  int common = 0;
  if (scaledAny != 0) {
    bool any = false;
    for (std::size_t d = 0; d < s; ++d) {
      if (e[d] > 0.0 && (!any || exponents[d] > common)) common = exponents[d];
      any = any || e[d] > 0.0;
    }
    for (std::size_t d = 0; d < s; ++d) {
      if (exponents[d] != common) e[d] = TimesPowerOfTwo(e[d], exponents[d] - common);
    }
  }
  *exponent = common;
}

std::int32_t EStep::FirstNewOccasion(const std::int32_t* responses, std::int32_t c,
                                     Work& work) const {
  const std::size_t perOccasion = Index(m_statusItems);
  const std::size_t held = Index(m_itemOccasions) * perOccasion;
  std::int32_t* known = work.knownResponses.data() + Index(c) * held;
  const std::int32_t* y = responses + m_classItems;
  std::int32_t t = 0;
  if (work.known[Index(c)] != 0) {
    while (t < m_itemOccasions &&
           std::equal(y + Index(t) * perOccasion, y + Index(t + 1) * perOccasion,
                      known + Index(t) * perOccasion)) {
      ++t;
    }
    if (t == m_itemOccasions) return m_occasions;
  }
  work.known[Index(c)] = 1;
  std::copy(y + Index(t) * perOccasion, y + held, known + Index(t) * perOccasion);
  return t;
}

double EStep::CombineClasses(const int* exponents, Work& work) const {
  int common = 0;
  bool any = false;
  for (std::int32_t c = 0; c < m_classes; ++c) {
    if (!(work.classProbability[Size(c)] > 0.0)) continue;
    if (!any || exponents[c] > common) common = exponents[c];
    any = true;
  }
  double probability = 0.0;
  for (std::int32_t c = 0; c < m_classes; ++c) {
    double& term = work.classProbability[Size(c)];
    if (term > 0.0 && exponents[c] != common) term = TimesPowerOfTwo(term, exponents[c] - common);
    probability += term;
  }
  work.patternExponent = common;
  return probability;
}

// The forward recursion of every class: alpha at each occasion is the probability of the
// responses up to that occasion jointly with the current status (or pair of statuses), given
// the class. Returns the pattern probability (times 2^-patternExponent); keeps the per-class
// parts.
template <int kStatuses>
[[gnu::always_inline]] inline double EStep::Forward(const std::int32_t* responses,
                                                    Work& work) const {
  const std::size_t s = StatusCount<kStatuses>(m_statuses);
  const std::size_t states = m_secondOrder ? s * s : s;
  const std::size_t kc1 = Index(m_classCategories + 1);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    const double* classRho = m_classRho.data() + Index(c) * Index(m_classItems) * kc1;
    int factorExponent = 0;
    const double factor = ScaledProduct(
        m_gamma[Index(c)], m_classItems,
        [classRho, responses, kc1](int j) {
          return classRho[Index(j) * kc1 + Index(responses[j])];
        },
        &factorExponent);
    work.classFactor[Index(c)] = factor;
    work.classExponent[Index(c)] = factorExponent;
    if (factor == 0.0) {
      work.classProbability[Index(c)] = 0.0;
      continue;
    }

    // Patterns that share their first occasions share those occasions' emissions and forward
    // messages: only the occasions from the first new one on are computed.
    std::int32_t t = FirstNewOccasion(responses, c, work);
    for (std::int32_t u = t; u < m_itemOccasions; ++u) Emissions<kStatuses>(responses, c, u, work);
    const double* emission = work.emission.data() + Index(c) * Index(m_occasions) * s;
    const int* emissionExponent = work.emissionExponent.data() + Index(c) * Index(m_occasions);
    int* alphaExponent = work.alphaExponent.data() + Index(c) * Index(m_occasions);

    double* alpha = work.alpha.data() + Index(c) * Index(m_occasions) * states;
    const double* delta = m_delta.data() + Index(c) * s;
    const double* tau = m_tau.data() + Index(c) * Index(m_rows) * s;
    if (t == 0) {
      for (std::size_t d = 0; d < s; ++d) alpha[d] = delta[d] * emission[d];
      alphaExponent[0] = emissionExponent[0];
      KeepAbove(alpha, s, &alphaExponent[0]);
      t = 1;
    }
    if (m_secondOrder && t == 1) {
      // Occasion 2 over pairs (s1, s2): the first transition uses row s1.
      double* pair = alpha + states;
      const double* e = emission + s;
      for (std::size_t a = 0; a < s; ++a) {
        for (std::size_t b = 0; b < s; ++b) pair[a * s + b] = alpha[a] * tau[a * s + b] * e[b];
      }
      alphaExponent[1] = alphaExponent[0] + emissionExponent[1];
      KeepAbove(pair, states, &alphaExponent[1]);
      t = 2;
    }
    // Each destination's sum over the origins, in the origins' order, built for all
    // destinations at once from the rows of TAU.
    double local[Scratch<kStatuses>::kSize];
    for (; t < m_occasions; ++t) {
      const double* previous = alpha + Index(t - 1) * states;
      double* current = alpha + Index(t) * states;
      double* sum = kStatuses > 0 ? local : current;
      const double* e = emission + Index(t) * s;
      const std::size_t n = m_secondOrder ? states : s;
      // Each sum starts from its first term: the same bits as adding that term to 0, one
      // addition sooner on the path from one occasion to the next.
      if (m_secondOrder) {
        // From the pair (a, b) at t-1, t to (b, d) at t, t+1, by row S + (t-2) S^2 + aS + b
        // (occasions counted from 1).
        const double* block = tau + (s + Index(t - 2) * states) * s;
        for (std::size_t b = 0; b < s; ++b) {
          Multiples<kStatuses>(sum + b * s, previous[b], block + b * s, s);
          for (std::size_t a = 1; a < s; ++a) {
            const double from = previous[a * s + b];
            const double* row = block + (a * s + b) * s;
            AddMultiple<kStatuses>(sum + b * s, from, row, s);
          }
        }
        for (std::size_t b = 0; b < s; ++b) MultiplyBy<kStatuses>(sum + b * s, e, s);
      } else {
        const double* block = tau + Index(t - 1) * s * s;
        Multiples<kStatuses>(sum, previous[0], block, s);
        for (std::size_t a = 1; a < s; ++a) {
          AddMultiple<kStatuses>(sum, previous[a], block + a * s, s);
        }
        MultiplyBy<kStatuses>(sum, e, s);
      }
      double largest = 0.0;
      for (std::size_t x = 0; x < n; ++x) largest = sum[x] > largest ? sum[x] : largest;
      if (kStatuses > 0) std::copy_n(sum, n, current);
      alphaExponent[t] = alphaExponent[t - 1] + emissionExponent[t];
      if (largest < kRescaleBelow) {
        KeepAbove(current, m_secondOrder ? states : s, largest, &alphaExponent[t]);
      }
    }
    const double* last = alpha + Index(m_occasions - 1) * states;
    const std::size_t lastStates = m_occasions == 1 ? s : states;
    double sum = 0.0;
    for (std::size_t x = 0; x < lastStates; ++x) sum += last[x];
    work.classProbability[Index(c)] = factor * sum;
    // The exponent of the class's term, kept until the classes are combined.
    work.classExponent[Index(c)] = factorExponent + alphaExponent[m_occasions - 1];
  }
  const double probability = CombineClasses(work.classExponent.data(), work);
  // Back to the factor's own exponent, which Backward needs.
  for (std::int32_t c = 0; c < m_classes; ++c) {
    if (work.classFactor[Index(c)] == 0.0) continue;
    work.classExponent[Index(c)] -= work.alphaExponent[Index(c) * Index(m_occasions) +
                                                      Index(m_occasions - 1)];
  }
  return probability;
}

// The class terms of a model with latent classes only, all classes side by side: each class's
// product runs through its item probabilities in the items' order, as ScaledProduct's first
// pass would, and only a pattern whose product falls below the rescaling bound in some class
// is taken again with exponents.
template <int kClasses>
[[gnu::always_inline]] inline double EStep::ClassTerms(const std::int32_t* responses,
                                                       Work& work) const {
  const std::size_t classes = kClasses > 0 ? Index(kClasses) : Index(m_classes);
  const std::size_t kc1 = Index(m_classCategories + 1);
  double local[kClasses > 0 ? kClasses : 1];
  double* term = kClasses > 0 ? local : work.classProbability.data();
  double* start = work.classFactor.data();
  Products<kClasses>(start, m_gamma.data(), m_delta.data(), classes);
  std::copy_n(start, classes, term);
  const std::int32_t items = m_classItems;
  for (std::int32_t j = 0; j < items; ++j) {
    const double* row = m_classRhoByClass.data() + (Index(j) * kc1 + Index(responses[j])) * classes;
    MultiplyBy<kClasses>(term, row, classes);
  }
  bool low = false;
  for (std::size_t c = 0; c < classes; ++c) low |= !(term[c] >= kRescaleBelow) && start[c] != 0.0;
  if (low) return ClassTermsScaled(responses, work);
  if (kClasses > 0) std::copy_n(term, classes, work.classProbability.data());
  std::fill_n(work.classExponent.data(), classes, 0);
  return CombineClasses(work.classExponent.data(), work);
}

double EStep::ClassTermsScaled(const std::int32_t* responses, Work& work) const {
  const std::size_t kc1 = Size(m_classCategories + 1);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    const double* classRho = m_classRho.data() + Size(c) * Size(m_classItems) * kc1;
    int exponent = 0;
    const double term = ScaledProduct(
        m_gamma[Size(c)] * m_delta[Size(c)], m_classItems,
        [classRho, responses, kc1](int j) {
          return classRho[Size(j) * kc1 + Size(responses[j])];
        },
        &exponent);
    work.classProbability[Size(c)] = term;
    work.classExponent[Size(c)] = exponent;
  }
  return CombineClasses(work.classExponent.data(), work);
}

// A class whose term is 0 adds 0 to every observed response's count (the sum is unchanged), and
// is passed over where a missing response spreads its posterior.
template <int kClasses>
[[gnu::always_inline]] inline void EStep::AccumulateClasses(const std::int32_t* responses,
                                                            double weight, Work& work) const {
  const std::size_t classes = kClasses > 0 ? Index(kClasses) : Index(m_classes);
  const std::size_t kc = Index(m_classCategories);
  const double* term = work.classProbability.data();
  double local[kClasses > 0 ? kClasses : 1];
  double* posterior = kClasses > 0 ? local : work.classPosterior.data();
  Multiples<kClasses>(posterior, weight, term, classes);
  AddTo<kClasses>(work.classCount.data(), posterior, classes);
  // One occasion and one status: the margins are the class counts again.
  AddTo<kClasses>(work.marginCount.data(), posterior, classes);
  const std::int32_t items = m_classItems;
  for (std::int32_t j = 0; j < items; ++j) {
    double* counts = work.classRhoCount.data() + Index(j) * kc * classes;
    if (responses[j] > 0) {
      AddTo<kClasses>(counts + Index(responses[j] - 1) * classes, posterior, classes);
      continue;
    }
    const std::size_t own = std::min(Size(m_categories[Index(j)]), kc);
    for (std::size_t c = 0; c < classes; ++c) {
      if (term[c] == 0.0) continue;
      const double* spread = m_classSpread.data() + (c * Index(m_classItems) + Index(j)) * kc;
      for (std::size_t k = 0; k < own; ++k) counts[k * classes + c] += posterior[c] * spread[k];
    }
  }
}

// The backward recursion of every class after Forward, adding weight times the posterior
// counts: weight is n / P (P without its factor 2^patternExponent), so each class adds
// n P(class, statuses | pattern). Every product of a forward message, a backward message and
// the class factor is brought to its true scale through the one multiplier k that stands in
// front of it.
//
// Each step back builds the backward messages of all origins at once from TAU's columns (the
// sum over the destinations in their order, as a row's dot product would take it), and adds
// the transition counts in the same column layout, which StoreCounts undoes.
template <int kStatuses>
[[gnu::always_inline]] inline void EStep::Backward(const std::int32_t* responses, double weight,
                                                   Work& work) const {
  const std::size_t s = StatusCount<kStatuses>(m_statuses);
  const std::size_t states = m_secondOrder ? s * s : s;
  for (std::int32_t c = 0; c < m_classes; ++c) {
    if (work.classProbability[Index(c)] == 0.0) continue;
    const double k = weight * work.classFactor[Index(c)];
    const int kExponent = work.classExponent[Index(c)] - work.patternExponent;
    const double* emission = work.emission.data() + Index(c) * Index(m_occasions) * s;
    const int* emissionExponent = work.emissionExponent.data() + Index(c) * Index(m_occasions);
    const double* alpha = work.alpha.data() + Index(c) * Index(m_occasions) * states;
    const int* alphaExponent = work.alphaExponent.data() + Index(c) * Index(m_occasions);
    const double* tauForward = m_tauForward.data() + Index(c) * Index(m_rows) * s;
    double* tauCount = work.tauCount.data() + Index(c) * Index(m_rows) * s;
    constexpr std::size_t kLocal = Scratch<kStatuses>::kSize;
    constexpr int kPairs = kStatuses * kStatuses;
    constexpr bool kOnStack = kStatuses > 0;
    double betaLocal[kLocal], nextLocal[kLocal], scaledLocal[kLocal], posteriorLocal[kLocal];
    double originLocal[kLocal], sumsLocal[kLocal], termsLocal[kLocal], pairLocal[kLocal];
    double* beta = kOnStack ? betaLocal : work.beta.data();
    double* next = kOnStack ? nextLocal : work.betaNext.data();
    double* scaled = kOnStack ? scaledLocal : work.scaled.data();
    double* posterior = kOnStack ? posteriorLocal : work.posterior.data();
    // kStep x alpha of each origin; the sums of one step; the terms of one destination.
    double* origin = kOnStack ? originLocal : work.origin.data();
    double* sums = kOnStack ? sumsLocal : work.origin.data() + s;
    double* terms = kOnStack ? termsLocal : work.origin.data() + 2 * s;
    double classPosterior = 0.0;
    int betaExponent = 0;

    if (m_secondOrder) {
      double* pairPosterior = kOnStack ? pairLocal : work.pairPosterior.data();
      std::fill_n(beta, states, 1.0);
      for (std::int32_t t = m_occasions - 1; t >= 1; --t) {
        const double* current = alpha + Index(t) * states;
        const double kt = TimesPowerOfTwo(k, kExponent + alphaExponent[t] + betaExponent);
        ScaledProducts<kPairs>(pairPosterior, kt, current, beta, states);
        std::fill_n(posterior, s, 0.0);
        for (std::size_t a = 0; a < s; ++a) AddTo<kStatuses>(posterior, pairPosterior + a * s, s);
        AccumulateOccasion<kStatuses>(responses, c, t, posterior, work);
        const double* e = emission + Index(t) * s;
        if (t >= 2) {
          // Pairs (a, b) at t-2, t-1 (counted from 0) move to d by row S + (t-2) S^2 + aS + b.
          for (std::size_t b = 0; b < s; ++b) {
            Products<kStatuses>(scaled + b * s, e, beta + b * s, s);
          }
          const int scaledExponent = emissionExponent[t] + betaExponent;
          const double kStep =
              TimesPowerOfTwo(k, kExponent + alphaExponent[t - 1] + scaledExponent);
          const double* previous = alpha + Index(t - 1) * states;
          const std::size_t first = s + Index(t - 2) * states;
          double largest = 0.0;
          for (std::size_t b = 0; b < s; ++b) {
            for (std::size_t a = 0; a < s; ++a) origin[a] = kStep * previous[a * s + b];
            for (std::size_t d = 0; d < s; ++d) {
              const double g = scaled[b * s + d];
              const double* column = tauForward + (first + b * s + d) * s;
              double* count = tauCount + (first + b * s + d) * s;
              // The sums start from the first destination's terms, as in Forward.
              double* into = d == 0 ? sums : terms;
              Multiples<kStatuses>(into, g, column, s);
              if (d > 0) AddTo<kStatuses>(sums, terms, s);
              AddProducts<kStatuses>(count, origin, into, s);
            }
            for (std::size_t a = 0; a < s; ++a) {
              next[a * s + b] = sums[a];
              largest = sums[a] > largest ? sums[a] : largest;
            }
          }
          std::swap(beta, next);
          betaExponent = scaledExponent;
          if (largest < kRescaleBelow) KeepAbove(beta, states, largest, &betaExponent);
        } else {
          // The first transition: the posterior of the pair (s1, s2) is its count.
          for (std::size_t a = 0; a < s; ++a) {
            for (std::size_t b = 0; b < s; ++b) tauCount[b * s + a] += pairPosterior[a * s + b];
          }
          std::fill_n(posterior, s, 0.0);
          for (std::size_t a = 0; a < s; ++a) {
            double sum = 0.0;
            for (std::size_t b = 0; b < s; ++b) sum += pairPosterior[a * s + b];
            posterior[a] = sum;
            classPosterior += sum;
          }
          AccumulateOccasion<kStatuses>(responses, c, 0, posterior, work);
        }
      }
    } else {
      std::fill_n(beta, s, 1.0);
      for (std::int32_t t = m_occasions - 1;; --t) {
        const double* current = alpha + Index(t) * states;
        const double kt = TimesPowerOfTwo(k, kExponent + alphaExponent[t] + betaExponent);
        ScaledProducts<kStatuses>(posterior, kt, current, beta, s);
        AccumulateOccasion<kStatuses>(responses, c, t, posterior, work);
        if (t == 0) {
          for (std::size_t x = 0; x < s; ++x) classPosterior += posterior[x];
          break;
        }
        const double* e = emission + Index(t) * s;
        Products<kStatuses>(scaled, e, beta, s);
        const int scaledExponent = emissionExponent[t] + betaExponent;
        const double kStep = TimesPowerOfTwo(k, kExponent + alphaExponent[t - 1] + scaledExponent);
        const double* previous = alpha + Index(t - 1) * states;
        Multiples<kStatuses>(origin, kStep, previous, s);
        const std::size_t first = Index(t - 1) * s;
        for (std::size_t d = 0; d < s; ++d) {
          const double g = scaled[d];
          const double* column = tauForward + (first + d) * s;
          double* count = tauCount + (first + d) * s;
          // The sums start from the first destination's terms, as in Forward.
          double* into = d == 0 ? next : terms;
          Multiples<kStatuses>(into, g, column, s);
          if (d > 0) AddTo<kStatuses>(next, terms, s);
          AddProducts<kStatuses>(count, origin, into, s);
        }
        double largest = 0.0;
        for (std::size_t a = 0; a < s; ++a) largest = next[a] > largest ? next[a] : largest;
        std::swap(beta, next);
        betaExponent = scaledExponent;
        if (largest < kRescaleBelow) KeepAbove(beta, s, largest, &betaExponent);
      }
    }
    work.classCount[Index(c)] += classPosterior;
    AccumulateClassItems(responses, c, classPosterior, work);
  }
}

template <int kStatuses>
[[gnu::always_inline]] inline void EStep::AccumulateOccasion(const std::int32_t* responses,
                                                             std::int32_t c, std::int32_t t,
                                                             const double* posterior,
                                                             Work& work) const {
  const std::size_t s = StatusCount<kStatuses>(m_statuses);
  double* margin = work.marginCount.data() + (Index(c) * Index(m_occasions) + Index(t)) * s;
  AddTo<kStatuses>(margin, posterior, s);
  if (t >= m_itemOccasions) return;
  const std::size_t itemStride = Index(m_statusCategories) * s;
  const std::size_t slot = (Index(c) * Index(m_itemOccasions) + Index(t)) * Index(m_statusItems);
  const std::int32_t* y = responses + m_classItems + t * m_statusItems;
  double* counts = work.statusRhoCount.data() + slot * itemStride;
  const std::int32_t items = m_statusItems;
  for (std::int32_t i = 0; i < items; ++i) {
    double* count = counts + static_cast<std::size_t>(i) * itemStride;
    const std::int32_t response = y[i];
    if (response > 0) {
      AddTo<kStatuses>(count + static_cast<std::size_t>(response - 1) * s, posterior, s);
      continue;
    }
    const double* spread = m_statusSpread.data() + (slot + Index(i)) * itemStride;
    const std::size_t own =
        std::min(Index(m_categories[Index(m_classItems + i)]), Index(m_statusCategories));
    for (std::size_t k = 0; k < own; ++k) {
      AddProducts<kStatuses>(count + k * s, posterior, spread + k * s, s);
    }
  }
}

void EStep::AccumulateClassItems(const std::int32_t* responses, std::int32_t c,
                                 double posterior, Work& work) const {
  const std::size_t kc = Size(m_classCategories);
  const std::size_t classes = Size(m_classes);
  for (std::int32_t j = 0; j < m_classItems; ++j) {
    double* count = work.classRhoCount.data() + Size(j) * kc * classes + Size(c);
    if (responses[j] > 0) {
      count[Size(responses[j] - 1) * classes] += posterior;
      continue;
    }
    const double* spread = m_classSpread.data() + (Size(c) * Size(m_classItems) + Size(j)) * kc;
    const std::size_t own = std::min(Size(m_categories[Size(j)]), kc);
    for (std::size_t k = 0; k < own; ++k) count[k * classes] += posterior * spread[k];
  }
}

namespace {

void AddTo(const std::vector<double>& part, std::vector<double>* total) {
  for (std::size_t i = 0; i < part.size(); ++i) (*total)[i] += part[i];
}

void ZeroAccumulators(EStep::Work* work) {
  for (std::vector<double>* a : {&work->classCount, &work->marginCount, &work->tauCount,
                                 &work->classRhoCount, &work->statusRhoCount}) {
    std::fill(a->begin(), a->end(), 0.0);
  }
}

}  // namespace

double EStep::Run(const input::ParameterSet& values, const GroupedPatterns& grouped,
                  ExpectedCounts* counts, std::vector<double>* probabilities,
                  std::vector<double>* logProbabilities) {
  SetParameters(values);
  const input::PatternTable& patterns = grouped.patterns;
  const std::size_t patternCount = Size(patterns.patternCount);
  if (probabilities != nullptr) probabilities->assign(patternCount, 0.0);
  if (logProbabilities != nullptr) logProbabilities->assign(patternCount, 0.0);
  double* probabilityOut = probabilities != nullptr ? probabilities->data() : nullptr;
  double* logOut = logProbabilities != nullptr ? logProbabilities->data() : nullptr;
  const bool accumulate = counts != nullptr;
  if (accumulate) ZeroAccumulators(&m_work);

  const std::size_t blocks = run::FixedBlockCount(patternCount);
  if (blocks == 1) {
    const BlockSums sums =
        RunBlock(patterns, 0, patternCount, accumulate, &m_work, probabilityOut, logOut);
    if (accumulate) StoreCounts(sums.frequency, m_work, counts);
    return sums.logLikelihood;
  }

  if (m_blockWork.size() != blocks) {
    m_blockWork.resize(blocks);
    for (Work& work : m_blockWork) PrepareWork(&work);
  }
  if (!m_pool) m_pool = std::make_unique<run::BlockPool>(run::EngineThreadCount());
  std::vector<BlockSums> blockSums(blocks);
  m_pool->Run(blocks, [&](std::size_t b) {
    const std::size_t begin = patternCount * b / blocks;
    const std::size_t end = patternCount * (b + 1) / blocks;
    Work& work = m_blockWork[b];
    if (accumulate) ZeroAccumulators(&work);
    blockSums[b] = RunBlock(patterns, begin, end, accumulate, &work, probabilityOut, logOut);
  });
  BlockSums sums;
  for (std::size_t b = 0; b < blocks; ++b) {
    sums.frequency += blockSums[b].frequency;
    sums.logLikelihood += blockSums[b].logLikelihood;
    if (!accumulate) continue;
    const Work& part = m_blockWork[b];
    AddTo(part.classCount, &m_work.classCount);
    AddTo(part.marginCount, &m_work.marginCount);
    AddTo(part.tauCount, &m_work.tauCount);
    AddTo(part.classRhoCount, &m_work.classRhoCount);
    AddTo(part.statusRhoCount, &m_work.statusRhoCount);
  }
  if (accumulate) StoreCounts(sums.frequency, m_work, counts);
  return sums.logLikelihood;
}

EStep::BlockSums EStep::RunBlock(const input::PatternTable& patterns, std::size_t begin,
                                 std::size_t end, bool accumulate, Work* work,
                                 double* probabilities, double* logProbabilities) const {
  std::fill(work->known.begin(), work->known.end(), 0);
  static const bool wide = __builtin_cpu_supports("avx2");
  if (ClassesOnly()) {
    return WithSmallCount(m_classes, [&](auto classes) {
      constexpr int kClasses = decltype(classes)::value;
      return wide ? RunPatternsWide<0, kClasses>(patterns, begin, end, accumulate, work,
                                                 probabilities, logProbabilities)
                  : RunPatternsPlain<0, kClasses>(patterns, begin, end, accumulate, work,
                                                  probabilities, logProbabilities);
    });
  }
  return WithSmallCount(m_statuses, [&](auto statuses) {
    constexpr int kStatuses = decltype(statuses)::value;
    return wide ? RunPatternsWide<kStatuses, 0>(patterns, begin, end, accumulate, work,
                                                probabilities, logProbabilities)
                : RunPatternsPlain<kStatuses, 0>(patterns, begin, end, accumulate, work,
                                                 probabilities, logProbabilities);
  });
}

// The same loop compiled for 256-bit vectors where the processor has them: the statuses' loops
// then take four statuses per instruction. The arithmetic is the same operation for operation
// (no contraction into fused multiply-adds), so both give the same bits.
template <int kStatuses, int kClasses>
__attribute__((target("avx2"))) EStep::BlockSums EStep::RunPatternsWide(
    const input::PatternTable& patterns, std::size_t begin, std::size_t end, bool accumulate,
    Work* work, double* probabilities, double* logProbabilities) const {
  return RunPatterns<kStatuses, kClasses>(patterns, begin, end, accumulate, work, probabilities,
                                logProbabilities);
}

template <int kStatuses, int kClasses>
EStep::BlockSums EStep::RunPatternsPlain(const input::PatternTable& patterns, std::size_t begin,
                                         std::size_t end, bool accumulate, Work* work,
                                         double* probabilities,
                                         double* logProbabilities) const {
  return RunPatterns<kStatuses, kClasses>(patterns, begin, end, accumulate, work, probabilities,
                                logProbabilities);
}

template <int kStatuses, int kClasses>
[[gnu::always_inline]] inline EStep::BlockSums EStep::RunPatterns(
    const input::PatternTable& patterns, std::size_t begin, std::size_t end, bool accumulate,
    Work* work, double* probabilities, double* logProbabilities) const {
  BlockSums sums;
  const bool classesOnly = ClassesOnly();
  for (std::size_t q = begin; q < end; ++q) {
    const std::int32_t* responses = patterns.Pattern(static_cast<std::int32_t>(q));
    const double frequency = patterns.frequencies[q];
    sums.frequency += frequency;
    // The probability is `scaled` x 2^exponent.
    const double scaled = classesOnly ? ClassTerms<kClasses>(responses, *work)
                                      : Forward<kStatuses>(responses, *work);
    const int exponent = work->patternExponent;
    const double logProbability = scaled > 0.0 ? LogOfScaled(scaled, exponent)
                                               : -std::numeric_limits<double>::infinity();
    if (probabilities != nullptr) probabilities[q] = TimesPowerOfTwo(scaled, exponent);
    if (logProbabilities != nullptr) logProbabilities[q] = logProbability;
    // A pattern the model cannot produce (or one with no subjects) has no posterior.
    if (!(scaled > 0.0) || !(frequency > 0.0)) continue;
    sums.logLikelihood += frequency * logProbability;
    if (!accumulate) continue;
    const double weight = frequency / scaled;
    if (!std::isfinite(weight)) continue;
    if (classesOnly) {
      AccumulateClasses<kClasses>(responses, weight, *work);
    } else {
      Backward<kStatuses>(responses, weight, *work);
    }
  }
  return sums;
}

void EStep::StoreCounts(double total, const Work& work, ExpectedCounts* counts) const {
  const ModelDimensions& dims = m_dims;
  const std::size_t s = Size(m_statuses);
  counts->total = total;

  counts->classCounts.assign(input::GammaShape(dims).Size(), 0.0);
  for (std::int32_t c = 0; c < m_classes; ++c) counts->classCounts[Size(c)] = work.classCount[Size(c)];
  if (!dims.HasClasses() && m_classes == 1) counts->classCounts[0] = total;

  const auto deltaShape = input::DeltaShape(dims);
  counts->statusMargins.assign(deltaShape.Size(), 0.0);
  const std::int32_t marginOccasions =
      std::min<std::int32_t>(m_occasions, static_cast<std::int32_t>(deltaShape.Extent(2)));
  for (std::int32_t c = 0; c < m_classes; ++c) {
    for (std::int32_t t = 0; t < marginOccasions; ++t) {
      for (std::int32_t st = 0; st < m_statuses; ++st) {
        counts->statusMargins[deltaShape(c, st, t)] =
            work.marginCount[(Size(c) * Size(m_occasions) + Size(t)) * s + Size(st)];
      }
    }
  }

  const auto tauShape = input::TauShape(dims);
  counts->transitionCounts.assign(tauShape.Size(), 0.0);
  const std::int32_t rows = std::min(m_rows, m_tableRows);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    for (std::int32_t row = 0; row < rows; ++row) {
      const double* count = work.tauCount.data() + Size(c) * Size(m_rows) * s;
      for (std::int32_t j = 0; j < m_statuses; ++j) {
        counts->transitionCounts[tauShape(row, j, c)] = count[ForwardIndex(row, j)];
      }
    }
  }

  const auto littleShape = input::LittleRhoShape(dims);
  counts->littleRhoCounts.assign(littleShape.Size(), 0.0);
  const std::size_t kc = Size(m_classCategories);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    for (std::int32_t j = 0; j < m_classItems; ++j) {
      const double* count = work.classRhoCount.data() + Size(j) * kc * Size(m_classes) + Size(c);
      for (std::size_t k = 0; k < kc; ++k) {
        counts->littleRhoCounts[littleShape(k, j, c)] = count[k * Size(m_classes)];
      }
    }
  }

  const auto bigShape = input::BigRhoShape(dims);
  counts->bigRhoCounts.assign(bigShape.Size(), 0.0);
  const std::size_t ks = Size(m_statusCategories);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    for (std::int32_t t = 0; t < m_itemOccasions; ++t) {
      for (std::int32_t i = 0; i < m_statusItems; ++i) {
        const double* count =
            work.statusRhoCount.data() +
            ((Size(c) * Size(m_itemOccasions) + Size(t)) * Size(m_statusItems) + Size(i)) * ks * s;
        for (std::size_t k = 0; k < ks; ++k) {
          for (std::int32_t st = 0; st < m_statuses; ++st) {
            counts->bigRhoCounts[bigShape(k, i, st, c, t)] = count[k * s + Size(st)];
          }
        }
      }
    }
  }
}

double EStep::Probability(const std::int32_t* responses) {
  const double scaled =
      ClassesOnly() ? ClassTerms<0>(responses, m_work) : Forward<0>(responses, m_work);
  return TimesPowerOfTwo(scaled, m_work.patternExponent);
}

double EStep::PatternProbability(const input::ParameterSet& values,
                                 const std::int32_t* responses) {
  SetParameters(values);
  return Probability(responses);
}

void DeriveOccasionPrevalences(const ModelDimensions& dims, input::ParameterSet* values) {
  if (!dims.HasStatuses() || dims.occasions < 2) return;
  const std::int32_t statuses = std::max<std::int32_t>(dims.statuses, 1);
  const std::size_t s = Size(statuses);
  const bool secondOrder = SecondOrder(dims);
  const auto deltaShape = input::DeltaShape(dims);
  // The joint prior summed over all but the latest one or two statuses, carried forward.
  std::vector<double> current(secondOrder ? s * s : s), next(current.size());
  for (std::int32_t c = 0; c < dims.classes; ++c) {
    const double gamma = values->gamma[Size(c)];
    for (std::int32_t a = 0; a < statuses; ++a) {
      current[Size(a)] =
          gamma * (statuses == 1 ? 1.0 : values->delta[deltaShape(c, a, 0)]);
    }
    for (std::int32_t t = 1; t < dims.occasions; ++t) {
      std::fill(next.begin(), next.end(), 0.0);
      if (secondOrder && t == 1) {
        for (std::int32_t a = 0; a < statuses; ++a) {
          for (std::int32_t b = 0; b < statuses; ++b) {
            next[Size(a) * s + Size(b)] = current[Size(a)] * TauValue(dims, *values, a, b, c);
          }
        }
      } else if (secondOrder) {
        const std::int32_t first = statuses + (t - 2) * statuses * statuses;
        for (std::int32_t a = 0; a < statuses; ++a) {
          for (std::int32_t b = 0; b < statuses; ++b) {
            const std::int32_t pair = a * statuses + b;
            for (std::int32_t d = 0; d < statuses; ++d) {
              next[Size(b) * s + Size(d)] +=
                  current[Size(pair)] * TauValue(dims, *values, first + pair, d, c);
            }
          }
        }
      } else {
        const std::int32_t first = (t - 1) * statuses;
        for (std::int32_t a = 0; a < statuses; ++a) {
          for (std::int32_t d = 0; d < statuses; ++d) {
            next[Size(d)] += current[Size(a)] * TauValue(dims, *values, first + a, d, c);
          }
        }
      }
      std::swap(current, next);
      for (std::int32_t d = 0; d < statuses; ++d) {
        double sum = 0.0;
        if (secondOrder) {
          for (std::int32_t a = 0; a < statuses; ++a) sum += current[Size(a) * s + Size(d)];
        } else {
          sum = current[Size(d)];
        }
        values->delta[deltaShape(c, d, t)] = sum / gamma;
      }
    }
  }
}

}  // namespace kov::em
