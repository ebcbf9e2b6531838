// Time per EM iteration (the E-step and the M-step updates, in the driver's order) on data
// simulated from random parameters, and how that time grows with the number of statuses and
// occasions: the forward-backward E-step should cost C x T x S^(order+1) per pattern, never the
// C x S^T of the full latent table.
//
// Run: build/bin/em_bench [--benchmark_filter=REGEX]. Times are per EM iteration, in ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
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

namespace kov::bench {
namespace {

struct Shape {
  std::int32_t classes = 1;
  std::int32_t statuses = 1;
  std::vector<std::int32_t> classCategories;   // one per class item
  std::vector<std::int32_t> statusCategories;  // one per status item
  std::int32_t occasions = 0;
  std::int32_t order = 1;
  std::int32_t subjects = 0;
  double missingShare = 0.0;  // each response missing completely at random with this chance
  bool bigRhoTiedOverOccasions = false;  // measurement invariance: one big rho for all occasions
};

std::int32_t Power(std::int32_t base, std::int32_t exponent) {
  std::int32_t result = 1;
  for (std::int32_t e = 0; e < exponent; ++e) result *= base;
  return result;
}

// Every parameter free, so the M-step does the most work it can do per array.
input::Model MakeModel(const Shape& shape) {
  input::Model model;
  input::ModelDimensions& d = model.dims;
  d.classes = shape.classes;
  d.statuses = shape.statuses;
  d.classItems = static_cast<std::int32_t>(shape.classCategories.size());
  d.statusItems = static_cast<std::int32_t>(shape.statusCategories.size());
  d.occasions = shape.occasions;
  d.order = shape.order;
  for (std::int32_t k : shape.classCategories) {
    d.maxClassCategories = std::max(d.maxClassCategories, k);
  }
  for (std::int32_t k : shape.statusCategories) {
    d.maxStatusCategories = std::max(d.maxStatusCategories, k);
  }
  d.extraTransitionRows =
      shape.occasions >= 3 ? (shape.occasions - 2) * Power(shape.statuses, shape.order) : 0;
  model.classItemCategories = shape.classCategories;
  model.statusItemCategories = shape.statusCategories;
  model.missingData = shape.missingShare > 0.0;
  model.maxIterations = 1000;
  input::AllocateRestrictions(d, &model.codes);
  for (std::vector<std::int32_t>* codes : {&model.codes.gamma, &model.codes.delta, &model.codes.tau,
                                           &model.codes.littleRho, &model.codes.bigRho}) {
    std::fill(codes->begin(), codes->end(), 1);
  }
  if (shape.bigRhoTiedOverOccasions) {
    const std::size_t slice = model.codes.bigRho.size() / static_cast<std::size_t>(d.occasions);
    for (std::size_t i = 0; i < model.codes.bigRho.size(); ++i) {
      model.codes.bigRho[i] = 2 + static_cast<std::int32_t>(i % slice);
    }
  }
  model.restrictionsRead = true;
  return model;
}

// A probability vector of n entries at values[offset + stride * k], bounded away from 0 so that
// every transition row keeps expected counts.
void RandomRow(std::mt19937& random, std::vector<double>* values, std::size_t offset,
               std::size_t stride, std::int32_t n) {
  std::uniform_real_distribution<double> uniform(0.1, 1.0);
  std::vector<double> row(static_cast<std::size_t>(n));
  double sum = 0.0;
  for (double& v : row) {
    v = uniform(random);
    sum += v;
  }
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
      RandomRow(random, &values.littleRho, little(0, j, c), 1,
                model.classItemCategories[static_cast<std::size_t>(j)]);
    }
    for (std::int32_t t = 0; t < (d.HasStatuses() ? d.occasions : 0); ++t) {
      for (std::int32_t s = 0; s < d.statuses; ++s) {
        for (std::int32_t i = 0; i < d.statusItems; ++i) {
          RandomRow(random, &values.bigRho, big(0, i, s, c, t), 1,
                    model.statusItemCategories[static_cast<std::size_t>(i)]);
        }
      }
    }
  }
  em::DeriveOccasionPrevalences(d, &values);
  return values;
}

// Draws from the probability vector at values[offset + stride * k], k = 0..n-1.
std::int32_t Draw(std::mt19937& random, const std::vector<double>& values, std::size_t offset,
                  std::size_t stride, std::int32_t n) {
  double u = std::uniform_real_distribution<double>(0.0, 1.0)(random);
  for (std::int32_t k = 0; k + 1 < n; ++k) {
    u -= values[offset + stride * static_cast<std::size_t>(k)];
    if (u < 0.0) return k;
  }
  return n - 1;
}

// Subjects drawn from the model under the given values, collapsed into distinct patterns with
// their frequencies as a data file would hold them.
input::PatternTable Simulate(const input::Model& model, const input::ParameterSet& truth,
                             std::int32_t subjects, double missingShare, std::mt19937& random) {
  const input::ModelDimensions& d = model.dims;
  const auto delta = input::DeltaShape(d);
  const auto tau = input::TauShape(d);
  const auto little = input::LittleRhoShape(d);
  const auto big = input::BigRhoShape(d);
  std::bernoulli_distribution isMissing(missingShare);
  std::map<std::vector<std::int32_t>, double> counts;
  std::vector<std::int32_t> pattern;
  std::vector<std::int32_t> path(static_cast<std::size_t>(std::max(d.occasions, 1)));
  for (std::int32_t n = 0; n < subjects; ++n) {
    pattern.clear();
    const std::int32_t c = Draw(random, truth.gamma, 0, 1, d.classes);
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      pattern.push_back(1 + Draw(random, truth.littleRho, little(0, j, c), 1,
                                 model.classItemCategories[static_cast<std::size_t>(j)]));
    }
    for (std::int32_t t = 0; d.HasStatuses() && t < d.occasions; ++t) {
      std::int32_t& s = path[static_cast<std::size_t>(t)];
      if (t == 0) {
        s = Draw(random, truth.delta, delta(c, 0, 0), delta(0, 1, 0), d.statuses);
      } else {
        // Transition rows: the first transition by the status at occasion 1; each later one in
        // its own block, by the status before it (first order) or by the pair of the two
        // statuses before it, the later one fastest (second order).
        const std::int32_t previous = path[static_cast<std::size_t>(t - 1)];
        std::int32_t row = previous;
        if (t >= 2) {
          const std::int32_t block = Power(d.statuses, d.order);
          row = d.statuses + (t - 2) * block +
                (d.order == 2 ? path[static_cast<std::size_t>(t - 2)] * d.statuses + previous
                              : previous);
        }
        s = Draw(random, truth.tau, tau(row, 0, c), tau(0, 1, 0), d.statuses);
      }
      for (std::int32_t i = 0; i < d.statusItems; ++i) {
        pattern.push_back(1 + Draw(random, truth.bigRho, big(0, i, s, c, t), 1,
                                   model.statusItemCategories[static_cast<std::size_t>(i)]));
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
  table.subjectCount = subjects;
  return table;
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
      Simulate(problem->model, truth, shape.subjects, shape.missingShare, random);
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
  Shape shape;
  shape.classes = classes;
  shape.statuses = statuses;
  shape.classCategories.assign(static_cast<std::size_t>(classItems), 2);
  shape.statusCategories.assign(static_cast<std::size_t>(statusItems), 2);
  shape.occasions = occasions;
  shape.order = order;
  shape.subjects = subjects;
  return shape;
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
  c.statusCategories.assign(8, 3);
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
