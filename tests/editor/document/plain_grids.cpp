#include "plain_grids.h"

#include <algorithm>

#include "document/text_helpers.h"

namespace kov::document::test {

namespace {

int Count(const Document& document, int id) { return document.vGetInterfaceValue(id).toInt(); }

bool IsItemsGrid(int identity) { return identity == kClassItems || identity == kStatusItems; }

}  // namespace

void PlainGrid::Clear() {
  rows.clear();
  m_categories.clear();
}

void PlainGrid::Setup() {
  if (!IsItemsGrid(m_identity)) return;
  const int items = Count(m_owner.document(),
                          m_identity == kClassItems ? kClassItemCount : kStatusItemCount);
  m_categories.resize(std::max(items, 0));
}

bool PlainGrid::bReadData(const QStringList& lines, int cursorIn, int& cursorOut,
                          std::vector<Diagnostic>& findings) {
  int cursor = cursorIn;
  rows.clear();
  for (int length : m_owner.LineLengths(m_identity)) {
    const QStringList values = cursor < lines.size() ? SplitValues(lines[cursor]) : QStringList();
    if (values.size() != length) {
      findings.push_back({cursor + 1, QStringLiteral("plain grid %1").arg(m_identity),
                          QStringLiteral("plain grid %1: expected %2 values on line %3")
                              .arg(m_identity)
                              .arg(length)
                              .arg(cursor + 1)});
      return false;
    }
    rows.push_back(values);
    ++cursor;
  }
  cursorOut = cursor;
  return true;
}

SectionLines PlainGrid::WriteData() {
  SectionLines section;
  if (failWrite) {
    section.problem = Diagnostic{1, QStringLiteral("Gamma Constraint"),
                                 QStringLiteral("Invalid Gamma Constraint for Class 1")};
    return section;
  }
  for (const QStringList& row : rows) section.lines << row.join(u' ');
  return section;
}

QVariant PlainGrid::vCellValue(int row, int column) const {
  if (column != kResponseCategoryColumn || row < 1 || row > m_categories.size()) return {};
  return m_categories[row - 1];
}

void PlainGrid::SetCellValue(int row, int column, const QVariant& value) {
  if (column == kResponseCategoryColumn && row >= 1 && row <= m_categories.size()) {
    m_categories[row - 1] = value.toString();
  }
}

void PlainGrid::Fill(const std::function<QString(int)>& value) {
  rows.clear();
  int n = 0;
  for (int length : m_owner.LineLengths(m_identity)) {
    QStringList row;
    for (int i = 0; i < length; ++i) row << value(n++);
    rows.push_back(row);
  }
}

PlainGrids::PlainGrids(Document& document) : m_document(document) {
  for (int identity = 0; identity < kGridCount; ++identity) {
    m_grids.push_back(std::make_unique<PlainGrid>(identity, *this));
    document.AttachGrid(*m_grids.back());
  }
}

// The layout of the engine's reader: class sections only with class items, status sections only
// with status items, 0 classes or statuses counted as 1, restriction codes only with iterations
// to run, start values only for a new estimation (big rho of occasion 1 only).
std::vector<int> PlainGrids::LineLengths(int identity) const {
  const Document& d = m_document;
  const int statusesAsRead = Count(d, kStatusCount);
  const int C = std::max(Count(d, kClassCount), 1), S = std::max(statusesAsRead, 1);
  const int Ic = Count(d, kClassItemCount), Is = Count(d, kStatusItemCount);
  const int T = Count(d, kTimeCount);
  const int order = d.vGetInterfaceValue(kFirstOrder).toBool() ? 1 : 2;
  int power = 1;
  for (int i = 0; i < order; ++i) power *= statusesAsRead;
  const int E = T >= 3 ? (T - 2) * power : 0;
  const bool codes = Count(d, kMaxIterations) > 0;
  const bool start = Count(d, kEstimationType) == kNewEstimation;

  const auto categories = [&](int grid, int items) {
    std::vector<int> counts;
    for (int i = 1; i <= items; ++i) {
      counts.push_back(m_grids.at(grid)->vCellValue(i, kResponseCategoryColumn).toInt());
    }
    return counts;
  };
  const std::vector<int> classCategories = categories(kClassItems, Ic);
  const std::vector<int> statusCategories = categories(kStatusItems, Is);
  const int Kc = classCategories.empty() ? 0 : *std::max_element(classCategories.begin(), classCategories.end());
  const int Ks = statusCategories.empty() ? 0 : *std::max_element(statusCategories.begin(), statusCategories.end());

  std::vector<int> lines;
  const auto repeat = [&](int count, int length) { lines.insert(lines.end(), std::max(count, 0), length); };
  const bool classes = Ic > 0, statuses = Is > 0;
  switch (identity) {
    case kClassLabels: if (classes) repeat(1, C); break;
    case kStatusLabels: if (statuses) repeat(1, S); break;
    case kClassItems: for (int k : classCategories) lines.push_back(1 + k); break;
    case kStatusItems: for (int k : statusCategories) lines.push_back(1 + k); break;
    case kGammaRestrictions: if (codes && classes) repeat(1, C); break;
    case kGammaStartingValues: if (start && classes) repeat(1, C); break;
    case kDeltaRestrictions: if (codes && statuses) repeat(1, C * S); break;
    case kDeltaStartingValues: if (start && statuses) repeat(1, C * S); break;
    case kTauRestrictions:
    case kTauStartingValues:
      if ((identity == kTauRestrictions ? codes : start) && statuses) {
        for (int c = 0; c < C; ++c) {
          lines.push_back(S * S);
          if (T >= 3) lines.push_back(E * S);
        }
      }
      break;
    case kLittleRhoRestrictions: if (codes && classes) repeat(Kc * C, Ic); break;
    case kLittleRhoStartingValues: if (start && classes && Kc > 0) repeat(Kc * C, Ic); break;
    case kBigRhoRestrictions: if (codes && statuses) repeat(C * T * Ks * S, Is); break;
    case kBigRhoStartingValues: if (start && statuses) repeat(C * std::min(T, 1) * Ks * S, Is); break;
    default: break;
  }
  return lines;
}

}  // namespace kov::document::test
