// The run host's settings, read only: "RunPriority" in the section "Settings" of the user's
// Marnel settings.
#pragma once

#include <QString>
#include <QVariant>

#include <optional>

#include "kovos.h"

namespace kov::runhost {

// The text of a value in section/valueName, or nothing when the section or value is missing or
// the value is of another kind.
std::optional<QString> QueryRegValue(const QString& section, const QString& valueName);

// What QueryRegValue makes of a stored value: text as it is (nothing when it would not fit the
// 128-byte buffer with its terminating zero), a 32-bit number as the decimal values of its four
// bytes in storage order, last byte first; anything else nothing.
std::optional<QString> RegValueText(const QVariant& value);

// "LOWEST" lowest, "LOWER" below normal, anything else (compared with case) or nothing normal.
kovos::Priority RunPriorityFromSetting(const std::optional<QString>& setting);

// Applies the configured run priority to the worker thread. False when the thread refused.
bool SetRunPriority(kovos::Handle worker);

// The configured number of threads for the estimation ("Threads" in "Settings": a whole number
// from 1 to 256), handed to the engine through MARNEL_THREADS, which it reads as its run
// begins. Without a valid setting the environment is left as it is (the engine then uses the
// processors available, or a MARNEL_THREADS of the user's own).
void ApplyThreadSetting();

}  // namespace kov::runhost
