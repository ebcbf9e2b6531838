#include "estep.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "scaling.h"
#include "transition_step.h"

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
[[gnu::always_inline]] inline decltype(auto) WithSmallCount(std::int32_t count, Body body) {
  switch (count) {
    case 2: return body(std::integral_constant<int, 2>{});
    case 3: return body(std::integral_constant<int, 3>{});
    case 4: return body(std::integral_constant<int, 4>{});
    case 5: return body(std::integral_constant<int, 5>{});
    case 6: return body(std::integral_constant<int, 6>{});
    default: return body(std::integral_constant<int, 0>{});
  }
}

// Calls body(count) compiled for 256-bit vectors where the processor has them.
template <typename Body>
__attribute__((target("avx2"))) void WithSmallCountWide(std::int32_t count, Body body) {
  WithSmallCount(count, body);
}

template <typename Body>
void WithSmallCountForProcessor(std::int32_t count, Body body) {
  static const bool wide = __builtin_cpu_supports("avx2");
  if (wide) {
    WithSmallCountWide(count, body);
  } else {
    WithSmallCount(count, body);
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

EStep::EStep(const input::Model& model, std::int32_t threads)
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
      m_statusCategories(ModelDimensions::Positive(model.dims.maxStatusCategories)),
      m_threads(threads) {
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
  work->emissionRow.assign(c * t, nullptr);
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
  work->knownCodes.assign(c * Size(m_itemOccasions), 0);
  work->known.assign(c, 0);

  work->classCount.assign(c, 0.0);
  work->marginCount.assign(c * t * s, 0.0);
  work->tauCount.assign(m_tau.size(), 0.0);
  work->classRhoCount.assign(m_classSpread.size(), 0.0);
  work->statusRhoCount.assign(m_statusSpread.size(), 0.0);
  work->spreadCopies.assign(kSpreadCopies * m_statusSpread.size(), 0.0);
  work->codeSum.assign(c * s, 0.0);
  PrepareLanes(work);
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

// The product over the status items of class c at occasion t, per status. The items run in the
// outer loop so that the statuses' products advance side by side; only an occasion whose
// products fall below the rescaling bound is taken again with exponents.
template <int kStatuses>
[[gnu::always_inline]] inline void EStep::OccasionProduct(const std::int32_t* y, std::int32_t c,
                                                          std::int32_t t, double* e,
                                                          int* exponent, Work& work) const {
  const std::size_t s = StatusCount<kStatuses>(m_statuses);
  const std::size_t ks1 = Index(m_statusCategories + 1);
  const double* table =
      m_statusRho.data() +
      (Index(c) * Index(m_itemOccasions) + Index(t)) * Index(m_statusItems) * ks1 * s;
  double local[Scratch<kStatuses>::kSize];
  double* product = kStatuses > 0 ? local : e;
  const std::size_t itemStride = ks1 * s;
  const std::int32_t items = m_statusItems;
  // The first two rows multiplied straight into the product: the same bits as copying the
  // first and multiplying by the second, without reading back a copy of other widths than it
  // was written in, which the processor cannot forward from its stores.
  const double* first = table + static_cast<std::size_t>(y[0]) * s;
  if (items > 1) {
    Products<kStatuses>(product, first, table + itemStride + static_cast<std::size_t>(y[1]) * s, s);
  } else {
    std::copy_n(first, s, product);
  }
  for (std::int32_t i = 2; i < items; ++i) {
    const double* row = table + static_cast<std::size_t>(i) * itemStride;
    MultiplyBy<kStatuses>(product, row + static_cast<std::size_t>(y[i]) * s, s);
  }
  bool low = false;
  for (std::size_t d = 0; d < s; ++d) low |= product[d] < kRescaleBelow;
  if (kStatuses > 0) std::copy_n(product, s, e);
  *exponent = 0;
  if (!low) return;
  for (std::int32_t i = 0; i < m_statusItems; ++i) {
    work.itemRows[Index(i)] = table + (Index(i) * ks1 + Index(y[i])) * s;
  }
  ScaledEmissions(work.itemRows.data(), e, exponent, work);
}

// The emissions of class c at occasion t of one pattern, into its own arrays.
template <int kStatuses>
[[gnu::always_inline]] inline void EStep::Emissions(const std::int32_t* responses,
                                                    std::int32_t c, std::int32_t t,
                                                    Work& work) const {
  const std::size_t s = StatusCount<kStatuses>(m_statuses);
  const std::size_t ct = Index(c) * Index(m_occasions) + Index(t);
  double* e = work.emission.data() + ct * s;
  OccasionProduct<kStatuses>(responses + m_classItems + t * m_statusItems, c, t, e,
                             &work.emissionExponent[ct], work);
  work.emissionRow[ct] = e;
}

void EStep::TableEmissions(std::size_t begin, std::size_t end, Work& work) {
  const std::size_t classes = Size(m_classes);
  const std::size_t s = Size(m_statuses);
  const std::size_t items = Size(m_statusItems);
  WithSmallCountForProcessor(m_statuses, [&](auto statuses) __attribute__((always_inline)) {
    constexpr int kStatuses = decltype(statuses)::value;
    for (std::size_t g = begin; g < end; ++g) {
      const std::int32_t t = m_codes->codeOccasion[g];
      const std::int32_t* y = m_codes->responses.data() + g * items;
      for (std::size_t c = 0; c < classes; ++c) {
        OccasionProduct<kStatuses>(y, static_cast<std::int32_t>(c), t,
                                   m_codeEmission.data() + (g * classes + c) * s,
                                   &m_codeExponent[g * classes + c], work);
      }
    }
  });
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
    const double* const* emission = work.emissionRow.data() + Index(c) * Index(m_occasions);
    int* emissionExponent = work.emissionExponent.data() + Index(c) * Index(m_occasions);
    for (std::int32_t u = t; u < m_occasions; ++u) {
      const std::size_t ct = Index(c) * Index(m_occasions) + Index(u);
      if (u >= m_itemOccasions) {
        // An occasion without status items (the single occasion of a model without them).
        work.emissionRow[ct] = work.emission.data() + ct * s;
        emissionExponent[u] = 0;
      } else {
        Emissions<kStatuses>(responses, c, u, work);
      }
    }
    int* alphaExponent = work.alphaExponent.data() + Index(c) * Index(m_occasions);

    double* alpha = work.alpha.data() + Index(c) * Index(m_occasions) * states;
    const double* delta = m_delta.data() + Index(c) * s;
    const double* tau = m_tau.data() + Index(c) * Index(m_rows) * s;
    if (t == 0) {
      for (std::size_t d = 0; d < s; ++d) alpha[d] = delta[d] * emission[0][d];
      alphaExponent[0] = emissionExponent[0];
      KeepAbove(alpha, s, &alphaExponent[0]);
      t = 1;
    }
    if (m_secondOrder && t == 1) {
      // Occasion 2 over pairs (s1, s2): the first transition uses row s1.
      double* pair = alpha + states;
      const double* e = emission[1];
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
      const double* e = emission[t];
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
  // Every term has exponent 0: CombineClasses would add them as they stand.
  work.patternExponent = 0;
  double probability = 0.0;
  for (std::size_t c = 0; c < classes; ++c) probability += term[c];
  return probability;
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

void EStep::SpreadCodePosteriors(std::size_t begin, std::size_t end, Work& work) const {
  WithSmallCountForProcessor(m_statuses, [&](auto statuses) __attribute__((always_inline)) {
    SpreadCodePosteriorsOf<decltype(statuses)::value>(begin, end, work);
  });
}

template <int kStatuses>
[[gnu::always_inline]] inline void EStep::SpreadCodePosteriorsOf(std::size_t begin,
                                                                 std::size_t end,
                                                                 Work& work) const {
  const std::size_t s = StatusCount<kStatuses>(m_statuses);
  const std::size_t classes = Index(m_classes);
  const std::size_t items = Index(m_statusItems);
  const std::size_t itemStride = Index(m_statusCategories) * s;
  const std::size_t stride = classes * s;
  // Codes in turn add to kSpreadCopies copies of the item counts, so that codes that share an
  // answer do not wait on each other's additions; the copies are added in order at the end.
  const std::size_t countSize = work.statusRhoCount.size();
  double* posterior = work.codeSum.data();
  // A code's parts lie wherever its blocks left them, far apart: fetching the parts of a code
  // some codes ahead overlaps their trips to memory with the spreading of this one.
  constexpr std::size_t kAhead = 16;
  const std::size_t bytes = stride * sizeof(double);
  for (std::size_t g = begin; g < end; ++g) {
    if (g + kAhead < end) {
      for (std::size_t use = m_codes->useStart[g + kAhead]; use < m_codes->useStart[g + kAhead + 1];
           ++use) {
        const char* part =
            reinterpret_cast<const char*>(m_codePosterior.data() + m_codes->uses[use] * stride);
        for (std::size_t line = 0; line < bytes; line += run::kCacheLine) {
          __builtin_prefetch(part + line);
        }
        __builtin_prefetch(part + bytes - 1);
      }
    }
    const std::size_t firstUse = m_codes->useStart[g];
    const std::size_t lastUse = m_codes->useStart[g + 1];
    if (firstUse == lastUse) continue;
    const double* firstPart = m_codePosterior.data() + m_codes->uses[firstUse] * stride;
    for (std::size_t x = 0; x < stride; ++x) posterior[x] = firstPart[x];
    for (std::size_t use = firstUse + 1; use < lastUse; ++use) {
      AddTo<0>(posterior, m_codePosterior.data() + m_codes->uses[use] * stride, stride);
    }
    const std::int32_t t = m_codes->codeOccasion[g];
    const std::int32_t* y = m_codes->responses.data() + g * items;
    for (std::size_t c = 0; c < classes; ++c) {
      const double* p = posterior + c * s;
      double* margin = work.marginCount.data() + (c * Index(m_occasions) + Index(t)) * s;
      AddTo<kStatuses>(margin, p, s);
      const std::size_t slot = (c * Index(m_itemOccasions) + Index(t)) * items;
      double* counts =
          work.spreadCopies.data() + (g % kSpreadCopies) * countSize + slot * itemStride;
      for (std::size_t i = 0; i < items; ++i) {
        double* count = counts + i * itemStride;
        const std::int32_t response = y[i];
        if (response > 0) {
          AddTo<kStatuses>(count + Index(response - 1) * s, p, s);
          continue;
        }
        const double* spread = m_statusSpread.data() + (slot + i) * itemStride;
        const std::size_t own =
            std::min(Index(m_categories[Index(m_classItems) + i]), Index(m_statusCategories));
        for (std::size_t k = 0; k < own; ++k) {
          AddProducts<kStatuses>(count + k * s, p, spread + k * s, s);
        }
      }
    }
  }
  for (std::size_t copy = 0; copy < kSpreadCopies; ++copy) {
    double* part = work.spreadCopies.data() + copy * countSize;
    for (std::size_t i = 0; i < countSize; ++i) work.statusRhoCount[i] += part[i];
    std::fill_n(part, countSize, 0.0);
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

void AddTo(const run::BlockVector<double>& part, run::BlockVector<double>* total) {
  for (std::size_t i = 0; i < part.size(); ++i) (*total)[i] += part[i];
}

void ZeroAccumulators(EStep::Work* work) {
  for (run::BlockVector<double>* a : {&work->classCount, &work->marginCount, &work->tauCount,
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
  const bool accumulate = counts != nullptr;
  const std::size_t blocks = run::FixedBlockCount(patternCount);
  if (blocks > 1 && !m_pool) {
    m_pool = std::make_unique<run::BlockPool>(m_threads > 0 ? m_threads : run::EngineThreadCount());
  }
  if (blocks > 1 && m_blockWork.size() != blocks) {
    m_blockWork.resize(blocks);
    for (Work& work : m_blockWork) PrepareWork(&work);
  }
  auto blockWork = [&](std::size_t b) -> Work& { return blocks == 1 ? m_work : m_blockWork[b]; };

  m_codes = nullptr;
  if (!ClassesOnly()) {
    m_codes = &grouped.codes;
    if (!grouped.codes.Fits(patterns, m_itemOccasions, m_statusItems)) {
      // A table made by hand: numbered for this run alone.
      m_ownCodes = NumberOccasionResponses(patterns, m_dims);
      m_codes = &m_ownCodes;
    }
    // Every code's emissions, in fixed slices of the codes, before any pattern needs them.
    const std::size_t codeCount = m_codes->CodeCount();
    m_codeEmission.resize(codeCount * Size(m_classes) * Size(m_statuses));
    m_codeExponent.resize(codeCount * Size(m_classes));
    ForEachBlock(blocks, [&](std::size_t b) {
      TableEmissions(codeCount * b / blocks, codeCount * (b + 1) / blocks, blockWork(b));
    });
  }

  std::vector<BlockSums> blockSums(blocks);
  auto runBlock = [&](std::size_t b) {
    BlockTask task;
    task.patterns = &patterns;
    task.block = b;
    task.begin = patternCount * b / blocks;
    task.end = patternCount * (b + 1) / blocks;
    task.accumulate = accumulate;
    task.probabilities = probabilities != nullptr ? probabilities->data() : nullptr;
    task.logProbabilities = logProbabilities != nullptr ? logProbabilities->data() : nullptr;
    Work& work = blockWork(b);
    if (accumulate) {
      ZeroAccumulators(&work);
      if (m_codes != nullptr) {
        const std::size_t stride = Size(m_classes) * Size(m_statuses);
        work.codePosterior = m_codePosterior.data() + m_codes->blockStart[b] * stride;
        std::fill(work.codePosterior, m_codePosterior.data() + m_codes->blockStart[b + 1] * stride,
                  0.0);
      }
    }
    blockSums[b] = RunBlock(task, &work);
  };
  if (accumulate && m_codes != nullptr) {
    m_codePosterior.resize(m_codes->blockCodes.size() * Size(m_classes) * Size(m_statuses));
  }
  ForEachBlock(blocks, runBlock);
  // Then each code's posteriors over the items, in fixed slices of the codes.
  if (accumulate && m_codes != nullptr) {
    const std::size_t codeCount = m_codes->CodeCount();
    ForEachBlock(blocks, [&](std::size_t b) {
      SpreadCodePosteriors(codeCount * b / blocks, codeCount * (b + 1) / blocks, blockWork(b));
    });
  }

  BlockSums sums;
  if (accumulate && blocks > 1) ZeroAccumulators(&m_work);
  for (std::size_t b = 0; b < blocks; ++b) {
    sums.frequency += blockSums[b].frequency;
    sums.logLikelihood += blockSums[b].logLikelihood;
    if (!accumulate || blocks == 1) continue;
    const Work& part = m_blockWork[b];
    AddTo(part.classCount, &m_work.classCount);
    AddTo(part.marginCount, &m_work.marginCount);
    AddTo(part.tauCount, &m_work.tauCount);
    AddTo(part.classRhoCount, &m_work.classRhoCount);
    AddTo(part.statusRhoCount, &m_work.statusRhoCount);
  }
  if (accumulate) StoreCounts(sums.frequency, m_work, counts);
  return logProbabilities != nullptr ? sums.logLikelihood
                                     : std::numeric_limits<double>::quiet_NaN();
}

void EStep::ForEachBlock(std::size_t blocks, const run::BlockPool::Work& body) {
  if (blocks == 1) {
    body(0);
  } else {
    m_pool->Run(blocks, body);
  }
}

EStep::BlockSums EStep::RunBlock(const BlockTask& task, Work* work) const {
  if (!ClassesOnly()) return RunStatusBlock(task, work);
  static const bool wide = __builtin_cpu_supports("avx2");
  return WithSmallCount(m_classes, [&](auto classes) {
    constexpr int kClasses = decltype(classes)::value;
    return wide ? RunClassesWide<kClasses>(task, work) : RunClassesPlain<kClasses>(task, work);
  });
}

// The same loop compiled for 256-bit vectors where the processor has them: the classes' loops
// then take four classes per instruction. The arithmetic is the same operation for operation
// (no contraction into fused multiply-adds), so both give the same bits.
template <int kClasses>
__attribute__((target("avx2"))) EStep::BlockSums EStep::RunClassesWide(const BlockTask& task,
                                                                        Work* work) const {
  return RunClasses<kClasses>(task, work);
}

template <int kClasses>
EStep::BlockSums EStep::RunClassesPlain(const BlockTask& task, Work* work) const {
  return RunClasses<kClasses>(task, work);
}

template <int kClasses>
[[gnu::always_inline]] inline EStep::BlockSums EStep::RunClasses(const BlockTask& task,
                                                                 Work* work) const {
  BlockSums sums;
  const bool wantLogs = task.logProbabilities != nullptr;
  for (std::size_t q = task.begin; q < task.end; ++q) {
    const std::int32_t* responses = task.patterns->Pattern(static_cast<std::int32_t>(q));
    const double frequency = task.patterns->frequencies[q];
    sums.frequency += frequency;
    // The probability is `scaled` x 2^exponent.
    const double scaled = ClassTerms<kClasses>(responses, *work);
    const int exponent = work->patternExponent;
    if (task.probabilities != nullptr) task.probabilities[q] = TimesPowerOfTwo(scaled, exponent);
    if (wantLogs) {
      const double logProbability = scaled > 0.0 ? LogOfScaled(scaled, exponent)
                                                 : -std::numeric_limits<double>::infinity();
      task.logProbabilities[q] = logProbability;
      if (scaled > 0.0 && frequency > 0.0) sums.logLikelihood += frequency * logProbability;
    }
    // A pattern the model cannot produce (or one with no subjects) has no posterior.
    if (!(scaled > 0.0) || !(frequency > 0.0) || !task.accumulate) continue;
    const double weight = frequency / scaled;
    if (!std::isfinite(weight)) continue;
    AccumulateClasses<kClasses>(responses, weight, *work);
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
      TransitionStep(
          secondOrder, statuses, t,
          [&](std::int32_t row, std::int32_t d) { return TauValue(dims, *values, row, d, c); },
          current.data(), next.data());
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
