// Series files for the viewer's tests, written by the engine's series writer.
#pragma once

#include <QString>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "base/result_codes.h"
#include "base/text_output.h"
#include "da/series_file.h"

namespace kov::series::test {

inline QString DataPath(const QString& name) { return QStringLiteral(SERIES_TEST_DATA "/") + name; }

// Writes m x k rows (or only `rows` of them, as an aborted run leaves the file) whose values
// come from value(iteration, family index 0..4). False when a write failed.
inline bool WriteSeriesFile(const QString& path, int imputations, int between, int classes,
                            int statuses, const std::function<double(int, int)>& value,
                            int rows = -1) {
  input::TextOutput out;
  if (out.Create(path.toStdString()) != kStatusOk) return false;
  if (da::WriteSeriesHeader(out, imputations, between, classes, statuses) != kStatusOk) {
    return false;
  }
  if (rows < 0) rows = imputations * between;
  for (int t = 1; t <= rows; ++t) {
    da::SeriesValues values{};
    for (int f = 0; f < 5; ++f) values[f] = value(t, f);
    if (da::WriteSeriesRow(out, t, values) != kStatusOk) return false;
  }
  return out.Close() == kStatusOk;
}

// x_t = 0.5 x_{t-1} + e_t with standard normal e_t, started from its stationary law; its
// autocorrelation at lag h is 0.5^h.
inline std::vector<double> Ar1Series(int n, unsigned seed) {
  std::mt19937 engine(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> x(n);
  double previous = noise(engine) / std::sqrt(1.0 - 0.25);
  for (double& value : x) {
    value = 0.5 * previous + noise(engine);
    previous = value;
  }
  return x;
}

}  // namespace kov::series::test
