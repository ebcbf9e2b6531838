#include "cell_tables.h"

#include <cmath>
#include <string_view>

#include "base/result_codes.h"
#include "fields.h"
#include "report_lines.h"

namespace kov::report {

namespace {

constexpr std::string_view kTitleIndent = "                    ";  // 20 blanks
constexpr std::size_t kWideHeaderWidth = 120;
constexpr std::string_view kSaturatedMissingLine =
    " CELL TABLE NOT WRITTEN: THE SATURATED MODEL WAS NOT ESTIMATED";

constexpr std::string_view kResidualsTitle = "EXPECTED CELL FREQUENCIES AND RESIDUALS";
constexpr std::string_view kAdjustedTitle = "CELL FREQUENCIES AND FIT INDICATORS";
constexpr std::string_view kAdjustedSubtitle = "ADJUSTED FOR MISSINGNESS";
constexpr std::string_view kFitTitle = "EXPECTED CELL FREQUENCIES AND FIT INDICATORS";

std::string Real(double value) { return FormatFixed(value, 9, 4); }

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

std::string ScaledFitField(double scaled) {
  return FormatFixed(scaled, 9, std::fabs(scaled) < 99999.995 ? 2 : 1);
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
  if (!w.Line(kRule) || !w.Line("") || !w.Line(std::string(kTitleIndent) += title)) {
    return false;
  }
  return subtitle.empty() || w.Line(std::string(kTitleIndent) += subtitle);
}

std::int32_t WritePatternResidualsHead(Writer& w, std::size_t n) {
  std::string head;
  PutRight(&head, n + 12, "OBS");
  PutRight(&head, n + 23, "EXP");
  PutRight(&head, n + 34, "RESID");
  PutRight(&head, n + 45, "PEARSON");
  if (WriteOpening(w, kResidualsTitle) && w.Line("") && w.Line(head)) w.Line("");
  return w.Status();
}

std::int32_t WriteWithSaturatedHead(Writer& w, std::size_t n) {
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
  if (WriteOpening(w, kResidualsTitle) && w.Line("") && w.Line(blocks) && w.Line(rules) &&
      w.Line(heads)) {
    w.Line("");
  }
  return w.Status();
}

std::int32_t WriteEveryCellHead(Writer& w, const CellTable& table) {
  const std::size_t n = table.items;
  const std::string_view title = table.missingData ? kAdjustedTitle : kFitTitle;
  if (!WriteOpening(w, title, table.missingData ? kAdjustedSubtitle : std::string_view{})) {
    return w.Status();
  }
  if (table.omission == CellTableOmission::kTooManyCells) {
    if (w.Line("")) w.Line(CellTableTooLargeLine(table.maxCells));
    return w.Status();
  }
  if (table.omission == CellTableOmission::kNoSaturatedModel) {
    if (w.Line("")) w.Line(kSaturatedMissingLine);
    return w.Status();
  }
  // Heads end with their fields: the first three at n+14, n+26, n+38; Scaled Fit at n+50 (4
  // decimals, every cell adjusted) or n+51 (2 decimals after one more blank, selected cells).
  const bool adjusted = table.layout == CellTableLayout::kEveryCellAdjusted;
  const std::size_t scaledEnd = adjusted ? n + 50 : n + 51;
  std::string upper;
  std::string lower;
  PutRight(&upper, n + 14, table.missingData ? "Expected" : "Count");
  PutRight(&lower, n + 14, table.missingData ? "Sat Model" : "Observed");
  PutRight(&upper, n + 26, "Expected");
  PutRight(&lower, n + 26, "Kov Model");
  PutRight(&upper, n + 38, "Indicator");
  PutRight(&lower, n + 38, "Fit");
  PutRight(&upper, scaledEnd, "Indicator");
  PutRight(&lower, scaledEnd, "Scaled Fit");
  if (w.Line("") && w.Line(upper) && w.Line(lower)) w.Line("");
  return w.Status();
}

std::string PatternResidualsRow(const double* v) {
  std::string row;
  row.append("  ").append(Real(v[0]));
  row.append("  ").append(Real(v[1]));
  row.append("  ").append(Real(v[2]));
  row.append("  ").append(Real(v[3]));
  row.append(" ").push_back(Flag(v[3]));
  return row;
}

std::string WithSaturatedRow(const double* v) {
  std::string row;
  row.append("  ").append(Real(v[0])).append("  |");
  row.append(Real(v[1]));
  row.append("  ").append(Real(v[2]));
  row.append("  ").append(Real(v[3]));
  row.append(" ").push_back(Flag(v[3]));
  row.append("  ").append(Real(v[4])).append("  |");
  row.append(Real(v[5]));
  row.append("  ").append(Real(v[6]));
  row.append("  ").append(Real(v[7]));
  row.append("  ").append(Real(v[8]));
  return row;
}

std::string EveryCellAdjustedRow(const double* v) {
  std::string row;
  row.append("    ").append(Real(v[0])).append("   ");
  row.append(Real(v[1])).append("   ");
  row.append(Real(v[2])).append("   ");
  row.append(Real(v[3])).push_back(Flag(v[3]));
  return row;
}

// Without missing data the observed column is a count.
std::string SelectedCellRow(const double* v, bool missingData) {
  std::string row("    ");
  row.append(missingData ? Real(v[0]) : FormatInteger(RoundHalfEven(v[0]), 9)).append("   ");
  row.append(Real(v[1])).append("   ");
  row.append(Real(v[2])).append("    ");
  row.append(ScaledFitField(v[3])).push_back(Flag(v[3]));
  return row;
}

std::string RowValues(const CellTable& table, const double* v) {
  switch (table.layout) {
    case CellTableLayout::kPatternResiduals: return PatternResidualsRow(v);
    case CellTableLayout::kPatternResidualsWithSaturated: return WithSaturatedRow(v);
    case CellTableLayout::kEveryCellAdjusted: return EveryCellAdjustedRow(v);
    case CellTableLayout::kSelectedCells: return SelectedCellRow(v, table.missingData);
  }
  return {};
}

}  // namespace

std::size_t CellTableColumns(CellTableLayout layout) {
  return layout == CellTableLayout::kPatternResidualsWithSaturated ? 9 : 4;
}

std::int32_t WriteCellTableHead(input::TextOutput& out, const CellTable& table) {
  Writer w(out);
  switch (table.layout) {
    case CellTableLayout::kPatternResiduals: return WritePatternResidualsHead(w, table.items);
    case CellTableLayout::kPatternResidualsWithSaturated:
      return WriteWithSaturatedHead(w, table.items);
    case CellTableLayout::kEveryCellAdjusted:
    case CellTableLayout::kSelectedCells: return WriteEveryCellHead(w, table);
  }
  return kStatusOk;
}

std::int32_t WriteCellTableRows(input::TextOutput& out, const CellTable& table) {
  Writer w(out);
  const std::size_t columns = CellTableColumns(table.layout);
  const std::size_t rows = table.values.size() / columns;
  for (std::size_t r = 0; r < rows; ++r) {
    std::string row = RowStart(table.responses.data() + r * table.items, table.items);
    if (!w.Line(row += RowValues(table, table.values.data() + r * columns))) break;
  }
  return w.Status();
}

std::int32_t WriteCellTable(input::TextOutput& out, const CellTable& table) {
  const std::int32_t status = WriteCellTableHead(out, table);
  if (status != kStatusOk || table.omission != CellTableOmission::kNone) return status;
  return WriteCellTableRows(out, table);
}

std::string CellTableTooLargeLine(double maxCells) {
  return " CELL TABLE NOT WRITTEN: THE COMPLETE TABLE HAS MORE THAN " +
         FormatIntegerAtLeast(static_cast<std::int64_t>(maxCells), 1) + " CELLS";
}

}  // namespace kov::report
