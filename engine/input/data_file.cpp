#include "data_file.h"

#include <cmath>

#include "../run/engine_status.h"
#include "../run/result_codes.h"
#include "messages.h"
#include "read_step.h"

namespace kov::input {

namespace {

using run::SetEngineError;

void RecordReadFailure(std::int32_t status, const DataLayout& layout) {
  SetEngineError(status, Message("Unable to read from data file: ", layout.path,
                                 "; Please make sure that this file is properly formatted."));
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

std::int32_t CountDataRecords(const DataLayout& layout, std::int32_t* patternCount,
                              double* subjectCount) {
  *patternCount = 0;
  *subjectCount = 0.0;
  DataFileReader reader;
  std::int32_t status = reader.Open(layout);
  if (status == kBadDataFormat) {
    SetEngineError(status, "Error reading data");
    return status;
  }
  if (status != kStatusOk) {
    SetEngineError(status, "Error Opening Data File");
    return status;
  }
  std::vector<std::int32_t> scratch(static_cast<std::size_t>(layout.itemCount));
  while (!reader.AtEnd()) {
    ++*patternCount;
    double frequency = 0.0;
    status = reader.ReadRecord(scratch.data(), &frequency);
    if (status > 0) {
      SetEngineError(status, "Error reading data");
      return status;
    }
    *subjectCount += frequency;
  }
  return kStatusOk;
}

std::int32_t OpenDataFile(const DataLayout& layout, DataFileReader* reader) {
  const std::int32_t status = reader->Open(layout);
  if (status == kBadDataFormat) {
    RecordReadFailure(status, layout);
  } else if (status != kStatusOk) {
    SetEngineError(status, Message("Unable to open data file for reading: ", layout.path,
                                   ";  Please make sure this is a valid file path and name."));
  }
  return status;
}

std::int32_t LoadPatterns(DataFileReader& reader, const Model& model, const DataLayout& layout,
                          std::int32_t patternCount, PatternTable* table) {
  const std::size_t n = static_cast<std::size_t>(layout.itemCount);
  const std::size_t count = static_cast<std::size_t>(patternCount > 0 ? patternCount : 0);
  table->patternCount = static_cast<std::int32_t>(count);
  table->itemCount = layout.itemCount;
  table->subjectCount = 0.0;
  table->responses.assign(n * count, 0);
  table->frequencies.assign(count, 0.0);
  for (std::size_t p = 0; p < count; ++p) {
    std::int32_t* responses = table->responses.data() + p * n;
    double& frequency = table->frequencies[p];
    std::int32_t status = reader.ReadRecord(responses, &frequency);
    // The file held fewer records than the counting pass found: it changed in between.
    if (status == kEndOfFile) status = kTruncatedRecord;
    if (status == kStatusOk &&
        (!ResponsesFitModel(model, responses) || !std::isfinite(frequency) || frequency < 0.0)) {
      status = kBadResponse;
    }
    if (status != kStatusOk) {
      RecordReadFailure(status, layout);
      return status;
    }
    table->subjectCount += frequency;
  }
  return kStatusOk;
}

}  // namespace kov::input
