// The sample autocorrelation function of one parameter series with Bartlett's 95% band, the
// measure by which a user judges how many iterations the chain needs to forget where it was.
#pragma once

#include <vector>

namespace kov::series {

struct Autocorrelation {
  // False when the window holds (numerically) no variation: there is nothing to correlate.
  bool varies = false;
  // Lags 0..L: r[0] = 1 and r[h] the autocorrelation at lag h.
  std::vector<double> r;
  // Lags 0..L: the half-width of the 95% band at lag h; lag 0 repeats lag 1.
  std::vector<double> halfWidth;
};

// Below this sum of squared deviations the series counts as constant.
inline constexpr double kConstantSeriesLimit = 1e-20;

// r_h = sum_{t=a}^{b-h} (x_t - mean)(x_{t+h} - mean) / sum_{t=a}^{b} (x_t - mean)^2 over the
// window x[first..last] (0-based, inclusive), for h = 1..maxLag, with the half-width
// 1.96 sqrt((1 + 2 (r_1^2 + ... + r_{h-1}^2)) / n). Lags past the window's length correlate
// nothing and are 0. The window must lie inside x and hold at least one value.
Autocorrelation ComputeAutocorrelation(const std::vector<double>& x, int first, int last,
                                       int maxLag);

}  // namespace kov::series
