// Tau, the transition probabilities: the restriction codes (identity 3) or the starting values
// (identity 12). The store holds every transition row of every class, one column per target
// status; the selector shows one class and transition at a time.
#pragma once

#include "grid_base.h"

namespace kov::grids {

class TauGrid final : public GridBase {
 public:
  using GridBase::GridBase;

  QString ColumnCaption(int column) const override;
  bool HasSection(const ModelShape& shape) const override;
  QStringList SelectorEntries() const override;
  int SelectedEntry() const override { return m_selected; }
  void SelectEntry(int entry) override;

  // The store row of transition row r (from 1) of class c (from 1).
  static int StoreRow(const ModelShape& shape, int c, int r) { return (c - 1) * shape.TransitionRows() + r; }

 protected:
  void RegisterDependencies() override;
  void TargetBounds(const ModelShape& shape, int& lastRow, int& lastColumn) const override;
  void FillCells(const ModelShape& shape, bool defaults) override;
  void UpdateBookmarks() override;
  void Resize(const ModelShape& shape) override;
  bool ReadSection(const ModelShape& shape, const QStringList& lines, int& cursor) override;
  bool WriteSection(const ModelShape& shape, QStringList& lines) override;
  std::vector<ProbabilityVector> VectorsOf(const ModelShape& shape) override;

 private:
  // The transitions of each class: the first, then one per later occasion.
  static int TransitionsPerClass(const ModelShape& shape);
  // The occasion a transition row starts from (1 for the rows of the first transition).
  static int FromTime(const ModelShape& shape, int r);
  QString RowCaption(const ModelShape& shape, int r) const;
  // The cells of one file line of class c: rows first to last, each with its S target statuses.
  std::vector<CellRef> Cells(const ModelShape& shape, int c, int firstRow, int lastRow);
  QString Position(const ModelShape& shape, int c, int n, int firstRow) const;

  int m_selected = 0;
  int m_sizedRowsPerClass = 0;  // R when the store was last sized
};

}  // namespace kov::grids
