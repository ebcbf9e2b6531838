// The data-augmentation run: inputs, report header, restrictions report, the two start-value
// sets, checks, start values, run end.
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

constexpr std::int32_t kNoIoError = 0;
constexpr double kNoCriterion = -9.0;

class DaRun {
 public:
  std::int32_t Run(const char* controlFilePath);

 private:
  std::int32_t ReadStartSets();
  std::int32_t CheckStartValues();
  std::int32_t WriteFailed(std::int32_t status) { return ReportWriteFailed(status, m_reportName); }

  input::Model m_model;
  input::DataLayout m_layout;
  input::DataFileReader m_data;
  input::TextOutput m_report;
  std::string m_reportName;
  report::JobInfo m_job;
  // The set the EM run wrote first (for the series weights) and the chain's start.
  input::ParameterSet m_firstSet;
  std::uint64_t m_startTick = 0;
};

std::int32_t DaRun::ReadStartSets() {
  const std::string name = TrimRight(m_model.daStartValuesFile);
  input::TextInput in;
  std::int32_t status = in.Open(name);
  if (status != kStatusOk) {
    return OpenFailed(status, "Unable to open starting values file for reading: ", name,
                      kValidPathAndName);
  }
  input::AllocateParameters(m_model.dims, &m_firstSet);
  input::ParameterSet second = m_model.start;
  std::int32_t firstIteration = 0, secondIteration = 0;
  status = input::ReadParameterSet(in, m_model.dims, &m_firstSet, &firstIteration);
  if (status == kStatusOk) {
    status = input::ReadParameterSet(in, m_model.dims, &second, &secondIteration);
  }
  if (status != kStatusOk) {
    return OpenFailed(status, "Unable to read starting values from file: ", name,
                      "; Please make sure that this file is properly formatted.");
  }
  m_model.start = std::move(second);
  m_model.startValuesFromFile = true;
  return kStatusOk;
}

std::int32_t DaRun::CheckStartValues() {
  std::int32_t failures = 0;
  std::int32_t status = input::CheckStartValueSums(m_model.dims, m_model.start, m_report, &failures);
  if (status != kStatusOk) return WriteFailed(status);
  if (failures != 0) {
    SetEngineError(failures, "Starting values do not sum to 1.0 .  Please see output file for details.");
    return kNoIoError;
  }
  std::int32_t failedCheck = 0;
  status = input::CheckRestrictions(m_model.dims, m_model.start, m_model.codes, m_report, &failedCheck);
  if (status != kStatusOk) return WriteFailed(status);
  if (failedCheck != 0) {
    SetEngineError(failedCheck, "One or more parameter restrictions was not appropriate.  "
                                "Please see output file for details.");
    return kNoIoError;
  }
  return kRunCompleted;
}

std::int32_t DaRun::Run(const char* controlFilePath) {
  m_startTick = kovos::TickCount();
  m_job.started = LocalNow();
  m_job.runType = report::RunType::kDa;
  PublishProgress(0, kNoCriterion);
  const std::string pathField(controlFilePath, kPathBytes);
  if (!input::ReadControlFile(pathField, &m_model)) return RecordedErrorCode();
  m_job.controlFile = TrimRight(pathField);

  m_reportName = TrimRight(m_model.daOutputFile);
  std::int32_t status = CreateReport(m_reportName, &m_report);
  if (status != kStatusOk) return status;

  m_layout = input::DataLayoutOf(m_model);
  input::CountDataRecords(m_layout, &m_job.patternCount, &m_job.subjectCount);
  if ((status = input::OpenDataFile(m_layout, &m_data)) != kStatusOk) return status;

  // The report names the start values of the chain, which always come from a file here.
  m_model.startValuesFromFile = true;
  if ((status = report::WriteJobHeader(m_report, m_model, m_job)) != kStatusOk) {
    return WriteFailed(status);
  }
  status = report::WriteRestrictionsReport(m_report, m_model, m_model.codes);
  if (status != kStatusOk) return WriteFailed(status);
  if ((status = ReadStartSets()) != kStatusOk) return status;
  if ((status = CheckStartValues()) != kRunCompleted) return status;

  input::PatternTable patterns;
  status = input::LoadPatterns(m_data, m_model, m_layout, m_job.patternCount, &patterns);
  if (status != kStatusOk) return status;
  if ((status = report::WriteStartValues(m_report, m_model, m_model.start)) != kStatusOk) {
    return WriteFailed(status);
  }

  status = report::WriteRunEnd(m_report, LocalNow(), kovos::TickCount() - m_startTick,
                               report::RunType::kDa);
  if (status == kStatusOk) status = m_report.Close();
  if (status != kStatusOk) return WriteFailed(status);
  return kRunCompleted;
}

}  // namespace

std::int32_t RunDaDriver(const char* controlFilePath, std::int32_t) {
  DaRun run;
  return run.Run(controlFilePath);
}

}  // namespace kov::run
