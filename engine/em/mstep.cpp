#include "mstep.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "parameter_count.h"
#include "run/engine_status.h"
#include "run/result_codes.h"

namespace kov::em {

namespace {

// Equality classes are keyed by the magnitude of their code, widened so that the most negative
// 32-bit code has one.
std::int64_t Magnitude(std::int32_t code) { return std::llabs(static_cast<std::int64_t>(code)); }

struct EqualityClass {
  double counts = 0.0;        // A: expected counts of all members
  double denominators = 0.0;  // B: D(set of member), summed member by member
  double valueSum = 0.0;      // gamma: values of the members, for their mean
  std::size_t members = 0;
  bool hasHead = false;
  std::size_t headOffset = 0;
  std::size_t headSet = 0;
  double value = 0.0;
};

using EqualityClasses = std::unordered_map<std::int64_t, EqualityClass>;

void NoteHead(EqualityClass& equality, std::size_t offset, std::size_t set) {
  if (equality.hasHead && equality.headOffset <= offset) return;
  equality.hasHead = true;
  equality.headOffset = offset;
  equality.headSet = set;
}

// The free entries of a set share `share` in proportion to their current values, or equally
// when those are all 0: the fallback when they have no expected count to go by.
void ShareByCurrentValues(const ParameterSets& sets, std::size_t set, const std::int32_t* codes,
                          const double* current, double share, std::vector<double>& next) {
  double currentSum = 0.0;
  std::size_t freeEntries = 0;
  for (std::size_t e = 0; e < sets.size; ++e) {
    const std::size_t offset = sets.At(set, e);
    if (codes[offset] != 1) continue;
    currentSum += current[offset];
    ++freeEntries;
  }
  for (std::size_t e = 0; e < sets.size; ++e) {
    const std::size_t offset = sets.At(set, e);
    if (codes[offset] != 1) continue;
    next[offset] = currentSum > 0.0 ? current[offset] / currentSum * share
                                    : share / static_cast<double>(freeEntries);
  }
}

double ChangeOf(const ParameterSets& sets, const std::int32_t* codes, const double* current,
                const std::vector<double>& next) {
  double change = 0.0;
  ForEachEstimatedEntry(sets, codes, [&](std::size_t offset) {
    change += std::fabs(next[offset] - current[offset]);
  });
  return change;
}

enum class OnZeroDenominator { kCarryOn, kStop };

struct ZeroDenominator {
  std::int32_t kind = 0;  // 0 none, else kZeroDenominatorConstrained or kZeroDenominatorFree
  std::size_t set = 0;
};

// The update of delta, tau and both rho arrays over their sets. The first `entries` offsets of
// codes, start, counts and current are the ones updated. With kStop, a zero denominator is
// returned before any value changes.
ZeroDenominator UpdateSets(const ParameterSets& sets, std::size_t entries,
                           const std::int32_t* codes, const double* start, const double* counts,
                           double* current, double* changeSum, OnZeroDenominator onZero) {
  std::vector<double> next(current, current + entries);

  // Fixed entries and the set denominators D: the counts of every entry that is not fixed.
  std::vector<double> denominator(sets.sets, 0.0);
  for (std::size_t q = 0; q < sets.sets; ++q) {
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t offset = sets.At(q, e);
      if (codes[offset] == 0) {
        next[offset] = start[offset];
      } else {
        denominator[q] += counts[offset];
      }
    }
  }

