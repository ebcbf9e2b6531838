// What the fourteen grid classes share: forwarding to their KovGridImplementer, the character
// filter, the commit checks, the cell styles, the change propagation, and the reading and
// writing of lines of values.
#pragma once

#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

#include "kov_grid.h"
#include "kov_grid_implementer.h"
#include "model_shape.h"

namespace kov::grids {

// What a cell holds, which decides its filter, its commit check and whether it is locked.
enum class CellKind { kCaption, kLabel, kCategoryCount, kCode, kStartValue, kUnused };

// The code of a category row that an item does not have: its starting value must be 0.
inline const QString kNoCategoryCode = QStringLiteral("-");

// Labels in the control file are at most this long.
inline constexpr int kLabelLength = 8;

bool IsRestrictionGrid(int identity);
bool IsStartValueGrid(int identity);
// The restriction grid of the same parameter as a starting-value grid; -1 for other grids.
int RestrictionGridOf(int startValueIdentity);
// The name of the table in captions and messages ("Gamma Constraint", "Tau starting value").
QString TableName(int identity);

class GridBase : public KovGrid {
 public:
  explicit GridBase(GridHost& host) : m_host(host) {}

  // GridSection
  int iIdentity() const override { return m_identity; }
  void Clear() override;
  void Setup() override;
  bool bReadData(const QStringList& lines, int cursorIn, int& cursorOut,
                 std::vector<document::Diagnostic>& findings) override;
  document::SectionLines WriteData() override;
  QVariant vCellValue(int row, int column) const override { return Current().vCellValue(row, column); }
  void SetCellValue(int row, int column, const QVariant& value) override {
    Current().SetCellValue(row, column, value);
  }

  // KovGrid
  QString sLabel() const override { return m_impl.sLabel(); }
  void SetLabel(const QString& label) override { m_impl.SetLabel(label); }
  QVariant vTag() const override { return m_impl.vTag(); }
  void SetTag(const QVariant& tag) override { m_impl.SetTag(tag); }
  int iRowLowerBound() const override { return Current().iRowLowerBound(); }
  int iColLowerBound() const override { return Current().iColLowerBound(); }
  int iRowUpperBound() const override { return Current().iRowUpperBound(); }
  int iColUpperBound() const override { return Current().iColUpperBound(); }
  int iFirstBookmark() const override { return Current().iFirstBookmark(); }
  int iLastBookmark() const override { return Current().iLastBookmark(); }
  void Dimensionalize(int firstRow, int lastRow, int firstColumn, int lastColumn, bool keep) override;
  void FetchCellStyle(unsigned conditions, int split, int bookmark, int column,
                      CellStyle& style) const override;
  void RefreshGridCtrl() override;
  void Init(int identity, GridControl* control) override;
  void GridKeyPress(int& keyAscii, int bookmark, int column, const QString& cellText) const override;
  int iRepaintStatus() const override { return m_impl.iRepaintStatus(); }
  void SetRepaintStatus(int status) override { m_impl.SetRepaintStatus(status); }
  CellStore& objCurrentArray() override { return Current().objCurrentArray(); }
  const CellStore& objCurrentArray() const override { return Current().objCurrentArray(); }
  void DataChanged() override;
  void BindControl(GridControl* control) override { m_control = control; }
  QString ColumnCaption(int column) const override;
  QStringList SelectorEntries() const override { return {}; }
  int SelectedEntry() const override { return -1; }
  void SelectEntry(int) override {}
  bool bCommitCell(int bookmark, int column, const QString& text) override;
  QString sCommitNote() const override { return m_commitNote; }
  QString sCellNote(int bookmark, int column) const override;

  // One vector of starting values that the engine requires to sum to one, with the restriction
  // code of each entry (empty when the grid has no restrictions to offer).
  struct ProbabilityVector {
    QString name;  // the row as the user sees it: "class LC 1", "item VAR 1, class LC 2"
    std::vector<CellStore*> stores;
    std::vector<std::pair<int, int>> cells;  // row and column in the matching store
    std::vector<QString> codes;
    QString Text(std::size_t n) const;
  };
  // The vectors of a starting-value grid whose section is written; none for any other grid.
  std::vector<ProbabilityVector> ProbabilityVectors();
  std::vector<ProbabilityVector> ProbabilityVectors() const {
    return const_cast<GridBase*>(this)->ProbabilityVectors();
  }

  // Whether the grid's section is in the control file for the current model.
  virtual bool HasSection(const ModelShape& shape) const = 0;

