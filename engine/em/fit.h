// The fit statistics of an EM run: G-squared, the MCAR degrees of freedom, Pearson's X-squared
// over the complete table, the chi-square tail and the information criteria.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "missingness.h"
#include "report/fit_report.h"
#include "saturated_model.h"

namespace kov::em {

// The most iterations the saturated model gets in a run that only evaluates its start values.
inline constexpr std::int32_t kCrossValidationSaturatedIterations = 1000;

// 2 n ln(n / E), the contribution of one pattern; 0 when n or E is 0 (a pattern nobody gave,
// or one the model cannot produce, adds nothing).
double LikelihoodRatioTerm(double observed, double expected);

// G-squared over the observed patterns: E_p = N_g P(p), with N_g the frequency of the pattern's
// missingness group and P(p) = probabilities[p] the probability of its observed part (sorted
// pattern order, one entry per pattern). With logProbabilities (ln P(p), as the E-step gives
// them), a pattern whose probability is below the smallest normal double takes its term from
// the logarithm, 2 n (ln n - ln N_g - ln P(p)), instead of counting as a pattern the model
// cannot produce.
double ModelGSquared(const GroupedPatterns& grouped, const std::vector<double>& probabilities,
                     const std::vector<double>* logProbabilities = nullptr);

// The number of cells of the complete contingency table, the product of the category counts.
// A double: a few hundred items go beyond every integer type, and far beyond that it is
// infinity rather than a wrapped-around number.
double CompleteCellCount(const std::vector<std::int32_t>& categories);

// Degrees of freedom of the G-squared test for MCAR: the sum, over the groups with at least one
// observed item, of the product of the category counts of their observed items, minus the
// number of groups, minus the number of cells, plus 1. Carried in a double for the reason
// above; it is exact while the complete table has fewer than 2^53 cells (53 binary items), the
// nearest double beyond that, and not finite when the table overflows a double.
double McarDegreesOfFreedom(const GroupedPatterns& grouped);

// The log-likelihood sum n ln P(p) over the patterns with n > 0, from the logarithms of their
// probabilities (as the E-step gives them); minus infinity when such a pattern has probability 0.
double PatternLogLikelihood(const GroupedPatterns& grouped,
                            const std::vector<double>& logProbabilities);

// Q(a, x) = Gamma(a, x) / Gamma(a), the regularized upper incomplete gamma function, for a > 0
// and x >= 0: by its power series (through P = 1 - Q) below x = a + 1, where that converges
// fast, and by its continued fraction above, where the series would lose the small tail.
// Not a number for a <= 0 or an argument that is not a number.
double RegularizedUpperGamma(double a, double x);

// The upper tail P(X >= statistic) of a chi-square distribution, Q(df / 2, statistic / 2). Not
// a number for degrees of freedom below 1 or not finite. Beyond 1e10 degrees of freedom the
// series would need millions of terms; the Wilson-Hilferty cube-root normal approximation,
// whose error shrinks with 1 / df, takes over there.
double ChiSquareUpperTail(double statistic, double degreesOfFreedom);

// Pearson's X-squared over every cell of the complete table, the empty cells included: the sum
// of (O - E)^2 / E with E = N P(cell) from cellProbability (complete responses, 1 to the
// category count). O is the observed count of the cell, or with missing data the saturated
// model's expected frequency, the data's best estimate of the complete table under MAR. A cell
// with E = 0 adds nothing when O = 0 too and makes the sum infinite otherwise. Writes *value
// only when computed; otherwise says why: more cells than maxCells, or missing data without an
// estimated saturated model.
report::PearsonSkip FullTablePearson(const GroupedPatterns& grouped, bool missingData,
                                     const SaturatedModel* saturated,
                                     const std::function<double(const std::int32_t*)>& cellProbability,
                                     double total, double maxCells, double* value);

// The fit indices of an estimated model from its log-likelihood, its estimated-parameter count
// npar, N subjects and the two test statistics with their degrees of freedom:
// AIC = -2 logL + 2 npar, BIC = -2 logL + npar ln N, the sample-size adjusted BIC with
// n* = (N + 2) / 24 in place of N, CAIC = -2 logL + npar (ln N + 1). pearson is used only when
// pearsonSkip says it was computed.
report::FitIndices ComputeFitIndices(double logLikelihood, std::int32_t parameters,
                                     double subjects, double gSquared, double degreesOfFreedom,
                                     report::PearsonSkip pearsonSkip, double pearson,
                                     double cellLimit);

}  // namespace kov::em
