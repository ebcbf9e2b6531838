// Status numbers of the engine's file and memory operations, and the results of a run.
//
// A failed open or write gives the errno value of the failure (positive, below 1000). The end
// of a file gives kEndOfFile. Everything the engine itself detects has a fixed number of its
// own above 5000, so a user who is shown the number can tell the two apart. Numbers are appended
// here and never reused or renumbered: reports and users' notes refer to them.
#pragma once

#include <cstdint>

namespace kov {

inline constexpr std::int32_t kStatusOk = 0;
inline constexpr std::int32_t kEndOfFile = -1;

// A value that does not parse as what the read step expects (a letter where a number belongs,
// an integer with a fraction, a number beyond 32 bits).
inline constexpr std::int32_t kBadValue = 5001;
// A line longer than any file of ours has a reason to hold (binary or corrupted input).
inline constexpr std::int32_t kLineTooLong = 5002;
// A data format text that is not a valid list of field descriptors.
inline constexpr std::int32_t kBadDataFormat = 5003;
// Model dimensions that are negative, or beyond what the engine can estimate or hold in memory.
inline constexpr std::int32_t kModelTooLarge = 5004;
// A response outside its item's categories (or a 0 while the data are declared complete),
// or a frequency that is negative or not a number.
inline constexpr std::int32_t kBadResponse = 5005;
// A write failed without the system naming a reason.
inline constexpr std::int32_t kWriteFailed = 5006;
// An allocation failed.
inline constexpr std::int32_t kOutOfMemory = 5007;

// A data file that ends inside a record (or has fewer records than its first reading found).
inline constexpr std::int32_t kTruncatedRecord = 5008;
// An error the engine did not foresee, caught at the worker's boundary.
inline constexpr std::int32_t kInternalError = 5009;
// A run setting that cannot work (data augmentation with fewer than two imputations, no
// iterations between imputations, or a seed below 1).
inline constexpr std::int32_t kBadRunSetting = 5010;

// A run stopped by the caller's abort request before it had anything to report (while the data
// were read, or inside a single draw).
inline constexpr std::int32_t kRunAborted = 5011;
// A start while a job of this engine is still running.
inline constexpr std::int32_t kJobAlreadyRunning = 5012;
// Two of a run's files (inputs and outputs) name the same file.
inline constexpr std::int32_t kFileRoleClash = 5013;
// An output file that another run is writing at this moment.
inline constexpr std::int32_t kOutputInUse = 5014;
// A frequency, or a total of frequencies, beyond what the estimation can represent.
inline constexpr std::int32_t kFrequencyTooLarge = 5015;

// A transition denominator of zero in the TAU update, in an equality class of constrained
// entries or in a row of free entries: nobody is left to make the transition.
inline constexpr std::int32_t kZeroTauDenominatorConstrained = 5016;
inline constexpr std::int32_t kZeroTauDenominatorFree = 5017;
// Start values whose probability vectors do not sum to one.
inline constexpr std::int32_t kStartValuesDoNotSum = 5018;
// Equality restrictions that tie together vectors which cannot be equal.
inline constexpr std::int32_t kRestrictionsInconsistent = 5019;

// Result of a driver whose run went through to its end.
inline constexpr std::int32_t kRunCompleted = 1;
// Result of a driver whose run ended on a check, a setting or a zero denominator: it met no file
// or memory failure.
inline constexpr std::int32_t kRunRefused = 0;

// The error codes a user is shown for a zero TAU denominator, kept from before the engine had
// codes of its own for it.
inline constexpr std::int32_t kShownZeroTauDenominatorConstrained = 1;
inline constexpr std::int32_t kShownZeroTauDenominatorFree = 2;

}  // namespace kov
