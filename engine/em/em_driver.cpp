// The EM run: inputs, checks, the iterations with their history, fit, final tables, the
// parameter estimates file and the closing lines, in that order.
#include "em_driver.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <sys/stat.h>

#include "base/block_pool.h"
#include "base/engine_status.h"
#include "base/result_codes.h"
#include "base/status_record.h"
#include "cell_tables.h"
#include "classification.h"
#include "em_settings.h"
#include "em_step.h"
#include "enumeration.h"
#include "estep.h"
#include "fit.h"
#include "input/control_file.h"
#include "input/data_file.h"
#include "input/estimates_writer.h"
#include "kovos.h"
#include "missingness.h"
#include "parameter_count.h"
#include "posterior_membership.h"
#include "random_starts.h"
#include "report/fields.h"
#include "report/fit_report.h"
#include "report/iteration_history.h"
#include "report/job_header.h"
#include "report/parameter_tables.h"
#include "report/report_lines.h"
#include "report/restrictions_report.h"
#include "report/results_file.h"
#include "report/run_end.h"
#include "report/starts_report.h"
#include "report/tau_failure.h"
#include "run/run_files.h"
#include "run/run_support.h"
#include "saturated_model.h"
#include "standard_errors.h"

namespace kov::em {

namespace {

using input::TrimRight;

// The degrees of freedom of a G-squared that tests nothing: its p-value is not a number.
constexpr double kNoDegreesOfFreedom = std::numeric_limits<double>::quiet_NaN();

std::mutex g_overridesLock;
StartOverrides g_overrides;

// One start of a run with random starts, between its stages.
struct StartState {
  std::int32_t start = 1;
  std::optional<std::uint64_t> seed;  // none for the control file's start values
  ChainState chain;
  std::vector<double> mads;  // MAD of every iteration done, for the history of the best
  bool ended = false;      // its loop ended by its test: converged, maximum or abort
  bool converged = false;
  bool failed = false;     // a zero denominator ended it
  double logLikelihood = -std::numeric_limits<double>::infinity();
};

// Best first: higher log-likelihood (one that is not a number ranks last), then lower number.
bool RanksBefore(const StartState& a, const StartState& b) {
  const double x = std::isnan(a.logLikelihood) ? -HUGE_VAL : a.logLikelihood;
  const double y = std::isnan(b.logLikelihood) ? -HUGE_VAL : b.logLikelihood;
  return x != y ? x > y : a.start < b.start;
}

// What the starts running side by side share. The progress shows one start's iterations at a
// time, as when the starts ran one after another: a start takes the turn when no other holds
// it, and gives it back when its stage ends for it.
class StartsControl {
 public:
  bool Aborted() const { return m_aborted.load(); }
  void NoteAbortRequest() {
    if (run::AbortRequested()) m_aborted.store(true);
  }
  void Publish(std::int32_t start, std::int32_t iteration, double mad) {
    std::int32_t holder = 0;
    if (m_reporter.load() == start || m_reporter.compare_exchange_strong(holder, start)) {
      run::PublishProgress(iteration, mad);
    }
  }
  void Release(std::int32_t start) {
    std::int32_t holder = start;
    m_reporter.compare_exchange_strong(holder, 0);
  }

 private:
  std::atomic<bool> m_aborted{false};
  std::atomic<std::int32_t> m_reporter{0};  // the start whose iterations are shown; 0: none
};

class EmRun {
 public:
  // Leaves `enumeration` at kind kNone unless the file asks for a comparison of sizes, which
  // the run then leaves to RunEnumeration without touching a file.
  Status Run(const char* controlFilePath, EnumerationOptions* enumeration);

