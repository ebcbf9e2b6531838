#include "posterior_step.h"

#include <algorithm>
#include <cstdlib>
#include <span>

#include "draws.h"
#include "gamma_variate.h"

namespace kov::da {

namespace {

// The posterior parameter of cell i: its count plus its prior.
double Posterior(const std::vector<double>& counts, const std::vector<double>& priors,
                 std::size_t i) {
  return (i < counts.size() ? counts[i] : 0.0) + (i < priors.size() ? priors[i] : 0.0);
}

}  // namespace

input::ParameterSet PriorArrays(const input::ModelDimensions& dims) {
  input::ParameterSet priors;
  input::AllocateParameters(dims, &priors);
  for (std::vector<double>* family :
       {&priors.gamma, &priors.delta, &priors.tau, &priors.littleRho, &priors.bigRho}) {
    std::fill(family->begin(), family->end(), kPriorCount);
  }
  return priors;
}

PosteriorStep::Rows PosteriorStep::MakeRows(const input::ArrayRestrictions& array) {
  const input::ParameterSets& sets = array.sets;
  Rows rows;
  rows.array = &array;
  const std::size_t n = sets.sets;
  rows.links.assign(n, 0);
  rows.fixedSum.assign(n, 0.0);
  rows.freeShape.assign(n, 0.0);
  rows.freeMass.assign(n, 0.0);

  for (std::size_t q = 0; q < n; ++q) {
    if (rows.links[q] != 0) continue;
    bool opens = false;
    for (std::size_t e = 0; e < sets.size; ++e) opens |= array.Code(q, e) >= 2;
    if (!opens) continue;
    const std::int32_t d = static_cast<std::int32_t>(rows.linked.size()) + 1;
    Link link;
    link.head = q;
    rows.links[q] = d;
    // Every row that shares an equality group with a row of the link joins it, so that each
    // group's cells all receive their value from the same draw.
    std::vector<std::size_t> pending = {q};
    link.rows.push_back(q);
    while (!pending.empty()) {
      const std::size_t r = pending.back();
      pending.pop_back();
      for (std::size_t e = 0; e < sets.size; ++e) {
        const std::int32_t g = array.groupOf[sets.At(r, e)];
        if (g == input::kNoGroup) continue;
        for (const std::size_t other : array.groups[static_cast<std::size_t>(g)].sets) {
          if (rows.links[other] != 0) continue;
          rows.links[other] = -d;
          link.rows.push_back(other);
          pending.push_back(other);
        }
      }
    }
    std::sort(link.rows.begin(), link.rows.end());
    // Groups in the order of their first cell in the head row, then in the later rows.
    std::vector<std::size_t> order = {q};
    for (const std::size_t r : link.rows) {
      if (r != q) order.push_back(r);
    }
    for (const std::size_t r : order) {
      for (std::size_t e = 0; e < sets.size; ++e) {
        const std::int32_t g = array.groupOf[sets.At(r, e)];
        if (g == input::kNoGroup) continue;
        const std::size_t group = static_cast<std::size_t>(g);
        if (std::any_of(link.groups.begin(), link.groups.end(),
                        [group](const Group& known) { return known.group == group; })) {
          continue;
        }
        link.groups.push_back({group, array.MembersIn(group, r)});
      }
    }
    rows.linked.push_back(std::move(link));
  }
  return rows;
}

PosteriorStep::PosteriorStep(const input::RestrictionStructure& restrictions)
    : m_restrictions(restrictions),
      m_dims(restrictions.dims),
      m_delta(MakeRows(restrictions.delta)),
      m_tau(MakeRows(restrictions.tau)),
      m_littleRho(MakeRows(restrictions.littleRho)),
      m_bigRho(MakeRows(restrictions.bigRho)) {
  const std::size_t classes = restrictions.gamma.sets.size;
  m_alpha.assign(classes, 0.0);
  m_gammaWeights.assign(classes, 0.0);
  std::size_t widest = 0;
  for (const Rows* rows : {&m_delta, &m_tau, &m_littleRho, &m_bigRho}) {
    widest = std::max(widest, rows->array->sets.size);
  }
  m_draws.reserve(std::max(widest, classes));
}

const std::vector<std::int32_t>& PosteriorStep::RowLinks(RowFamily family) const {
  switch (family) {
    case RowFamily::kDelta:
      return m_delta.links;
    case RowFamily::kTau:
      return m_tau.links;
    case RowFamily::kLittleRho:
      return m_littleRho.links;
    case RowFamily::kBigRho:
      break;
  }
  return m_bigRho.links;
}

void PosteriorStep::DrawRows(Rows& rows, const std::vector<double>& counts,
                             const std::vector<double>& priors, std::vector<double>* values) {
  const input::ArrayRestrictions& array = *rows.array;
  const input::ParameterSets& sets = array.sets;
  const std::vector<std::int32_t>& codes = array.codes;
  std::vector<double>& v = *values;

  // Phase 1: fixed sums and free shapes.
  for (std::size_t q = 0; q < sets.sets; ++q) {
    double fixed = 0.0;
    double free = 0.0;
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t i = sets.At(q, e);
      if (codes[i] == 0) fixed += v[i];
      if (codes[i] == 1) free += Posterior(counts, priors, i);
    }
    rows.fixedSum[q] = fixed;
    rows.freeShape[q] = free;
    rows.freeMass[q] = 1.0 - fixed;
  }

