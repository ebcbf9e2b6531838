// The class items (identity 5) or the status items (identity 7): one row per item with its
// label, its number of response categories and the labels of those categories.
#pragma once

#include "grid_base.h"

namespace kov::grids {

class ItemsGrid final : public GridBase {
 public:
  using GridBase::GridBase;

  QString ColumnCaption(int column) const override;
  bool HasSection(const ModelShape& shape) const override;

 protected:
  void RegisterDependencies() override;
  void TargetBounds(const ModelShape& shape, int& lastRow, int& lastColumn) const override;
  void FillCells(const ModelShape& shape, bool defaults) override;
  bool ReadSection(const ModelShape& shape, const QStringList& lines, int& cursor) override;
  bool WriteSection(const ModelShape& shape, QStringList& lines) override;
  CellKind KindOf(int bookmark, int column) const override;
  void AfterCommit(int bookmark, int column) override;

 private:
  bool IsClasses() const;
  const std::vector<int>& Categories(const ModelShape& shape) const;
};

}  // namespace kov::grids
