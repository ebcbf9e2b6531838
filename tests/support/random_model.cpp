#include "random_model.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace kov::test {

namespace {

std::int32_t Power(std::int32_t base, std::int32_t exponent) {
  std::int32_t result = 1;
  for (std::int32_t e = 0; e < exponent; ++e) result *= base;
  return result;
}

// Draws from the probability vector at values[offset + stride * k], k = 0..n-1.
std::int32_t Draw(std::mt19937& random, const std::vector<double>& values, std::size_t offset,
                  std::size_t stride, std::int32_t n) {
  double u = std::uniform_real_distribution<double>(0.0, 1.0)(random);
  for (std::int32_t k = 0; k + 1 < n; ++k) {
    u -= values[offset + stride * static_cast<std::size_t>(k)];
    if (u < 0.0) return k;
  }
  return n - 1;
}

// The row of tau for the transition into occasion t (t >= 1, counted from 0): the first by the
// status at occasion 1; each later one in its own block, by the status before it (first order)
// or by the pair of the two statuses before it, the later one fastest (second order).
std::int32_t TransitionRow(const input::ModelDimensions& d, const std::vector<std::int32_t>& path,
                           std::int32_t t) {
  const std::int32_t previous = path[static_cast<std::size_t>(t - 1)];
  if (t == 1) return previous;
  const std::int32_t within =
      d.order == 2 ? path[static_cast<std::size_t>(t - 2)] * d.statuses + previous : previous;
  return d.statuses + (t - 2) * Power(d.statuses, d.order) + within;
}

}  // namespace

ModelShape EvenShape(std::int32_t classes, std::int32_t classItems, std::int32_t statuses,
                     std::int32_t statusItems, std::int32_t occasions, std::int32_t order,
                     std::int32_t categories) {
  ModelShape shape;
  shape.classes = classes;
  shape.statuses = statuses;
  shape.classCategories.assign(static_cast<std::size_t>(classItems), categories);
  shape.statusCategories.assign(static_cast<std::size_t>(statusItems), categories);
  shape.occasions = occasions;
  shape.order = order;
  return shape;
}

input::Model MakeModel(const ModelShape& shape, bool missingData) {
  input::Model model;
  input::ModelDimensions& d = model.dims;
  d.classes = shape.classes;
  d.statuses = shape.statuses;
  d.classItems = static_cast<std::int32_t>(shape.classCategories.size());
  d.statusItems = static_cast<std::int32_t>(shape.statusCategories.size());
  d.occasions = shape.occasions;
  d.order = shape.order;
  for (std::int32_t k : shape.classCategories) {
    d.maxClassCategories = std::max(d.maxClassCategories, k);
  }
  for (std::int32_t k : shape.statusCategories) {
    d.maxStatusCategories = std::max(d.maxStatusCategories, k);
  }
  d.extraTransitionRows =
      shape.occasions >= 3 ? (shape.occasions - 2) * Power(shape.statuses, shape.order) : 0;
  model.classItemCategories = shape.classCategories;
  model.statusItemCategories = shape.statusCategories;
  model.missingData = missingData;
  return model;
}

void FreeEveryParameter(input::Model* model) {
  input::AllocateRestrictions(model->dims, &model->codes);
  for (std::vector<std::int32_t>* codes :
       {&model->codes.gamma, &model->codes.delta, &model->codes.tau, &model->codes.littleRho,
        &model->codes.bigRho}) {
    std::fill(codes->begin(), codes->end(), 1);
  }
  model->restrictionsRead = true;
}

void RandomRow(std::mt19937& random, const RowDraw& draw, std::vector<double>* values,
               std::size_t offset, std::size_t stride, std::int32_t n) {
  std::uniform_real_distribution<double> uniform(draw.low, 1.0);
  std::bernoulli_distribution zero(draw.zeroChance);
  std::vector<double> row(static_cast<std::size_t>(n));
  double sum = 0.0;
  for (double& v : row) {
    // No zero draw at all when zeros are not asked for, so that the stream of a row is that of
    // its uniforms alone.
    v = draw.zeroChance > 0.0 && zero(random) ? 0.0 : uniform(random);
    if (draw.power != 1.0) v = std::pow(v, draw.power);
    sum += v;
  }
  if (sum == 0.0) row[0] = sum = 1.0;
  if (draw.shortfall > 0.0) {
    sum /= std::uniform_real_distribution<double>(1.0 - draw.shortfall, 1.0)(random);
  }
  for (std::size_t k = 0; k < row.size(); ++k) (*values)[offset + stride * k] = row[k] / sum;
}

