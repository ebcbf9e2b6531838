#include "imputation_step.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/block_pool.h"
#include "base/engine_status.h"
#include "em/missingness.h"
#include "em/scaling.h"
#include "em/transition_step.h"
#include "uniform.h"

namespace kov::da {

namespace {

using input::ModelDimensions;

std::size_t Size(std::int32_t n) { return static_cast<std::size_t>(n > 0 ? n : 0); }

std::int32_t ItemOccasionsOf(const ModelDimensions& dims) {
  return dims.HasStatuses() ? ModelDimensions::Positive(dims.occasions) : 0;
}

// Without status items the status is never measured: the process has a single occasion.
std::int32_t LatentOccasionsOf(const ModelDimensions& dims) {
  return std::max<std::int32_t>(ItemOccasionsOf(dims), 1);
}

bool SecondOrderOf(const ModelDimensions& dims) {
  return dims.order == 2 && LatentOccasionsOf(dims) >= 2;
}

// The transition rows that the occasions use: S per transition for a first-order process; the
// first S, then S x S per transition, for a second-order one.
std::int32_t RowsUsedOf(const ModelDimensions& dims) {
  const std::int32_t occasions = LatentOccasionsOf(dims);
  if (occasions < 2) return 0;
  const std::int32_t s = std::max<std::int32_t>(dims.statuses, 1);
  return SecondOrderOf(dims) ? s + (occasions - 2) * s * s : (occasions - 1) * s;
}

// The 0-based TAU row of the transition into occasion t >= 1 (0-based), from the statuses
// before it: first order row (t-1) S + s_(t-1); second order s_0 into occasion 1, and
// S + (t-2) S^2 + s_(t-2) S + s_(t-1) beyond.
std::int32_t TransitionRow(bool secondOrder, std::int32_t statuses, std::int32_t t,
                           const std::int32_t* s) {
  if (t == 1) return s[0];
  if (secondOrder) return statuses + (t - 2) * statuses * statuses + s[t - 2] * statuses + s[t - 1];
  return (t - 1) * statuses + s[t - 1];
}

}  // namespace

std::int64_t SubjectsOf(double frequency) {
  if (!(frequency > 0.0)) return 0;
  // llround has no answer past the 64-bit range.
  if (frequency >= 0x1p63) return std::numeric_limits<std::int64_t>::max();
  return std::llround(frequency);
}

void DrawUniforms(float* out, std::size_t n) {
  constexpr std::uint64_t kModulus = 2147483647;  // 2^31 - 1
  std::int32_t state = GeneratorState();
  if (state < 1 || static_cast<std::uint64_t>(state) >= kModulus) {
    for (std::size_t k = 0; k < n; ++k) out[k] = NextUniform(0);
    return;
  }
  std::uint64_t x = static_cast<std::uint64_t>(state);
  for (std::size_t k = 0; k < n; ++k) {
    // 2^31 is 1 modulo 2^31 - 1: the high bits of the product fold onto the low ones.
    const std::uint64_t product = x * 16807;
    x = (product & kModulus) + (product >> 31);
    if (x >= kModulus) x -= kModulus;
    out[k] = StateToUniform(static_cast<std::int32_t>(x));
  }
  SetGeneratorState(static_cast<std::int32_t>(x));
}

bool LatentCellsCountable(const ModelDimensions& dims) {
  const auto statuses = static_cast<std::uint64_t>(std::max<std::int32_t>(dims.statuses, 1));
  std::uint64_t cells = static_cast<std::uint64_t>(std::max<std::int32_t>(dims.classes, 1));
  if (cells > kMaxLatentCells) return false;
  for (std::int32_t t = 0; t < LatentOccasionsOf(dims); ++t) {
    // cells x S > kMaxLatentCells, asked without the product overflowing.
    if (cells > kMaxLatentCells / statuses) return false;
    cells *= statuses;
  }
  return true;
}

LatentCellNumbering::LatentCellNumbering(std::int32_t statuses, std::int32_t occasions)
    : m_statuses(static_cast<std::uint64_t>(std::max<std::int32_t>(statuses, 1))),
      m_occasions(std::max<std::int32_t>(occasions, 1)) {}

std::uint64_t LatentCellNumbering::Index(std::int32_t latentClass,
                                         const std::int32_t* statuses) const {
  std::uint64_t index = static_cast<std::uint64_t>(latentClass);
  for (std::int32_t t = 0; t < m_occasions; ++t) {
    index = index * m_statuses + static_cast<std::uint64_t>(statuses[t]);
  }
  return index;
}

std::int32_t LatentCellNumbering::Decode(std::uint64_t index, std::int32_t* statuses) const {
  for (std::int32_t t = m_occasions - 1; t >= 0; --t) {
    statuses[t] = static_cast<std::int32_t>(index % m_statuses);
    index /= m_statuses;
  }
  return static_cast<std::int32_t>(index);
}

bool SubjectsFitTheDraws(const input::PatternTable& patterns) {
  return std::all_of(patterns.frequencies.begin(), patterns.frequencies.end(),
                     [](double f) { return SubjectsOf(f) <= kMaxPatternSubjects; });
}

bool AbortCheck::Drawn(std::uint64_t subjects) {
  m_sinceQuestion += subjects;
  if (m_sinceQuestion < kSubjectsPerQuestion) return false;
  m_sinceQuestion = 0;
  return run::AbortRequested();
}

// ---------------------------------------------------------------------------------------------
// CellTally

std::size_t CellTally::SlotOf(std::uint64_t cell) const {
  // Fibonacci hashing spreads the consecutive indices of neighbouring cells over the table.
  const std::size_t mask = m_slots.size() - 1;
  std::size_t at = static_cast<std::size_t>((cell * 0x9E3779B97F4A7C15u) >> (64 - m_bits));
  while (m_slots[at].count != 0 && m_slots[at].cell != cell) at = (at + 1) & mask;
  return at;
}

void CellTally::Grow() {
  std::vector<Slot> kept;
  kept.reserve(m_used.size());
  for (const std::size_t at : m_used) kept.push_back(m_slots[at]);
  m_bits = std::max(m_bits + 1, 4);
  m_slots.assign(std::size_t{1} << m_bits, Slot{});
  m_used.clear();
  for (const Slot& slot : kept) {
    const std::size_t at = SlotOf(slot.cell);
    m_slots[at] = slot;
    m_used.push_back(at);
  }
}

void CellTally::Add(std::uint64_t cell) {
  if (2 * (m_used.size() + 1) > m_slots.size()) Grow();
  const std::size_t at = SlotOf(cell);
  Slot& slot = m_slots[at];
  if (slot.count == 0) {
    slot.cell = cell;
    m_used.push_back(at);
  }
  ++slot.count;
}

const std::vector<std::pair<std::uint64_t, std::uint64_t>>& CellTally::TakeSorted() {
  m_sorted.clear();
  for (const std::size_t at : m_used) {
    m_sorted.emplace_back(m_slots[at].cell, m_slots[at].count);
    m_slots[at].count = 0;
  }
  m_used.clear();
  std::sort(m_sorted.begin(), m_sorted.end());
  return m_sorted;
}

std::size_t ChooseAndRescale(const double* weights, std::size_t n, double total, double* u) {
  if (!(total > 0.0) || !std::isfinite(total)) return n;
  const double scale = 1.0 / total;
  // A cell of weight 0 leaves the running sum where it was, which u is not below.
  double running = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double lower = running;
    const double width = weights[i] * scale;
    running += width;
    if (*u < running) {
      *u = (*u - lower) / width;
      return i;
    }
  }
  std::size_t last = n;
  while (last > 0 && !(weights[last - 1] > 0.0)) --last;
  if (last-- == 0) return n;
  double lower = 0.0;
  for (std::size_t i = 0; i < last; ++i) lower += weights[i] * scale;
  *u = (*u - lower) / (weights[last] * scale);
  return last;
}

