#include "cell_tables.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

#include "base/result_codes.h"
#include "fit.h"
#include "report/fields.h"
#include "report/report_lines.h"

namespace kov::em {

namespace {

constexpr std::string_view kTitleIndent = "                    ";  // 20 blanks
constexpr std::size_t kWideHeaderWidth = 120;
constexpr std::string_view kSaturatedMissingLine =
    " CELL TABLE NOT WRITTEN: THE SATURATED MODEL WAS NOT ESTIMATED";

constexpr std::string_view kResidualsTitle = "EXPECTED CELL FREQUENCIES AND RESIDUALS";
constexpr std::string_view kAdjustedTitle = "CELL FREQUENCIES AND FIT INDICATORS";
constexpr std::string_view kAdjustedSubtitle = "ADJUSTED FOR MISSINGNESS";
constexpr std::string_view kFitTitle = "EXPECTED CELL FREQUENCIES AND FIT INDICATORS";

std::string Real(double value) { return report::FormatFixed(value, 9, 4); }

char Flag(double scaled) { return std::fabs(scaled) > 2.0 ? '*' : ' '; }

char ResponseCharacter(std::int32_t response) {
  if (response >= 0 && response <= 9) return static_cast<char>('0' + response);
  if (response >= 10 && response <= 35) return static_cast<char>('A' + (response - 10));
  return '*';
}

// One blank and the pattern, one character per item.
std::string RowStart(const std::int32_t* responses, std::size_t items) {
  std::string row(1, ' ');
  for (std::size_t i = 0; i < items; ++i) row += ResponseCharacter(responses[i]);
  return row;
}

// Residual over the root of the expected frequency; with nothing expected an observed pattern
// is an unbounded misfit, and an unobserved one none at all.
double Pearson(double residual, double expected) {
  if (expected > 0.0) return residual / std::sqrt(expected);
  return residual == 0.0 ? 0.0 : HUGE_VAL;
}

std::string ScaledFitField(double scaled) {
  return report::FormatFixed(scaled, 9, std::fabs(scaled) < 99999.995 ? 2 : 1);
}

// Places text so that it ends in the given column (counted from 1), widening the line.
void PutRight(std::string* line, std::size_t lastColumn, std::string_view text) {
  const std::size_t first = lastColumn - text.size();  // 0-based start
  if (line->size() < lastColumn) line->resize(lastColumn, ' ');
  line->replace(first, text.size(), text);
}

void PutLeft(std::string* line, std::size_t firstColumn, std::string_view text) {
  PutRight(line, firstColumn - 1 + text.size(), text);
}

void PutCentred(std::string* line, std::size_t firstColumn, std::size_t width,
                std::string_view text) {
  PutLeft(line, firstColumn + (width - text.size()) / 2, text);
}

// Writes lines one by one, keeping the first failure.
class Writer {
 public:
  explicit Writer(input::TextOutput& out) : m_out(out) {}
  bool Line(std::string_view text) {
    if (m_status == kStatusOk) m_status = m_out.WriteLine(text);
    return m_status == kStatusOk;
  }
  std::int32_t Status() const { return m_status; }

