#include "data_file.h"

#include <charconv>
#include <cmath>

#include "../base/engine_status.h"
#include "../base/result_codes.h"
#include "../base/status.h"
#include "messages.h"
#include "read_step.h"

namespace kov::input {

namespace {

// Records are many and cheap; the abort flag's lock may take up to a second to get. Asking
// every few thousand records answers an abort within moments without slowing the reading. The
// first ask comes only after that many records: a file read in a moment leaves an early abort
// to the estimation, which ends it after its first iteration with a report.
constexpr std::size_t kRecordsBetweenAbortChecks = 4096;

// The total of the frequencies may not pass this. Doubles count whole subjects exactly up to
// 2^53 (about 9e15), so every total below it is still an exact count, and sums over patterns
// and cells in the estimation stay far from overflow. No study comes near it: a larger total
// is a typing slip or a file that is not ours.
constexpr double kMaxSubjectCount = 1e15;

constexpr std::string_view kAbortedMessage = "The run was aborted while the data file was read.";

bool AbortDue(std::size_t record) {
  return record != 0 && record % kRecordsBetweenAbortChecks == 0 && run::AbortRequested();
}

std::string Decimal(long value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  return std::string(digits, result.ptr);
}

Status ReadFailure(std::int32_t status, const DataLayout& layout) {
  return Status(status, Message("Unable to read from data file: ", layout.path,
                                "; Please make sure that this file is properly formatted."));
}

// Adds a record's frequency to the total; a failure when the total passes kMaxSubjectCount at
// the record that ends on `line`.
Status AddToSubjectCount(double frequency, const DataLayout& layout, long line, double* total) {
  *total += frequency;
  if (*total <= kMaxSubjectCount) return {};
  return Status(kFrequencyTooLarge,
                Message("Unable to read from data file: ", layout.path,
                        "; the frequencies up to line " + Decimal(line) +
                            " add up to more than 1e15 subjects, beyond what the estimation "
                            "can count."));
}

// A response is a category of its item, or 0 where missing responses are declared.
bool ResponsesFitModel(const Model& model, const std::int32_t* responses) {
  const ModelDimensions& d = model.dims;
  const std::int32_t classItems = ModelDimensions::Positive(d.classItems);
  const std::int32_t n = d.ItemCount();
  for (std::int32_t i = 0; i < n; ++i) {
    const std::int32_t categories =
        i < classItems ? model.classItemCategories[static_cast<std::size_t>(i)]
                       : model.statusItemCategories[static_cast<std::size_t>((i - classItems) %
                                                                             d.statusItems)];
    const std::int32_t r = responses[i];
    if (r == 0 ? !model.missingData : (r < 0 || r > categories)) return false;
  }
  return true;
}

}  // namespace

DataLayout DataLayoutOf(const Model& model) {
  DataLayout layout;
  layout.path = TrimRight(model.dataFile);
  layout.fixedFormat = model.fixedFormat;
  layout.format = TrimRight(model.dataFormat);
  layout.itemCount = model.dims.ItemCount();
  return layout;
}

std::int32_t DataFileReader::Open(const DataLayout& layout) {
  m_fixed = layout.fixedFormat;
  m_itemCount = layout.itemCount;
  const std::int32_t status = m_input.Open(layout.path);
  if (status != kStatusOk) return status;
  return m_fixed ? FixedFormat::Parse(layout.format, &m_format) : kStatusOk;
}

std::int32_t DataFileReader::ReadRecord(std::int32_t* responses, double* frequency) {
  if (m_input.AtEndIgnoringBlankLines()) return kEndOfFile;
  std::int32_t status = kStatusOk;
  if (m_fixed) {
    status = m_format.ReadRecord(m_input, responses, m_itemCount, frequency);
  } else {
    ReadStep step(m_input);
    for (std::int32_t i = 0; i < m_itemCount && status == kStatusOk; ++i) {
      status = step.Int(&responses[i]);
    }
    if (status == kStatusOk) status = step.Real(frequency);
  }
  // The record had begun (something other than blank lines was left), so an end here is an
  // end inside the record.
  return status == kEndOfFile ? kTruncatedRecord : status;
}

Status CountDataRecords(const DataLayout& layout, std::int32_t* patternCount,
                        double* subjectCount) {
  *patternCount = 0;
  *subjectCount = 0.0;
  DataFileReader reader;
  std::int32_t status = reader.Open(layout);
  if (status == kBadDataFormat) return Status(status, "Error reading data");
  if (status != kStatusOk) {
    const std::string refused = RefusedFileMessage("data file", layout.path, status);
    return Status(status, refused.empty() ? std::string("Error Opening Data File") : refused);
  }
  std::vector<std::int32_t> scratch(static_cast<std::size_t>(layout.itemCount));
  for (std::size_t record = 0; !reader.AtEnd(); ++record) {
    if (AbortDue(record)) return Status(kRunAborted, std::string(kAbortedMessage));
    ++*patternCount;
    double frequency = 0.0;
    status = reader.ReadRecord(scratch.data(), &frequency);
    if (status > 0) return Status(status, "Error reading data");
    if (Status added = AddToSubjectCount(frequency, layout, reader.LineNumber(), subjectCount);
        !added.IsOk()) {
      return added;
    }
  }
  return {};
}

Status OpenDataFile(const DataLayout& layout, DataFileReader* reader) {
  const std::int32_t status = reader->Open(layout);
  if (status == kBadDataFormat) return ReadFailure(status, layout);
  if (status != kStatusOk) {
    return Status(status,
                  OpenFailureMessage("data file", layout.path, status,
                                     "Unable to open data file for reading: ",
                                     ";  Please make sure this is a valid file path and name."));
  }
  return {};
}

Status LoadPatterns(DataFileReader& reader, const Model& model, const DataLayout& layout,
                    std::int32_t patternCount, PatternTable* table) {
  const std::size_t n = static_cast<std::size_t>(layout.itemCount);
  const std::size_t count = static_cast<std::size_t>(patternCount > 0 ? patternCount : 0);
  table->patternCount = static_cast<std::int32_t>(count);
  table->itemCount = layout.itemCount;
  table->subjectCount = 0.0;
  table->responses.assign(n * count, 0);
  table->frequencies.assign(count, 0.0);
  for (std::size_t p = 0; p < count; ++p) {
    if (AbortDue(p)) return Status(kRunAborted, std::string(kAbortedMessage));
    std::int32_t* responses = table->responses.data() + p * n;
    double& frequency = table->frequencies[p];
    std::int32_t status = reader.ReadRecord(responses, &frequency);
    // The file held fewer records than the counting pass found: it changed in between.
    if (status == kEndOfFile) status = kTruncatedRecord;
    if (status == kStatusOk &&
        (!ResponsesFitModel(model, responses) || !std::isfinite(frequency) || frequency < 0.0)) {
      status = kBadResponse;
    }
    if (status != kStatusOk) return ReadFailure(status, layout);
    if (Status added =
            AddToSubjectCount(frequency, layout, reader.LineNumber(), &table->subjectCount);
        !added.IsOk()) {
      return added;
    }
  }
  return {};
}

}  // namespace kov::input
