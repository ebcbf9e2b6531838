#include "grid_table_model.h"

#include <QBrush>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPalette>

#include "document/document.h"
#include "grid_set.h"

namespace kov::grids {

namespace {

const char* const kEditorBookmark = "kovGridBookmark";
const char* const kEditorColumn = "kovGridColumn";

QColor Resolve(const GridColour& colour) {
  if (!colour.isSystem) return QColor::fromRgb(colour.rgb);
  const QPalette palette = QGuiApplication::palette();
  switch (colour.system) {
    case SystemColour::kWindowText: return palette.color(QPalette::Active, QPalette::Text);
    case SystemColour::kWindow: return palette.color(QPalette::Active, QPalette::Base);
    case SystemColour::kHighlightText: return palette.color(QPalette::Active, QPalette::HighlightedText);
    case SystemColour::kHighlight: return palette.color(QPalette::Active, QPalette::Highlight);
    case SystemColour::kButtonFace: return palette.color(QPalette::Active, QPalette::Button);
    case SystemColour::kGrayText: return palette.color(QPalette::Disabled, QPalette::Text);
  }
  return {};
}

}  // namespace

GridTableModel::GridTableModel(GridSet& grids, int identity, QObject* parent)
    : QAbstractTableModel(parent), m_grids(grids), m_grid(*grids.Grid(identity)) {
  m_grid.BindControl(this);
  connect(&m_grids, &GridSet::RepaintRequested, this, &GridTableModel::OnRepaintRequested);
  // After a file is read or a document started, everything the reading marked is done at once.
  connect(&m_grids.Document(), &document::Document::DocumentEvent, this, [this] {
    if (m_shown) ShowPending();
  });
  m_firstBookmark = m_grid.iFirstBookmark();
  m_firstColumn = m_grid.iColLowerBound();
  ShowPending();
}

GridTableModel::~GridTableModel() { m_grid.BindControl(nullptr); }

bool GridTableModel::IsCell(const QModelIndex& index) const {
  // checkIndex would warn about the invalid index that views and testers ask about on purpose.
  return index.isValid() && index.model() == this && index.row() < m_rows && index.column() < m_columns;
}

int GridTableModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : m_rows; }

int GridTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : m_columns;
}

CellStyle GridTableModel::StyleOf(const QModelIndex& index) const {
  const int bookmark = Bookmark(index.row());
  const int column = StoreColumn(index.column());
  const bool current = bookmark == m_currentBookmark && column == m_currentColumn;
  CellStyle style;
  m_grid.FetchCellStyle(current ? kConditionCurrentCell : kConditionNone, 0, bookmark, column, style);
  return style;
}

QVariant GridTableModel::data(const QModelIndex& index, int role) const {
  if (!IsCell(index)) return {};
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return m_grid.vCellValue(Bookmark(index.row()), StoreColumn(index.column())).toString();
    case Qt::ForegroundRole: return QBrush(Resolve(StyleOf(index).foreColour));
    case Qt::BackgroundRole: return QBrush(Resolve(StyleOf(index).backColour));
    case Qt::ToolTipRole: {
      const QString note = m_grid.sCellNote(Bookmark(index.row()), StoreColumn(index.column()));
      return note.isEmpty() ? QVariant() : QVariant(note);
    }
    default: return {};
  }
}

QVariant GridTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || section < 0) return {};
  if (orientation == Qt::Horizontal) {
    return section < m_columns ? m_grid.ColumnCaption(StoreColumn(section)) : QVariant();
  }
  return section < m_rows ? QVariant(section + 1) : QVariant();
}

Qt::ItemFlags GridTableModel::flags(const QModelIndex& index) const {
  if (!IsCell(index)) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
  if (!StyleOf(index).locked) flags |= Qt::ItemIsEditable;
  return flags;
}

