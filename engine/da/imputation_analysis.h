// Multiple imputation: the complete-data analysis of every imputed data set of a
// data-augmentation run, and Rubin's combination of the m analyses into the final estimates,
// standard errors, 95 % bounds and fractions of missing information.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "base/text_output.h"
#include "em/estep.h"
#include "input/model.h"
#include "input/restriction_structure.h"

namespace kov::da {

// Marks a quantity that does not apply (a parameter that is not estimated); the parameter
// tables print it as "-". It is never a valid probability, variance or fraction.
inline constexpr double kNotApplicable = 9.0;

// The analysis of one completed data set, four arrays in the shapes of the parameter arrays.
struct ImputationAnalysis {
  input::ParameterSet estimates;       // p, the complete-data estimates
  input::ParameterSet variances;       // u = p (1 - p) / n
  // For the 95 % bounds, with x = n p: q = (x + 2) / (n + 4) and u* = q (1 - q) / (n + 4).
  input::ParameterSet logits;
  input::ParameterSet logitVariances;
};

// The combined results in the shapes of the parameter arrays, kNotApplicable where a parameter
// is not estimated. Estimates of fixed parameters are their fixed values.
struct CombinedResults {
  input::ParameterSet estimates;           // probability scale: the mean over the imputations
  input::ParameterSet standardErrors;      // probability scale: square root of total variance
  input::ParameterSet lowerBounds;         // 95 % bounds of the adjusted proportions
  input::ParameterSet upperBounds;
  input::ParameterSet missingInformation;  // fraction of missing information
  input::ParameterSet totalVariances;      // probability scale
  input::ParameterSet degreesOfFreedom;    // probability scale; 0 when B = 0
};

// The analyses of the m imputations, kept in memory from the chain to the combination.
class ImputationStore {
 public:
  // Makes room for m analyses of arrays shaped by dims, replacing anything stored. Returns
  // success, or kOutOfMemory with "Failure initializing post processing memory" (the run goes
  // on, and storing then fails).
  [[nodiscard]] Status Prepare(std::int32_t imputations, const input::ModelDimensions& dims);

  std::int32_t Imputations() const { return static_cast<std::int32_t>(m_entries.size()); }

  // Copies the analysis into entry j (from 1) without allocating. Returns kStatusOk, or
  // kOutOfMemory when there is no room for entry j or its arrays have other lengths. Records
  // nothing; AnalyseImputation does.
  std::int32_t Store(std::int32_t j, const ImputationAnalysis& analysis);

  // Entry j (from 1), or null when it was never stored.
  const ImputationAnalysis* Entry(std::int32_t j) const;

 private:
  std::vector<ImputationAnalysis> m_entries;
  std::vector<char> m_stored;
};

// The complete-data analysis of imputation j from its completed-data counts (in the layout of
// the E-step's expected counts): the M-step under the restrictions, with the DA's message on a
// zero TAU denominator (whose explanation goes to the report); then per parameter u, q and u*,
// n being the number of subjects of its set (everybody for gamma, the class for delta, the row's
// origin for tau, the class or status for rho). Fixed parameters keep their start values and
// get u = q = u* = 9.0. Estimates are kept inside [0, 1] against rounding. For the bounds the
// counts x = n p and n - x each get 2 added, so that an imputation in which a category is never
// or always chosen still has a variance that reflects its count.
//
// Delta beyond occasion 1 holds the status prevalences that the estimates imply; each is analysed
// as a proportion of its class, and is not estimated when its class's delta and tau are all
// fixed. The restrictions are the run's structure. Returns success, or the failure with the
// code and message the user is shown.
[[nodiscard]] Status AnalyseImputation(std::int32_t j, const em::ExpectedCounts& counts,
                               const input::RestrictionStructure& restrictions,
                               const input::ModelDimensions& dims,
                               const input::ParameterSet& start, input::TextOutput& report,
                               ImputationStore* store);

// Combines the m stored analyses by Rubin's rules, on the probability scale for the estimates,
// standard errors, degrees of freedom and fractions of missing information, and for the 95 %
// bounds on the adjusted proportions (cut at 0 and 1, and always holding the estimate); writes
// "Details.txt" into the control file's folder (the path may be blank-padded); then fills *results.
// Returns success, or the failure (leaving *results alone). Fewer than two imputations are refused:
// the between variance needs two.
Status CombineImputations(std::int32_t imputations, const std::string& controlFilePath,
                          const input::ModelDimensions& dims, const input::RestrictionSet& codes,
                          const ImputationStore& store, CombinedResults* results);

// The path of "Details.txt" for the control file.
std::string DetailsFilePath(const std::string& controlFilePath);

}  // namespace kov::da