// ---------------------------------------------------------------------------------------------
// LatentRecursions

LatentRecursions::LatentRecursions(const input::Model& model)
    : m_dims(model.dims),
      m_classes(std::max<std::int32_t>(model.dims.classes, 1)),
      m_statuses(std::max<std::int32_t>(model.dims.statuses, 1)),
      m_classItems(ModelDimensions::Positive(model.dims.classItems)),
      m_statusItems(ModelDimensions::Positive(model.dims.statusItems)),
      m_itemOccasions(ItemOccasionsOf(model.dims)),
      m_occasions(LatentOccasionsOf(model.dims)),
      m_secondOrder(SecondOrderOf(model.dims)),
      m_rows(RowsUsedOf(model.dims)),
      m_classSlots(ModelDimensions::Positive(model.dims.maxClassCategories) + 1),
      m_statusSlots(ModelDimensions::Positive(model.dims.maxStatusCategories) + 1) {
  m_stateStride = m_secondOrder ? m_statuses * m_statuses : m_statuses;
  const std::vector<std::int32_t> categories = em::ItemCategoryCounts(model);
  m_ownCategories.resize(categories.size());
  for (std::size_t n = 0; n < categories.size(); ++n) {
    const std::int32_t slots =
        static_cast<std::int32_t>(n) < m_classItems ? m_classSlots : m_statusSlots;
    m_ownCategories[n] = std::clamp<std::int32_t>(categories[n], 0, slots - 1);
  }

  const std::size_t c = Size(m_classes);
  const std::size_t s = Size(m_statuses);
  m_gamma.assign(c, 0.0);
  m_delta.assign(c * s, 0.0);
  m_tau.assign(c * Size(m_rows) * s, 0.0);
  m_classRho.assign(c * Size(m_classItems) * Size(m_classSlots), 0.0);
  m_statusRho.assign(c * Size(m_itemOccasions) * Size(m_statusItems) * Size(m_statusSlots) * s,
                     0.0);

  const std::size_t table = c * Size(m_occasions);
  m_classWeight.assign(c, 0.0);
  m_classesOnly = m_statuses == 1 && m_itemOccasions == 0;
  m_dynamic.assign(c, m_classesOnly ? 1.0 : 0.0);
  m_emission.assign(table * s, 1.0);
  m_emissionAt.assign(table, nullptr);
  for (std::size_t slot = 0; slot < table; ++slot)
    m_emissionAt[slot] = m_emission.data() + slot * s;
  m_alpha.assign(table * Size(m_stateStride), 0.0);
  m_beta.assign(table * Size(m_stateStride), 0.0);
  m_weights.assign(std::max(c, s), 0.0);
  m_itemRows.assign(Size(m_statusItems), nullptr);
  m_classExponent.assign(c, 0);
  m_dynamicExponent.assign(c, 0);
  m_emissionExponent.assign(table, 0);
  m_alphaExponent.assign(table, 0);
  m_betaExponent.assign(table, 0);
  m_statusExponent.assign(s, 0);
  m_ownExponent.assign(s, 0);
}

