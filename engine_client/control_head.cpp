#include "control_head.h"

#include "input/control_file.h"

namespace kov::client {

namespace {

// The model as far as the engine's reader got, and which of the head's sections it read whole.
// The reader fills the model section by section; the last value of the EM and of the DA section
// is a file name, which it always gives as a field of exactly kFileNameWidth characters (blank
// when the flag before it says no file), so a field of that width marks a finished section.
struct Head {
  input::Model model;
  bool emRead = false;
  bool daRead = false;
};

Head ReadHead(const std::string& path) {
  Head head;
  // The result is the engine's verdict on the whole file, which is not ours to give.
  (void)input::ReadControlFile(path, &head.model);
  head.emRead = head.model.emEstimatesFile.size() == input::kFileNameWidth;
  head.daRead = head.model.individualEstimatesFile.size() == input::kFileNameWidth;
  return head;
}

std::optional<std::string> NameOf(bool read, const std::string& field) {
  if (!read) return std::nullopt;
  std::string name = input::TrimRight(field);
  if (name.empty()) return std::nullopt;
  return name;
}

}  // namespace

std::optional<std::int64_t> ReadIterationLimit(const std::string& path, RunKind kind) {
  const Head head = ReadHead(path);
  const input::Model& m = head.model;
  if (kind == RunKind::kEM) {
    if (!head.emRead || m.maxIterations <= 0) return std::nullopt;
    return m.maxIterations;
  }
  if (!head.daRead || m.iterationsBetweenImputations <= 0 || m.imputations <= 0) {
    return std::nullopt;
  }
  return std::int64_t{m.iterationsBetweenImputations} * m.imputations;
}

std::optional<std::string> ReadReportName(const std::string& path, RunKind kind) {
  const Head head = ReadHead(path);
  return kind == RunKind::kEM ? NameOf(head.emRead, head.model.emOutputFile)
                              : NameOf(head.daRead, head.model.daOutputFile);
}

std::optional<std::string> ReadSeriesName(const std::string& path) {
  const Head head = ReadHead(path);
  return NameOf(head.daRead, head.model.seriesFile);
}

}  // namespace kov::client
