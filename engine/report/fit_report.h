// The fit blocks of an EM report: MODEL FIT, the MCAR test, CROSSVALIDATION, and the fit indices
// and classification quality that follow MODEL FIT. The statistics come from the estimation;
// these writers only lay them out.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/text_output.h"
#include "input/model.h"

namespace kov::report {

// The MODEL FIT block: its value (the model's G-squared, minus the saturated model's with
// missing data) and degrees of freedom. Degrees of freedom are whole numbers passed as a double
// so that any cell count can reach the report; one that cannot be shown in its 20 columns is
// written as asterisks. kStatusOk or the status of the first failed write.
std::int32_t WriteModelFitBlock(input::TextOutput& out, double value, double degreesOfFreedom);
// The MODEL FIT block of a run with missing data whose saturated model was not estimated: the
// G-squared of the observed patterns mixes the model's misfit with the patterns' missingness,
// so it gets a label of its own and no degrees of freedom.
std::int32_t WriteObservedPatternsFitBlock(input::TextOutput& out, double value);

// The MCAR block (missing data only): the saturated model's G-squared and the MCAR degrees of
// freedom.
std::int32_t WriteMcarBlock(input::TextOutput& out, double saturatedGSquared,
                            double degreesOfFreedom);

// The CROSSVALIDATION block of a run that only evaluates its start values: its fit value (the
// start values' G-squared, minus the saturated model's with missing data) and, with missing
// data, the saturated model's G-squared for the MCAR line.
std::int32_t WriteCrossValidationBlock(input::TextOutput& out, double value,
                                       std::optional<double> saturatedGSquared);

// Why the Pearson statistic over the complete table was not computed.
enum class PearsonSkip : std::int32_t {
  kComputed = 0,
  kTooManyCells = 1,         // the complete table has more cells than the limit
  kNoSaturatedModel = 2,     // missing data, and the saturated model was not estimated
};

// The fit of an estimated model. A statistic that is not defined (a p-value without degrees of
// freedom) is not a number.
struct FitIndices {
  double logLikelihood = 0.0;
  std::int32_t parameters = 0;
  double degreesOfFreedom = 0.0;
  double gSquared = 0.0;  // the MODEL FIT value
  double gSquaredP = 0.0;
  PearsonSkip pearsonSkip = PearsonSkip::kComputed;
  double cellLimit = 0.0;  // the limit that kTooManyCells refers to
  double pearson = 0.0;    // meaningful when computed
  double pearsonP = 0.0;
  double aic = 0.0;
  double bic = 0.0;
  double adjustedBic = 0.0;
  double caic = 0.0;
};

// How clearly the model places the subjects. Each latent variable with two values or more is
// classified on its own: the class, and the status at each occasion.
struct ClassificationQuality {
  // 1 - (sum of the posterior entropies) / (N sum of ln K) over those variables; not a number
  // when there is none.
  double relativeEntropy = 0.0;
  // Over the subjects whose most probable class is c, their mean posterior probability of c;
  // not a number when no subject has c as its modal class. Empty with fewer than two classes.
  std::vector<double> classAverage;
  // The same for the status at each occasion, (s, t) at t * S + s. Empty without statuses to
  // classify.
  std::vector<double> statusAverage;

  bool Defined() const { return !classAverage.empty() || !statusAverage.empty(); }
};

// The FIT INDICES block and, when some latent variable has two values or more, the
// CLASSIFICATION QUALITY block with the average posterior probabilities of the modal classes
// and statuses. Written after MODEL FIT (and the MCAR block).
std::int32_t WriteFitIndicesBlock(input::TextOutput& out, const input::Model& model,
                                  const FitIndices& fit, const ClassificationQuality& quality);

// The line that stands for the MCAR block and the model's test of fit when the saturated model
// was refused for having more than maxCompletions completions.
std::string SaturatedTooLargeLine(double maxCompletions);

// The line that stands for the Pearson statistic when it was not computed.
std::string PearsonSkippedLine(PearsonSkip why, double cellLimit);

// The warning after the fit indices of a model that is not locally identified: the information
// matrix at the estimates has `directions` eigenvalues that are 0 to working precision, along
// which the likelihood is flat. The degrees of freedom above it keep their value.
std::int32_t WriteIdentificationWarning(input::TextOutput& out, std::int32_t directions);

// The line after the fit indices of a model with more estimated parameters than the limit of
// the information matrix: neither standard errors nor the identification check are given.
std::int32_t WriteStandardErrorsSkipped(input::TextOutput& out, std::int32_t limit);

}  // namespace kov::report
