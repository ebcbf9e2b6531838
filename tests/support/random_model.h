// Random latent class and latent transition models for the tests and the benchmarks: a model of
// given sizes in the engine's own types, random parameter values, and data simulated from them.
// Every draw comes from the caller's generator, so a seed fixes the model and its data.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "input/data_file.h"
#include "input/model.h"

namespace kov::test {

struct ModelShape {
  std::int32_t classes = 1;
  std::int32_t statuses = 1;
  std::vector<std::int32_t> classCategories;   // one per class item
  std::vector<std::int32_t> statusCategories;  // one per status item
  std::int32_t occasions = 0;
  std::int32_t order = 1;
};

// Items of one category count: `classItems` class items and `statusItems` status items.
ModelShape EvenShape(std::int32_t classes, std::int32_t classItems, std::int32_t statuses,
                     std::int32_t statusItems, std::int32_t occasions, std::int32_t order,
                     std::int32_t categories = 2);

// The dimensions and item categories of the shape; no restrictions, no values.
input::Model MakeModel(const ModelShape& shape, bool missingData = false);

// Every parameter free (code 1), so that the M-step has every array to update.
void FreeEveryParameter(input::Model* model);

// How a random probability vector is drawn: entries uniform on [low, 1), each exactly 0 with
// chance zeroChance (a row of zeros becomes (1, 0, ...)), raised to `power` before the row is
// scaled (above 1 sharpens it), and scaled to sum to a random amount in [1 - shortfall, 1]
// rather than 1, as fixed start values may.
struct RowDraw {
  double low = 0.05;
  double zeroChance = 0.0;
  double power = 1.0;
  double shortfall = 0.0;
};

// values[offset + stride * k], k = 0..n-1, a random probability vector.
void RandomRow(std::mt19937& random, const RowDraw& draw, std::vector<double>* values,
               std::size_t offset, std::size_t stride, std::int32_t n);

// Every row random, in the order gamma, then per class delta at occasion 1, the rows of tau,
// little rho and big rho by occasion, status and item. Without status items delta and tau hold
// 1; delta's later occasions are left at 0 for the caller to derive or to poison.
input::ParameterSet RandomValues(const input::Model& model, std::mt19937& random,
                                 const RowDraw& draw = {});

// The number of categories of every item in data order: the class items, then the status items
// at each occasion.
std::vector<std::int32_t> ItemCategories(const input::Model& model);

// One pattern of responses drawn uniformly over each item's categories, each missing (0) with
// chance missingShare.
std::vector<std::int32_t> RandomResponses(const input::Model& model, std::mt19937& random,
                                          double missingShare = 0.0);

// Subjects drawn from the model under `truth`, each response then missing completely at random
// with chance missingShare, collapsed into distinct sorted patterns with their frequencies as a
// data file would hold them.
input::PatternTable Simulate(const input::Model& model, const input::ParameterSet& truth,
                             std::int32_t subjects, double missingShare, std::mt19937& random);

}  // namespace kov::test
