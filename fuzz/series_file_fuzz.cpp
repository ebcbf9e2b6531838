// The series viewer's reader of a parameter series file, and the autocorrelation it computes over
// the ranges it sets from the file's header, as the window does when it opens a file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "series/autocorrelation.h"
#include "series/parameter_series.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = kov::fuzz::WriteScratchFile("series.ser", data, size);
  kov::series::ParameterSeries series;
  if (!series.OpenSeries(QString::fromStdString(path))) {
    // A refused file always says why.
    if (series.LastFailure().IsEmpty()) __builtin_trap();
    return 0;
  }
  const kov::series::SeriesRanges& ranges = series.Ranges();
  for (int family = 1; family <= kov::series::kFamilyCount; ++family) {
    const std::vector<double>& values = series.FamilyValues(family);
    if (static_cast<std::int32_t>(values.size()) != series.lNumberOfIterations()) __builtin_trap();
    const kov::series::Autocorrelation acf = kov::series::ComputeAutocorrelation(
        values, ranges.acfFirst - 1, ranges.acfLast - 1, ranges.maxLag);
    // A series without variation has nothing to correlate and no lags.
    if (acf.varies && acf.r.size() != static_cast<std::size_t>(ranges.maxLag) + 1) __builtin_trap();
  }
  return 0;
}
