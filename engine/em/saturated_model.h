// The saturated model of data with missing responses: one probability per cell of the complete
// contingency table, estimated by EM under MAR. Its G-squared is the test of MCAR.
//
// Only the cells that some observed pattern can reach (the union of the patterns' completions)
// are stored. The others receive no expected count, so they drop to probability 0 after the
// first iteration; until then they hold the uniform start, which the lookups and the first
// iteration's MAD account for without storing them.
//
// A cell is keyed by its complete cell index (first item fastest) written as a mixed-radix
// number in as many 64-bit words as the table needs, so tables beyond 2^64 cells are handled
// exactly as long as their reachable part is small.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "missingness.h"

namespace kov::em {

enum class SaturatedStatus : std::int32_t {
  kNotEstimated = 0,
  kEstimated = 1,
  kTooLarge = 2,  // the patterns have more completions than the limit; nothing was allocated
};

class SaturatedModel {
 public:
  // The most completions, summed over all observed patterns, that the model estimates. The
  // memory and the work of one iteration grow with that sum (it bounds the reachable cells).
  static constexpr double kMaxCompletions = 1.0e7;
  static constexpr double kSlotLimit = 2147483647.0;

  // A smaller limit serves tests; larger ones are cut to what the 32-bit cell slots can number.
  explicit SaturatedModel(double maxCompletions = kMaxCompletions)
      : m_maxCompletions(maxCompletions < kSlotLimit ? maxCompletions : kSlotLimit) {}

  // Starts every cell at 1 / cells and runs at most maxIterations EM iterations, stopping as soon
  // as MAD_sat = sum over all cells of |new - old| / cells is below the criterion. With
  // maxIterations 0 the uniform start is the estimate. Checks the limit before allocating.
  SaturatedStatus Estimate(const GroupedPatterns& grouped, std::int32_t maxIterations,
                           double criterion);

  SaturatedStatus Status() const { return m_status; }
  bool Estimated() const { return m_status == SaturatedStatus::kEstimated; }
  // G-squared of the observed patterns under the saturated probabilities; 0 unless estimated.
  double GSquared() const { return m_gSquared; }
  std::int32_t Iterations() const { return m_iterations; }
  double Mad() const { return m_mad; }  // MAD_sat of the last iteration, 0 before any
  std::size_t ReachableCells() const { return m_cellProbabilities.size(); }

  // The saturated probability of each observed pattern's observed part, sorted pattern order.
  const std::vector<double>& PatternProbabilities() const { return m_patternProbabilities; }

  // N_g times the saturated probability of pattern p's observed part (sorted order); -1.0 when
  // the model is not estimated or p is out of range.
  double ExpectedFrequency(std::int32_t pattern) const;

  // N times the saturated probability of a complete cell given by its responses (one per
  // item, 1 to the item's category count); -1.0 when the model is not estimated or a response
  // is out of range.
  double CellExpectedFrequency(const std::int32_t* responses) const;

  // The most completions the model takes before it refuses with kTooLarge.
  double MaxCompletions() const { return m_maxCompletions; }

 private:
  // Words of a cell key, most significant first, filled from a complete response vector.
  void CellKey(const std::int32_t* responses, std::uint64_t* key) const;
  void SetKeyLayout(const std::vector<std::int32_t>& categories);

  double m_maxCompletions;
  SaturatedStatus m_status = SaturatedStatus::kNotEstimated;
  double m_gSquared = 0.0;
  double m_mad = 0.0;
  std::int32_t m_iterations = 0;
  double m_total = 0.0;  // N
  double m_cells = 0.0;

  // Key layout: item i adds (y_i - 1) * m_itemStride[i] to word m_itemWord[i].
  std::vector<std::int32_t> m_categories;
  std::vector<std::size_t> m_itemWord;
  std::vector<std::uint64_t> m_itemStride;
  std::size_t m_keyWords = 0;

  std::vector<std::uint64_t> m_cellKeys;        // reachable cells, sorted, m_keyWords each
  std::vector<double> m_cellProbabilities;      // per reachable cell
  std::vector<double> m_patternProbabilities;  // per sorted pattern
  std::vector<double> m_groupFrequencies;       // N_g of each sorted pattern's group
};

}  // namespace kov::em