 private:
  input::TextOutput& m_out;
  std::int32_t m_status = kStatusOk;
};

bool WriteOpening(Writer& w, std::string_view title, std::string_view subtitle = {}) {
  if (!w.Line(report::kRule) || !w.Line("") || !w.Line(std::string(kTitleIndent) += title)) {
    return false;
  }
  return subtitle.empty() || w.Line(std::string(kTitleIndent) += subtitle);
}

// Setting 1 without missing data.
std::int32_t WriteResiduals(Writer& w, const GroupedPatterns& grouped,
                            const std::vector<double>& probabilities) {
  const std::size_t n = grouped.categories.size();
  std::string head;
  PutRight(&head, n + 12, "OBS");
  PutRight(&head, n + 23, "EXP");
  PutRight(&head, n + 34, "RESID");
  PutRight(&head, n + 45, "PEARSON");
  if (!WriteOpening(w, kResidualsTitle) || !w.Line("") || !w.Line(head) || !w.Line("")) {
    return w.Status();
  }
  for (const MissingnessGroup& group : grouped.groups) {
    for (std::int32_t p = group.first; p < group.first + group.count; ++p) {
      const auto q = static_cast<std::size_t>(p);
      const double observed = grouped.patterns.frequencies[q];
      const double expected = group.frequency * probabilities[q];
      const double residual = observed - expected;
      const double pearson = Pearson(residual, expected);
      std::string row = RowStart(grouped.patterns.Pattern(p), n);
      row.append("  ").append(Real(observed));
      row.append("  ").append(Real(expected));
      row.append("  ").append(Real(residual));
      row.append("  ").append(Real(pearson));
      row.append(" ").push_back(Flag(pearson));
      if (!w.Line(row)) return w.Status();
    }
  }
  return w.Status();
}

// Setting 2.
std::int32_t WriteResidualsWithSaturated(Writer& w, const GroupedPatterns& grouped,
                                         const std::vector<double>& probabilities,
                                         const SaturatedModel* saturated) {
  const std::size_t n = grouped.categories.size();
  // Columns: Obs ends at n+12, the separators stand at n+15 and n+62, the model block fills
  // n+16..n+61, the saturated block n+63..n+104.
  std::string blocks;
  std::string rules;
  std::string heads;
  for (std::string* line : {&blocks, &rules, &heads}) {
    PutRight(line, n + 15, "|");
    PutRight(line, n + 62, "|");
  }
  PutCentred(&blocks, n + 16, 46, "Kov Model");
  PutCentred(&blocks, n + 63, 42, "Saturated Model");
  PutLeft(&rules, n + 16, std::string(46, '-'));
  PutLeft(&rules, n + 63, std::string(42, '-'));
  PutLeft(&heads, 2, "Respat");
  PutRight(&heads, n + 12, "Obs");
  PutRight(&heads, n + 24, "Exp");
  PutRight(&heads, n + 35, "Resid");
  PutRight(&heads, n + 46, "Pearson");
  PutRight(&heads, n + 59, "lr");
  PutRight(&heads, n + 71, "Exp");
  PutRight(&heads, n + 82, "Resid");
  PutRight(&heads, n + 93, "Pearson");
  PutRight(&heads, n + 104, "lr");
  for (std::string* line : {&blocks, &rules, &heads}) {
    if (line->size() < kWideHeaderWidth) line->resize(kWideHeaderWidth, ' ');
  }
  if (!WriteOpening(w, kResidualsTitle) || !w.Line("") || !w.Line(blocks) || !w.Line(rules) ||
      !w.Line(heads) || !w.Line("")) {
    return w.Status();
  }
  for (const MissingnessGroup& group : grouped.groups) {
    for (std::int32_t p = group.first; p < group.first + group.count; ++p) {
      const auto q = static_cast<std::size_t>(p);
      const double observed = grouped.patterns.frequencies[q];
      const double expected = group.frequency * probabilities[q];
      const double residual = observed - expected;
      const double pearson = Pearson(residual, expected);
      const double satExpected = saturated != nullptr ? saturated->ExpectedFrequency(p) : -1.0;
      const bool satUsable = satExpected > 0.0;
      const double satResidual = satUsable ? observed - satExpected : 0.0;
      const double satPearson = satUsable ? satResidual / std::sqrt(satExpected) : 0.0;
      const double satLr = satUsable ? LikelihoodRatioTerm(observed, satExpected) : 0.0;
      std::string row = RowStart(grouped.patterns.Pattern(p), n);
      row.append("  ").append(Real(observed)).append("  |");
      row.append(Real(expected));
      row.append("  ").append(Real(residual));
      row.append("  ").append(Real(pearson));
      row.append(" ").push_back(Flag(pearson));
      row.append("  ").append(Real(LikelihoodRatioTerm(observed, expected))).append("  |");
      row.append(Real(satExpected));
      row.append("  ").append(Real(satResidual));
      row.append("  ").append(Real(satPearson));
      row.append("  ").append(Real(satLr));
      if (!w.Line(row)) return w.Status();
    }
  }
  return w.Status();
}


// Settings 1 with missing data and 3: every cell of the complete table, from the all-ones
// pattern with the first item fastest.
std::int32_t WriteEveryCell(Writer& w, int setting, bool missingData, const GroupedPatterns& grouped,
                            const SaturatedModel* saturated,
                            const std::function<double(const std::int32_t*)>& cellProbability,
                            double total, double maxCells) {
  const std::size_t n = grouped.categories.size();
  const bool adjusted = setting == 1;
  const std::string_view title = missingData ? kAdjustedTitle : kFitTitle;
  if (!WriteOpening(w, title, missingData ? kAdjustedSubtitle : std::string_view{})) {
    return w.Status();
  }
  const double cells = CompleteCellCount(grouped.categories);
  // The second bound keeps the cell numbers in 64 bits whatever limit a caller passes.
  if (!(cells <= maxCells) || cells > 1.0e18) {
    w.Line("");
    w.Line(CellTableTooLargeLine(maxCells));
    return w.Status();
  }
  if (missingData && (saturated == nullptr || !saturated->Estimated())) {
    w.Line("");
    w.Line(kSaturatedMissingLine);
    return w.Status();
  }

  // Heads end with their fields: the first three at n+14, n+26, n+38; Scaled Fit at n+50 (4
  // decimals, setting 1) or n+51 (2 decimals after one more blank, setting 3).
  const std::size_t scaledEnd = adjusted ? n + 50 : n + 51;
  std::string upper;
  std::string lower;
  PutRight(&upper, n + 14, missingData ? "Expected" : "Count");
  PutRight(&lower, n + 14, missingData ? "Sat Model" : "Observed");
  PutRight(&upper, n + 26, "Expected");
  PutRight(&lower, n + 26, "Kov Model");
  PutRight(&upper, n + 38, "Indicator");
  PutRight(&lower, n + 38, "Fit");
  PutRight(&upper, scaledEnd, "Indicator");
  PutRight(&lower, scaledEnd, "Scaled Fit");
  if (!w.Line("") || !w.Line(upper) || !w.Line(lower) || !w.Line("")) return w.Status();

  const std::vector<std::pair<std::int64_t, double>> observedCells =
      missingData ? std::vector<std::pair<std::int64_t, double>>{} : ObservedCells(grouped);
  std::size_t nextObserved = 0;
  std::vector<std::int32_t> responses(n, 1);
  const auto cellCount = static_cast<std::int64_t>(cells);
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
      std::string row = RowStart(responses.data(), n);
      const double scaled = expected > 0.0 ? fit / std::sqrt(expected) : 0.0;
      row.append("    ").append(Real(observed)).append("   ");
      row.append(Real(expected)).append("   ");
      row.append(Real(fit)).append("   ");
      row.append(Real(scaled)).push_back(Flag(scaled));
      if (!w.Line(row)) return w.Status();
    } else {
      const double scaled = expected > 0.0 ? fit / std::sqrt(expected) : 100000.0;
      if (observed >= 0.00005 || std::fabs(scaled) >= 1.0) {
        std::string row = RowStart(responses.data(), n);
        if (missingData) {
          row.append("    ").append(Real(observed)).append("   ");
        } else {
          row.append("    ").append(report::FormatInteger(report::RoundHalfEven(observed), 9));
          row.append("   ");
        }
        row.append(Real(expected)).append("   ");
        row.append(Real(fit)).append("    ");
        row.append(ScaledFitField(scaled));
        row.push_back(Flag(scaled));
        if (!w.Line(row)) return w.Status();
      }
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (responses[i] < grouped.categories[i]) {
        ++responses[i];
        break;
      }
      responses[i] = 1;
    }
  }
  return w.Status();
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

std::string CellTableTooLargeLine(double maxCells) {
  return " CELL TABLE NOT WRITTEN: THE COMPLETE TABLE HAS MORE THAN " +
         report::FormatIntegerAtLeast(static_cast<std::int64_t>(maxCells), 1) + " CELLS";
}

std::int32_t WriteCellTable(input::TextOutput& out, int setting, bool missingData,
                            const GroupedPatterns& grouped,
                            const std::vector<double>& probabilities,
                            const SaturatedModel* saturated,
                            const std::function<double(const std::int32_t*)>& cellProbability,
                            double total, double maxCells) {
  Writer w(out);
  if (setting == 1 && !missingData) return WriteResiduals(w, grouped, probabilities);
  if (setting == 2) return WriteResidualsWithSaturated(w, grouped, probabilities, saturated);
  if (setting == 1 || setting == 3) {
    return WriteEveryCell(w, setting, missingData, grouped, saturated, cellProbability, total,
                          maxCells);
  }
  return kStatusOk;
}

}  // namespace kov::em
