#include "standard_errors.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

namespace kov::em {

namespace {

using Array = ReducedParameters::Array;
using Unit = ReducedParameters::Unit;

constexpr double kLargestStep = 1e-4;
// A step is at most this share of the distance of any moving unit from 0 and 1, so that the
// score's expansion in the step converges fast (its terms go with (step / p)^k).
constexpr double kStepShareOfMargin = 0.05;
// Basis rows and singular values below this (relative) are taken as 0.
constexpr double kRankTolerance = 1e-10;

std::vector<double>& ArrayOf(input::ParameterSet& values, Array array) {
  switch (array) {
    case Array::kGamma: return values.gamma;
    case Array::kDelta: return values.delta;
    case Array::kTau: return values.tau;
    case Array::kLittleRho: return values.littleRho;
    case Array::kBigRho: return values.bigRho;
  }
  return values.gamma;
}

const std::vector<double>& ArrayOf(const input::ParameterSet& values, Array array) {
  return ArrayOf(const_cast<input::ParameterSet&>(values), array);
}

const std::vector<double>& CountsOf(const ExpectedCounts& counts, Array array) {
  switch (array) {
    case Array::kGamma: return counts.classCounts;
    case Array::kDelta: return counts.statusMargins;
    case Array::kTau: return counts.transitionCounts;
    case Array::kLittleRho: return counts.littleRhoCounts;
    case Array::kBigRho: return counts.bigRhoCounts;
  }
  return counts.classCounts;
}

// One sum-to-one equation: per unit index, how many of its members the set holds.
using Constraint = std::map<std::size_t, double>;

// The units of one array and the equations of its sets, appended to the lists.
void CollectUnits(Array array, const input::ArrayRestrictions& a, const std::vector<double>& values,
                  std::vector<Unit>* units, std::vector<Constraint>* constraints) {
  std::map<std::int32_t, std::size_t> groupUnit;
  for (std::size_t q = 0; q < a.sets.sets; ++q) {
    Constraint constraint;
    for (std::size_t e = 0; e < a.sets.size; ++e) {
      const std::size_t offset = a.sets.At(q, e);
      if (offset >= values.size()) continue;
      const std::int32_t code = a.codes[offset];
      const std::int32_t g = a.groupOf[offset];
      std::size_t unit = 0;
      if (code == 1) {
        unit = units->size();
        units->push_back({array, {offset}, values[offset]});
      } else if (g != input::kNoGroup && a.groups[static_cast<std::size_t>(g)].hasHead) {
        auto [at, added] = groupUnit.emplace(g, units->size());
        if (added) units->push_back({array, {}, values[a.groups[static_cast<std::size_t>(g)].head]});
        unit = at->second;
        (*units)[unit].offsets.push_back(offset);
      } else {
        continue;  // a constant
      }
      constraint[unit] += 1.0;
    }
    if (!constraint.empty()) constraints->push_back(std::move(constraint));
  }
}

// An orthonormal basis of the null space of the equations over the units that take part
// (place[u] >= 0, their column; the others are held at their values): `columns` rows.
Eigen::MatrixXd NullSpace(const std::vector<Constraint>& constraints,
                          const std::vector<std::int32_t>& place, std::size_t columns) {
  std::vector<const Constraint*> rows;
  for (const Constraint& constraint : constraints) {
    for (const auto& [unit, count] : constraint) {
      if (place[unit] >= 0) {
        rows.push_back(&constraint);
        break;
      }
    }
  }
  const auto n = static_cast<Eigen::Index>(columns);
  if (rows.empty() || n == 0) return Eigen::MatrixXd::Identity(n, n);
  Eigen::MatrixXd a = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(rows.size()), n);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (const auto& [unit, count] : *rows[r]) {
      if (place[unit] >= 0) a(static_cast<Eigen::Index>(r), place[unit]) = count;
    }
  }
  Eigen::JacobiSVD<Eigen::MatrixXd> svd(a, Eigen::ComputeFullV);
  const Eigen::VectorXd& singular = svd.singularValues();
  const double largest = singular.size() > 0 ? singular.maxCoeff() : 0.0;
  Eigen::Index rank = 0;
  for (Eigen::Index i = 0; i < singular.size(); ++i) {
    if (singular(i) > kRankTolerance * std::max(largest, 1.0)) ++rank;
  }
  return svd.matrixV().rightCols(n - rank);
}

// Marks as free the units whose rows of the basis are not 0 and numbers them; returns the basis
// over the free units alone.
Eigen::MatrixXd FreeUnitsBasis(const std::vector<Constraint>& constraints, std::vector<Unit>* units,
                               const std::vector<char>& candidate) {
  std::vector<std::int32_t> place(units->size(), -1);
  std::int32_t count = 0;
  for (std::size_t u = 0; u < units->size(); ++u) {
    if (candidate[u]) place[u] = count++;
  }
  const Eigen::MatrixXd basis = NullSpace(constraints, place, static_cast<std::size_t>(count));
  std::vector<Eigen::Index> kept;
  for (std::size_t u = 0; u < units->size(); ++u) {
    Unit& unit = (*units)[u];
    unit.free = place[u] >= 0 && basis.row(place[u]).norm() > kRankTolerance;
    unit.column = -1;
    if (unit.free) {
      unit.column = static_cast<std::int32_t>(kept.size());
      kept.push_back(place[u]);
    }
  }
  Eigen::MatrixXd result(static_cast<Eigen::Index>(kept.size()), basis.cols());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    result.row(static_cast<Eigen::Index>(i)) = basis.row(kept[i]);
  }
  return result;
}

