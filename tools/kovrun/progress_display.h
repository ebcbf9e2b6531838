// The run's progress on the terminal: a bar redrawn in place, or one line per iteration when
// the output is a file or a pipe.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace kovrun {

class ProgressDisplay {
 public:
  // maximum: the run's iteration limit when it is known (positive), for the bar.
  ProgressDisplay(std::FILE* out, bool terminal, std::optional<std::int64_t> maximum);

  // Shows a published iteration and criterion. A negative criterion means the run has none
  // (data augmentation publishes -9). Iteration 0 (nothing published yet) and an iteration
  // already shown draw nothing.
  void Show(std::int32_t iteration, double criterion);

  // Ends the line being redrawn, so that a message can follow on a line of its own.
  void EndLine();

  // The text shown for one iteration, without line end or carriage return.
  std::string Describe(std::int32_t iteration, double criterion) const;

 private:
  bool Write(const std::string& text);

  std::FILE* m_out;
  bool m_terminal;
  std::optional<std::int64_t> m_maximum;
  std::int32_t m_shown = 0;
  std::size_t m_drawnLength = 0;
  bool m_lineOpen = false;
  bool m_failed = false;
};

// The criterion with nine decimals, whatever the process locale says.
std::string FormatCriterion(double criterion);

}  // namespace kovrun
