// Time per data-augmentation iteration (the missing-response draw when the data have missing
// responses, the imputation step and the posterior step, as the driver runs them) on the models
// of the EM benchmark, next to one EM iteration on the same data: a DA iteration should cost at
// most twice an EM iteration. The data are simulated from random parameters as in em_bench.
//
// Run: build/bin/da_bench [--benchmark_filter=REGEX]. Times are per iteration, in ms.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "da/completed_data.h"
#include "da/imputation_step.h"
#include "da/missing_draw.h"
#include "da/posterior_step.h"
#include "da/series_file.h"
#include "da/uniform.h"
#include "em/estep.h"
#include "em/missingness.h"
#include "em/mstep.h"
#include "em/parameter_count.h"
#include "input/data_file.h"
#include "input/model.h"
#include "random_model.h"

namespace kov::bench {
namespace {

struct Shape {
  test::ModelShape model;
  std::int32_t subjects = 0;
  double missingShare = 0.0;  // each response missing completely at random with this chance
};

// Rows bounded away from 0.
input::ParameterSet RandomValues(const input::Model& model, std::mt19937& random) {
  input::ParameterSet values = test::RandomValues(model, random, {.low = 0.1});
  em::DeriveOccasionPrevalences(model.dims, &values);
  return values;
}

// One model with its data and the work objects of both estimations. The DA chain and the EM
// iterations run from the same random start values, each on its own copy.
struct Problem {
  input::Model model;
  input::PatternTable patterns;
  input::RestrictionStructure restrictions;
  // Data augmentation
  input::ParameterSet daValues, priors, weights;
  std::unique_ptr<da::MissingResponseDraw> missingDraw;
  std::unique_ptr<da::ImputationStep> imputation;
  std::unique_ptr<da::PosteriorStep> posterior;
  input::PatternTable completedPatterns;
  em::OccasionCodes codes;  // of the data table, used without missing responses
  da::CompletedData completed;
  em::ExpectedCounts daCounts;
  // EM
  em::GroupedPatterns grouped;
  input::ParameterSet emValues;
  std::unique_ptr<em::EStep> estep;
  em::ExpectedCounts emCounts;
  std::vector<double> probabilities;
};

std::unique_ptr<Problem> MakeProblem(const Shape& shape) {
  auto p = std::make_unique<Problem>();
  // Every parameter free.
  p->model = test::MakeModel(shape.model, shape.missingShare > 0.0);
  test::FreeEveryParameter(&p->model);
  const input::ModelDimensions& d = p->model.dims;
  std::mt19937 random(20261207u);
  const input::ParameterSet truth = RandomValues(p->model, random);
  p->patterns = test::Simulate(p->model, truth, shape.subjects, shape.missingShare, random);
  p->model.start = RandomValues(p->model, random);
  p->restrictions = input::RestrictionStructure(d, p->model.codes, p->model.start);
  em::MarkAndCountEstimatedParameters(p->restrictions, &p->model.codes);

  p->daValues = p->emValues = p->model.start;
  p->priors = da::PriorArrays(d);
  // Weights from two arbitrary sets: the series sums cost the same whatever their values.
  p->weights = da::ComputeSeriesWeights(d, truth, p->model.start);
  if (p->model.missingData) p->missingDraw = std::make_unique<da::MissingResponseDraw>(p->model);
  p->codes = em::NumberOccasionResponses(p->patterns, d);
  p->imputation = std::make_unique<da::ImputationStep>(p->model);
  p->posterior = std::make_unique<da::PosteriorStep>(p->restrictions);

  p->grouped = em::GroupByMissingness(p->patterns, p->model);
  p->estep = std::make_unique<em::EStep>(p->model);
  return p;
}

// The driver's iteration without its files: missing responses, latent draws, posterior draws.
void DaIteration(Problem& p) {
  const input::PatternTable* patterns = &p.patterns;
  if (p.missingDraw) {
    p.missingDraw->DrawMissingResponses(p.daValues, p.patterns, &p.completedPatterns, &p.codes);
    patterns = &p.completedPatterns;
  }
  p.imputation->Run(p.daValues, *patterns, &p.completed, &p.daCounts,
                    p.missingDraw ? nullptr : &p.codes);
  benchmark::DoNotOptimize(p.posterior->Run(p.daCounts, p.priors, p.weights, &p.daValues));
}

// The EM driver's iteration: E-step, then gamma, tau, delta with the occasion prevalences, big
// rho and little rho. False when the TAU update met a zero denominator.
bool EmIteration(Problem& p) {
  const input::ModelDimensions& d = p.model.dims;
  const input::RestrictionStructure& r = p.restrictions;
  em::ChangeSums sums;
  p.estep->Run(p.emValues, p.grouped, &p.emCounts, nullptr);
  if (d.HasClasses()) em::UpdateGamma(r, p.emCounts, &p.emValues, &sums.gamma);
  if (d.HasStatuses()) {
    if (!em::UpdateTau(r, p.emCounts, &p.emValues, &sums.tau).IsOk()) return false;
    em::UpdateDelta(r, p.emCounts, &p.emValues, &sums.delta);
    em::DeriveOccasionPrevalences(d, &p.emValues);
    em::UpdateBigRho(r, p.emCounts, &p.emValues, &sums.bigRho);
  }
  if (d.HasClasses()) em::UpdateLittleRho(r, p.emCounts, &p.emValues, &sums.littleRho);
  benchmark::DoNotOptimize(sums.Total());
  return true;
}

void SetCounters(benchmark::State& state, const Problem& p, double targetMs) {
  state.counters["patterns"] = p.patterns.patternCount;
  state.counters["subjects"] = p.patterns.subjectCount;
  if (targetMs > 0.0) state.counters["target_ms"] = targetMs;
}

// Built on the first run of one of its benchmarks, so that a filtered run simulates only the
// data it needs.
class LazyProblem {
 public:
  explicit LazyProblem(const Shape& shape) : m_shape(shape) {}
  Problem& Get() {
    if (!m_problem) m_problem = MakeProblem(m_shape);
    return *m_problem;
  }

