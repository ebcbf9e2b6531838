#include "imputed_data_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>

#include "base/engine_status.h"
#include "base/result_codes.h"
#include "base/text_output.h"
#include "report/fields.h"

namespace kov::da {

namespace {

// The status columns of every file of a model with five occasions or fewer.
constexpr std::int32_t kImputedStatusColumns = 5;

std::string Record(const input::ModelDimensions& dims, const CompletedData& data,
                   const CompletedRecord& record) {
  std::string line;
  const std::int32_t* responses = data.Pattern(record.pattern);
  for (std::int32_t i = 0; i < data.itemCount; ++i) {
    line += report::FormatInteger(responses[i], 2);
    line += ' ';
  }
  line += "  ";
  if (!dims.HasStatuses()) {
    line += report::FormatInteger(record.latentClass + 1, 3);
    line += "  ";
  } else {
    if (dims.HasClasses()) {
      line += report::FormatInteger(record.latentClass + 1, 3);
      line += ' ';
    }
    // Files of five occasions or fewer keep their five status columns, those past the model's
    // last occasion showing 1, so that readers of the fixed layout go on reading them; longer
    // panels have a column per occasion.
    const std::int32_t* statuses = data.StatusesOf(record);
    const std::int32_t columns = std::max(kImputedStatusColumns, dims.occasions);
    for (std::int32_t t = 0; t < columns; ++t) {
      const std::int32_t status = t < data.occasions ? statuses[t] + 1 : 1;
      line += report::FormatInteger(status, 3);
      line += ' ';
    }
  }
  line += report::FormatInteger(std::llround(record.count), 8);
  return line;
}

Status Failed(std::int32_t status, const std::string& controlFilePath) {
  return Status(status,
                "The DA routine was unable to open or write to one or more imputed data "
                "files.  Please make sure that the folder, " +
                    ControlFileFolder(controlFilePath) + ", is available for writing.");
}

}  // namespace

std::string ControlFileFolder(const std::string& controlFilePath) {
  const std::string path = input::TrimRight(controlFilePath);
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

std::string ImputedDataFileName(const std::string& controlFilePath, std::int32_t imputation) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, imputation).ptr;
  return ControlFileFolder(controlFilePath) + "imp" + std::string(digits, end) + ".dat";
}

// The records under the file's temporary name, closed with their data on the disk but not yet
// in the named file's place.
Status WriteUnderTemporaryName(std::int32_t imputation, const std::string& controlFilePath,
                               const input::ModelDimensions& dims, const CompletedData& data,
                               input::TextOutput& out) {
  std::int32_t status = out.CreateReplacing(ImputedDataFileName(controlFilePath, imputation));
  if (status != kStatusOk) return Failed(status, controlFilePath);
  for (const CompletedRecord& record : data.records) {
    if (!(record.count > 0.0)) continue;
    if ((status = out.WriteLine(Record(dims, data, record))) != kStatusOk) break;
  }
  // Finishing reports a failed flush too; after a failed write it returns that write's status.
  status = out.Finish();
  if (status != kStatusOk) return Failed(status, controlFilePath);
  return {};
}

Status WriteImputedDataFile(std::int32_t imputation, const std::string& controlFilePath,
                            const input::ModelDimensions& dims, const CompletedData& data) {
  input::TextOutput out;
  if (Status written = WriteUnderTemporaryName(imputation, controlFilePath, dims, data, out);
      !written.IsOk()) {
    return written;
  }
  if (const std::int32_t status = out.Commit(); status != kStatusOk) {
    return Failed(status, controlFilePath);
  }
  return {};
}

Status ImputedDataFiles::Write(std::int32_t imputation, const std::string& controlFilePath,
                               const input::ModelDimensions& dims, const CompletedData& data) {
  m_files.push_back(std::make_unique<input::TextOutput>());
  return WriteUnderTemporaryName(imputation, controlFilePath, dims, data, *m_files.back());
}

Status ImputedDataFiles::Commit(const std::string& controlFilePath) {
  std::int32_t status = kStatusOk;
  for (const std::unique_ptr<input::TextOutput>& file : m_files) {
    const std::int32_t committed = file->Commit();
    if (status == kStatusOk) status = committed;
  }
  m_files.clear();
  if (status != kStatusOk) return Failed(status, controlFilePath);
  return {};
}

}  // namespace kov::da
