// The marking of equality groups, and the number of distinct estimated parameters and of cells
// on which the degrees of freedom and MAD rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "input/model.h"
#include "input/restriction_structure.h"

namespace kov::em {

// Marks the equality groups of every array that the model estimates (gamma and little rho with
// class items, delta, tau and big rho with status items) as the structure holds them: the first
// entry of each group in storage order, its head, keeps its code k; every later entry with code
// k gets -k, and codes that are already negative stay as they are. Returns the number of
// distinct estimated parameters (see ArrayRestrictions::estimatedParameters). The codes must be
// the ones the structure was built from.
std::int32_t MarkAndCountEstimatedParameters(const input::RestrictionStructure& restrictions,
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
