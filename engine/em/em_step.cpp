#include "em_step.h"

#include <cmath>

#include "mstep.h"

namespace kov::em {

// The M-steps in the order gamma, tau, delta (with the prior and the occasion prevalences
// refreshed), big rho, little rho.
Status EmStep::Step(ChainState* chain, const input::RestrictionStructure& r, EStep& estep,
                    ExpectedCounts* counts, std::vector<double>* logProbabilities,
                    report::ZeroTauDenominator* where) const {
  const input::ModelDimensions& d = m_model.dims;
  input::ParameterSet& values = chain->values;
  ChangeSums sums;
  // The iterations need the counts alone; the fit is computed from a last E-step after them.
  // The log-likelihood costs a logarithm a pattern; only its stop rule needs it.
  const double logLikelihood = estep.Run(values, m_grouped, counts, nullptr,
                                         m_model.logLikelihoodRule ? logProbabilities : nullptr);
  if (m_model.logLikelihoodRule) {
    const double change = std::fabs(logLikelihood - chain->previousLogLikelihood) /
                          std::fabs(chain->previousLogLikelihood);
    chain->likelihoodSettled = change < m_model.logLikelihoodCriterion;
    chain->previousLogLikelihood = logLikelihood;
  }
  if (d.HasClasses()) UpdateGamma(r, *counts, &values, &sums.gamma);
  if (d.HasStatuses()) {
    if (Status tau = UpdateTau(r, *counts, &values, &sums.tau, where); !tau.IsOk()) return tau;
    UpdateDelta(r, *counts, &values, &sums.delta);
    DeriveOccasionPrevalences(d, &values);
    UpdateBigRho(r, *counts, &values, &sums.bigRho);
  }
  if (d.HasClasses()) UpdateLittleRho(r, *counts, &values, &sums.littleRho);
  // Without estimated parameters the MAD keeps its value.
  if (m_estimated != 0) chain->mad = sums.Total() / m_estimated;
  return {};
}

bool EmStep::StopRuleMet(const ChainState& chain) const {
  return chain.mad < m_model.criterion && (!m_model.logLikelihoodRule || chain.likelihoodSettled);
}

}  // namespace kov::em
