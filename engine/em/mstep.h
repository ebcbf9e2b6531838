// The M-step under restrictions: new parameter values from the expected counts, with fixed
// entries at their start values and equality classes estimated as one common value.
//
// Every update reads the run's restriction structure (sets, fixed entries with their start
// values, equality groups with their heads) and takes arrays sized from its dimensions. An update
// reads the current values, writes the new ones in their place, and adds to its change sum
// |new - old| over the estimated entries of the structure, so that the change sums divided by
// the estimated-parameter count give MAD.
//
// Zero denominators: TAU stops the run (see UpdateTau). The other arrays carry on with values
// that keep every set summing to one instead of producing not-a-number, which the E-step would
// spread into every other class: a set whose free entries have no expected count shares what the
// fixed and tied entries leave in proportion to the free entries' current values (equally when
// those are all 0), and an equality class without any expected count keeps its head's current
// value. Both arise when a class or status loses all its members; the values then stay where
// they were, a fixed point of the iteration, rather than becoming undefined.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/status.h"
#include "estep.h"
#include "input/model.h"
#include "input/restriction_structure.h"
#include "report/tau_failure.h"

namespace kov::em {

// Sums of the absolute changes of the estimated parameters in one iteration, one per array.
struct ChangeSums {
  double gamma = 0, delta = 0, tau = 0, littleRho = 0, bigRho = 0;
  double Total() const { return gamma + delta + tau + littleRho + bigRho; }
};

// The run's error message after a zero transition denominator, as an EM run words it.
inline constexpr std::string_view kEmZeroDenominatorMessage =
    "There was an error in the EM routine.  Please see the output file for details.";

// GAMMA from the expected class counts E(c) / N: fixed classes keep their start values, the
// others are rescaled to share 1 - (fixed sum), and the members of each equality class then get
// the arithmetic mean of their values.
void UpdateGamma(const input::RestrictionStructure& restrictions, const ExpectedCounts& counts,
                 input::ParameterSet* values, double* changeSum);

// DELTA at occasion 1 from the status margins m(c, s, 1). The later occasions are left alone:
// they are derived from the joint prior once GAMMA, DELTA and TAU are new.
void UpdateDelta(const input::RestrictionStructure& restrictions, const ExpectedCounts& counts,
                 input::ParameterSet* values, double* changeSum);

// TAU from the expected transition counts. Returns success, or a failure after which the run
// ends, having changed no value; its message is zeroDenominatorMessage (each run names its own
// routine) and its code says where the zero was met:
// - kZeroTauDenominatorConstrained: an equality class (taken head by head in storage order) whose
//   members' rows have no expected count at all; *where names the head's row and class;
// - kZeroTauDenominatorFree: a row (class by class, row by row) with free entries but no expected
//   count in them.
// *where (when given) receives the place, for the report's explanation.
Status UpdateTau(const input::RestrictionStructure& restrictions, const ExpectedCounts& counts,
                 input::ParameterSet* values, double* changeSum,
                 report::ZeroTauDenominator* where = nullptr,
                 std::string_view zeroDenominatorMessage = kEmZeroDenominatorMessage);

// LITTLE RHO and BIG RHO (every occasion) from the expected response counts. Categories beyond
// an item's own count are ordinary entries: with code 0 and start value 0 they stay 0.
void UpdateLittleRho(const input::RestrictionStructure& restrictions, const ExpectedCounts& counts,
                     input::ParameterSet* values, double* changeSum);
void UpdateBigRho(const input::RestrictionStructure& restrictions, const ExpectedCounts& counts,
                  input::ParameterSet* values, double* changeSum);

}  // namespace kov::em
