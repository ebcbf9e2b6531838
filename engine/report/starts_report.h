// The table of random starts in an EM report: the starts run to convergence, best first, and
// how often their best log-likelihood was reached.
#pragma once

#include <cstdint>
#include <vector>

#include "base/text_output.h"
#include "results_file.h"

namespace kov::report {

// Two log-likelihoods within this relative distance count as the same maximum.
inline constexpr double kReplicationTolerance = 1e-6;

// How many of the starts, sorted best first, reached the first one's log-likelihood.
std::int32_t BestReplications(const std::vector<StartSummary>& sorted);

struct StartsPlan {
  std::int32_t starts = 0;
  std::int32_t finalStarts = 0;
  std::int32_t firstStageIterations = 0;
  std::int32_t seed = 0;
};

// The block ahead of the iteration history: the plan, the final-stage starts sorted best first
// (start, seed, log-likelihood, iterations, converged), the replication line and, when the best
// was reached once, a warning to add starts.
std::int32_t WriteStartsTable(input::TextOutput& out, const StartsPlan& plan,
                              const std::vector<StartSummary>& sorted);

}  // namespace kov::report