 private:
  Status ClaimFiles();
  Status OpenFiles();
  Status Iterate(bool silent, bool* left);
  Status OneIteration();
  EmStep Stepper() const { return EmStep(m_model, m_grouped, m_estimated); }
  bool NotConverged() const;
  Status RunStarts(const StartSettings& settings, double* startGSquared, bool* left,
                   bool* fallBack);
  input::ParameterSet StartValues(const StartState& state) const;
  void RunStage(run::BlockPool& pool, std::vector<StartState>* states, std::int32_t lastIteration,
                StartsControl* control) const;
  void AdvanceStart(StartState* state, std::int32_t lastIteration, std::int32_t estepThreads,
                    StartsControl* control) const;
  Status ReplayHistory(const StartState& best, double startGSquared);
  std::int32_t WriteCrossValidation(double startGSquared);
  std::int32_t WriteFitBlocks();
  std::int32_t WriteFitIndices(double modelFit, double degreesOfFreedom);
  std::int32_t EstimateStandardErrors();
  Status WriteResultsFile();
  Status WriteResults();
  Status WriteEstimatesSet();
  Status Finish();

  std::int32_t Line(std::string_view text) { return m_report.WriteLine(text); }
  Status WriteFailed(std::int32_t status) { return run::WriteFailure(status, m_reportName); }

  input::Model m_model;
  input::DataLayout m_layout;
  input::DataFileReader m_data;
  // Declared before the outputs, so that it is released after they are closed.
  run::OutputClaim m_claim;
  input::TextOutput m_report;
  input::TextOutput m_estimates;
  input::TextOutput m_results;
  std::string m_reportName;
  std::string m_resultsName;  // empty when the report is no file on disk (a device)
  report::JobInfo m_job;
  std::uint64_t m_startTick = 0;

  std::unique_ptr<EStep> m_estep;
  GroupedPatterns m_grouped;
  ChainState m_chain;  // the run's values and what its stop rule keeps
  ExpectedCounts m_counts;
  std::vector<double> m_probabilities;
  std::vector<double> m_logProbabilities;
  input::RestrictionStructure m_restrictions;
  std::int32_t m_estimated = 0;   // estimated-parameter count
  double m_cells = 0.0;           // cells of the complete contingency table
  double m_degreesOfFreedom = 0.0;
  std::int32_t m_iteration = 0;      // the iteration being computed
  std::int32_t m_lastIteration = 0;  // the last iteration completed
  bool m_aborted = false;
  bool m_estimatesWritten = false;
  input::ParameterSet m_fileStart;  // the start values with their derived prevalences
  std::optional<SaturatedModel> m_saturated;

