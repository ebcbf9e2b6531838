// Random start values for EM: each free probability vector drawn uniformly over the values
// its restrictions allow, so that the starts cover the parameter space without preferring
// any region of it.
#pragma once

#include <cstdint>

#include "input/model.h"
#include "input/restriction_structure.h"

namespace kov::em {

// The seed of start `start` (2, 3, ...): the run's seed and the start's number mixed by the
// finalizer of SplitMix64, so that a start's values follow from its number alone, whatever
// the other starts and whoever draws them. Below 2^63.
std::uint64_t StartSeed(std::int32_t runSeed, std::int32_t start);

// Start values drawn from a generator (std::mt19937_64) seeded with seed, over the values of
// the file (which must be complete, big rho at every occasion). Fixed entries keep the file's
// values; the free entries of each set are a Dirichlet(1) draw scaled to what the fixed
// entries leave; an equality group takes the mean of its members' draws once, and the free
// entries of its sets share what the group leaves. An array whose groups leave a set summing
// to other than one (ties across sets of different make-up) keeps the file's values. The
// derived prevalences of later occasions are filled in.
void DrawStartValues(const input::RestrictionStructure& restrictions, std::uint64_t seed,
                     const input::ParameterSet& fileValues, input::ParameterSet* values);

}  // namespace kov::em
