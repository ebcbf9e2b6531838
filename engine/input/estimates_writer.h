// Writing parameter sets in the layout of a parameter estimates file.
#pragma once

#include <cstdint>

#include "../base/text_output.h"
#include "model.h"

namespace kov::input {

// How the values of a parameter set are laid out: so many per line, each right-aligned
// fixed-point in a field of `width` characters with `decimals` digits after the point.
struct NumberFormat {
  int valuesPerLine = 3;
  int width = 20;
  int decimals = 16;
};

// The format of parameter estimates files (and of the individual estimates file).
inline constexpr NumberFormat kEstimatesFileFormat{3, 20, 16};

// Writes one parameter set as value groups, each starting on a new line: gamma (with class
// items); delta at occasion 1, class by class (with status items); tau per class, rows 1 to S
// and then, with three or more occasions, rows S + 1 to S + E as a second group; little rho per
// category and class, one value per class item (with class items and categories); big rho per
// class, occasion, category and status, one value per status item (with status items). Then,
// when lastIteration is 0 or more, a line of one blank and that number.
//
// A value that fills its field or needs more room (never a probability in the file format) is
// written with all its digits after one blank, so the line stays readable value by value; its
// columns then shift. Fewer than one value per line counts as one, negative widths and decimals
// as 0. Returns kStatusOk or the first failed write's status.
std::int32_t WriteParameterEstimates(const ModelDimensions& dims, const ParameterSet& values,
                                     std::int32_t lastIteration, const NumberFormat& format,
                                     TextOutput& out);

}  // namespace kov::input
