#include "missingness.h"

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <utility>

namespace kov::em {

std::vector<std::int32_t> ItemCategoryCounts(const input::Model& model) {
  const input::ModelDimensions& dims = model.dims;
  const std::int32_t classItems = input::ModelDimensions::Positive(dims.classItems);
  const std::int32_t statusItems = input::ModelDimensions::Positive(dims.statusItems);
  const std::int32_t occasions = input::ModelDimensions::Positive(dims.occasions);
  std::vector<std::int32_t> counts;
  counts.reserve(static_cast<std::size_t>(dims.ItemCount()));
  for (std::int32_t j = 0; j < classItems; ++j) {
    counts.push_back(static_cast<std::size_t>(j) < model.classItemCategories.size()
                         ? model.classItemCategories[static_cast<std::size_t>(j)]
                         : 0);
  }
  for (std::int32_t t = 0; t < occasions; ++t) {
    for (std::int32_t i = 0; i < statusItems; ++i) {
      counts.push_back(static_cast<std::size_t>(i) < model.statusItemCategories.size()
                           ? model.statusItemCategories[static_cast<std::size_t>(i)]
                           : 0);
    }
  }
  return counts;
}

namespace {

constexpr std::size_t kKeyBits = 64;

// The missing-item bitmask of every pattern as words of 64 items, lowest items first, so that
// comparing the words from the top compares the masks as integers of any width.
std::vector<std::uint64_t> MissingMasks(const input::PatternTable& table, std::size_t words) {
  const std::size_t itemCount = static_cast<std::size_t>(table.itemCount);
  std::vector<std::uint64_t> masks(static_cast<std::size_t>(table.patternCount) * words, 0);
  for (std::int32_t p = 0; p < table.patternCount; ++p) {
    const std::int32_t* responses = table.Pattern(p);
    std::uint64_t* mask = masks.data() + static_cast<std::size_t>(p) * words;
    for (std::size_t i = 0; i < itemCount; ++i) {
      if (responses[i] == 0) mask[i / kKeyBits] |= std::uint64_t{1} << (i % kKeyBits);
    }
  }
  return masks;
}

}  // namespace

GroupedPatterns GroupByMissingness(const input::PatternTable& table, const input::Model& model) {
  GroupedPatterns grouped;
  grouped.categories = ItemCategoryCounts(model);
  const std::int32_t patternCount = table.patternCount > 0 ? table.patternCount : 0;
  const std::size_t itemCount = static_cast<std::size_t>(table.itemCount > 0 ? table.itemCount : 0);
  const std::size_t words = itemCount / kKeyBits + 1;
  const std::vector<std::uint64_t> masks = MissingMasks(table, words);

  grouped.order.resize(static_cast<std::size_t>(patternCount));
  std::iota(grouped.order.begin(), grouped.order.end(), 0);
  // Complete patterns compare by their cell index, whose most significant digit is the last
  // item; comparing responses from the last item down gives that order without forming the
  // index, which overflows for long patterns.
  const auto before = [&](std::int32_t a, std::int32_t b) {
    const std::uint64_t* maskA = masks.data() + static_cast<std::size_t>(a) * words;
    const std::uint64_t* maskB = masks.data() + static_cast<std::size_t>(b) * words;
    bool complete = true;
    for (std::size_t w = words; w-- > 0;) {
      if (maskA[w] != maskB[w]) return maskA[w] < maskB[w];
      if (maskA[w] != 0) complete = false;
    }
    if (!complete) return false;
    const std::int32_t* responsesA = table.Pattern(a);
    const std::int32_t* responsesB = table.Pattern(b);
    for (std::size_t i = itemCount; i-- > 0;) {
      if (responsesA[i] != responsesB[i]) return responsesA[i] < responsesB[i];
    }
    return false;
  };
  std::stable_sort(grouped.order.begin(), grouped.order.end(), before);

  input::PatternTable& sorted = grouped.patterns;
  sorted.patternCount = patternCount;
  sorted.itemCount = static_cast<std::int32_t>(itemCount);
  sorted.subjectCount = table.subjectCount;
  sorted.responses.resize(static_cast<std::size_t>(patternCount) * itemCount);
  sorted.frequencies.resize(static_cast<std::size_t>(patternCount));
  for (std::int32_t q = 0; q < patternCount; ++q) {
    const std::int32_t p = grouped.order[static_cast<std::size_t>(q)];
    std::copy_n(table.Pattern(p), itemCount,
                sorted.responses.begin() + static_cast<std::ptrdiff_t>(q * itemCount));
    sorted.frequencies[static_cast<std::size_t>(q)] =
        table.frequencies[static_cast<std::size_t>(p)];
  }

  for (std::int32_t q = 0; q < patternCount;) {
    const std::uint64_t* mask =
        masks.data() + static_cast<std::size_t>(grouped.order[static_cast<std::size_t>(q)]) * words;
    MissingnessGroup group;
    group.first = q;
    while (q < patternCount &&
           std::equal(mask, mask + words,
                      masks.data() +
                          static_cast<std::size_t>(grouped.order[static_cast<std::size_t>(q)]) *
                              words)) {
      group.frequency += sorted.frequencies[static_cast<std::size_t>(q)];
      ++q;
    }
    group.count = q - group.first;
    group.observed.assign(itemCount, 1);
    for (std::size_t i = 0; i < itemCount; ++i) {
      if ((mask[i / kKeyBits] >> (i % kKeyBits)) & 1u) {
        group.observed[i] = 0;
        group.missingItems.push_back(static_cast<std::int32_t>(i));
        group.completions *=
            i < grouped.categories.size() ? static_cast<double>(grouped.categories[i]) : 0.0;
      }
    }
    grouped.groups.push_back(std::move(group));
  }
  grouped.codes = NumberOccasionResponses(grouped.patterns, model.dims);
  return grouped;
}

}  // namespace kov::em
