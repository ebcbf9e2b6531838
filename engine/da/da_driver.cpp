// The data-augmentation run: inputs and checks, the chain of imputation and posterior steps with
// its series file, imputed data sets and their analyses, then the combination by Rubin's rules
// and the five final blocks.
#include "da_driver.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "base/engine_status.h"
#include "base/result_codes.h"
#include "base/status_record.h"
#include "em/estep.h"
#include "em/parameter_count.h"
#include "gamma_variate.h"
#include "imputation_analysis.h"
#include "imputation_step.h"
#include "imputed_data_file.h"
#include "input/control_file.h"
#include "input/data_file.h"
#include "input/estimates_writer.h"
#include "kovos.h"
#include "missing_draw.h"
#include "posterior_step.h"
#include "report/fields.h"
#include "report/job_header.h"
#include "report/parameter_tables.h"
#include "report/restrictions_report.h"
#include "report/results_file.h"
#include "report/run_end.h"
#include "run/run_files.h"
#include "run/run_support.h"
#include "series_file.h"
#include "uniform.h"

namespace kov::da {

namespace {

using input::TrimRight;

constexpr double kNoCriterion = -9.0;
constexpr std::string_view kImputationPatternNotStored =
    "The DA routine was unable to store an imputation pattern. Please make sure that your "
    "computer has enough available memory, and that the information on the DA tab is properly "
    "specified.";

// The imputation step, whose completed patterns and cells grow with the data and the draws: a
// memory failure there ends the run with what it could not store.
bool RunImputationStep(ImputationStep& step, const input::ParameterSet& values,
                       const input::PatternTable& patterns, CompletedData* completed,
                       em::ExpectedCounts* counts, const em::OccasionCodes* codes,
                       Status* failure) {
  try {
    return step.Run(values, patterns, completed, counts, codes);
  } catch (const std::bad_alloc&) {
    *failure = Status(kOutOfMemory, std::string(kImputationPatternNotStored));
    return false;
  }
}
const std::string kBlockRule(62, '*');

class DaRun {
 public:
  // Whatever ended the run, the rows of the chain that ran make a series the viewer reads: they
  // take an earlier series file's place, unless a write to the series itself failed.
  ~DaRun() { m_series.Commit(); }
  Status Run(const char* controlFilePath);

 private:
  Status RefuseUnworkableSettings();
  Status ClaimFiles();
  Status OpenSideFiles();
  Status ReadStartSets();
  Status Chain(bool* aborted);
  Status RefuseUndrawableFrequencies();
  Status EndAborted(std::int32_t iteration, bool* aborted);
  Status SeriesWriteFailure(std::int32_t status) {
    return run::WriteFailure(status, TrimRight(m_model.seriesFile));
  }
  std::int32_t WriteAbortNotice(std::int32_t iteration);
  std::int32_t WriteFinalBlocks(const CombinedResults& results);
  Status OpenResultsFile();
  Status WriteResultsFile(const CombinedResults& results);
  Status WriteFailure(std::int32_t status) { return run::WriteFailure(status, m_reportName); }
  Status RefuseUncountableLatentTable() const;

  input::Model m_model;
  std::string m_pathField;  // the control file as the caller gave it, 300 characters
  input::DataLayout m_layout;
  input::DataFileReader m_data;
  // Declared before the outputs, so that it is released after they are closed.
  run::OutputClaim m_claim;
  input::TextOutput m_report;
  input::TextOutput m_series;
  input::TextOutput m_individual;
  input::TextOutput m_results;
  ImputedDataFiles m_imputed;  // each file in place once it is whole
  std::string m_reportName;
  std::string m_resultsName;  // empty when the report is no file on disk (a device)
  report::JobInfo m_job;
  std::uint64_t m_startTick = 0;

