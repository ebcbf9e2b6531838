// The E-step by its definition: every cell of the latent table for every cell of the complete
// contingency table. Exponential in the occasions and the missing items; small models only.
#pragma once

#include <vector>

#include "em/estep.h"
#include "em/missingness.h"
#include "input/model.h"

namespace kov::em::testing {

struct BruteForceResult {
  ExpectedCounts counts;
  std::vector<double> probabilities;  // per sorted pattern, the observed part
  double logLikelihood = 0.0;
};

// pi(c, s_1 .. s_T) with c fastest, then s_1, s_2, ...; one occasion without status items.
std::vector<double> JointPrior(const input::ModelDimensions& dims,
                               const input::ParameterSet& values);

// Spreads the incomplete patterns over their completions, then accumulates the posterior of
// every latent cell over the complete cells.
BruteForceResult BruteForceEStep(const input::Model& model, const input::ParameterSet& values,
                                 const GroupedPatterns& grouped);

// Delta whose occasions 2..T hold the joint prior summed over the sequences with each status
// there, divided by GAMMA.
std::vector<double> BruteForcePrevalences(const input::ModelDimensions& dims,
                                          const input::ParameterSet& values);

}  // namespace kov::em::testing
