// The status record shared by the worker thread and the caller that polls it.
#pragma once

#include <cstdint>
#include <string_view>

#include "status.h"

namespace kov::run {

// Called by a driver once per iteration (EM) or cycle (data augmentation). Waits at most
// 1000 ms for the status lock; an update that cannot get it is dropped.
void PublishProgress(std::int32_t iteration, double criterion);

// Records the error of a failing run: the code and the message, cut or blank-padded to 1024
// bytes. Waits for the lock without limit, since an error must not be lost. The last call wins.
void SetEngineError(std::int32_t code, std::string_view message);

// Records the status a run ended with, unless it is a success or was recorded by its step, and
// returns the driver's result for it (RunResultOf). Drivers call it once, at their exit.
std::int32_t Record(const kov::Status& status);

// Records a failure that the run goes on past, such as titles that could not be read: it stays
// the recorded error unless a later failure of the run replaces it. A success records nothing.
void RecordAndGoOn(const kov::Status& status);

// The code recorded by the last SetEngineError (0 when none).
std::int32_t RecordedErrorCode();

// True when the caller has asked the run to stop. A lock that cannot be had within 1000 ms
// reads as no request; the driver asks again at its next test point.
bool AbortRequested();

}  // namespace kov::run
