// The parameter tables of the report: start values, final estimates, and the five tables that
// the data-augmentation results print once per result set.
#pragma once

#include <cstdint>

#include "base/text_output.h"
#include "input/model.h"

namespace kov::report {

// Little rho, big rho, gamma, delta and tau, each only when its latent variable exists. Returns
// kStatusOk or the status of the first failed write, after which nothing more is written.
std::int32_t WriteParameterTables(input::TextOutput& out, const input::Model& model,
                                  const input::ParameterSet& values);

// The START VALUES block, with the note on estimates of a previous run when the start values
// came from a parameter estimates file, then the five tables.
std::int32_t WriteStartValues(input::TextOutput& out, const input::Model& model,
                              const input::ParameterSet& values);

// The standard errors of a set of estimates, laid out as the estimates: errors holds a value
// where one was computed and NaN where none is (a fixed entry, one not estimated, one on the
// boundary); onBoundary holds 1 for the entries left without an error because their estimate
// is within 1e-6 of 0 or 1, and 0 elsewhere.
struct StandardErrorTables {
  input::ParameterSet errors;
  input::ParameterSet onBoundary;
};

// The final estimates of an EM run: interpretation warnings before the rho tables, which name
// the labels the user may wish to change, then gamma, delta and tau. With errors given, each
// table is followed by the table of its standard errors in the same layout, "-" where there is
// none and a note under the table when an estimate on the boundary has none.
std::int32_t WriteFinalEstimates(input::TextOutput& out, const input::Model& model,
                                 const input::ParameterSet& values,
                                 const StandardErrorTables* errors = nullptr);

}  // namespace kov::report
