// Little rho, the response probabilities of the class items: the restriction codes (identity 1)
// or the starting values (identity 10). One row per class item and response category, one
// column per class.
#pragma once

#include "grid_base.h"

namespace kov::grids {

class LittleRhoGrid final : public GridBase {
 public:
  using GridBase::GridBase;

  QString ColumnCaption(int column) const override;
  bool HasSection(const ModelShape& shape) const override;

  // The store row of category k (from 1) of class item i (from 1).
  static int StoreRow(const ModelShape& shape, int i, int k) { return (i - 1) * shape.maxClassCategories + k; }

 protected:
  void RegisterDependencies() override;
  void TargetBounds(const ModelShape& shape, int& lastRow, int& lastColumn) const override;
  void FillCells(const ModelShape& shape, bool defaults) override;
  bool ReadSection(const ModelShape& shape, const QStringList& lines, int& cursor) override;
  bool WriteSection(const ModelShape& shape, QStringList& lines) override;
  std::vector<ProbabilityVector> VectorsOf(const ModelShape& shape) override;
  bool AcceptInvalidValue(const QString& position, int line) override;
  void Resize(const ModelShape& shape) override;

 private:
  // One file line: category k of class c for every class item.
  std::vector<CellRef> Cells(const ModelShape& shape, int k, int c);
  static QString Position(int k, int c, int n);

  int m_sizedCategories = 0;  // Kc when the store was last sized
};

}  // namespace kov::grids