void LatentRecursions::SetParameters(const input::ParameterSet& values) {
  const ModelDimensions& dims = m_dims;
  const auto deltaShape = input::DeltaShape(dims);
  const auto tauShape = input::TauShape(dims);
  const auto littleShape = input::LittleRhoShape(dims);
  const auto bigShape = input::BigRhoShape(dims);
  const std::int32_t tableRows = dims.TransitionRows();
  const std::size_t s = Size(m_statuses);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    m_gamma[Size(c)] = values.gamma[Size(c)];
    for (std::int32_t st = 0; st < m_statuses; ++st) {
      m_delta[Size(c) * s + Size(st)] = m_statuses == 1 ? 1.0 : values.delta[deltaShape(c, st, 0)];
    }
    // With one status every transition is certain; a row the array lacks has no probability.
    for (std::int32_t row = 0; row < m_rows; ++row) {
      double* target = m_tau.data() + (Size(c) * Size(m_rows) + Size(row)) * s;
      for (std::int32_t j = 0; j < m_statuses; ++j) {
        target[j] = m_statuses == 1    ? 1.0
                    : row >= tableRows ? 0.0
                                       : values.tau[tauShape(row, j, c)];
      }
    }
    for (std::int32_t j = 0; j < m_classItems; ++j) {
      double* rho =
          m_classRho.data() + (Size(c) * Size(m_classItems) + Size(j)) * Size(m_classSlots);
      const std::int32_t own = m_ownCategories[Size(j)];
      double sum = 0.0;
      for (std::int32_t y = 1; y < m_classSlots; ++y) {
        rho[y] = values.littleRho[littleShape(y - 1, j, c)];
        if (y <= own) sum += rho[y];
      }
      rho[0] = sum;
    }
    for (std::int32_t t = 0; t < m_itemOccasions; ++t) {
      for (std::int32_t i = 0; i < m_statusItems; ++i) {
        double* rho = m_statusRho.data() + StatusRhoOffset(c, t, i);
        const std::int32_t own = m_ownCategories[Size(m_classItems + i)];
        for (std::int32_t st = 0; st < m_statuses; ++st) {
          double sum = 0.0;
          for (std::int32_t y = 1; y < m_statusSlots; ++y) {
            const double value = values.bigRho[bigShape(y - 1, i, st, c, t)];
            rho[Size(y) * s + Size(st)] = value;
            if (y <= own) sum += value;
          }
          rho[Size(st)] = sum;
        }
      }
    }
  }
}

void LatentRecursions::ForwardStep(std::int32_t c, std::int32_t t, const double* previous,
                                   double* current) const {
  em::TransitionStep(
      m_secondOrder, m_statuses, t,
      [this, c](std::int32_t row, std::int32_t d) { return TauRow(c, row)[d]; }, previous, current);
}

// beta(t, state) = P(responses after t | state at t, c), from the last occasion back.
void LatentRecursions::Backward(std::int32_t c) {
  const std::int32_t s = m_statuses;
  const std::int32_t last = m_occasions - 1;
  std::fill_n(m_beta.data() + Slot(c, last) * Size(m_stateStride), Size(States(last)), 1.0);
  m_betaExponent[Slot(c, last)] = 0;
  for (std::int32_t t = last - 1; t >= 0; --t) {
    double* beta = m_beta.data() + Slot(c, t) * Size(m_stateStride);
    const double* next = Beta(c, t + 1);
    const double* e = Emission(c, t + 1);
    if (!m_secondOrder) {
      const std::int32_t first = t * s;
      for (std::int32_t a = 0; a < s; ++a) {
        const double* row = TauRow(c, first + a);
        double sum = 0.0;
        for (std::int32_t d = 0; d < s; ++d) sum += row[d] * e[d] * next[d];
        beta[a] = sum;
      }
    } else if (t == 0) {
      for (std::int32_t a = 0; a < s; ++a) {
        const double* row = TauRow(c, a);
        const double* pairNext = next + a * s;
        double sum = 0.0;
        for (std::int32_t b = 0; b < s; ++b) sum += row[b] * e[b] * pairNext[b];
        beta[a] = sum;
      }
    } else {
      const std::int32_t first = s + (t - 1) * s * s;
      for (std::int32_t a = 0; a < s; ++a) {
        for (std::int32_t b = 0; b < s; ++b) {
          const double* row = TauRow(c, first + a * s + b);
          const double* pairNext = next + b * s;
          double sum = 0.0;
          for (std::int32_t d = 0; d < s; ++d) sum += row[d] * e[d] * pairNext[d];
          beta[a * s + b] = sum;
        }
      }
    }
    int& exponent = m_betaExponent[Slot(c, t)];
    exponent = m_betaExponent[Slot(c, t + 1)] + m_emissionExponent[Slot(c, t + 1)];
    em::KeepAbove(beta, Size(States(t)), &exponent);
  }
}

namespace {

// Brings the products of one occasion, each with its own exponent, to the largest exponent of
// a positive product, which it returns.
int CommonExponent(double* values, int* exponents, std::size_t n) {
  // Products that never needed rescaling, the common case, share the exponent 0 already.
  if (std::all_of(exponents, exponents + n, [](int e) { return e == 0; })) return 0;
  int common = 0;
  bool any = false;
  for (std::size_t d = 0; d < n; ++d) {
    if (values[d] > 0.0 && (!any || exponents[d] > common)) common = exponents[d];
    any = any || values[d] > 0.0;
  }
  for (std::size_t d = 0; d < n; ++d) {
    if (exponents[d] != common) values[d] = em::TimesPowerOfTwo(values[d], exponents[d] - common);
  }
  return common;
}

}  // namespace

