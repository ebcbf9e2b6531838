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

namespace kov::em {
namespace {

struct Shape {
  std::int32_t classes, statuses, classItems, statusItems, categories, occasions, order;
};

input::ModelDimensions Dimensions(const Shape& s) {
  input::ModelDimensions d;
  d.classes = s.classes;
  d.statuses = s.statuses;
  d.classItems = s.classItems;
  d.statusItems = s.statusItems;
  d.maxClassCategories = s.classItems > 0 ? s.categories : 0;
  d.maxStatusCategories = s.statusItems > 0 ? s.categories : 0;
  d.occasions = s.occasions;
  d.order = s.order;
  std::int32_t power = 1;
  for (std::int32_t o = 0; o < s.order; ++o) power *= s.statuses;
  d.extraTransitionRows = s.occasions >= 3 ? (s.occasions - 2) * power : 0;
  return d;
}

// Every probability row drawn away from 0, so that no two paths tie.
input::ParameterSet RandomValues(const input::ModelDimensions& d, std::mt19937& random) {
  std::uniform_real_distribution<double> uniform(0.05, 1.0);
  input::ParameterSet v;
  input::AllocateParameters(d, &v);
  const auto row = [&](std::vector<double>& array, std::int32_t n, auto index) {
    double sum = 0.0;
    for (std::int32_t k = 0; k < n; ++k) sum += array[index(k)] = uniform(random);
    for (std::int32_t k = 0; k < n; ++k) array[index(k)] /= sum;
  };
  row(v.gamma, d.classes, [](std::int32_t c) { return static_cast<std::size_t>(c); });
  const auto delta = input::DeltaShape(d);
  const auto tau = input::TauShape(d);
  const auto little = input::LittleRhoShape(d);
  const auto big = input::BigRhoShape(d);
  for (std::int32_t c = 0; c < d.classes; ++c) {
    row(v.delta, d.statuses, [&](std::int32_t s) { return delta(c, s, 0); });
    for (std::int32_t r = 0; r < d.TransitionRows(); ++r) {
      row(v.tau, d.statuses, [&](std::int32_t j) { return tau(r, j, c); });
    }
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      row(v.littleRho, d.maxClassCategories, [&](std::int32_t k) { return little(k, j, c); });
    }
    for (std::int32_t t = 0; t < (d.HasStatuses() ? d.occasions : 0); ++t) {
      for (std::int32_t s = 0; s < d.statuses; ++s) {
        for (std::int32_t i = 0; i < d.statusItems; ++i) {
          row(v.bigRho, d.maxStatusCategories, [&](std::int32_t k) { return big(k, i, s, c, t); });
        }
      }
    }
  }
  return v;
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
    const input::ModelDimensions d = Dimensions(shape);
    const input::ParameterSet values = RandomValues(d, random);
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
