#include "grid_base.h"

#include "document/document.h"
#include "document/text_helpers.h"
#include "start_values.h"

namespace kov::grids {

namespace {

using namespace kov::document;

constexpr int kMaxCodeCharacters = 10;
constexpr int kMaxStartValueCharacters = 20;
constexpr int kFirstPrintable = 32;

bool IsDigit(int key) { return key >= '0' && key <= '9'; }

}  // namespace

bool IsRestrictionGrid(int identity) {
  return identity == kGammaRestrictions || identity == kLittleRhoRestrictions ||
         identity == kDeltaRestrictions || identity == kTauRestrictions ||
         identity == kBigRhoRestrictions;
}

bool IsStartValueGrid(int identity) { return RestrictionGridOf(identity) >= 0; }

int RestrictionGridOf(int startValueIdentity) {
  switch (startValueIdentity) {
    case kGammaStartingValues: return kGammaRestrictions;
    case kDeltaStartingValues: return kDeltaRestrictions;
    case kTauStartingValues: return kTauRestrictions;
    case kLittleRhoStartingValues: return kLittleRhoRestrictions;
    case kBigRhoStartingValues: return kBigRhoRestrictions;
    default: return -1;
  }
}

QString TableName(int identity) {
  switch (identity) {
    case kClassLabels: return QStringLiteral("Class Labels");
    case kStatusLabels: return QStringLiteral("Status Labels");
    case kClassItems: return QStringLiteral("Class Items");
    case kStatusItems: return QStringLiteral("Status Items");
    case kGammaRestrictions: return QStringLiteral("Gamma Constraint");
    case kGammaStartingValues: return QStringLiteral("Gamma Starting Value");
    case kDeltaRestrictions: return QStringLiteral("Delta constraints");
    case kDeltaStartingValues: return QStringLiteral("Delta starting value");
    case kTauRestrictions: return QStringLiteral("Tau constraint");
    case kTauStartingValues: return QStringLiteral("Tau starting value");
    case kLittleRhoRestrictions: return QStringLiteral("Little Rho constraint");
    case kLittleRhoStartingValues: return QStringLiteral("Little Rho starting value");
    case kBigRhoRestrictions: return QStringLiteral("RHO constraint");
    case kBigRhoStartingValues: return QStringLiteral("RHO starting value");
    default: return {};
  }
}

void GridBase::Init(int identity, GridControl* control) {
  m_identity = identity;
  m_control = control;
  m_impl.SetLabel(TableName(identity));
  RegisterDependencies();
}

void GridBase::Clear() {
  m_impl.Dimensionalize(1, 0, 0, 0, /*keep=*/false);
  m_impl.SetRepaintStatus(kRepaintResize);
}

void GridBase::Setup() {
  const ModelShape shape = CurrentShape(m_host);
  if (NeedsResize(shape)) Resize(shape);
  FillCells(shape, /*defaults=*/true);
  UpdateBookmarks();
}

void GridBase::Resize(const ModelShape& shape) {
  int lastRow = 0, lastColumn = 0;
  TargetBounds(shape, lastRow, lastColumn);
  m_impl.Dimensionalize(1, lastRow, 0, lastColumn, /*keep=*/true);
}

void GridBase::ResizeByRows(KovGridImplementer& impl, int lastRow, int lastColumn,
                            const std::function<int(int)>& oldRow) {
  const CellStore old = impl.objCurrentArray();
  impl.Dimensionalize(1, lastRow, 0, lastColumn, /*keep=*/false);
  CellStore& store = impl.objCurrentArray();
  for (int row = 1; row <= store.RowUpperBound(); ++row) {
    const int from = oldRow(row);
    if (from < 1) continue;
    for (int column = 0; column <= lastColumn; ++column) {
      if (old.Contains(from, column)) store.SetValue(row, column, old.Value(from, column));
    }
  }
}

bool GridBase::NeedsResize(const ModelShape& shape) const {
  int lastRow = 0, lastColumn = 0;
  TargetBounds(shape, lastRow, lastColumn);
  return !m_impl.objCurrentArray().HasBounds(1, lastRow, 0, lastColumn);
}

void GridBase::Dimensionalize(int firstRow, int lastRow, int firstColumn, int lastColumn, bool keep) {
  Current().Dimensionalize(firstRow, lastRow, firstColumn, lastColumn, keep);
  m_impl.MergeRepaintStatus(kRepaintCells);
}

void GridBase::RefreshGridCtrl() {
  // Row captions come from other grids' labels, which may have changed since the last Setup.
  const ModelShape shape = CurrentShape(m_host);
  if (!NeedsResize(shape)) FillCells(shape, /*defaults=*/false);
  UpdateBookmarks();
  m_impl.SetRepaintStatus(kRepaintNone);
  if (m_control != nullptr) m_control->Rebuild();
}

bool GridBase::bReadData(const QStringList& lines, int cursorIn, int& cursorOut,
                         std::vector<Diagnostic>& findings) {
  Setup();
  const ModelShape shape = CurrentShape(m_host);
  int cursor = cursorIn;
  m_findings = &findings;
  const bool read = !HasSection(shape) || ReadSection(shape, lines, cursor);
  m_findings = nullptr;
  if (!read) return false;
  cursorOut = cursor;
  // Grids that show these cells (captions, fixed starting values) follow.
  m_host.Document().SetInterfaceValue(m_identity);
  return true;
}

SectionLines GridBase::WriteData() {
  ModelShape shape = CurrentShape(m_host);
  // Counts changed since the grid was last sized: the file must follow the counts written.
  if (NeedsResize(shape)) {
    Setup();
    shape = CurrentShape(m_host);
  }
  SectionLines section;
  if (!HasSection(shape)) return section;
  m_writeProblem = &section.problem;
  const bool written = WriteSection(shape, section.lines);
  m_writeProblem = nullptr;
  // A section that stopped without saying why still must not be saved half written.
  if (!written && !section.problem) {
    section.problem =
        Diagnostic{0, TableName(m_identity), QStringLiteral("Invalid ") + TableName(m_identity)};
  }
  if (!written) section.lines.clear();
  return section;
}

void GridBase::DataChanged() {
  m_host.Document().MarkModified();
  m_host.Document().SetInterfaceValue(m_identity);
}

QString GridBase::ColumnCaption(int) const { return {}; }

CellKind GridBase::KindOf(int bookmark, int column) const {
  if (!Current().objCurrentArray().Contains(bookmark, column)) return CellKind::kUnused;
  if (column == 0) return CellKind::kCaption;
  return IsRestrictions() ? CellKind::kCode : CellKind::kStartValue;
}

bool GridBase::IsCellFixed(int bookmark, int column) const {
  const int restrictions = RestrictionGridOf(m_identity);
  if (restrictions < 0 || column == 0) return false;
  const KovGrid* grid = m_host.Grid(restrictions);
  if (grid == nullptr) return false;
  qint16 code = 0;
  return ParseInt16(grid->vCellValue(bookmark, column).toString().trimmed(), &code) && code == 0;
}

void GridBase::FetchCellStyle(unsigned conditions, int, int bookmark, int column,
                              CellStyle& style) const {
  const CellKind kind = KindOf(bookmark, column);
  const bool locked = kind == CellKind::kCaption || kind == CellKind::kUnused;
  const bool fixed = IsCellFixed(bookmark, column);
  const bool current = (conditions & kConditionCurrentCell) != 0;
  const GridColour red = GridColour::Plain(255, 0, 0);
  using enum SystemColour;
  if (m_host.eRunType() == RunType::kDa) {
    // A data-augmentation run takes the model as it is: every grid is read-only.
    style = {GridColour::System(kGrayText), fixed ? red : GridColour::System(kWindow), true};
  } else if (current && !locked) {
    style = {GridColour::System(kHighlightText), GridColour::System(kHighlight), false};
  } else if (current && !fixed) {
    // A caption under the cursor: the highlighted text keeps the colour it is made for, since
    // on the button face it would all but vanish (white on light grey).
    style = {GridColour::System(kHighlightText), GridColour::System(kHighlight), true};
  } else if (fixed && !locked) {
    style = {GridColour::Plain(0, 0, 0), red, false};
  } else if (!locked && !sCellNote(bookmark, column).isEmpty()) {
    // A starting value the engine would refuse: missing, or in a row that does not sum to one.
    style = {GridColour::Plain(0, 0, 0), GridColour::Plain(255, 214, 140), false};
  } else {
    style = {GridColour::System(kWindowText), GridColour::System(locked ? kButtonFace : kWindow),
             locked};
  }
}

void GridBase::GridKeyPress(int& keyAscii, int bookmark, int column, const QString& cellText) const {
  if (keyAscii < kFirstPrintable) return;
  switch (KindOf(bookmark, column)) {
    case CellKind::kCode:
    case CellKind::kCategoryCount:
      if (!IsDigit(keyAscii) || cellText.size() >= kMaxCodeCharacters) keyAscii = 0;
      return;
    case CellKind::kStartValue: {
      const bool allowed = IsDigit(keyAscii) || keyAscii == '.' || keyAscii == ',' ||
                           keyAscii == 'e' || keyAscii == 'E';
      const bool secondPoint = keyAscii == '.' && cellText.contains(u'.');
      const bool secondExponent = (keyAscii == 'e' || keyAscii == 'E') &&
                                  (cellText.contains(u'e') || cellText.contains(u'E'));
      if (!allowed || secondPoint || secondExponent || cellText.size() >= kMaxStartValueCharacters) {
        keyAscii = 0;
      }
      return;
    }
    case CellKind::kCaption:
    case CellKind::kUnused:
      keyAscii = 0;
      return;
    case CellKind::kLabel:
      return;
  }
}

bool GridBase::bCommitCell(int bookmark, int column, const QString& text) {
  m_commitNote.clear();
  QString accepted;
  double number = 0.0;
  const QString typed = text.trimmed();
  switch (KindOf(bookmark, column)) {
    case CellKind::kCode:
      accepted = typed;
      if (!ParseReal(accepted, &number) || number < 0.0) {
        m_commitNote = QStringLiteral("\"") + typed + QStringLiteral("\" is not a restriction code: type 0 (fixed), 1 (free) or 2 and up (equal)");
        return false;
      }
      break;
    case CellKind::kStartValue:
      // A decimal comma, which the filter lets through, is stored as the point the engine reads.
      accepted = typed;
      accepted.replace(u',', u'.');
      if (!ParseReal(accepted, &number)) {
        m_commitNote = QStringLiteral("\"") + typed + QStringLiteral("\" is not a number: a starting value is a probability from 0 to 1");
        return false;
      }
      if (number < 0.0 || number > 1.0) {
        m_commitNote = typed + QStringLiteral(" is not a probability: a starting value lies from 0 to 1");
        return false;
      }
      break;
    case CellKind::kCategoryCount:
      accepted = typed;
      if (!ParseReal(accepted, &number)) {
        m_commitNote = QStringLiteral("\"") + typed + QStringLiteral("\" is not a number of categories");
        return false;
      }
      accepted = accepted.left(2);
      break;
    case CellKind::kLabel:
      accepted = text.left(kLabelLength);
      if (accepted != text) {
        m_commitNote = QStringLiteral("Labels are at most ") + QString::number(kLabelLength) +
                       QStringLiteral(" characters: \"") + text + QStringLiteral("\" was cut to \"") +
                       accepted + QStringLiteral("\"");
      }
      break;
    case CellKind::kCaption:
    case CellKind::kUnused:
      return false;
  }
  if (m_host.eRunType() == RunType::kDa) {
    m_commitNote = QStringLiteral("The model cannot be changed in DA mode");
    return false;
  }
  if (vCellValue(bookmark, column).toString() == accepted) return true;
  SetCellValue(bookmark, column, accepted);
  AfterCommit(bookmark, column);
  DataChanged();
  return true;
}

QString GridBase::CodeText(int row, int column) const {
  const KovGrid* grid = m_host.Grid(RestrictionGridOf(m_identity));
  return grid == nullptr ? QString() : grid->objCurrentArray().Text(row, column).trimmed();
}

QString GridBase::ProbabilityVector::Text(std::size_t n) const {
  return stores[n]->Text(cells[n].first, cells[n].second).trimmed();
}

std::vector<GridBase::ProbabilityVector> GridBase::ProbabilityVectors() {
  if (!IsStartValueGrid(m_identity)) return {};
  const ModelShape shape = CurrentShape(m_host);
  if (!HasSection(shape) || NeedsResize(shape)) return {};
  return VectorsOf(shape);
}

QString GridBase::sCellNote(int bookmark, int column) const {
  if (KindOf(bookmark, column) != CellKind::kStartValue) return {};
  const CellStore* store = &Current().objCurrentArray();
  for (const ProbabilityVector& vector : ProbabilityVectors()) {
    for (std::size_t n = 0; n < vector.cells.size(); ++n) {
      if (vector.stores[n] != store || vector.cells[n] != std::pair(bookmark, column)) continue;
      if (vector.Text(n).isEmpty()) {
        return QStringLiteral("No starting value: an empty cell is written as -1, which the engine refuses");
      }
      const QString problem = VectorProblem(vector);
      return problem.isEmpty() ? QString() : QStringLiteral("Row ") + vector.name + QStringLiteral(": ") + problem;
    }
  }
  return {};
}

bool GridBase::AcceptInvalidValue(const QString& position, int line) {
  const QString field = TableName(m_identity) + position;
  if (m_findings != nullptr) {
    m_findings->push_back({line, field, QStringLiteral("Invalid ") + field + QStringLiteral(".")});
  }
  return true;
}

bool GridBase::StopReading(int line, const QString& message, const QString& position) {
  if (m_findings != nullptr)
    m_findings->push_back({line, TableName(m_identity) + position, message});
  return false;
}

bool GridBase::IsValueOfType(const QString& text) const {
  if (IsRestrictions()) {
    qint16 code = 0;
    return ParseInt16(text, &code);
  }
  float value = 0.0f;
  return ParseSingle(text, &value);
}

bool GridBase::TokenToCell(const QString& token, QString* cellText) const {
  if (IsRestrictions()) {
    qint16 code = 0;
    if (!ParseInt16(token, &code)) return false;
    *cellText = code == -1 ? QString() : token;
    return true;
  }
  float value = 0.0f;
  if (!ParseSingle(token, &value)) return false;
  *cellText = value == -1.0f ? QString() : token;
  return true;
}

bool GridBase::ReadValueLine(const QStringList& lines, int& cursor, const std::vector<CellRef>& cells,
                             const std::function<QString(int)>& position) {
  if (cells.empty()) return true;  // a step of no values takes no line
  const QStringList tokens = cursor < lines.size() ? SplitAtBlanks(lines[cursor]) : QStringList();
  ++cursor;
  for (std::size_t n = 0; n < cells.size(); ++n) {
    QString cellText;
    if (!TokenToCell(tokens.value(static_cast<qsizetype>(n)), &cellText)) {
      if (!AcceptInvalidValue(position(static_cast<int>(n)), cursor)) return false;
      cellText.clear();
    }
    cells[n].store->SetValue(cells[n].row, cells[n].column, cellText);
  }
  return true;
}

bool GridBase::WriteValueLine(QStringList& lines, const std::vector<CellRef>& cells,
                              const std::function<QString(int)>& failure) {
  if (cells.empty()) return true;
  QStringList values;
  for (std::size_t n = 0; n < cells.size(); ++n) {
    const QString text = cells[n].store->Text(cells[n].row, cells[n].column).trimmed();
    if (text.isEmpty()) {
      values << QStringLiteral("-1");
      continue;
    }
    if (!IsValueOfType(text)) {
      // On the line this one would have been, counting the section's lines from 1.
      if (m_writeProblem != nullptr) {
        *m_writeProblem = Diagnostic{static_cast<int>(lines.size()) + 1, TableName(m_identity),
                                     failure(static_cast<int>(n))};
      }
      return false;
    }
    values << text;
  }
  // Single blanks between values and none after the last, as the engine's reader takes them.
  lines << values.join(u' ');
  return true;
}

QString GridBase::ClassCaption(int c) const {
  const KovGrid* labels = m_host.Grid(kClassLabels);
  const QString label = labels == nullptr ? QString() : labels->vCellValue(c, 1).toString();
  return label.isEmpty() ? QStringLiteral("LC ") + QString::number(c) : label;
}

QString GridBase::StatusCaption(int s) const {
  const KovGrid* labels = m_host.Grid(kStatusLabels);
  const QString label = labels == nullptr ? QString() : labels->vCellValue(s, 1).toString();
  return label.isEmpty() ? QStringLiteral("LS ") + QString::number(s) : label;
}

QString GridBase::ItemCaption(int itemsIdentity, int item) const {
  const KovGrid* items = m_host.Grid(itemsIdentity);
  const QString label = items == nullptr ? QString() : items->vCellValue(item, 1).toString();
  return label.isEmpty() ? QStringLiteral("VAR ") + QString::number(item) : label;
}

QString GridBase::CategoryCaption(int itemsIdentity, int item, int category) const {
  const KovGrid* items = m_host.Grid(itemsIdentity);
  QString label;
  if (items != nullptr && category <= CategoryCount(m_host, itemsIdentity, item)) {
    label = items->vCellValue(item, kResponseCategoryColumn + category).toString();
  }
  return label.isEmpty() ? QStringLiteral("RC ") + QString::number(category) : label;
}

void GridBase::FillEmpty(CellStore& store, int row, int column, const QString& text) {
  if (store.Text(row, column).isEmpty()) store.SetValue(row, column, text);
}

}  // namespace kov::grids
