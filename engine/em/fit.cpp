#include "fit.h"

#include <cfloat>
#include <cmath>
#include <string>

#include "base/result_codes.h"
#include "report/fields.h"
#include "report/report_lines.h"

namespace kov::em {

namespace {

constexpr int kFieldWidth = 20;
constexpr int kDecimals = 3;

std::string GSquaredField(double value) { return report::FormatFixed(value, kFieldWidth, kDecimals); }

// A whole number in 20 columns; asterisks when it has more digits or is not finite.
std::string DegreesOfFreedomField(double value) {
  if (!std::isfinite(value)) return std::string(kFieldWidth, '*');
  // A difference of equal doubles is +0, but keep a stray -0 from printing its sign.
  return report::FormatFixed(value == 0.0 ? 0.0 : value, kFieldWidth, 0);
}

}  // namespace

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

std::int32_t WriteModelFitBlock(input::TextOutput& out, double value, double degreesOfFreedom) {
  return report::WriteLines(out, {"", "", report::kRule, "", " MODEL FIT", "",
                                  " G-Squared Test of Model Fit:  " + GSquaredField(value),
                                  " Degrees of Freedom:           " +
                                      DegreesOfFreedomField(degreesOfFreedom),
                                  "", ""});
}

std::int32_t WriteMcarBlock(input::TextOutput& out, double saturatedGSquared,
                            double degreesOfFreedom) {
  return report::WriteLines(out, {" G-Squared Test for MCAR =     " + GSquaredField(saturatedGSquared),
                                  " Degrees of Freedom:           " +
                                      DegreesOfFreedomField(degreesOfFreedom),
                                  "", ""});
}

std::int32_t WriteCrossValidationBlock(input::TextOutput& out, double value,
                                       std::optional<double> saturatedGSquared) {
  const std::int32_t status = report::WriteLines(
      out, {" CROSSVALIDATION", "", " G-Squared Test of Model Fit:  " + GSquaredField(value), ""});
  if (status != kStatusOk || !saturatedGSquared) return status;
  return report::WriteLines(
      out, {" G-Squared Test for MCAR =     " + GSquaredField(*saturatedGSquared), ""});
}

}  // namespace kov::em
