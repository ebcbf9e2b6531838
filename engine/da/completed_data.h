// The completed data of one data-augmentation iteration: every subject with its item responses
// (missing ones drawn) and its drawn latent class and statuses, kept as weighted records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kov::da {

// A completed response pattern together with one cell of its latent table, and the number of
// subjects drawn into that cell. The cell's statuses are kept apart, in CompletedData, so that
// a record stays the same few bytes whatever the number of occasions.
struct CompletedRecord {
  std::int32_t pattern = 0;      // index of the completed pattern in CompletedData
  std::int32_t latentClass = 0;  // 0-based
  double count = 0.0;            // whole number of subjects
};

struct CompletedData {
  std::int32_t itemCount = 0;
  // The occasions of the latent process, at least 1 (a model without status items has one
  // occasion of a single status): each record has that many statuses.
  std::int32_t occasions = 1;
  // The completed patterns: itemCount responses each (none missing), and their frequencies.
  std::vector<std::int32_t> responses;
  std::vector<double> frequencies;
  // Records with a positive count, pattern by pattern in pattern order, and inside a pattern in
  // the order of the latent table (class slowest, the status of the last occasion fastest).
  std::vector<CompletedRecord> records;
  // The statuses of the records, 0-based, `occasions` of them per record in record order.
  std::vector<std::int32_t> statuses;

  std::int32_t PatternCount() const { return static_cast<std::int32_t>(frequencies.size()); }
  const std::int32_t* Pattern(std::int32_t p) const {
    return responses.data() + static_cast<std::size_t>(p) * static_cast<std::size_t>(itemCount);
  }
  // The statuses of record r.
  const std::int32_t* Statuses(std::size_t r) const {
    return statuses.data() + r * static_cast<std::size_t>(occasions);
  }
  // The statuses of a record of `records` (not of a copy).
  const std::int32_t* StatusesOf(const CompletedRecord& record) const {
    return Statuses(static_cast<std::size_t>(&record - records.data()));
  }
  // Appends a record with its `occasions` statuses.
  void Add(const CompletedRecord& record, const std::int32_t* recordStatuses) {
    records.push_back(record);
    statuses.insert(statuses.end(), recordStatuses, recordStatuses + occasions);
  }
};

}  // namespace kov::da