  // Equality classes: A over all members, B one set denominator per member.
  EqualityClasses classes;
  for (std::size_t q = 0; q < sets.sets; ++q) {
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t offset = sets.At(q, e);
      const std::int32_t code = codes[offset];
      if (Magnitude(code) < 2) continue;
      EqualityClass& equality = classes[Magnitude(code)];
      equality.counts += counts[offset];
      equality.denominators += denominator[q];
      if (code >= 2) NoteHead(equality, offset, q);
    }
  }
  const EqualityClass* firstEmpty = nullptr;
  for (auto& [code, equality] : classes) {
    if (!equality.hasHead) continue;  // members without a head keep their values
    if (equality.denominators == 0.0) {
      if (firstEmpty == nullptr || equality.headOffset < firstEmpty->headOffset) {
        firstEmpty = &equality;
      }
      equality.value = current[equality.headOffset];
      continue;
    }
    double fixedSum = 0.0;
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t offset = sets.At(equality.headSet, e);
      if (codes[offset] == 0) fixedSum += start[offset];
    }
    equality.value = equality.counts / equality.denominators * (1.0 - fixedSum);
  }
  if (firstEmpty != nullptr && onZero == OnZeroDenominator::kStop) {
    return {kZeroDenominatorConstrained, firstEmpty->headSet};
  }
  if (!classes.empty()) {
    for (std::size_t offset = 0; offset < entries; ++offset) {
      if (Magnitude(codes[offset]) < 2) continue;
      const EqualityClass& equality = classes.find(Magnitude(codes[offset]))->second;
      if (equality.hasHead) next[offset] = equality.value;
    }
  }

  // Free entries share what the fixed and tied entries of their set leave, by their counts.
  for (std::size_t q = 0; q < sets.sets; ++q) {
    double freeCounts = 0.0, rest = 0.0;
    bool hasFree = false;
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t offset = sets.At(q, e);
      if (codes[offset] == 1) {
        hasFree = true;
        freeCounts += counts[offset];
      } else {
        rest += next[offset];
      }
    }
    if (!hasFree) continue;
    if (freeCounts == 0.0) {
      if (onZero == OnZeroDenominator::kStop) return {kZeroDenominatorFree, q};
      ShareByCurrentValues(sets, q, codes, current, 1.0 - rest, next);
      continue;
    }
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t offset = sets.At(q, e);
      if (codes[offset] == 1) next[offset] = counts[offset] / freeCounts * (1.0 - rest);
    }
  }

  *changeSum += ChangeOf(sets, codes, current, next);
  std::copy(next.begin(), next.end(), current);
  return {};
}

// The number right-aligned in 4 columns, or all its digits when it is wider.
std::string Number4(std::size_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  const std::size_t length = static_cast<std::size_t>(end - digits);
  std::string field(length < 4 ? 4 - length : 0, ' ');
  return field.append(digits, length);
}

std::int32_t ReportZeroTauDenominator(const input::ModelDimensions& dims,
                                      const ZeroDenominator& zero, input::TextOutput& report) {
  const input::MultiIndex<3> shape = input::TauShape(dims);
  const std::size_t rows = shape.Extent(0);
  const std::size_t row = zero.set % rows + 1, latentClass = zero.set / rows + 1;
  const bool free = zero.kind == kZeroDenominatorFree;

  std::string text = "PROGRAM TERMINATED - DIVISION BY ZERO ATTEMPTED IN TAU MATRIX\n";
  text += free ? "THIS OCCURED IN A FREE PARAMETER\n" : "THIS OCCURED IN A CONSTRAINED PARAMETER\n";
  text += "IN ROW " + Number4(row) + "\n";
  if (shape.Extent(2) > 1)
    text += "OF THE TAU MATRIX FOR LATENT CLASS" + Number4(latentClass) + "\n";
  if (free) {
    text +=
        "THIS MEANS THAT THE DENOMINATOR FOR THIS ROW\n"
        "  (WHICH FOR FIRST-ORDER MODELS IS THE CORRESPONDING DELTA\n"
        "   AND FOR SECOND-ORDER MODELS IS THE JOINT PROBABILITY OF \n"
        "   LATENT STATUS MEMBERSHIP AT TIME T AND TIME T+1)\n"
        "HAS BEEN ESTIMATED AT ZERO.  THUS THERE IS NO ONE TO TRANSITION\n";
  } else {
    text +=
        "THIS MEANS THAT THE DENOMINATOR FOR THIS EQUIVALENCE CLASS\n"
        "HAS BEEN ESTIMATED AT ZERO, SO THERE IS NO ONE TO TRANSITION\n";
  }
  text +=
      "INTO THIS ROW OF THE TAU MATRIX.\n"
      "A SUGGESTED WAY OF DEALING WITH THIS IS TO CHANGE THE CONSTRAINTS\n"
      "SO THAT THE ENTIRE ROW OF THE TAU MATRIX IS FIXED TO ZERO\n"
      "EXCEPT FOR THE DIAGONAL ELEMENT, WHICH SHOULD BE FIXED TO ONE.";
  return report.WriteLine(text);
}

}  // namespace

