#include "run_support.h"

#include "engine_status.h"
#include "input/messages.h"
#include "input/parameter_checks.h"
#include "result_codes.h"

namespace kov::run {

std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

std::int32_t ReportWriteFailed(std::int32_t status, const std::string& reportName) {
  SetEngineError(status, input::Message("Unable to write to output file: ", reportName,
                                        "; Please make sure that this is a valid file path and "
                                        "name, and that the file is available for writing."));
  return status;
}

std::int32_t OpenFailed(std::int32_t status, std::string_view prefix, const std::string& name,
                        std::string_view suffix) {
  SetEngineError(status, input::Message(prefix, name, suffix));
  return status;
}

std::int32_t CreateReport(const std::string& name, input::TextOutput* report) {
  const std::int32_t status = report->Create(name);
  if (status != kStatusOk) {
    return OpenFailed(status, "Unable to open output file for writing: ", name, kValidPathAndName);
  }
  return kStatusOk;
}

std::int32_t CheckStartValuesAndRestrictions(const input::Model& model, bool checkRestrictions,
                                             input::TextOutput& report,
                                             const std::string& reportName) {
  // A failed check is no file or memory failure: the run's result is 0.
  constexpr std::int32_t kNoIoError = 0;
  std::int32_t failures = 0;
  std::int32_t status = input::CheckStartValueSums(model.dims, model.start, report, &failures);
  if (status != kStatusOk) return ReportWriteFailed(status, reportName);
  if (failures != 0) {
    SetEngineError(failures, "Starting values do not sum to 1.0 .  Please see output file for details.");
    return kNoIoError;
  }
  if (!checkRestrictions) return kRunCompleted;
  std::int32_t failedCheck = 0;
  status = input::CheckRestrictions(model.dims, model.start, model.codes, report, &failedCheck);
  if (status != kStatusOk) return ReportWriteFailed(status, reportName);
  if (failedCheck != 0) {
    SetEngineError(failedCheck, "One or more parameter restrictions was not appropriate.  "
                                "Please see output file for details.");
    return kNoIoError;
  }
  return kRunCompleted;
}

}  // namespace kov::run
