#include "progress_display.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <utility>

namespace kovrun {

namespace {

constexpr std::int64_t kBarWidth = 24;

std::string FormatInteger(std::int64_t value) {
  std::array<char, 24> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string(buffer.data(), result.ptr);
}

std::string TwoDigits(std::int64_t value) {
  return (value < 10 ? "0" : "") + FormatInteger(value);
}

}  // namespace

std::int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string FormatDuration(std::int64_t seconds) {
  seconds = std::max<std::int64_t>(seconds, 0);
  const std::int64_t hours = seconds / 3600, minutes = seconds / 60 % 60;
  if (hours == 0) return FormatInteger(minutes) + ":" + TwoDigits(seconds % 60);
  return FormatInteger(hours) + ":" + TwoDigits(minutes) + ":" + TwoDigits(seconds % 60);
}

std::string FormatCriterion(double criterion) {
  // Room for the widest fixed-point double (309 digits) and the decimals.
  std::array<char, 400> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), criterion,
                                    std::chars_format::fixed, 9);
  if (result.ec != std::errc()) return "?";
  return std::string(buffer.data(), result.ptr);
}

ProgressDisplay::ProgressDisplay(std::FILE* out, bool terminal,
                                 std::optional<std::int64_t> maximum, MillisecondClock clock)
    : m_out(out), m_terminal(terminal), m_maximum(maximum), m_clock(std::move(clock)) {
  if (m_maximum && *m_maximum <= 0) m_maximum.reset();
}

std::string ProgressDisplay::TimeLeft(std::int32_t iteration) const {
  if (!m_paceIteration || iteration <= *m_paceIteration || iteration > *m_maximum) return {};
  const std::int64_t elapsed = std::max<std::int64_t>(m_clock() - m_paceStart, 0);
  // Iterations m_paceIteration .. iteration - 1 took `elapsed`; iteration .. maximum remain.
  const double perIteration = static_cast<double>(elapsed) / (iteration - *m_paceIteration);
  const double remaining = static_cast<double>(*m_maximum - iteration + 1);
  const auto seconds = static_cast<std::int64_t>(std::llround(perIteration * remaining / 1000.0));
  return "  time left " + FormatDuration(seconds);
}

std::string ProgressDisplay::Describe(std::int32_t iteration, double criterion) const {
  std::string text;
  if (m_terminal && m_maximum) {
    const std::int64_t done = std::clamp<std::int64_t>(iteration, 0, *m_maximum);
    const std::int64_t filled = done * kBarWidth / *m_maximum;
    text = "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
           FormatInteger(iteration) + "/" + FormatInteger(*m_maximum);
    if (criterion < 0.0) text += TimeLeft(iteration);
  } else {
    text = "iteration " + FormatInteger(iteration);
    if (m_maximum) text += " of " + FormatInteger(*m_maximum);
  }
  // The MAD is never negative; data augmentation publishes -9 for "no criterion".
  if (criterion >= 0.0 || std::isnan(criterion)) text += "  MAD " + FormatCriterion(criterion);
  return text;
}

void ProgressDisplay::Show(std::int32_t iteration, double criterion) {
  if (iteration <= 0 || iteration == m_shown) return;
  m_shown = iteration;
  if (m_terminal && m_maximum && criterion < 0.0 && !m_paceIteration) {
    m_paceIteration = iteration;
    m_paceStart = m_clock();
  }
  const std::string text = Describe(iteration, criterion);
  if (!m_terminal) {
    Write(text + "\n");
    return;
  }
  // Blanks wipe what is left of a longer line drawn before.
  std::string line = "\r" + text;
  if (text.size() < m_drawnLength) line.append(m_drawnLength - text.size(), ' ');
  m_drawnLength = text.size();
  m_lineOpen = Write(line) || m_lineOpen;
}

void ProgressDisplay::EndLine() {
  if (!m_lineOpen) return;
  m_lineOpen = false;
  m_drawnLength = 0;
  Write("\n");
}

bool ProgressDisplay::Write(const std::string& text) {
  // The display must never fail the run: after the first failed write it keeps quiet.
  if (m_failed) return false;
  if (std::fwrite(text.data(), 1, text.size(), m_out) != text.size() ||
      std::fflush(m_out) != 0) {
    m_failed = true;
    return false;
  }
  return true;
}

}  // namespace kovrun
