// The parameter estimates reader: the first set and its iteration number as an EM run reads them
// (ReadStartValuesFile, from a path), and two sets one after the other as a data-augmentation
// run reads them (ReadParameterSet). A set that reads is written back with the estimates writer
// and read again: the writer's text must read, and its second writing must equal its first.
//
// Input layout. Bytes 1 to 8 give the dimensions: C (1 to 4), S (1 to 4), Ic (0 to 4),
// Is (0 to 4), T (1 to 5), order (1 or 2), Kc (0 to 3), Ks (0 to 3). The rest is the file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/text_output.h"
#include "fuzz_support.h"
#include "input/control_file.h"
#include "input/estimates_writer.h"
#include "input/model.h"
#include "input/text_input.h"

namespace {

using kov::input::ModelDimensions;
using kov::input::ParameterSet;

std::string ReadAll(const std::string& path) {
  std::string text;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) __builtin_trap();
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  return text;
}

std::string WriteSet(const ModelDimensions& dims, const ParameterSet& values,
                     std::int32_t iteration, const char* name) {
  const std::string path = kov::fuzz::WriteScratchFile(name, nullptr, 0);
  kov::input::TextOutput out;
  if (out.Create(path) != 0) __builtin_trap();
  if (kov::input::WriteParameterEstimates(dims, values, iteration, kov::input::kEstimatesFileFormat,
                                          out) != 0) {
    __builtin_trap();
  }
  if (out.Close() != 0) __builtin_trap();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kov::fuzz::InputCursor cursor(data, size);
  ModelDimensions dims;
  dims.classes = 1 + cursor.Take(4);
  dims.statuses = 1 + cursor.Take(4);
  dims.classItems = cursor.Take(5);
  dims.statusItems = cursor.Take(5);
  dims.occasions = 1 + cursor.Take(5);
  dims.order = 1 + cursor.Take(2);
  dims.maxClassCategories = cursor.Take(4);
  dims.maxStatusCategories = cursor.Take(4);
  if (dims.occasions >= 3) {
    std::int32_t power = 1;
    for (std::int32_t i = 0; i < dims.order; ++i) power *= dims.statuses;
    dims.extraTransitionRows = (dims.occasions - 2) * power;
  }

  const std::string path = kov::fuzz::WriteScratchFile("start.est", cursor.Rest(), cursor.RestSize());
  ParameterSet first;
  kov::input::AllocateParameters(dims, &first);
  std::int32_t iteration = 0;
  const bool firstRead = kov::input::ReadStartValuesFile(path, dims, &first, &iteration).IsOk();

  kov::input::TextInput in;
  if (in.Open(path) != 0) __builtin_trap();
  ParameterSet a, b;
  kov::input::AllocateParameters(dims, &a);
  kov::input::AllocateParameters(dims, &b);
  std::int32_t iterationA = 0, iterationB = 0;
  const bool setRead = kov::input::ReadParameterSet(in, dims, &a, &iterationA) == 0;
  // The two readers read the first set by the same rules.
  if (firstRead != setRead || (firstRead && (first.gamma != a.gamma || first.delta != a.delta ||
                                             first.tau != a.tau || first.littleRho != a.littleRho ||
                                             first.bigRho != a.bigRho || iteration != iterationA))) {
    __builtin_trap();
  }
  if (!setRead) return 0;
  kov::input::ReadParameterSet(in, dims, &b, &iterationB);
  // The writer leaves out a negative iteration number (a set without one), which a reader then
  // misses: only sets with their number make the round trip.
  if (iterationA < 0) return 0;

  // Round trip: writing, reading and writing again must give the same text.
  const std::string once = WriteSet(dims, a, iterationA, "once.est");
  ParameterSet again;
  kov::input::AllocateParameters(dims, &again);
  std::int32_t iterationAgain = 0;
  if (!kov::input::ReadStartValuesFile(once, dims, &again, &iterationAgain).IsOk()) {
    __builtin_trap();
  }
  const std::string twice = WriteSet(dims, again, iterationAgain, "twice.est");
  if (ReadAll(once) != ReadAll(twice)) __builtin_trap();
  return 0;
}
