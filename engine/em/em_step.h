// One EM iteration of a chain: the E-step, the M-steps in their order and the new MAD, and the
// stop rule that ends the chain. The run's own chain, its random starts and the quiet fits of a
// class or status enumeration all step through here.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "base/status.h"
#include "estep.h"
#include "input/model.h"
#include "input/restriction_structure.h"
#include "missingness.h"
#include "report/tau_failure.h"

namespace kov::em {

// What an EM chain carries from one iteration to the next.
struct ChainState {
  input::ParameterSet values;
  double mad = 0.0;
  // The stop rule on the log-likelihood: the last iteration's value, and whether its relative
  // change from the one before was below the criterion.
  double previousLogLikelihood = std::numeric_limits<double>::quiet_NaN();
  bool likelihoodSettled = false;
};

class EmStep {
 public:
  // estimated: the count of estimated parameters, which the MAD averages over.
  EmStep(const input::Model& model, const GroupedPatterns& grouped, std::int32_t estimated)
      : m_model(model), m_grouped(grouped), m_estimated(estimated) {}

  // Steps the chain once with its own E-step, arrays and restrictions (the M-steps use the
  // restrictions' scratch), so that chains can step side by side. A zero TAU denominator ends
  // the step with its status, and *where, when given, tells where it was.
  Status Step(ChainState* chain, const input::RestrictionStructure& r, EStep& estep,
              ExpectedCounts* counts, std::vector<double>* logProbabilities,
              report::ZeroTauDenominator* where = nullptr) const;

  // The MAD below the criterion and, under the log-likelihood rule, the log-likelihood settled.
  bool StopRuleMet(const ChainState& chain) const;

 private:
  const input::Model& m_model;
  const GroupedPatterns& m_grouped;
  std::int32_t m_estimated;
};

}  // namespace kov::em
