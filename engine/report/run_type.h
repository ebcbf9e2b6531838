// The report names the kind of run by the engine's one run type.
#pragma once

#include "base/run_type.h"

namespace kov::report {

using kov::RunType;

}  // namespace kov::report
