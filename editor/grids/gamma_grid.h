// Gamma, the prevalences of the latent classes: the restriction codes (identity 0) or the
// starting values (identity 9), one row per class.
#pragma once

#include "grid_base.h"

namespace kov::grids {

class GammaGrid final : public GridBase {
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
};

}  // namespace kov::grids
