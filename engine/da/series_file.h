// The parameter series of a data-augmentation run: one row per iteration with five weighted sums
// of the parameter draws, from which the series viewer judges whether the chain has settled.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "base/text_output.h"
#include "input/model.h"

namespace kov::da {

// The five series in the order of their columns.
enum SeriesFamily : std::size_t { kGammaSeries, kDeltaSeries, kTauSeries, kLittleRhoSeries,
                                  kBigRhoSeries };
using SeriesValues = std::array<double, 5>;

// One weight per parameter, in the shapes of the parameter arrays: 1,000,000 x (second - first).
// The second set is the chain's start and the first the set stored before it, so a weight is
// large where the sets still moved and the series follows the direction the estimates were
// taking. Delta weighs its occasion-1 parameters only (the later occasions are derived
// prevalences), and the arrays of a latent variable the model does not have weigh nothing.
// Arrays of different lengths are taken over their common length, the rest weighing 0.
input::ParameterSet ComputeSeriesWeights(const input::ModelDimensions& dims,
                                         const input::ParameterSet& first,
                                         const input::ParameterSet& second);

// Sum of weight x value over the array in storage order, accumulated in double precision.
double SeriesValue(const std::vector<double>& weights, const std::vector<double>& values);

// Header line 1: m, k, the classes and the statuses, each right-aligned in 12 columns. Header
// line 2: the five series names right-aligned in 5-column fields at columns 20, 30, 40, 51, 63.
// kStatusOk or the write status.
std::int32_t WriteSeriesHeader(input::TextOutput& out, std::int32_t imputations,
                               std::int32_t iterationsBetween, std::int32_t classes,
                               std::int32_t statuses);

// The row of iteration t: t in columns 1-6, then the five values fixed-point 10 wide with 5
// decimals at columns 16, 27, 38, 49 and 60 (asterisks when a value or t does not fit).
// kStatusOk or the write status.
std::int32_t WriteSeriesRow(input::TextOutput& out, std::int32_t iteration,
                            const SeriesValues& values);

}  // namespace kov::da
