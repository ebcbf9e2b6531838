// Draws built on the uniform stream: a category from a table of weights, and a probability
// vector from its posterior under fixed entries and equality groups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "input/restriction_structure.h"

namespace kov::da {

// The cell that u falls into: the first i with u < (w_1 + ... + w_i) / total, the running sum
// built by adding w_i * (1 / total). Returns weights.size() when u is not below the final sum
// (a u of 1.0, or a sum that rounding leaves short of 1); cells of weight 0 are never chosen.
std::size_t ChooseCell(double u, std::span<const double> weights, double total);

// The categorical draw: one uniform, then ChooseCell.
std::size_t DrawCategory(std::span<const double> weights, double total);

// One probability vector drawn from its posterior, in place, with fixed entries and equality
// groups: the single set of `vector` (gamma's), whose marked codes say 0 fixed, 1 free, k the
// head of equality group k and -k its other members. alpha: the posterior parameters
// (completed-data counts plus prior). The fixed entries keep their values and leave 1 - F to
// share, F their sum; every cell with a positive code opens a group (a code-1 cell alone, a head
// its whole group), and the groups draw, in cell order, one gamma variate each with the sum of
// their members' alpha as shape. Each group's share of the draws is split equally among its
// members, times 1 - F. A vector without free or tied cells draws nothing. The spans have one
// entry per cell. Returns the series value, the sum of weights[i] * values[i] over all cells.
double DrawGroupedDirichlet(const input::ArrayRestrictions& vector, std::span<const double> alpha,
                            std::span<const double> weights, std::span<double> values);

}  // namespace kov::da
