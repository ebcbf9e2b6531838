#include "saturated_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "fit.h"

namespace kov::em {

namespace {

constexpr std::uint64_t kWordLimit = std::numeric_limits<std::uint64_t>::max();

std::uint64_t CategoryCount(std::int32_t count) {
  return count > 1 ? static_cast<std::uint64_t>(count) : 1u;
}

// Completions of one pattern of the group: the product of the category counts of its missing
// items.
double GroupCompletions(const MissingnessGroup& group, const std::vector<std::int32_t>& categories) {
  double product = 1.0;
  for (std::int32_t item : group.missingItems) {
    product *= static_cast<double>(categories[static_cast<std::size_t>(item)]);
  }
  return product;
}

}  // namespace

void SaturatedModel::SetKeyLayout(const std::vector<std::int32_t>& categories) {
  m_categories = categories;
  const std::size_t items = categories.size();
  std::vector<std::size_t> wordOfItem(items);
  m_itemStride.assign(items, 1);
  std::size_t word = 0;
  std::uint64_t product = 1;  // of the items already in the current word
  for (std::size_t i = 0; i < items; ++i) {
    const std::uint64_t count = CategoryCount(categories[i]);
    if (product > kWordLimit / count) {
      ++word;
      product = 1;
    }
    wordOfItem[i] = word;
    m_itemStride[i] = product;
    product *= count;
  }
  m_keyWords = word + 1;
  // Stored most significant word first, so that keys compare like the cell indices.
  m_itemWord.resize(items);
  for (std::size_t i = 0; i < items; ++i) m_itemWord[i] = m_keyWords - 1 - wordOfItem[i];
}

void SaturatedModel::CellKey(const std::int32_t* responses, std::uint64_t* key) const {
  std::fill(key, key + m_keyWords, std::uint64_t{0});
  for (std::size_t i = 0; i < m_categories.size(); ++i) {
    if (responses[i] > 0) {
      key[m_itemWord[i]] += static_cast<std::uint64_t>(responses[i] - 1) * m_itemStride[i];
    }
  }
}

SaturatedStatus SaturatedModel::Estimate(const GroupedPatterns& grouped,
                                         std::int32_t maxIterations, double criterion) {
  *this = SaturatedModel(m_maxCompletions);
  const std::vector<std::int32_t>& categories = grouped.categories;
  const std::vector<double>& frequencies = grouped.patterns.frequencies;

  // The limit is checked on the counts alone, before anything is allocated.
  double totalCompletions = 0.0;
  for (const MissingnessGroup& group : grouped.groups) {
    const double completions = GroupCompletions(group, categories);
    if (completions > m_maxCompletions) return m_status = SaturatedStatus::kTooLarge;
    totalCompletions += completions * static_cast<double>(group.count);
    if (totalCompletions > m_maxCompletions) return m_status = SaturatedStatus::kTooLarge;
  }
  const auto completionCount = static_cast<std::size_t>(totalCompletions);

  SetKeyLayout(categories);
  m_cells = CompleteCellCount(categories);
  const std::size_t words = m_keyWords;

  // slots[k]: the reachable cell of completion k; the completions of each pattern are
  // contiguous, patterns in sorted order, each pattern's in mixed-radix order over its missing
  // items (first missing item fastest).
  std::vector<std::int32_t> slots(completionCount);
  {
    std::vector<std::uint64_t> keys(completionCount * words);
    std::vector<std::int32_t> digits;
    std::size_t k = 0;
    for (const MissingnessGroup& group : grouped.groups) {
      const auto completions = static_cast<std::size_t>(GroupCompletions(group, categories));
      if (completions == 0) continue;  // an item without categories: nothing to reach
      for (std::int32_t p = group.first; p < group.first + group.count; ++p) {
        std::uint64_t* key = keys.data() + k * words;
        CellKey(grouped.patterns.Pattern(p), key);
        digits.assign(group.missingItems.size(), 0);
        for (std::size_t c = 1; c < completions; ++c) {
          std::uint64_t* next = key + words;
          std::copy(key, key + words, next);
          key = next;
          for (std::size_t j = 0; j < digits.size(); ++j) {
            const auto item = static_cast<std::size_t>(group.missingItems[j]);
            if (digits[j] + 1 < categories[item]) {
              ++digits[j];
              key[m_itemWord[item]] += m_itemStride[item];
              break;
            }
            key[m_itemWord[item]] -= static_cast<std::uint64_t>(digits[j]) * m_itemStride[item];
            digits[j] = 0;
          }
        }
        k += completions;
      }
    }

    std::vector<std::uint32_t> order(completionCount);
    std::iota(order.begin(), order.end(), 0u);
    const auto less = [&](std::uint32_t a, std::uint32_t b) {
      const std::uint64_t* x = keys.data() + static_cast<std::size_t>(a) * words;
      const std::uint64_t* y = keys.data() + static_cast<std::size_t>(b) * words;
      return std::lexicographical_compare(x, x + words, y, y + words);
    };
    std::sort(order.begin(), order.end(), less);
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < completionCount; ++i) {
      if (i == 0 || less(order[i - 1], order[i])) ++distinct;
    }
    m_cellKeys.reserve(distinct * words);
    std::int32_t cell = -1;
    for (std::size_t i = 0; i < completionCount; ++i) {
      const std::uint64_t* key = keys.data() + static_cast<std::size_t>(order[i]) * words;
      if (i == 0 || less(order[i - 1], order[i])) {
        ++cell;
        m_cellKeys.insert(m_cellKeys.end(), key, key + words);
      }
      slots[order[i]] = cell;
    }
  }

