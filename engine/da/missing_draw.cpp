#include "missing_draw.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "uniform.h"

namespace kov::da {

MissingResponseDraw::MissingResponseDraw(const input::Model& model)
    : m_latent(model),
      m_items(model.dims.ItemCount()),
      m_classes(m_latent.Classes()),
      m_statuses(m_latent.Statuses()) {
  const std::size_t c = Size(m_classes);
  const std::size_t s = Size(m_statuses);
  const std::size_t statusSlots = Size(m_latent.ItemOccasions()) * Size(m_latent.StatusItems());
  m_pattern.assign(Size(m_items), 0);
  m_missingClassItems.reserve(Size(m_latent.ClassItems()));
  m_missingStatusItems.reserve(statusSlots);
  m_occasionMissing.assign(Size(m_latent.ItemOccasions()) + 1, 0);
  m_classBase.assign(c, 0.0);
  m_classSuffix.assign(Size(m_latent.ClassItems()) * c, 0.0);
  m_observedEmission.assign(Size(m_latent.ItemOccasions()) * c * s, 0.0);
  m_statusSuffix.assign(statusSlots * c * s, 0.0);

  m_base.assign(c, 0.0);
  std::int32_t categories = 1;
  for (std::int32_t n = 0; n < m_items; ++n) {
    categories = std::max(categories, m_latent.OwnCategories(n));
  }
  m_weights.assign(Size(categories), 0.0);
  m_before.assign(c * Size(m_latent.MaxStates()), 0.0);
  m_after.assign(m_before.size(), 0.0);
  m_emission.assign(c * s, 0.0);
  m_reach.assign(c * s, 0.0);
}

void MissingResponseDraw::SetParameters(const input::ParameterSet& values) {
  m_latent.SetParameters(values);
}

double MissingResponseDraw::Prepare(const std::int32_t* responses) {
  std::copy_n(responses, Size(m_items), m_pattern.begin());
  m_total = m_latent.Prepare(responses);
  const std::int32_t classItems = m_latent.ClassItems();
  const std::int32_t statusItems = m_latent.StatusItems();
  const std::size_t s = Size(m_statuses);

  // Class items: the observed part of the class factor, and for each missing item the row sums
  // of the missing items after it, which the completions of those later items add up to.
  m_missingClassItems.clear();
  for (std::int32_t j = 0; j < classItems; ++j) {
    if (responses[j] == 0) m_missingClassItems.push_back(j);
  }
  const std::size_t classMissing = m_missingClassItems.size();
  for (std::int32_t c = 0; c < m_classes; ++c) {
    double base = m_latent.Gamma(c);
    for (std::int32_t j = 0; j < classItems; ++j) {
      if (responses[j] != 0) base *= m_latent.ClassRho(c, j)[responses[j]];
    }
    m_classBase[Size(c)] = base;
    double suffix = 1.0;
    for (std::size_t q = classMissing; q-- > 0;) {
      m_classSuffix[q * Size(m_classes) + Size(c)] = suffix;
      suffix *= m_latent.ClassRho(c, m_missingClassItems[q])[0];
    }
  }

  // Status items, occasion by occasion, in the same way per class and status.
  m_missingStatusItems.clear();
  m_firstMissingOccasion = 0;
  m_lastMissingOccasion = -1;
  for (std::int32_t t = 0; t < m_latent.ItemOccasions(); ++t) {
    m_occasionMissing[Size(t)] = static_cast<std::int32_t>(m_missingStatusItems.size());
    const std::int32_t* y = responses + classItems + t * statusItems;
    for (std::int32_t i = 0; i < statusItems; ++i) {
      if (y[i] == 0) m_missingStatusItems.push_back(i);
    }
    const std::size_t begin = Size(m_occasionMissing[Size(t)]);
    const std::size_t end = m_missingStatusItems.size();
    if (begin == end) continue;
    if (m_lastMissingOccasion < 0) m_firstMissingOccasion = t;
    m_lastMissingOccasion = t;
    for (std::int32_t c = 0; c < m_classes; ++c) {
      double* observedEmission =
          m_observedEmission.data() + (Size(t) * Size(m_classes) + Size(c)) * s;
      std::fill_n(observedEmission, s, 1.0);
      for (std::int32_t i = 0; i < statusItems; ++i) {
        if (y[i] == 0) continue;
        const double* rho = m_latent.StatusRho(c, t, i) + Size(y[i]) * s;
        for (std::size_t d = 0; d < s; ++d) observedEmission[d] *= rho[d];
      }
      for (std::size_t d = 0; d < s; ++d) {
        double suffix = 1.0;
        for (std::size_t q = end; q-- > begin;) {
          m_statusSuffix[(q * Size(m_classes) + Size(c)) * s + d] = suffix;
          suffix *= m_latent.StatusRho(c, t, m_missingStatusItems[q])[d];
        }
      }
    }
  }
  m_occasionMissing[Size(m_latent.ItemOccasions())] =
      static_cast<std::int32_t>(m_missingStatusItems.size());
  // Up to the first occasion with a missing item every subject shares the pattern's forward
  // message.
  if (m_lastMissingOccasion >= 0) m_latent.Forward(m_firstMissingOccasion);
  return m_total;
}

// P(class item j = k | observed, drawn) is proportional to the sum over the classes of the
// class part so far x LITTLE RHO(k) x the later missing items' row sums x P(status part | c).
bool MissingResponseDraw::DrawClassItems(double* u, std::int32_t* completed) {
  for (std::size_t q = 0; q < m_missingClassItems.size(); ++q) {
    const std::int32_t j = m_missingClassItems[q];
    const std::int32_t own = m_latent.OwnCategories(j);
    const double* suffix = m_classSuffix.data() + q * Size(m_classes);
    for (std::int32_t k = 0; k < own; ++k) {
      double weight = 0.0;
      for (std::int32_t c = 0; c < m_classes; ++c) {
        weight += m_base[Size(c)] * m_latent.ClassRho(c, j)[k + 1] * suffix[c] *
                  m_latent.Dynamic(c);
      }
      m_weights[Size(k)] = weight;
    }
    const std::size_t chosen = ChooseAndRescale(m_weights.data(), Size(own), u);
    if (chosen == Size(own)) return false;
    const std::int32_t category = static_cast<std::int32_t>(chosen) + 1;
    completed[j] = category;
    for (std::int32_t c = 0; c < m_classes; ++c) m_base[Size(c)] *= m_latent.ClassRho(c, j)[category];
  }
  return true;
}

// P(status item i at occasion t = k | observed, drawn) is proportional to the sum over class c
// and state x at t of: the class part, the forward message before t's emission, t's emission
// so far (observed and drawn items), BIG RHO(k), the row sums of t's later missing items, and
// the backward message of x. Only the occasions from the first to the last with a missing item
// are walked; before them the pattern's own forward message holds.
bool MissingResponseDraw::DrawStatusItems(double* u, std::int32_t* completed) {
  const std::size_t s = Size(m_statuses);
  const std::size_t stride = Size(m_latent.MaxStates());
  const std::int32_t classItems = m_latent.ClassItems();
  const std::int32_t statusItems = m_latent.StatusItems();
  for (std::int32_t t = m_firstMissingOccasion; t <= m_lastMissingOccasion; ++t) {
    const std::size_t states = Size(m_latent.States(t));
    for (std::int32_t c = 0; c < m_classes; ++c) {
      double* before = m_before.data() + Size(c) * stride;
      if (t == 0) {
        std::copy_n(m_latent.Delta(c), s, before);
      } else {
        const double* previous = t == m_firstMissingOccasion ? m_latent.Alpha(c, t - 1)
                                                             : m_after.data() + Size(c) * stride;
        m_latent.ForwardStep(c, t, previous, before);
      }
    }

    const std::size_t begin = Size(m_occasionMissing[Size(t)]);
    const std::size_t end = Size(m_occasionMissing[Size(t) + 1]);
    if (begin == end) {
      for (std::int32_t c = 0; c < m_classes; ++c) {
        const double* before = m_before.data() + Size(c) * stride;
        const double* e = m_latent.Emission(c, t);
        double* after = m_after.data() + Size(c) * stride;
        for (std::size_t x = 0; x < states; ++x) after[x] = before[x] * e[x % s];
      }
      continue;
    }

    for (std::int32_t c = 0; c < m_classes; ++c) {
      const double* before = m_before.data() + Size(c) * stride;
      const double* beta = m_latent.Beta(c, t);
      double* reach = m_reach.data() + Size(c) * s;
      std::fill_n(reach, s, 0.0);
      for (std::size_t x = 0; x < states; ++x) reach[x % s] += before[x] * beta[x];
      for (std::size_t d = 0; d < s; ++d) reach[d] *= m_base[Size(c)];
      std::copy_n(m_observedEmission.data() + (Size(t) * Size(m_classes) + Size(c)) * s, s,
                  m_emission.data() + Size(c) * s);
    }

    for (std::size_t q = begin; q < end; ++q) {
      const std::int32_t i = m_missingStatusItems[q];
      const std::int32_t item = classItems + t * statusItems + i;
      const std::int32_t own = m_latent.OwnCategories(item);
      std::fill_n(m_weights.begin(), Size(own), 0.0);
      for (std::int32_t c = 0; c < m_classes; ++c) {
        const double* reach = m_reach.data() + Size(c) * s;
        const double* e = m_emission.data() + Size(c) * s;
        const double* suffix = m_statusSuffix.data() + (q * Size(m_classes) + Size(c)) * s;
        const double* rho = m_latent.StatusRho(c, t, i);
        for (std::int32_t k = 0; k < own; ++k) {
          const double* category = rho + Size(k + 1) * s;
          double weight = 0.0;
          for (std::size_t d = 0; d < s; ++d) weight += reach[d] * e[d] * suffix[d] * category[d];
          m_weights[Size(k)] += weight;
        }
      }
      const std::size_t chosen = ChooseAndRescale(m_weights.data(), Size(own), u);
      if (chosen == Size(own)) return false;
      const std::int32_t category = static_cast<std::int32_t>(chosen) + 1;
      completed[item] = category;
      for (std::int32_t c = 0; c < m_classes; ++c) {
        const double* rho = m_latent.StatusRho(c, t, i) + Size(category) * s;
        double* e = m_emission.data() + Size(c) * s;
        for (std::size_t d = 0; d < s; ++d) e[d] *= rho[d];
      }
    }

    for (std::int32_t c = 0; c < m_classes; ++c) {
      const double* before = m_before.data() + Size(c) * stride;
      const double* e = m_emission.data() + Size(c) * s;
      double* after = m_after.data() + Size(c) * stride;
      for (std::size_t x = 0; x < states; ++x) after[x] = before[x] * e[x % s];
    }
  }
  return true;
}

bool MissingResponseDraw::DrawCompletion(double u, std::int32_t* completed) {
  std::copy(m_pattern.begin(), m_pattern.end(), completed);
  if (!(m_total > 0.0) || !std::isfinite(m_total)) return false;
  std::copy(m_classBase.begin(), m_classBase.end(), m_base.begin());
  if (!DrawClassItems(&u, completed)) return false;
  if (m_lastMissingOccasion >= 0 && !DrawStatusItems(&u, completed)) return false;
  return true;
}

void MissingResponseDraw::DrawMissingResponses(const input::ParameterSet& values,
                                               const input::PatternTable& observed,
                                               input::PatternTable* completed) {
  SetParameters(values);
  const std::size_t items = Size(observed.itemCount);
  m_rows.clear();
  m_rowFrequencies.clear();
  for (std::int32_t p = 0; p < observed.patternCount; ++p) {
    const std::int32_t* y = observed.Pattern(p);
    const double frequency = observed.frequencies[Size(p)];
    if (std::find(y, y + items, 0) == y + items) {
      m_rows.insert(m_rows.end(), y, y + items);
      m_rowFrequencies.push_back(frequency);
      continue;
    }
    const std::int64_t subjects = SubjectsOf(frequency);
    if (subjects == 0) continue;
    Prepare(y);
    for (std::int64_t n = 0; n < subjects; ++n) {
      const double u = NextUniform(0);
      const std::size_t start = m_rows.size();
      m_rows.resize(start + items);
      if (DrawCompletion(u, m_rows.data() + start)) {
        m_rowFrequencies.push_back(1.0);
      } else {
        m_rows.resize(start);
      }
    }
  }

  // Distinct patterns in increasing complete cell index: the last item is the most significant
  // digit, so comparing from the last item down gives that order without forming the index.
  m_order.resize(m_rowFrequencies.size());
  std::iota(m_order.begin(), m_order.end(), std::size_t{0});
  const std::int32_t* rows = m_rows.data();
  const auto compare = [rows, items](std::size_t a, std::size_t b) {
    const std::int32_t* ya = rows + a * items;
    const std::int32_t* yb = rows + b * items;
    for (std::size_t i = items; i-- > 0;) {
      if (ya[i] != yb[i]) return ya[i] < yb[i];
    }
    return false;
  };
  std::stable_sort(m_order.begin(), m_order.end(), compare);

  completed->itemCount = observed.itemCount;
  completed->responses.clear();
  completed->frequencies.clear();
  completed->subjectCount = 0.0;
  for (std::size_t k = 0; k < m_order.size();) {
    const std::size_t first = m_order[k];
    double frequency = 0.0;
    for (; k < m_order.size() && !compare(first, m_order[k]); ++k) {
      frequency += m_rowFrequencies[m_order[k]];
    }
    completed->responses.insert(completed->responses.end(), rows + first * items,
                                rows + (first + 1) * items);
    completed->frequencies.push_back(frequency);
    completed->subjectCount += frequency;
  }
  completed->patternCount = static_cast<std::int32_t>(completed->frequencies.size());
}

}  // namespace kov::da
