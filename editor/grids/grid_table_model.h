// The one adapter between a grid and a QTableView: the model asks the grid for every value
// (vCellValue) and style (FetchCellStyle) and hands every edit to the grid's commit check; the
// delegate passes typed characters through GridKeyPress. Column 0 shows the row captions.
#pragma once

#include <QAbstractTableModel>
#include <QStyledItemDelegate>

#include "kov_grid.h"

class QItemSelectionModel;

namespace kov::grids {

class GridSet;

class GridTableModel final : public QAbstractTableModel, public GridControl {
  Q_OBJECT

 public:
  GridTableModel(GridSet& grids, int identity, QObject* parent = nullptr);
  ~GridTableModel() override;

  KovGrid& Grid() const { return m_grid; }
  // The store row and column of a model index.
  int Bookmark(int row) const { return m_firstBookmark + row; }
  int StoreColumn(int column) const { return m_firstColumn + column; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

  // Whether the window shows the grid now; a shown grid does its pending work at once, a
  // hidden one when it is shown again.
  void SetShown(bool shown);
  bool IsShown() const { return m_shown; }
  // Sizes the grid when a resize is pending and rebuilds the control when anything is.
  void ShowPending();

  QStringList SelectorEntries() const { return m_grid.SelectorEntries(); }
  int SelectedEntry() const { return m_grid.SelectedEntry(); }
  void SelectEntry(int entry);

  // The cell the view's cursor is on, styled as the current cell.
  void SetCurrentCell(const QModelIndex& index);
  void TrackCurrentCell(QItemSelectionModel* selection);

  // GridControl: takes the grid's rows, columns and selector anew.
  void Rebuild() override;

 signals:
  void SelectorChanged();
  // An edit was refused or not taken as typed; the text says why.
  void CommitNote(const QString& note);

 private:
  void OnRepaintRequested(int identity);
  CellStyle StyleOf(const QModelIndex& index) const;
  bool IsCell(const QModelIndex& index) const;

  GridSet& m_grids;
  KovGrid& m_grid;
  int m_rows = 0;
  int m_columns = 0;
  int m_firstBookmark = 1;
  int m_firstColumn = 0;
  bool m_shown = true;
  bool m_committing = false;
  int m_currentBookmark = -1;
  int m_currentColumn = -1;
};

// Line-edit cells whose typed characters the grid filters.
class GridItemDelegate final : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace kov::grids
