#include "estep.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include "scaling.h"

namespace kov::em {

namespace {

using input::ModelDimensions;

std::size_t Size(std::int32_t n) { return static_cast<std::size_t>(n > 0 ? n : 0); }

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
  work->patternExponent = 0;
  work->beta.assign(states, 0.0);
  work->betaNext.assign(states, 0.0);
  work->scaled.assign(states, 0.0);
  work->pairPosterior.assign(states, 0.0);
  work->posterior.assign(s, 0.0);
  work->itemRows.assign(Size(m_statusItems), nullptr);

  work->classCount.assign(c, 0.0);
  work->marginCount.assign(c * t * s, 0.0);
  work->tauCount.assign(m_tau.size(), 0.0);
  work->classRhoCount.assign(m_classSpread.size(), 0.0);
  work->statusRhoCount.assign(m_statusSpread.size(), 0.0);
}

void EStep::SetParameters(const input::ParameterSet& values) {
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
      // The block of the row: its first row and the row's place (a, or a and b) inside it.
      const bool pairRow = m_secondOrder && row >= m_statuses;
      const std::int32_t blockRows = pairRow ? m_statuses * m_statuses : m_statuses;
      const std::int32_t blockStart =
          pairRow ? row - (row - m_statuses) % blockRows : row - row % blockRows;
      const std::size_t local = Size(row - blockStart);
      double* target = m_tau.data() + classStart + Size(row) * s;
      double* forward = m_tauForward.data() + classStart + Size(blockStart) * s;
      for (std::int32_t j = 0; j < m_statuses; ++j) {
        const double value = TauValue(dims, values, row, j, c);
        target[j] = value;
        if (pairRow) {
          const std::size_t a = local / s;
          const std::size_t b = local % s;
          forward[(b * s + Size(j)) * s + a] = value;
        } else {
          forward[Size(j) * s + local] = value;
        }
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

// The emissions of class c: per occasion, the product over the status items of each status,
// carried in a register per status (accumulating in memory would make every item wait for the
// store of the one before) with its own exponent, then brought to the occasion's largest.
void EStep::Emissions(const std::int32_t* responses, std::int32_t c, Work& work) const {
  const std::size_t s = Size(m_statuses);
  const std::size_t ks1 = Size(m_statusCategories + 1);
  double* emission = work.emission.data() + Size(c) * Size(m_occasions) * s;
  int* exponents = work.statusExponent.data();
  for (std::int32_t t = 0; t < m_itemOccasions; ++t) {
    double* e = emission + Size(t) * s;
    const std::int32_t* y = responses + m_classItems + t * m_statusItems;
    const double* table =
        m_statusRho.data() +
        (Size(c) * Size(m_itemOccasions) + Size(t)) * Size(m_statusItems) * ks1 * s;
    for (std::int32_t i = 0; i < m_statusItems; ++i) {
      work.itemRows[Size(i)] = table + (Size(i) * ks1 + Size(y[i])) * s;
    }
    const double* const* rows = work.itemRows.data();
    int scaledAny = 0;
    for (std::size_t d = 0; d < s; ++d) {
      int exponent = 0;
      e[d] = ScaledProduct(rows[0][d], m_statusItems - 1,
                           [rows, d](int i) { return rows[i + 1][d]; }, &exponent);
      exponents[d] = exponent;
      scaledAny |= exponent;
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
    work.emissionExponent[Size(c) * Size(m_occasions) + Size(t)] = common;
  }
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
double EStep::Forward(const std::int32_t* responses, Work& work) const {
  const std::size_t s = Size(m_statuses);
  const std::size_t states = Size(m_stateStride);
  const std::size_t kc1 = Size(m_classCategories + 1);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    const double* classRho = m_classRho.data() + Size(c) * Size(m_classItems) * kc1;
    int factorExponent = 0;
    const double factor = ScaledProduct(
        m_gamma[Size(c)], m_classItems,
        [classRho, responses, kc1](int j) {
          return classRho[Size(j) * kc1 + Size(responses[j])];
        },
        &factorExponent);
    work.classFactor[Size(c)] = factor;
    work.classExponent[Size(c)] = factorExponent;
    if (factor == 0.0) {
      work.classProbability[Size(c)] = 0.0;
      continue;
    }

    Emissions(responses, c, work);
    const double* emission = work.emission.data() + Size(c) * Size(m_occasions) * s;
    const int* emissionExponent = work.emissionExponent.data() + Size(c) * Size(m_occasions);
    int* alphaExponent = work.alphaExponent.data() + Size(c) * Size(m_occasions);

    double* alpha = work.alpha.data() + Size(c) * Size(m_occasions) * states;
    const double* delta = m_delta.data() + Size(c) * s;
    const double* tau = m_tau.data() + Size(c) * Size(m_rows) * s;
    for (std::size_t d = 0; d < s; ++d) alpha[d] = delta[d] * emission[d];
    alphaExponent[0] = emissionExponent[0];
    KeepAbove(alpha, s, &alphaExponent[0]);
    std::int32_t t = 1;
    if (m_secondOrder) {
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
    const double* tauForward = m_tauForward.data() + Size(c) * Size(m_rows) * s;
    for (; t < m_occasions; ++t) {
      const double* previous = alpha + Size(t - 1) * states;
      double* current = alpha + Size(t) * states;
      const double* e = emission + Size(t) * s;
      double largest = 0.0;
      if (m_secondOrder) {
        // From the pair (a, b) at t-1, t to (b, d) at t, t+1, by row S + (t-2) S^2 + aS + b
        // (occasions counted from 1).
        const double* block = tauForward + (s + Size(t - 2) * states) * s;
        for (std::size_t b = 0; b < s; ++b) {
          for (std::size_t d = 0; d < s; ++d) {
            const double* column = block + (b * s + d) * s;
            double sum = 0.0;
            for (std::size_t a = 0; a < s; ++a) sum += previous[a * s + b] * column[a];
            const double value = sum * e[d];
            current[b * s + d] = value;
            largest = value > largest ? value : largest;
          }
        }
      } else {
        const double* block = tauForward + Size(t - 1) * s * s;
        for (std::size_t d = 0; d < s; ++d) {
          const double* column = block + d * s;
          double sum = 0.0;
          for (std::size_t a = 0; a < s; ++a) sum += previous[a] * column[a];
          const double value = sum * e[d];
          current[d] = value;
          largest = value > largest ? value : largest;
        }
      }
      alphaExponent[t] = alphaExponent[t - 1] + emissionExponent[t];
      if (largest < kRescaleBelow) {
        KeepAbove(current, m_secondOrder ? states : s, largest, &alphaExponent[t]);
      }
    }
    const double* last = alpha + Size(m_occasions - 1) * states;
    const std::size_t lastStates = m_occasions == 1 ? s : states;
    double sum = 0.0;
    for (std::size_t x = 0; x < lastStates; ++x) sum += last[x];
    work.classProbability[Size(c)] = factor * sum;
    // The exponent of the class's term, kept until the classes are combined.
    work.classExponent[Size(c)] = factorExponent + alphaExponent[m_occasions - 1];
  }
  const double probability = CombineClasses(work.classExponent.data(), work);
  // Back to the factor's own exponent, which Backward needs.
  for (std::int32_t c = 0; c < m_classes; ++c) {
    if (work.classFactor[Size(c)] == 0.0) continue;
    work.classExponent[Size(c)] -= work.alphaExponent[Size(c) * Size(m_occasions) +
                                                      Size(m_occasions - 1)];
  }
  return probability;
}

double EStep::ClassTerms(const std::int32_t* responses, Work& work) const {
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

void EStep::AccumulateClasses(const std::int32_t* responses, double weight, Work& work) const {
  const std::size_t margins = Size(m_occasions) * Size(m_statuses);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    const double term = work.classProbability[Size(c)];
    if (term == 0.0) continue;
    const double posterior = weight * term;
    work.classCount[Size(c)] += posterior;
    work.marginCount[Size(c) * margins] += posterior;
    AccumulateClassItems(responses, c, posterior, work);
  }
}

// The backward recursion of every class after Forward, adding weight times the posterior
// counts: weight is n / P (P without its factor 2^patternExponent), so each class adds
// n P(class, statuses | pattern). Every product of a forward message, a backward message and
// the class factor is brought to its true scale through the one multiplier k that stands in
// front of it.
void EStep::Backward(const std::int32_t* responses, double weight, Work& work) const {
  const std::size_t s = Size(m_statuses);
  const std::size_t states = Size(m_stateStride);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    if (work.classProbability[Size(c)] == 0.0) continue;
    const double k = weight * work.classFactor[Size(c)];
    const int kExponent = work.classExponent[Size(c)] - work.patternExponent;
    const double* emission = work.emission.data() + Size(c) * Size(m_occasions) * s;
    const int* emissionExponent = work.emissionExponent.data() + Size(c) * Size(m_occasions);
    const double* alpha = work.alpha.data() + Size(c) * Size(m_occasions) * states;
    const int* alphaExponent = work.alphaExponent.data() + Size(c) * Size(m_occasions);
    const double* tau = m_tau.data() + Size(c) * Size(m_rows) * s;
    double* tauCount = work.tauCount.data() + Size(c) * Size(m_rows) * s;
    double* beta = work.beta.data();
    double* next = work.betaNext.data();
    double* scaled = work.scaled.data();
    double* posterior = work.posterior.data();
    double classPosterior = 0.0;
    int betaExponent = 0;

    if (m_secondOrder) {
      double* pairPosterior = work.pairPosterior.data();
      std::fill_n(beta, states, 1.0);
      for (std::int32_t t = m_occasions - 1; t >= 1; --t) {
        const double* current = alpha + Size(t) * states;
        const double kt = TimesPowerOfTwo(k, kExponent + alphaExponent[t] + betaExponent);
        for (std::size_t x = 0; x < states; ++x) pairPosterior[x] = kt * current[x] * beta[x];
        std::fill_n(posterior, s, 0.0);
        for (std::size_t a = 0; a < s; ++a) {
          for (std::size_t b = 0; b < s; ++b) posterior[b] += pairPosterior[a * s + b];
        }
        AccumulateOccasion(responses, c, t, posterior, work);
        const double* e = emission + Size(t) * s;
        if (t >= 2) {
          // Pairs (a, b) at t-2, t-1 (counted from 0) move to d by row S + (t-2) S^2 + aS + b.
          for (std::size_t b = 0; b < s; ++b) {
            for (std::size_t d = 0; d < s; ++d) scaled[b * s + d] = e[d] * beta[b * s + d];
          }
          const int scaledExponent = emissionExponent[t] + betaExponent;
          const double kStep =
              TimesPowerOfTwo(k, kExponent + alphaExponent[t - 1] + scaledExponent);
          const double* previous = alpha + Size(t - 1) * states;
          const std::size_t first = s + Size(t - 2) * states;
          double largest = 0.0;
          for (std::size_t a = 0; a < s; ++a) {
            for (std::size_t b = 0; b < s; ++b) {
              const std::size_t pair = a * s + b;
              const double* row = tau + (first + pair) * s;
              double* count = tauCount + (first + pair) * s;
              const double* g = scaled + b * s;
              const double kx = kStep * previous[pair];
              double sum = 0.0;
              for (std::size_t d = 0; d < s; ++d) {
                const double x = row[d] * g[d];
                sum += x;
                count[d] += kx * x;
              }
              next[pair] = sum;
              largest = sum > largest ? sum : largest;
            }
          }
          std::swap(beta, next);
          betaExponent = scaledExponent;
          if (largest < kRescaleBelow) KeepAbove(beta, states, largest, &betaExponent);
        } else {
          // The first transition: the posterior of the pair (s1, s2) is its count.
          for (std::size_t x = 0; x < states; ++x) tauCount[x] += pairPosterior[x];
          std::fill_n(posterior, s, 0.0);
          for (std::size_t a = 0; a < s; ++a) {
            double sum = 0.0;
            for (std::size_t b = 0; b < s; ++b) sum += pairPosterior[a * s + b];
            posterior[a] = sum;
            classPosterior += sum;
          }
          AccumulateOccasion(responses, c, 0, posterior, work);
        }
      }
    } else {
      std::fill_n(beta, s, 1.0);
      for (std::int32_t t = m_occasions - 1;; --t) {
        const double* current = alpha + Size(t) * states;
        const double kt = TimesPowerOfTwo(k, kExponent + alphaExponent[t] + betaExponent);
        for (std::size_t x = 0; x < s; ++x) posterior[x] = kt * current[x] * beta[x];
        AccumulateOccasion(responses, c, t, posterior, work);
        if (t == 0) {
          for (std::size_t x = 0; x < s; ++x) classPosterior += posterior[x];
          break;
        }
        const double* e = emission + Size(t) * s;
        for (std::size_t d = 0; d < s; ++d) scaled[d] = e[d] * beta[d];
        const int scaledExponent = emissionExponent[t] + betaExponent;
        const double kStep = TimesPowerOfTwo(k, kExponent + alphaExponent[t - 1] + scaledExponent);
        const double* previous = alpha + Size(t - 1) * states;
        const std::size_t first = Size(t - 1) * s;
        double largest = 0.0;
        for (std::size_t a = 0; a < s; ++a) {
          const double* row = tau + (first + a) * s;
          double* count = tauCount + (first + a) * s;
          const double kx = kStep * previous[a];
          double sum = 0.0;
          for (std::size_t d = 0; d < s; ++d) {
            const double x = row[d] * scaled[d];
            sum += x;
            count[d] += kx * x;
          }
          next[a] = sum;
          largest = sum > largest ? sum : largest;
        }
        std::swap(beta, next);
        betaExponent = scaledExponent;
        if (largest < kRescaleBelow) KeepAbove(beta, s, largest, &betaExponent);
      }
    }
    work.classCount[Size(c)] += classPosterior;
    AccumulateClassItems(responses, c, classPosterior, work);
  }
}

void EStep::AccumulateOccasion(const std::int32_t* responses, std::int32_t c, std::int32_t t,
                               const double* posterior, Work& work) const {
  const std::size_t s = Size(m_statuses);
  double* margin = work.marginCount.data() + (Size(c) * Size(m_occasions) + Size(t)) * s;
  for (std::size_t x = 0; x < s; ++x) margin[x] += posterior[x];
  if (t >= m_itemOccasions) return;
  const std::size_t ks = Size(m_statusCategories);
  const std::size_t slot = (Size(c) * Size(m_itemOccasions) + Size(t)) * Size(m_statusItems);
  const std::int32_t* y = responses + m_classItems + t * m_statusItems;
  for (std::int32_t i = 0; i < m_statusItems; ++i) {
    double* count = work.statusRhoCount.data() + (slot + Size(i)) * ks * s;
    if (y[i] > 0) {
      count += Size(y[i] - 1) * s;
      for (std::size_t x = 0; x < s; ++x) count[x] += posterior[x];
      continue;
    }
    const double* spread = m_statusSpread.data() + (slot + Size(i)) * ks * s;
    const std::size_t own =
        std::min(Size(m_categories[Size(m_classItems + i)]), ks);
    for (std::size_t k = 0; k < own; ++k) {
      for (std::size_t x = 0; x < s; ++x) count[k * s + x] += posterior[x] * spread[k * s + x];
    }
  }
}

void EStep::AccumulateClassItems(const std::int32_t* responses, std::int32_t c,
                                 double posterior, Work& work) const {
  const std::size_t kc = Size(m_classCategories);
  for (std::int32_t j = 0; j < m_classItems; ++j) {
    const std::size_t slot = Size(c) * Size(m_classItems) + Size(j);
    double* count = work.classRhoCount.data() + slot * kc;
    if (responses[j] > 0) {
      count[Size(responses[j] - 1)] += posterior;
      continue;
    }
    const double* spread = m_classSpread.data() + slot * kc;
    const std::size_t own = std::min(Size(m_categories[Size(j)]), kc);
    for (std::size_t k = 0; k < own; ++k) count[k] += posterior * spread[k];
  }
}

namespace {

// Patterns of a block: enough that a block's own accumulators and their sum cost little beside
// its recursions, few enough that the blocks keep two to eight threads busy. At most
// kMaxBlocks blocks, so that their accumulators stay a small multiple of one set.
constexpr std::size_t kPatternsPerBlock = 256;
constexpr std::size_t kMaxBlocks = 64;

std::size_t BlockCount(std::size_t patterns) {
  return std::clamp<std::size_t>((patterns + kPatternsPerBlock - 1) / kPatternsPerBlock, 1,
                                 kMaxBlocks);
}

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

  const std::size_t blocks = BlockCount(patternCount);
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
  BlockSums sums;
  const bool classesOnly = ClassesOnly();
  for (std::size_t q = begin; q < end; ++q) {
    const std::int32_t* responses = patterns.Pattern(static_cast<std::int32_t>(q));
    const double frequency = patterns.frequencies[q];
    sums.frequency += frequency;
    // The probability is `scaled` x 2^exponent.
    const double scaled = classesOnly ? ClassTerms(responses, *work) : Forward(responses, *work);
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
      AccumulateClasses(responses, weight, *work);
    } else {
      Backward(responses, weight, *work);
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
      const double* count = work.tauCount.data() + (Size(c) * Size(m_rows) + Size(row)) * s;
      for (std::int32_t j = 0; j < m_statuses; ++j) {
        counts->transitionCounts[tauShape(row, j, c)] = count[j];
      }
    }
  }

  const auto littleShape = input::LittleRhoShape(dims);
  counts->littleRhoCounts.assign(littleShape.Size(), 0.0);
  const std::size_t kc = Size(m_classCategories);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    for (std::int32_t j = 0; j < m_classItems; ++j) {
      const double* count =
          work.classRhoCount.data() + (Size(c) * Size(m_classItems) + Size(j)) * kc;
      for (std::size_t k = 0; k < kc; ++k) counts->littleRhoCounts[littleShape(k, j, c)] = count[k];
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
      ClassesOnly() ? ClassTerms(responses, m_work) : Forward(responses, m_work);
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
