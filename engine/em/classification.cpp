#include "classification.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

namespace kov::em {

namespace {

// What the subjects of one latent variable add up to, from their posterior probabilities.
struct VariableSums {
  double entropy = 0.0;            // sum over subjects of -sum_v p_v ln p_v
  std::vector<double> modalMass;   // per value: sum of the modal posterior of its subjects
  std::vector<double> modalCount;  // per value: subjects whose modal value it is
};

// Posterior of each of `count` values for every pattern; restrict(v, &copy) makes every value
// but v impossible in a copy of the values.
VariableSums SumPosteriors(
    EStep& estep, const input::ParameterSet& values, const GroupedPatterns& grouped,
    std::int32_t count,
    const std::function<void(std::int32_t, input::ParameterSet*)>& restrict) {
  const std::size_t patterns = grouped.patterns.frequencies.size();
  const auto k = static_cast<std::size_t>(count);
  std::vector<double> logJoint(patterns * k);  // (v, q) as v * patterns + q
  std::vector<double> probabilities;
  std::vector<double> logProbabilities;
  for (std::size_t v = 0; v < k; ++v) {
    input::ParameterSet restricted = values;
    restrict(static_cast<std::int32_t>(v), &restricted);
    estep.Run(restricted, grouped, nullptr, &probabilities, &logProbabilities);
    std::copy(logProbabilities.begin(), logProbabilities.end(),
              logJoint.begin() + static_cast<std::ptrdiff_t>(v * patterns));
  }
  VariableSums sums;
  sums.modalMass.assign(k, 0.0);
  sums.modalCount.assign(k, 0.0);
  std::vector<double> posterior(k);
  for (std::size_t q = 0; q < patterns; ++q) {
    const double n = grouped.patterns.frequencies[q];
    if (!(n > 0.0)) continue;
    // Scaled by the largest term, so that patterns far below the smallest double still divide.
    double largest = -HUGE_VAL;
    for (std::size_t v = 0; v < k; ++v) largest = std::max(largest, logJoint[v * patterns + q]);
    if (!std::isfinite(largest)) continue;  // a pattern the model cannot produce
    double total = 0.0;
    for (std::size_t v = 0; v < k; ++v) {
      posterior[v] = std::exp(logJoint[v * patterns + q] - largest);
      total += posterior[v];
    }
    std::size_t modal = 0;
    for (std::size_t v = 0; v < k; ++v) {
      posterior[v] /= total;
      if (posterior[v] > 0.0) sums.entropy -= n * posterior[v] * std::log(posterior[v]);
      if (posterior[v] > posterior[modal]) modal = v;
    }
    sums.modalMass[modal] += n * posterior[modal];
    sums.modalCount[modal] += n;
  }
  return sums;
}

void AppendAverages(const VariableSums& sums, std::vector<double>* averages) {
  for (std::size_t v = 0; v < sums.modalMass.size(); ++v) {
    averages->push_back(sums.modalCount[v] > 0.0 ? sums.modalMass[v] / sums.modalCount[v] : NAN);
  }
}

}  // namespace

report::ClassificationQuality ClassifySubjects(EStep& estep, const input::ModelDimensions& dims,
                                               const input::ParameterSet& values,
                                               const GroupedPatterns& grouped) {
  report::ClassificationQuality quality;
  double subjects = 0.0;
  for (double n : grouped.patterns.frequencies) subjects += n > 0.0 ? n : 0.0;
  double entropy = 0.0;
  double maximum = 0.0;  // the entropy of subjects spread evenly: N sum of ln K
  if (dims.HasClasses() && dims.classes > 1) {
    const VariableSums sums =
        SumPosteriors(estep, values, grouped, dims.classes,
                      [](std::int32_t c, input::ParameterSet* restricted) {
                        for (std::size_t other = 0; other < restricted->gamma.size(); ++other) {
                          if (other != static_cast<std::size_t>(c)) restricted->gamma[other] = 0.0;
                        }
                      });
    entropy += sums.entropy;
    maximum += subjects * std::log(static_cast<double>(dims.classes));
    AppendAverages(sums, &quality.classAverage);
  }
  if (dims.HasStatuses() && dims.statuses > 1) {
    const input::MultiIndex<5> bigRho = input::BigRhoShape(dims);
    for (std::int32_t t = 0; t < dims.OccasionExtent(); ++t) {
      const VariableSums sums = SumPosteriors(
          estep, values, grouped, dims.statuses,
          [&](std::int32_t s, input::ParameterSet* restricted) {
            for (std::int32_t c = 0; c < dims.classes; ++c) {
              for (std::int32_t other = 0; other < dims.statuses; ++other) {
                if (other == s) continue;
                for (std::int32_t i = 0; i < dims.statusItems; ++i) {
                  for (std::int32_t k = 0; k < dims.maxStatusCategories; ++k) {
                    restricted->bigRho[bigRho(k, i, other, c, t)] = 0.0;
                  }
                }
              }
            }
          });
      entropy += sums.entropy;
      maximum += subjects * std::log(static_cast<double>(dims.statuses));
      AppendAverages(sums, &quality.statusAverage);
    }
  }
  quality.relativeEntropy = maximum > 0.0 ? 1.0 - entropy / maximum : NAN;
  return quality;
}

}  // namespace kov::em
