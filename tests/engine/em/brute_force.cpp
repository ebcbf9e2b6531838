#include "brute_force.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>

namespace kov::em::testing {

namespace {

using input::ModelDimensions;

struct Latent {
  std::int32_t classes = 1;
  std::int32_t statuses = 1;
  std::int32_t occasions = 1;  // of the latent process
  std::size_t cells = 1;
};

Latent LatentTable(const ModelDimensions& dims) {
  Latent latent;
  latent.classes = dims.classes;
  latent.statuses = dims.statuses;
  latent.occasions = dims.HasStatuses() && dims.occasions > 1 ? dims.occasions : 1;
  latent.cells = static_cast<std::size_t>(latent.classes);
  for (std::int32_t t = 0; t < latent.occasions; ++t) {
    latent.cells *= static_cast<std::size_t>(latent.statuses);
  }
  return latent;
}

// The class and the 1-based statuses of a latent cell.
void DecodeCell(const Latent& latent, std::size_t cell, std::int32_t* c, std::int32_t* s) {
  *c = static_cast<std::int32_t>(cell % static_cast<std::size_t>(latent.classes));
  cell /= static_cast<std::size_t>(latent.classes);
  for (std::int32_t t = 1; t <= latent.occasions; ++t) {
    s[t] = 1 + static_cast<std::int32_t>(cell % static_cast<std::size_t>(latent.statuses));
    cell /= static_cast<std::size_t>(latent.statuses);
  }
}

// The 1-based TAU row of the transition from occasion t to t + 1 (t counted from 1).
std::int32_t TransitionRow(const ModelDimensions& dims, std::int32_t t, const std::int32_t* s) {
  const std::int32_t S = dims.statuses;
  if (t == 1) return s[1];
  if (dims.order == 2) return S + (t - 2) * S * S + (s[t - 1] - 1) * S + s[t];
  return (t - 1) * S + s[t];
}

// term(c, s) for a complete pattern, with scale factor 1.
double Term(const ModelDimensions& dims, const input::ParameterSet& values, double prior,
            std::int32_t c, const std::int32_t* s, const std::int32_t* y) {
  double term = prior;
  for (std::int32_t j = 0; j < dims.classItems; ++j) {
    term *= values.littleRho[input::LittleRhoShape(dims)(y[j] - 1, j, c)];
  }
  const std::int32_t occasions = dims.HasStatuses() ? dims.occasions : 0;
  for (std::int32_t k = 0; k < dims.statusItems; ++k) {
    for (std::int32_t t = 1; t <= occasions; ++t) {
      const std::int32_t response = y[dims.classItems + (t - 1) * dims.statusItems + k];
      term *= values.bigRho[input::BigRhoShape(dims)(response - 1, k, s[t] - 1, c, t - 1)];
    }
  }
  return term;
}

double CompleteProbability(const ModelDimensions& dims, const input::ParameterSet& values,
                           const Latent& latent, const std::vector<double>& prior,
                           const std::int32_t* y) {
  std::int32_t c = 0;
  std::int32_t s[6] = {};
  double sum = 0.0;
  for (std::size_t cell = 0; cell < latent.cells; ++cell) {
    DecodeCell(latent, cell, &c, s);
    sum += Term(dims, values, prior[cell], c, s, y);
  }
  return sum;
}

}  // namespace

std::vector<double> JointPrior(const ModelDimensions& dims, const input::ParameterSet& values) {
  const Latent latent = LatentTable(dims);
  std::vector<double> prior(latent.cells);
  std::int32_t c = 0;
  std::int32_t s[6] = {};
  for (std::size_t cell = 0; cell < latent.cells; ++cell) {
    DecodeCell(latent, cell, &c, s);
    double pi = values.gamma[static_cast<std::size_t>(c)];
    if (dims.statuses > 1) {
      pi *= values.delta[input::DeltaShape(dims)(c, s[1] - 1, 0)];
      for (std::int32_t t = 1; t < latent.occasions; ++t) {
        pi *= values.tau[input::TauShape(dims)(TransitionRow(dims, t, s) - 1, s[t + 1] - 1, c)];
      }
    }
    prior[cell] = pi;
  }
  return prior;
}

BruteForceResult BruteForceEStep(const input::Model& model, const input::ParameterSet& values,
                                 const GroupedPatterns& grouped) {
  const ModelDimensions& dims = model.dims;
  const Latent latent = LatentTable(dims);
  const std::vector<double> prior = JointPrior(dims, values);
  const input::PatternTable& patterns = grouped.patterns;
  const std::size_t items = static_cast<std::size_t>(patterns.itemCount);

  BruteForceResult result;
  result.probabilities.assign(static_cast<std::size_t>(patterns.patternCount), 0.0);
  double total = 0.0;
  for (double n : patterns.frequencies) total += n;

  // Spreading over the complete cells.
  std::map<std::vector<std::int32_t>, double> cellCounts;
  for (const MissingnessGroup& group : grouped.groups) {
    for (std::int32_t q = group.first; q < group.first + group.count; ++q) {
      const std::int32_t* y = patterns.Pattern(q);
      const double n = patterns.frequencies[static_cast<std::size_t>(q)];
      std::vector<std::int32_t> completion(y, y + items);
      std::vector<std::pair<std::vector<std::int32_t>, double>> completions;
      double observed = 0.0;
      for (std::int64_t index = 0; index < static_cast<std::int64_t>(group.completions); ++index) {
        std::int64_t rest = index;
        for (std::int32_t item : group.missingItems) {
          const std::int32_t k = grouped.categories[static_cast<std::size_t>(item)];
          completion[static_cast<std::size_t>(item)] = 1 + static_cast<std::int32_t>(rest % k);
          rest /= k;
        }
        const double p = CompleteProbability(dims, values, latent, prior, completion.data());
        completions.emplace_back(completion, p);
        observed += p;
      }
      result.probabilities[static_cast<std::size_t>(q)] = observed;
      if (observed > 0.0 && n > 0.0) result.logLikelihood += n * std::log(observed);
      if (!(observed > 0.0)) continue;
      for (const auto& [cell, p] : completions) cellCounts[cell] += n * p / observed;
    }
  }

  // Posterior accumulation over the complete cells.
  std::vector<double> latentCounts(latent.cells, 0.0);
  ExpectedCounts& counts = result.counts;
  counts.total = total;
  counts.littleRhoCounts.assign(input::LittleRhoShape(dims).Size(), 0.0);
  counts.bigRhoCounts.assign(input::BigRhoShape(dims).Size(), 0.0);
  std::vector<double> terms(latent.cells);
  std::int32_t c = 0;
  std::int32_t s[6] = {};
  for (const auto& [y, n] : cellCounts) {
    double p = 0.0;
    for (std::size_t cell = 0; cell < latent.cells; ++cell) {
      DecodeCell(latent, cell, &c, s);
      terms[cell] = total * Term(dims, values, prior[cell], c, s, y.data());
      p += terms[cell];
    }
    if (!(p > 0.0)) continue;
    for (std::size_t cell = 0; cell < latent.cells; ++cell) {
      DecodeCell(latent, cell, &c, s);
      const double posterior = n * terms[cell] / p;
      latentCounts[cell] += posterior;
      for (std::int32_t j = 0; j < dims.classItems; ++j) {
        counts.littleRhoCounts[input::LittleRhoShape(dims)(y[static_cast<std::size_t>(j)] - 1, j,
                                                            c)] += posterior;
      }
      const std::int32_t occasions = dims.HasStatuses() ? dims.occasions : 0;
      for (std::int32_t t = 1; t <= occasions; ++t) {
        for (std::int32_t k = 0; k < dims.statusItems; ++k) {
          const std::int32_t response =
              y[static_cast<std::size_t>(dims.classItems + (t - 1) * dims.statusItems + k)];
          counts.bigRhoCounts[input::BigRhoShape(dims)(response - 1, k, s[t] - 1, c, t - 1)] +=
              posterior;
        }
      }
    }
  }

  counts.classCounts.assign(static_cast<std::size_t>(dims.classes), 0.0);
  counts.statusMargins.assign(input::DeltaShape(dims).Size(), 0.0);
  counts.transitionCounts.assign(input::TauShape(dims).Size(), 0.0);
  for (std::size_t cell = 0; cell < latent.cells; ++cell) {
    DecodeCell(latent, cell, &c, s);
    const double count = latentCounts[cell];
    counts.classCounts[static_cast<std::size_t>(c)] += count;
    for (std::int32_t t = 1; t <= latent.occasions; ++t) {
      counts.statusMargins[input::DeltaShape(dims)(c, s[t] - 1, t - 1)] += count;
    }
    for (std::int32_t t = 1; t < latent.occasions; ++t) {
      counts.transitionCounts[input::TauShape(dims)(TransitionRow(dims, t, s) - 1, s[t + 1] - 1,
                                                    c)] += count;
    }
  }
  if (!dims.HasClasses() && dims.classes == 1) counts.classCounts[0] = total;
  return result;
}

std::vector<double> BruteForcePrevalences(const ModelDimensions& dims,
                                          const input::ParameterSet& values) {
  const Latent latent = LatentTable(dims);
  const std::vector<double> prior = JointPrior(dims, values);
  std::vector<double> delta = values.delta;
  std::vector<double> sums(delta.size(), 0.0);
  std::int32_t c = 0;
  std::int32_t s[6] = {};
  for (std::size_t cell = 0; cell < latent.cells; ++cell) {
    DecodeCell(latent, cell, &c, s);
    for (std::int32_t t = 2; t <= latent.occasions; ++t) {
      sums[input::DeltaShape(dims)(c, s[t] - 1, t - 1)] += prior[cell];
    }
  }
  for (std::int32_t c2 = 0; c2 < dims.classes; ++c2) {
    for (std::int32_t t = 2; t <= latent.occasions; ++t) {
      for (std::int32_t st = 0; st < dims.statuses; ++st) {
        const std::size_t index = input::DeltaShape(dims)(c2, st, t - 1);
        delta[index] = sums[index] / values.gamma[static_cast<std::size_t>(c2)];
      }
    }
  }
  return delta;
}

}  // namespace kov::em::testing
