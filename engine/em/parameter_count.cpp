#include "parameter_count.h"

#include <algorithm>
#include <unordered_set>

namespace kov::em {

namespace {

// Sets whose first entries form runs of innerSets adjacent offsets (one run for delta, one per
// class for tau, runs of one for gamma and rho); inside a set the entries lie innerSets apart.
ParameterSets Sets(std::size_t sets, std::size_t size, std::size_t innerSets,
                   bool categoryOneRedundant) {
  ParameterSets result;
  result.sets = sets;
  result.size = size;
  result.stride = std::max<std::size_t>(innerSets, 1);
  result.innerSets = result.stride;
  result.outerStride = result.innerSets * size;
  result.categoryOneRedundant = categoryOneRedundant;
  return result;
}

// Marks one array in storage order and returns how many heads the sum to one fixes (see the
// header); rho arrays pass sets with categoryOneRedundant, for which no head is discounted.
std::int32_t MarkArray(const ParameterSets& sets, std::vector<std::int32_t>* codes) {
  std::unordered_set<std::int32_t> seen;
  std::int32_t fixedHeads = 0;
  for (std::size_t offset = 0; offset < codes->size(); ++offset) {
    std::int32_t& code = (*codes)[offset];
    if (code < 2) continue;
    if (!seen.insert(code).second) {
      code = -code;
      continue;
    }
    if (sets.categoryOneRedundant) continue;
    const ParameterSets::Position at = sets.Locate(offset);
    if (at.entry + 1 != sets.size) continue;
    bool freeBefore = false;
    for (std::size_t e = 0; e < at.entry; ++e) freeBefore |= (*codes)[sets.At(at.set, e)] == 1;
    if (!freeBefore) ++fixedHeads;
  }
  return fixedHeads;
}

std::int32_t CountEstimated(const ParameterSets& sets, const std::vector<std::int32_t>& codes) {
  std::int32_t count = 0;
  ForEachEstimatedEntry(sets, codes.data(), [&count](std::size_t) { ++count; });
  return count;
}

}  // namespace

ParameterSets::Position ParameterSets::Locate(std::size_t offset) const {
  Position position;
  if (size == 0 || outerStride == 0) return position;
  position.entry = offset / stride % size;
  const std::size_t first = offset - position.entry * stride;
  position.set = first % outerStride + first / outerStride * innerSets;
  return position;
}

ParameterSets GammaSets(const input::ModelDimensions& dims) {
  const std::size_t classes = input::GammaShape(dims).Extent(0);
  return Sets(1, classes, 1, false);
}

ParameterSets DeltaSets(const input::ModelDimensions& dims) {
  const input::MultiIndex<2> shape = input::DeltaCodeShape(dims);
  const std::size_t classes = shape.Extent(0), statuses = shape.Extent(1);
  return Sets(classes, statuses, classes, false);
}

ParameterSets TauSets(const input::ModelDimensions& dims) {
  const input::MultiIndex<3> shape = input::TauShape(dims);
  const std::size_t rows = shape.Extent(0), statuses = shape.Extent(1), classes = shape.Extent(2);
  return Sets(rows * classes, statuses, rows, false);
}

ParameterSets LittleRhoSets(const input::ModelDimensions& dims) {
  const input::MultiIndex<3> shape = input::LittleRhoShape(dims);
  return Sets(shape.Size() / std::max<std::size_t>(shape.Extent(0), 1), shape.Extent(0), 1, true);
}

ParameterSets BigRhoSets(const input::ModelDimensions& dims) {
  const input::MultiIndex<5> shape = input::BigRhoShape(dims);
  return Sets(shape.Size() / std::max<std::size_t>(shape.Extent(0), 1), shape.Extent(0), 1, true);
}

std::int32_t MarkAndCountEstimatedParameters(const input::ModelDimensions& dims,
                                             input::RestrictionSet* codes) {
  struct Array {
    bool estimated;
    ParameterSets sets;
    std::vector<std::int32_t>* codes;
  };
  const Array arrays[] = {
      {dims.HasClasses(), GammaSets(dims), &codes->gamma},
      {dims.HasStatuses(), DeltaSets(dims), &codes->delta},
      {dims.HasStatuses(), TauSets(dims), &codes->tau},
      {dims.HasClasses(), LittleRhoSets(dims), &codes->littleRho},
      {dims.HasStatuses(), BigRhoSets(dims), &codes->bigRho},
  };
  std::int32_t count = 0;
  for (const Array& array : arrays) {
    if (!array.estimated) continue;
    count -= MarkArray(array.sets, array.codes);
    count += CountEstimated(array.sets, *array.codes);
  }
  return count;
}

double CompleteTableCells(const input::ModelDimensions& dims,
                          const std::vector<std::int32_t>& classItemCategories,
                          const std::vector<std::int32_t>& statusItemCategories) {
  auto categories = [](std::int32_t count) { return static_cast<double>(std::max(count, 0)); };
  double cells = 1.0;
  const std::size_t classItems = std::min<std::size_t>(
      classItemCategories.size(),
      static_cast<std::size_t>(input::ModelDimensions::Positive(dims.classItems)));
  for (std::size_t i = 0; i < classItems; ++i) cells *= categories(classItemCategories[i]);
  if (dims.HasStatuses()) {
    const std::size_t statusItems = std::min<std::size_t>(
        statusItemCategories.size(), static_cast<std::size_t>(dims.statusItems));
    for (std::int32_t t = 0; t < dims.occasions; ++t) {
      for (std::size_t i = 0; i < statusItems; ++i) cells *= categories(statusItemCategories[i]);
    }
  }
  return cells;
}

double DegreesOfFreedom(double cells, std::int32_t estimatedParameters) {
  return cells - static_cast<double>(estimatedParameters) - 1.0;
}

}  // namespace kov::em
