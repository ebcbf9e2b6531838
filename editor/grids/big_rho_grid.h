// Big rho, the response probabilities of the status items: the restriction codes (identity 13),
// one sub-grid per class and occasion, or the starting values (identity 8), one sub-grid per
// class that holds for every occasion. Each sub-grid has one row per status item and response
// category and one column per status; the selector shows one sub-grid at a time, and the
// grid's cells are those of the selected sub-grid.
#pragma once

#include <vector>

#include "grid_base.h"

namespace kov::grids {

class BigRhoGridSubClass {
 public:
  // time 0 stands for all occasions (the starting values).
  BigRhoGridSubClass(int classNumber, int time) : m_class(classNumber), m_time(time) {}

  int ClassNumber() const { return m_class; }
  int Time() const { return m_time; }
  KovGridImplementer& Implementer() { return m_impl; }
  const KovGridImplementer& Implementer() const { return m_impl; }

 private:
  int m_class;
  int m_time;
  KovGridImplementer m_impl;
};

class BigRhoGrid final : public GridBase {
 public:
  using GridBase::GridBase;

  void Clear() override;
  void Setup() override;
  QString ColumnCaption(int column) const override;
  bool HasSection(const ModelShape& shape) const override;
  QStringList SelectorEntries() const override;
  int SelectedEntry() const override { return m_subGrids.empty() ? -1 : m_selected; }
  void SelectEntry(int entry) override;

  int SubGridCount() const { return static_cast<int>(m_subGrids.size()); }
  // The sub-grid of class c at occasion t (t 0 for the starting values); null when absent.
  const BigRhoGridSubClass* SubGrid(int c, int t) const;

  // The sub-grid row of category k (from 1) of status item i (from 1).
  static int StoreRow(const ModelShape& shape, int i, int k) { return (i - 1) * shape.maxStatusCategories + k; }

 protected:
  KovGridImplementer& Current() override;
  const KovGridImplementer& Current() const override;
  void RegisterDependencies() override;
  void TargetBounds(const ModelShape& shape, int& lastRow, int& lastColumn) const override;
  void FillCells(const ModelShape& shape, bool defaults) override;
  bool NeedsResize(const ModelShape& shape) const override;
  void UpdateBookmarks() override;
  bool ReadSection(const ModelShape& shape, const QStringList& lines, int& cursor) override;
  bool WriteSection(const ModelShape& shape, QStringList& lines) override;
  std::vector<ProbabilityVector> VectorsOf(const ModelShape& shape) override;
  bool IsCellFixed(int bookmark, int column) const override;

 private:
  // Occasions with a sub-grid of their own: every occasion for the codes, one set of starting
  // values (the engine reads them for occasion 1 and copies them to the later ones).
  int Times(const ModelShape& shape) const;
  BigRhoGridSubClass* FindSubGrid(int c, int t);
  // One file line: category k of status s in the sub-grid, for every status item.
  std::vector<CellRef> Cells(const ModelShape& shape, BigRhoGridSubClass& sub, int k, int s);
  static QString Position(int c, int t);

  std::vector<BigRhoGridSubClass> m_subGrids;
  int m_selected = 0;
  int m_sizedCategories = 0;  // Ks when the sub-grids were last sized
};

}  // namespace kov::grids
