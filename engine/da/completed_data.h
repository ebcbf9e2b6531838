// The completed data of one data-augmentation iteration: every subject with its item responses
// (missing ones drawn) and its drawn latent class and statuses, kept as weighted records.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace kov::da {

inline constexpr int kLatentOccasions = 5;

// A completed response pattern together with one cell of its latent table, and the number of
// subjects drawn into that cell.
struct CompletedRecord {
  std::int32_t pattern = 0;      // index of the completed pattern in CompletedData
  std::int32_t latentClass = 0;  // 0-based
  std::array<std::int32_t, kLatentOccasions> statuses{};  // 0-based; 0 beyond the last occasion
  double count = 0.0;            // whole number of subjects
};

struct CompletedData {
  std::int32_t itemCount = 0;
  // The completed patterns: itemCount responses each (none missing), and their frequencies.
  std::vector<std::int32_t> responses;
  std::vector<double> frequencies;
  // Records with a positive count, pattern by pattern in pattern order, and inside a pattern in
  // the order of the latent table (class slowest, the status of occasion 5 fastest).
  std::vector<CompletedRecord> records;

  std::int32_t PatternCount() const { return static_cast<std::int32_t>(frequencies.size()); }
  const std::int32_t* Pattern(std::int32_t p) const {
    return responses.data() + static_cast<std::size_t>(p) * static_cast<std::size_t>(itemCount);
  }
};

}  // namespace kov::da