  const std::size_t reachable = m_cellKeys.size() / words;
  std::vector<double> theta(reachable, 1.0);  // the uniform start up to its scale 1 / cells
  std::vector<double> counts(reachable);
  for (double n : frequencies) m_total += n;
  const double uniform = 1.0 / m_cells;

  // EM: spread every pattern over its completions in proportion to the current probabilities.
  // The spreading is the same for any common scale of theta, so the first iteration can start
  // from 1 where the true start 1 / cells may underflow for very large tables.
  for (std::int32_t iteration = 1; iteration <= maxIterations && m_total > 0.0; ++iteration) {
    std::fill(counts.begin(), counts.end(), 0.0);
    std::size_t k = 0;
    for (const MissingnessGroup& group : grouped.groups) {
      const auto completions = static_cast<std::size_t>(GroupCompletions(group, categories));
      for (std::int32_t p = group.first; p < group.first + group.count; ++p, k += completions) {
        const double n = frequencies[static_cast<std::size_t>(p)];
        if (n == 0.0) continue;
        double observedPart = 0.0;
        for (std::size_t c = k; c < k + completions; ++c) {
          observedPart += theta[static_cast<std::size_t>(slots[c])];
        }
        // Only a pattern nobody gave can lose all its mass; it was skipped above.
        if (!(observedPart > 0.0)) continue;
        const double scale = n / observedPart;
        for (std::size_t c = k; c < k + completions; ++c) {
          const auto s = static_cast<std::size_t>(slots[c]);
          counts[s] += scale * theta[s];
        }
      }
    }
    double change = 0.0;
    for (std::size_t s = 0; s < reachable; ++s) {
      const double updated = counts[s] / m_total;
      change += std::fabs(updated - (iteration == 1 ? uniform : theta[s]));
      theta[s] = updated;
    }
    // The unreachable cells fall from 1 / cells to 0 in the first iteration and stay there.
    if (iteration == 1) change += 1.0 - static_cast<double>(reachable) * uniform;
    m_mad = change / m_cells;
    m_iterations = iteration;
    if (m_mad < criterion) break;
  }

  const std::size_t patternCount = frequencies.size();
  m_patternProbabilities.assign(patternCount, 0.0);
  m_groupFrequencies.assign(patternCount, 0.0);
  std::size_t k = 0;
  for (const MissingnessGroup& group : grouped.groups) {
    const double completions = GroupCompletions(group, categories);
    const auto width = static_cast<std::size_t>(completions);
    for (std::int32_t p = group.first; p < group.first + group.count; ++p, k += width) {
      const auto q = static_cast<std::size_t>(p);
      m_groupFrequencies[q] = group.frequency;
      if (m_iterations == 0) {
        m_patternProbabilities[q] = completions / m_cells;
        continue;
      }
      double sum = 0.0;
      for (std::size_t c = k; c < k + width; ++c) sum += theta[static_cast<std::size_t>(slots[c])];
      m_patternProbabilities[q] = sum;
    }
  }
  if (m_iterations == 0) std::fill(theta.begin(), theta.end(), uniform);
  m_cellProbabilities = std::move(theta);
  m_gSquared = ModelGSquared(grouped, m_patternProbabilities);
  return m_status = SaturatedStatus::kEstimated;
}

double SaturatedModel::ExpectedFrequency(std::int32_t pattern) const {
  if (!Estimated() || pattern < 0 ||
      static_cast<std::size_t>(pattern) >= m_patternProbabilities.size()) {
    return -1.0;
  }
  const auto q = static_cast<std::size_t>(pattern);
  return m_groupFrequencies[q] * m_patternProbabilities[q];
}

double SaturatedModel::CellExpectedFrequency(const std::int32_t* responses) const {
  if (!Estimated()) return -1.0;
  for (std::size_t i = 0; i < m_categories.size(); ++i) {
    if (responses[i] < 1 || responses[i] > m_categories[i]) return -1.0;
  }
  std::vector<std::uint64_t> key(m_keyWords);
  CellKey(responses, key.data());
  const std::size_t words = m_keyWords;
  std::size_t low = 0;
  std::size_t high = m_cellProbabilities.size();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    const std::uint64_t* cell = m_cellKeys.data() + middle * words;
    if (std::lexicographical_compare(cell, cell + words, key.begin(), key.end())) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low < m_cellProbabilities.size() &&
      std::equal(key.begin(), key.end(), m_cellKeys.data() + low * words)) {
    return m_total * m_cellProbabilities[low];
  }
  // An unreachable cell keeps the uniform start until the first iteration takes it to 0.
  return m_iterations == 0 ? m_total / m_cells : 0.0;
}

}  // namespace kov::em