bool GridTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole || !IsCell(index)) return false;
  if (StyleOf(index).locked) return false;
  m_committing = true;
  const bool accepted = m_grid.bCommitCell(Bookmark(index.row()), StoreColumn(index.column()),
                                           value.toString());
  m_committing = false;
  const QString note = m_grid.sCommitNote();
  if (!note.isEmpty()) emit CommitNote(note);
  if (!accepted) return false;
  // The marks of a starting value's whole row follow the edit of one of its cells.
  emit dataChanged(this->index(0, 0), this->index(m_rows - 1, m_columns - 1));
  // An edit that reshapes its own grid (the number of an item's categories) is shown once the
  // view has finished committing.
  if (m_grid.iRepaintStatus() != kRepaintNone) {
    QMetaObject::invokeMethod(this, &GridTableModel::ShowPending, Qt::QueuedConnection);
  }
  return true;
}

void GridTableModel::SetShown(bool shown) {
  m_shown = shown;
  if (m_shown) ShowPending();
}

void GridTableModel::ShowPending() {
  if (m_grid.iRepaintStatus() == kRepaintResize) m_grid.Setup();
  if (m_grid.iRepaintStatus() != kRepaintNone) m_grid.RefreshGridCtrl();
}

void GridTableModel::SelectEntry(int entry) {
  m_grid.SelectEntry(entry);
  if (m_grid.iRepaintStatus() == kRepaintResize) m_grid.Setup();
  m_grid.RefreshGridCtrl();
}

void GridTableModel::OnRepaintRequested(int identity) {
  if (identity != m_grid.iIdentity() || !m_shown || m_committing) return;
  if (m_grids.Document().IsLoading()) return;
  ShowPending();
}

void GridTableModel::Rebuild() {
  const int first = m_grid.iFirstBookmark();
  const int rows = std::max(m_grid.iLastBookmark() - first + 1, 0);
  const int firstColumn = m_grid.iColLowerBound();
  const int columns = std::max(m_grid.iColUpperBound() - firstColumn + 1, 0);
  if (rows == m_rows && columns == m_columns && first == m_firstBookmark && firstColumn == m_firstColumn) {
    // Same shape: captions, values and colours may all have changed.
    if (rows > 0 && columns > 0) emit dataChanged(index(0, 0), index(rows - 1, columns - 1));
    if (columns > 0) emit headerDataChanged(Qt::Horizontal, 0, columns - 1);
  } else {
    beginResetModel();
    m_rows = rows;
    m_columns = columns;
    m_firstBookmark = first;
    m_firstColumn = firstColumn;
    endResetModel();
  }
  emit SelectorChanged();
}

void GridTableModel::SetCurrentCell(const QModelIndex& index) {
  const int oldBookmark = m_currentBookmark, oldColumn = m_currentColumn;
  m_currentBookmark = index.isValid() ? Bookmark(index.row()) : -1;
  m_currentColumn = index.isValid() ? StoreColumn(index.column()) : -1;
  const QModelIndex old = this->index(oldBookmark - m_firstBookmark, oldColumn - m_firstColumn);
  if (old.isValid()) emit dataChanged(old, old);
  if (index.isValid()) emit dataChanged(index, index);
}

void GridTableModel::TrackCurrentCell(QItemSelectionModel* selection) {
  connect(selection, &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) { SetCurrentCell(current); });
}

QWidget* GridItemDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                        const QModelIndex& index) const {
  QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
  if (auto* line = qobject_cast<QLineEdit*>(editor)) {
    const auto* model = qobject_cast<const GridTableModel*>(index.model());
    if (model != nullptr) {
      line->setProperty(kEditorBookmark, model->Bookmark(index.row()));
      line->setProperty(kEditorColumn, model->StoreColumn(index.column()));
      line->setProperty("kovGridModel", QVariant::fromValue(const_cast<GridTableModel*>(model)));
      line->installEventFilter(const_cast<GridItemDelegate*>(this));
    }
  }
  return editor;
}

bool GridItemDelegate::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* line = qobject_cast<QLineEdit*>(watched);
    auto* model = line == nullptr ? nullptr : line->property("kovGridModel").value<GridTableModel*>();
    const QString text = static_cast<QKeyEvent*>(event)->text();
    if (model != nullptr && text.size() == 1) {
      int key = text[0].unicode();
      model->Grid().GridKeyPress(key, line->property(kEditorBookmark).toInt(),
                                 line->property(kEditorColumn).toInt(), line->text());
      if (key == 0) return true;  // refused: the character never reaches the cell
    }
  }
  return QStyledItemDelegate::eventFilter(watched, event);
}

}  // namespace kov::grids
