// The common interface of the fourteen parameter grids, and what a grid asks of the window that
// keeps it. A grid owns its cells; the visible control only asks it for values and styles.
#pragma once

#include <QRgb>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "document/grid_section.h"
#include "run_type.h"

namespace kov::document {
class Document;
}

namespace kov::grids {

class CellStore;
struct DependentGrid;

// How much of a grid must be redone before it is shown next. A resize includes a repaint.
enum RepaintLevel : int { kRepaintNone = 0, kRepaintResize = 1, kRepaintCells = 2 };

// Colours of a cell: a system colour by name, or a plain red-green-blue colour.
enum class SystemColour { kWindowText, kWindow, kHighlightText, kHighlight, kButtonFace, kGrayText };

struct GridColour {
  bool isSystem = true;
  SystemColour system = SystemColour::kWindowText;
  QRgb rgb = 0;

  static GridColour System(SystemColour colour) { return {true, colour, 0}; }
  static GridColour Plain(int red, int green, int blue) {
    return {false, SystemColour::kWindowText, qRgb(red, green, blue)};
  }
  bool operator==(const GridColour& other) const {
    return isSystem == other.isSystem && (isSystem ? system == other.system : rgb == other.rgb);
  }
};

struct CellStyle {
  GridColour foreColour = GridColour::System(SystemColour::kWindowText);
  GridColour backColour = GridColour::System(SystemColour::kWindow);
  bool locked = false;
};

// Condition flags the control passes with a style request.
enum CellCondition : unsigned { kConditionNone = 0, kConditionCurrentCell = 1 };

// The visible control bound to a grid: rebuilt (columns, captions, selector list) on request.
class GridControl {
 public:
  virtual ~GridControl() = default;
  virtual void Rebuild() = 0;
};

class KovGrid;

// What a grid needs of the window: the document's values, the other grids, the run type, the
// dependency lists and the marking of grids for repaint.
class GridHost {
 public:
  virtual ~GridHost() = default;
  virtual document::Document& Document() const = 0;
  virtual QVariant vGetInterfaceValue(int id) const = 0;
  virtual KovGrid* Grid(int identity) const = 0;
  virtual RunType eRunType() const = 0;
  // A change of source (an interface value identifier or a grid identity) marks the dependent
  // grid for repaint at the recorded level.
  virtual void RegisterDependency(int source, const DependentGrid& dependent) = 0;
  virtual void MarkGridForRepaint(int identity, int level) = 0;
};

// The members in the order of the grid interface; bounds and bookmarks are store rows and
// columns, rows from 1 and column 0 holding the row captions.
class KovGrid : public document::GridSection {
 public:
  virtual QString sLabel() const = 0;
  virtual void SetLabel(const QString& label) = 0;
  virtual QVariant vTag() const = 0;
  virtual void SetTag(const QVariant& tag) = 0;
  // vCellValue and SetCellValue come from GridSection.
  virtual int iRowLowerBound() const = 0;
  virtual int iColLowerBound() const = 0;
  virtual int iRowUpperBound() const = 0;
  virtual int iColUpperBound() const = 0;
  virtual int iFirstBookmark() const = 0;
  virtual int iLastBookmark() const = 0;
  virtual void Dimensionalize(int firstRow, int lastRow, int firstColumn, int lastColumn,
                              bool keep) = 0;
  virtual void FetchCellStyle(unsigned conditions, int split, int bookmark, int column,
                              CellStyle& style) const = 0;
  virtual void RefreshGridCtrl() = 0;
  virtual void Init(int identity, GridControl* control) = 0;
  // Setup comes from GridSection.
  // Filters one typed character for the cell (bookmark, column) that holds cellText while it
  // is edited; a code set to 0 is refused.
  virtual void GridKeyPress(int& keyAscii, int bookmark, int column,
                            const QString& cellText) const = 0;
  virtual int iRepaintStatus() const = 0;
  virtual void SetRepaintStatus(int status) = 0;
  // iIdentity, bReadData, WriteData and Clear come from GridSection.
  virtual CellStore& objCurrentArray() = 0;
  virtual const CellStore& objCurrentArray() const = 0;
  virtual void DataChanged() = 0;

  // What the visible control needs besides: its column captions, the selector list of the
  // tau and big rho grids, and the commit of an edited cell.
  virtual void BindControl(GridControl* control) = 0;
  virtual QString ColumnCaption(int column) const = 0;
  virtual QStringList SelectorEntries() const = 0;
  virtual int SelectedEntry() const = 0;
  virtual void SelectEntry(int entry) = 0;
  // The value check of an edited cell: a refused text is not stored and the cell keeps its
  // value; sCommitNote says why. An accepted one is stored (cut or normalised as the cell wants)
  // and DataChanged follows when it differs. True when accepted.
  virtual bool bCommitCell(int bookmark, int column, const QString& text) = 0;
  // What the last commit did not take as typed: why the text was refused, or how it was cut.
  // Empty when it went in unchanged. The window shows it where the user is looking.
  virtual QString sCommitNote() const = 0;
  // Why a cell is marked (a starting value that is missing, or a row that does not sum to
  // one); empty for a cell that is fine.
  virtual QString sCellNote(int bookmark, int column) const = 0;
};

}  // namespace kov::grids
