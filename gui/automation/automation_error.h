// Failures of the automation layer as the caller sees them: a number and a description.
#pragma once

#include <QString>

#include <cstdint>
#include <stdexcept>

namespace kov::automation {

// The numbers follow the run-time error numbers that callers of automation servers have always
// shown, so that a user or a help page can look them up.
enum AutomationErrorNumber : std::int32_t {
  kErrorCannotLoadLibrary = 48,    // the engine library exists but the loader refused it
  kErrorFileNotFound = 53,         // the engine library is missing
  kErrorCannotCreateObject = 429,  // the server could not be started or did not connect
  kErrorMethodNotSupported = 438,  // the server does not know the method asked for
  kErrorServerGone = 440,          // the connection broke, or the call failed otherwise
  kErrorEntryPointNotFound = 453,  // the engine library lacks one of its functions
};

class AutomationError : public std::runtime_error {
 public:
  AutomationError(std::int32_t number, const QString& description)
      : std::runtime_error(description.toStdString()),
        m_number(number),
        m_description(description) {}

  std::int32_t Number() const { return m_number; }
  const QString& Description() const { return m_description; }

 private:
  std::int32_t m_number;
  QString m_description;
};

}  // namespace kov::automation
