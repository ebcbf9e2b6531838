// The restrictions of a model compiled once per run: for every parameter array its probability
// vectors, its fixed entries and their sums, its equality groups with their heads, and the
// entries that stand for one estimated parameter each. The M-step, the restriction checks, the
// posterior draws of data augmentation and the parameter count all read this one structure, so
// that no iteration rebuilds any of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model.h"

namespace kov::input {

// The probability vectors ("sets") of one parameter array, each summing to one over its entries:
// gamma is one set over the classes; delta one per class over the statuses; tau one per (row,
// class) over the destination statuses; little rho one per (item, class) and big rho one per
// (item, status, class, occasion), both over the response categories. Sets are numbered in the
// order of their first entries in storage, and entry e of set q sits at At(q, e).
struct ParameterSets {
  std::size_t sets = 0;
  std::size_t size = 0;         // entries per set
  std::size_t stride = 1;       // storage distance between neighbouring entries of a set
  std::size_t innerSets = 1;    // sets whose first entries are adjacent in storage
  std::size_t outerStride = 0;  // storage distance between such runs of adjacent sets
  // Rho vectors: the category-1 entry is the one that the sum to one makes redundant. Gamma,
  // delta and tau: the first free entry of each set is.
  bool categoryOneRedundant = false;

  std::size_t At(std::size_t set, std::size_t entry) const {
    return set % innerSets + set / innerSets * outerStride + entry * stride;
  }
  std::size_t Entries() const { return sets * size; }
};

// Delta's sets address the occasion-1 entries; their offsets are the same in the (c, s) code
// array and in the (c, s, t) value and status-margin arrays.
ParameterSets GammaSets(const ModelDimensions& dims);
ParameterSets DeltaSets(const ModelDimensions& dims);
ParameterSets TauSets(const ModelDimensions& dims);
ParameterSets LittleRhoSets(const ModelDimensions& dims);
ParameterSets BigRhoSets(const ModelDimensions& dims);

// The entries of one array that carry the code k >= 2 in either sign and so share one value.
struct EqualityGroup {
  std::int64_t code = 0;  // k; widened so that the most negative 32-bit code has a magnitude
  // The head is the first member in storage whose code is positive; a group whose codes are all
  // negative has none, and its members keep their values.
  bool hasHead = false;
  std::size_t head = 0;
  std::size_t headSet = 0;
  std::vector<std::size_t> members;     // set by set, entry by entry
  std::vector<std::size_t> memberSets;  // the set of each member
  std::vector<std::size_t> sets;        // the sets holding a member, ascending
};

inline constexpr std::int32_t kNoGroup = -1;

struct ArrayRestrictions {
  ParameterSets sets;
  // Codes with every equality group marked: 0 fixed, 1 free, k the head of group k, -k every
  // other member. Entries the given codes did not reach count as fixed at 0.
  std::vector<std::int32_t> codes;
  std::vector<double> start;          // the start values, the fixed entries' values
  std::vector<double> fixedSum;       // per set: its fixed entries' start values, entry by entry
  std::vector<std::int32_t> groupOf;  // per entry: its group in groups, or kNoGroup
  std::vector<EqualityGroup> groups;  // in the order of their first members, set by set
  // Per entry: 1 when it stands for one estimated parameter: every positive code, except the
  // first free entry of each set (gamma, delta, tau) or the category-1 entry (rho), whose value
  // the sum to one determines. The change sums of an M-step run over the same entries, so that
  // MAD is a mean over exactly the counted parameters.
  std::vector<char> estimated;
  // The estimated entries, less one for every gamma, delta or tau head that is the last entry of
  // a set without a free entry before it: the sum to one then fixes its value in its own set.
  std::int32_t estimatedParameters = 0;
  // Scratch of the updates, sized here so that no iteration allocates: one set's new values,
  // then one value per group.
  mutable std::vector<double> work;

  std::int32_t Code(std::size_t set, std::size_t entry) const { return codes[sets.At(set, entry)]; }
  // The members of group g in set q.
  std::size_t MembersIn(std::size_t g, std::size_t q) const;
};

// One array compiled from its sets, its codes as given (marked or not) and its start values.
ArrayRestrictions CompileArray(const ParameterSets& sets, const std::vector<std::int32_t>& codes,
                               const std::vector<double>& start);

struct RestrictionStructure {
  RestrictionStructure() = default;
  // Codes may be given marked or not; start values as the run will keep them fixed.
  RestrictionStructure(const ModelDimensions& dims, const RestrictionSet& codes,
                       const ParameterSet& start);

  ModelDimensions dims;
  ArrayRestrictions gamma, delta, tau, littleRho, bigRho;
  // The codes as given, with the equality groups of every array the model estimates (gamma and
  // little rho with class items, delta, tau and big rho with status items) marked.
  RestrictionSet markedCodes;
  // The number of distinct estimated parameters, over the arrays the model estimates.
  std::int32_t estimatedParameters = 0;
};

}  // namespace kov::input
