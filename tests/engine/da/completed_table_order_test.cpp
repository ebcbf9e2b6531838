// The order of the completed table whatever the width of its cell index: a table of few rows, and
// tables of many rows whose indices take one, two or three digits of the sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <random>
#include <vector>

#include "da/missing_draw.h"
#include "da/uniform.h"
#include "random_model.h"

namespace kov::da {
namespace {

using Row = std::vector<std::int32_t>;

// Keyed by the reversed pattern: the last item most significant, as the table is ordered.
Row Reversed(const std::int32_t* y, std::size_t items) {
  return Row(std::make_reverse_iterator(y + items), std::make_reverse_iterator(y));
}

// The completed table drawn one subject at a time from the same uniforms, each distinct
// completion with its count, in table order.
std::map<Row, double> DrawnAlone(const input::Model& model, const input::ParameterSet& values,
                                 const input::PatternTable& observed) {
  const std::size_t items = static_cast<std::size_t>(observed.itemCount);
  std::map<Row, double> table;
  MissingResponseDraw alone(model);
  alone.SetParameters(values);
  Row drawn(items);
  for (std::int32_t p = 0; p < observed.patternCount; ++p) {
    const std::int32_t* y = observed.Pattern(p);
    if (std::find(y, y + items, 0) == y + items) {
      table[Reversed(y, items)] += observed.frequencies[p];
      continue;
    }
    if (!(alone.Prepare(y) > 0.0)) continue;
    for (double n = 0; n < observed.frequencies[p]; ++n) {
      if (alone.DrawCompletion(NextUniform(0), drawn.data()))
        table[Reversed(drawn.data(), items)] += 1.0;
    }
  }
  return table;
}

TEST(CompletedTable, InCellOrderWhateverTheIndexWidth) {
  struct Case {
    const char* name;
    test::ModelShape shape;
    std::int32_t patterns;
    double missingShare;
  };
  const Case cases[] = {
      // Fewer rows than the digit sort is worth.
      {"few rows", test::EvenShape(2, 3, 2, 2, 2, 1), 40, 0.3},
      // 2 x 3 x 18^2 = 1944 cells, below 2^11: one digit.
      {"one digit", {2, 3, {2, 3}, {3, 3, 2}, 2, 1}, 3000, 0.3},
      // 2^20 cells: two digits.
      {"two digits", test::EvenShape(2, 4, 3, 4, 4, 1), 3000, 0.25},
      // 2^30 cells, second order: three digits.
      {"three digits", test::EvenShape(1, 0, 3, 6, 5, 2), 3000, 0.2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const input::Model model = test::MakeModel(c.shape, /*missingData=*/true);
    std::mt19937 random(2027);
    const input::ParameterSet values = test::RandomValues(model, random, {.low = 0.05});
    input::PatternTable observed;
    observed.itemCount = model.dims.ItemCount();
    for (std::int32_t p = 0; p < c.patterns; ++p) {
      const Row responses = test::RandomResponses(model, random, c.missingShare);
      observed.responses.insert(observed.responses.end(), responses.begin(), responses.end());
      observed.frequencies.push_back(std::uniform_int_distribution<int>(1, 3)(random));
    }
    observed.patternCount = c.patterns;

    SetGeneratorState(31337);
    const std::map<Row, double> expected = DrawnAlone(model, values, observed);
    SetGeneratorState(31337);
    MissingResponseDraw draw(model);
    input::PatternTable completed;
    ASSERT_TRUE(draw.DrawMissingResponses(values, observed, &completed));
    std::vector<std::pair<Row, double>> actual;
    for (std::int32_t p = 0; p < completed.patternCount; ++p) {
      actual.emplace_back(
          Reversed(completed.Pattern(p), static_cast<std::size_t>(completed.itemCount)),
          completed.frequencies[p]);
    }
    EXPECT_EQ(actual, (std::vector<std::pair<Row, double>>(expected.begin(), expected.end())));
  }
}

}  // namespace
}  // namespace kov::da