// The product runs in a register per status: multiplying into e[] item by item would make
// every item wait for the store of the one before.
int LatentRecursions::OccasionEmissions(std::int32_t c, std::int32_t t, const std::int32_t* y,
                                        double* e, double* own, int* ownExponent) {
  const std::size_t s = Size(m_statuses);
  int* exponents = m_statusExponent.data();
  int* ownExponents = m_ownExponent.data();
  std::size_t observed = 0;
  std::size_t missing = Size(m_statusItems);
  const double* rho = StatusRho(c, t, 0);
  const std::size_t itemStride = Size(m_statusSlots) * s;
  for (std::int32_t i = 0; i < m_statusItems; ++i, rho += itemStride) {
    m_itemRows[y[i] != 0 ? observed++ : --missing] = rho + Size(y[i]) * s;
  }
  for (std::size_t d = 0; d < s; ++d) {
    double product = 1.0;
    int exponent = 0;
    for (std::size_t i = 0; i < observed; ++i) {
      product *= m_itemRows[i][d];
      if (product < em::kRescaleBelow) em::KeepAbove(&product, &exponent);
    }
    if (own != nullptr) {
      own[d] = product;
      ownExponents[d] = exponent;
    }
    for (std::size_t i = observed; i < Size(m_statusItems); ++i) {
      product *= m_itemRows[i][d];
      if (product < em::kRescaleBelow) em::KeepAbove(&product, &exponent);
    }
    e[d] = product;
    exponents[d] = exponent;
  }
  if (own != nullptr) {
    const int common = CommonExponent(own, ownExponents, s);
    if (ownExponent != nullptr) *ownExponent = common;
  }
  return CommonExponent(e, exponents, s);
}

void LatentRecursions::Emissions(std::int32_t c, const std::int32_t* responses,
                                 double* observedEmission, int* observedExponent) {
  const std::size_t s = Size(m_statuses);
  for (std::int32_t t = 0; t < m_occasions; ++t) {
    m_emissionAt[Slot(c, t)] = m_emission.data() + Slot(c, t) * s;
  }
  for (std::int32_t t = 0; t < m_itemOccasions; ++t) {
    double* own = observedEmission != nullptr ? observedEmission + Slot(c, t) * s : nullptr;
    m_emissionExponent[Slot(c, t)] = OccasionEmissions(
        c, t, responses + m_classItems + t * m_statusItems, m_emission.data() + Slot(c, t) * s,
        own, observedExponent != nullptr ? &observedExponent[Slot(c, t)] : nullptr);
  }
}

void LatentRecursions::CodeEmissions(const em::OccasionCodes& codes, std::size_t begin,
                                     std::size_t end, double* table, int* exponent,
                                     double* ownTable, int* ownExponent) {
  const std::size_t s = Size(m_statuses);
  const std::size_t classes = Size(m_classes);
  for (std::size_t g = begin; g < end; ++g) {
    const std::int32_t* y = codes.responses.data() + g * Size(codes.items);
    for (std::size_t c = 0; c < classes; ++c) {
      const std::size_t at = g * classes + c;
      exponent[at] = OccasionEmissions(
          static_cast<std::int32_t>(c), codes.codeOccasion[g], y, table + at * s,
          ownTable != nullptr ? ownTable + at * s : nullptr,
          ownExponent != nullptr ? &ownExponent[at] : nullptr);
    }
  }
}

double LatentRecursions::Prepare(const std::int32_t* responses, double* observedEmission,
                                 int* observedExponent) {
  for (std::int32_t c = 0; c < m_classes; ++c) {
    Emissions(c, responses, observedEmission, observedExponent);
  }
  return FinishPrepare(responses);
}

double LatentRecursions::PrepareCoded(const std::int32_t* responses, const std::int32_t* codes,
                                      const double* table, const int* tableExponent,
                                      const double* ownTable, const int* ownTableExponent,
                                      double* observedEmission, int* observedExponent) {
  const std::size_t s = Size(m_statuses);
  const std::size_t classes = Size(m_classes);
  for (std::size_t c = 0; c < classes; ++c) {
    for (std::int32_t t = m_itemOccasions; t < m_occasions; ++t) {
      m_emissionAt[Slot(static_cast<std::int32_t>(c), t)] =
          m_emission.data() + Slot(static_cast<std::int32_t>(c), t) * s;
    }
    for (std::int32_t t = 0; t < m_itemOccasions; ++t) {
      const std::size_t at = Size(codes[t]) * classes + c;
      const std::size_t slot = Slot(static_cast<std::int32_t>(c), t);
      // Read where it is: a copy per pattern would cost as much as the recursions that use it.
      m_emissionAt[slot] = table + at * s;
      m_emissionExponent[slot] = tableExponent[at];
      if (observedEmission != nullptr) {
        std::copy_n(ownTable + at * s, s, observedEmission + slot * s);
        observedExponent[slot] = ownTableExponent[at];
      }
    }
  }
  return FinishPrepare(responses);
}

