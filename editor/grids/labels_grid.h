// The names of the latent classes (identity 4) or of the latent statuses (identity 6): one row
// per class or status, the label in column 1.
#pragma once

#include "grid_base.h"

namespace kov::grids {

class LabelsGrid final : public GridBase {
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

 private:
  bool IsClasses() const;
  int Rows(const ModelShape& shape) const;
};

// A label token of the control file: apostrophes first and last, at least two characters.
bool IsQuotedLabel(const QString& token);

}  // namespace kov::grids
