// The engine's interface: ten plain functions, the only symbols libkov.so exports.
//
// Text crosses this boundary in fixed-length single-byte fields, blank-padded and not
// terminated: the control-file path is 300 bytes, the error message 1024 bytes. The length
// arguments are accepted and not used. Booleans are 16-bit: 0 false, 0xFFFF true.
#pragma once

#include <cstdint>

#define KOV_EXPORT extern "C" __attribute__((visibility("default")))

inline constexpr std::int32_t kControlPathBytes = 300;
inline constexpr std::int32_t kErrorMessageBytes = 1024;

// Start a run on a worker thread created suspended; returns its handle (a libkovos handle that
// the caller resumes, waits on and closes), or 0 when no thread could be created. While a job's
// worker lives (from its start until it ends, or until its handle is closed without its ever
// having been resumed) every other start is refused: 0, with error kJobAlreadyRunning recorded
// and the live job left untouched.
KOV_EXPORT std::int32_t lRunKovEM(const char* path, std::int32_t pathLength);
KOV_EXPORT std::int32_t lRunKovDA(const char* path, std::int32_t pathLength);

// -3 before the library is initialised, -2 when the status lock was not had within 1000 ms,
// 1 while a run is in progress, afterwards the run's result (1 for a run that reached its end).
KOV_EXPORT std::int32_t lGetIteration(std::int32_t* iteration, double* criterion,
                                      std::int16_t* running);

// Copies the 1024-byte message into buffer and returns the error code (0: no error).
KOV_EXPORT std::int32_t lGetKovError(char* buffer, std::int32_t bufferLength);

// Asks the run to stop at its next test point. Nonzero when the request was recorded.
KOV_EXPORT std::int32_t lAbortRun();

// 1 while a run is in progress (a job's worker lives, suspended or running), else 0.
KOV_EXPORT std::int32_t lCurrentlyRunning();

// 1 while no run has started since the library was loaded, else 0.
KOV_EXPORT std::int32_t lClean();

// Random start settings for the EM runs that follow, in place of the control file's: the
// number of starts (1 to 10000), the number run to convergence (1 to 10000; more than the
// starts means all of them) and the seed (0 to 2147483647). A negative value keeps the file's;
// any other turns random starts on for a new estimation. Returns 1 when the settings were
// taken, 0 when a value is out of range or a run is in progress (nothing is changed).
KOV_EXPORT std::int32_t lSetStartOptions(std::int32_t starts, std::int32_t finalStarts,
                                         std::int32_t seed);

// The posterior membership file of the EM runs that follow, in place of the control file's
// 'POSTERIOR' line: path is a 300-byte blank-padded field (all blanks: the control file's line
// holds again), byPattern true for one row per distinct response pattern instead of one per
// data record. A relative path is taken in the control file's folder. Returns 1 when taken, 0
// while a run is in progress (nothing is changed).
KOV_EXPORT std::int32_t lSetPosteriorFile(const char* path, std::int32_t pathLength,
                                          std::int16_t byPattern);

// The job the EM start export runs next, in place of the control file's own: kind 1 enumerates
// classes, 2 statuses, each size from `from` to `to` (1 to 50) fitted with random starts; with
// bootstrap B above 0 (at most 10000) each size k is tested against k - 1 by a parametric
// bootstrap likelihood-ratio test of B samples. Kind 0 turns the enumeration off. Returns 1 when
// the settings were taken, 0 when a value is out of range or a run is in progress.
KOV_EXPORT std::int32_t lSetEnumerateOptions(std::int32_t kind, std::int32_t from, std::int32_t to,
                                             std::int32_t bootstrap);
