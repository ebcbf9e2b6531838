// The two kinds of run; the numbers are those the editor and the run host pass along.
#pragma once

namespace kov::report {

enum class RunType { kEm = 1, kDa = 2 };

}  // namespace kov::report