bool OnBoundary(double value) {
  return value < kBoundaryTolerance || value > 1.0 - kBoundaryTolerance;
}

// The central difference of the score along theta direction j with step h.
Eigen::VectorXd ScoreDifference(EStep& estep, const GroupedPatterns& grouped,
                                const ReducedParameters& reduced, Eigen::Index j, double h,
                                input::ParameterSet* values, ExpectedCounts* counts) {
  Eigen::VectorXd theta = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(reduced.Size()));
  theta(j) = h;
  reduced.ValuesAt(theta, values);
  estep.Run(*values, grouped, counts, nullptr);
  const Eigen::VectorXd up = reduced.Score(*counts, *values);
  theta(j) = -h;
  reduced.ValuesAt(theta, values);
  estep.Run(*values, grouped, counts, nullptr);
  return (up - reduced.Score(*counts, *values)) / (2.0 * h);
}

// The largest step that keeps every moving unit well inside (0, 1): the basis is orthonormal,
// so no unit moves by more than the step.
double StepFor(const std::vector<Unit>& units) {
  double margin = 1.0;
  for (const Unit& unit : units) {
    if (unit.free) margin = std::min({margin, unit.value, 1.0 - unit.value});
  }
  return std::min(kLargestStep, kStepShareOfMargin * margin);
}

// Minus the Jacobian of the score, each column a Richardson extrapolation of two central
// differences (steps h and h / 2), made symmetric.
Eigen::MatrixXd ObservedInformation(EStep& estep, const GroupedPatterns& grouped,
                                    const ReducedParameters& reduced) {
  const auto k = static_cast<Eigen::Index>(reduced.Size());
  Eigen::MatrixXd information(k, k);
  const double h = StepFor(reduced.Units());
  input::ParameterSet values;
  ExpectedCounts counts;
  for (Eigen::Index j = 0; j < k; ++j) {
    const Eigen::VectorXd wide = ScoreDifference(estep, grouped, reduced, j, h, &values, &counts);
    const Eigen::VectorXd narrow =
        ScoreDifference(estep, grouped, reduced, j, h / 2.0, &values, &counts);
    information.col(j) = -(4.0 * narrow - wide) / 3.0;
  }
  return (information + information.transpose()) / 2.0;
}

// The standard errors of the prevalences of occasions 2 and later, which are functions of
// gamma, delta and tau: the delta method with their numerical Jacobian in theta.
void DerivedPrevalenceErrors(const input::ModelDimensions& dims, const ReducedParameters& reduced,
                             const Eigen::MatrixXd& covariance, const input::ParameterSet& estimates,
                             report::StandardErrorTables* tables) {
  if (!dims.HasStatuses() || dims.OccasionExtent() < 2) return;
  const auto shape = input::DeltaShape(dims);
  const std::size_t first = shape(0, 0, 1);
  const std::size_t entries = estimates.delta.size() - first;
  const auto k = static_cast<Eigen::Index>(reduced.Size());
  Eigen::MatrixXd jacobian = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(entries), k);
  const double h = StepFor(reduced.Units());
  input::ParameterSet up, down;
  for (Eigen::Index j = 0; j < k; ++j) {
    Eigen::VectorXd theta = Eigen::VectorXd::Zero(k);
    theta(j) = h;
    reduced.ValuesAt(theta, &up);
    theta(j) = -h;
    reduced.ValuesAt(theta, &down);
    for (std::size_t e = 0; e < entries; ++e) {
      jacobian(static_cast<Eigen::Index>(e), j) =
          (up.delta[first + e] - down.delta[first + e]) / (2.0 * h);
    }
  }
  for (std::size_t e = 0; e < entries; ++e) {
    const Eigen::RowVectorXd row = jacobian.row(static_cast<Eigen::Index>(e));
    if (row.norm() == 0.0) continue;
    if (OnBoundary(estimates.delta[first + e])) {
      tables->onBoundary.delta[first + e] = 1.0;
      continue;
    }
    tables->errors.delta[first + e] = std::sqrt(std::max(0.0, (row * covariance * row.transpose())(0)));
  }
}

input::ParameterSet Filled(const input::ParameterSet& shape, double value) {
  input::ParameterSet result = shape;
  for (std::vector<double>* array : {&result.gamma, &result.delta, &result.tau, &result.littleRho,
                                     &result.bigRho}) {
    std::fill(array->begin(), array->end(), value);
  }
  return result;
}

}  // namespace

