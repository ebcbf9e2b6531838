#include "series_file.h"

#include <algorithm>
#include <string>

#include "base/result_codes.h"
#include "report/fields.h"

namespace kov::da {

namespace {

void Weigh(const std::vector<double>& first, const std::vector<double>& second, bool present,
           std::size_t weighed, std::vector<double>* weights) {
  weights->assign(std::max(first.size(), second.size()), 0.0);
  if (!present) return;
  const std::size_t common = std::min({first.size(), second.size(), weighed});
  for (std::size_t i = 0; i < common; ++i) (*weights)[i] = 1.0e6 * (second[i] - first[i]);
}

}  // namespace

input::ParameterSet ComputeSeriesWeights(const input::ModelDimensions& dims,
                                         const input::ParameterSet& first,
                                         const input::ParameterSet& second) {
  constexpr std::size_t kAll = static_cast<std::size_t>(-1);
  // Occasion 1 of delta (c, s, t) is its first C x S entries.
  const std::size_t deltaParameters = input::DeltaCodeShape(dims).Size();
  input::ParameterSet weights;
  Weigh(first.gamma, second.gamma, dims.HasClasses(), kAll, &weights.gamma);
  Weigh(first.delta, second.delta, dims.HasStatuses(), deltaParameters, &weights.delta);
  Weigh(first.tau, second.tau, dims.HasStatuses(), kAll, &weights.tau);
  Weigh(first.littleRho, second.littleRho, dims.HasClasses(), kAll, &weights.littleRho);
  Weigh(first.bigRho, second.bigRho, dims.HasStatuses(), kAll, &weights.bigRho);
  return weights;
}

double SeriesValue(const std::vector<double>& weights, const std::vector<double>& values) {
  const std::size_t common = std::min(weights.size(), values.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < common; ++i) sum += weights[i] * values[i];
  return sum;
}

std::int32_t WriteSeriesHeader(input::TextOutput& out, std::int32_t imputations,
                               std::int32_t iterationsBetween, std::int32_t classes,
                               std::int32_t statuses) {
  std::string counts;
  for (const std::int32_t value : {imputations, iterationsBetween, classes, statuses}) {
    counts += report::FormatIntegerAtLeast(value, 12);
  }
  const std::int32_t status = out.WriteLine(counts);
  if (status != kStatusOk) return status;
  // Columns 20, 30, 40, 51 and 63, each name right-aligned in 5 columns.
  std::string names(19, ' ');
  names += "Gamma";
  report::PadToColumn(&names, 30);
  names += "Delta";
  report::PadToColumn(&names, 40);
  names += "  Tau";
  report::PadToColumn(&names, 51);
  names += " LRho";
  report::PadToColumn(&names, 63);
  names += " BRho";
  return out.WriteLine(names);
}

std::int32_t WriteSeriesRow(input::TextOutput& out, std::int32_t iteration,
                            const SeriesValues& values) {
  std::string row = report::FormatInteger(iteration, 6);
  constexpr std::size_t kColumns[] = {16, 27, 38, 49, 60};
  for (std::size_t f = 0; f < values.size(); ++f) {
    report::PadToColumn(&row, kColumns[f]);
    row += report::FormatFixed(values[f], 10, 5);
  }
  return out.WriteLine(row);
}

}  // namespace kov::da
