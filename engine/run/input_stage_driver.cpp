// The drivers as far as the inputs: the control file is read and the data counted and loaded,
// so that every input failure ends a run with its code and message. Estimation follows here.
#include <string>

#include "../input/control_file.h"
#include "../input/data_file.h"
#include "drivers.h"
#include "engine_status.h"
#include "result_codes.h"
#include "status_record.h"

namespace kov::run {

namespace {

std::int32_t RunInputStages(const char* controlFilePath, std::int32_t) {
  input::Model model;
  if (!input::ReadControlFile(std::string(controlFilePath, kPathBytes), &model)) {
    return RecordedErrorCode();
  }
  const input::DataLayout layout = input::DataLayoutOf(model);
  std::int32_t patternCount = 0;
  double subjectCount = 0.0;
  // A failed count stays recorded; the loading pass reports its own failure.
  input::CountDataRecords(layout, &patternCount, &subjectCount);

  input::DataFileReader reader;
  std::int32_t status = input::OpenDataFile(layout, &reader);
  if (status != kStatusOk) return status;
  input::PatternTable patterns;
  status = input::LoadPatterns(reader, model, layout, patternCount, &patterns);
  if (status != kStatusOk) return status;
  return kRunCompleted;
}

}  // namespace

std::int32_t RecordedErrorCode() {
  std::string message;
  return ReadEngineError(&message);
}

std::int32_t RunEmDriver(const char* controlFilePath, std::int32_t pathLength) {
  return RunInputStages(controlFilePath, pathLength);
}

std::int32_t RunDaDriver(const char* controlFilePath, std::int32_t pathLength) {
  PublishProgress(0, -9.0);
  return RunInputStages(controlFilePath, pathLength);
}

}  // namespace kov::run
