#include "autocorrelation.h"

#include <cmath>

namespace kov::series {

Autocorrelation ComputeAutocorrelation(const std::vector<double>& x, int first, int last,
                                       int maxLag) {
  Autocorrelation result;
  const int n = last - first + 1;
  double sum = 0.0;
  for (int t = first; t <= last; ++t) sum += x[t];
  const double mean = sum / n;
  double s0 = 0.0;
  for (int t = first; t <= last; ++t) s0 += (x[t] - mean) * (x[t] - mean);
  if (!(s0 > kConstantSeriesLimit)) return result;
  result.varies = true;

  result.r.assign(static_cast<std::size_t>(maxLag) + 1, 0.0);
  result.halfWidth.assign(static_cast<std::size_t>(maxLag) + 1, 0.0);
  result.r[0] = 1.0;
  // Bartlett: the variance of r_h under a process whose correlations vanish beyond lag h - 1.
  double squaresBelow = 0.0;
  for (int h = 1; h <= maxLag; ++h) {
    double c = 0.0;
    for (int t = first; t <= last - h; ++t) c += (x[t] - mean) * (x[t + h] - mean);
    result.r[h] = c / s0;
    result.halfWidth[h] = 1.96 * std::sqrt((1.0 + 2.0 * squaresBelow) / n);
    squaresBelow += result.r[h] * result.r[h];
  }
  result.halfWidth[0] = maxLag >= 1 ? result.halfWidth[1] : 1.96 / std::sqrt(n);
  return result;
}

}  // namespace kov::series
