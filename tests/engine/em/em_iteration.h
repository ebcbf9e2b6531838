// EM iterations outside the driver, composed from the E-step and the M-step updates in the order
// of one driver iteration (gamma, tau, delta with the occasion prevalences, big rho, little
// rho), so that tests can follow a run step by step and compare with what the driver reports.
#pragma once

#include <cstdint>
#include <memory>

#include "base/text_output.h"
#include "em/estep.h"
#include "em/fit.h"
#include "em/missingness.h"
#include "em/mstep.h"
#include "em/parameter_count.h"
#include "input/model.h"

namespace kov::em::testing {

class EmIterations {
 public:
  // Takes the model with unmarked codes and marks them; the values start at model.start
  // (big rho of every occasion already filled in).
  EmIterations(input::Model model, GroupedPatterns grouped)
      : m_model(std::move(model)), m_grouped(std::move(grouped)) {
    m_restrictions = input::RestrictionStructure(m_model.dims, m_model.codes, m_model.start);
    m_estimated = MarkAndCountEstimatedParameters(m_restrictions, &m_model.codes);
    m_values = m_model.start;
    DeriveOccasionPrevalences(m_model.dims, &m_values);
    m_estep = std::make_unique<EStep>(m_model);
  }

  // One iteration. Returns the log-likelihood of the values it started from, or stops with
  // *tauFailed set when the transition update met a zero denominator.
  double Step(bool* tauFailed = nullptr) {
    const input::ModelDimensions& d = m_model.dims;
    ChangeSums sums;
    const double logLikelihood =
        m_estep->Run(m_values, m_grouped, &m_counts, &m_probabilities, &m_logProbabilities);
    if (d.HasClasses()) UpdateGamma(m_restrictions, m_counts, &m_values, &sums.gamma);
    if (d.HasStatuses()) {
      const bool failed = !UpdateTau(m_restrictions, m_counts, &m_values, &sums.tau).IsOk();
      if (tauFailed != nullptr) *tauFailed = failed;
      if (failed) return logLikelihood;
      UpdateDelta(m_restrictions, m_counts, &m_values, &sums.delta);
      DeriveOccasionPrevalences(d, &m_values);
      UpdateBigRho(m_restrictions, m_counts, &m_values, &sums.bigRho);
    }
    if (d.HasClasses()) UpdateLittleRho(m_restrictions, m_counts, &m_values, &sums.littleRho);
    if (m_estimated != 0) m_mad = sums.Total() / m_estimated;
    return logLikelihood;
  }

  // The log-likelihood and the G-squared of the current values.
  double LogLikelihood() {
    return m_estep->Run(m_values, m_grouped, nullptr, &m_probabilities, &m_logProbabilities);
  }
  double GSquared() {
    LogLikelihood();
    return ModelGSquared(m_grouped, m_probabilities);
  }

  double Mad() const { return m_mad; }
  std::int32_t Estimated() const { return m_estimated; }
  const input::ParameterSet& Values() const { return m_values; }
  void SetValues(const input::ParameterSet& values) {
    m_values = values;
    DeriveOccasionPrevalences(m_model.dims, &m_values);
  }

 private:
  input::Model m_model;
  input::RestrictionStructure m_restrictions;
  GroupedPatterns m_grouped;
  input::ParameterSet m_values;
  ExpectedCounts m_counts;
  std::vector<double> m_probabilities, m_logProbabilities;
  std::unique_ptr<EStep> m_estep;
  std::int32_t m_estimated = 0;
  double m_mad = 0.0;
};

}  // namespace kov::em::testing
