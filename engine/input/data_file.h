// The data file: response patterns with their frequencies, read free field or fixed format.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../base/status.h"
#include "fixed_format.h"
#include "model.h"
#include "text_input.h"

namespace kov::input {

// How the records of a data file are read.
struct DataLayout {
  std::string path;  // trimmed
  bool fixedFormat = false;
  std::string format;  // trimmed; used with fixedFormat
  std::int32_t itemCount = 0;  // N
};

DataLayout DataLayoutOf(const Model& model);

// P records of N responses (0 = missing), item fastest, and their frequencies, in file order.
struct PatternTable {
  std::int32_t patternCount = 0;
  std::int32_t itemCount = 0;
  double subjectCount = 0.0;
  std::vector<std::int32_t> responses;
  std::vector<double> frequencies;

  const std::int32_t* Pattern(std::int32_t p) const {
    return responses.data() + static_cast<std::size_t>(p) * static_cast<std::size_t>(itemCount);
  }
};

// An open data file read record by record. Blank lines after the last record are not records.
class DataFileReader {
 public:
  // kStatusOk, the open status, or kBadDataFormat for a fixed format that does not parse.
  std::int32_t Open(const DataLayout& layout);
  bool AtEnd() { return m_input.AtEndIgnoringBlankLines(); }
  // Reads the next record. A file that ends inside a record gives kTruncatedRecord.
  std::int32_t ReadRecord(std::int32_t* responses, double* frequency);
  long LineNumber() const { return m_input.LineNumber(); }

 private:
  TextInput m_input;
  FixedFormat m_format;
  bool m_fixed = false;
  std::int32_t m_itemCount = 0;
};

// The counting pass: the number of records and the sum of their frequencies. Success, or the
// failure ("Error Opening Data File", "Error reading data", an abort, frequencies beyond
// counting).
Status CountDataRecords(const DataLayout& layout, std::int32_t* patternCount,
                        double* subjectCount);

// The loading pass, in two steps as the drivers need them: open and, after the start-value
// checks, load P records; each returns its failure naming the file. Responses must be categories
// of their items, or 0 where the model declares missing data.
Status OpenDataFile(const DataLayout& layout, DataFileReader* reader);
Status LoadPatterns(DataFileReader& reader, const Model& model, const DataLayout& layout,
                    std::int32_t patternCount, PatternTable* table);

}  // namespace kov::input
