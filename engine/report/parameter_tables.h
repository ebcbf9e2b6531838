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

// The final estimates of an EM run: interpretation warnings before the rho tables, which name
// the labels the user may wish to change, then gamma, delta and tau.
std::int32_t WriteFinalEstimates(input::TextOutput& out, const input::Model& model,
                                 const input::ParameterSet& values);

}  // namespace kov::report
