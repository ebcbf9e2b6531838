// The results file of an EM or a data-augmentation run: the figures of its report as JSON, for
// scripts. Its keys are a
// public interface: they change only by adding.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/text_output.h"
#include "fit_report.h"
#include "input/model.h"

namespace kov::report {

// The name of the results file beside a report: ".out" (in any case) replaced by ".json", or
// ".json" appended to a name without that extension.
std::string ResultsFileName(const std::string& reportName);

// One start of the estimation, as the list of starts shows it.
struct StartSummary {
  std::int32_t start = 1;
  std::optional<std::uint64_t> seed;  // none for the control file's own start values
  double logLikelihood = 0.0;
  std::int32_t iterations = 0;
  bool converged = false;
};

// What an EM run found. Without fit (a run that only evaluates its start values) the indices
// that rest on estimated parameters are null in the file.
struct EmResults {
  std::string controlFile;
  std::string reportFile;
  double subjects = 0.0;
  std::int32_t patterns = 0;
  std::int32_t iterations = 0;
  bool converged = false;
  double logLikelihood = 0.0;
  double gSquared = 0.0;  // the MODEL FIT (or CROSSVALIDATION) value
  std::optional<FitIndices> fit;
  std::optional<ClassificationQuality> quality;
  std::vector<StartSummary> starts;
  std::optional<bool> bestReplicated;
  // The check of local identification (none for a run without fit), the directions in which
  // the information matrix is singular, and the standard errors (none when not identified),
  // NaN where an entry has none.
  std::optional<bool> identified;
  std::int32_t nonIdentifiedDirections = 0;
  std::optional<input::ParameterSet> standardErrors;
};

// Writes the results as one JSON document: numbers at full precision (they read back as the
// same doubles), a value that is not finite as null.
std::int32_t WriteResultsFile(input::TextOutput& out, const input::Model& model,
                              const input::ParameterSet& estimates, const EmResults& results);

// Whether a report name is a regular file on disk (or not there yet): a report written to a
// device has no place beside it for a results file.
bool ReportIsFileOnDisk(const std::string& name);

// What a data-augmentation run found: the combination of its imputations by Rubin's rules. In
// every set but the estimates an entry that is not estimated is NaN (null in the file); the
// estimates of fixed parameters are their fixed values.
struct DaResults {
  std::string controlFile;
  std::string reportFile;
  double subjects = 0.0;
  std::int32_t patterns = 0;
  input::ParameterSet estimates;
  input::ParameterSet standardErrors;
  input::ParameterSet lowerBounds;  // 95 %
  input::ParameterSet upperBounds;
  input::ParameterSet missingInformation;
};

// Writes the results of a data-augmentation run as one JSON document, with the EM file's keys
// for what both runs have and the same keys and shapes for every parameter set.
std::int32_t WriteDaResultsFile(input::TextOutput& out, const input::Model& model,
                                const DaResults& results);

}  // namespace kov::report