 private:
  Shape m_shape;
  std::unique_ptr<Problem> m_problem;
};

// emTargetMs: the EM benchmark's target per iteration; a DA iteration may take twice that.
void Register(const std::string& name, const Shape& shape, double emTargetMs) {
  auto problem = std::make_shared<LazyProblem>(shape);
  benchmark::RegisterBenchmark(("DaIteration/" + name).c_str(),
                               [problem, emTargetMs](benchmark::State& state) {
                                 Problem& p = problem->Get();
                                 // The chain's stream starts from a fixed seed at every run.
                                 da::SetGeneratorState(20261207);
                                 for (auto _ : state) DaIteration(p);
                                 SetCounters(state, p, 2.0 * emTargetMs);
                               })
      ->Unit(benchmark::kMillisecond);
  // The three parts of a DA iteration on their own, to show where its time goes.
  if (shape.missingShare > 0.0) {
    benchmark::RegisterBenchmark(("DaPart/" + name + "/1_missing_draw").c_str(),
                                 [problem](benchmark::State& state) {
                                   Problem& p = problem->Get();
                                   da::SetGeneratorState(20261207);
                                   for (auto _ : state) {
                                     p.missingDraw->DrawMissingResponses(p.daValues, p.patterns,
                                                                         &p.completedPatterns,
                                                                         &p.codes);
                                   }
                                 })
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark(("DaPart/" + name + "/2_imputation").c_str(),
                               [problem](benchmark::State& state) {
                                 Problem& p = problem->Get();
                                 da::SetGeneratorState(20261207);
                                 const input::PatternTable* patterns = &p.patterns;
                                 if (p.missingDraw) {
                                   p.missingDraw->DrawMissingResponses(p.daValues, p.patterns,
                                                                       &p.completedPatterns);
                                   patterns = &p.completedPatterns;
                                 }
                                 for (auto _ : state) {
                                   p.imputation->Run(p.daValues, *patterns, &p.completed,
                                                     &p.daCounts,
                                                     p.missingDraw ? nullptr : &p.codes);
                                 }
                               })
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("DaPart/" + name + "/3_posterior").c_str(),
                               [problem](benchmark::State& state) {
                                 Problem& p = problem->Get();
                                 da::SetGeneratorState(20261207);
                                 DaIteration(p);  // counts of a real imputation
                                 const em::ExpectedCounts counts = p.daCounts;
                                 for (auto _ : state) {
                                   benchmark::DoNotOptimize(
                                       p.posterior->Run(counts, p.priors, p.weights, &p.daValues));
                                 }
                               })
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("EmIteration/" + name).c_str(),
                               [problem, emTargetMs](benchmark::State& state) {
                                 Problem& p = problem->Get();
                                 for (auto _ : state) {
                                   if (!EmIteration(p)) {
                                     state.SkipWithError("zero TAU denominator");
                                     break;
                                   }
                                 }
                                 SetCounters(state, p, emTargetMs);
                               })
      ->Unit(benchmark::kMillisecond);
}

Shape Binary(std::int32_t classes, std::int32_t classItems, std::int32_t statuses,
             std::int32_t statusItems, std::int32_t occasions, std::int32_t order,
             std::int32_t subjects, std::int32_t categories = 2) {
  return {test::EvenShape(classes, classItems, statuses, statusItems, occasions, order, categories),
          subjects};
}

void RegisterAll() {
  // The EM benchmark's models: (a) to (c) carry its targets, (d) and (e) none.
  Register("a_classes_C3_10items_5000", Binary(3, 10, 1, 0, 0, 1, 5000), 0.05);
  Register("b_S4_T5_6items_5000", Binary(1, 0, 4, 6, 5, 1, 5000), 3.0);
  Register("c_S6_T5_8items3cat_20000", Binary(1, 0, 6, 8, 5, 1, 20000, 3), 20.0);
  Register("d_order2_S3_T5_5items_5000", Binary(1, 0, 3, 5, 5, 2, 5000), 0.0);
  Shape e = Binary(1, 0, 4, 6, 5, 1, 5000);
  e.missingShare = 0.2;
  Register("e_b_with_20pct_missing", e, 0.0);
  // A latent transition model with both latent variables and missing responses.
  Shape f = Binary(2, 2, 3, 4, 3, 1, 3000);
  f.missingShare = 0.15;
  Register("f_C2_S3_T3_lta_15pct_missing_3000", f, 0.0);
}

}  // namespace
}  // namespace kov::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  kov::bench::RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
