// The control file: the complete description of one job.
#pragma once

#include <cstdint>
#include <string>

#include "../base/status.h"
#include "model.h"
#include "text_input.h"

namespace kov::input {

// Model limits the engine refuses beyond, before anything is sized from them. T is bounded by
// the estimation itself; the others keep every array and loop within memory and time.
inline constexpr std::int32_t kMaxLatentCount = 1000;      // C, S
inline constexpr std::int32_t kMaxItems = 1000;            // Ic, Is
inline constexpr std::int32_t kMaxCategories = 99;         // categories of one item
inline constexpr std::size_t kMaxArrayValues = 1u << 24;   // values in one parameter array

// Reads the whole control file into *model (sizing its arrays) and, when the job says so, the
// start values from the start-values file. path is the 300-character blank-padded field.
// Returns the first failure, or success. Title lines that cannot be read do not stop the
// reading: when nothing later fails, their failure ("Error Reading Title") comes back in
// *titleFailure (when given), success otherwise, for the driver to record while its run goes on.
Status ReadControlFile(const std::string& path, Model* model, Status* titleFailure = nullptr);

// The value groups of a parameter set in file order: gamma, delta (occasion 1), tau, little rho,
// big rho. With allOccasions the big rho groups run over every occasion (estimates file),
// otherwise over occasion 1 only (start values in the control file). Each group is one read
// step. kStatusOk or the read status.
std::int32_t ReadParameterGroups(LineSource& lines, const ModelDimensions& dims, bool allOccasions,
                                 ParameterSet* values);

// One set of a parameter estimates file (every occasion of big rho) and the iteration number
// that follows it. kStatusOk or the read status (the end of the file included).
std::int32_t ReadParameterSet(LineSource& lines, const ModelDimensions& dims, ParameterSet* values,
                              std::int32_t* iteration);

// Gives the parameters that a model without one of its latent variables still needs (gamma of
// the single class, delta and the first tau entry of the single status) their value 1.0; a
// parameter set read from a file holds no groups for them.
void FillAbsentLatentVariables(const ModelDimensions& dims, ParameterSet* values);

// Reads the first set of a parameter estimates file and its iteration number. Returns success
// or the failure (its message names `name`, the trimmed file name).
Status ReadStartValuesFile(const std::string& name, const ModelDimensions& dims,
                           ParameterSet* values, std::int32_t* lastIteration);

}  // namespace kov::input
