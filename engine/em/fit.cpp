#include "fit.h"

#include <math.h>  // lgamma_r

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>

#include "cell_tables.h"

namespace kov::em {

double LikelihoodRatioTerm(double observed, double expected) {
  if (observed == 0.0 || expected == 0.0) return 0.0;
  return 2.0 * observed * std::log(observed / expected);
}

double ModelGSquared(const GroupedPatterns& grouped, const std::vector<double>& probabilities,
                     const std::vector<double>* logProbabilities) {
  double sum = 0.0;
  for (const MissingnessGroup& group : grouped.groups) {
    for (std::int32_t p = group.first; p < group.first + group.count; ++p) {
      const auto q = static_cast<std::size_t>(p);
      const double observed = grouped.patterns.frequencies[q];
      const double logProbability =
          logProbabilities != nullptr ? (*logProbabilities)[q] : -HUGE_VAL;
      if (probabilities[q] >= DBL_MIN || !std::isfinite(logProbability) || observed == 0.0 ||
          !(group.frequency > 0.0)) {
        sum += LikelihoodRatioTerm(observed, group.frequency * probabilities[q]);
      } else {
        sum += 2.0 * observed *
               (std::log(observed) - std::log(group.frequency) - logProbability);
      }
    }
  }
  return sum;
}

double CompleteCellCount(const std::vector<std::int32_t>& categories) {
  double cells = 1.0;
  for (std::int32_t count : categories) cells *= static_cast<double>(count);
  return cells;
}

double McarDegreesOfFreedom(const GroupedPatterns& grouped) {
  double observedCells = 0.0;
  for (const MissingnessGroup& group : grouped.groups) {
    if (group.missingItems.size() >= grouped.categories.size()) continue;
    double product = 1.0;
    for (std::size_t i = 0; i < grouped.categories.size(); ++i) {
      if (i < group.observed.size() && group.observed[i] != 0) {
        product *= static_cast<double>(grouped.categories[i]);
      }
    }
    observedCells += product;
  }
  const double groups = static_cast<double>(grouped.groups.size());
  return observedCells - groups - CompleteCellCount(grouped.categories) + 1.0;
}

double PatternLogLikelihood(const GroupedPatterns& grouped,
                            const std::vector<double>& logProbabilities) {
  double sum = 0.0;
  for (std::size_t q = 0; q < logProbabilities.size(); ++q) {
    const double n = grouped.patterns.frequencies[q];
    if (n > 0.0) sum += n * logProbabilities[q];
  }
  return sum;
}

namespace {

constexpr double kRelativeTolerance = 1.0e-15;
// Keeps the continued fraction's denominators away from 0 (modified Lentz).
constexpr double kTiny = 1.0e-300;

// ln Gamma(a) without the sign that std::lgamma leaves in a global; a > 0 here.
double LogGamma(double a) {
  int sign = 0;
  return ::lgamma_r(a, &sign);
}

// Both expansions need about sqrt(a) terms near their switch-over point, a few for x far away.
double TermLimit(double a) { return 1000.0 + 50.0 * std::sqrt(a); }

// P(a, x) = x^a e^-x / Gamma(a) sum over n >= 0 of x^n / (a (a + 1) ... (a + n)).
double LowerGammaSeries(double a, double x, double logPrefix) {
  double term = 1.0 / a;
  double sum = term;
  const double limit = TermLimit(a);
  for (double n = 1.0; n < limit; n += 1.0) {
    term *= x / (a + n);
    sum += term;
    if (term < sum * kRelativeTolerance) break;
  }
  return sum * std::exp(logPrefix);
}

// Q(a, x) = x^a e^-x / Gamma(a) times 1 / (x + 1 - a - 1 (1 - a) / (x + 3 - a - 2 (2 - a) /
// (x + 5 - a - ...))), evaluated from the front by the modified Lentz method.
double UpperGammaFraction(double a, double x, double logPrefix) {
  double b = x + 1.0 - a;
  double c = 1.0 / kTiny;
  double d = 1.0 / b;
  double h = d;
  const double limit = TermLimit(a);
  for (double i = 1.0; i < limit; i += 1.0) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < kTiny) d = kTiny;
    c = b + an / c;
    if (std::fabs(c) < kTiny) c = kTiny;
    d = 1.0 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1.0) < kRelativeTolerance) break;
  }
  return h * std::exp(logPrefix);
}

