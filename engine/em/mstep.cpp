#include "mstep.h"

#include <cmath>

#include "base/result_codes.h"

namespace kov::em {

namespace {

using input::ArrayRestrictions;

// D(q): the counts of every entry of set q that is not fixed.
double SetDenominator(const ArrayRestrictions& array, std::size_t q, const double* counts) {
  double denominator = 0.0;
  for (std::size_t e = 0; e < array.sets.size; ++e) {
    const std::size_t offset = array.sets.At(q, e);
    if (array.codes[offset] != 0) denominator += counts[offset];
  }
  return denominator;
}

// The common value of every equality group with a head: A, the counts of all its members, over
// B, the denominators of their sets taken member by member, times what the fixed entries of the
// head's set leave. A group without any expected count keeps its head's current value. Returns
// the first such group in storage order of the heads, or groups.size() when there is none.
std::size_t GroupValues(const ArrayRestrictions& array, const double* counts,
                        const double* current, double* values) {
  std::size_t firstEmpty = array.groups.size();
  for (std::size_t g = 0; g < array.groups.size(); ++g) {
    const input::EqualityGroup& group = array.groups[g];
    if (!group.hasHead) continue;  // members without a head keep their values
    double groupCounts = 0.0, denominators = 0.0, denominator = 0.0;
    for (std::size_t m = 0; m < group.members.size(); ++m) {
      if (m == 0 || group.memberSets[m] != group.memberSets[m - 1]) {
        denominator = SetDenominator(array, group.memberSets[m], counts);
      }
      groupCounts += counts[group.members[m]];
      denominators += denominator;
    }
    if (denominators == 0.0) {
      if (firstEmpty == array.groups.size() || group.head < array.groups[firstEmpty].head) {
        firstEmpty = g;
      }
      values[g] = current[group.head];
      continue;
    }
    values[g] = groupCounts / denominators * (1.0 - array.fixedSum[group.headSet]);
  }
  return firstEmpty;
}

// The first set with free entries but no expected count in them, or sets.sets.
std::size_t FirstSetWithoutFreeCounts(const ArrayRestrictions& array, const double* counts) {
  for (std::size_t q = 0; q < array.sets.sets; ++q) {
    double freeCounts = 0.0;
    bool hasFree = false;
    for (std::size_t e = 0; e < array.sets.size; ++e) {
      const std::size_t offset = array.sets.At(q, e);
      if (array.codes[offset] != 1) continue;
      hasFree = true;
      freeCounts += counts[offset];
    }
    if (hasFree && freeCounts == 0.0) return q;
  }
  return array.sets.sets;
}

// The free entries of set q share `share` in proportion to their current values, or equally
// when those are all 0: the fallback when they have no expected count to go by.
void ShareByCurrentValues(const ArrayRestrictions& array, std::size_t q, const double* current,
                          double share, double* next) {
  double currentSum = 0.0;
  std::size_t freeEntries = 0;
  for (std::size_t e = 0; e < array.sets.size; ++e) {
    const std::size_t offset = array.sets.At(q, e);
    if (array.codes[offset] != 1) continue;
    currentSum += current[offset];
    ++freeEntries;
  }
  for (std::size_t e = 0; e < array.sets.size; ++e) {
    const std::size_t offset = array.sets.At(q, e);
    if (array.codes[offset] != 1) continue;
    next[e] = currentSum > 0.0 ? current[offset] / currentSum * share
                               : share / static_cast<double>(freeEntries);
  }
}

// The new values of set q, entry by entry into next: fixed entries at their start values, tied
// entries at their group's value, and the free entries sharing what those leave by their counts.
void NewSetValues(const ArrayRestrictions& array, std::size_t q, const double* counts,
                  const double* current, const double* groupValues, double* next) {
  double freeCounts = 0.0, rest = 0.0;
  bool hasFree = false;
  for (std::size_t e = 0; e < array.sets.size; ++e) {
    const std::size_t offset = array.sets.At(q, e);
    const std::int32_t code = array.codes[offset];
    const std::int32_t g = array.groupOf[offset];
    if (code == 0) {
      next[e] = array.start[offset];
    } else if (g != input::kNoGroup && array.groups[static_cast<std::size_t>(g)].hasHead) {
      next[e] = groupValues[g];
    } else {
      next[e] = current[offset];
    }
    if (code == 1) {
      hasFree = true;
      freeCounts += counts[offset];
    } else {
      rest += next[e];
    }
  }
  if (!hasFree) return;
  if (freeCounts == 0.0) {
    ShareByCurrentValues(array, q, current, 1.0 - rest, next);
    return;
  }
  for (std::size_t e = 0; e < array.sets.size; ++e) {
    const std::size_t offset = array.sets.At(q, e);
    if (array.codes[offset] == 1) next[e] = counts[offset] / freeCounts * (1.0 - rest);
  }
}

// Writes set q's new values over the current ones and returns the change of its estimated
// entries.
double ReplaceSetValues(const ArrayRestrictions& array, std::size_t q, const double* next,
                        double* current) {
  double change = 0.0;
  for (std::size_t e = 0; e < array.sets.size; ++e) {
    const std::size_t offset = array.sets.At(q, e);
    if (array.estimated[offset]) change += std::fabs(next[e] - current[offset]);
    current[offset] = next[e];
  }
  return change;
}

enum class OnZeroDenominator { kCarryOn, kStop };

struct ZeroDenominator {
  std::int32_t kind = kStatusOk;  // else kZeroTauDenominatorConstrained or ...Free
  std::size_t set = 0;
};

// The update of delta, tau and both rho arrays over their sets. With kStop, a zero denominator
// is returned before any value changes.
ZeroDenominator UpdateSets(const ArrayRestrictions& array, const double* counts, double* current,
                           double* changeSum, OnZeroDenominator onZero) {
  double* next = array.work.data();
  double* groupValues = next + array.sets.size;
  const std::size_t firstEmpty = GroupValues(array, counts, current, groupValues);
  if (onZero == OnZeroDenominator::kStop) {
    if (firstEmpty != array.groups.size()) {
      return {kZeroTauDenominatorConstrained, array.groups[firstEmpty].headSet};
    }
    if (const std::size_t q = FirstSetWithoutFreeCounts(array, counts); q != array.sets.sets) {
      return {kZeroTauDenominatorFree, q};
    }
  }
  double change = 0.0;
  for (std::size_t q = 0; q < array.sets.sets; ++q) {
    NewSetValues(array, q, counts, current, groupValues, next);
    change += ReplaceSetValues(array, q, next, current);
  }
  *changeSum += change;
  return {};
}

}  // namespace

void UpdateGamma(const input::RestrictionStructure& restrictions, const ExpectedCounts& counts,
                 input::ParameterSet* values, double* changeSum) {
  const ArrayRestrictions& array = restrictions.gamma;
  const std::size_t classCount = array.sets.size;
  const std::int32_t* code = array.codes.data();
  double* current = values->gamma.data();
  double* next = array.work.data();

  double fixedSum = 0.0, estimatedSum = 0.0;
  for (std::size_t c = 0; c < classCount; ++c) {
    if (code[c] == 0) {
      next[c] = array.start[c];
      fixedSum += next[c];
    } else {
      next[c] = counts.total > 0.0 ? counts.classCounts[c] / counts.total : 0.0;
      estimatedSum += next[c];
    }
  }
  for (std::size_t c = 0; c < classCount; ++c) {
    if (code[c] != 0 && estimatedSum > 0.0) next[c] = next[c] / estimatedSum * (1.0 - fixedSum);
  }
  if (estimatedSum <= 0.0) {
    // No estimated class has a member: they keep their proportions, as in the other arrays.
    double currentSum = 0.0;
    std::size_t estimated = 0;
    for (std::size_t c = 0; c < classCount; ++c) {
      if (code[c] == 0) continue;
      currentSum += current[c];
      ++estimated;
    }
    for (std::size_t c = 0; c < classCount; ++c) {
      if (code[c] == 0) continue;
      next[c] = currentSum > 0.0 ? current[c] / currentSum * (1.0 - fixedSum)
                                 : (1.0 - fixedSum) / static_cast<double>(estimated);
    }
  }

  // The members of each equality group get the arithmetic mean of their values.
  for (const input::EqualityGroup& group : array.groups) {
    if (!group.hasHead) continue;
    double valueSum = 0.0;
    for (const std::size_t c : group.members) valueSum += next[c];
    const double mean = valueSum / static_cast<double>(group.members.size());
    for (const std::size_t c : group.members) next[c] = mean;
  }

  *changeSum += ReplaceSetValues(array, 0, next, current);
}

void UpdateDelta(const input::RestrictionStructure& restrictions, const ExpectedCounts& counts,
                 input::ParameterSet* values, double* changeSum) {
  UpdateSets(restrictions.delta, counts.statusMargins.data(), values->delta.data(), changeSum,
             OnZeroDenominator::kCarryOn);
}

Status UpdateTau(const input::RestrictionStructure& restrictions, const ExpectedCounts& counts,
                 input::ParameterSet* values, double* changeSum,
                 report::ZeroTauDenominator* where, std::string_view zeroDenominatorMessage) {
  const ZeroDenominator zero = UpdateSets(restrictions.tau, counts.transitionCounts.data(),
                                          values->tau.data(), changeSum, OnZeroDenominator::kStop);
  if (zero.kind == kStatusOk) return {};
  if (where != nullptr) {
    const input::MultiIndex<3> shape = input::TauShape(restrictions.dims);
    const std::size_t rows = shape.Extent(0);
    *where = {zero.kind == kZeroTauDenominatorFree, zero.set % rows + 1, zero.set / rows + 1,
              shape.Extent(2) > 1};
  }
  return Status(zero.kind, std::string(zeroDenominatorMessage));
}

void UpdateLittleRho(const input::RestrictionStructure& restrictions, const ExpectedCounts& counts,
                     input::ParameterSet* values, double* changeSum) {
  UpdateSets(restrictions.littleRho, counts.littleRhoCounts.data(), values->littleRho.data(),
             changeSum, OnZeroDenominator::kCarryOn);
}

void UpdateBigRho(const input::RestrictionStructure& restrictions, const ExpectedCounts& counts,
                  input::ParameterSet* values, double* changeSum) {
  UpdateSets(restrictions.bigRho, counts.bigRhoCounts.data(), values->bigRho.data(), changeSum,
             OnZeroDenominator::kCarryOn);
}

}  // namespace kov::em
