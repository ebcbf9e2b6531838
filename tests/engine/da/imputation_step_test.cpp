// The latent draw against a walk over the whole latent table, the uniforms it consumes, the
// distribution of the drawn cells, and the counts tallied from the records.
#include "da/imputation_step.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "da/missing_draw.h"
#include "da/uniform.h"
#include "random_model.h"

namespace kov::da {
namespace {

using test::ModelShape;

// Every probability vector random, now and then with an entry of exactly 0.
input::ParameterSet RandomValues(const input::Model& model, std::mt19937& random) {
  return test::RandomValues(model, random, {.low = 0.05, .zeroChance = 0.1});
}

// The latent table of a complete pattern by its definition, cells in walking order (class
// slowest, the last occasion fastest), statuses counted from 1 as the row formulas are written:
// pi = GAMMA(c) DELTA(c, s1) TAU(s1 -> s2) ..., the first transition by row s1, the transition
// t -> t+1 by row (t-1) S + s_t (first order) or S + (t-2) S^2 + (s_(t-1) - 1) S + s_t (second).
struct Table {
  std::vector<LatentCell> cells;
  std::vector<double> joint;
  std::vector<double> logJoint;  // the same in logarithms, for patterns beyond double range
  double total = 0.0;
};

Table LatentTable(const input::Model& model, const input::ParameterSet& v, const std::int32_t* y) {
  const input::ModelDimensions& d = model.dims;
  const std::int32_t occasions = d.HasStatuses() ? d.occasions : 1;
  const std::int32_t S = d.statuses;
  Table table;
  std::int32_t cellCount = d.classes;
  for (std::int32_t t = 0; t < occasions; ++t) cellCount *= S;
  for (std::int32_t index = 0; index < cellCount; ++index) {
    LatentCell cell;
    cell.statuses.assign(occasions, 0);
    std::int32_t rest = index;
    for (std::int32_t t = occasions - 1; t >= 0; --t, rest /= S) cell.statuses[t] = rest % S;
    cell.latentClass = rest;
    const std::int32_t c = rest;
    std::vector<std::int32_t> s(occasions + 1, 0);
    for (std::int32_t t = 1; t <= occasions; ++t) s[t] = cell.statuses[t - 1] + 1;
    double p = 1.0;
    double logP = 0.0;
    const auto times = [&p, &logP](double x) {
      p *= x;
      logP += std::log(x);
    };
    times(v.gamma[c]);
    if (S > 1) {
      times(v.delta[input::DeltaShape(d)(c, s[1] - 1, 0)]);
      for (std::int32_t t = 1; t < occasions; ++t) {
        const std::int32_t row = t == 1         ? s[1]
                                 : d.order == 2 ? S + (t - 2) * S * S + (s[t - 1] - 1) * S + s[t]
                                                : (t - 1) * S + s[t];
        times(v.tau[input::TauShape(d)(row - 1, s[t + 1] - 1, c)]);
      }
    }
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      times(v.littleRho[input::LittleRhoShape(d)(y[j] - 1, j, c)]);
    }
    for (std::int32_t t = 1; t <= (d.HasStatuses() ? occasions : 0); ++t) {
      for (std::int32_t i = 0; i < d.statusItems; ++i) {
        const std::int32_t r = y[d.classItems + (t - 1) * d.statusItems + i];
        times(v.bigRho[input::BigRhoShape(d)(r - 1, i, s[t] - 1, c, t - 1)]);
      }
    }
    table.cells.push_back(cell);
    table.logJoint.push_back(logP);
    table.joint.push_back(p);
    table.total += p;
  }
  return table;
}

bool SameCell(const LatentCell& a, const LatentCell& b) {
  return a.latentClass == b.latentClass && a.statuses == b.statuses;
}

TEST(LatentDraw, AgreesWithWalkingTheWholeLatentTable) {
  const std::vector<ModelShape> shapes = {
      {3, 1, {2, 3, 2}, {}, 0, 1},  // latent classes only
      {2, 3, {2}, {2, 3}, 3, 1},    // first order, T = 3
      {1, 2, {}, {2, 2}, 5, 1},     // first order, T = 5
      {2, 2, {3}, {2}, 4, 2},       // second order, T = 4
      {1, 3, {}, {3}, 3, 2},        // second order, three statuses
      {2, 2, {}, {2}, 2, 2},        // second order, T = 2
      {2, 2, {2}, {2}, 7, 1},       // first order, T = 7
      {1, 2, {}, {2}, 7, 2},        // second order, T = 7
  };
  std::mt19937 random(20240607);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (const ModelShape& shape : shapes) {
    const input::Model model = test::MakeModel(shape);
    LatentRecursions latent(model);
    for (std::int32_t trial = 0; trial < 4; ++trial) {
      const input::ParameterSet values = RandomValues(model, random);
      const std::vector<std::int32_t> y = test::RandomResponses(model, random);
      const Table table = LatentTable(model, values, y.data());
      latent.SetParameters(values);
      ASSERT_NEAR(latent.Prepare(y.data()), table.total, 1e-12 * table.total);
      if (!(table.total > 0.0)) continue;
      std::vector<double> boundaries;
      double running = 0.0;
      std::int32_t lastPositive = -1;
      for (std::size_t k = 0; k < table.joint.size(); ++k) {
        running += table.joint[k] * (1.0 / table.total);
        boundaries.push_back(running);
        if (table.joint[k] > 0.0) lastPositive = static_cast<std::int32_t>(k);
      }
      std::vector<double> us = {0.0, 1.0, std::nextafter(1.0, 0.0)};
      for (std::int32_t n = 0; n < 3000; ++n) us.push_back(uniform(random));
      for (double b : boundaries) us.push_back(b);
      for (const double u : us) {
        const auto flat = std::upper_bound(boundaries.begin(), boundaries.end(), u);
        const std::int32_t expected = flat == boundaries.end()
                                          ? lastPositive
                                          : static_cast<std::int32_t>(flat - boundaries.begin());
        LatentCell drawn;
        ASSERT_TRUE(latent.DrawCell(u, &drawn));
        if (SameCell(drawn, table.cells[expected])) continue;
        // Only a u within rounding of a boundary may land in a neighbouring cell.
        double nearest = 1.0;
        for (double b : boundaries) nearest = std::min(nearest, std::abs(u - b));
        EXPECT_LT(nearest, 1e-12) << "u = " << u << " left the cell of the walk, " << expected;
      }
    }
  }
}

// Frequencies 3, 0, 2.4 and 0.5 stand for 3, 0, 2 and 1 subjects: six uniforms in all.
TEST(ImputationStep, DrawsOneUniformPerSubject) {
  const input::Model model = test::MakeModel({2, 2, {2}, {2}, 2, 1});
  std::mt19937 random(7);
  const input::ParameterSet values = RandomValues(model, random);
  input::PatternTable patterns;
  patterns.itemCount = 3;
  patterns.responses = {1, 1, 2, 2, 1, 1, 1, 2, 2, 2, 2, 2};
  patterns.frequencies = {3.0, 0.0, 2.4, 0.5};
  patterns.patternCount = 4;

  std::int32_t state = 99991;
  SetGeneratorState(state);
  ImputationStep step(model);
  CompletedData completed;
  em::ExpectedCounts counts;
  ASSERT_TRUE(step.Run(values, patterns, &completed, &counts));
  for (int n = 0; n < 6; ++n) state = NextState(state);
  EXPECT_EQ(GeneratorState(), state);

  std::vector<double> perPattern(4, 0.0);
  for (const CompletedRecord& record : completed.records) {
    perPattern[record.pattern] += record.count;
  }
  EXPECT_EQ(perPattern, (std::vector<double>{3.0, 0.0, 2.0, 1.0}));
  EXPECT_EQ(completed.frequencies, patterns.frequencies);
  EXPECT_EQ(counts.total, 6.0);
}

// The records of a pattern are its subjects' own draws counted by cell, in latent-table order,
// against LatentRecursions drawing one subject at a time from the same uniforms, the cells
// counted in a map keyed (class, s1, s2, s3); the counts are those of the records. The patterns
// of many small ones are split into blocks drawn on the engine's threads, which must change no
// draw: 70 000 subjects of one pattern and 5 of another, and 6 000 patterns of 0 to 2 subjects
// with one of 70 000 among them, on 1 and 3 threads.
TEST(ImputationStep, RecordsCountEverySubjectsOwnDrawInLatentTableOrder) {
  struct Case {
    std::int32_t order;
    std::int32_t smallPatterns;  // 0: the two patterns alone
    const char* threads;
    bool classesOnly = false;  // the same four items, all measuring the class
  };
  for (const Case& example :
       {Case{1, 0, "1"}, Case{2, 0, "1"}, Case{1, 6000, "1"}, Case{1, 6000, "3"},
        Case{2, 6000, "3"}, Case{1, 6000, "1", true}, Case{1, 6000, "3", true}}) {
    SCOPED_TRACE("order " + std::to_string(example.order) + ", " +
                 std::to_string(example.smallPatterns) + " small patterns, " + example.threads +
                 " threads" + (example.classesOnly ? ", classes only" : ""));
    setenv("MARNEL_THREADS", example.threads, 1);
    const input::Model model = example.classesOnly
                                   ? test::MakeModel({3, 1, {2, 3, 3, 3}, {}, 0, 1})
                                   : test::MakeModel({3, 2, {2}, {3}, 3, example.order});
    std::mt19937 random(example.order + 20);
    const input::ParameterSet values = RandomValues(model, random);
    input::PatternTable patterns;
    patterns.itemCount = 4;
    patterns.responses = {2, 3, 1, 2, 1, 1, 3, 3};
    patterns.frequencies = {70000.0, 5.0};
    for (std::int32_t p = 0; p < example.smallPatterns; ++p) {
      for (const std::int32_t categories : {2, 3, 3, 3}) {
        patterns.responses.push_back(std::uniform_int_distribution<std::int32_t>(1, categories)(random));
      }
      patterns.frequencies.push_back(std::uniform_int_distribution<std::int32_t>(0, 2)(random));
    }
    // The large pattern in the middle, between two groups of small ones.
    if (example.smallPatterns > 0) {
      std::rotate(patterns.responses.begin(), patterns.responses.begin() + 4,
                  patterns.responses.begin() + 4 * (example.smallPatterns / 2 + 1));
      std::rotate(patterns.frequencies.begin(), patterns.frequencies.begin() + 1,
                  patterns.frequencies.begin() + example.smallPatterns / 2 + 1);
    }
    patterns.patternCount = static_cast<std::int32_t>(patterns.frequencies.size());

    SetGeneratorState(31337);
    ImputationStep step(model);
    CompletedData completed;
    em::ExpectedCounts counts;
    ASSERT_TRUE(step.Run(values, patterns, &completed, &counts));
    const std::int32_t stateAfter = GeneratorState();

    SetGeneratorState(31337);
    LatentRecursions latent(model);
    latent.SetParameters(values);
    CompletedData expected = completed;
    expected.records.clear();
    expected.statuses.clear();
    for (std::int32_t p = 0; p < patterns.patternCount; ++p) {
      latent.Prepare(patterns.Pattern(p));
      std::map<std::vector<std::int32_t>, double> cells;
      for (double n = 0; n < patterns.frequencies[p]; ++n) {
        LatentCell cell;
        // A pattern of probability 0 leaves its subjects out, each still taking its uniform.
        if (!latent.DrawCell(NextUniform(0), &cell)) continue;
        std::vector<std::int32_t> key{cell.latentClass};
        key.insert(key.end(), cell.statuses.begin(), cell.statuses.end());
        cells[key] += 1.0;
      }
      for (const auto& [key, count] : cells) {
        expected.Add(CompletedRecord{p, key[0], count}, key.data() + 1);
      }
    }
    EXPECT_EQ(stateAfter, GeneratorState());
    ASSERT_EQ(completed.records.size(), expected.records.size());
    ASSERT_EQ(completed.statuses, expected.statuses);
    for (std::size_t r = 0; r < expected.records.size(); ++r) {
      const CompletedRecord& a = completed.records[r];
      const CompletedRecord& b = expected.records[r];
      ASSERT_TRUE(a.pattern == b.pattern && a.latentClass == b.latentClass && a.count == b.count)
          << "record " << r;
    }
    em::ExpectedCounts expectedCounts;
    TallyCompletedCounts(model.dims, expected, &expectedCounts);
    EXPECT_EQ(counts.total, expectedCounts.total);
    EXPECT_EQ(counts.classCounts, expectedCounts.classCounts);
    EXPECT_EQ(counts.statusMargins, expectedCounts.statusMargins);
    EXPECT_EQ(counts.transitionCounts, expectedCounts.transitionCounts);
    EXPECT_EQ(counts.littleRhoCounts, expectedCounts.littleRhoCounts);
    EXPECT_EQ(counts.bigRhoCounts, expectedCounts.bigRhoCounts);
  }
  unsetenv("MARNEL_THREADS");
}

// The block draw of the uniforms is the generator's own stream, from the smallest and largest
// states and from a state that NextUniform maps to exactly 1.0, and leaves the generator where
// the calls would; a state the generator never reaches (0) takes the calls themselves.
TEST(DrawUniforms, GivesTheGeneratorsOwnStream) {
  for (const std::int32_t start : {1, 2, 16807, 1234567, 2147483584, 2147483646, 0}) {
    SCOPED_TRACE("state " + std::to_string(start));
    std::vector<float> drawn(5000);
    SetGeneratorState(start);
    DrawUniforms(drawn.data(), drawn.size());
    const std::int32_t after = GeneratorState();
    std::vector<float> expected(drawn.size());
    SetGeneratorState(start);
    for (float& u : expected) u = NextUniform(0);
    EXPECT_EQ(drawn, expected);
    EXPECT_EQ(after, GeneratorState());
  }
}

// A frequency stands for itself rounded (halves away from zero), past the 64-bit range for the
// largest 64-bit number rather than for nobody; a pattern may stand for at most 2^31 - 2
// subjects, the period of the uniform stream.
TEST(ImputationStep, SubjectsOfAFrequencyAndTheMostThatDrawsTake) {
  constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();
  struct Case {
    double frequency;
    std::int64_t subjects;
    bool fits;
  };
  const Case cases[] = {
      {0.0, 0, true},
      {-3.0, 0, true},
      {2.5, 3, true},
      {2147483646.0, 2147483646, true},
      {2147483646.5, 2147483647, false},
      {1e15, 1000000000000000, false},
      {0x1p63, kMax64, false},
      {1e300, kMax64, false},
      {std::numeric_limits<double>::infinity(), kMax64, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frequency);
    EXPECT_EQ(SubjectsOf(c.frequency), c.subjects);
    input::PatternTable patterns;
    patterns.frequencies = {1.0, c.frequency, 2.0};
    EXPECT_EQ(SubjectsFitTheDraws(patterns), c.fits);
  }
}

// 20 000 subjects of one pattern: the drawn cells against n P(cell | pattern) from the latent
// table. With 7 degrees of freedom a chi-square above 30 has probability below 1e-4.
TEST(ImputationStep, DrawnCellsFollowThePosterior) {
  const input::Model model = test::MakeModel({2, 2, {2}, {3}, 2, 1});
  std::mt19937 random(11);
  const input::ParameterSet values = RandomValues(model, random);
  input::PatternTable patterns;
  patterns.itemCount = 3;
  patterns.responses = {2, 3, 1};
  patterns.frequencies = {20000.0};
  patterns.patternCount = 1;
  const Table table = LatentTable(model, values, patterns.responses.data());

  SetGeneratorState(424242);
  ImputationStep step(model);
  CompletedData completed;
  em::ExpectedCounts counts;
  ASSERT_TRUE(step.Run(values, patterns, &completed, &counts));

  std::vector<double> observed(table.cells.size(), 0.0);
  std::ptrdiff_t previous = -1;
  for (const CompletedRecord& record : completed.records) {
    LatentCell cell;
    cell.latentClass = record.latentClass;
    cell.statuses.assign(completed.StatusesOf(record),
                         completed.StatusesOf(record) + completed.occasions);
    const auto at = std::find_if(table.cells.begin(), table.cells.end(),
                                 [&](const LatentCell& c) { return SameCell(c, cell); });
    ASSERT_NE(at, table.cells.end());
    const std::ptrdiff_t index = at - table.cells.begin();
    EXPECT_GT(index, previous) << "records out of latent-table order";
    previous = index;
    EXPECT_GT(record.count, 0.0);
    observed[index] = record.count;
  }
  double chiSquare = 0.0;
  for (std::size_t k = 0; k < observed.size(); ++k) {
    const double expected = 20000.0 * table.joint[k] / table.total;
    if (expected == 0.0) {
      EXPECT_EQ(observed[k], 0.0);
      continue;
    }
    chiSquare += (observed[k] - expected) * (observed[k] - expected) / expected;
  }
  EXPECT_LT(chiSquare, 30.0);
  EXPECT_EQ(counts.classCounts[0] + counts.classCounts[1], 20000.0);
}

// C = 2, S = 2, T = 3, one class item and one status item, both with 2 categories. Record A:
// responses (2 | 1 2 2), class 2, statuses 1 2 2, 3 subjects; record B: (1 | 2 2 1), class 1,
// statuses 2 2 1, 2 subjects. Counting by hand (1-based): first order, A moves 1 -> 2 by row 1
// and 2 -> 2 by row S + 2 = 4; B moves 2 -> 2 by row 2 and 2 -> 1 by row 4. Second order, the
// move into occasion 3 takes row S + (s1 - 1) S + s2: A row 2 + 0 + 2 = 4, B row 2 + 2 + 2 = 6.
TEST(TallyCompletedCounts, CountsEveryFamilyFromTheRecords) {
  for (const std::int32_t order : {1, 2}) {
    const input::Model model = test::MakeModel({2, 2, {2}, {2}, 3, order});
    const input::ModelDimensions& d = model.dims;
    CompletedData data;
    data.itemCount = 4;
    data.responses = {2, 1, 2, 2, 1, 2, 2, 1};
    data.frequencies = {3.0, 2.0};
    data.occasions = 3;
    data.records = {{0, 1, 3.0}, {1, 0, 2.0}};
    data.statuses = {0, 1, 1, 1, 1, 0};
    em::ExpectedCounts counts;
    TallyCompletedCounts(d, data, &counts);

    EXPECT_EQ(counts.total, 5.0);
    EXPECT_EQ(counts.classCounts, (std::vector<double>{2.0, 3.0}));
    std::vector<double> margins(input::DeltaShape(d).Size(), 0.0);
    for (auto [c, s, t, n] : {std::array<int, 4>{1, 0, 0, 3},
                              {1, 1, 1, 3},
                              {1, 1, 2, 3},
                              {0, 1, 0, 2},
                              {0, 1, 1, 2},
                              {0, 0, 2, 2}}) {
      margins[input::DeltaShape(d)(c, s, t)] = n;
    }
    EXPECT_EQ(counts.statusMargins, margins);
    std::vector<double> tau(input::TauShape(d).Size(), 0.0);
    const auto tauAt = input::TauShape(d);
    tau[tauAt(0, 1, 1)] = 3;  // rows counted from 0 here
    tau[tauAt(1, 1, 0)] = 2;
    if (order == 1) {
      tau[tauAt(3, 1, 1)] = 3;
      tau[tauAt(3, 0, 0)] = 2;
    } else {
      tau[tauAt(3, 1, 1)] = 3;
      tau[tauAt(5, 0, 0)] = 2;
    }
    EXPECT_EQ(counts.transitionCounts, tau);
    std::vector<double> little(input::LittleRhoShape(d).Size(), 0.0);
    little[input::LittleRhoShape(d)(1, 0, 1)] = 3;
    little[input::LittleRhoShape(d)(0, 0, 0)] = 2;
    EXPECT_EQ(counts.littleRhoCounts, little);
    std::vector<double> big(input::BigRhoShape(d).Size(), 0.0);
    const auto bigAt = input::BigRhoShape(d);
    for (auto [k, s, c, t, n] : {std::array<int, 5>{0, 0, 1, 0, 3},
                                 {1, 1, 1, 1, 3},
                                 {1, 1, 1, 2, 3},
                                 {1, 1, 0, 0, 2},
                                 {1, 1, 0, 1, 2},
                                 {0, 0, 0, 2, 2}}) {
      big[bigAt(k, 0, s, c, t)] = n;
    }
    EXPECT_EQ(counts.bigRhoCounts, big);
  }
}

// A pattern of a few hundred items has a probability far below the smallest double. Only its
// first two items of each kind tell the latent values apart (the others have the same uniform
// row everywhere), so its posterior is spread over many cells: the draw must still follow it,
// as the walk over the latent table computed in logarithms does, and the imputation step and
// the missing-response draw must place every subject.
TEST(LatentDraw, PatternsOfTinyProbabilityFollowTheirPosterior) {
  struct Tiny {
    std::string name;
    ModelShape shape;
  };
  const std::vector<Tiny> cases = {
      {"latent classes, 600 five-category items", {3, 1, std::vector<std::int32_t>(600, 5), {}, 0, 1}},
      {"first order, 150 four-category items at 5 occasions",
       {2, 2, {2}, std::vector<std::int32_t>(150, 4), 5, 1}},
      {"second order, 300 three-category items at 4 occasions",
       {1, 2, {}, std::vector<std::int32_t>(300, 3), 4, 2}},
  };
  std::mt19937 random(424242);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (const Tiny& c : cases) {
    SCOPED_TRACE(c.name);
    input::Model model = test::MakeModel(c.shape);
    input::ParameterSet values = RandomValues(model, random);
    const input::ModelDimensions& d = model.dims;
    for (std::size_t k = 0; k < values.littleRho.size(); ++k) {
      const auto j = static_cast<std::int32_t>(k / d.maxClassCategories) % d.classItems;
      if (j >= 2) values.littleRho[k] = 1.0 / d.maxClassCategories;
    }
    for (std::size_t k = 0; k < values.bigRho.size(); ++k) {
      const auto i = static_cast<std::int32_t>(k / d.maxStatusCategories) % d.statusItems;
      if (i >= 2) values.bigRho[k] = 1.0 / d.maxStatusCategories;
    }
    std::vector<std::int32_t> y;
    Table table;
    do {  // a pattern the model can produce
      y = test::RandomResponses(model, random);
      table = LatentTable(model, values, y.data());
    } while (*std::max_element(table.logJoint.begin(), table.logJoint.end()) == -HUGE_VAL);
    double largest = -HUGE_VAL;
    for (double x : table.logJoint) largest = std::max(largest, x);
    double sum = 0.0;
    for (double x : table.logJoint) sum += std::exp(x - largest);
    const double logTotal = largest + std::log(sum);
    ASSERT_LT(logTotal, -900.0);

    LatentRecursions latent(model);
    latent.SetParameters(values);
    const double scaled = latent.Prepare(y.data());
    ASSERT_GT(scaled, 0.0);
    EXPECT_NEAR(std::log(scaled) + latent.TotalExponent() * std::log(2.0), logTotal,
                1e-12 * std::abs(logTotal));
    std::vector<double> boundaries;
    double running = 0.0;
    for (double x : table.logJoint) boundaries.push_back(running += std::exp(x - logTotal));
    for (std::int32_t n = 0; n < 2000; ++n) {
      const double u = uniform(random);
      const auto expected = static_cast<std::size_t>(
          std::upper_bound(boundaries.begin(), boundaries.end(), u) - boundaries.begin());
      LatentCell drawn;
      ASSERT_TRUE(latent.DrawCell(u, &drawn));
      if (expected < table.cells.size() && SameCell(drawn, table.cells[expected])) continue;
      double nearest = 1.0;
      for (double b : boundaries) nearest = std::min(nearest, std::abs(u - b));
      EXPECT_LT(nearest, 1e-9) << "u = " << u << " left the cell of the walk, " << expected;
    }

    input::PatternTable patterns;
    patterns.itemCount = static_cast<std::int32_t>(y.size());
    patterns.responses = y;
    patterns.frequencies = {40.0};
    patterns.patternCount = 1;
    patterns.subjectCount = 40.0;
    ImputationStep step(model);
    CompletedData completed;
    em::ExpectedCounts counts;
    ASSERT_TRUE(step.Run(values, patterns, &completed, &counts));
    EXPECT_EQ(counts.total, 40.0);

    // The first item missing, and the second item of the second occasion (without status
    // items, the second item).
    patterns.responses[0] = 0;
    patterns.responses[d.statusItems > 0 ? static_cast<std::size_t>(d.classItems + d.statusItems + 1)
                                         : 1] = 0;
    MissingResponseDraw draw(model);
    input::PatternTable drawn;
    ASSERT_TRUE(draw.DrawMissingResponses(values, patterns, &drawn));
    EXPECT_EQ(drawn.subjectCount, 40.0);
  }
}

// Cells of tables of 1, 5, 7 and 50 occasions decode to themselves, the first and last cells
// take the numbers 0 and C S^T - 1, and the next cell of the table (the last occasion's status
// counted up, carried into earlier occasions and then the class) takes the next number, so
// that the tally's sorted numbers are the records in table order. Decoding writes exactly T
// statuses.
TEST(LatentCellNumbering, CellsRoundTripInLatentTableOrder) {
  struct Case {
    std::int32_t classes, statuses, occasions;
  };
  std::mt19937 random(5150);
  for (const Case& c :
       {Case{3, 2, 1}, Case{3, 2, 5}, Case{3, 2, 7}, Case{1000, 2, 50}, Case{2, 3, 39}}) {
    SCOPED_TRACE(std::to_string(c.classes) + " classes, " + std::to_string(c.statuses) +
                 " statuses, " + std::to_string(c.occasions) + " occasions");
    const LatentCellNumbering numbering(c.statuses, c.occasions);
    std::uint64_t cells = static_cast<std::uint64_t>(c.classes);
    for (std::int32_t t = 0; t < c.occasions; ++t) cells *= static_cast<std::uint64_t>(c.statuses);
    const std::vector<std::int32_t> first(c.occasions, 0), last(c.occasions, c.statuses - 1);
    EXPECT_EQ(numbering.Index(0, first.data()), 0u);
    EXPECT_EQ(numbering.Index(c.classes - 1, last.data()), cells - 1);

    std::uniform_int_distribution<std::int32_t> classOf(0, c.classes - 1);
    std::uniform_int_distribution<std::int32_t> statusOf(0, c.statuses - 1);
    for (int n = 0; n < 200; ++n) {
      std::int32_t latentClass = classOf(random);
      std::vector<std::int32_t> statuses(c.occasions);
      for (std::int32_t& s : statuses) s = statusOf(random);
      if (n == 0) latentClass = c.classes - 1, statuses = last;
      const std::uint64_t index = numbering.Index(latentClass, statuses.data());
      std::vector<std::int32_t> decoded(c.occasions + 1, -7);
      EXPECT_EQ(numbering.Decode(index, decoded.data()), latentClass);
      EXPECT_EQ(decoded.back(), -7) << "a status written past the last occasion";
      decoded.pop_back();
      ASSERT_EQ(decoded, statuses) << "cell " << index;

      std::int32_t t = c.occasions - 1;
      for (; t >= 0 && statuses[t] == c.statuses - 1; --t) statuses[t] = 0;
      if (t >= 0) {
        ++statuses[t];
      } else if (++latentClass == c.classes) {
        continue;  // the last cell has no next
      }
      EXPECT_EQ(numbering.Index(latentClass, statuses.data()), index + 1);
    }
  }
}

// A table of C S^T cells may be numbered up to 2^63 cells: S = 2 at 50 occasions up to 8192
// classes, S = 3 at 39 occasions up to 2 classes (3^39 is 4.05e18) and at 40 occasions none.
// Without status items the table is the classes alone, whatever S and T say.
TEST(LatentCellsCountable, HoldsUpToTwoToTheSixtyThreeCells) {
  struct Case {
    std::int32_t classes, statuses, statusItems, occasions;
    bool countable;
  };
  const Case cases[] = {
      {1000, 2, 1, 50, true}, {8192, 2, 1, 50, true}, {8193, 2, 1, 50, false},
      {2, 3, 1, 39, true},    {3, 3, 1, 39, false},   {1, 3, 1, 40, false},
      {1, 1000, 1, 6, true},  {1, 1000, 2, 7, false}, {1000, 1000, 0, 50, true},
      {1000, 1, 3, 50, true},
  };
  for (const Case& c : cases) {
    input::ModelDimensions d;
    d.classes = c.classes;
    d.statuses = c.statuses;
    d.statusItems = c.statusItems;
    d.occasions = c.occasions;
    EXPECT_EQ(LatentCellsCountable(d), c.countable)
        << c.classes << " x " << c.statuses << "^" << c.occasions << ", status items "
        << c.statusItems;
  }
}

}  // namespace
}  // namespace kov::da
