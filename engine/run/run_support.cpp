#include "run_support.h"

#include "base/engine_status.h"
#include "base/result_codes.h"
#include "input/messages.h"
#include "input/parameter_checks.h"
#include "report/check_reports.h"

namespace kov::run {

std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

kov::Status WriteFailure(std::int32_t status, const std::string& reportName) {
  return kov::Status(status, input::Message("Unable to write to output file: ", reportName,
                                       "; Please make sure that this is a valid file path and "
                                       "name, and that the file is available for writing."));
}

std::int32_t ReportWriteFailed(std::int32_t status, const std::string& reportName) {
  const kov::Status failure = WriteFailure(status, reportName);
  SetEngineError(failure.Code(), failure.Message());
  return status;
}

kov::Status OpenFailure(std::int32_t status, std::string_view prefix, const std::string& name,
                   std::string_view suffix) {
  return kov::Status(status, input::Message(prefix, input::NameWithFullPath(name), suffix));
}

kov::Status CreateReport(const std::string& name, input::TextOutput* report) {
  const std::int32_t status = report->Create(name);
  if (status != kStatusOk) {
    return OpenFailure(status, "Unable to open output file for writing: ", name, kValidPathAndName);
  }
  return {};
}

kov::Status CheckStartValuesAndRestrictions(const input::Model& model, bool checkRestrictions,
                                       input::TextOutput& report, const std::string& reportName) {
  const auto failures = input::FindStartValueSumFailures(model.dims, model.start);
  std::int32_t status = report::WriteStartValueFailures(report, failures);
  if (status != kStatusOk) return WriteFailure(status, reportName);
  if (!failures.empty()) {
    return kov::Status::Check(kStartValuesDoNotSum, static_cast<std::int32_t>(failures.size()),
                         "Starting values do not sum to 1.0 .  Please see output file for details.");
  }
  if (!checkRestrictions) return {};
  const input::RestrictionFinding finding =
      input::FindRestrictionInconsistency(model.dims, model.start, model.codes);
  if ((status = report::WriteRestrictionFinding(report, finding)) != kStatusOk) {
    return WriteFailure(status, reportName);
  }
  if (finding.check != 0) {
    return kov::Status::Check(kRestrictionsInconsistent, finding.check,
                         "One or more parameter restrictions was not appropriate.  "
                         "Please see output file for details.");
  }
  return {};
}

}  // namespace kov::run
