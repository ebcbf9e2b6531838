// The rows of the cell-frequency and residual tables of an EM report: the observed and
// expected frequencies under the model and the saturated model, the residuals and fit
// indicators, and which cells a table lists. report/cell_tables.h lays them out.
//
// When several data records hold the same complete pattern, the observed count of its cell is
// the sum of their frequencies.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "base/text_output.h"
#include "missingness.h"
#include "saturated_model.h"

namespace kov::em {

// The most cells a table that goes through every cell of the complete table will list or scan.
inline constexpr double kMaxTableCells = 1.0e7;

// Writes the table the print-residuals setting selects:
//   1 without missing data: residuals of the observed patterns;
//   1 with missing data: cell frequencies and fit indicators adjusted for missingness, every cell;
//   2: residuals of the observed patterns under the model and the saturated model;
//   3: expected cell frequencies and fit indicators, the cells with an observed (or, with missing
//      data, saturated) frequency or a scaled fit of at least 1 in absolute value.
// A setting of 0 or less, or above 3, writes nothing. The line of asterisks that closes a table
// in the report is the caller's.
//
// probabilities: the model probability of each observed pattern's observed part (sorted
// order); cellProbability: the model probability of a complete cell given its responses;
// saturated: the estimated saturated model, or null (its expected frequencies then read -1.0);
// total: N, the number of subjects.
//
// A table over every cell writes one line in place of its rows when the complete table has more
// than maxCells cells, or when it needs the saturated model and that was not estimated.
// Returns kStatusOk or the status of the first failed write.
std::int32_t WriteCellTable(input::TextOutput& out, int setting, bool missingData,
                            const GroupedPatterns& grouped,
                            const std::vector<double>& probabilities,
                            const SaturatedModel* saturated,
                            const std::function<double(const std::int32_t*)>& cellProbability,
                            double total, double maxCells = kMaxTableCells);

// The observed frequency of every complete cell that some complete pattern gives, by cell
// index (first item fastest), sorted; records of the same pattern are added up.
std::vector<std::pair<std::int64_t, double>> ObservedCells(const GroupedPatterns& grouped);

}  // namespace kov::em
