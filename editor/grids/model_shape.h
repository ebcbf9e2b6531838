// The model dimensions the grids are sized from, taken as the engine takes them when it reads a
// control file: 0 classes or statuses count as 1, the extra transition rows come from the counts
// as written, and a section exists exactly when the engine reads it.
#pragma once

#include <vector>

namespace kov::grids {

class GridHost;

struct ModelShape {
  int classes = 1;          // C, at least 1
  int statuses = 1;         // S, at least 1
  int statusesAsWritten = 0;
  int classItems = 0;       // Ic
  int statusItems = 0;      // Is
  int occasions = 0;        // T
  int order = 1;            // 1 first-order, 2 second-order process
  int extraRows = 0;        // E = (T - 2) x S^order from three occasions on
  std::vector<int> classCategories;   // of every class item
  std::vector<int> statusCategories;  // of every status item
  int maxClassCategories = 0;   // Kc
  int maxStatusCategories = 0;  // Ks
  bool restrictionsInFile = false;  // restriction codes are written only with iterations to run
  bool startValuesInFile = false;   // start values are written only for a new estimation

  bool HasClasses() const { return classItems > 0; }
  bool HasStatuses() const { return statusItems > 0; }
  // Whether selector entries and captions name the class.
  bool NamesClasses() const { return HasClasses() || classes > 1; }
  int TransitionRows() const { return statuses + extraRows; }  // R
  bool HasLaterTransitions() const { return occasions >= 3 && extraRows > 0; }
  // Rows of each transition after the first: S^order.
  int LaterBlockRows() const { return occasions >= 3 ? extraRows / (occasions - 2) : 0; }
};

ModelShape CurrentShape(const GridHost& host);

// The number of response categories in an items grid's row, 0 when it is not a number.
int CategoryCount(const GridHost& host, int itemsIdentity, int item);

}  // namespace kov::grids