  // What the results file reports: the fit as the report shows it, the iteration it was
  // reached at, and the estimates of that iteration (later silent iterations move the chain's).
  report::EmResults m_summary;
  input::ParameterSet m_reportedValues;
  // The standard errors of the final estimates; none when the model is not identified.
  std::optional<report::StandardErrorTables> m_errors;
};

// A results file stands beside a report on disk; a report written to a device has no place
// beside it.
bool ReportIsFileOnDisk(const std::string& name) {
  struct stat info {};
  return ::stat(name.c_str(), &info) != 0 || S_ISREG(info.st_mode);
}

Status EmRun::ClaimFiles() {
  std::vector<run::RunFile> files = {
      {"control file", m_job.controlFile},
      {"data file", TrimRight(m_model.dataFile)},
      {"output file", TrimRight(m_model.emOutputFile), /*output=*/true},
  };
  // The starting values were read whole with the control file, so new estimates may replace
  // them: that is how a run is continued.
  if (m_model.startValuesFromFile) {
    files.push_back({"starting values file", TrimRight(m_model.emStartValuesFile), false,
                     /*continuedByRun=*/true});
  }
  if (m_model.writeEstimates) {
    files.push_back({"parameter estimates file", TrimRight(m_model.emEstimatesFile),
                     /*output=*/true, false, /*replacedWhole=*/true});
  }
  const std::string reportName = TrimRight(m_model.emOutputFile);
  if (ReportIsFileOnDisk(reportName)) {
    m_resultsName = report::ResultsFileName(reportName);
    files.push_back({"results file", m_resultsName, /*output=*/true, false,
                     /*replacedWhole=*/true});
  }
  return m_claim.Take(files);
}

Status EmRun::OpenFiles() {
  if (Status opened = input::OpenDataFile(m_layout, &m_data); !opened.IsOk()) return opened;
  m_reportName = TrimRight(m_model.emOutputFile);
  if (Status created = run::CreateReport(m_reportName, &m_report); !created.IsOk()) return created;
  if (m_model.writeEstimates) {
    const std::string name = TrimRight(m_model.emEstimatesFile);
    if (const std::int32_t status = m_estimates.CreateReplacing(name); status != kStatusOk) {
      return run::OpenFailure(status,
                              "Unable to open parameter estimates file for reading/writing: ", name,
                              run::kValidPathAndName);
    }
  }
  // Written under a temporary name and renamed at the end: a run that fails leaves no results
  // file, and an older one stays as it was.
  if (!m_resultsName.empty()) {
    if (const std::int32_t status = m_results.CreateReplacing(m_resultsName); status != kStatusOk) {
      return run::OpenFailure(status, "Unable to open results file for writing: ", m_resultsName,
                              run::kValidPathAndName);
    }
  }
  return {};
}

// The big rho start values of the control file are those of occasion 1; every later occasion
// starts from them.
void CopyFirstOccasionBigRho(const input::ModelDimensions& d, input::ParameterSet* start) {
  const std::size_t perOccasion =
      input::BigRhoShape(d).Size() / static_cast<std::size_t>(d.OccasionExtent());
  for (std::int32_t t = 1; t < d.OccasionExtent(); ++t) {
    std::copy_n(start->bigRho.begin(), perOccasion,
                start->bigRho.begin() + static_cast<std::ptrdiff_t>(t * perOccasion));
  }
}

Status EmRun::OneIteration() {
  run::PublishProgress(m_iteration, m_chain.mad);
  report::ZeroTauDenominator where;
  if (Status step = Stepper().Step(&m_chain, m_restrictions, *m_estep, &m_counts,
                                   &m_logProbabilities, &where);
      !step.IsOk()) {
    return report::ExplainZeroTauDenominator(m_report, std::move(step), where);
  }
  m_lastIteration = m_iteration;
  return {};
}

// Runs iterations from m_iteration while the maximum allows; a silent run writes no history.
// *left tells whether the loop ended by its test (abort, convergence, maximum).
Status EmRun::Iterate(bool silent, bool* left) {
  *left = false;
  while (m_iteration <= m_model.maxIterations) {
    if (Status step = OneIteration(); !step.IsOk()) return step;
    if (!silent) {
      if (const std::int32_t status = report::WriteHistoryEntry(m_report, m_iteration, m_chain.mad);
          status != kStatusOk) {
        return WriteFailed(status);
      }
    }
    m_aborted = m_aborted || run::AbortRequested();
    // A MAD that is not a number fails "less than" and keeps the loop going to the maximum.
    if (m_aborted || Stepper().StopRuleMet(m_chain) || m_iteration == m_model.maxIterations) {
      *left = true;
      return {};
    }
    ++m_iteration;
  }
  return {};
}

// MAD below its criterion and, with the log-likelihood rule, the relative change of the
// log-likelihood below its own. A MAD that is not a number fails "less than".
// What the report warns about; without the log-likelihood rule a MAD that is not a number
// does not count as a failure to converge.
bool EmRun::NotConverged() const {
  return m_chain.mad > m_model.criterion ||
         (m_model.logLikelihoodRule && !m_chain.likelihoodSettled);
}

input::ParameterSet EmRun::StartValues(const StartState& state) const {
  if (!state.seed) return m_fileStart;
  input::ParameterSet values;
  DrawStartValues(m_restrictions, *state.seed, m_fileStart, &values);
  return values;
}

// Runs a start silently up to lastIteration, unless its loop has already ended, and leaves its
// log-likelihood (minus infinity after a zero denominator) in the state. Its E-step and its
// copy of the restrictions are made here, so that no more of them hold their work arrays than
// there are tasks running.
void EmRun::AdvanceStart(StartState* state, std::int32_t lastIteration, std::int32_t estepThreads,
                         StartsControl* control) const {
  const input::RestrictionStructure restrictions = m_restrictions;
  EStep estep(m_model, estepThreads);
  ExpectedCounts counts;
  std::vector<double> probabilities, logProbabilities;
  std::int32_t iteration = static_cast<std::int32_t>(state->mads.size()) + 1;
  while (!control->Aborted() && !state->ended && !state->failed && iteration <= lastIteration) {
    control->Publish(state->start, iteration, state->chain.mad);
    report::ZeroTauDenominator where;
    if (!Stepper()
             .Step(&state->chain, restrictions, estep, &counts, &logProbabilities, &where)
             .IsOk()) {
      state->failed = true;
      break;
    }
    state->mads.push_back(state->chain.mad);
    control->NoteAbortRequest();
    state->converged = Stepper().StopRuleMet(state->chain);
    state->ended = control->Aborted() || state->converged || iteration == m_model.maxIterations;
    ++iteration;
  }
  control->Release(state->start);
  state->logLikelihood = state->failed ? -HUGE_VAL
                                       : estep.Run(state->chain.values, m_grouped, nullptr,
                                                   &probabilities, &logProbabilities);
}

// The starts of a stage side by side, one a task. A start's E-step sums its fixed blocks in
// block order whatever its threads, so what a start computes, and so the ranking, depends on
// neither the number of tasks nor which thread runs which start. With fewer starts than
// threads, each start's E-step has the threads left over.
void EmRun::RunStage(run::BlockPool& pool, std::vector<StartState>* states,
                     std::int32_t lastIteration, StartsControl* control) const {
  if (states->empty()) return;
  const auto tasks =
      std::min<std::size_t>(static_cast<std::size_t>(pool.Threads()), states->size());
  const auto estepThreads =
      static_cast<std::int32_t>(static_cast<std::size_t>(pool.Threads()) / tasks);
  pool.Run(states->size(), [&](std::size_t i) {
    AdvanceStart(&(*states)[i], lastIteration, estepThreads, control);
  });
}

// Every start runs the first stage; the best run on to the end. Leaves the best start's final
// values as the run's, with its table in the report and the results. *fallBack asks for the
// control file's start values alone, when no start came through.
Status EmRun::RunStarts(const StartSettings& settings, double* startGSquared, bool* left,
                        bool* fallBack) {
  std::vector<StartState> states(static_cast<std::size_t>(settings.starts));
  for (std::size_t i = 0; i < states.size(); ++i) {
    StartState& state = states[i];
    state.start = static_cast<std::int32_t>(i) + 1;
    if (i > 0) state.seed = StartSeed(settings.seed, state.start);
    state.chain.values = StartValues(state);
  }
  const std::int32_t firstStage = std::min(settings.firstStageIterations, m_model.maxIterations);
  {
    run::BlockPool pool(run::EngineThreadCount());
    StartsControl control;
    RunStage(pool, &states, firstStage, &control);
    std::stable_sort(states.begin(), states.end(), RanksBefore);
    states.resize(static_cast<std::size_t>(settings.finalStarts));
    RunStage(pool, &states, m_model.maxIterations, &control);
    std::stable_sort(states.begin(), states.end(), RanksBefore);
    m_aborted = m_aborted || control.Aborted();
  }

  const StartState& best = states.front();
  *fallBack = best.failed || !std::isfinite(best.logLikelihood);
  if (*fallBack) return {};
  for (const StartState& state : states) {
    m_summary.starts.push_back({state.start, state.seed, state.logLikelihood,
                                static_cast<std::int32_t>(state.mads.size()), state.converged});
  }
  m_summary.bestReplicated = report::BestReplications(m_summary.starts) > 1;
  const report::StartsPlan plan{settings.starts, settings.finalStarts, firstStage, settings.seed};
  if (const std::int32_t status = report::WriteStartsTable(m_report, plan, m_summary.starts);
      status != kStatusOk) {
    return WriteFailed(status);
  }
  m_estep->Run(StartValues(best), m_grouped, nullptr, &m_probabilities, &m_logProbabilities);
  *startGSquared = ModelGSquared(m_grouped, m_probabilities, &m_logProbabilities);
  if (Status replayed = ReplayHistory(best, *startGSquared); !replayed.IsOk()) return replayed;
  m_chain = best.chain;
  m_lastIteration = m_iteration = static_cast<std::int32_t>(best.mads.size());
  // An abort ends the loop by its test, as in a run without random starts.
  *left = best.ended || m_aborted;
  return {};
}

// The iteration history of the best start, from its first iteration, as a run from its start
// values alone would have written it.
Status EmRun::ReplayHistory(const StartState& best, double startGSquared) {
  if (const std::int32_t status = report::WriteHistoryHeading(m_report, startGSquared);
      status != kStatusOk) {
    return WriteFailed(status);
  }
  for (std::size_t i = 0; i < best.mads.size(); ++i) {
    m_iteration = static_cast<std::int32_t>(i) + 1;
    m_chain.mad = best.mads[i];
    if (const std::int32_t status = report::WriteHistoryEntry(m_report, m_iteration, m_chain.mad);
        status != kStatusOk) {
      return WriteFailed(status);
    }
  }
  return {};
}

std::int32_t EmRun::WriteCrossValidation(double startGSquared) {
  std::optional<double> mcar;
  double value = startGSquared;
  m_summary.logLikelihood = PatternLogLikelihood(m_grouped, m_logProbabilities);
  std::int32_t status = kStatusOk;
  if (m_model.missingData) {
    SaturatedModel saturated;
    if (saturated.Estimate(m_grouped, kCrossValidationSaturatedIterations, m_model.criterion) ==
        SaturatedStatus::kEstimated) {
      mcar = saturated.GSquared();
      value = startGSquared - *mcar;
    } else if ((status = Line(report::SaturatedTooLargeLine(saturated.MaxCompletions()))) !=
               kStatusOk) {
      return status;
    }
  }
  m_summary.gSquared = value;
  return report::WriteCrossValidationBlock(m_report, value, mcar);
}

// MODEL FIT and, with missing data, the saturated model and the MCAR test; then the fit indices.
std::int32_t EmRun::WriteFitBlocks() {
  const double modelGSquared = ModelGSquared(m_grouped, m_probabilities, &m_logProbabilities);
  std::int32_t status = kStatusOk;
  if (!m_model.missingData) {
    status = report::WriteModelFitBlock(m_report, modelGSquared, m_degreesOfFreedom);
    return status == kStatusOk ? WriteFitIndices(modelGSquared, m_degreesOfFreedom) : status;
  }
  SaturatedModel saturated;
  if (saturated.Estimate(m_grouped, m_model.maxIterations, m_model.criterion) !=
      SaturatedStatus::kEstimated) {
    // Without the saturated model there is no test of fit: the report gives the observed
    // patterns' G-squared under its own label, and no degrees of freedom or p-value.
    if ((status = Line(report::SaturatedTooLargeLine(saturated.MaxCompletions()))) != kStatusOk)
      return status;
    status = report::WriteObservedPatternsFitBlock(m_report, modelGSquared);
    return status == kStatusOk ? WriteFitIndices(modelGSquared, kNoDegreesOfFreedom) : status;
  }
  m_saturated = std::move(saturated);
  const double modelFit = modelGSquared - m_saturated->GSquared();
  status = report::WriteModelFitBlock(m_report, modelFit, m_degreesOfFreedom);
  if (status == kStatusOk) {
    status = report::WriteMcarBlock(m_report, m_saturated->GSquared(),
                                    McarDegreesOfFreedom(m_grouped));
  }
  return status == kStatusOk ? WriteFitIndices(modelFit, m_degreesOfFreedom) : status;
}

// The indices of the values the iterations ended with; modelFit is the MODEL FIT value, which
// the p-value of G-squared tests.
std::int32_t EmRun::WriteFitIndices(double modelFit, double degreesOfFreedom) {
  m_estep->SetParameters(m_chain.values);
  double pearson = 0.0;
  const report::PearsonSkip pearsonSkip = FullTablePearson(
      m_grouped, m_model.missingData, m_saturated ? &*m_saturated : nullptr,
      [this](const std::int32_t* responses) { return m_estep->Probability(responses); },
      m_counts.total, kMaxTableCells, &pearson);
  const double logLikelihood = PatternLogLikelihood(m_grouped, m_logProbabilities);
  m_summary.logLikelihood = logLikelihood;
  m_summary.gSquared = modelFit;
  m_summary.iterations = m_lastIteration;
  m_summary.converged = !NotConverged();
  m_summary.fit = ComputeFitIndices(logLikelihood, m_estimated, m_counts.total, modelFit,
                                    degreesOfFreedom, pearsonSkip, pearson, kMaxTableCells);
  m_summary.quality = ClassifySubjects(*m_estep, m_model.dims, m_chain.values, m_grouped);
  // Without random starts the start values are the only start.
  if (m_summary.starts.empty()) {
    m_summary.starts = {{1, std::nullopt, logLikelihood, m_lastIteration, m_summary.converged}};
  }
  std::int32_t status =
      report::WriteFitIndicesBlock(m_report, m_model, *m_summary.fit, *m_summary.quality);
  if (status == kStatusOk) status = EstimateStandardErrors();
  m_estep->SetParameters(m_chain.values);
  return status;
}

// The observed information at the final estimates: the identification check, whose warning
// follows the fit indices, and the standard errors that follow each table of estimates.
std::int32_t EmRun::EstimateStandardErrors() {
  StandardErrorResult result =
      ComputeStandardErrors(*m_estep, m_grouped, m_model.dims, m_restrictions, m_chain.values);
  if (!result.computed) {
    return report::WriteStandardErrorsSkipped(m_report, static_cast<std::int32_t>(kMaxInformationUnits));
  }
  m_summary.identified = result.identified;
  m_summary.nonIdentifiedDirections = result.nonIdentifiedDirections;
  if (!result.identified) {
    return report::WriteIdentificationWarning(m_report, result.nonIdentifiedDirections);
  }
  m_summary.standardErrors = result.tables.errors;
  m_errors = std::move(result.tables);
  return kStatusOk;
}

Status EmRun::WriteEstimatesSet() {
  m_estimatesWritten = true;
  const std::int32_t status = input::WriteParameterEstimates(
      m_model.dims, m_chain.values, m_lastIteration, input::kEstimatesFileFormat, m_estimates);
  if (status != kStatusOk) return run::WriteFailure(status, TrimRight(m_model.emEstimatesFile));
  return {};
}

Status EmRun::WriteResults() {
  std::int32_t status = Line(report::kRule);
  if (status == kStatusOk) status = Line("");
  if (status == kStatusOk && NotConverged()) status = report::WriteConvergenceWarning(m_report);
  if (status != kStatusOk) return WriteFailed(status);
  // Rounding can leave tiny negative estimates.
  input::ParameterSet& v = m_chain.values;
  for (std::vector<double>* array : {&v.gamma, &v.delta, &v.tau, &v.littleRho, &v.bigRho}) {
    for (double& value : *array) value = value < 0.0 ? 0.0 : value;
  }
  m_reportedValues = m_chain.values;
  if ((status = report::WriteFinalEstimates(m_report, m_model, m_chain.values,
                                            m_errors ? &*m_errors : nullptr)) != kStatusOk) {
    return WriteFailed(status);
  }
  if (m_model.printResiduals > 0) {
    m_estep->SetParameters(m_chain.values);
    status = WriteCellTable(
        m_report, m_model.printResiduals, m_model.missingData, m_grouped, m_probabilities,
        m_saturated ? &*m_saturated : nullptr,
        [this](const std::int32_t* responses) { return m_estep->Probability(responses); },
        m_counts.total);
    if (status == kStatusOk) status = Line(std::string(50, '*'));
    if (status == kStatusOk) status = Line("");
    if (status == kStatusOk) status = Line("");
    if (status != kStatusOk) return WriteFailed(status);
  }
  return {};
}

Status EmRun::Finish() {
  if (Status written = WritePosteriorMembership(
          m_model, m_job.controlFile, m_summary.fit ? m_reportedValues : m_chain.values, m_grouped);
      !written.IsOk()) {
    return written;
  }
  std::int32_t status =
      report::WriteRunEnd(m_report, run::LocalNow(), kovos::TickCount() - m_startTick);
  if (status == kStatusOk) status = m_report.Close();
  if (status != kStatusOk) return WriteFailed(status);
  // A run that wrote no estimates (fit only) leaves the file as it was.
  status = m_estimatesWritten ? m_estimates.Commit() : m_estimates.Close();
  if (status != kStatusOk) return run::WriteFailure(status, TrimRight(m_model.emEstimatesFile));
  return WriteResultsFile();
}

// Last of all, so that only a run that went through to its end leaves a results file.
Status EmRun::WriteResultsFile() {
  if (m_resultsName.empty()) return {};
  m_summary.controlFile = m_job.controlFile;
  m_summary.reportFile = m_reportName;
  m_summary.subjects = m_job.subjectCount;
  m_summary.patterns = m_job.patternCount;
  const input::ParameterSet& estimates = m_summary.fit ? m_reportedValues : m_chain.values;
  std::int32_t status = report::WriteResultsFile(m_results, m_model, estimates, m_summary);
  if (status == kStatusOk) status = m_results.Commit();
  if (status != kStatusOk) return run::WriteFailure(status, m_resultsName);
  return {};
}

Status EmRun::Run(const char* controlFilePath, EnumerationOptions* enumeration) {
  m_startTick = kovos::TickCount();
  m_job.started = run::LocalNow();
  m_job.runType = report::RunType::kEm;
  const std::string pathField(controlFilePath, run::kPathBytes);
  Status titleFailure;
  if (Status read = input::ReadControlFile(pathField, &m_model, &titleFailure); !read.IsOk()) {
    return read;
  }
  run::RecordAndGoOn(titleFailure);
  if ((*enumeration = EnumerationOfModel(m_model)).kind != EnumerationKind::kNone) return {};
  m_job.controlFile = TrimRight(pathField);
  const input::ModelDimensions& d = m_model.dims;
  if (Status refused = RefuseUnworkableEmSettings(m_model); !refused.IsOk()) return refused;

  if (Status claimed = ClaimFiles(); !claimed.IsOk()) return claimed;
  m_layout = input::DataLayoutOf(m_model);
  // A failed count is recorded at once and stays unless a later failure replaces it (the
  // loading pass below meets it again and reports it in its own words), except for what no
  // second pass would mend: an abort, or frequencies beyond counting (the header would show
  // their total).
  if (Status counted = input::CountDataRecords(m_layout, &m_job.patternCount, &m_job.subjectCount);
      !counted.IsOk()) {
    if (counted.Code() == kRunAborted || counted.Code() == kFrequencyTooLarge) return counted;
    run::Record(counted);
  }
  if (Status opened = OpenFiles(); !opened.IsOk()) return opened;
  std::int32_t status = kStatusOk;

  m_cells = CompleteTableCells(d, m_model.classItemCategories, m_model.statusItemCategories);
  m_degreesOfFreedom = m_cells;
  if ((status = report::WriteJobHeader(m_report, m_model, m_job)) != kStatusOk) {
    return WriteFailed(status);
  }
  if (!m_model.startValuesFromFile) CopyFirstOccasionBigRho(d, &m_model.start);
  if (m_model.maxIterations != 0) {
    status = report::WriteRestrictionsReport(m_report, m_model, m_model.codes);
    if (status != kStatusOk) return WriteFailed(status);
    m_restrictions = input::RestrictionStructure(d, m_model.codes, m_model.start);
    m_estimated = MarkAndCountEstimatedParameters(m_restrictions, &m_model.codes);
    m_degreesOfFreedom = DegreesOfFreedom(m_cells, m_estimated);
  }
  // Estimates of a previous run were consistent when they were made.
  if (Status checked = run::CheckStartValuesAndRestrictions(
          m_model, !m_model.startValuesFromFile, m_report, m_reportName);
      !checked.IsOk()) {
    return checked;
  }

  input::PatternTable patterns;
  if (Status loaded =
          input::LoadPatterns(m_data, m_model, m_layout, m_job.patternCount, &patterns);
      !loaded.IsOk()) {
    return loaded;
  }

  m_chain.values = m_model.start;
  DeriveOccasionPrevalences(d, &m_chain.values);
  if ((status = report::WriteStartValues(m_report, m_model, m_chain.values)) != kStatusOk) {
    return WriteFailed(status);
  }
  m_grouped = GroupByMissingness(patterns, m_model);
  m_estep = std::make_unique<EStep>(m_model);
  m_estep->Run(m_chain.values, m_grouped, nullptr, &m_probabilities, &m_logProbabilities);
  const double startGSquared = ModelGSquared(m_grouped, m_probabilities, &m_logProbabilities);
  status = Line(report::kRule);
  if (status == kStatusOk) status = Line("");
  if (status != kStatusOk) return WriteFailed(status);

  if (m_model.maxIterations == 0) {
    if ((status = WriteCrossValidation(startGSquared)) != kStatusOk) return WriteFailed(status);
    return Finish();
  }
  bool left = false;
  bool fallBack = true;
  m_fileStart = m_chain.values;
  if (const StartSettings settings = RandomStartSettings(m_model, CurrentStartOverrides());
      settings.starts > 0) {
    double bestStartGSquared = startGSquared;
    if (Status started = RunStarts(settings, &bestStartGSquared, &left, &fallBack);
        !started.IsOk()) {
      return started;
    }
  }
  if (fallBack) {
    // No start came through: the start values alone, whose run explains why.
    m_chain.values = m_fileStart;
    m_chain.mad = 0.0;
    m_chain.previousLogLikelihood = std::numeric_limits<double>::quiet_NaN();
    m_chain.likelihoodSettled = false;
    if ((status = report::WriteHistoryHeading(m_report, startGSquared)) != kStatusOk) {
      return WriteFailed(status);
    }
    m_iteration = m_model.startValuesFromFile ? m_model.startIteration + 1 : 1;
    m_lastIteration = m_iteration - 1;
    if (Status iterated = Iterate(/*silent=*/false, &left); !iterated.IsOk()) return iterated;
  }

  m_estep->Run(m_chain.values, m_grouped, &m_counts, &m_probabilities, &m_logProbabilities);
  if ((status = WriteFitBlocks()) != kStatusOk) return WriteFailed(status);
  if (Status results = WriteResults(); !results.IsOk()) return results;
  if (m_model.writeEstimates) {
    if (Status written = WriteEstimatesSet(); !written.IsOk()) return written;
    // Iterations left: go on silently until the loop's test would end it, and save that
    // iteration as the second set; the two sets start a data-augmentation run.
    if (left && m_lastIteration < m_model.maxIterations) {
      m_iteration = m_lastIteration + 1;
      bool ended = false;
      if (Status iterated = Iterate(/*silent=*/true, &ended); !iterated.IsOk()) return iterated;
      if (Status written = WriteEstimatesSet(); !written.IsOk()) return written;
    }
  }
  return Finish();
}

}  // namespace

void SetStartOverrides(const StartOverrides& overrides) {
  std::lock_guard<std::mutex> lock(g_overridesLock);
  g_overrides = overrides;
}

StartOverrides CurrentStartOverrides() {
  std::lock_guard<std::mutex> lock(g_overridesLock);
  return g_overrides;
}

StartSettings RandomStartSettings(const input::Model& model, const StartOverrides& overrides) {
  const bool overridden =
      overrides.starts >= 0 || overrides.finalStarts >= 0 || overrides.seed >= 0;
  // A continued run goes on from its estimates; a run without iterations only evaluates them.
  if ((!model.startsBlock && !overridden) || model.estimationType != 1 ||
      model.maxIterations <= 0) {
    return {};
  }
  StartSettings settings;
  settings.starts = overrides.starts >= 0 ? overrides.starts : model.starts;
  if (settings.starts <= 0) settings.starts = input::kDefaultStarts;
  settings.finalStarts = overrides.finalStarts >= 0 ? overrides.finalStarts : model.finalStarts;
  if (settings.finalStarts <= 0) settings.finalStarts = input::DefaultFinalStarts(settings.starts);
  settings.finalStarts = std::min(settings.finalStarts, settings.starts);
  settings.firstStageIterations = model.firstStageIterations > 0
                                      ? model.firstStageIterations
                                      : input::kDefaultFirstStageIterations;
  settings.seed = overrides.seed >= 0 ? overrides.seed : model.startSeed;
  return settings;
}

std::int32_t RunEmDriver(const char* controlFilePath, std::int32_t) {
  EnumerationOptions enumeration;
  {
    EmRun run;
    const Status status = run.Run(controlFilePath, &enumeration);
    if (enumeration.kind == EnumerationKind::kNone) return run::Record(status);
  }
  // The control file of each size carries no 'ENUMERATE' line, so its run is a plain one.
  return RunEnumeration(controlFilePath, enumeration);
}

}  // namespace kov::em
