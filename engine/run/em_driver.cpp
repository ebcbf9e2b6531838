// The EM run: inputs, report header, restrictions report, checks, start values, run end.
#include <algorithm>
#include <string>

#include "drivers.h"
#include "engine_status.h"
#include "input/control_file.h"
#include "input/data_file.h"
#include "input/parameter_checks.h"
#include "kovos.h"
#include "report/job_header.h"
#include "report/parameter_tables.h"
#include "report/restrictions_report.h"
#include "report/run_end.h"
#include "result_codes.h"
#include "run_support.h"
#include "status_record.h"

namespace kov::run {

namespace {

using input::TrimRight;

// A failure that is no file or memory operation: the run ends with result 0.
constexpr std::int32_t kNoIoError = 0;

class EmRun {
 public:
  std::int32_t Run(const char* controlFilePath);

 private:
  std::int32_t OpenFiles();
  std::int32_t CheckStartValues();
  std::int32_t WriteFailed(std::int32_t status) { return ReportWriteFailed(status, m_reportName); }

  input::Model m_model;
  input::DataLayout m_layout;
  input::DataFileReader m_data;
  input::TextOutput m_report;
  input::TextOutput m_estimates;
  std::string m_reportName;
  report::JobInfo m_job;
  std::uint64_t m_startTick = 0;
};

std::int32_t EmRun::OpenFiles() {
  std::int32_t status = input::OpenDataFile(m_layout, &m_data);
  if (status != kStatusOk) return status;
  m_reportName = TrimRight(m_model.emOutputFile);
  if ((status = CreateReport(m_reportName, &m_report)) != kStatusOk) return status;
  if (m_model.writeEstimates) {
    const std::string name = TrimRight(m_model.emEstimatesFile);
    if ((status = m_estimates.Create(name)) != kStatusOk) {
      return OpenFailed(status, "Unable to open parameter estimates file for reading/writing: ",
                        name, kValidPathAndName);
    }
  }
  return kStatusOk;
}

// The big rho start values of the control file are those of occasion 1; every later occasion
// starts from them.
void CopyFirstOccasionBigRho(const input::ModelDimensions& d, input::ParameterSet* start) {
  const auto shape = input::BigRhoShape(d);
  const std::size_t perOccasion = shape.Size() / static_cast<std::size_t>(d.OccasionExtent());
  for (std::int32_t t = 1; t < d.OccasionExtent(); ++t) {
    std::copy_n(start->bigRho.begin(), perOccasion, start->bigRho.begin() + t * perOccasion);
  }
}

std::int32_t EmRun::CheckStartValues() {
  std::int32_t failures = 0;
  std::int32_t status = input::CheckStartValueSums(m_model.dims, m_model.start, m_report, &failures);
  if (status != kStatusOk) return WriteFailed(status);
  if (failures != 0) {
    SetEngineError(failures, "Starting values do not sum to 1.0 .  Please see output file for details.");
    return kNoIoError;
  }
  if (!m_model.startValuesFromFile) {
    std::int32_t failedCheck = 0;
    status = input::CheckRestrictions(m_model.dims, m_model.start, m_model.codes, m_report,
                                      &failedCheck);
    if (status != kStatusOk) return WriteFailed(status);
    if (failedCheck != 0) {
      SetEngineError(failedCheck, "One or more parameter restrictions was not appropriate.  "
                                  "Please see output file for details.");
      return kNoIoError;
    }
  }
  return kRunCompleted;
}

std::int32_t EmRun::Run(const char* controlFilePath) {
  m_startTick = kovos::TickCount();
  m_job.started = LocalNow();
  m_job.runType = report::RunType::kEm;
  const std::string pathField(controlFilePath, kPathBytes);
  if (!input::ReadControlFile(pathField, &m_model)) return RecordedErrorCode();
  m_job.controlFile = TrimRight(pathField);

  m_layout = input::DataLayoutOf(m_model);
  // A failed count stays recorded; the loading pass below reports its own failure.
  input::CountDataRecords(m_layout, &m_job.patternCount, &m_job.subjectCount);

  std::int32_t status = OpenFiles();
  if (status != kStatusOk) return status;
  if ((status = report::WriteJobHeader(m_report, m_model, m_job)) != kStatusOk) {
    return WriteFailed(status);
  }
  if (!m_model.startValuesFromFile) CopyFirstOccasionBigRho(m_model.dims, &m_model.start);
  if (m_model.maxIterations != 0) {
    status = report::WriteRestrictionsReport(m_report, m_model, m_model.codes);
    if (status != kStatusOk) return WriteFailed(status);
  }
  if ((status = CheckStartValues()) != kRunCompleted) return status;

  input::PatternTable patterns;
  status = input::LoadPatterns(m_data, m_model, m_layout, m_job.patternCount, &patterns);
  if (status != kStatusOk) return status;
  if ((status = report::WriteStartValues(m_report, m_model, m_model.start)) != kStatusOk) {
    return WriteFailed(status);
  }

  status = report::WriteRunEnd(m_report, LocalNow(), kovos::TickCount() - m_startTick);
  if (status == kStatusOk) status = m_report.Close();
  if (status != kStatusOk) return WriteFailed(status);
  if ((status = m_estimates.Close()) != kStatusOk) {
    return ReportWriteFailed(status, TrimRight(m_model.emEstimatesFile));
  }
  return kRunCompleted;
}

}  // namespace

std::int32_t RunEmDriver(const char* controlFilePath, std::int32_t) {
  EmRun run;
  return run.Run(controlFilePath);
}

}  // namespace kov::run
