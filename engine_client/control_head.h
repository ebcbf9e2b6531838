// What a program shows of a run before it starts, from the head of its control file: the
// iteration limit for a progress bar and the names of the files the run will write.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine_client.h"

namespace kov::client {

// The file is read by the engine's own control-file reader, and a value is given once the
// section that holds it has been read whole, even when a later part of the file is refused: the
// engine reads the file again and is the judge of it. Nothing when the file cannot be opened
// (a pipe or a device is refused without waiting on it) or does not get that far.

// The EM maximum, or for data augmentation the chain's length (iterations between imputations
// times imputations); nothing unless positive.
std::optional<std::int64_t> ReadIterationLimit(const std::string& path, RunKind kind);

// The report a run of the kind writes, as the file names it (a relative name is the run's
// working folder's); nothing when the name is blank.
std::optional<std::string> ReadReportName(const std::string& path, RunKind kind);

// The parameter series file of a data-augmentation run, likewise.
std::optional<std::string> ReadSeriesName(const std::string& path);

}  // namespace kov::client
