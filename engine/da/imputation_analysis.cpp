#include "imputation_analysis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "base/engine_status.h"
#include "base/result_codes.h"
#include "em/mstep.h"
#include "em/parameter_count.h"
#include "imputed_data_file.h"
#include "input/estimates_writer.h"
#include "input/messages.h"
#include "quantiles.h"
#include "report/tau_failure.h"

namespace kov::da {

namespace {

using input::ParameterSet;

// The five arrays of a parameter set, for loops over the families.
using Array = std::vector<double> ParameterSet::*;
enum Family : std::size_t { kGamma, kDelta, kTau, kLittleRho, kBigRho, kFamilies };
constexpr std::array<Array, kFamilies> kArrays = {&ParameterSet::gamma, &ParameterSet::delta,
                                                  &ParameterSet::tau, &ParameterSet::littleRho,
                                                  &ParameterSet::bigRho};

// Per family and entry: does the parameter vary from imputation to imputation?
using EstimatedMask = std::array<std::vector<char>, kFamilies>;

// Added to the count of a parameter's category and to that of the rest of its set for the
// interval: z^2 / 2 with z = 1.96, rounded (Agresti and Coull's "add two successes and two
// failures"). The Wald interval of the adjusted proportion (x + 2) / (n + 4) keeps close to 95 %
// coverage down to counts of 0, where the plain one collapses to a point; an interval on the
// logit scale (with 1/2 added to the counts) also covers there, but is nearly twice as wide as
// the EM interval for a probability of 0.98 in a class of 100.
constexpr double kIntervalCountAdjustment = 2.0;
constexpr double kNormalQuantile975 = 1.96;

constexpr std::string_view kZeroDenominatorMessage =
    "There was an error in the DA routine.  Please see the output file for details.";
constexpr std::string_view kPrepareFailed = "Failure initializing post processing memory";
constexpr std::string_view kStoreFailed =
    "The DA routine was unable to store parameters. Please make sure that your computer has "
    "enough available memory, and that the information on the DA tab is properly specified.";
constexpr std::string_view kAllocationFailed =
    "The DA routine was unable to allocate an array in memory. Please make sure that your "
    "computer has enough available memory, and that the information on the DA tab is properly "
    "specified.";
constexpr std::string_view kRetrievalFailed =
    "Error in the DA routine retrieving data from a stored array.  Please check to see that "
    "information on the DA tab is correct and try again.";
constexpr std::string_view kTooFewImputations =
    "The DA routine needs at least two imputations to combine them.  Please make sure that the "
    "information on the DA tab is properly specified.";
constexpr std::string_view kDetailsSuffix =
    "; Please verify that this path exists and is writable.";

void AllocateAnalysis(const input::ModelDimensions& dims, ImputationAnalysis* analysis) {
  input::AllocateParameters(dims, &analysis->estimates);
  input::AllocateParameters(dims, &analysis->variances);
  input::AllocateParameters(dims, &analysis->logits);
  input::AllocateParameters(dims, &analysis->logitVariances);
}

bool SameLengths(const ParameterSet& a, const ParameterSet& b) {
  return std::all_of(kArrays.begin(), kArrays.end(),
                     [&](Array array) { return (a.*array).size() == (b.*array).size(); });
}

// Calls visit(offset, set) for every entry of the sets.
template <typename Visit>
void ForEachEntry(const input::ParameterSets& sets, Visit&& visit) {
  for (std::size_t q = 0; q < sets.sets; ++q) {
    for (std::size_t e = 0; e < sets.size; ++e) visit(sets.At(q, e), q);
  }
}

EstimatedMask Estimated(const input::ModelDimensions& dims, const input::RestrictionSet& codes) {
  EstimatedMask mask;
  auto byCode = [](bool present, const std::vector<std::int32_t>& code, std::vector<char>* out) {
    out->assign(code.size(), 0);
    if (!present) return;
    for (std::size_t i = 0; i < code.size(); ++i) (*out)[i] = code[i] != 0;
  };
  byCode(dims.HasClasses(), codes.gamma, &mask[kGamma]);
  byCode(dims.HasStatuses(), codes.tau, &mask[kTau]);
  byCode(dims.HasClasses(), codes.littleRho, &mask[kLittleRho]);
  byCode(dims.HasStatuses(), codes.bigRho, &mask[kBigRho]);

  // Delta's codes cover occasion 1; a later occasion's prevalence moves with its class's delta
  // and tau, so it is estimated unless all of those are fixed.
  const input::MultiIndex<3> shape = input::DeltaShape(dims);
  const input::MultiIndex<3> tauShape = input::TauShape(dims);
  const std::size_t classes = shape.Extent(0), statuses = shape.Extent(1);
  mask[kDelta].assign(shape.Size(), 0);
  if (!dims.HasStatuses()) return mask;
  for (std::size_t c = 0; c < classes; ++c) {
    bool moves = false;
    for (std::size_t s = 0; s < statuses; ++s) {
      const bool estimated = codes.delta[shape(c, s, 0)] != 0;
      mask[kDelta][shape(c, s, 0)] = estimated;
      moves |= estimated;
    }
    for (std::size_t r = 0; r < tauShape.Extent(0); ++r) {
      for (std::size_t s = 0; s < tauShape.Extent(1); ++s) {
        moves |= codes.tau[tauShape(r, s, c)] != 0;
      }
    }
    for (std::size_t t = 1; t < shape.Extent(2); ++t) {
      for (std::size_t s = 0; s < statuses; ++s) mask[kDelta][shape(c, s, t)] = moves;
    }
  }
  return mask;
}

// A count the tally did not size (a latent variable the model does not have) counts as 0.
double CountAt(const std::vector<double>& counts, std::size_t offset) {
  return offset < counts.size() ? counts[offset] : 0.0;
}

// n per entry: the subjects of the entry's set in the completed data.
void SetDenominators(const input::ParameterSets& sets, const std::vector<double>& counts,
                     std::vector<double>* n) {
  std::vector<double> perSet(sets.sets, 0.0);
  ForEachEntry(sets,
               [&](std::size_t offset, std::size_t q) { perSet[q] += CountAt(counts, offset); });
  ForEachEntry(sets, [&](std::size_t offset, std::size_t q) { (*n)[offset] = perSet[q]; });
}

// A parameter tied equal across sets (a transition probability held equal over the occasions,
// say) is estimated from the subjects of all its sets together: its complete-data variance
// takes the pooled count, the sum over the distinct sets that hold a member. Members in one set
// share that set's count already.
void PoolTiedDenominators(const input::ArrayRestrictions& array, std::vector<double>* n) {
  for (const input::EqualityGroup& group : array.groups) {
    if (group.sets.size() < 2) continue;
    double pooled = 0.0;
    for (const std::size_t q : group.sets) pooled += (*n)[array.sets.At(q, 0)];
    for (const std::size_t member : group.members) (*n)[member] = pooled;
  }
}

ParameterSet Denominators(const input::ModelDimensions& dims, const em::ExpectedCounts& counts,
                          const input::RestrictionStructure& restrictions) {
  ParameterSet n;
  input::AllocateParameters(dims, &n);
  std::fill(n.gamma.begin(), n.gamma.end(), counts.total);
  // Every occasion of delta is a proportion of the class's subjects, counted at occasion 1.
  const input::MultiIndex<3> shape = input::DeltaShape(dims);
  for (std::size_t c = 0; c < shape.Extent(0); ++c) {
    double members = 0.0;
    for (std::size_t s = 0; s < shape.Extent(1); ++s) {
      members += CountAt(counts.statusMargins, shape(c, s, 0));
    }
    for (std::size_t t = 0; t < shape.Extent(2); ++t) {
      for (std::size_t s = 0; s < shape.Extent(1); ++s) n.delta[shape(c, s, t)] = members;
    }
  }
  SetDenominators(input::TauSets(dims), counts.transitionCounts, &n.tau);
  SetDenominators(input::LittleRhoSets(dims), counts.littleRhoCounts, &n.littleRho);
  SetDenominators(input::BigRhoSets(dims), counts.bigRhoCounts, &n.bigRho);
  if (dims.HasStatuses()) {
    PoolTiedDenominators(restrictions.delta, &n.delta);
    PoolTiedDenominators(restrictions.tau, &n.tau);
    PoolTiedDenominators(restrictions.bigRho, &n.bigRho);
  }
  if (dims.HasClasses()) {
    PoolTiedDenominators(restrictions.gamma, &n.gamma);
    PoolTiedDenominators(restrictions.littleRho, &n.littleRho);
  }
  return n;
}

// Delta beyond occasion 1: each class's status prevalences implied by its delta and tau. The
// joint prior is taken with every gamma 1, so that a class without members still gets them.
void DeriveClassPrevalences(const input::ModelDimensions& dims, ParameterSet* values) {
  if (!dims.HasStatuses() || dims.occasions < 2) return;
  ParameterSet conditional;
  conditional.gamma.assign(values->gamma.size(), 1.0);
  conditional.delta = values->delta;
  conditional.tau = values->tau;
  em::DeriveOccasionPrevalences(dims, &conditional);
  values->delta = std::move(conditional.delta);
}

// The adjusted proportion of x = p n out of n and its complete-data variance. With x = p n this
// also serves an estimate that pools tied sets or is implied by other parameters (delta beyond
// occasion 1).
struct AdjustedProportion {
  double value;
  double variance;
};

AdjustedProportion Adjusted(double p, double n) {
  const double total = n + 2.0 * kIntervalCountAdjustment;
  const double value = (p * n + kIntervalCountAdjustment) / total;
  return {value, value * (1.0 - value) / total};
}

// The complete-data variances on both scales, and the logits, of one array.
void AnalyseArray(const std::vector<char>& estimated, const std::vector<double>& n,
                  std::vector<double>* p, std::vector<double>* u, std::vector<double>* q,
                  std::vector<double>* uStar) {
  for (std::size_t i = 0; i < p->size(); ++i) {
    double& estimate = (*p)[i];
    if (i >= estimated.size() || !estimated[i]) {
      (*u)[i] = (*q)[i] = (*uStar)[i] = kNotApplicable;
      continue;
    }
    estimate = std::clamp(estimate, 0.0, 1.0);
    const double subjects = std::max(n[i], 0.0);
    (*u)[i] = subjects > 0.0 ? estimate * (1.0 - estimate) / subjects : 0.0;
    const AdjustedProportion adjusted = Adjusted(estimate, subjects);
    (*q)[i] = adjusted.value;
    (*uStar)[i] = adjusted.variance;
  }
}

// Rubin's rules for one parameter on one scale.
struct Pooled {
  double mean = 0.0;     // Q bar
  double within = 0.0;   // U bar
  double between = 0.0;  // B
  double total = 0.0;    // T
  double degreesOfFreedom = 0.0;
};

Pooled Pool(const std::vector<double>& q, const std::vector<double>& u) {
  const double m = static_cast<double>(q.size());
  // Deviations from the first imputation: identical estimates then give exactly B = 0 and their
  // own value as the mean, and the sum of squares loses no digits to a large common value.
  double deviationSum = 0.0, withinSum = 0.0;
  for (std::size_t j = 0; j < q.size(); ++j) {
    deviationSum += q[j] - q[0];
    withinSum += u[j];
  }
  const double meanDeviation = deviationSum / m;
  double squares = 0.0;
  for (const double value : q) {
    const double d = value - q[0] - meanDeviation;
    squares += d * d;
  }
  Pooled pooled;
  pooled.mean = q[0] + meanDeviation;
  pooled.within = withinSum / m;
  pooled.between = squares / (m - 1.0);
  const double inflated = (1.0 + 1.0 / m) * pooled.between;
  pooled.total = pooled.within + inflated;
  if (pooled.between > 0.0) {
    const double ratio = 1.0 + pooled.within / inflated;
    pooled.degreesOfFreedom = (m - 1.0) * ratio * ratio;
  }
  return pooled;
}

// (r + 2 / (nu + 3)) / (r + 1) with r = (1 + 1/m) B / U bar. Without any within variance r is
// infinite while B > 0, and the fraction its limit 1. With B = 0 the imputations agree and no
// information is missing: nu stands at 0 there only as a marker of "no between variance", and
// putting it into 2 / (nu + 3) would report two thirds missing, so the fraction is 0.
double MissingInformation(const Pooled& pooled, double m) {
  const double inflated = (1.0 + 1.0 / m) * pooled.between;
  if (!(inflated > 0.0)) return 0.0;
  if (!(pooled.within > 0.0)) return 1.0;
  const double r = inflated > 0.0 ? inflated / pooled.within : 0.0;
  return (r + 2.0 / (pooled.degreesOfFreedom + 3.0)) / (r + 1.0);
}

void CombineArray(Family family, const std::vector<const ImputationAnalysis*>& entries,
                  const std::vector<char>& estimated, CombinedResults* out) {
  const Array array = kArrays[family];
  const std::size_t m = entries.size();
  const double imputations = static_cast<double>(m);
  std::vector<double> p(m), u(m), q(m), uStar(m);
  const std::size_t size = (entries[0]->estimates.*array).size();
  for (std::size_t i = 0; i < size; ++i) {
    if (i >= estimated.size() || !estimated[i]) {
      // Fixed: the same value in every imputation, shown as it is.
      (out->estimates.*array)[i] = (entries[0]->estimates.*array)[i];
      (out->standardErrors.*array)[i] = kNotApplicable;
      (out->lowerBounds.*array)[i] = kNotApplicable;
      (out->upperBounds.*array)[i] = kNotApplicable;
      (out->missingInformation.*array)[i] = kNotApplicable;
      (out->totalVariances.*array)[i] = kNotApplicable;
      (out->degreesOfFreedom.*array)[i] = kNotApplicable;
      continue;
    }
    for (std::size_t j = 0; j < m; ++j) {
      p[j] = (entries[j]->estimates.*array)[i];
      u[j] = (entries[j]->variances.*array)[i];
      q[j] = (entries[j]->logits.*array)[i];
      uStar[j] = (entries[j]->logitVariances.*array)[i];
    }
    const Pooled probability = Pool(p, u);
    const Pooled adjusted = Pool(q, uStar);
    const double quantile = adjusted.degreesOfFreedom == 0.0
                                ? kNormalQuantile975
                                : StudentT975(adjusted.degreesOfFreedom);
    const double halfWidth = quantile * std::sqrt(adjusted.total);
    (out->estimates.*array)[i] = probability.mean;
    (out->standardErrors.*array)[i] = std::sqrt(probability.total);
    // The adjustment moves the centre towards 1/2: near 0 the lower bound may pass below 0 (it
    // is cut there) and, with every imputation at 0, the estimate may lie below it (the
    // interval then reaches down to the estimate it is printed with).
    const double lower = std::max(adjusted.mean - halfWidth, 0.0);
    const double upper = std::min(adjusted.mean + halfWidth, 1.0);
    (out->lowerBounds.*array)[i] = std::min(lower, probability.mean);
    (out->upperBounds.*array)[i] = std::max(upper, probability.mean);
    (out->missingInformation.*array)[i] = MissingInformation(probability, imputations);
    (out->totalVariances.*array)[i] = probability.total;
    (out->degreesOfFreedom.*array)[i] = probability.degreesOfFreedom;
  }
}

Status WriteDetails(const std::string& controlFilePath, const input::ModelDimensions& dims,
                    const CombinedResults& combined) {
  const std::string path = DetailsFilePath(controlFilePath);
  // Whole or not at all: a run that fails while writing it leaves the previous file as it was.
  input::TextOutput out;
  std::int32_t status = out.CreateReplacing(path);
  if (status != kStatusOk) {
    return Status(status, "Unable to open imputation details text file: " +
                              input::NameWithFullPath(path) +
                              std::string(kDetailsSuffix));
  }
  constexpr input::NumberFormat kDegreesFormat{3, 20, 10};
  struct Section {
    std::string_view label;
    const ParameterSet* values;
    input::NumberFormat format;
  };
  const Section sections[] = {
      {" QBAR:", &combined.estimates, input::kEstimatesFileFormat},
      {" TOTAL VARIANCE:", &combined.totalVariances, input::kEstimatesFileFormat},
      {" DEGREES OF FREEDOM:", &combined.degreesOfFreedom, kDegreesFormat},
      {" FRACTION OF MISSING INFORMATION:", &combined.missingInformation,
       input::kEstimatesFileFormat},
      {" HIGH:", &combined.upperBounds, input::kEstimatesFileFormat},
      {" LOW:", &combined.lowerBounds, input::kEstimatesFileFormat},
  };
  for (const Section& section : sections) {
    if ((status = out.WriteLine(section.label)) != kStatusOk) break;
    status = input::WriteParameterEstimates(dims, *section.values, -1, section.format, out);
    if (status != kStatusOk) break;
  }
  const std::int32_t closed = out.Commit();
  if (status == kStatusOk) status = closed;
  if (status != kStatusOk) {
    return Status(status, "Unable to write to imputation details text file: " + path +
                              std::string(kDetailsSuffix));
  }
  return {};
}

}  // namespace

Status ImputationStore::Prepare(std::int32_t imputations,
                                      const input::ModelDimensions& dims) {
  m_entries.clear();
  m_stored.clear();
  try {
    const std::size_t count = imputations > 0 ? static_cast<std::size_t>(imputations) : 0;
    ImputationAnalysis empty;
    AllocateAnalysis(dims, &empty);
    m_entries.assign(count, empty);
    m_stored.assign(count, 0);
    return {};
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  m_entries = {};
  m_stored = {};
  return Status(kOutOfMemory, std::string(kPrepareFailed));
}

std::int32_t ImputationStore::Store(std::int32_t j, const ImputationAnalysis& analysis) {
  if (j < 1 || static_cast<std::size_t>(j) > m_entries.size()) return kOutOfMemory;
  ImputationAnalysis& entry = m_entries[static_cast<std::size_t>(j) - 1];
  const std::pair<ParameterSet*, const ParameterSet*> parts[] = {
      {&entry.estimates, &analysis.estimates},
      {&entry.variances, &analysis.variances},
      {&entry.logits, &analysis.logits},
      {&entry.logitVariances, &analysis.logitVariances},
  };
  for (const auto& [to, from] : parts) {
    if (!SameLengths(*to, *from)) return kOutOfMemory;
  }
  for (const auto& [to, from] : parts) {
    for (Array array : kArrays) {
      std::copy((from->*array).begin(), (from->*array).end(), (to->*array).begin());
    }
  }
  m_stored[static_cast<std::size_t>(j) - 1] = 1;
  return kStatusOk;
}

const ImputationAnalysis* ImputationStore::Entry(std::int32_t j) const {
  if (j < 1 || static_cast<std::size_t>(j) > m_entries.size()) return nullptr;
  if (!m_stored[static_cast<std::size_t>(j) - 1]) return nullptr;
  return &m_entries[static_cast<std::size_t>(j) - 1];
}

std::string DetailsFilePath(const std::string& controlFilePath) {
  return ControlFileFolder(controlFilePath) + "Details.txt";
}

Status AnalyseImputation(std::int32_t j, const em::ExpectedCounts& counts,
                               const input::RestrictionStructure& restrictions,
                               const input::ModelDimensions& dims,
                               const input::ParameterSet& start, input::TextOutput& report,
                               ImputationStore* store) {
  try {
    ImputationAnalysis analysis;
    analysis.estimates = start;
    ParameterSet& p = analysis.estimates;
    double changeSum = 0.0;  // the change sums serve EM's convergence test only
    if (dims.HasClasses()) {
      em::UpdateGamma(restrictions, counts, &p, &changeSum);
      em::UpdateLittleRho(restrictions, counts, &p, &changeSum);
    }
    if (dims.HasStatuses()) {
      report::ZeroTauDenominator where;
      if (Status tau = em::UpdateTau(restrictions, counts, &p, &changeSum, &where,
                                     kZeroDenominatorMessage);
          !tau.IsOk()) {
        return report::ExplainZeroTauDenominator(report, std::move(tau), where);
      }
      em::UpdateDelta(restrictions, counts, &p, &changeSum);
      em::UpdateBigRho(restrictions, counts, &p, &changeSum);
      DeriveClassPrevalences(dims, &p);
    }

    const EstimatedMask estimated = Estimated(dims, restrictions.markedCodes);
    const ParameterSet n = Denominators(dims, counts, restrictions);
    analysis.variances = analysis.logits = analysis.logitVariances = p;
    for (std::size_t f = 0; f < kFamilies; ++f) {
      const Array array = kArrays[f];
      AnalyseArray(estimated[f], n.*array, &(p.*array), &(analysis.variances.*array),
                   &(analysis.logits.*array), &(analysis.logitVariances.*array));
    }

    const std::int32_t status = store != nullptr ? store->Store(j, analysis) : kOutOfMemory;
    if (status != kStatusOk) return Status(status, std::string(kStoreFailed));
    return {};
  } catch (const std::bad_alloc&) {
    return Status(kOutOfMemory, std::string(kAllocationFailed));
  }
}

Status CombineImputations(std::int32_t imputations, const std::string& controlFilePath,
                          const input::ModelDimensions& dims, const input::RestrictionSet& codes,
                          const ImputationStore& store, CombinedResults* results) {
  if (imputations < 2) return Status(kBadValue, std::string(kTooFewImputations));
  CombinedResults combined;
  try {
    std::vector<const ImputationAnalysis*> entries;
    for (std::int32_t j = 1; j <= imputations; ++j) {
      const ImputationAnalysis* entry = store.Entry(j);
      if (entry == nullptr) return Status(kInternalError, std::string(kRetrievalFailed));
      entries.push_back(entry);
    }
    for (ParameterSet* set : {&combined.estimates, &combined.standardErrors,
                              &combined.lowerBounds, &combined.upperBounds,
                              &combined.missingInformation, &combined.totalVariances,
                              &combined.degreesOfFreedom}) {
      input::AllocateParameters(dims, set);
      if (!SameLengths(*set, entries[0]->estimates)) {
        return Status(kInternalError, std::string(kRetrievalFailed));
      }
    }
    const EstimatedMask estimated = Estimated(dims, codes);
    for (std::size_t f = 0; f < kFamilies; ++f) {
      CombineArray(static_cast<Family>(f), entries, estimated[f], &combined);
    }
  } catch (const std::bad_alloc&) {
    return Status(kOutOfMemory, std::string(kAllocationFailed));
  }
  if (Status written = WriteDetails(controlFilePath, dims, combined); !written.IsOk()) {
    return written;
  }
  *results = std::move(combined);
  return {};
}

}  // namespace kov::da
