// Class and status enumeration: the control file's model fitted at every size of a range, each
// size's report and results file, a comparison of the sizes, and the parametric bootstrap test
// of each size against the one below it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "em_driver.h"
#include "input/data_file.h"
#include "input/model.h"
#include "missingness.h"

namespace kov::em {

enum class EnumerationKind : std::int32_t { kNone = 0, kClasses = 1, kStatuses = 2 };

// What the next EM start runs: with kind kNone the control file's job as it stands, else the
// enumeration over the sizes from..to with `bootstrap` samples a test (0: no test).
struct EnumerationOptions {
  EnumerationKind kind = EnumerationKind::kNone;
  std::int32_t from = 0;
  std::int32_t to = 0;
  std::int32_t bootstrap = 0;
};
inline constexpr std::int32_t kMaxEnumeratedSize = input::kMaxEnumeratedSize;
inline constexpr std::int32_t kMaxBootstrapSamples = input::kMaxBootstrapSamples;
void SetEnumerationOptions(const EnumerationOptions& options);
EnumerationOptions CurrentEnumerationOptions();
// The comparison the control file's 'ENUMERATE' line asks for; kind kNone without the line.
EnumerationOptions EnumerationOfModel(const input::Model& model);

// The file's model at another number of classes or statuses, its codes unmarked. A tie that the
// file holds across all classes, or across all occasions (big rho; tau of a first-order process,
// homogeneous transitions), holds at the new size too; every other parameter is free (rho entries
// of categories an item lacks stay fixed at 0). Start values are uniform with ties kept.
input::Model DeriveModelOfSize(const input::Model& file, EnumerationKind kind, std::int32_t size);

// The best log-likelihood of random starts (the first drawn from seed's start 1) and its values.
struct SizeFit {
  bool fitted = false;  // false when every start met a zero denominator, or on an abort
  double logLikelihood = 0.0;
  input::ParameterSet values;
};
SizeFit FitWithRandomStarts(const input::Model& model, const GroupedPatterns& grouped,
                            const StartSettings& settings, std::int32_t seed);

// subjects response records drawn from the model's values. With `missingness` (a table of
// observed records), each record takes the missing items of a record drawn from it in proportion
// to its frequency. Identical records are merged, with their counts as frequencies. Simulates
// first-order processes only (SimulationSupported).
bool SimulationSupported(const input::ModelDimensions& dims);
input::PatternTable SimulatePatterns(const input::Model& model, const input::ParameterSet& values,
                                     std::int64_t subjects, const input::PatternTable* missingness,
                                     std::uint64_t seed);

// The bootstrap test of `smaller` against `larger` (one class or status more) on the observed
// patterns: p = (1 + #{bootstrap LR >= observed LR}) / (B + 1), the samples spread over the
// engine's threads and counted in sample order. Not a number when the test cannot be made.
struct BootstrapTest {
  double observedRatio = 0.0;
  double p = 0.0;
  bool aborted = false;
};
BootstrapTest BootstrapLikelihoodRatio(const input::Model& smaller, const input::Model& larger,
                                       const input::PatternTable& observed,
                                       const StartSettings& settings, std::int32_t samples,
                                       std::int32_t seed);

// The enumeration job of the control file: X.k<size>.cnt, .out and .json for each size, then
// X.compare.json and X.compare.csv, X being the report name without ".out". Returns as
// RunEmDriver does.
std::int32_t RunEnumeration(const char* controlFilePath, const EnumerationOptions& options);

}  // namespace kov::em
