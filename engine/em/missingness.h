// Response patterns grouped by which items they miss.
#pragma once

#include <cstdint>
#include <vector>

#include "input/data_file.h"
#include "input/model.h"
#include "occasion_codes.h"

namespace kov::em {

// Category counts of all N items in pattern order: the class items, then the status items of
// occasion 1, 2, ... T.
std::vector<std::int32_t> ItemCategoryCounts(const input::Model& model);

// One missingness group: the patterns [first, first + count) of the sorted table.
struct MissingnessGroup {
  std::int32_t first = 0;
  std::int32_t count = 0;
  double frequency = 0.0;                  // N_g
  std::vector<std::int32_t> missingItems;  // 0-based item numbers, increasing
  std::vector<std::uint8_t> observed;      // per item: 1 observed, 0 missing
  double completions = 1.0;                // product of the category counts of missing items
};

// The patterns sorted so that every group is contiguous: groups by increasing key (the bitmask
// of missing items, item i weighing 2^i, compared as an integer of any width, so with more than
// 64 items the highest missing item decides first), the complete patterns first and in
// increasing order of their complete cell index. The sort is stable: equal complete patterns
// and the patterns of one incomplete group keep their file order. `order[q]` is the position
// in the data file of sorted pattern q.
struct GroupedPatterns {
  input::PatternTable patterns;
  std::vector<std::int32_t> order;
  std::vector<MissingnessGroup> groups;
  std::vector<std::int32_t> categories;  // per item
  OccasionCodes codes;                    // of the sorted patterns
};

GroupedPatterns GroupByMissingness(const input::PatternTable& table, const input::Model& model);

}  // namespace kov::em
