#include "em/posterior_membership.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "brute_force.h"
#include "em/csv_writer.h"
#include "input/model.h"
#include "random_model.h"

namespace kov::em {
namespace {

struct Shape {
  std::int32_t classes, statuses, classItems, statusItems, categories, occasions, order;
};

input::Model ModelOf(const Shape& s) {
  return test::MakeModel(test::EvenShape(s.classes, s.classItems, s.statuses, s.statusItems,
                                         s.occasions, s.order, s.categories));
}

// The memberships by their definition: P(y, c, s_1 .. s_T) for every latent cell, with the
// missing responses left out.
Membership Enumerate(const input::ModelDimensions& d, const input::ParameterSet& v,
                     const std::int32_t* y) {
  const std::vector<double> prior = testing::JointPrior(d, v);
  const std::int32_t T = d.HasStatuses() ? d.OccasionExtent() : 0;
  const std::int32_t S = d.statuses;
  Membership m;
  m.classPosterior.assign(static_cast<std::size_t>(d.classes), 0.0);
  m.statusPosterior.assign(static_cast<std::size_t>(T * S), 0.0);
  m.pathStatus.assign(static_cast<std::size_t>(T), 0);
  double total = 0.0;
  double best = -1.0;
  for (std::size_t cell = 0; cell < prior.size(); ++cell) {
    std::size_t rest = cell;
    const auto c = static_cast<std::int32_t>(rest % static_cast<std::size_t>(d.classes));
    rest /= static_cast<std::size_t>(d.classes);
    std::vector<std::int32_t> s(static_cast<std::size_t>(T));
    for (auto& status : s) {
      status = static_cast<std::int32_t>(rest % static_cast<std::size_t>(S));
      rest /= static_cast<std::size_t>(S);
    }
    double p = prior[cell];
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      if (y[j] > 0) p *= v.littleRho[input::LittleRhoShape(d)(y[j] - 1, j, c)];
    }
    for (std::int32_t t = 0; t < T; ++t) {
      for (std::int32_t i = 0; i < d.statusItems; ++i) {
        const std::int32_t r = y[d.classItems + t * d.statusItems + i];
        if (r > 0)
          p *= v.bigRho[input::BigRhoShape(d)(r - 1, i, s[static_cast<std::size_t>(t)], c, t)];
      }
    }
    total += p;
    m.classPosterior[static_cast<std::size_t>(c)] += p;
    for (std::int32_t t = 0; t < T; ++t) {
      m.statusPosterior[static_cast<std::size_t>(t * S + s[static_cast<std::size_t>(t)])] += p;
    }
    if (p > best) {
      best = p;
      m.pathClass = c;
      m.pathStatus = s;
    }
  }
  for (double& p : m.classPosterior) p /= total;
  for (double& p : m.statusPosterior) p /= total;
  return m;
}

TEST(PosteriorMembershipTest, AgreesWithEnumerationOfAllPaths) {
  const Shape shapes[] = {
      {3, 1, 4, 0, 2, 0, 1},                         // latent classes only
      {1, 3, 0, 2, 3, 4, 1},                         // first-order latent Markov
      {2, 2, 2, 2, 2, 3, 1},                         // classes and statuses
      {2, 2, 1, 1, 3, 4, 2},                         // second order, over pairs
      {1, 3, 0, 1, 2, 4, 2}, {2, 3, 1, 2, 2, 1, 1},  // one occasion
  };
  std::mt19937 random(20240611);
  for (const Shape& shape : shapes) {
    SCOPED_TRACE("C " + std::to_string(shape.classes) + " S " + std::to_string(shape.statuses) +
                 " T " + std::to_string(shape.occasions) + " order " + std::to_string(shape.order));
    const input::Model model = ModelOf(shape);
    const input::ModelDimensions& d = model.dims;
    // Every probability row drawn away from 0, so that no two paths tie.
    const input::ParameterSet values = test::RandomValues(model, random, {.low = 0.05});
    MembershipRecursion recursion(d, values);
    std::bernoulli_distribution missing(0.2);
    std::uniform_int_distribution<std::int32_t> response(1, shape.categories);
    for (int pattern = 0; pattern < 15; ++pattern) {
      // The last pattern misses every response: the posteriors are then the priors.
      std::vector<std::int32_t> y(static_cast<std::size_t>(d.ItemCount()));
      for (auto& r : y) r = pattern == 14 || missing(random) ? 0 : response(random);
      Membership actual;
      recursion.Compute(y.data(), &actual);
      const Membership expected = Enumerate(d, values, y.data());
      ASSERT_TRUE(actual.possible);
      for (std::size_t c = 0; c < expected.classPosterior.size(); ++c) {
        EXPECT_NEAR(actual.classPosterior[c], expected.classPosterior[c], 1e-12) << "class " << c;
      }
      for (std::size_t k = 0; k < expected.statusPosterior.size(); ++k) {
        EXPECT_NEAR(actual.statusPosterior[k], expected.statusPosterior[k], 1e-12)
            << "status " << k;
      }
      EXPECT_EQ(actual.pathClass, expected.pathClass);
      EXPECT_EQ(actual.pathStatus, expected.pathStatus);
    }
  }
}

TEST(PosteriorMembershipTest, QuotesFieldsByTheCsvRule) {
  struct Case {
    std::vector<std::string> fields;
    std::string row;
  };
  const Case cases[] = {
      {{"record", "p_class1"}, "record,p_class1"},
      {{"a,b", ""}, "\"a,b\","},
      {{"say \"hi\""}, "\"say \"\"hi\"\"\""},
      {{"two\nlines", "cr\r"}, "\"two\nlines\",\"cr\r\""},
      {{"", "", ""}, ",,"},
  };
  for (const Case& c : cases) EXPECT_EQ(CsvRow(c.fields), c.row);
}

}  // namespace
}  // namespace kov::em