ReducedParameters::ReducedParameters(const input::ModelDimensions& dims,
                                     const input::RestrictionStructure& restrictions,
                                     const input::ParameterSet& estimates)
    : m_dims(dims), m_estimates(estimates) {
  std::vector<Constraint> constraints;
  if (dims.HasClasses()) {
    CollectUnits(Array::kGamma, restrictions.gamma, estimates.gamma, &m_units, &constraints);
    CollectUnits(Array::kLittleRho, restrictions.littleRho, estimates.littleRho, &m_units,
                 &constraints);
  }
  if (dims.HasStatuses()) {
    CollectUnits(Array::kDelta, restrictions.delta, estimates.delta, &m_units, &constraints);
    CollectUnits(Array::kTau, restrictions.tau, estimates.tau, &m_units, &constraints);
    CollectUnits(Array::kBigRho, restrictions.bigRho, estimates.bigRho, &m_units, &constraints);
  }
  // First the units that the sums fix outright drop out, whatever their values (the single
  // free entry of a set is 1 minus its fixed entries, not an estimate on the boundary); then
  // those on the boundary are held, and the basis is taken again over the rest.
  if (m_units.size() > kMaxInformationUnits) {
    m_tooLarge = true;
    for (Unit& unit : m_units) unit.free = false;
    m_basis.resize(0, 0);
    return;
  }
  std::vector<char> candidate(m_units.size(), 1);
  FreeUnitsBasis(constraints, &m_units, candidate);
  for (std::size_t u = 0; u < m_units.size(); ++u) {
    Unit& unit = m_units[u];
    unit.onBoundary = unit.free && OnBoundary(unit.value);
    candidate[u] = unit.free && !unit.onBoundary;
  }
  m_basis = FreeUnitsBasis(constraints, &m_units, candidate);
}

void ReducedParameters::ValuesAt(const Eigen::VectorXd& theta, input::ParameterSet* values) const {
  *values = m_estimates;
  const Eigen::VectorXd shift = m_basis * theta;
  for (const Unit& unit : m_units) {
    if (!unit.free) continue;
    std::vector<double>& array = ArrayOf(*values, unit.array);
    for (const std::size_t offset : unit.offsets) array[offset] = unit.value + shift(unit.column);
  }
  DeriveOccasionPrevalences(m_dims, values);
}

Eigen::VectorXd ReducedParameters::Score(const ExpectedCounts& counts,
                                         const input::ParameterSet& values) const {
  Eigen::VectorXd unitScore = Eigen::VectorXd::Zero(m_basis.rows());
  for (const Unit& unit : m_units) {
    if (!unit.free) continue;
    const std::vector<double>& count = CountsOf(counts, unit.array);
    const std::vector<double>& value = ArrayOf(values, unit.array);
    double score = 0.0;
    for (const std::size_t offset : unit.offsets) {
      if (value[offset] > 0.0) score += count[offset] / value[offset];
    }
    unitScore(unit.column) = score;
  }
  return m_basis.transpose() * unitScore;
}

StandardErrorResult ComputeStandardErrors(EStep& estep, const GroupedPatterns& grouped,
                                          const input::ModelDimensions& dims,
                                          const input::RestrictionStructure& restrictions,
                                          const input::ParameterSet& estimates) {
  StandardErrorResult result;
  const ReducedParameters reduced(dims, restrictions, estimates);
  if (reduced.TooLarge()) {
    result.computed = false;
    return result;
  }
  result.parameters = reduced.Size();
  result.tables.errors = Filled(estimates, std::numeric_limits<double>::quiet_NaN());
  result.tables.onBoundary = Filled(estimates, 0.0);
  for (const Unit& unit : reduced.Units()) {
    if (!unit.onBoundary) continue;
    for (const std::size_t offset : unit.offsets) {
      ArrayOf(result.tables.onBoundary, unit.array)[offset] = 1.0;
    }
  }
  if (result.parameters == 0) return result;

  result.information = ObservedInformation(estep, grouped, reduced);
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(result.information);
  const Eigen::VectorXd& eigenvalues = solver.eigenvalues();  // ascending
  const double largest = eigenvalues.cwiseAbs().maxCoeff();
  for (Eigen::Index i = 0; i < eigenvalues.size(); ++i) {
    if (!(eigenvalues(i) > kIdentificationTolerance * largest)) ++result.nonIdentifiedDirections;
  }
  result.identified = result.nonIdentifiedDirections == 0;
  if (!result.identified) return result;

  const Eigen::MatrixXd& vectors = solver.eigenvectors();
  const Eigen::MatrixXd covariance =
      vectors * eigenvalues.cwiseInverse().asDiagonal() * vectors.transpose();
  for (const Unit& unit : reduced.Units()) {
    if (!unit.free) continue;
    const Eigen::RowVectorXd row = reduced.Basis().row(unit.column);
    const double error = std::sqrt(std::max(0.0, (row * covariance * row.transpose())(0)));
    for (const std::size_t offset : unit.offsets) {
      ArrayOf(result.tables.errors, unit.array)[offset] = error;
    }
  }
  DerivedPrevalenceErrors(dims, reduced, covariance, estimates, &result.tables);
  return result;
}

}  // namespace kov::em
