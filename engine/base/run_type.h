// The two kinds of run. The numbers are the ones the editor keeps in its settings, passes to the
// run host with lRunKov and the run host passes to the engine, so they never change. Qt-free and
// header only: the window programs include it without linking the engine.
#pragma once

#include <cstdint>
#include <optional>

namespace kov {

enum class RunType : std::int16_t { kEm = 1, kDa = 2 };

constexpr std::int16_t RunTypeCode(RunType type) { return static_cast<std::int16_t>(type); }

// The run type a number stands for; none for a number that names no run type.
constexpr std::optional<RunType> RunTypeOfCode(std::int16_t code) {
  if (code == RunTypeCode(RunType::kEm)) return RunType::kEm;
  if (code == RunTypeCode(RunType::kDa)) return RunType::kDa;
  return std::nullopt;
}

}  // namespace kov