input::ParameterSet RandomValues(const input::Model& model, std::mt19937& random,
                                 const RowDraw& draw) {
  const input::ModelDimensions& d = model.dims;
  input::ParameterSet values;
  input::AllocateParameters(d, &values);
  const auto delta = input::DeltaShape(d);
  const auto tau = input::TauShape(d);
  const auto little = input::LittleRhoShape(d);
  const auto big = input::BigRhoShape(d);
  RandomRow(random, draw, &values.gamma, 0, 1, d.classes);
  for (std::int32_t c = 0; c < d.classes; ++c) {
    if (d.HasStatuses()) {
      RandomRow(random, draw, &values.delta, delta(c, 0, 0), delta(0, 1, 0), d.statuses);
      for (std::int32_t r = 0; r < d.TransitionRows(); ++r) {
        RandomRow(random, draw, &values.tau, tau(r, 0, c), tau(0, 1, 0), d.statuses);
      }
    } else {
      values.delta[delta(c, 0, 0)] = 1.0;
      values.tau[tau(0, 0, c)] = 1.0;
    }
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      RandomRow(random, draw, &values.littleRho, little(0, j, c), 1,
                model.classItemCategories[static_cast<std::size_t>(j)]);
    }
    for (std::int32_t t = 0; t < (d.HasStatuses() ? d.occasions : 0); ++t) {
      for (std::int32_t s = 0; s < d.statuses; ++s) {
        for (std::int32_t i = 0; i < d.statusItems; ++i) {
          RandomRow(random, draw, &values.bigRho, big(0, i, s, c, t), 1,
                    model.statusItemCategories[static_cast<std::size_t>(i)]);
        }
      }
    }
  }
  return values;
}

std::vector<std::int32_t> ItemCategories(const input::Model& model) {
  std::vector<std::int32_t> categories = model.classItemCategories;
  for (std::int32_t t = 0; t < (model.dims.HasStatuses() ? model.dims.occasions : 0); ++t) {
    categories.insert(categories.end(), model.statusItemCategories.begin(),
                      model.statusItemCategories.end());
  }
  return categories;
}

std::vector<std::int32_t> RandomResponses(const input::Model& model, std::mt19937& random,
                                          double missingShare) {
  std::bernoulli_distribution isMissing(missingShare);
  std::vector<std::int32_t> responses;
  for (std::int32_t k : ItemCategories(model)) {
    responses.push_back(missingShare > 0.0 && isMissing(random)
                            ? 0
                            : std::uniform_int_distribution<std::int32_t>(1, k)(random));
  }
  return responses;
}

input::PatternTable Simulate(const input::Model& model, const input::ParameterSet& truth,
                             std::int32_t subjects, double missingShare, std::mt19937& random) {
  const input::ModelDimensions& d = model.dims;
  const auto delta = input::DeltaShape(d);
  const auto tau = input::TauShape(d);
  const auto little = input::LittleRhoShape(d);
  const auto big = input::BigRhoShape(d);
  std::bernoulli_distribution isMissing(missingShare);
  std::map<std::vector<std::int32_t>, double> counts;
  std::vector<std::int32_t> pattern;
  std::vector<std::int32_t> path(static_cast<std::size_t>(std::max(d.occasions, 1)));
  for (std::int32_t n = 0; n < subjects; ++n) {
    pattern.clear();
    const std::int32_t c = Draw(random, truth.gamma, 0, 1, d.classes);
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      pattern.push_back(1 + Draw(random, truth.littleRho, little(0, j, c), 1,
                                 model.classItemCategories[static_cast<std::size_t>(j)]));
    }
    for (std::int32_t t = 0; d.HasStatuses() && t < d.occasions; ++t) {
      std::int32_t& s = path[static_cast<std::size_t>(t)];
      s = t == 0 ? Draw(random, truth.delta, delta(c, 0, 0), delta(0, 1, 0), d.statuses)
                 : Draw(random, truth.tau, tau(TransitionRow(d, path, t), 0, c), tau(0, 1, 0),
                        d.statuses);
      for (std::int32_t i = 0; i < d.statusItems; ++i) {
        pattern.push_back(1 + Draw(random, truth.bigRho, big(0, i, s, c, t), 1,
                                   model.statusItemCategories[static_cast<std::size_t>(i)]));
      }
    }
    // Drawn for every response, whatever the share, so that the data of a seed do not depend on
    // whether some are missing.
    for (std::int32_t& response : pattern) {
      if (isMissing(random)) response = 0;
    }
    counts[pattern] += 1.0;
  }
  input::PatternTable table;
  table.itemCount = d.ItemCount();
  for (const auto& [responses, frequency] : counts) {
    table.responses.insert(table.responses.end(), responses.begin(), responses.end());
    table.frequencies.push_back(frequency);
  }
  table.patternCount = static_cast<std::int32_t>(counts.size());
  table.subjectCount = subjects;
  return table;
}

}  // namespace kov::test
