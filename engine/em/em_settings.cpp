#include "em_settings.h"

#include "base/result_codes.h"

namespace kov::em {

Status RefuseUnworkableEmSettings(const input::Model& model) {
  if (model.estimationType == 1 && model.maxIterations <= 0) {
    return Status(kBadRunSetting,
                  "A new estimation needs at least one EM iteration: with a maximum of 0 the "
                  "control file holds no restriction codes, and its start values cannot be told "
                  "apart from them. Set the maximum number of iterations on the Estimation tab "
                  "above 0, or choose \"No estimation, goodness-of-fit only\" to evaluate "
                  "estimates from a file.");
  }
  return {};
}

}  // namespace kov::em
