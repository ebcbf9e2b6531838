#include "run_support.h"

#include "engine_status.h"
#include "input/messages.h"
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

}  // namespace kov::run