  input::ParameterSet m_firstSet;  // the set before the chain's start in the starting values file
  input::ParameterSet m_values;    // the chain's current parameters
  input::ParameterSet m_weights;   // series weights
  input::RestrictionStructure m_restrictions;
  input::PatternTable m_patterns;  // the observed patterns
  ImputationStore m_store;
};

Status DaRun::RefuseUnworkableSettings() {
  const char* message = nullptr;
  if (m_model.imputations < 2) {
    // Rubin's rules need the spread between at least two imputations.
    message = "The number of imputations on the DA tab must be at least 2, so that the imputations "
              "can be combined.";
  } else if (m_model.iterationsBetweenImputations < 1) {
    message = "The number of iterations between imputations on the DA tab must be at least 1.";
  } else if (m_model.seed < 1 || m_model.seed > kGeneratorPeriod) {
    // A seed of 0 would leave the generator where it was, so that every run would draw
    // differently; the modulus 2^31 - 1 would make every uniform 0.
    message = "The random generator seed on the DA tab must be a whole number from 1 to "
              "2147483646.";
  } else if (static_cast<std::int64_t>(m_model.imputations) * m_model.iterationsBetweenImputations >
             2147483647) {
    message = "The number of imputations times the number of iterations between imputations on "
              "the DA tab is too large.";
  } else if (m_model.maxIterations <= 0) {
    // Such a file holds no restriction codes: every parameter would be fixed, and the chain
    // would only repeat the starting values.
    message = "Data augmentation needs the restriction codes, which a control file with a maximum "
              "of 0 EM iterations does not hold. Set the maximum number of iterations on the "
              "Estimation tab above 0 and save the model again.";
  }
  if (message == nullptr) return RefuseUncountableLatentTable();
  return Status(kBadRunSetting, message);
}

Status DaRun::RefuseUncountableLatentTable() const {
  const input::ModelDimensions& d = m_model.dims;
  if (LatentCellsCountable(d)) return {};
  return Status(kModelTooLarge,
                "Data augmentation needs the latent table of C x S^T cells to be countable: here "
                "C = " +
                    std::to_string(std::max(d.classes, 1)) + ", S = " + std::to_string(d.statuses) +
                    " and T = " + std::to_string(d.occasions) +
                    " give more than 2^63 cells, the most it can number. Use fewer latent "
                    "statuses or occasions, or estimate this model by EM alone.");
}

Status DaRun::OpenSideFiles() {
  const std::string seriesName = TrimRight(m_model.seriesFile);
  // Written under a temporary name, so that a process that dies leaves no row cut short.
  std::int32_t status = m_series.CreateReplacing(seriesName);
  if (status != kStatusOk) {
    return run::OpenFailure(status, "Unable to open the following DA series file for writing: ",
                           seriesName,
                           "; Please make sure that this is a valid file path and name, and that "
                           "the file is available for writing.");
  }
  status = WriteSeriesHeader(m_series, m_model.imputations, m_model.iterationsBetweenImputations,
                             m_model.dims.classes, m_model.dims.statuses);
  if (status != kStatusOk) return run::WriteFailure(status, TrimRight(m_model.seriesFile));
  return {};
}

Status DaRun::ReadStartSets() {
  const std::string name = TrimRight(m_model.daStartValuesFile);
  input::TextInput in;
  std::int32_t status = in.Open(name);
  if (status != kStatusOk) {
    return run::OpenFailure(status, "Unable to open starting values file for reading: ", name,
                           run::kValidPathAndName);
  }
  input::AllocateParameters(m_model.dims, &m_firstSet);
  input::ParameterSet second;
  input::AllocateParameters(m_model.dims, &second);
  std::int32_t firstIteration = 0, secondIteration = 0;
  status = input::ReadParameterSet(in, m_model.dims, &m_firstSet, &firstIteration);
  if (status == kStatusOk && in.AtEndIgnoringBlankLines()) {
    // The chain starts from the second set; an EM run that ended at its maximum wrote only one.
    return run::OpenFailure(kEndOfFile, "Unable to read starting values from file: ", name,
                            "; The file holds one set of estimates and data augmentation needs "
                            "two: the EM run that wrote it stopped at its maximum of iterations. "
                            "Continue that run, or raise its maximum, and start from its new "
                            "estimates.");
  }
  if (status == kStatusOk) {
    status = input::ReadParameterSet(in, m_model.dims, &second, &secondIteration);
  }
  if (status != kStatusOk) {
    return run::OpenFailure(status, "Unable to read starting values from file: ", name,
                            "; Please make sure that this file is properly formatted.");
  }
  input::FillAbsentLatentVariables(m_model.dims, &m_firstSet);
  input::FillAbsentLatentVariables(m_model.dims, &second);
  m_model.start = std::move(second);
  return {};
}

std::int32_t DaRun::WriteAbortNotice(std::int32_t iteration) {
  const std::uint64_t seconds = (kovos::TickCount() - m_startTick) / 1000;
  const std::string lines[] = {
      "",
      "RUN ABORTED",
      " DA execution was aborted at iteration: " + report::FormatInteger(iteration, 6) + " .",
      " Elapsed time: " + report::FormatInteger(static_cast<std::int64_t>(seconds), 6) +
          " seconds.",
      "Please note that DA runs cannot be resumed, and must be restarted.",
      "Run will now terminate.",
      ""};
  for (const std::string& line : lines) {
    if (const std::int32_t status = m_report.WriteLine(line); status != kStatusOk) return status;
  }
  return kStatusOk;
}

Status DaRun::RefuseUndrawableFrequencies() {
  if (SubjectsFitTheDraws(m_patterns)) return {};
  return Status(kFrequencyTooLarge,
                "A frequency in the data file is larger than data augmentation can draw (at most " +
                    std::to_string(kMaxPatternSubjects) + " subjects a pattern).");
}

// A failed analysis ends the run with the code the user is shown as its result, as the run
// result of data augmentation has always been.
Status ShownAsResult(const Status& failure) {
  run::Record(failure);
  return Status::Recorded(ShownCodeOf(failure));
}

// The report ends with the abort notice, and the run with the results it has.
Status DaRun::EndAborted(std::int32_t iteration, bool* aborted) {
  *aborted = true;
  if (const std::int32_t status = WriteAbortNotice(iteration); status != kStatusOk) {
    return WriteFailure(status);
  }
  return {};
}

// The chain: m x k iterations of imputation and posterior steps. Every k-th iteration saves and
// analyses an imputed data set. An abort request ends the chain after the iteration in which it
// came, or inside a step that met it (a pattern of many subjects, a gamma draw that keeps
// rejecting); the iteration then has no series row.
Status DaRun::Chain(bool* aborted) {
  if (Status refused = RefuseUndrawableFrequencies(); !refused.IsOk()) return refused;
  const input::ModelDimensions& d = m_model.dims;
  const std::int32_t k = m_model.iterationsBetweenImputations;
  const std::int32_t length = m_model.imputations * k;
  const input::ParameterSet priors = PriorArrays(d);
  ImputationStep imputation(m_model);
  PosteriorStep posterior(m_restrictions);
  std::unique_ptr<MissingResponseDraw> missingDraw;
  if (m_model.missingData) missingDraw = std::make_unique<MissingResponseDraw>(m_model);
  input::PatternTable completedPatterns;
  // The data table never changes: its occasions' answers are numbered once, and the step that
  // reads it (the missing-response draw, or without missing responses the latent draw)
  // computes the emissions of each distinct answer once.
  const em::OccasionCodes codes = em::NumberOccasionResponses(m_patterns, d);
  CompletedData completed;
  em::ExpectedCounts counts;
  ClearGammaDrawAbandoned();

  std::int32_t j = 1;
  for (std::int32_t t = 1; t <= length; ++t) {
    run::PublishProgress(t, kNoCriterion);
    const input::PatternTable* patterns = &m_patterns;
    if (missingDraw) {
      if (!missingDraw->DrawMissingResponses(m_values, m_patterns, &completedPatterns, &codes)) {
        return EndAborted(t, aborted);
      }
      patterns = &completedPatterns;
    }
    Status stored;
    if (!RunImputationStep(imputation, m_values, *patterns, &completed, &counts,
                           missingDraw ? nullptr : &codes, &stored)) {
      return stored.IsOk() ? EndAborted(t, aborted) : stored;
    }
    if (t % k == 0) {
      // Each imputation's file goes in place whole as soon as it is written: an abort keeps the
      // imputations done before it, and never leaves a cut file.
      if (Status written = m_imputed.Write(j, m_pathField, d, completed); !written.IsOk()) {
        return written;
      }
      if (Status committed = m_imputed.Commit(m_pathField); !committed.IsOk()) return committed;
      if (Status analysed =
              AnalyseImputation(j, counts, m_restrictions, d, m_model.start, m_report, &m_store);
          !analysed.IsOk()) {
        return ShownAsResult(analysed);
      }
      ++j;
    }
    std::int32_t status = kStatusOk;
    const SeriesValues series = posterior.Run(counts, priors, m_weights, &m_values);
    if (GammaDrawAbandoned()) return EndAborted(t, aborted);
    if (m_individual.IsOpen()) {
      status = input::WriteParameterEstimates(d, m_values, t, input::kEstimatesFileFormat,
                                              m_individual);
      if (status != kStatusOk) {
        return run::WriteFailure(status, TrimRight(m_model.individualEstimatesFile));
      }
    }
    if ((status = WriteSeriesRow(m_series, t, series)) != kStatusOk) {
      return SeriesWriteFailure(status);
    }
    if (run::AbortRequested()) return EndAborted(t, aborted);
  }
  // The rows went out line by line; the commit reports what a last flush may still meet.
  if (const std::int32_t status = m_series.Commit(); status != kStatusOk) {
    return SeriesWriteFailure(status);
  }
  return {};
}

std::int32_t DaRun::WriteFinalBlocks(const CombinedResults& results) {
  struct Block {
    const char* title;
    const input::ParameterSet* values;
  };
  const Block blocks[] = {
      {"***  Final Parameter Estimates Based on Data Augmentation  ***", &results.estimates},
      {"***  Standard Error Based on Data Augmentation             ***", &results.standardErrors},
      {"***  Lower Bound of 95% Confidence Interval                ***", &results.lowerBounds},
      {"***  Upper Bound of 95% Confidence Interval                ***", &results.upperBounds},
      {"***  Fraction of Missing Information                       ***", &results.missingInformation}};
  for (const Block& block : blocks) {
    for (const std::string& line : {std::string(), kBlockRule, std::string(block.title), kBlockRule,
                                    std::string()}) {
      if (const std::int32_t status = m_report.WriteLine(line); status != kStatusOk) return status;
    }
    if (const std::int32_t status = report::WriteParameterTables(m_report, m_model, *block.values);
        status != kStatusOk) {
      return status;
    }
  }
  return kStatusOk;
}

// Written under a temporary name and renamed at the end: a run that fails or is aborted leaves no
// results file, and an older one stays as it was.
Status DaRun::OpenResultsFile() {
  if (m_resultsName.empty()) return {};
  if (const std::int32_t status = m_results.CreateReplacing(m_resultsName); status != kStatusOk) {
    return run::OpenFailure(status, "Unable to open results file for writing: ", m_resultsName,
                            run::kValidPathAndName);
  }
  return {};
}

// The file marks what is not estimated as null where the report and "Details.txt" hold 9.0.
input::ParameterSet WithoutMarkers(input::ParameterSet values) {
  for (std::vector<double>* array :
       {&values.gamma, &values.delta, &values.tau, &values.littleRho, &values.bigRho}) {
    for (double& value : *array) {
      if (value == kNotApplicable) value = NAN;
    }
  }
  return values;
}

// Last of all, so that only a run that went through to its end leaves a results file.
Status DaRun::WriteResultsFile(const CombinedResults& results) {
  if (m_resultsName.empty()) return {};
  report::DaResults summary;
  summary.controlFile = m_job.controlFile;
  summary.reportFile = m_reportName;
  summary.subjects = m_job.subjectCount;
  summary.patterns = m_job.patternCount;
  summary.estimates = results.estimates;
  summary.standardErrors = WithoutMarkers(results.standardErrors);
  summary.lowerBounds = WithoutMarkers(results.lowerBounds);
  summary.upperBounds = WithoutMarkers(results.upperBounds);
  summary.missingInformation = WithoutMarkers(results.missingInformation);
  std::int32_t status = report::WriteDaResultsFile(m_results, m_model, summary);
  if (status == kStatusOk) status = m_results.Commit();
  if (status != kStatusOk) return run::WriteFailure(status, m_resultsName);
  return {};
}

Status DaRun::ClaimFiles() {
  std::vector<run::RunFile> files = {
      {"control file", m_job.controlFile},
      {"data file", TrimRight(m_model.dataFile)},
      {"starting values file", TrimRight(m_model.daStartValuesFile)},
      {"DA output file", TrimRight(m_model.daOutputFile), /*output=*/true},
      {"DA series file", TrimRight(m_model.seriesFile), /*output=*/true},
      // Every run that writes the imputed data files of a folder writes its details file too,
      // so the details file's lock guards them all.
      {"imputation details file", DetailsFilePath(m_pathField), /*output=*/true},
  };
  if (m_model.startValuesFromFile) {
    files.push_back({"EM starting values file", TrimRight(m_model.emStartValuesFile)});
  }
  if (m_model.writeIndividualEstimates) {
    files.push_back({"individual parameter estimates file",
                     TrimRight(m_model.individualEstimatesFile), /*output=*/true});
  }
  const std::string reportName = TrimRight(m_model.daOutputFile);
  if (report::ReportIsFileOnDisk(reportName)) {
    m_resultsName = report::ResultsFileName(reportName);
    files.push_back({"results file", m_resultsName, /*output=*/true, false,
                     /*replacedWhole=*/true});
  }
  for (std::int32_t j = 1; j <= m_model.imputations; ++j) {
    files.push_back({"imputed data file", ImputedDataFileName(m_pathField, j), /*output=*/true,
                     false, false, /*numbered=*/true});
  }
  return m_claim.Take(files);
}

Status DaRun::Run(const char* controlFilePath) {
  m_startTick = kovos::TickCount();
  m_job.started = run::LocalNow();
  m_job.runType = report::RunType::kDa;
  m_pathField.assign(controlFilePath, run::kPathBytes);
  Status titleFailure;
  if (Status read = input::ReadControlFile(m_pathField, &m_model, &titleFailure); !read.IsOk()) {
    return read;
  }
  run::RecordAndGoOn(titleFailure);
  m_job.controlFile = TrimRight(m_pathField);
  const input::ModelDimensions& d = m_model.dims;
  if (Status settings = RefuseUnworkableSettings(); !settings.IsOk()) return settings;
  if (Status claimed = ClaimFiles(); !claimed.IsOk()) return claimed;

  m_reportName = TrimRight(m_model.daOutputFile);
  if (Status created = run::CreateReport(m_reportName, &m_report); !created.IsOk()) return created;
  if (Status opened = OpenResultsFile(); !opened.IsOk()) return opened;
  m_layout = input::DataLayoutOf(m_model);
  // As in EM: only an abort or frequencies beyond counting end the run at the counting pass;
  // any other failure of the count stays recorded unless a later one replaces it.
  if (Status counted = input::CountDataRecords(m_layout, &m_job.patternCount, &m_job.subjectCount);
      !counted.IsOk()) {
    if (counted.Code() == kRunAborted || counted.Code() == kFrequencyTooLarge) return counted;
    run::Record(counted);
  }
  if (Status opened = input::OpenDataFile(m_layout, &m_data); !opened.IsOk()) return opened;
  std::int32_t status = kStatusOk;

  // The seed is used once; every later draw continues its stream.
  NextUniform(m_model.seed);
  {
    // The starting values file must exist before anything else is written.
    input::TextInput probe;
    const std::string name = TrimRight(m_model.daStartValuesFile);
    if ((status = probe.Open(name)) != kStatusOk) {
      return run::OpenFailure(status, "Unable to open starting values file for reading: ", name,
                              run::kValidPathAndName);
    }
  }
  if (Status opened = OpenSideFiles(); !opened.IsOk()) return opened;
  // The report names the start values of the chain, which always come from a file here.
  m_model.startValuesFromFile = true;
  if ((status = report::WriteJobHeader(m_report, m_model, m_job)) != kStatusOk) {
    return WriteFailure(status);
  }
  // A store that could not be prepared is recorded, and the run goes on: the chain's first
  // analysis then fails to store its results and ends the run.
  if (Status prepared = m_store.Prepare(m_model.imputations, d); !prepared.IsOk()) {
    run::Record(prepared);
  }
  if (m_model.writeIndividualEstimates) {
    const std::string name = TrimRight(m_model.individualEstimatesFile);
    if ((status = m_individual.Create(name)) != kStatusOk) {
      return run::OpenFailure(status,
                              "Unable to open the individual parameter estimates file for writing: ",
                              name,
                              "; Please make sure that this is a valid file path and name, and that "
                              "the file is available for writing.");
    }
  }
  if ((status = report::WriteRestrictionsReport(m_report, m_model, m_model.codes)) != kStatusOk) {
    return WriteFailure(status);
  }
  if (Status read = ReadStartSets(); !read.IsOk()) return read;
  m_restrictions = input::RestrictionStructure(d, m_model.codes, m_model.start);
  em::MarkAndCountEstimatedParameters(m_restrictions, &m_model.codes);
  m_weights = ComputeSeriesWeights(d, m_firstSet, m_model.start);
  if (Status checked = run::CheckStartValuesAndRestrictions(m_model, /*checkRestrictions=*/true,
                                                            m_report, m_reportName);
      !checked.IsOk()) {
    return checked;
  }

  if (Status loaded =
          input::LoadPatterns(m_data, m_model, m_layout, m_job.patternCount, &m_patterns);
      !loaded.IsOk()) {
    return loaded;
  }
  m_values = m_model.start;
  em::DeriveOccasionPrevalences(d, &m_values);
  if ((status = report::WriteStartValues(m_report, m_model, m_values)) != kStatusOk) {
    return WriteFailure(status);
  }

  bool aborted = false;
  if (Status chained = Chain(&aborted); !chained.IsOk()) return chained;
  // The series is a diagnostic: a short series file does not void the run's results.
  m_series.Commit();
  if (aborted) {
    if ((status = m_report.Close()) != kStatusOk) return WriteFailure(status);
    return {};
  }

  CombinedResults results;
  if (Status combined = CombineImputations(m_model.imputations, m_pathField, d, m_model.codes,
                                           m_store, &results);
      !combined.IsOk()) {
    return combined;
  }
  if ((status = WriteFinalBlocks(results)) != kStatusOk) return WriteFailure(status);
  status = report::WriteRunEnd(m_report, run::LocalNow(), kovos::TickCount() - m_startTick,
                               report::RunType::kDa);
  if (status == kStatusOk) status = m_report.Close();
  if (status != kStatusOk) return WriteFailure(status);
  if ((status = m_individual.Close()) != kStatusOk) {
    return run::WriteFailure(status, TrimRight(m_model.individualEstimatesFile));
  }
  return WriteResultsFile(results);
}

}  // namespace

std::int32_t RunDaDriver(const char* controlFilePath, std::int32_t) {
  DaRun run;
  return run::Record(run.Run(controlFilePath));
}

}  // namespace kov::da
