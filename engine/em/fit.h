// The likelihood-ratio fit statistics of an EM run and the report blocks that show them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/text_output.h"
#include "missingness.h"

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

// The MODEL FIT block: its value (the model's G-squared, minus the saturated model's with
// missing data) and degrees of freedom. Degrees of freedom are whole numbers passed as a double
// so that any cell count can reach the report; one that cannot be shown in its 20 columns is
// written as asterisks. kStatusOk or the status of the first failed write.
std::int32_t WriteModelFitBlock(input::TextOutput& out, double value, double degreesOfFreedom);

// The MCAR block (missing data only): the saturated model's G-squared and the MCAR degrees of
// freedom.
std::int32_t WriteMcarBlock(input::TextOutput& out, double saturatedGSquared,
                            double degreesOfFreedom);

// The CROSSVALIDATION block of a run that only evaluates its start values: its fit value (the
// start values' G-squared, minus the saturated model's with missing data) and, with missing
// data, the saturated model's G-squared for the MCAR line.
std::int32_t WriteCrossValidationBlock(input::TextOutput& out, double value,
                                       std::optional<double> saturatedGSquared);

}  // namespace kov::em