// Wilson and Hilferty: (X / k)^(1/3) is close to normal with mean 1 - 2 / (9k) and variance
// 2 / (9k).
double WilsonHilfertyUpperTail(double statistic, double k) {
  const double variance = 2.0 / (9.0 * k);
  const double z = (std::cbrt(statistic / k) - (1.0 - variance)) / std::sqrt(variance);
  return 0.5 * std::erfc(z / std::sqrt(2.0));
}

constexpr double kLargestExactDegrees = 1.0e10;

}  // namespace

double RegularizedUpperGamma(double a, double x) {
  if (!(a > 0.0) || std::isnan(x)) return NAN;
  if (x <= 0.0) return 1.0;
  if (std::isinf(x)) return 0.0;
  const double logPrefix = a * std::log(x) - x - LogGamma(a);
  if (x < a + 1.0) return std::max(0.0, 1.0 - LowerGammaSeries(a, x, logPrefix));
  return UpperGammaFraction(a, x, logPrefix);
}

double ChiSquareUpperTail(double statistic, double degreesOfFreedom) {
  if (!(degreesOfFreedom >= 1.0) || std::isinf(degreesOfFreedom)) return NAN;
  if (degreesOfFreedom > kLargestExactDegrees && std::isfinite(statistic) && statistic > 0.0) {
    return WilsonHilfertyUpperTail(statistic, degreesOfFreedom);
  }
  return RegularizedUpperGamma(0.5 * degreesOfFreedom, 0.5 * statistic);
}

namespace {


double PearsonTerm(double observed, double expected) {
  if (expected > 0.0) return (observed - expected) * (observed - expected) / expected;
  return observed > 0.0 ? HUGE_VAL : 0.0;
}

}  // namespace

report::PearsonSkip FullTablePearson(const GroupedPatterns& grouped, bool missingData,
                                     const SaturatedModel* saturated,
                                     const std::function<double(const std::int32_t*)>& cellProbability,
                                     double total, double maxCells, double* value) {
  const double cells = CompleteCellCount(grouped.categories);
  // The second bound keeps the cell numbers in 64 bits whatever limit a caller passes.
  if (!(cells <= maxCells) || cells > 1.0e18) return report::PearsonSkip::kTooManyCells;
  if (missingData && (saturated == nullptr || !saturated->Estimated())) {
    return report::PearsonSkip::kNoSaturatedModel;
  }
  const std::vector<std::pair<std::int64_t, double>> observedCells =
      missingData ? std::vector<std::pair<std::int64_t, double>>{} : ObservedCells(grouped);
  std::size_t nextObserved = 0;
  std::vector<std::int32_t> responses(grouped.categories.size(), 1);
  const auto cellCount = static_cast<std::int64_t>(cells);
  double sum = 0.0;
  for (std::int64_t index = 0; index < cellCount; ++index) {
    double observed = 0.0;
    if (missingData) {
      observed = saturated->CellExpectedFrequency(responses.data());
    } else if (nextObserved < observedCells.size() && observedCells[nextObserved].first == index) {
      observed = observedCells[nextObserved++].second;
    }
    sum += PearsonTerm(observed, total * cellProbability(responses.data()));
    for (std::size_t i = 0; i < responses.size(); ++i) {
      if (responses[i] < grouped.categories[i]) {
        ++responses[i];
        break;
      }
      responses[i] = 1;
    }
  }
  *value = sum;
  return report::PearsonSkip::kComputed;
}

report::FitIndices ComputeFitIndices(double logLikelihood, std::int32_t parameters,
                                     double subjects, double gSquared, double degreesOfFreedom,
                                     report::PearsonSkip pearsonSkip, double pearson,
                                     double cellLimit) {
  report::FitIndices fit;
  fit.logLikelihood = logLikelihood;
  fit.parameters = parameters;
  fit.degreesOfFreedom = degreesOfFreedom;
  fit.gSquared = gSquared;
  fit.gSquaredP = ChiSquareUpperTail(gSquared, degreesOfFreedom);
  fit.pearsonSkip = pearsonSkip;
  fit.cellLimit = cellLimit;
  if (pearsonSkip == report::PearsonSkip::kComputed) {
    fit.pearson = pearson;
    fit.pearsonP = ChiSquareUpperTail(pearson, degreesOfFreedom);
  } else {
    fit.pearson = NAN;
    fit.pearsonP = NAN;
  }
  const double deviance = -2.0 * logLikelihood;
  const double npar = parameters;
  fit.aic = deviance + 2.0 * npar;
  fit.bic = deviance + npar * std::log(subjects);
  fit.adjustedBic = deviance + npar * std::log((subjects + 2.0) / 24.0);
  fit.caic = deviance + npar * (std::log(subjects) + 1.0);
  return fit;
}

}  // namespace kov::em
