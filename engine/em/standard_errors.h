// Standard errors of the EM estimates from the observed information, and the check of local
// identification that the same matrix gives.
//
// The parametrisation. Every estimated quantity is one "unit" on the probability scale: a free
// entry (code 1) is a unit of its own, and an equality group with a head is one unit whose
// value all its members share, in whatever sets they lie. Fixed entries, groups without a head
// (their members keep their values) and entries never estimated are constants. Each set's sum to
// one is a linear equation in the units (a unit counts once per member in the set), so the
// admissible units form an affine subspace u = u0 + N theta, with u0 the estimates and N an
// orthonormal basis of the null space of the sum constraints: theta is the reduced parameter
// vector, of dimension (units) - (rank of the constraints). This handles groups spanning sets
// and sets without a free entry alike; the standard errors of the probabilities do not depend on
// the choice of basis. A unit that the constraints fix outright (the one free entry of a set
// whose other entries are fixed) is a constant too. A unit whose estimate lies on the boundary
// (below 1e-6 or above 1 - 1e-6) is held at its value: the information there says nothing about
// it, and it gets no standard error.
//
// The information. By Fisher's identity the score of the observed-data log-likelihood in a cell
// p_k of the probability arrays is the E-step's expected count of that cell over p_k; through
// the linear map above the score in theta is N' (sum over each unit's members of count / p).
// The observed information is minus the central-difference Jacobian of that analytic score in
// theta, made symmetric. Its inverse is the covariance of theta, carried to the units by N and
// to the derived prevalences of later occasions by a numerical Jacobian (the delta method).
//
// Identification: eigenvalues of the information below kIdentificationTolerance times the
// largest count as directions in which the likelihood is flat; with any, the model is not
// locally identified and no standard errors are given.
#pragma once

#include <cstdint>
#include <vector>

#include <Eigen/Dense>

#include "estep.h"
#include "input/model.h"
#include "input/restriction_structure.h"
#include "missingness.h"
#include "report/parameter_tables.h"

namespace kov::em {

inline constexpr double kBoundaryTolerance = 1e-6;
inline constexpr double kIdentificationTolerance = 1e-8;
// Above this many estimated units the dense matrices of the information and the 2 E-steps per
// parameter outgrow what a run should spend on them; such a model gets neither standard errors
// nor the identification check.
inline constexpr std::size_t kMaxInformationUnits = 400;

// The reduced parameters of a model at a set of estimates (see above).
class ReducedParameters {
 public:
  ReducedParameters(const input::ModelDimensions& dims,
                    const input::RestrictionStructure& restrictions,
                    const input::ParameterSet& estimates);

  // The dimension of theta.
  std::size_t Size() const { return static_cast<std::size_t>(m_basis.cols()); }
  // The estimates moved to theta (theta = 0 gives them back), with the prevalences of later
  // occasions derived from them.
  void ValuesAt(const Eigen::VectorXd& theta, input::ParameterSet* values) const;
  // The score of the log-likelihood in theta at values, from the expected counts there.
  Eigen::VectorXd Score(const ExpectedCounts& counts, const input::ParameterSet& values) const;

  // Per unit: which array, its entries, and whether it varies with theta.
  enum class Array { kGamma, kDelta, kTau, kLittleRho, kBigRho };
  struct Unit {
    Array array = Array::kGamma;
    std::vector<std::size_t> offsets;
    double value = 0.0;
    bool onBoundary = false;
    bool free = false;  // moves with theta; its row of the basis is nonzero
    std::int32_t column = -1;  // its row in the basis when free
  };
  const std::vector<Unit>& Units() const { return m_units; }
  const Eigen::MatrixXd& Basis() const { return m_basis; }  // free units x theta
  // More units than kMaxInformationUnits: no basis was made.
  bool TooLarge() const { return m_tooLarge; }

 private:
  input::ModelDimensions m_dims;
  input::ParameterSet m_estimates;
  std::vector<Unit> m_units;
  Eigen::MatrixXd m_basis;
  bool m_tooLarge = false;
};

struct StandardErrorResult {
  bool computed = true;        // false for a model over kMaxInformationUnits
  std::size_t parameters = 0;  // the dimension of theta
  bool identified = true;
  std::int32_t nonIdentifiedDirections = 0;
  Eigen::MatrixXd information;  // observed information in theta
  // Filled only when identified.
  report::StandardErrorTables tables;
};

// The observed information at the estimates, the identification check and, for an identified
// model, the standard errors of every entry of the arrays the model estimates. Runs 2 E-steps
// per reduced parameter; the estimates should be a maximum of the likelihood.
StandardErrorResult ComputeStandardErrors(EStep& estep, const GroupedPatterns& grouped,
                                          const input::ModelDimensions& dims,
                                          const input::RestrictionStructure& restrictions,
                                          const input::ParameterSet& estimates);

}  // namespace kov::em
