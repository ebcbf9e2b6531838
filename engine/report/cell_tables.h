// The cell-frequency and residual tables of an EM report: titles, column heads and the
// fixed-width rows. The frequencies, residuals and fit indicators come from the estimation;
// these writers only lay them out.
//
// Choices of this report where the layout leaves room:
// - A response category above 9 shows as a letter in the one-character pattern columns, A for 10
//   to Z for 35; a larger one as "*".
// - PEARSON of an observed pattern that the model gives expected frequency 0 is "Inf" with the
//   flag "*" when the pattern was observed (an unbounded misfit must not look small), and 0.0000
//   when its frequency is 0 too.
// - A Scaled Fit of 99999.995 or more in absolute value (the 100000.0 of a cell with expected
//   frequency 0 among them) is written with one decimal, " 100000.0", which keeps its sign in
//   the 9 columns; wider values fill the field with asterisks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/text_output.h"

namespace kov::report {

// The four tables, with the values of each row in this order:
enum class CellTableLayout : std::int32_t {
  // The observed patterns: observed, expected, residual, Pearson residual.
  kPatternResiduals = 0,
  // The observed patterns: observed; under the model expected, residual, Pearson residual, lr
  // term; under the saturated model expected, residual, Pearson residual, lr term.
  kPatternResidualsWithSaturated = 1,
  // Every cell, adjusted for missingness: the saturated model's expected frequency, expected,
  // fit, scaled fit (4 decimals).
  kEveryCellAdjusted = 2,
  // The cells worth listing: observed (the saturated model's expected frequency with missing
  // data), expected, fit, scaled fit (2 decimals).
  kSelectedCells = 3,
};

// Why a table over every cell writes one line in place of its rows.
enum class CellTableOmission : std::int32_t {
  kNone = 0,
  kTooManyCells = 1,      // the complete table has more cells than maxCells
  kNoSaturatedModel = 2,  // missing data, and the saturated model was not estimated
};

// A table, or a batch of its rows. Row r has the pattern responses[r * items, (r + 1) * items)
// and the values values[r * CellTableColumns(layout), ...).
struct CellTable {
  CellTableLayout layout = CellTableLayout::kPatternResiduals;
  // The tables over cells name their title, subtitle and observed column after the saturated
  // model when the data have missing values.
  bool missingData = false;
  std::size_t items = 0;
  // The tables over every cell only (kEveryCellAdjusted, kSelectedCells).
  CellTableOmission omission = CellTableOmission::kNone;
  double maxCells = 0.0;  // the limit that kTooManyCells refers to
  std::vector<std::int32_t> responses;
  std::vector<double> values;
};

// The number of values in a row of the layout.
std::size_t CellTableColumns(CellTableLayout layout);

// The opening lines and column heads, or, for an omitted table, the opening and the line that
// stands for its rows. kStatusOk or the status of the first failed write.
std::int32_t WriteCellTableHead(input::TextOutput& out, const CellTable& table);

// The rows the table holds. kStatusOk or the status of the first failed write.
std::int32_t WriteCellTableRows(input::TextOutput& out, const CellTable& table);

// The head and then the rows. The line of asterisks that closes a table in the report is the
// caller's.
std::int32_t WriteCellTable(input::TextOutput& out, const CellTable& table);

// The line written in place of the rows of a table over every cell of a table too large.
std::string CellTableTooLargeLine(double maxCells);

}  // namespace kov::report
