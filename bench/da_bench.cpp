// Time per data-augmentation iteration (the missing-response draw when the data have missing
// responses, the imputation step and the posterior step, as the driver runs them) on the models
// of the EM benchmark, next to one EM iteration on the same data: a DA iteration should cost at
// most twice an EM iteration. The data are simulated from random parameters as in em_bench.
//
// Run: build/bin/da_bench [--benchmark_filter=REGEX]. Times are per iteration, in ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
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

namespace kov::bench {
namespace {

struct Shape {
  std::int32_t classes = 1;
  std::int32_t statuses = 1;
  std::int32_t classItems = 0;
  std::int32_t statusItems = 0;
  std::int32_t categories = 2;  // of every item
  std::int32_t occasions = 0;
  std::int32_t order = 1;
  std::int32_t subjects = 0;
  double missingShare = 0.0;  // each response missing completely at random with this chance
};

// Every parameter free.
input::Model MakeModel(const Shape& shape) {
  input::Model model;
  input::ModelDimensions& d = model.dims;
  d.classes = shape.classes;
  d.statuses = shape.statuses;
  d.classItems = shape.classItems;
  d.statusItems = shape.statusItems;
  d.occasions = shape.occasions;
  d.order = shape.order;
  d.maxClassCategories = shape.classItems > 0 ? shape.categories : 0;
  d.maxStatusCategories = shape.statusItems > 0 ? shape.categories : 0;
  std::int32_t block = 1;
  for (std::int32_t o = 0; o < shape.order; ++o) block *= shape.statuses;
  d.extraTransitionRows = shape.occasions >= 3 ? (shape.occasions - 2) * block : 0;
  model.classItemCategories.assign(static_cast<std::size_t>(shape.classItems), shape.categories);
  model.statusItemCategories.assign(static_cast<std::size_t>(shape.statusItems), shape.categories);
  model.missingData = shape.missingShare > 0.0;
  input::AllocateRestrictions(d, &model.codes);
  for (std::vector<std::int32_t>* codes : {&model.codes.gamma, &model.codes.delta, &model.codes.tau,
                                           &model.codes.littleRho, &model.codes.bigRho}) {
    std::fill(codes->begin(), codes->end(), 1);
  }
  model.restrictionsRead = true;
  return model;
}

// A probability vector of n entries at values[offset + stride * k], bounded away from 0.
void RandomRow(std::mt19937& random, std::vector<double>* values, std::size_t offset,
               std::size_t stride, std::int32_t n) {
  std::uniform_real_distribution<double> uniform(0.1, 1.0);
  std::vector<double> row(static_cast<std::size_t>(n));
  double sum = 0.0;
  for (double& v : row) sum += (v = uniform(random));
  for (std::size_t k = 0; k < row.size(); ++k) (*values)[offset + stride * k] = row[k] / sum;
}

input::ParameterSet RandomValues(const input::Model& model, std::mt19937& random) {
  const input::ModelDimensions& d = model.dims;
  input::ParameterSet values;
  input::AllocateParameters(d, &values);
  const auto delta = input::DeltaShape(d);
  const auto tau = input::TauShape(d);
  const auto little = input::LittleRhoShape(d);
  const auto big = input::BigRhoShape(d);
  RandomRow(random, &values.gamma, 0, 1, d.classes);
  for (std::int32_t c = 0; c < d.classes; ++c) {
    if (d.HasStatuses()) {
      RandomRow(random, &values.delta, delta(c, 0, 0), delta(0, 1, 0), d.statuses);
      for (std::int32_t r = 0; r < d.TransitionRows(); ++r) {
        RandomRow(random, &values.tau, tau(r, 0, c), tau(0, 1, 0), d.statuses);
      }
    } else {
      values.delta[delta(c, 0, 0)] = 1.0;
      values.tau[tau(0, 0, c)] = 1.0;
    }
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      RandomRow(random, &values.littleRho, little(0, j, c), 1, model.classItemCategories[0]);
    }
    for (std::int32_t t = 0; t < (d.HasStatuses() ? d.occasions : 0); ++t) {
      for (std::int32_t s = 0; s < d.statuses; ++s) {
        for (std::int32_t i = 0; i < d.statusItems; ++i) {
          RandomRow(random, &values.bigRho, big(0, i, s, c, t), 1, model.statusItemCategories[0]);
        }
      }
    }
  }
  em::DeriveOccasionPrevalences(d, &values);
  return values;
}

std::int32_t Draw(std::mt19937& random, const std::vector<double>& values, std::size_t offset,
                  std::size_t stride, std::int32_t n) {
  double u = std::uniform_real_distribution<double>(0.0, 1.0)(random);
  for (std::int32_t k = 0; k + 1 < n; ++k) {
    u -= values[offset + stride * static_cast<std::size_t>(k)];
    if (u < 0.0) return k;
  }
  return n - 1;
}

// Subjects drawn from the model, collapsed into distinct patterns with their frequencies.
input::PatternTable Simulate(const input::Model& model, const input::ParameterSet& truth,
                             const Shape& shape, std::mt19937& random) {
  const input::ModelDimensions& d = model.dims;
  const auto delta = input::DeltaShape(d);
  const auto tau = input::TauShape(d);
  const auto little = input::LittleRhoShape(d);
  const auto big = input::BigRhoShape(d);
  const std::int32_t block = d.order == 2 ? d.statuses * d.statuses : d.statuses;
  std::bernoulli_distribution isMissing(shape.missingShare);
  std::map<std::vector<std::int32_t>, double> counts;
  std::vector<std::int32_t> pattern, path(static_cast<std::size_t>(std::max(d.occasions, 1)));
  for (std::int32_t n = 0; n < shape.subjects; ++n) {
    pattern.clear();
    const std::int32_t c = Draw(random, truth.gamma, 0, 1, d.classes);
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      pattern.push_back(1 + Draw(random, truth.littleRho, little(0, j, c), 1, shape.categories));
    }
    for (std::int32_t t = 0; d.HasStatuses() && t < d.occasions; ++t) {
      std::int32_t& s = path[static_cast<std::size_t>(t)];
      if (t == 0) {
        s = Draw(random, truth.delta, delta(c, 0, 0), delta(0, 1, 0), d.statuses);
      } else {
        // The first transition by the status at occasion 1; each later one in its own block of
        // rows, by the previous status (first order) or the previous pair (second order).
        const std::int32_t previous = path[static_cast<std::size_t>(t - 1)];
        std::int32_t row = previous;
        if (t >= 2) {
          row = d.statuses + (t - 2) * block +
                (d.order == 2 ? path[static_cast<std::size_t>(t - 2)] * d.statuses + previous
                              : previous);
        }
        s = Draw(random, truth.tau, tau(row, 0, c), tau(0, 1, 0), d.statuses);
      }
      for (std::int32_t i = 0; i < d.statusItems; ++i) {
        pattern.push_back(1 + Draw(random, truth.bigRho, big(0, i, s, c, t), 1, shape.categories));
      }
    }
    for (std::int32_t& response : pattern) {
      if (isMissing(random)) response = 0;
    }
    counts[pattern] += 1.0;
  }
  input::PatternTable table;
  table.itemCount = d.ItemCount();
  for (const auto& [responses, frequency] : counts) {
    table.responses.insert(table.responses.end(), responses.begin(), responses.end());
    table.frequencies.push_back(frequency);
  }
  table.patternCount = static_cast<std::int32_t>(counts.size());
  table.subjectCount = shape.subjects;
  return table;
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
  p->model = MakeModel(shape);
  const input::ModelDimensions& d = p->model.dims;
  std::mt19937 random(20261207u);
  const input::ParameterSet truth = RandomValues(p->model, random);
  p->patterns = Simulate(p->model, truth, shape, random);
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
             std::int32_t subjects) {
  Shape shape;
  shape.classes = classes;
  shape.classItems = classItems;
  shape.statuses = statuses;
  shape.statusItems = statusItems;
  shape.occasions = occasions;
  shape.order = order;
  shape.subjects = subjects;
  return shape;
}

void RegisterAll() {
  // The EM benchmark's models: (a) to (c) carry its targets, (d) and (e) none.
  Register("a_classes_C3_10items_5000", Binary(3, 10, 1, 0, 0, 1, 5000), 0.05);
  Register("b_S4_T5_6items_5000", Binary(1, 0, 4, 6, 5, 1, 5000), 3.0);
  Shape c = Binary(1, 0, 6, 8, 5, 1, 20000);
  c.categories = 3;
  Register("c_S6_T5_8items3cat_20000", c, 20.0);
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
