#include "estep.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

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
  const std::size_t t = Size(m_occasions);
  m_stateStride = m_secondOrder ? m_statuses * m_statuses : m_statuses;
  const std::size_t states = Size(m_stateStride);
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

  m_classFactor.assign(c, 0.0);
  m_emission.assign(c * t * s, 1.0);
  m_alpha.assign(c * t * states, 0.0);
  m_classProbability.assign(c, 0.0);
  m_beta.assign(states, 0.0);
  m_betaNext.assign(states, 0.0);
  m_scaled.assign(states, 0.0);
  m_pairPosterior.assign(states, 0.0);
  m_posterior.assign(s, 0.0);
  m_itemRows.assign(Size(m_statusItems), nullptr);

  m_classCount.assign(c, 0.0);
  m_marginCount.assign(c * t * s, 0.0);
  m_tauCount.assign(m_tau.size(), 0.0);
  m_classRhoCount.assign(m_classSpread.size(), 0.0);
  m_statusRhoCount.assign(m_statusSpread.size(), 0.0);
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

// The forward recursion of every class: alpha at each occasion is the probability of the
// responses up to that occasion jointly with the current status (or pair of statuses), given
// the class. Returns the pattern probability; keeps the per-class parts.
double EStep::Forward(const std::int32_t* responses) {
  const std::size_t s = Size(m_statuses);
  const std::size_t states = Size(m_stateStride);
  const std::size_t ks1 = Size(m_statusCategories + 1);
  const std::size_t kc1 = Size(m_classCategories + 1);
  double probability = 0.0;
  for (std::int32_t c = 0; c < m_classes; ++c) {
    double factor = m_gamma[Size(c)];
    const double* classRho = m_classRho.data() + Size(c) * Size(m_classItems) * kc1;
    for (std::int32_t j = 0; j < m_classItems; ++j) {
      factor *= classRho[Size(j) * kc1 + Size(responses[j])];
    }
    m_classFactor[Size(c)] = factor;
    if (factor == 0.0) {
      m_classProbability[Size(c)] = 0.0;
      continue;
    }

    // Emissions: the product over the status items of each occasion.
    double* emission = m_emission.data() + Size(c) * Size(m_occasions) * s;
    for (std::int32_t t = 0; t < m_itemOccasions; ++t) {
      double* e = emission + Size(t) * s;
      const std::int32_t* y = responses + m_classItems + t * m_statusItems;
      const double* table =
          m_statusRho.data() +
          (Size(c) * Size(m_itemOccasions) + Size(t)) * Size(m_statusItems) * ks1 * s;
      // The product runs over the items in a register per status: accumulating in e[] would
      // make every item wait for the store of the one before.
      for (std::int32_t i = 0; i < m_statusItems; ++i) {
        m_itemRows[Size(i)] = table + (Size(i) * ks1 + Size(y[i])) * s;
      }
      const double* const* rows = m_itemRows.data();
      for (std::size_t d = 0; d < s; ++d) {
        double product = rows[0][d];
        for (std::int32_t i = 1; i < m_statusItems; ++i) product *= rows[i][d];
        e[d] = product;
      }
    }

    double* alpha = m_alpha.data() + Size(c) * Size(m_occasions) * states;
    const double* delta = m_delta.data() + Size(c) * s;
    const double* tau = m_tau.data() + Size(c) * Size(m_rows) * s;
    for (std::size_t d = 0; d < s; ++d) alpha[d] = delta[d] * emission[d];
    std::int32_t t = 1;
    if (m_secondOrder) {
      // Occasion 2 over pairs (s1, s2): the first transition uses row s1.
      double* pair = alpha + states;
      const double* e = emission + s;
      for (std::size_t a = 0; a < s; ++a) {
        for (std::size_t b = 0; b < s; ++b) pair[a * s + b] = alpha[a] * tau[a * s + b] * e[b];
      }
      t = 2;
    }
    const double* tauForward = m_tauForward.data() + Size(c) * Size(m_rows) * s;
    for (; t < m_occasions; ++t) {
      const double* previous = alpha + Size(t - 1) * states;
      double* current = alpha + Size(t) * states;
      const double* e = emission + Size(t) * s;
      if (m_secondOrder) {
        // From the pair (a, b) at t-1, t to (b, d) at t, t+1, by row S + (t-2) S^2 + aS + b
        // (occasions counted from 1).
        const double* block = tauForward + (s + Size(t - 2) * states) * s;
        for (std::size_t b = 0; b < s; ++b) {
          for (std::size_t d = 0; d < s; ++d) {
            const double* column = block + (b * s + d) * s;
            double sum = 0.0;
            for (std::size_t a = 0; a < s; ++a) sum += previous[a * s + b] * column[a];
            current[b * s + d] = sum * e[d];
          }
        }
      } else {
        const double* block = tauForward + Size(t - 1) * s * s;
        for (std::size_t d = 0; d < s; ++d) {
          const double* column = block + d * s;
          double sum = 0.0;
          for (std::size_t a = 0; a < s; ++a) sum += previous[a] * column[a];
          current[d] = sum * e[d];
        }
      }
    }
    const double* last = alpha + Size(m_occasions - 1) * states;
    const std::size_t lastStates = m_occasions == 1 ? s : states;
    double sum = 0.0;
    for (std::size_t x = 0; x < lastStates; ++x) sum += last[x];
    m_classProbability[Size(c)] = factor * sum;
    probability += factor * sum;
  }
  return probability;
}

