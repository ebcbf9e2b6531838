// The run's progress on the terminal: a bar redrawn in place, or one line per iteration when
// the output is a file or a pipe.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace kovrun {

// Milliseconds from a fixed point that never moves back; the display times the run with it.
using MillisecondClock = std::function<std::int64_t()>;
std::int64_t SteadyMilliseconds();

class ProgressDisplay {
 public:
  // maximum: the run's iteration limit when it is known (positive), for the bar.
  ProgressDisplay(std::FILE* out, bool terminal, std::optional<std::int64_t> maximum,
                  MillisecondClock clock = SteadyMilliseconds);

  // Shows a published iteration and criterion. A negative criterion means the run has none
  // (data augmentation publishes -9). Iteration 0 (nothing published yet) and an iteration
  // already shown draw nothing.
  //
  // A run without a criterion has no convergence test and always runs to its maximum, so on a
  // terminal its bar also shows the time left: the time per iteration since the first iteration
  // shown (the reading of the data before it does not count) times the iterations not yet
  // finished, counting the one in progress. Nothing is estimated before a second iteration has
  // been seen. An EM run may stop long before its maximum, so it gets no estimate.
  void Show(std::int32_t iteration, double criterion);

  // Ends the line being redrawn, so that a message can follow on a line of its own.
  void EndLine();

  // The text shown for one iteration, without line end or carriage return.
  std::string Describe(std::int32_t iteration, double criterion) const;

 private:
  bool Write(const std::string& text);

  // " time left ..." when it can be estimated for this iteration, else empty.
  std::string TimeLeft(std::int32_t iteration) const;

  std::FILE* m_out;
  bool m_terminal;
  std::optional<std::int64_t> m_maximum;
  MillisecondClock m_clock;
  // The first iteration shown of a run without a criterion, and when it was seen.
  std::optional<std::int32_t> m_paceIteration;
  std::int64_t m_paceStart = 0;
  std::int32_t m_shown = 0;
  std::size_t m_drawnLength = 0;
  bool m_lineOpen = false;
  bool m_failed = false;
};

// The criterion with nine decimals, whatever the process locale says.
std::string FormatCriterion(double criterion);

// A duration in whole seconds as m:ss, or h:mm:ss from one hour on.
std::string FormatDuration(std::int64_t seconds);

}  // namespace kovrun
