// The imputed data files of a data-augmentation run: one completed data set per imputation,
// each subject's responses with its imputed latent class and statuses, as weighted records.
#pragma once

#include <cstdint>
#include <string>

#include "base/status.h"
#include "completed_data.h"
#include "input/model.h"

namespace kov::da {

// The folder of the control file: its path (trailing blanks removed) up to and including the
// last "\" or "/"; empty when the path has neither, which names the current directory.
std::string ControlFileFolder(const std::string& controlFilePath);

// The folder of the control file, "imp", the imputation number and ".dat".
std::string ImputedDataFileName(const std::string& controlFilePath, std::int32_t imputation);

// Writes (or replaces) the file of imputation j: one line per record of the completed data,
//   the pattern's responses, each right-aligned in 2 columns and followed by a blank;
//   two blanks;
//   the latent values, counted from 1: without status items the class in 3 columns and two
//   blanks; without class items the statuses of occasions 1 to 5, each in 3 columns and a
//   blank; with both the class and then the five statuses, each in 3 columns and a blank.
//   Occasions beyond the model's last are written as 1;
//   the count rounded to the nearest whole number, right-aligned in 8 columns.
// Returns success, or the I/O status with the message the user is shown (the run then ends).
[[nodiscard]] Status WriteImputedDataFile(std::int32_t imputation, const std::string& controlFilePath,
                                  const input::ModelDimensions& dims, const CompletedData& data);

}  // namespace kov::da
