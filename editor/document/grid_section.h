// What the document needs of each of the fourteen parameter grids. The grid classes implement
// this (their common interface derives from it); the document calls them in the fixed file
// order to clear them and to read and write their sections of a control file.
#pragma once

#include <QStringList>
#include <QVariant>
#include <array>
#include <vector>

#include "control_file_data.h"

namespace kov::document {

// Grid identities: the key under which the window keeps each grid.
enum GridIdentity : int {
  kGammaRestrictions = 0,
  kLittleRhoRestrictions = 1,
  kDeltaRestrictions = 2,
  kTauRestrictions = 3,
  kClassLabels = 4,
  kClassItems = 5,
  kStatusLabels = 6,
  kStatusItems = 7,
  kBigRhoStartingValues = 8,
  kGammaStartingValues = 9,
  kLittleRhoStartingValues = 10,
  kDeltaStartingValues = 11,
  kTauStartingValues = 12,
  kBigRhoRestrictions = 13,
};
inline constexpr int kGridCount = 14;

// The order of the grids' sections in a control file, which is also the order in which the
// document clears, reads and writes them.
inline constexpr std::array<int, kGridCount> kGridFileOrder = {
    kClassLabels,          kStatusLabels,          kClassItems,          kStatusItems,
    kGammaRestrictions,    kDeltaRestrictions,     kTauRestrictions,     kLittleRhoRestrictions,
    kBigRhoRestrictions,   kGammaStartingValues,   kDeltaStartingValues, kTauStartingValues,
    kLittleRhoStartingValues, kBigRhoStartingValues};

// Column of an items grid (rows 1 to the number of items) that holds the item's number of
// response categories. The document reads and writes these counts itself, on the
// response-category lines that precede every grid section.
inline constexpr int kResponseCategoryColumn = 2;

class GridSection {
 public:
  virtual ~GridSection() = default;

  virtual int iIdentity() const = 0;

  // Empties the table.
  virtual void Clear() = 0;
  // Sizes and fills the cell store from the document's current counts (defaults in empty cells).
  virtual void Setup() = 0;

  // Reads the grid's section from lines[cursorIn] on. On success returns true with cursorOut on
  // the first line after the section; a value that does not parse and that the grid can read
  // past is left empty and added to findings, for the document to ask about once the sections
  // are read. A failure that stops the reading is added to findings last, and then it returns
  // false. Shows nothing. A section that the model does not have reads no line.
  virtual bool bReadData(const QStringList& lines, int cursorIn, int& cursorOut,
                         std::vector<Diagnostic>& findings) = 0;
  // The grid's section for writing: its lines, or the diagnostic of the first value that cannot
  // be written (its line counting the section's lines from 1). Shows nothing.
  virtual SectionLines WriteData() = 0;

  // One cell of the store, rows from 1, column 0 the row caption. Empty when out of range.
  virtual QVariant vCellValue(int row, int column) const = 0;
  virtual void SetCellValue(int row, int column, const QVariant& value) = 0;
};

}  // namespace kov::document