 protected:
  // One cell of a store, as a place to read a value into or write it from.
  struct CellRef {
    CellStore* store;
    int row;
    int column;
  };

  // The implementer whose store the control shows: the grid's own, or the selected sub-grid's.
  virtual KovGridImplementer& Current() { return m_impl; }
  virtual const KovGridImplementer& Current() const { return m_impl; }

  virtual void RegisterDependencies() = 0;
  // Last row and last column of the store for the model (first row 1, first column 0).
  virtual void TargetBounds(const ModelShape& shape, int& lastRow, int& lastColumn) const = 0;
  // Row captions in column 0 and the default text of empty cells.
  virtual void FillCells(const ModelShape& shape, bool defaults) = 0;
  virtual bool NeedsResize(const ModelShape& shape) const;
  // Sizes the store for the model; by default cells keep their row and column.
  virtual void Resize(const ModelShape& shape);
  // Sizes the implementer's store, each new row taking the cells of the old row oldRow(row)
  // names (none when it names no row): rows that hold a parameter keep it when the rows
  // before them change in number.
  static void ResizeByRows(KovGridImplementer& impl, int lastRow, int lastColumn,
                           const std::function<int(int)>& oldRow);
  // The narrowed rows of a grid with a selector; all rows otherwise.
  virtual void UpdateBookmarks() { Current().ShowAllRows(); }
  virtual bool ReadSection(const ModelShape& shape, const QStringList& lines, int& cursor) = 0;
  virtual bool WriteSection(const ModelShape& shape, QStringList& lines) = 0;

  virtual CellKind KindOf(int bookmark, int column) const;
  // A starting value whose restriction is 0 is fixed at it.
  virtual bool IsCellFixed(int bookmark, int column) const;
  // After an accepted edit that changed the cell.
  virtual void AfterCommit(int /*bookmark*/, int /*column*/) {}
  // A value of the section, on the file's line (from 1), that does not parse: true to leave the
  // cell empty and read on, which the document asks about once the sections are read.
  virtual bool AcceptInvalidValue(const QString& position, int line);
  // The starting-value vectors of the model, the section being written.
  virtual std::vector<ProbabilityVector> VectorsOf(const ModelShape& /*shape*/) { return {}; }
  // The restriction code of the cell of the same parameter, as typed.
  QString CodeText(int row, int column) const;

  // Reads one line of values into the cells; position(n) names the n-th value in messages.
  bool ReadValueLine(const QStringList& lines, int& cursor, const std::vector<CellRef>& cells,
                     const std::function<QString(int)>& position);
  // Appends one line of the cells' values (an empty cell as -1); failure(n) is the message of
  // the diagnostic for a value that is not of the grid's type. A line of no values is not
  // written.
  bool WriteValueLine(QStringList& lines, const std::vector<CellRef>& cells,
                      const std::function<QString(int)>& failure);
  // The cell text of a value token: the token itself, or empty text for -1. False when the
  // token is not of the grid's type (a 16-bit code or a single-precision value).
  bool TokenToCell(const QString& token, QString* cellText) const;
  bool IsValueOfType(const QString& text) const;

  // Captions from the labels and items grids, with their defaults when a cell is empty.
  QString ClassCaption(int c) const;
  QString StatusCaption(int s) const;
  QString ItemCaption(int itemsIdentity, int item) const;
  QString CategoryCaption(int itemsIdentity, int item, int category) const;

  // Records a failure that stops the section's reading, on the file's line (from 1), about
  // the table or the value position names in it; false, for the reader to return.
  bool StopReading(int line, const QString& message, const QString& position = {});
  bool IsRestrictions() const { return IsRestrictionGrid(m_identity); }
  GridHost& Host() const { return m_host; }
  // The default text of a new value cell: a free parameter, or no starting value yet.
  QString DefaultValue() const { return IsRestrictions() ? QStringLiteral("1") : QString(); }
  void FillEmpty(CellStore& store, int row, int column, const QString& text);

  KovGridImplementer m_impl;

 private:
  GridHost& m_host;
  int m_identity = -1;
  GridControl* m_control = nullptr;
  QString m_commitNote;
  // Where the section being read or written puts its findings; null outside bReadData and
  // WriteData.
  std::vector<document::Diagnostic>* m_findings = nullptr;
  std::optional<document::Diagnostic>* m_writeProblem = nullptr;
};

}  // namespace kov::grids
