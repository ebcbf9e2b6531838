// The driver's one Record at its exit: what reaches lGetKovError and what the driver returns.
#include "base/engine_status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "base/status_record.h"
#include "input/model.h"

namespace kov {
namespace {

TEST(Record, MapsEachEndOfARunToItsShownCodeAndDriverResult) {
  constexpr std::int32_t kUntouched = -77;
  struct Case {
    const char* name;
    Status status;
    std::int32_t result;
    std::int32_t shownCode;  // kUntouched: nothing recorded
  };
  const Case cases[] = {
      {"success", Status(), kRunCompleted, kUntouched},
      {"zero tau denominator, constrained", Status(kZeroTauDenominatorConstrained, "m"), 0, 1},
      {"zero tau denominator, free", Status(kZeroTauDenominatorFree, "m"), 0, 2},
      {"start values: three vectors", Status::Check(kStartValuesDoNotSum, 3, "m"), 0, 3},
      {"restrictions: check 6", Status::Check(kRestrictionsInconsistent, 6, "m"), 0, 6},
      {"run setting", Status(kBadRunSetting, "m"), 0, kBadRunSetting},
      {"write failure", Status(ENOSPC, "m"), ENOSPC, ENOSPC},
      {"engine failure", Status(kFrequencyTooLarge, "m"), kFrequencyTooLarge, kFrequencyTooLarge},
      {"recorded by its step", Status::Recorded(kRunAborted), kRunAborted, kUntouched},
      {"recorded control-file failure", Status::Recorded(0), 0, kUntouched},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    run::ResetStatusForTesting();
    run::SetEngineError(kUntouched, "before");
    EXPECT_EQ(run::Record(c.status), c.result);
    std::string message;
    EXPECT_EQ(run::ReadEngineError(&message), c.shownCode);
    EXPECT_EQ(input::TrimRight(message), c.shownCode == kUntouched ? "before" : "m");
  }
}

}  // namespace
}  // namespace kov
