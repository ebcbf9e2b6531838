#include "parameter_count.h"

#include <algorithm>

namespace kov::em {

std::int32_t MarkAndCountEstimatedParameters(const input::RestrictionStructure& restrictions,
                                             input::RestrictionSet* codes) {
  *codes = restrictions.markedCodes;
  return restrictions.estimatedParameters;
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