double EStep::ClassTerms(const std::int32_t* responses) {
  const std::size_t kc1 = Size(m_classCategories + 1);
  double probability = 0.0;
  for (std::int32_t c = 0; c < m_classes; ++c) {
    double term = m_gamma[Size(c)] * m_delta[Size(c)];
    const double* classRho = m_classRho.data() + Size(c) * Size(m_classItems) * kc1;
    for (std::int32_t j = 0; j < m_classItems; ++j) {
      term *= classRho[Size(j) * kc1 + Size(responses[j])];
    }
    m_classProbability[Size(c)] = term;
    probability += term;
  }
  return probability;
}

void EStep::AccumulateClasses(const std::int32_t* responses, double weight) {
  const std::size_t margins = Size(m_occasions) * Size(m_statuses);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    const double term = m_classProbability[Size(c)];
    if (term == 0.0) continue;
    const double posterior = weight * term;
    m_classCount[Size(c)] += posterior;
    m_marginCount[Size(c) * margins] += posterior;
    AccumulateClassItems(responses, c, posterior);
  }
}

// The backward recursion of every class after Forward, adding weight times the posterior
// counts: weight is n / P, so each class adds n P(class, statuses | pattern).
void EStep::Backward(const std::int32_t* responses, double weight) {
  const std::size_t s = Size(m_statuses);
  const std::size_t states = Size(m_stateStride);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    if (m_classProbability[Size(c)] == 0.0) continue;
    const double k = weight * m_classFactor[Size(c)];
    const double* emission = m_emission.data() + Size(c) * Size(m_occasions) * s;
    const double* alpha = m_alpha.data() + Size(c) * Size(m_occasions) * states;
    const double* tau = m_tau.data() + Size(c) * Size(m_rows) * s;
    double* tauCount = m_tauCount.data() + Size(c) * Size(m_rows) * s;
    double* beta = m_beta.data();
    double* next = m_betaNext.data();
    double* scaled = m_scaled.data();
    double* posterior = m_posterior.data();
    double classPosterior = 0.0;

    if (m_secondOrder) {
      double* pairPosterior = m_pairPosterior.data();
      std::fill_n(beta, states, 1.0);
      for (std::int32_t t = m_occasions - 1; t >= 1; --t) {
        const double* current = alpha + Size(t) * states;
        for (std::size_t x = 0; x < states; ++x) pairPosterior[x] = k * current[x] * beta[x];
        std::fill_n(posterior, s, 0.0);
        for (std::size_t a = 0; a < s; ++a) {
          for (std::size_t b = 0; b < s; ++b) posterior[b] += pairPosterior[a * s + b];
        }
        AccumulateOccasion(responses, c, t, posterior);
        const double* e = emission + Size(t) * s;
        if (t >= 2) {
          // Pairs (a, b) at t-2, t-1 (counted from 0) move to d by row S + (t-2) S^2 + aS + b.
          for (std::size_t b = 0; b < s; ++b) {
            for (std::size_t d = 0; d < s; ++d) scaled[b * s + d] = e[d] * beta[b * s + d];
          }
          const double* previous = alpha + Size(t - 1) * states;
          const std::size_t first = s + Size(t - 2) * states;
          for (std::size_t a = 0; a < s; ++a) {
            for (std::size_t b = 0; b < s; ++b) {
              const std::size_t pair = a * s + b;
              const double* row = tau + (first + pair) * s;
              double* count = tauCount + (first + pair) * s;
              const double* g = scaled + b * s;
              const double kx = k * previous[pair];
              double sum = 0.0;
              for (std::size_t d = 0; d < s; ++d) {
                const double x = row[d] * g[d];
                sum += x;
                count[d] += kx * x;
              }
              next[pair] = sum;
            }
          }
          std::swap(beta, next);
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
          AccumulateOccasion(responses, c, 0, posterior);
        }
      }
    } else {
      std::fill_n(beta, s, 1.0);
      for (std::int32_t t = m_occasions - 1;; --t) {
        const double* current = alpha + Size(t) * states;
        for (std::size_t x = 0; x < s; ++x) posterior[x] = k * current[x] * beta[x];
        AccumulateOccasion(responses, c, t, posterior);
        if (t == 0) {
          for (std::size_t x = 0; x < s; ++x) classPosterior += posterior[x];
          break;
        }
        const double* e = emission + Size(t) * s;
        for (std::size_t d = 0; d < s; ++d) scaled[d] = e[d] * beta[d];
        const double* previous = alpha + Size(t - 1) * states;
        const std::size_t first = Size(t - 1) * s;
        for (std::size_t a = 0; a < s; ++a) {
          const double* row = tau + (first + a) * s;
          double* count = tauCount + (first + a) * s;
          const double kx = k * previous[a];
          double sum = 0.0;
          for (std::size_t d = 0; d < s; ++d) {
            const double x = row[d] * scaled[d];
            sum += x;
            count[d] += kx * x;
          }
          next[a] = sum;
        }
        std::swap(beta, next);
      }
    }
    m_classCount[Size(c)] += classPosterior;
    AccumulateClassItems(responses, c, classPosterior);
  }
}

