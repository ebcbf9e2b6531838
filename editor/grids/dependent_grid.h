// One dependency between grids: a change of a source (an interface value or another grid)
// makes the dependent grid redo itself at this level before it is shown next.
#pragma once

namespace kov::grids {

struct DependentGrid {
  int identity = 0;  // the dependent grid
  int level = 0;     // RepaintLevel: 1 resize (and propagate further), 2 repaint

  bool operator==(const DependentGrid&) const = default;
};

}  // namespace kov::grids
