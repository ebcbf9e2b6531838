// Time per EM iteration (the E-step and the M-step updates, in the driver's order) on data
// simulated from random parameters, and how that time grows with the number of statuses and
// occasions: the forward-backward E-step should cost C x T x S^(order+1) per pattern, never the
// C x S^T of the full latent table.
//
// Run: build/bin/em_bench [--benchmark_filter=REGEX]. Times are per EM iteration, in ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

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
  bool bigRhoTiedOverOccasions = false;  // measurement invariance: one big rho for all occasions
};

std::int32_t Power(std::int32_t base, std::int32_t exponent) {
  std::int32_t result = 1;
  for (std::int32_t e = 0; e < exponent; ++e) result *= base;
  return result;
}

// Every parameter free, so that the M-step does the most work it can do per array.
input::Model MakeModel(const Shape& shape) {
  input::Model model = test::MakeModel(shape.model, shape.missingShare > 0.0);
  model.maxIterations = 1000;
  test::FreeEveryParameter(&model);
  if (shape.bigRhoTiedOverOccasions) {
    const std::size_t slice =
        model.codes.bigRho.size() / static_cast<std::size_t>(model.dims.occasions);
    for (std::size_t i = 0; i < model.codes.bigRho.size(); ++i) {
      model.codes.bigRho[i] = 2 + static_cast<std::int32_t>(i % slice);
    }
  }
  return model;
}

// Rows bounded away from 0, so that every transition row keeps expected counts.
input::ParameterSet RandomValues(const input::Model& model, std::mt19937& random) {
  input::ParameterSet values = test::RandomValues(model, random, {.low = 0.1});
  em::DeriveOccasionPrevalences(model.dims, &values);
  return values;
}

// One model with its data, its current values and the E-step's work arrays.
struct Problem {
  input::Model model;
  em::GroupedPatterns grouped;
  input::ParameterSet values;
  std::unique_ptr<em::EStep> estep;
  em::ExpectedCounts counts;
  std::vector<double> probabilities;
  input::RestrictionStructure restrictions;
};

std::unique_ptr<Problem> MakeProblem(const Shape& shape, std::uint32_t seed) {
  auto problem = std::make_unique<Problem>();
  problem->model = MakeModel(shape);
  std::mt19937 random(seed);
  const input::ParameterSet truth = RandomValues(problem->model, random);
  const input::PatternTable table =
      test::Simulate(problem->model, truth, shape.subjects, shape.missingShare, random);
  // EM starts from other random values, as a user's start values would differ from the truth.
  problem->model.start = RandomValues(problem->model, random);
  problem->values = problem->model.start;
  problem->restrictions =
      input::RestrictionStructure(problem->model.dims, problem->model.codes, problem->model.start);
  em::MarkAndCountEstimatedParameters(problem->restrictions, &problem->model.codes);
  problem->grouped = em::GroupByMissingness(table, problem->model);
  problem->estep = std::make_unique<em::EStep>(problem->model);
  return problem;
}

// The M-step updates in the driver's order: gamma, tau, delta with the occasion prevalences, big
// rho and little rho. Returns false when the TAU update met a zero denominator.
bool MStep(Problem& p, em::ChangeSums* sums) {
  const input::ModelDimensions& d = p.model.dims;
  const input::RestrictionStructure& r = p.restrictions;
  if (d.HasClasses()) em::UpdateGamma(r, p.counts, &p.values, &sums->gamma);
  if (d.HasStatuses()) {
    if (!em::UpdateTau(r, p.counts, &p.values, &sums->tau).IsOk()) return false;
    em::UpdateDelta(r, p.counts, &p.values, &sums->delta);
    em::DeriveOccasionPrevalences(d, &p.values);
    em::UpdateBigRho(r, p.counts, &p.values, &sums->bigRho);
  }
  if (d.HasClasses()) em::UpdateLittleRho(r, p.counts, &p.values, &sums->littleRho);
  return true;
}

// The driver's iteration: the E-step, then the M-step.
bool EmIteration(Problem& p) {
  em::ChangeSums sums;
  p.estep->Run(p.values, p.grouped, &p.counts, nullptr);
  if (!MStep(p, &sums)) return false;
  benchmark::DoNotOptimize(sums.Total());
  return true;
}

// The recursion's work per pattern, C x T x S^(order+1), next to the C x S^T cells of the latent
// table that a direct sum would visit.
double RecursionWork(const input::ModelDimensions& d) {
  const std::int32_t occasions = d.HasStatuses() ? std::max(d.occasions, 1) : 1;
  const std::int32_t order = d.HasStatuses() && d.occasions >= 2 ? d.order : 0;
  return static_cast<double>(d.classes) * occasions *
         Power(d.statuses, std::min(order + 1, occasions));
}
double LatentCells(const input::ModelDimensions& d) {
  const std::int32_t occasions = d.HasStatuses() ? std::max(d.occasions, 1) : 1;
  return static_cast<double>(d.classes) * Power(d.statuses, occasions);
}

