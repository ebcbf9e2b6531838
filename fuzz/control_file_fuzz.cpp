// The control-file reader on arbitrary text. The reader takes a path, so each input is written
// to a scratch file first. A file that reads through is also handed to the two start-value
// checks, which walk every array the reader sized from the dimensions it accepted.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/text_output.h"
#include "fuzz_support.h"
#include "input/control_file.h"
#include "input/model.h"
#include "input/parameter_checks.h"

namespace {

// Walking arrays of millions of values is not what this target is for; the reader's own limits
// are exercised all the same, since it sizes the arrays before this test.
constexpr std::size_t kMaxCheckedValues = 1u << 16;

std::size_t ValueCount(const kov::input::ParameterSet& values) {
  return values.gamma.size() + values.delta.size() + values.tau.size() + values.littleRho.size() +
         values.bigRho.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = kov::fuzz::WriteScratchFile("control.cnt", data, size);
  std::string field = path;
  field.resize(kov::input::kFileNameWidth, ' ');
  kov::input::Model model;
  if (!kov::input::ReadControlFile(field, &model).IsOk()) return 0;
  if (ValueCount(model.start) > kMaxCheckedValues) return 0;
  kov::input::FindStartValueSumFailures(model.dims, model.start);
  kov::input::FindRestrictionInconsistency(model.dims, model.start, model.codes);
  return 0;
}
