// The data file read free field or in fixed format, through both passes as a run makes them:
// the counting pass, then the loading pass with its response checks.
//
// Input layout. Byte 1: the number of items (0 to 39). Byte 2: bit 0 declares missing data,
// bit 1 selects fixed format. Byte 3: the categories of every item (1 to 4). In fixed format
// the format text follows, up to the first line end, and the rest is the data file; free field
// takes all the rest as the data file. Built twice, as data_free_fuzz and data_fixed_fuzz, each
// forcing its mode so that the fuzzer spends its time on one reader.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "input/data_file.h"
#include "input/model.h"

#ifndef MARNEL_FUZZ_FIXED_FORMAT
#error "define MARNEL_FUZZ_FIXED_FORMAT as 0 (free field) or 1 (fixed format)"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kov::fuzz::InputCursor cursor(data, size);
  const std::int32_t items = cursor.Take(40);
  const std::int32_t flags = cursor.Take(256);
  const std::int32_t categories = 1 + cursor.Take(4);

  kov::input::Model model;
  model.dims.classItems = items;
  model.dims.maxClassCategories = categories;
  model.classItemCategories.assign(static_cast<std::size_t>(items), categories);
  model.missingData = (flags & 1) != 0;
  model.fixedFormat = MARNEL_FUZZ_FIXED_FORMAT != 0;

  const std::uint8_t* rest = cursor.Rest();
  std::size_t restSize = cursor.RestSize();
  if (model.fixedFormat) {
    const void* end = std::memchr(rest, '\n', restSize);
    const std::size_t formatSize =
        end == nullptr ? restSize : static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - rest);
    model.dataFormat.assign(reinterpret_cast<const char*>(rest), formatSize);
    const std::size_t used = end == nullptr ? restSize : formatSize + 1;
    rest += used;
    restSize -= used;
  }
  model.dataFile = kov::fuzz::WriteScratchFile("data.dat", rest, restSize);

  const kov::input::DataLayout layout = kov::input::DataLayoutOf(model);
  std::int32_t patterns = 0;
  double subjects = 0.0;
  (void)kov::input::CountDataRecords(layout, &patterns, &subjects);
  kov::input::DataFileReader reader;
  if (!kov::input::OpenDataFile(layout, &reader).IsOk()) return 0;
  kov::input::PatternTable table;
  if (kov::input::LoadPatterns(reader, model, layout, patterns, &table).IsOk()) {
    // Both passes read the same file: they must agree on what it holds.
    if (table.patternCount != patterns || table.subjectCount != subjects) __builtin_trap();
  }
  return 0;
}