void SetCounters(benchmark::State& state, const Problem& p, double targetMs) {
  const input::ModelDimensions& d = p.model.dims;
  const double patterns = p.grouped.patterns.patternCount;
  const auto perUnit =
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert;
  state.counters["patterns"] = patterns;
  // Distinct answers per occasion, over the patterns: the share of the emissions and item
  // counts that the occasion codes leave to do.
  if (p.grouped.codes.occasions > 0) {
    state.counters["codes/pattern/T"] = static_cast<double>(p.grouped.codes.CodeCount()) /
                                        (patterns * p.grouped.codes.occasions);
  }
  state.counters["work/pattern"] = RecursionWork(d);
  state.counters["S^T cells"] = LatentCells(d);
  state.counters["t/pattern"] = benchmark::Counter(patterns, perUnit);
  // Time per unit of recursion work: flat across a sweep once the cost follows the recursion
  // (the per-pattern costs that do not depend on S, such as the emissions, weigh more at small S).
  state.counters["t/unit"] = benchmark::Counter(patterns * RecursionWork(d), perUnit);
  if (targetMs > 0.0) state.counters["target_ms"] = targetMs;
}

void RunIterations(benchmark::State& state, Problem& p, double targetMs) {
  for (auto _ : state) {
    if (!EmIteration(p)) {
      state.SkipWithError("zero TAU denominator");
      break;
    }
  }
  SetCounters(state, p, targetMs);
}

// The E-step alone, for the share of an iteration that the M-step takes.
void RunEStep(benchmark::State& state, Problem& p) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(p.estep->Run(p.values, p.grouped, &p.counts, &p.probabilities));
  }
  SetCounters(state, p, 0.0);
}

// The M-step alone, on the expected counts of one E-step.
void RunMStep(benchmark::State& state, Problem& p) {
  p.estep->Run(p.values, p.grouped, &p.counts, &p.probabilities);
  for (auto _ : state) {
    em::ChangeSums sums;
    if (!MStep(p, &sums)) {
      state.SkipWithError("zero TAU denominator");
      break;
    }
    benchmark::DoNotOptimize(sums.Total());
  }
}

Shape Binary(std::int32_t classes, std::int32_t classItems, std::int32_t statuses,
             std::int32_t statusItems, std::int32_t occasions, std::int32_t order,
             std::int32_t subjects) {
  return {test::EvenShape(classes, classItems, statuses, statusItems, occasions, order), subjects};
}

// The problem is built on the first run of its benchmark, so that a filtered run simulates only
// the data it needs; later runs go on from the values the earlier ones left, as EM would.
class LazyProblem {
 public:
  explicit LazyProblem(const Shape& shape) : m_shape(shape) {}
  Problem& Get() {
    if (!m_problem) m_problem = MakeProblem(m_shape, 20261207u);
    return *m_problem;
  }

 private:
  Shape m_shape;
  std::unique_ptr<Problem> m_problem;
};

void Register(const std::string& name, const Shape& shape, double targetMs, bool eStepToo) {
  auto problem = std::make_shared<LazyProblem>(shape);
  benchmark::RegisterBenchmark(("EmIteration/" + name).c_str(),
                               [problem, targetMs](benchmark::State& state) {
                                 RunIterations(state, problem->Get(), targetMs);
                               })
      ->Unit(benchmark::kMillisecond);
  if (!eStepToo) return;
  benchmark::RegisterBenchmark(("EStepOnly/" + name).c_str(),
                               [problem](benchmark::State& state) {
                                 RunEStep(state, problem->Get());
                               })
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("MStep/" + name).c_str(),
                               [problem](benchmark::State& state) {
                                 RunMStep(state, problem->Get());
                               })
      ->Unit(benchmark::kMicrosecond);
}

void RegisterAll() {
  // The models with speed targets (per iteration, one core), then two more.
  Register("a_classes_C3_10items_5000", Binary(3, 10, 1, 0, 0, 1, 5000), 0.02, true);
  Register("b_S4_T5_6items_5000", Binary(1, 0, 4, 6, 5, 1, 5000), 0.6, true);
  Shape c = Binary(1, 0, 6, 0, 5, 1, 20000);
  c.model.statusCategories.assign(8, 3);
  Register("c_S6_T5_8items3cat_20000", c, 4.0, true);
  Register("d_order2_S3_T5_5items_5000", Binary(1, 0, 3, 5, 5, 2, 5000), 0.5, true);
  Shape e = Binary(1, 0, 4, 6, 5, 1, 5000);
  e.missingShare = 0.2;
  Register("e_b_with_20pct_missing", e, 0.8, true);
  Shape f = c;
  f.bigRhoTiedOverOccasions = true;
  Register("f_c_with_big_rho_tied_over_occasions", f, 0.0, true);

  // Growth: (b)'s shape over T at S = 4, and over S at T = 5, first and second order.
  for (std::int32_t t = 2; t <= 5; ++t) {
    Register("growth_first_order_S4/T:" + std::to_string(t), Binary(1, 0, 4, 6, t, 1, 5000), 0.0,
             false);
  }
  for (std::int32_t s = 2; s <= 6; ++s) {
    Register("growth_first_order_T5/S:" + std::to_string(s), Binary(1, 0, s, 6, 5, 1, 5000), 0.0,
             false);
  }
  for (std::int32_t s = 2; s <= 5; ++s) {
    Register("growth_second_order_T5/S:" + std::to_string(s), Binary(1, 0, s, 6, 5, 2, 5000), 0.0,
             false);
  }
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
