// What a step that can fail gives back to its driver: success, or a result code with the message
// the user is shown. The driver records it once, at its exit (Record in engine_status.h).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "result_codes.h"

namespace kov {

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(std::int32_t code, std::string message) : m_code(code), m_message(std::move(message)) {}

  // A failed check with its own number for the user: how many vectors failed, or which check.
  static Status Check(std::int32_t code, std::int32_t shown, std::string message) {
    Status status(code, std::move(message));
    status.m_shown = shown;
    return status;
  }
  // A failure its step has recorded already (a step that does not return a Status yet); the
  // driver's result is runResult and nothing is recorded again.
  static Status Recorded(std::int32_t runResult) {
    Status status(runResult, {});
    status.m_recorded = true;
    return status;
  }

  bool IsOk() const { return m_code == kStatusOk && !m_recorded; }
  std::int32_t Code() const { return m_code; }
  const std::string& Message() const { return m_message; }
  std::int32_t Shown() const { return m_shown; }
  bool IsRecorded() const { return m_recorded; }

 private:
  std::int32_t m_code = kStatusOk;
  std::string m_message;
  std::int32_t m_shown = 0;
  bool m_recorded = false;
};

// The error code lGetKovError delivers for a failure. The engine's own codes are unique; the
// checks show their count or check number and a zero TAU denominator its historical 1 or 2.
std::int32_t ShownCodeOf(const Status& status);

// The driver's result for the status its run ended with: kRunCompleted for success, kRunRefused
// for a check, a setting or a zero denominator, else the code of the file or memory failure.
std::int32_t RunResultOf(const Status& status);

}  // namespace kov
