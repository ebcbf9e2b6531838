// Stands in for the fourteen grid classes: each section is kept as its lines of values, as many
// lines with as many values as the engine's control-file reader takes for the document's
// current model. Enough for files to round-trip through the document.
#pragma once

#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

#include "document/document.h"

namespace kov::document::test {

class PlainGrids;

class PlainGrid final : public GridSection {
 public:
  PlainGrid(int identity, const PlainGrids& owner) : m_identity(identity), m_owner(owner) {}

  int iIdentity() const override { return m_identity; }
  void Clear() override;
  void Setup() override;
  bool bReadData(const QStringList& lines, int cursorIn, int& cursorOut,
                 std::vector<Diagnostic>& replaced) override;
  SectionLines WriteData() override;
  QVariant vCellValue(int row, int column) const override;
  void SetCellValue(int row, int column, const QVariant& value) override;

  // Sizes the section for the current model and fills it with value(n), n counting its values
  // from 0 in file order.
  void Fill(const std::function<QString(int)>& value);

  std::vector<QStringList> rows;  // one entry per line of the section
  bool failWrite = false;         // WriteData fails, as a grid does on a value it cannot write

 private:
  int m_identity;
  const PlainGrids& m_owner;
  QStringList m_categories;  // items grids: the "# of RC's" cells of rows 1 to n
};

class PlainGrids {
 public:
  // Creates the fourteen grids and attaches them to the document.
  explicit PlainGrids(Document& document);

  PlainGrid& operator[](int identity) { return *m_grids.at(identity); }
  Document& document() const { return m_document; }
  // The number of values on each line of the grid's section for the current model.
  std::vector<int> LineLengths(int identity) const;

 private:
  Document& m_document;
  std::vector<std::unique_ptr<PlainGrid>> m_grids;
};

}  // namespace kov::document::test