void EStep::AccumulateOccasion(const std::int32_t* responses, std::int32_t c, std::int32_t t,
                               const double* posterior) {
  const std::size_t s = Size(m_statuses);
  double* margin = m_marginCount.data() + (Size(c) * Size(m_occasions) + Size(t)) * s;
  for (std::size_t x = 0; x < s; ++x) margin[x] += posterior[x];
  if (t >= m_itemOccasions) return;
  const std::size_t ks = Size(m_statusCategories);
  const std::size_t slot = (Size(c) * Size(m_itemOccasions) + Size(t)) * Size(m_statusItems);
  const std::int32_t* y = responses + m_classItems + t * m_statusItems;
  for (std::int32_t i = 0; i < m_statusItems; ++i) {
    double* count = m_statusRhoCount.data() + (slot + Size(i)) * ks * s;
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
                                 double posterior) {
  const std::size_t kc = Size(m_classCategories);
  for (std::int32_t j = 0; j < m_classItems; ++j) {
    const std::size_t slot = Size(c) * Size(m_classItems) + Size(j);
    double* count = m_classRhoCount.data() + slot * kc;
    if (responses[j] > 0) {
      count[Size(responses[j] - 1)] += posterior;
      continue;
    }
    const double* spread = m_classSpread.data() + slot * kc;
    const std::size_t own = std::min(Size(m_categories[Size(j)]), kc);
    for (std::size_t k = 0; k < own; ++k) count[k] += posterior * spread[k];
  }
}

double EStep::Run(const input::ParameterSet& values, const GroupedPatterns& grouped,
                  ExpectedCounts* counts, std::vector<double>* probabilities) {
  SetParameters(values);
  const input::PatternTable& patterns = grouped.patterns;
  const std::size_t patternCount = Size(patterns.patternCount);
  if (probabilities != nullptr) probabilities->assign(patternCount, 0.0);
  if (counts != nullptr) {
    std::fill(m_classCount.begin(), m_classCount.end(), 0.0);
    std::fill(m_marginCount.begin(), m_marginCount.end(), 0.0);
    std::fill(m_tauCount.begin(), m_tauCount.end(), 0.0);
    std::fill(m_classRhoCount.begin(), m_classRhoCount.end(), 0.0);
    std::fill(m_statusRhoCount.begin(), m_statusRhoCount.end(), 0.0);
  }

  double total = 0.0;
  double logLikelihood = 0.0;
  for (std::size_t q = 0; q < patternCount; ++q) {
    const std::int32_t* responses = patterns.Pattern(static_cast<std::int32_t>(q));
    const double frequency = patterns.frequencies[q];
    total += frequency;
    const bool classesOnly = ClassesOnly();
    const double probability = classesOnly ? ClassTerms(responses) : Forward(responses);
    if (probabilities != nullptr) (*probabilities)[q] = probability;
    // A pattern the model cannot produce (or one with no subjects) has no posterior; so has one
    // whose probability is too small for n / P to be represented.
    if (!(probability > 0.0) || !(frequency > 0.0)) continue;
    logLikelihood += frequency * std::log(probability);
    if (counts == nullptr) continue;
    const double weight = frequency / probability;
    if (!std::isfinite(weight)) continue;
    if (classesOnly) {
      AccumulateClasses(responses, weight);
    } else {
      Backward(responses, weight);
    }
  }
  if (counts != nullptr) StoreCounts(total, counts);
  return logLikelihood;
}

void EStep::StoreCounts(double total, ExpectedCounts* counts) const {
  const ModelDimensions& dims = m_dims;
  const std::size_t s = Size(m_statuses);
  counts->total = total;

  counts->classCounts.assign(input::GammaShape(dims).Size(), 0.0);
  for (std::int32_t c = 0; c < m_classes; ++c) counts->classCounts[Size(c)] = m_classCount[Size(c)];
  if (!dims.HasClasses() && m_classes == 1) counts->classCounts[0] = total;

  const auto deltaShape = input::DeltaShape(dims);
  counts->statusMargins.assign(deltaShape.Size(), 0.0);
  const std::int32_t marginOccasions =
      std::min<std::int32_t>(m_occasions, static_cast<std::int32_t>(deltaShape.Extent(2)));
  for (std::int32_t c = 0; c < m_classes; ++c) {
    for (std::int32_t t = 0; t < marginOccasions; ++t) {
      for (std::int32_t st = 0; st < m_statuses; ++st) {
        counts->statusMargins[deltaShape(c, st, t)] =
            m_marginCount[(Size(c) * Size(m_occasions) + Size(t)) * s + Size(st)];
      }
    }
  }

  const auto tauShape = input::TauShape(dims);
  counts->transitionCounts.assign(tauShape.Size(), 0.0);
  const std::int32_t rows = std::min(m_rows, m_tableRows);
  for (std::int32_t c = 0; c < m_classes; ++c) {
    for (std::int32_t row = 0; row < rows; ++row) {
      const double* count = m_tauCount.data() + (Size(c) * Size(m_rows) + Size(row)) * s;
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
          m_classRhoCount.data() + (Size(c) * Size(m_classItems) + Size(j)) * kc;
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
            m_statusRhoCount.data() +
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

double EStep::Probability(const std::int32_t* responses) { return Forward(responses); }

double EStep::PatternProbability(const input::ParameterSet& values,
                                 const std::int32_t* responses) {
  SetParameters(values);
  return Forward(responses);
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
