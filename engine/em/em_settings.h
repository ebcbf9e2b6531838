// EM settings that cannot make a run, refused before anything is written.
#pragma once

#include "base/status.h"
#include "input/model.h"

namespace kov::em {

// A new estimation with a maximum of 0 iterations: such a control file holds no restriction
// codes, so the lines read as its start values are the codes the editor still writes, and the
// run could only evaluate them. kBadRunSetting with the reason, or success.
Status RefuseUnworkableEmSettings(const input::Model& model);

}  // namespace kov::em
