// The imputed data files of a data-augmentation run: one completed data set per imputation,
// each subject's responses with its imputed latent class and statuses, as weighted records.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "base/text_output.h"
#include "completed_data.h"
#include "input/model.h"

namespace kov::da {

// The folder of the control file: its path (trailing blanks removed) up to and including the
// last "\" or "/"; empty when the path has neither, which names the current directory.
std::string ControlFileFolder(const std::string& controlFilePath);

// The folder of the control file, "imp", the imputation number and ".dat".
std::string ImputedDataFileName(const std::string& controlFilePath, std::int32_t imputation);

// Writes (or replaces) the file of imputation j, under a temporary name that takes the file's
// place only when complete: one line per record of the completed data,
//   the pattern's responses, each right-aligned in 2 columns and followed by a blank;
//   two blanks;
//   the latent values, counted from 1: without status items the class in 3 columns and two
//   blanks; without class items the statuses of occasions 1 to 5 (1 to T for a model of T > 5
//   occasions), each in 3 columns and a blank; with both the class and then those statuses,
//   each in 3 columns and a blank. Occasions beyond the model's last are written as 1;
//   the count rounded to the nearest whole number, right-aligned in 8 columns.
// Returns success, or the I/O status with the message the user is shown (the run then ends).
[[nodiscard]] Status WriteImputedDataFile(std::int32_t imputation, const std::string& controlFilePath,
                                  const input::ModelDimensions& dims, const CompletedData& data);

// The imputed data files of one run, put in place together. Each is written whole under a
// temporary name in its folder as the chain draws it; Commit renames them all over their names
// once the run has its combined results. Until then, and for ever when the run fails or is
// aborted (the object is destroyed without Commit and removes them), every file of an earlier
// run stays as it was: the folder never holds a cut file, nor (short of the process dying
// between the renames) a set mixed from two runs.
class ImputedDataFiles {
 public:
  // Writes imputation j's file, in the layout above, under its temporary name.
  [[nodiscard]] Status Write(std::int32_t imputation, const std::string& controlFilePath,
                             const input::ModelDimensions& dims, const CompletedData& data);
  // Renames every file written over its name; a file whose rename fails is removed, and the
  // first failure is returned with the message of a failed write.
  [[nodiscard]] Status Commit(const std::string& controlFilePath);

 private:
  std::vector<std::unique_ptr<input::TextOutput>> m_files;
};

}  // namespace kov::da
