// The probability vectors of the parameter arrays, the marking of equality classes, and the
// number of distinct estimated parameters on which the degrees of freedom and MAD rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "input/model.h"

namespace kov::em {

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
  struct Position {
    std::size_t set = 0;
    std::size_t entry = 0;
  };
  Position Locate(std::size_t offset) const;
};

// Delta's sets address the occasion-1 entries; their offsets are the same in the (c, s) code
// array and in the (c, s, t) value and status-margin arrays.
ParameterSets GammaSets(const input::ModelDimensions& dims);
ParameterSets DeltaSets(const input::ModelDimensions& dims);
ParameterSets TauSets(const input::ModelDimensions& dims);
ParameterSets LittleRhoSets(const input::ModelDimensions& dims);
ParameterSets BigRhoSets(const input::ModelDimensions& dims);

// Calls visit(offset) for every entry that stands for one estimated parameter once the codes
// are marked: every positive code, except the first free entry of each set (gamma, delta, tau)
// or the category-1 entry (rho), whose value the sum to one determines. The same entries make
// up the change sums of an M-step, so MAD is a mean over exactly the counted parameters.
template <typename Visit>
void ForEachEstimatedEntry(const ParameterSets& sets, const std::int32_t* codes, Visit&& visit) {
  for (std::size_t q = 0; q < sets.sets; ++q) {
    bool redundantSeen = false;
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t offset = sets.At(q, e);
      const std::int32_t code = codes[offset];
      if (code <= 0) continue;
      if (sets.categoryOneRedundant ? e == 0 : (code == 1 && !redundantSeen)) {
        redundantSeen = true;
        continue;
      }
      visit(offset);
    }
  }
}

// Marks the equality classes of every array that the model estimates (gamma and little rho with
// class items, delta, tau and big rho with status items): the first entry of each class in
// storage order, its head, keeps its code k; every later entry with code k gets -k. Codes that
// are already negative stay as they are. Returns the number of distinct estimated parameters:
// the entries of ForEachEstimatedEntry, less one for every gamma, delta or tau head that is the
// last entry of its set when that set has no free entry, since the sum to one then fixes the
// head's value in its own set. The arrays must be sized from dims (AllocateRestrictions).
std::int32_t MarkAndCountEstimatedParameters(const input::ModelDimensions& dims,
                                             input::RestrictionSet* codes);

// The number of cells of the complete contingency table: the product of the category counts of
// every class item and, once per occasion, of every status item (a count below 0 counts as 0).
// A double, because the product outgrows every integer type (nine 9-category items at five
// occasions give 9^45); it is exact while it stays below 2^53 (about 9.0e15) and the nearest
// double beyond.
double CompleteTableCells(const input::ModelDimensions& dims,
                          const std::vector<std::int32_t>& classItemCategories,
                          const std::vector<std::int32_t>& statusItemCategories);

// Cells minus estimated parameters minus 1, in the same double (exact below 2^53).
double DegreesOfFreedom(double cells, std::int32_t estimatedParameters);

}  // namespace kov::em
