#include "occasion_codes.h"

#include <string_view>
#include <unordered_map>

#include "base/block_pool.h"

namespace kov::em {

namespace {

constexpr std::size_t Size(std::int32_t n) { return static_cast<std::size_t>(n > 0 ? n : 0); }

// An occasion's answers as bytes, to key the table of codes: the table's own memory, which
// outlives the numbering.
std::string_view Answers(const std::int32_t* y, std::size_t items) {
  return {reinterpret_cast<const char*>(y), items * sizeof(std::int32_t)};
}

void NumberCodes(const input::PatternTable& table, OccasionCodes* codes) {
  const std::size_t items = Size(codes->items);
  const std::size_t occasions = Size(codes->occasions);
  std::unordered_map<std::string_view, std::int32_t> numbers;
  for (std::size_t t = 0; t < occasions; ++t) {
    numbers.clear();
    codes->codeStart.push_back(static_cast<std::int32_t>(codes->codeOccasion.size()));
    for (std::int32_t q = 0; q < table.patternCount; ++q) {
      const std::int32_t* y = table.Pattern(q) + codes->firstItem + t * items;
      const auto [at, added] = numbers.try_emplace(
          Answers(y, items), static_cast<std::int32_t>(codes->codeOccasion.size()));
      if (added) {
        codes->codeOccasion.push_back(static_cast<std::int32_t>(t));
        codes->responses.insert(codes->responses.end(), y, y + items);
      }
      codes->code[Size(q) * occasions + t] = at->second;
    }
  }
  codes->codeStart.push_back(static_cast<std::int32_t>(codes->codeOccasion.size()));
}

// Each block's list of the codes its patterns use, in the order of their first use.
void ListBlockCodes(OccasionCodes* codes) {
  const std::size_t patterns = Size(codes->patterns);
  const std::size_t occasions = Size(codes->occasions);
  const std::size_t blocks = run::FixedBlockCount(patterns);
  std::vector<std::int32_t> place(codes->CodeCount(), -1);
  codes->blockStart.assign(1, 0);
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::size_t start = codes->blockCodes.size();
    for (std::size_t q = patterns * b / blocks; q < patterns * (b + 1) / blocks; ++q) {
      for (std::size_t t = 0; t < occasions; ++t) {
        const std::int32_t g = codes->code[q * occasions + t];
        std::int32_t& at = place[Size(g)];
        if (at < 0) {
          at = static_cast<std::int32_t>(codes->blockCodes.size() - start);
          codes->blockCodes.push_back(g);
        }
        codes->local[q * occasions + t] = at;
      }
    }
    for (std::size_t i = start; i < codes->blockCodes.size(); ++i) {
      place[Size(codes->blockCodes[i])] = -1;
    }
    codes->blockStart.push_back(codes->blockCodes.size());
  }
  codes->useStart.assign(codes->CodeCount() + 1, 0);
  for (const std::int32_t g : codes->blockCodes) ++codes->useStart[Size(g) + 1];
  for (std::size_t g = 0; g < codes->CodeCount(); ++g) {
    codes->useStart[g + 1] += codes->useStart[g];
  }
  std::vector<std::size_t> next(codes->useStart.begin(), codes->useStart.end() - 1);
  codes->uses.assign(codes->blockCodes.size(), 0);
  for (std::size_t entry = 0; entry < codes->blockCodes.size(); ++entry) {
    codes->uses[next[Size(codes->blockCodes[entry])]++] = entry;
  }
}

}  // namespace

OccasionCodes NumberOccasionResponses(const input::PatternTable& table,
                                      const input::ModelDimensions& dims) {
  OccasionCodes codes;
  codes.patterns = table.patternCount > 0 ? table.patternCount : 0;
  codes.occasions = dims.HasStatuses() ? input::ModelDimensions::Positive(dims.occasions) : 0;
  codes.items = input::ModelDimensions::Positive(dims.statusItems);
  codes.firstItem = input::ModelDimensions::Positive(dims.classItems);
  const std::size_t entries = Size(codes.patterns) * Size(codes.occasions);
  codes.code.assign(entries, 0);
  codes.local.assign(entries, 0);
  NumberCodes(table, &codes);
  ListBlockCodes(&codes);
  return codes;
}

}  // namespace kov::em
