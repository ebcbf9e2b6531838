// Delta, the status prevalences at the first occasion per class: the restriction codes
// (identity 2) or the starting values (identity 11), one row per class, one column per status.
#pragma once

#include "grid_base.h"

namespace kov::grids {

class DeltaGrid final : public GridBase {
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
  std::vector<ProbabilityVector> VectorsOf(const ModelShape& shape) override;

 private:
  // The file gives all of delta on one line, class by class.
  std::vector<CellRef> FileOrder(const ModelShape& shape);
};

}  // namespace kov::grids