void UpdateGamma(const input::ModelDimensions& dims, const input::RestrictionSet& codes,
                 const input::ParameterSet& start, const ExpectedCounts& counts,
                 input::ParameterSet* values, double* changeSum) {
  const ParameterSets sets = GammaSets(dims);
  const std::size_t classCount = sets.size;
  const std::int32_t* code = codes.gamma.data();
  double* current = values->gamma.data();
  std::vector<double> next(current, current + classCount);

  double fixedSum = 0.0, estimatedSum = 0.0;
  for (std::size_t c = 0; c < classCount; ++c) {
    if (code[c] == 0) {
      next[c] = start.gamma[c];
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

  EqualityClasses classes;
  for (std::size_t c = 0; c < classCount; ++c) {
    if (Magnitude(code[c]) < 2) continue;
    EqualityClass& equality = classes[Magnitude(code[c])];
    equality.valueSum += next[c];
    ++equality.members;
    if (code[c] >= 2) NoteHead(equality, c, 0);
  }
  for (std::size_t c = 0; c < classCount; ++c) {
    if (Magnitude(code[c]) < 2) continue;
    const EqualityClass& equality = classes[Magnitude(code[c])];
    if (equality.hasHead) next[c] = equality.valueSum / static_cast<double>(equality.members);
  }

  *changeSum += ChangeOf(sets, code, current, next);
  std::copy(next.begin(), next.end(), current);
}

void UpdateDelta(const input::ModelDimensions& dims, const input::RestrictionSet& codes,
                 const input::ParameterSet& start, const ExpectedCounts& counts,
                 input::ParameterSet* values, double* changeSum) {
  UpdateSets(DeltaSets(dims), codes.delta.size(), codes.delta.data(), start.delta.data(),
             counts.statusMargins.data(), values->delta.data(), changeSum,
             OnZeroDenominator::kCarryOn);
}

std::int32_t UpdateTau(const input::ModelDimensions& dims, const input::RestrictionSet& codes,
                       const input::ParameterSet& start, const ExpectedCounts& counts,
                       input::ParameterSet* values, double* changeSum, input::TextOutput& report,
                       std::string_view zeroDenominatorMessage) {
  const ZeroDenominator zero = UpdateSets(TauSets(dims), codes.tau.size(), codes.tau.data(),
                                          start.tau.data(), counts.transitionCounts.data(),
                                          values->tau.data(), changeSum, OnZeroDenominator::kStop);
  if (zero.kind == 0) return kStatusOk;
  if (const std::int32_t status = ReportZeroTauDenominator(dims, zero, report);
      status != kStatusOk) {
    run::SetEngineError(status, "Unable to write to output file.");
    return status;
  }
  run::SetEngineError(zero.kind, zeroDenominatorMessage);
  return zero.kind;
}

void UpdateLittleRho(const input::ModelDimensions& dims, const input::RestrictionSet& codes,
                     const input::ParameterSet& start, const ExpectedCounts& counts,
                     input::ParameterSet* values, double* changeSum) {
  UpdateSets(LittleRhoSets(dims), codes.littleRho.size(), codes.littleRho.data(),
             start.littleRho.data(), counts.littleRhoCounts.data(), values->littleRho.data(),
             changeSum, OnZeroDenominator::kCarryOn);
}

void UpdateBigRho(const input::ModelDimensions& dims, const input::RestrictionSet& codes,
                  const input::ParameterSet& start, const ExpectedCounts& counts,
                  input::ParameterSet* values, double* changeSum) {
  UpdateSets(BigRhoSets(dims), codes.bigRho.size(), codes.bigRho.data(), start.bigRho.data(),
             counts.bigRhoCounts.data(), values->bigRho.data(), changeSum,
             OnZeroDenominator::kCarryOn);
}

}  // namespace kov::em