  // Phase 3: the equality groups and the free mass of every linked row.
  for (const Link& link : rows.linked) {
    double freeShape = 0.0;
    for (const std::size_t r : link.rows) freeShape += rows.freeShape[r];
    const double freeDraw = freeShape > 0.0 ? GammaVariate(static_cast<float>(freeShape)) : 0.0;
    double sum = freeDraw;
    m_draws.clear();
    for (const Group& group : link.groups) {
      double shape = 0.0;
      for (const std::size_t i : array.groups[group.group].members) {
        shape += Posterior(counts, priors, i);
      }
      m_draws.push_back(GammaVariate(static_cast<float>(shape)));
      sum += m_draws.back();
    }
    const double mass = 1.0 - rows.fixedSum[link.head];
    for (std::size_t g = 0; g < link.groups.size(); ++g) {
      const Group& group = link.groups[g];
      const double each = mass * m_draws[g] / (static_cast<double>(group.members) * sum);
      for (const std::size_t i : array.groups[group.group].members) v[i] = each;
    }
    const double freeMass = mass * freeDraw / sum;
    for (const std::size_t r : link.rows) rows.freeMass[r] = freeMass;
  }

  // Phase 4: the free cells of every row share the row's free mass.
  for (std::size_t q = 0; q < sets.sets; ++q) {
    m_draws.clear();
    double sum = 0.0;
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t i = sets.At(q, e);
      if (codes[i] != 1) continue;
      m_draws.push_back(GammaVariate(static_cast<float>(Posterior(counts, priors, i))));
      sum += m_draws.back();
    }
    if (m_draws.empty()) continue;
    std::size_t k = 0;
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t i = sets.At(q, e);
      if (codes[i] == 1) v[i] = m_draws[k++] / sum * rows.freeMass[q];
    }
  }
}

SeriesValues PosteriorStep::Run(const em::ExpectedCounts& counts, const input::ParameterSet& priors,
                                const input::ParameterSet& weights, input::ParameterSet* values) {
  SeriesValues series{};
  if (m_dims.HasClasses()) {
    const std::size_t classes = m_alpha.size();
    for (std::size_t c = 0; c < classes; ++c) {
      m_alpha[c] = Posterior(counts.classCounts, priors.gamma, c);
      m_gammaWeights[c] = c < weights.gamma.size() ? weights.gamma[c] : 0.0;
    }
    series[kGammaSeries] = DrawGroupedDirichlet(m_restrictions.gamma, m_alpha, m_gammaWeights,
                                                std::span<double>(values->gamma).first(classes));
    DrawRows(m_littleRho, counts.littleRhoCounts, priors.littleRho, &values->littleRho);
    series[kLittleRhoSeries] = SeriesValue(weights.littleRho, values->littleRho);
  } else {
    std::fill(values->gamma.begin(), values->gamma.end(), 1.0);
  }
  if (m_dims.HasStatuses()) {
    DrawRows(m_tau, counts.transitionCounts, priors.tau, &values->tau);
    series[kTauSeries] = SeriesValue(weights.tau, values->tau);
    DrawRows(m_delta, counts.statusMargins, priors.delta, &values->delta);
    series[kDeltaSeries] = SeriesValue(weights.delta, values->delta);
    em::DeriveOccasionPrevalences(m_dims, values);
    DrawRows(m_bigRho, counts.bigRhoCounts, priors.bigRho, &values->bigRho);
    series[kBigRhoSeries] = SeriesValue(weights.bigRho, values->bigRho);
  }
  return series;
}

}  // namespace kov::da
