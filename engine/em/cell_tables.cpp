#include "cell_tables.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <utility>

#include "base/result_codes.h"
#include "fit.h"
#include "report/cell_tables.h"

namespace kov::em {

namespace {

using report::CellTable;
using report::CellTableLayout;
using report::CellTableOmission;

// Rows of a table over every cell reach the report this many at a time, so that a table of
// millions of cells is never held whole.
constexpr std::size_t kRowsPerBatch = 4096;

// The lowest observed frequency that does not round to 0.0000 in the report.
constexpr double kShownFrequency = 0.00005;

// The scaled fit of a cell that the model gives expected frequency 0 in the selected-cells
// table, large enough to list the cell and flag it.
constexpr double kUnboundedScaledFit = 100000.0;

// Residual over the root of the expected frequency; with nothing expected an observed pattern
// is an unbounded misfit, and an unobserved one none at all.
double Pearson(double residual, double expected) {
  if (expected > 0.0) return residual / std::sqrt(expected);
  return residual == 0.0 ? 0.0 : HUGE_VAL;
}

CellTable EmptyTable(CellTableLayout layout, const GroupedPatterns& grouped) {
  CellTable table;
  table.layout = layout;
  table.items = grouped.categories.size();
  return table;
}

void AddRow(CellTable* table, const std::int32_t* responses, std::initializer_list<double> values) {
  table->responses.insert(table->responses.end(), responses, responses + table->items);
  table->values.insert(table->values.end(), values);
}

// Setting 1 without missing data: each observed pattern against its expected frequency.
CellTable PatternResiduals(const GroupedPatterns& grouped,
                           const std::vector<double>& probabilities) {
  CellTable table = EmptyTable(CellTableLayout::kPatternResiduals, grouped);
  for (const MissingnessGroup& group : grouped.groups) {
    for (std::int32_t p = group.first; p < group.first + group.count; ++p) {
      const auto q = static_cast<std::size_t>(p);
      const double observed = grouped.patterns.frequencies[q];
      const double expected = group.frequency * probabilities[q];
      const double residual = observed - expected;
      AddRow(&table, grouped.patterns.Pattern(p),
             {observed, expected, residual, Pearson(residual, expected)});
    }
  }
  return table;
}

// Setting 2: the same under the model and under the saturated model, whose expected
// frequencies read -1.0 (and its other values 0) when it is missing or gives nothing.
CellTable PatternResidualsWithSaturated(const GroupedPatterns& grouped,
                                        const std::vector<double>& probabilities,
                                        const SaturatedModel* saturated) {
  CellTable table = EmptyTable(CellTableLayout::kPatternResidualsWithSaturated, grouped);
  for (const MissingnessGroup& group : grouped.groups) {
    for (std::int32_t p = group.first; p < group.first + group.count; ++p) {
      const auto q = static_cast<std::size_t>(p);
      const double observed = grouped.patterns.frequencies[q];
      const double expected = group.frequency * probabilities[q];
      const double residual = observed - expected;
      const double satExpected = saturated != nullptr ? saturated->ExpectedFrequency(p) : -1.0;
      const bool satUsable = satExpected > 0.0;
      const double satResidual = satUsable ? observed - satExpected : 0.0;
      const double satPearson = satUsable ? satResidual / std::sqrt(satExpected) : 0.0;
      const double satLr = satUsable ? LikelihoodRatioTerm(observed, satExpected) : 0.0;
      AddRow(
          &table, grouped.patterns.Pattern(p),
          {observed, expected, residual, Pearson(residual, expected),
           LikelihoodRatioTerm(observed, expected), satExpected, satResidual, satPearson, satLr});
    }
  }
  return table;
}

// Why a table over every cell cannot list its rows, if it cannot.
CellTableOmission EveryCellOmission(bool missingData, const GroupedPatterns& grouped,
                                    const SaturatedModel* saturated, double maxCells) {
  const double cells = CompleteCellCount(grouped.categories);
  // The second bound keeps the cell numbers in 64 bits whatever limit a caller passes.
  if (!(cells <= maxCells) || cells > 1.0e18) return CellTableOmission::kTooManyCells;
  if (missingData && (saturated == nullptr || !saturated->Estimated())) {
    return CellTableOmission::kNoSaturatedModel;
  }
  return CellTableOmission::kNone;
}

// The next cell after responses, the first item fastest.
void NextCell(std::vector<std::int32_t>* responses, const std::vector<std::int32_t>& categories) {
  for (std::size_t i = 0; i < responses->size(); ++i) {
    if ((*responses)[i] < categories[i]) {
      ++(*responses)[i];
      return;
    }
    (*responses)[i] = 1;
  }
}

// Settings 1 with missing data and 3: every cell of the complete table, from the all-ones
// pattern with the first item fastest; setting 3 lists only the cells with an observed (or
// saturated) frequency that shows, or a scaled fit of at least 1 in absolute value.
std::int32_t WriteEveryCell(input::TextOutput& out, int setting, bool missingData,
                            const GroupedPatterns& grouped, const SaturatedModel* saturated,
                            const std::function<double(const std::int32_t*)>& cellProbability,
                            double total, double maxCells) {
  const bool adjusted = setting == 1;
  CellTable table = EmptyTable(
      adjusted ? CellTableLayout::kEveryCellAdjusted : CellTableLayout::kSelectedCells, grouped);
  table.missingData = missingData;
  table.maxCells = maxCells;
  table.omission = EveryCellOmission(missingData, grouped, saturated, maxCells);
  std::int32_t status = report::WriteCellTableHead(out, table);
  if (status != kStatusOk || table.omission != CellTableOmission::kNone) return status;

  const std::vector<std::pair<std::int64_t, double>> observedCells =
      missingData ? std::vector<std::pair<std::int64_t, double>>{} : ObservedCells(grouped);
  std::size_t nextObserved = 0;
  std::vector<std::int32_t> responses(table.items, 1);
  const auto cellCount = static_cast<std::int64_t>(CompleteCellCount(grouped.categories));
  for (std::int64_t index = 0; index < cellCount; ++index) {
    double observed = 0.0;  // the saturated expected frequency with missing data
    if (missingData) {
      observed = saturated->CellExpectedFrequency(responses.data());
    } else if (nextObserved < observedCells.size() && observedCells[nextObserved].first == index) {
      observed = observedCells[nextObserved++].second;
    }
    const double expected = total * cellProbability(responses.data());
    const double fit = observed - expected;
    if (adjusted) {
      const double scaled = expected > 0.0 ? fit / std::sqrt(expected) : 0.0;
      AddRow(&table, responses.data(), {observed, expected, fit, scaled});
    } else {
      const double scaled = expected > 0.0 ? fit / std::sqrt(expected) : kUnboundedScaledFit;
      if (observed >= kShownFrequency || std::fabs(scaled) >= 1.0) {
        AddRow(&table, responses.data(), {observed, expected, fit, scaled});
      }
    }
    if (table.responses.size() >= kRowsPerBatch * table.items) {
      if ((status = report::WriteCellTableRows(out, table)) != kStatusOk) return status;
      table.responses.clear();
      table.values.clear();
    }
    NextCell(&responses, grouped.categories);
  }
  return report::WriteCellTableRows(out, table);
}

}  // namespace

// The observed frequency of every complete cell that some complete pattern gives, by cell
// index (first item fastest), sorted; records of the same pattern are added up.
std::vector<std::pair<std::int64_t, double>> ObservedCells(const GroupedPatterns& grouped) {
  const std::size_t n = grouped.categories.size();
  std::vector<std::pair<std::int64_t, double>> cells;
  for (const MissingnessGroup& group : grouped.groups) {
    if (!group.missingItems.empty()) continue;
    for (std::int32_t p = group.first; p < group.first + group.count; ++p) {
      const std::int32_t* responses = grouped.patterns.Pattern(p);
      std::int64_t index = 0;
      std::int64_t stride = 1;
      for (std::size_t i = 0; i < n; ++i) {
        index += (responses[i] - 1) * stride;
        stride *= grouped.categories[i];
      }
      cells.emplace_back(index, grouped.patterns.frequencies[static_cast<std::size_t>(p)]);
    }
  }
  std::sort(cells.begin(), cells.end());
  std::vector<std::pair<std::int64_t, double>> merged;
  for (const auto& cell : cells) {
    if (!merged.empty() && merged.back().first == cell.first) {
      merged.back().second += cell.second;
    } else {
      merged.push_back(cell);
    }
  }
  return merged;
}

std::int32_t WriteCellTable(input::TextOutput& out, int setting, bool missingData,
                            const GroupedPatterns& grouped,
                            const std::vector<double>& probabilities,
                            const SaturatedModel* saturated,
                            const std::function<double(const std::int32_t*)>& cellProbability,
                            double total, double maxCells) {
  if (setting == 1 && !missingData) {
    return report::WriteCellTable(out, PatternResiduals(grouped, probabilities));
  }
  if (setting == 2) {
    return report::WriteCellTable(out,
                                  PatternResidualsWithSaturated(grouped, probabilities, saturated));
  }
  if (setting == 1 || setting == 3) {
    return WriteEveryCell(out, setting, missingData, grouped, saturated, cellProbability, total,
                          maxCells);
  }
  return kStatusOk;
}

}  // namespace kov::em
