// The model record: everything a control file describes, and the parameter arrays.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "multi_index.h"

namespace kov::input {

inline constexpr std::size_t kTitleWidth = 120;
inline constexpr std::size_t kLabelWidth = 8;
inline constexpr std::size_t kFileNameWidth = 300;
inline constexpr std::size_t kMaxTitleLines = 20;
inline constexpr std::int32_t kMaxOccasions = 50;

struct ModelDimensions {
  std::int32_t classes = 1;              // C, at least 1
  std::int32_t statuses = 1;             // S, at least 1
  std::int32_t classItems = 0;           // Ic
  std::int32_t statusItems = 0;          // Is, per occasion
  std::int32_t occasions = 0;            // T as read
  std::int32_t order = 1;                // 1 first-order, 2 second-order process
  std::int32_t maxClassCategories = 0;   // Kc
  std::int32_t maxStatusCategories = 0;  // Ks
  std::int32_t extraTransitionRows = 0;  // E, from the counts as read

  bool HasClasses() const { return classItems > 0; }
  bool HasStatuses() const { return statusItems > 0; }
  std::int32_t TransitionRows() const { return statuses + extraTransitionRows; }  // R
  // Occasions as an array extent: negative counts are 0, and a model without statuses still
  // keeps one occasion of delta for its single status.
  std::int32_t OccasionExtent() const { return occasions > 1 ? occasions : 1; }
  // N, the responses of one data record.
  std::int32_t ItemCount() const {
    return Positive(classItems) + Positive(statusItems) * Positive(occasions);
  }
  static std::int32_t Positive(std::int32_t n) { return n > 0 ? n : 0; }
};

// Extents of the five arrays, first index fastest.
inline MultiIndex<1> GammaShape(const ModelDimensions& d) { return MultiIndex<1>(d.classes); }
inline MultiIndex<3> DeltaShape(const ModelDimensions& d) {
  return MultiIndex<3>(d.classes, d.statuses, d.OccasionExtent());
}
inline MultiIndex<2> DeltaCodeShape(const ModelDimensions& d) {
  return MultiIndex<2>(d.classes, d.statuses);
}
inline MultiIndex<3> TauShape(const ModelDimensions& d) {
  return MultiIndex<3>(d.TransitionRows(), d.statuses, d.classes);
}
inline MultiIndex<3> LittleRhoShape(const ModelDimensions& d) {
  return MultiIndex<3>(d.maxClassCategories, d.classItems, d.classes);
}
inline MultiIndex<5> BigRhoShape(const ModelDimensions& d) {
  return MultiIndex<5>(d.maxStatusCategories, d.statusItems, d.statuses, d.classes,
                       d.OccasionExtent());
}

// One value per parameter: gamma(c), delta(c,s,t), tau(r,j,c), little rho(k,i,c),
// big rho(k,i,s,c,t).
struct ParameterSet {
  std::vector<double> gamma, delta, tau, littleRho, bigRho;
};

// One code per parameter: 0 fixed, 1 free, 2 or more tied equal to the same code of the array.
// Delta has codes for occasion 1 only, indexed (c,s).
struct RestrictionSet {
  std::vector<std::int32_t> gamma, delta, tau, littleRho, bigRho;
};

struct Model {
  // Title lines, 120 characters each, at most 20.
  std::vector<std::string> titles;

  ModelDimensions dims;
  std::int32_t printResiduals = 0;  // 0 no, 1 to 3 the cell table an EM report prints
  bool missingData = false;
  bool fixedFormat = false;
  std::string dataFile;    // 300 characters, blank-padded
  std::string dataFormat;  // 300 characters, blank-padded

  // EM run
  std::int32_t estimationType = 1;  // 1 new, 2 continue, 4 fit only
  bool writeEstimates = false;
  std::int32_t maxIterations = 0;
  double criterion = 0.0;
  std::string emOutputFile;
  std::string emStartValuesFile;  // blanks unless estimationType != 1
  std::string emEstimatesFile;    // blanks unless writeEstimates

  // Data-augmentation run
  std::int32_t iterationsBetweenImputations = 0;
  std::int32_t imputations = 0;
  std::int32_t seed = 0;
  bool writeIndividualEstimates = false;
  std::string daOutputFile;
  std::string daStartValuesFile;
  std::string seriesFile;
  std::string individualEstimatesFile;  // blanks unless writeIndividualEstimates

  // Response categories of every item, in item order.
  std::vector<std::int32_t> classItemCategories;
  std::vector<std::int32_t> statusItemCategories;

  // Labels, 8 characters each, blank-padded.
  std::vector<std::string> classLabels;
  std::vector<std::string> statusLabels;
  std::vector<std::string> classItemLabels;
  std::vector<std::vector<std::string>> classCategoryLabels;  // [item][category]
  std::vector<std::string> statusItemLabels;
  std::vector<std::vector<std::string>> statusCategoryLabels;

  bool restrictionsRead = false;  // section 9 is present only with maxIterations > 0
  RestrictionSet codes;           // all 0 (fixed) when not read
  ParameterSet start;
  // The start values came from a parameter estimates file (estimationType != 1), and the
  // iteration number stored there.
  bool startValuesFromFile = false;
  std::int32_t startIteration = 0;

  // Random starts, from the optional block after the start values. Without the block a new
  // estimation runs from the start values alone. A count of 0 read from the block takes its
  // default when the run begins (RandomStartSettings in the EM driver).
  bool startsBlock = false;
  std::int32_t starts = 0;                // N, the start values counting as start 1
  std::int32_t finalStarts = 0;           // K, the best of the first stage run to the end
  std::int32_t firstStageIterations = 0;  // iterations of every start before the choice
  std::int32_t startSeed = 0;
  // The stop rule on the log-likelihood: with a value above 0 a run has converged only when
  // the relative change of its log-likelihood, as well as MAD, is below its criterion.
  bool logLikelihoodRule = false;
  double logLikelihoodCriterion = 0.0;
  // The posterior membership file, from the block's last line: the name as written (empty:
  // none) and whether it has one row per distinct pattern rather than per data record.
  std::string posteriorFile;
  bool posteriorByPattern = false;
  // The comparison of sizes, from the block's 'ENUMERATE' line: kind 0 none, 1 classes, 2
  // statuses; the model is fitted at every size from..to, each size tested against the one below
  // it with `enumerationBootstrap` samples (0: no test).
  std::int32_t enumerationKind = 0;
  std::int32_t enumerationFrom = 0;
  std::int32_t enumerationTo = 0;
  std::int32_t enumerationBootstrap = 0;
};

// The largest size a comparison fits and the most bootstrap samples of one test.
inline constexpr std::int32_t kMaxEnumeratedSize = 50;
inline constexpr std::int32_t kMaxBootstrapSamples = 10000;

// The defaults of the random starts: enough starts that a mode reached by one start in four
// is found with near certainty (1 - 0.75^20 > 0.99), a first stage long enough to separate
// the basins of the modes, and a quarter of the starts (at least one) run to convergence.
inline constexpr std::int32_t kDefaultStarts = 20;
inline constexpr std::int32_t kDefaultFirstStageIterations = 50;
inline std::int32_t DefaultFinalStarts(std::int32_t starts) {
  return starts / 4 > 1 ? starts / 4 : 1;
}

// Sizes the parameter and restriction arrays from the dimensions, all zero.
void AllocateParameters(const ModelDimensions& dims, ParameterSet* values);
void AllocateRestrictions(const ModelDimensions& dims, RestrictionSet* codes);

// The text with its trailing blanks removed.
std::string TrimRight(const std::string& text);

}  // namespace kov::input
