// The status responses of each occasion, numbered once per run.
//
// Patterns that answer an occasion's status items alike share that occasion's emissions, and
// their posteriors at that occasion can be added up before they are spread over the items. A
// data set has far fewer distinct answers per occasion than patterns (at most K^I of them for I
// items of K categories), so the E-step computes each occasion's emissions once per code and
// adds one vector per pattern and occasion where it would add one per item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "input/data_file.h"
#include "input/model.h"

namespace kov::em {

struct OccasionCodes {
  std::int32_t patterns = 0;
  std::int32_t occasions = 0;  // occasions with status items
  std::int32_t items = 0;      // status items of an occasion
  std::int32_t firstItem = 0;  // the place of occasion 1's first status item in a pattern
  // The codes of all occasions numbered together: occasion t's are [codeStart[t],
  // codeStart[t + 1]), in the order of their first pattern. codeOccasion[g] is code g's
  // occasion and responses[g * items ...] its answers.
  std::vector<std::int32_t> codeStart;
  std::vector<std::int32_t> codeOccasion;
  std::vector<std::int32_t> responses;
  // code[q * occasions + t]: pattern q's code at occasion t.
  std::vector<std::int32_t> code;
  // The fixed blocks of the E-step (FixedBlockCount of the patterns): block b uses the codes
  // blockCodes[blockStart[b] .. blockStart[b + 1]), and local[q * occasions + t] is the place
  // of pattern q's code at t in its block's list.
  std::vector<std::size_t> blockStart;
  std::vector<std::int32_t> blockCodes;
  std::vector<std::int32_t> local;
  // Where each code is used: uses[useStart[g] .. useStart[g + 1]) are the entries of
  // blockCodes that hold g, in block order, so that the blocks' sums of a code can be added in
  // one fixed order.
  std::vector<std::size_t> useStart;
  std::vector<std::size_t> uses;

  std::size_t CodeCount() const { return codeOccasion.size(); }
  std::size_t Blocks() const { return blockStart.empty() ? 0 : blockStart.size() - 1; }
  // Built for this table and model (a table made by hand carries none).
  bool Fits(const input::PatternTable& table, std::int32_t statusOccasions,
            std::int32_t statusItems) const {
    return patterns == table.patternCount && occasions == statusOccasions &&
           items == statusItems && code.size() == static_cast<std::size_t>(patterns) *
                                                    static_cast<std::size_t>(occasions);
  }
};

// The codes of a table's patterns under the model (none for a model without status items, whose
// blocks then list no codes).
OccasionCodes NumberOccasionResponses(const input::PatternTable& table,
                                      const input::ModelDimensions& dims);

}  // namespace kov::em
