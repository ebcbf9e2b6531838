#include "status.h"

namespace kov {

std::int32_t ShownCodeOf(const Status& status) {
  switch (status.Code()) {
    case kZeroTauDenominatorConstrained: return kShownZeroTauDenominatorConstrained;
    case kZeroTauDenominatorFree: return kShownZeroTauDenominatorFree;
    case kStartValuesDoNotSum:
    case kRestrictionsInconsistent: return status.Shown();
    default: return status.Code();
  }
}

std::int32_t RunResultOf(const Status& status) {
  if (status.IsOk()) return kRunCompleted;
  if (status.IsRecorded()) return status.Code();
  switch (status.Code()) {
    case kZeroTauDenominatorConstrained:
    case kZeroTauDenominatorFree:
    case kStartValuesDoNotSum:
    case kRestrictionsInconsistent:
    case kBadRunSetting: return kRunRefused;
    default: return status.Code();
  }
}

}  // namespace kov