double LatentRecursions::FinishPrepare(const std::int32_t* responses) {
  const std::size_t s = Size(m_statuses);
  // Item by item across the classes: each class's product keeps its order of factors, and the
  // classes' chains of multiplications run side by side.
  double* factors = m_classWeight.data();
  for (std::int32_t c = 0; c < m_classes; ++c) {
    factors[Size(c)] = m_gamma[Size(c)];
    m_classExponent[Size(c)] = 0;
  }
  for (std::int32_t j = 0; j < m_classItems; ++j) {
    for (std::int32_t c = 0; c < m_classes; ++c) {
      double& factor = factors[Size(c)];
      factor *= ClassRho(c, j)[responses[j]];
      if (factor < em::kRescaleBelow) em::KeepAbove(&factor, &m_classExponent[Size(c)]);
    }
  }
  // Without statuses the status part of every class is 1 (delta, emission and beta all 1.0), so
  // the class weight is the class factor itself.
  for (std::int32_t c = 0; c < m_classes && !m_classesOnly; ++c) {
    const double factor = factors[Size(c)];
    Backward(c);

    const double* delta = Delta(c);
    const double* e0 = Emission(c, 0);
    const double* beta0 = Beta(c, 0);
    double dynamic = 0.0;
    for (std::size_t d = 0; d < s; ++d) dynamic += delta[d] * e0[d] * beta0[d];
    m_dynamic[Size(c)] = dynamic;
    m_dynamicExponent[Size(c)] = EmissionExponent(c, 0) + BetaExponent(c, 0);
    m_classWeight[Size(c)] = factor * dynamic;
  }
  // The class weights are brought to the exponent of the largest, so that the class is drawn
  // from values of one scale; the sum runs in class order as the unscaled one would.
  int common = 0;
  bool any = false;
  for (std::int32_t c = 0; c < m_classes; ++c) {
    const int exponent = m_classExponent[Size(c)] + m_dynamicExponent[Size(c)];
    if (m_classWeight[Size(c)] > 0.0 && (!any || exponent > common)) common = exponent;
    any = any || m_classWeight[Size(c)] > 0.0;
  }
  double total = 0.0;
  for (std::int32_t c = 0; c < m_classes; ++c) {
    double& weight = m_classWeight[Size(c)];
    const int exponent = m_classExponent[Size(c)] + m_dynamicExponent[Size(c)];
    if (weight > 0.0 && exponent != common) weight = em::TimesPowerOfTwo(weight, exponent - common);
    total += weight;
  }
  m_total = total;
  m_totalExponent = common;
  return total;
}

void LatentRecursions::Forward(std::int32_t occasions) {
  const std::size_t s = Size(m_statuses);
  const std::size_t stride = Size(m_stateStride);
  occasions = std::min(occasions, m_occasions);
  for (std::int32_t c = 0; c < m_classes && occasions > 0; ++c) {
    double* alpha = m_alpha.data() + Slot(c, 0) * stride;
    const double* delta = Delta(c);
    const double* e0 = Emission(c, 0);
    for (std::size_t d = 0; d < s; ++d) alpha[d] = delta[d] * e0[d];
    m_alphaExponent[Slot(c, 0)] = EmissionExponent(c, 0);
    em::KeepAbove(alpha, s, &m_alphaExponent[Slot(c, 0)]);
    for (std::int32_t t = 1; t < occasions; ++t) {
      double* current = m_alpha.data() + Slot(c, t) * stride;
      ForwardStep(c, t, Alpha(c, t - 1), current);
      const double* e = Emission(c, t);
      const std::int32_t states = States(t);
      for (std::int32_t x = 0; x < states; ++x) current[x] *= e[Size(x) % s];
      int& exponent = m_alphaExponent[Slot(c, t)];
      exponent = m_alphaExponent[Slot(c, t - 1)] + EmissionExponent(c, t);
      em::KeepAbove(current, Size(states), &exponent);
    }
  }
}

