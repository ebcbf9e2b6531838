// Wall time of the model-choice jobs on the shipped examples, as a user runs them: an EM run
// from 20 random starts, and a class enumeration from 1 to 4 classes with a bootstrap test of
// 50 samples at every size. Each is timed on 1 thread and on every thread the process may use;
// the "threads" counter says how many the engine used. Reports and result files go to a scratch
// folder that is removed at the end.
//
// Run: build/bin/enumeration_bench [--benchmark_filter=REGEX]. Times are per job, in seconds.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/block_pool.h"
#include "base/result_codes.h"
#include "base/status_record.h"
#include "em/em_driver.h"
#include "em/enumeration.h"

namespace kov::bench {
namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kStarts = 20;
constexpr std::int32_t kStartSeed = 1;
constexpr std::int32_t kLargestSize = 4;
constexpr std::int32_t kBootstrapSamples = 50;

// The examples name their data without a folder, so the jobs run inside a copy of them.
class ScratchExamples {
 public:
  ScratchExamples() {
    std::string pattern = (fs::temp_directory_path() / "marnel-enum-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    m_folder = pattern;
    std::error_code error;
    fs::copy(MARNEL_EXAMPLES, m_folder, fs::copy_options::recursive, error);
    if (!error) fs::current_path(m_folder, error);
    m_ready = !error;
  }
  ~ScratchExamples() {
    std::error_code error;
    fs::current_path(fs::temp_directory_path(), error);
    if (!m_folder.empty()) fs::remove_all(m_folder, error);
  }
  ScratchExamples(const ScratchExamples&) = delete;
  ScratchExamples& operator=(const ScratchExamples&) = delete;
  bool Ready() const { return m_ready; }

 private:
  fs::path m_folder;
  bool m_ready = false;
};

// The driver's 300-byte path field.
std::string PathField(const std::string& name) {
  std::string field = name;
  field.resize(300, ' ');
  return field;
}

// 0 stands for every processor the process may use.
std::int32_t UseThreads(std::int64_t threads) {
  if (threads > 0) {
    setenv("MARNEL_THREADS", std::to_string(threads).c_str(), 1);
  } else {
    unsetenv("MARNEL_THREADS");
  }
  return run::EngineThreadCount();
}

template <typename Job>
void TimeJobs(benchmark::State& state, Job job) {
  const std::int32_t threads = UseThreads(state.range(0));
  for (auto _ : state) {
    run::ResetStatusForTesting();
    if (const std::int32_t result = job(); result != kRunCompleted) {
      state.SkipWithError(("the job ended with result " + std::to_string(result)).c_str());
      break;
    }
  }
  state.counters["threads"] = threads;
}

void RandomStarts(benchmark::State& state, const char* control) {
  em::SetEnumerationOptions({});
  em::SetStartOverrides({kStarts, -1, kStartSeed});
  TimeJobs(state, [control] { return em::RunEmDriver(PathField(control).c_str(), 300); });
  em::SetStartOverrides({});
}

void ClassEnumeration(benchmark::State& state, const char* control) {
  em::SetStartOverrides({kStarts, -1, kStartSeed});
  const em::EnumerationOptions options{em::EnumerationKind::kClasses, 1, kLargestSize,
                                       kBootstrapSamples};
  TimeJobs(state,
           [control, options] { return em::RunEnumeration(PathField(control).c_str(), options); });
  em::SetStartOverrides({});
}

// A job takes from a tenth of a second to seconds: a few runs give a steady figure. The CPU
// time is the whole process's, the engine's worker threads included, so that CPU over wall time
// shows how many threads were actually kept busy.
void Settings(benchmark::internal::Benchmark* b) {
  b->Arg(1)
      ->Arg(0)
      ->ArgName("threads_asked")
      ->Unit(benchmark::kSecond)
      ->UseRealTime()
      ->MeasureProcessCPUTime()
      ->Iterations(3);
}

BENCHMARK_CAPTURE(RandomStarts, stouffer_toby, "stouffer_toby.cnt")->Apply(Settings);
BENCHMARK_CAPTURE(RandomStarts, lta, "lta.cnt")->Apply(Settings);
BENCHMARK_CAPTURE(RandomStarts, substance, "substance.cnt")->Apply(Settings);
BENCHMARK_CAPTURE(ClassEnumeration, stouffer_toby, "stouffer_toby.cnt")->Apply(Settings);

}  // namespace
}  // namespace kov::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  const kov::bench::ScratchExamples examples;
  if (!examples.Ready()) {
    std::fputs("enumeration_bench: could not copy the examples to a scratch folder\n", stderr);
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