bool LatentRecursions::DrawCell(double u, LatentCell* cell) {
  if (!(m_total > 0.0) || !std::isfinite(m_total)) return false;
  const std::size_t classes = Size(m_classes);
  const std::size_t chosenClass = ChooseAndRescale(m_classWeight.data(), classes, m_total, &u);
  if (chosenClass == classes) return false;
  const std::int32_t c = static_cast<std::int32_t>(chosenClass);
  cell->latentClass = c;
  cell->statuses.assign(Size(m_occasions), 0);
  // One status: every occasion's single cell is certain once the class is.
  if (m_statuses == 1) return true;

  const std::size_t s = Size(m_statuses);
  double* w = m_weights.data();
  const double* delta = Delta(c);
  const double* e0 = Emission(c, 0);
  const double* beta = Beta(c, 0);
  double total = 0.0;
  for (std::size_t d = 0; d < s; ++d) total += (w[d] = delta[d] * e0[d] * beta[d]);
  std::size_t chosen = ChooseAndRescale(w, s, total, &u);
  if (chosen == s) return false;
  std::int32_t* status = cell->statuses.data();
  status[0] = static_cast<std::int32_t>(chosen);
  for (std::int32_t t = 1; t < m_occasions; ++t) {
    // P(s_t | c, earlier statuses, pattern) is proportional to the transition into s_t times
    // its emission times the backward message of the state that s_t completes.
    const double* row = TauRow(c, TransitionRow(m_secondOrder, m_statuses, t, status));
    const double* e = Emission(c, t);
    const double* next = Beta(c, t);
    if (m_secondOrder) next += Size(status[t - 1]) * s;
    total = 0.0;
    for (std::size_t d = 0; d < s; ++d) total += (w[d] = row[d] * e[d] * next[d]);
    chosen = ChooseAndRescale(w, s, total, &u);
    if (chosen == s) return false;
    status[t] = static_cast<std::int32_t>(chosen);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// ImputationStep

namespace {

void ClearRecords(CompletedData* data) {
  data->records.clear();
  data->statuses.clear();
}

void AppendRecordsOf(const CompletedData& part, CompletedData* data) {
  data->records.insert(data->records.end(), part.records.begin(), part.records.end());
  data->statuses.insert(data->statuses.end(), part.statuses.begin(), part.statuses.end());
}

}  // namespace

ImputationStep::Block::Block(const LatentRecursions& prototype)
    : latent(prototype),
      running(Size(prototype.Classes())),
      classSubjects(Size(prototype.Classes())),
      noStatuses(Size(prototype.Occasions()), 0) {
  records.occasions = prototype.Occasions();
}

ImputationStep::ImputationStep(const input::Model& model)
    : m_dims(model.dims), m_latent(model), m_numbering(m_latent.Statuses(), m_latent.Occasions()) {}

ImputationStep::~ImputationStep() = default;

ImputationStep::Block& ImputationStep::BlockAt(std::size_t b) {
  while (m_blocks.size() <= b) m_blocks.push_back(std::make_unique<Block>(m_latent));
  Block& block = *m_blocks[b];
  if (!block.parametersSet) {
    block.latent.SetParameters(*m_values);
    block.parametersSet = true;
  }
  return block;
}

void ImputationStep::AppendRecords(std::int32_t pattern, Block* block) const {
  // The cell index grows in latent-table order, so the sorted cells are the records in order.
  CompletedData& records = block->records;
  const std::size_t occasions = Size(records.occasions);
  for (const auto& [index, count] : block->drawn.TakeSorted()) {
    records.statuses.resize(records.statuses.size() + occasions);
    CompletedRecord record;
    record.pattern = pattern;
    record.latentClass =
        m_numbering.Decode(index, records.statuses.data() + records.statuses.size() - occasions);
    record.count = static_cast<double>(count);
    records.records.push_back(record);
  }
}

// The class walk of ChooseAndRescale with its running sums formed once for all the pattern's
// subjects: each subject takes the first class whose running sum its uniform is below, or the
// last class of positive weight, and no later level needs the rescaled uniform.
void ImputationStep::DrawClasses(std::int32_t pattern, std::int64_t subjects, const float* uniforms,
                                 Block* block) const {
  const LatentRecursions& latent = block->latent;
  const double total = latent.Total();
  if (!(total > 0.0) || !std::isfinite(total)) return;
  const std::size_t classes = Size(latent.Classes());
  const double* weights = latent.ClassWeights();
  const double scale = 1.0 / total;
  double* running = block->running.data();
  double sum = 0.0;
  std::size_t lastPositive = 0;
  bool negative = false;
  for (std::size_t c = 0; c < classes; ++c) {
    sum += weights[c] * scale;
    running[c] = sum;
    if (weights[c] > 0.0) lastPositive = c;
    negative = negative || weights[c] < 0.0;
  }
  std::uint64_t* counts = block->classSubjects.data();
  std::fill_n(counts, classes, 0);
  if (!negative) {
    // Sums of weights that are not negative never fall: the running sums u is not below are
    // the first ones, and their number is the class, found without a branch on u.
    for (std::int64_t n = 0; n < subjects; ++n) {
      const double u = uniforms[n];
      std::size_t c = 0;
      for (std::size_t k = 0; k < classes; ++k) c += u < running[k] ? 0 : 1;
      ++counts[c < classes ? c : lastPositive];
    }
  } else {
    for (std::int64_t n = 0; n < subjects; ++n) {
      const double u = uniforms[n];
      std::size_t c = 0;
      while (c < classes && !(u < running[c])) ++c;
      ++counts[c < classes ? c : lastPositive];
    }
  }
  for (std::size_t c = 0; c < classes; ++c) {
    if (counts[c] == 0) continue;
    block->records.Add(
        CompletedRecord{pattern, static_cast<std::int32_t>(c), static_cast<double>(counts[c])},
        block->noStatuses.data());
  }
}

void ImputationStep::PrepareBlockPattern(const input::PatternTable& patterns, std::int32_t p,
                                         Block* block) const {
  if (m_codes == nullptr) {
    block->latent.Prepare(patterns.Pattern(p));
    return;
  }
  block->latent.PrepareCoded(patterns.Pattern(p),
                             m_codes->code.data() + Size(p) * Size(m_codes->occasions),
                             m_codeTable.emission.data(), m_codeTable.exponent.data());
}

void ImputationStep::DrawPatterns(const input::PatternTable& patterns, std::int32_t begin,
                                  std::int32_t end, const float* uniforms, Block* block) const {
  LatentCell cell;
  for (std::int32_t p = begin; p < end; ++p) {
    const std::int64_t subjects = SubjectsOf(patterns.frequencies[Size(p)]);
    if (subjects == 0) continue;
    PrepareBlockPattern(patterns, p, block);
    if (subjects > 1 && m_latent.Statuses() == 1) {
      DrawClasses(p, subjects, uniforms, block);
      uniforms += subjects;
      continue;
    }
    if (subjects == 1) {
      // One subject makes one record at most: no tally to sort.
      if (block->latent.DrawCell(*uniforms++, &cell)) {
        block->records.Add(CompletedRecord{p, cell.latentClass, 1.0}, cell.statuses.data());
      }
      continue;
    }
    for (std::int64_t n = 0; n < subjects; ++n) {
      if (block->latent.DrawCell(*uniforms++, &cell)) {
        block->drawn.Add(m_numbering.Index(cell.latentClass, cell.statuses.data()));
      }
    }
    AppendRecords(p, block);
  }
}

void CodeEmissionTable::Compute(const em::OccasionCodes& codes, std::int32_t classes,
                                std::int32_t statuses, bool withOwn,
                                const std::function<LatentRecursions&(std::size_t)>& recursions,
                                std::unique_ptr<run::BlockPool>* pool) {
  const std::size_t codeCount = codes.CodeCount();
  const std::size_t c = static_cast<std::size_t>(classes);
  const std::size_t per = c * static_cast<std::size_t>(statuses);
  emission.resize(codeCount * per);
  exponent.resize(codeCount * c);
  own.resize(withOwn ? codeCount * per : 0);
  ownExponent.resize(withOwn ? codeCount * c : 0);
  const std::size_t slices = run::FixedBlockCount(static_cast<std::size_t>(codes.patterns));
  for (std::size_t b = 0; b < slices; ++b) recursions(b);
  const auto slice = [&](std::size_t b) {
    recursions(b).CodeEmissions(codes, codeCount * b / slices, codeCount * (b + 1) / slices,
                                emission.data(), exponent.data(),
                                withOwn ? own.data() : nullptr,
                                withOwn ? ownExponent.data() : nullptr);
  };
  if (slices == 1) {
    slice(0);
  } else {
    if (!*pool) *pool = std::make_unique<run::BlockPool>(run::EngineThreadCount());
    (*pool)->Run(slices, slice);
  }
}

// Every code's emissions, in fixed slices of the codes over the blocks' recursions.
void ImputationStep::ComputeCodeEmissions() {
  m_codeTable.Compute(*m_codes, m_latent.Classes(), m_latent.Statuses(), /*withOwn=*/false,
                      [this](std::size_t b) -> LatentRecursions& { return BlockAt(b).latent; },
                      &m_pool);
}

void ImputationStep::DrawGroup(const input::PatternTable& patterns, std::int32_t begin,
                               std::int32_t end) {
  const std::size_t count = Size(end - begin);
  const std::size_t blocks = run::FixedBlockCount(count);
  for (std::size_t b = 0; b < blocks; ++b) ClearRecords(&BlockAt(b).records);
  const auto drawBlock = [&](std::size_t b) {
    const std::int32_t first = begin + static_cast<std::int32_t>(count * b / blocks);
    const std::int32_t last = begin + static_cast<std::int32_t>(count * (b + 1) / blocks);
    DrawPatterns(patterns, first, last, m_uniforms.data() + m_firstUniform[Size(first - begin)],
                 m_blocks[b].get());
  };
  if (blocks == 1) {
    drawBlock(0);
  } else {
    if (!m_pool) m_pool = std::make_unique<run::BlockPool>(run::EngineThreadCount());
    m_pool->Run(blocks, drawBlock);
  }
  for (std::size_t b = 0; b < blocks; ++b) {
    AppendRecordsOf(m_blocks[b]->records, m_completed);
  }
}

bool ImputationStep::DrawLargePattern(const input::PatternTable& patterns, std::int32_t p,
                                      AbortCheck* abortCheck) {
  Block& block = BlockAt(0);
  ClearRecords(&block.records);
  PrepareBlockPattern(patterns, p, &block);
  LatentCell cell;
  for (std::uint64_t left = static_cast<std::uint64_t>(SubjectsOf(patterns.frequencies[Size(p)]));
       left > 0;) {
    const std::uint64_t batch = std::min(left, AbortCheck::kSubjectsPerQuestion);
    for (std::uint64_t n = 0; n < batch; ++n) {
      if (block.latent.DrawCell(NextUniform(0), &cell)) {
        block.drawn.Add(m_numbering.Index(cell.latentClass, cell.statuses.data()));
      }
    }
    left -= batch;
    if (abortCheck->Drawn(batch)) {
      block.drawn.TakeSorted();
      return false;
    }
  }
  AppendRecords(p, &block);
  AppendRecordsOf(block.records, m_completed);
  return true;
}

bool ImputationStep::Run(const input::ParameterSet& values, const input::PatternTable& patterns,
                         CompletedData* completed, em::ExpectedCounts* counts,
                         const em::OccasionCodes* codes) {
  m_values = &values;
  for (const std::unique_ptr<Block>& block : m_blocks) block->parametersSet = false;
  m_codes = codes != nullptr && codes->occasions > 0 &&
                    codes->Fits(patterns, m_latent.ItemOccasions(), m_latent.StatusItems())
                ? codes
                : nullptr;
  if (m_codes != nullptr) ComputeCodeEmissions();
  m_completed = completed;
  completed->itemCount = patterns.itemCount;
  completed->responses = patterns.responses;
  completed->frequencies = patterns.frequencies;
  completed->occasions = m_latent.Occasions();
  ClearRecords(completed);

  AbortCheck abortCheck;
  const std::uint64_t groupSize = AbortCheck::kSubjectsPerQuestion;
  for (std::int32_t begin = 0; begin < patterns.patternCount;) {
    const std::uint64_t first = static_cast<std::uint64_t>(SubjectsOf(patterns.frequencies[Size(begin)]));
    if (first > groupSize) {
      if (!DrawLargePattern(patterns, begin, &abortCheck)) return false;
      ++begin;
      continue;
    }
    const std::int32_t end = GroupOfPatterns(
        begin, patterns.patternCount, groupSize,
        [&](std::int32_t p) {
          return static_cast<std::uint64_t>(SubjectsOf(patterns.frequencies[Size(p)]));
        },
        &m_firstUniform);
    const std::uint64_t subjects = m_firstUniform.back();
    m_uniforms.resize(static_cast<std::size_t>(subjects));
    DrawUniforms(m_uniforms.data(), m_uniforms.size());
    DrawGroup(patterns, begin, end);
    if (abortCheck.Drawn(subjects)) return false;
    begin = end;
  }
  TallyInBlocks(*completed, counts);
  return true;
}

namespace {

// The counts of records [first, last) alone.
void TallyRecords(const ModelDimensions& dims, const CompletedData& data, std::size_t first,
                  std::size_t last, em::ExpectedCounts* counts) {
  const std::int32_t statuses = std::max<std::int32_t>(dims.statuses, 1);
  const std::int32_t classItems = ModelDimensions::Positive(dims.classItems);
  const std::int32_t statusItems = ModelDimensions::Positive(dims.statusItems);
  const std::int32_t itemOccasions = ItemOccasionsOf(dims);
  const std::int32_t occasions = LatentOccasionsOf(dims);
  const bool secondOrder = SecondOrderOf(dims);
  const std::int32_t tableRows = dims.TransitionRows();
  const auto deltaShape = input::DeltaShape(dims);
  const auto tauShape = input::TauShape(dims);
  const auto littleShape = input::LittleRhoShape(dims);
  const auto bigShape = input::BigRhoShape(dims);
  const std::size_t littleItemStride = littleShape(0, 1, 0);
  const std::size_t bigItemStride = bigShape(0, 1, 0, 0, 0);
  const std::int32_t marginOccasions =
      std::min<std::int32_t>(occasions, static_cast<std::int32_t>(deltaShape.Extent(2)));

  counts->total = 0.0;
  counts->classCounts.assign(input::GammaShape(dims).Size(), 0.0);
  counts->statusMargins.assign(deltaShape.Size(), 0.0);
  counts->transitionCounts.assign(tauShape.Size(), 0.0);
  counts->littleRhoCounts.assign(littleShape.Size(), 0.0);
  counts->bigRhoCounts.assign(bigShape.Size(), 0.0);

  for (std::size_t r = first; r < last; ++r) {
    const CompletedRecord& record = data.records[r];
    const double n = record.count;
    const std::int32_t c = record.latentClass;
    const std::int32_t* s = data.Statuses(r);
    const std::int32_t* y = data.Pattern(record.pattern);
    counts->total += n;
    counts->classCounts[Size(c)] += n;
    for (std::int32_t t = 0; t < marginOccasions; ++t) {
      counts->statusMargins[deltaShape(c, s[t], t)] += n;
    }
    for (std::int32_t t = 1; t < occasions; ++t) {
      const std::int32_t row = TransitionRow(secondOrder, statuses, t, s);
      if (row < tableRows) counts->transitionCounts[tauShape(row, s[t], c)] += n;
    }
    // Item by item the offsets step by the category count: (k, item, ...) with k fastest.
    double* little =
        classItems > 0 ? counts->littleRhoCounts.data() + littleShape(0, 0, c) : nullptr;
    for (std::int32_t j = 0; j < classItems; ++j, little += littleItemStride) {
      if (y[j] >= 1 && y[j] <= dims.maxClassCategories) little[y[j] - 1] += n;
    }
    for (std::int32_t t = 0; t < itemOccasions; ++t) {
      const std::int32_t* occasion = y + classItems + t * statusItems;
      double* big = counts->bigRhoCounts.data() + bigShape(0, 0, s[t], c, t);
      for (std::int32_t i = 0; i < statusItems; ++i, big += bigItemStride) {
        if (occasion[i] >= 1 && occasion[i] <= dims.maxStatusCategories) big[occasion[i] - 1] += n;
      }
    }
  }
}

void AddTo(const std::vector<double>& part, std::vector<double>* total) {
  for (std::size_t i = 0; i < part.size(); ++i) (*total)[i] += part[i];
}

}  // namespace

void TallyCompletedCounts(const ModelDimensions& dims, const CompletedData& data,
                          em::ExpectedCounts* counts) {
  TallyRecords(dims, data, 0, data.records.size(), counts);
}

// The records are split into fixed blocks counted on the engine's threads. Every count is a
// whole number of subjects, so the blocks' sums add up exactly, in any order, to the count of
// all records at once.
void ImputationStep::TallyInBlocks(const CompletedData& data, em::ExpectedCounts* counts) {
  constexpr std::size_t kRecordsPerBlock = 2048;
  const std::size_t records = data.records.size();
  const std::size_t blocks = std::clamp<std::size_t>(records / kRecordsPerBlock, 1, run::kMaxBlocks);
  if (blocks == 1) {
    TallyCompletedCounts(m_dims, data, counts);
    return;
  }
  m_blockCounts.resize(blocks);
  if (!m_pool) m_pool = std::make_unique<run::BlockPool>(run::EngineThreadCount());
  m_pool->Run(blocks, [&](std::size_t b) {
    TallyRecords(m_dims, data, records * b / blocks, records * (b + 1) / blocks, &m_blockCounts[b]);
  });
  *counts = m_blockCounts[0];
  for (std::size_t b = 1; b < blocks; ++b) {
    const em::ExpectedCounts& part = m_blockCounts[b];
    counts->total += part.total;
    AddTo(part.classCounts, &counts->classCounts);
    AddTo(part.statusMargins, &counts->statusMargins);
    AddTo(part.transitionCounts, &counts->transitionCounts);
    AddTo(part.littleRhoCounts, &counts->littleRhoCounts);
    AddTo(part.bigRhoCounts, &counts->bigRhoCounts);
  }
}

}  // namespace kov::da
