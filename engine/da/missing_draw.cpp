#include "missing_draw.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "em/missingness.h"
#include "em/scaling.h"
#include "base/block_pool.h"
#include "uniform.h"

namespace kov::da {

namespace {

// Sorts (key, row) pairs whose rows are in increasing order into increasing key, equal keys
// keeping that order: what sorting the pairs themselves gives. Bigger tables go by digits of
// 11 bits from the lowest (each pass keeps the order of equal digits), as many passes as the
// largest key has digits: a few passes over the rows where comparing them would take log2 of
// their number.
void SortKeys(std::vector<std::pair<std::uint64_t, std::size_t>>* keys,
              std::vector<std::pair<std::uint64_t, std::size_t>>* scratch,
              std::vector<std::size_t>* counts) {
  constexpr std::size_t kSmall = 256;
  constexpr int kDigitBits = 11;
  constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
  if (keys->size() < kSmall) {
    std::sort(keys->begin(), keys->end());
    return;
  }
  std::uint64_t largest = 0;
  for (const auto& key : *keys) largest = std::max(largest, key.first);
  scratch->resize(keys->size());
  counts->resize(kDigits);
  for (int shift = 0; shift < 64 && (largest >> shift) != 0; shift += kDigitBits) {
    std::fill(counts->begin(), counts->end(), 0);
    for (const auto& key : *keys) ++(*counts)[(key.first >> shift) & (kDigits - 1)];
    std::size_t start = 0;
    for (std::size_t& count : *counts) {
      const std::size_t n = count;
      count = start;
      start += n;
    }
    for (const auto& key : *keys)
      (*scratch)[(*counts)[(key.first >> shift) & (kDigits - 1)]++] = key;
    keys->swap(*scratch);
  }
}

}  // namespace

MissingResponseDraw::MissingResponseDraw(const input::Model& model)
    : m_latent(model),
      m_items(model.dims.ItemCount()),
      m_classes(m_latent.Classes()),
      m_statuses(m_latent.Statuses()),
      m_model(model) {
  const std::size_t c = Size(m_classes);
  const std::size_t s = Size(m_statuses);
  const std::size_t items = Size(m_items);
  const std::size_t levels = items + 1;
  m_classStates = c * Size(m_latent.MaxStates());
  m_classStatuses = c * s;
  m_pattern.assign(items, 0);
  m_levels.reserve(items);
  m_classSuffix.assign(items * c, 0.0);
  m_statusSuffix.assign(items * c * s, 0.0);
  m_observedEmission.assign(c * Size(m_latent.Occasions()) * s, 1.0);
  m_observedExponent.assign(c * Size(m_latent.Occasions()), 0);
  m_observedAt.assign(c * Size(m_latent.Occasions()), nullptr);
  m_baseExponent.assign(c, 0);
  m_beforeExponent.assign(levels * c, 0);
  m_afterExponent.assign(c, 0);
  m_base.assign(levels * c, 0.0);
  m_before.assign(levels * m_classStates, 0.0);
  m_emission.assign(levels * m_classStatuses, 0.0);
  m_reach.assign(levels * m_classStatuses, 0.0);
  std::int32_t categories = 1;
  for (std::int32_t n = 0; n < m_items; ++n) {
    categories = std::max(categories, m_latent.OwnCategories(n));
  }
  m_maxCategories = Size(categories);
  m_weights.assign(items * m_maxCategories, 0.0);
  m_after.assign(m_classStates, 0.0);
  m_step.assign(m_classStates, 0.0);
  m_current.assign(items, 0);
  m_frames.assign(levels, Frame{});
  m_shared.assign(s, 0.0);

  // Radix of each item in the complete cell index, while the index stays below 2^63.
  const std::vector<std::int32_t> itemCategories = em::ItemCategoryCounts(model);
  m_cellRadix.assign(itemCategories.size(), 0);
  std::uint64_t radix = 1;
  for (std::size_t i = 0; i < itemCategories.size(); ++i) {
    m_cellRadix[i] = radix;
    const std::uint64_t k = static_cast<std::uint64_t>(std::max(itemCategories[i], 1));
    if (radix > (std::uint64_t{1} << 63) / k) {
      m_keysFit = false;
      break;
    }
    radix *= k;
  }
}

MissingResponseDraw::~MissingResponseDraw() = default;

void MissingResponseDraw::SetParameters(const input::ParameterSet& values) {
  m_latent.SetParameters(values);
}

void MissingResponseDraw::PreparePattern(const input::PatternTable& observed, std::int32_t p) {
  if (m_tables.codes == nullptr) {
    Prepare(observed.Pattern(p));
    return;
  }
  const std::int32_t* responses = observed.Pattern(p);
  std::copy_n(responses, Size(m_items), m_pattern.begin());
  const std::int32_t* codes =
      m_tables.codes->code.data() + Size(p) * Size(m_tables.codes->occasions);
  m_total = m_latent.PrepareCoded(responses, codes, m_tables.emission, m_tables.exponent);
  // The observed items' emissions are read from the code table where they are.
  const std::size_t s = Size(m_statuses);
  const std::size_t classes = Size(m_classes);
  const std::size_t occasions = Size(m_latent.Occasions());
  for (std::size_t c = 0; c < classes; ++c) {
    for (std::int32_t t = 0; t < m_latent.ItemOccasions(); ++t) {
      const std::size_t at = Size(codes[t]) * classes + c;
      m_observedAt[c * occasions + Size(t)] = m_tables.own + at * s;
      m_observedExponent[c * occasions + Size(t)] = m_tables.ownExponent[at];
    }
  }
  PrepareLevels();
}

double MissingResponseDraw::Prepare(const std::int32_t* responses) {
  std::copy_n(responses, Size(m_items), m_pattern.begin());
  m_total = m_latent.Prepare(responses, m_observedEmission.data(), m_observedExponent.data());
  for (std::size_t slot = 0; slot < m_observedAt.size(); ++slot) {
    m_observedAt[slot] = m_observedEmission.data() + slot * Size(m_statuses);
  }
  return PrepareLevels();
}

double MissingResponseDraw::PrepareLevels() {
  const std::int32_t* responses = m_pattern.data();
  m_totalExponent = m_latent.TotalExponent();
  const std::int32_t classItems = m_latent.ClassItems();
  const std::int32_t statusItems = m_latent.StatusItems();
  const std::size_t c = Size(m_classes);
  const std::size_t s = Size(m_statuses);

  // Every item is written as a level and only the missing ones are counted, so that the
  // pattern's missing items cost no jump each.
  m_levels.resize(Size(m_items));
  Level* level = m_levels.data();
  std::size_t count = 0;
  for (std::int32_t j = 0; j < classItems; ++j) {
    level[count] = {j, -1, j};
    count += responses[j] == 0 ? 1 : 0;
  }
  const std::size_t classLevels = count;
  for (std::int32_t t = 0; t < m_latent.ItemOccasions(); ++t) {
    for (std::int32_t i = 0; i < statusItems; ++i) {
      const std::int32_t item = classItems + t * statusItems + i;
      level[count] = {item, t, i};
      count += responses[item] == 0 ? 1 : 0;
    }
  }
  m_levels.resize(count);
  const std::size_t levels = count;
  if (levels == 0) return m_total;

  // Class items: the observed part of the class factor, and for each missing item the row sums
  // of the missing items after it, which the completions of those later items add up to.
  double* base = LevelBase(0);
  for (std::int32_t k = 0; k < m_classes; ++k) {
    double factor = m_latent.Gamma(k);
    int exponent = 0;
    for (std::int32_t j = 0; j < classItems; ++j) {
      if (responses[j] == 0) continue;
      factor *= m_latent.ClassRho(k, j)[responses[j]];
      if (factor < em::kRescaleBelow) em::KeepAbove(&factor, &exponent);
    }
    base[k] = factor;
    m_baseExponent[Size(k)] = exponent;
    double suffix = 1.0;
    for (std::size_t q = classLevels; q-- > 0;) {
      m_classSuffix[q * c + Size(k)] = suffix;
      suffix *= m_latent.ClassRho(k, m_levels[q].index)[0];
    }
  }

  // Status items, occasion by occasion, in the same way per class and status.
  for (std::size_t first = classLevels; first < levels;) {
    const std::int32_t t = m_levels[first].occasion;
    // The occasion's levels are [first, end), never empty.
    std::size_t end = first + 1;
    while (end < levels && m_levels[end].occasion == t) ++end;
    for (std::int32_t k = 0; k < m_classes; ++k) {
      double* suffix = m_statusSuffix.data() + ((end - 1) * c + Size(k)) * s;
      std::fill_n(suffix, s, 1.0);
      for (std::size_t q = end - 1; q > first; --q) {
        const double* rowSums = m_latent.StatusRho(k, t, m_levels[q].index);
        double* earlier = suffix - c * s;
        for (std::size_t d = 0; d < s; ++d) earlier[d] = suffix[d] * rowSums[d];
        suffix = earlier;
      }
    }
    first = end;
  }

  // Up to the first occasion with a missing item every subject shares the pattern's forward
  // message.
  if (classLevels < levels) m_latent.Forward(m_levels[classLevels].occasion);
  if (m_levels[0].occasion >= 0) EnterOccasion(0, m_levels[0].occasion, -1);
  return m_total;
}

void MissingResponseDraw::EnterOccasion(std::size_t q, std::int32_t t, std::int32_t from) {
  const std::size_t s = Size(m_statuses);
  const std::size_t stride = Size(m_latent.MaxStates());
  const std::size_t states = Size(m_latent.States(t));
  const double* base = LevelBase(q);
  const std::size_t occasions = Size(m_latent.Occasions());
  for (std::int32_t c = 0; c < m_classes; ++c) {
    double* before = LevelBefore(q) + Size(c) * stride;
    int& beforeExponent = m_beforeExponent[q * Size(m_classes) + Size(c)];
    if (from < 0 && t == 0) {
      std::copy_n(m_latent.Delta(c), s, before);
      beforeExponent = 0;
    } else if (from < 0) {
      m_latent.ForwardStep(c, t, m_latent.Alpha(c, t - 1), before);
      beforeExponent = m_latent.AlphaExponent(c, t - 1);
    } else {
      double* after = m_after.data() + Size(c) * stride;
      double* step = m_step.data() + Size(c) * stride;
      int& afterExponent = m_afterExponent[Size(c)];
      for (std::int32_t between = from + 1; between < t; ++between) {
        m_latent.ForwardStep(c, between, after, step);
        const double* e = m_latent.Emission(c, between);
        const std::size_t betweenStates = Size(m_latent.States(between));
        for (std::size_t x = 0; x < betweenStates; ++x) after[x] = step[x] * e[x % s];
        afterExponent += m_latent.EmissionExponent(c, between);
        em::KeepAbove(after, betweenStates, &afterExponent);
      }
      m_latent.ForwardStep(c, t, after, before);
      beforeExponent = afterExponent;
    }
    const double* beta = m_latent.Beta(c, t);
    double* reach = LevelReach(q) + Size(c) * s;
    std::fill_n(reach, s, 0.0);
    for (std::size_t x = 0; x < states; ++x) reach[x % s] += before[x] * beta[x];
    // Everything that weighs this class's statuses at this level, against the pattern's total.
    const int shift = beforeExponent + m_latent.BetaExponent(c, t) + m_baseExponent[Size(c)] +
                      m_observedExponent[Size(c) * occasions + Size(t)] - m_totalExponent;
    const double scaledBase = em::TimesPowerOfTwo(base[c], shift);
    for (std::size_t d = 0; d < s; ++d) reach[d] *= scaledBase;
    std::copy_n(m_observedAt[Size(c) * occasions + Size(t)], s, LevelEmission(q) + Size(c) * s);
  }
}

void MissingResponseDraw::Advance(std::size_t q, std::int32_t k) {
  const Level& level = m_levels[q];
  const Level& next = m_levels[q + 1];
  const std::size_t s = Size(m_statuses);
  const std::size_t stride = Size(m_latent.MaxStates());
  double* base = LevelBase(q + 1);
  std::copy_n(LevelBase(q), Size(m_classes), base);
  if (level.occasion < 0) {
    for (std::int32_t c = 0; c < m_classes; ++c) base[c] *= m_latent.ClassRho(c, level.index)[k];
    if (next.occasion >= 0) EnterOccasion(q + 1, next.occasion, -1);
    return;
  }
  const std::int32_t t = level.occasion;
  const std::size_t states = Size(m_latent.States(t));
  for (std::int32_t c = 0; c < m_classes; ++c) {
    const double* rho = m_latent.StatusRho(c, t, level.index) + Size(k) * s;
    const double* emission = LevelEmission(q) + Size(c) * s;
    const double* before = LevelBefore(q) + Size(c) * stride;
    const int beforeExponent = m_beforeExponent[q * Size(m_classes) + Size(c)];
    if (next.occasion == t) {
      double* nextEmission = LevelEmission(q + 1) + Size(c) * s;
      for (std::size_t d = 0; d < s; ++d) nextEmission[d] = emission[d] * rho[d];
      std::copy_n(before, states, LevelBefore(q + 1) + Size(c) * stride);
      m_beforeExponent[(q + 1) * Size(m_classes) + Size(c)] = beforeExponent;
      std::copy_n(LevelReach(q) + Size(c) * s, s, LevelReach(q + 1) + Size(c) * s);
    } else {
      double* after = m_after.data() + Size(c) * stride;
      for (std::size_t x = 0; x < states; ++x) after[x] = before[x] * emission[x % s] * rho[x % s];
      m_afterExponent[Size(c)] =
          beforeExponent +
          m_observedExponent[Size(c) * Size(m_latent.Occasions()) + Size(t)];
      em::KeepAbove(after, states, &m_afterExponent[Size(c)]);
    }
  }
  if (next.occasion != t) EnterOccasion(q + 1, next.occasion, t);
}

// P(class item j = k | observed, drawn) is proportional to the sum over the classes of the
// class part so far x LITTLE RHO(k) x the later missing items' row sums x P(status part | c).
// P(status item i at occasion t = k | observed, drawn) is proportional to the sum over class c
// and status s at t of: the class part x the forward message into s x the backward message
// from s (reach), t's emission so far (observed and drawn items), BIG RHO(k), and the row sums
// of t's later missing items.
// The tree is walked with a frame per level instead of a call per node: a level's frame holds
// where its walk over the categories stands while the subjects of one category go down.
bool MissingResponseDraw::EnterLevel(std::size_t q, std::size_t begin, std::size_t end) {
  if (q == m_levels.size()) {
    Complete(begin, end);
    return false;
  }
  const Level& level = m_levels[q];
  const std::size_t own = Size(m_latent.OwnCategories(level.item));
  double* w = m_weights.data() + q * m_maxCategories;
  const std::size_t s = Size(m_statuses);
  std::fill_n(w, own, 0.0);
  if (level.occasion < 0) {
    const double* base = LevelBase(q);
    const double* suffix = m_classSuffix.data() + q * Size(m_classes);
    for (std::int32_t c = 0; c < m_classes; ++c) {
      const double* rho = m_latent.ClassRho(c, level.index);
      const double scale = em::TimesPowerOfTwo(
          base[c] * suffix[c] * m_latent.Dynamic(c),
          m_baseExponent[Size(c)] + m_latent.DynamicExponent(c) - m_totalExponent);
      for (std::size_t k = 0; k < own; ++k) w[k] += scale * rho[k + 1];
    }
  } else {
    for (std::int32_t c = 0; c < m_classes; ++c) {
      const double* reach = LevelReach(q) + Size(c) * s;
      const double* e = LevelEmission(q) + Size(c) * s;
      const double* suffix = m_statusSuffix.data() + (q * Size(m_classes) + Size(c)) * s;
      const double* rho = m_latent.StatusRho(c, level.occasion, level.index);
      // What every category's term shares, in the order the full product takes it.
      double* shared = m_shared.data();
      for (std::size_t d = 0; d < s; ++d) shared[d] = reach[d] * e[d] * suffix[d];
      for (std::size_t k = 0; k < own; ++k) {
        const double* category = rho + (k + 1) * s;
        double weight = 0.0;
        for (std::size_t d = 0; d < s; ++d) weight += shared[d] * category[d];
        w[k] += weight;
      }
    }
  }
  double total = 0.0;
  for (std::size_t k = 0; k < own; ++k) total += w[k];
  if (!(total > 0.0) || !std::isfinite(total)) return false;

  Frame& frame = m_frames[q];
  frame.end = end;
  frame.next = begin;
  frame.category = 0;
  frame.running = 0.0;
  frame.scale = 1.0 / total;
  return true;
}

// The walk of ChooseAndRescale, for a sorted run of uniforms at once: the next category of
// level q that some of the level's subjects fall in, [*begin, *end) those subjects, their
// uniforms rescaled into it and level q + 1 made ready for them. False once every subject of
// the level has gone down.
bool MissingResponseDraw::NextBranch(std::size_t q, std::size_t* begin, std::size_t* end) {
  Frame& frame = m_frames[q];
  const Level& level = m_levels[q];
  const std::size_t own = Size(m_latent.OwnCategories(level.item));
  const double* w = m_weights.data() + q * m_maxCategories;
  const auto take = [&](std::size_t k, double lower, double width, std::size_t stop) {
    for (std::size_t r = frame.next; r < stop; ++r) m_uniforms[r] = (m_uniforms[r] - lower) / width;
    m_current[Size(level.item)] = static_cast<std::int32_t>(k) + 1;
    if (q + 1 < m_levels.size()) Advance(q, static_cast<std::int32_t>(k) + 1);
    *begin = frame.next;
    *end = stop;
    frame.next = stop;
  };
  while (frame.category < own && frame.next < frame.end) {
    const std::size_t k = frame.category++;
    const double lower = frame.running;
    const double width = w[k] * frame.scale;
    frame.running += width;
    std::size_t stop = frame.next;
    while (stop < frame.end && m_uniforms[stop] < frame.running) ++stop;
    if (stop > frame.next) {
      take(k, lower, width, stop);
      return true;
    }
  }
  if (frame.next == frame.end) return false;
  // Uniforms not below the final running sum go to the last category of positive weight.
  std::size_t last = own;
  while (last > 0 && !(w[last - 1] > 0.0)) --last;
  if (last-- == 0) return false;
  double lower = 0.0;
  for (std::size_t k = 0; k < last; ++k) lower += w[k] * frame.scale;
  take(last, lower, w[last] * frame.scale, frame.end);
  return true;
}

void MissingResponseDraw::Descend(std::size_t begin, std::size_t end) {
  if (!EnterLevel(0, begin, end)) return;
  std::size_t depth = 0;
  for (;;) {
    std::size_t first = 0, stop = 0;
    if (NextBranch(depth, &first, &stop)) {
      if (EnterLevel(depth + 1, first, stop)) ++depth;
    } else if (depth-- == 0) {
      return;
    }
  }
}

void MissingResponseDraw::Complete(std::size_t begin, std::size_t end) {
  if (m_single != nullptr) {
    std::copy(m_current.begin(), m_current.end(), m_single);
    m_singleDone = true;
    return;
  }
  m_rows.insert(m_rows.end(), m_current.begin(), m_current.end());
  m_rowFrequencies.push_back(static_cast<double>(end - begin));
}

bool MissingResponseDraw::DrawCompletion(double u, std::int32_t* completed) {
  std::copy(m_pattern.begin(), m_pattern.end(), completed);
  std::copy(m_pattern.begin(), m_pattern.end(), m_current.begin());
  m_uniforms.assign(1, u);
  m_single = completed;
  m_singleDone = false;
  Descend(0, 1);
  m_single = nullptr;
  return m_singleDone;
}

void MissingResponseDraw::MergeBatches(std::size_t firstRow) {
  const std::size_t items = Size(m_items);
  const std::int32_t* rows = m_rows.data();
  m_batchOrder.resize(m_rowFrequencies.size() - firstRow);
  std::iota(m_batchOrder.begin(), m_batchOrder.end(), firstRow);
  const auto before = [rows, items](std::size_t a, std::size_t b) {
    return std::lexicographical_compare(rows + a * items, rows + (a + 1) * items, rows + b * items,
                                        rows + (b + 1) * items);
  };
  std::sort(m_batchOrder.begin(), m_batchOrder.end(), before);
  m_mergedRows.clear();
  m_mergedFrequencies.clear();
  for (std::size_t k = 0; k < m_batchOrder.size();) {
    const std::size_t first = m_batchOrder[k];
    double count = 0.0;
    for (; k < m_batchOrder.size() && !before(first, m_batchOrder[k]); ++k) {
      count += m_rowFrequencies[m_batchOrder[k]];
    }
    m_mergedRows.insert(m_mergedRows.end(), rows + first * items, rows + (first + 1) * items);
    m_mergedFrequencies.push_back(count);
  }
  m_rows.resize(firstRow * items);
  m_rows.insert(m_rows.end(), m_mergedRows.begin(), m_mergedRows.end());
  m_rowFrequencies.resize(firstRow);
  m_rowFrequencies.insert(m_rowFrequencies.end(), m_mergedFrequencies.begin(),
                          m_mergedFrequencies.end());
}

std::uint64_t MissingResponseDraw::UniformsOf(const input::PatternTable& observed,
                                              std::int32_t p) const {
  const std::int32_t* y = observed.Pattern(p);
  if (std::find(y, y + Size(observed.itemCount), 0) == y + Size(observed.itemCount)) return 0;
  return static_cast<std::uint64_t>(SubjectsOf(observed.frequencies[Size(p)]));
}

// Every code's emissions, full and of its observed items, in fixed slices of the codes over the
// blocks' recursions.
void MissingResponseDraw::ComputeCodeEmissions(const em::OccasionCodes& codes) {
  m_codeTable.Compute(
      codes, m_classes, m_statuses, /*withOwn=*/true,
      [this](std::size_t b) -> LatentRecursions& { return BlockDraw(b).m_latent; }, &m_pool);
  m_tables = {&codes, m_codeTable.emission.data(), m_codeTable.exponent.data(),
              m_codeTable.own.data(), m_codeTable.ownExponent.data()};
}

MissingResponseDraw& MissingResponseDraw::BlockDraw(std::size_t b) {
  while (m_blockDraws.size() <= b) {
    m_blockDraws.push_back(std::make_unique<MissingResponseDraw>(m_model));
  }
  MissingResponseDraw& block = *m_blockDraws[b];
  if (!block.m_parametersSet) {
    block.SetParameters(*m_values);
    block.m_parametersSet = true;
  }
  block.m_tables = m_tables;
  return block;
}

void MissingResponseDraw::DrawPatterns(const input::PatternTable& observed, std::int32_t begin,
                                       std::int32_t end, const float* uniforms) {
  const std::size_t items = Size(observed.itemCount);
  m_rows.clear();
  m_rowFrequencies.clear();
  for (std::int32_t p = begin; p < end; ++p) {
    const std::int32_t* y = observed.Pattern(p);
    const double frequency = observed.frequencies[Size(p)];
    if (std::find(y, y + items, 0) == y + items) {
      m_rows.insert(m_rows.end(), y, y + items);
      m_rowFrequencies.push_back(frequency);
      continue;
    }
    const std::int64_t subjects = SubjectsOf(frequency);
    if (subjects == 0) continue;
    PreparePattern(observed, p);
    m_uniforms.assign(uniforms, uniforms + subjects);
    uniforms += subjects;
    std::sort(m_uniforms.begin(), m_uniforms.end());
    std::copy(m_pattern.begin(), m_pattern.end(), m_current.begin());
    Descend(0, m_uniforms.size());
  }
}

void MissingResponseDraw::DrawGroup(const input::PatternTable& observed, std::int32_t begin,
                                    std::int32_t end) {
  const std::size_t count = Size(end - begin);
  const std::size_t blocks = run::FixedBlockCount(count);
  for (std::size_t b = 0; b < blocks; ++b) BlockDraw(b);
  const auto drawBlock = [&](std::size_t b) {
    const std::int32_t first = begin + static_cast<std::int32_t>(count * b / blocks);
    const std::int32_t last = begin + static_cast<std::int32_t>(count * (b + 1) / blocks);
    m_blockDraws[b]->DrawPatterns(observed, first, last,
                                  m_groupUniforms.data() + m_firstUniform[Size(first - begin)]);
  };
  if (blocks == 1) {
    drawBlock(0);
  } else {
    if (!m_pool) m_pool = std::make_unique<run::BlockPool>(run::EngineThreadCount());
    m_pool->Run(blocks, drawBlock);
  }
  for (std::size_t b = 0; b < blocks; ++b) {
    const MissingResponseDraw& block = *m_blockDraws[b];
    m_rows.insert(m_rows.end(), block.m_rows.begin(), block.m_rows.end());
    m_rowFrequencies.insert(m_rowFrequencies.end(), block.m_rowFrequencies.begin(),
                            block.m_rowFrequencies.end());
  }
}

bool MissingResponseDraw::DrawLargePattern(const input::PatternTable& observed, std::int32_t p,
                                           std::uint64_t subjects, AbortCheck* abortCheck) {
  PreparePattern(observed, p);
  const std::size_t firstRow = m_rowFrequencies.size();
  // Each subject's path depends on its own uniform only, so batches of consecutive uniforms
  // end where one batch of all of them would.
  for (std::uint64_t left = subjects; left > 0;) {
    const std::uint64_t batch = std::min(left, AbortCheck::kSubjectsPerQuestion);
    m_uniforms.resize(static_cast<std::size_t>(batch));
    for (double& u : m_uniforms) u = NextUniform(0);
    std::sort(m_uniforms.begin(), m_uniforms.end());
    std::copy(m_pattern.begin(), m_pattern.end(), m_current.begin());
    Descend(0, m_uniforms.size());
    left -= batch;
    MergeBatches(firstRow);
    if (abortCheck->Drawn(batch)) return false;
  }
  return true;
}

bool MissingResponseDraw::DrawMissingResponses(const input::ParameterSet& values,
                                               const input::PatternTable& observed,
                                               input::PatternTable* completed,
                                               const em::OccasionCodes* codes) {
  SetParameters(values);
  m_values = &values;
  for (const std::unique_ptr<MissingResponseDraw>& block : m_blockDraws) {
    block->m_parametersSet = false;
  }
  m_tables = {};
  if (codes != nullptr && codes->occasions > 0 &&
      codes->Fits(observed, m_latent.ItemOccasions(), m_latent.StatusItems())) {
    ComputeCodeEmissions(*codes);
  }
  m_rows.clear();
  m_rowFrequencies.clear();
  AbortCheck abortCheck;
  const std::uint64_t groupSize = AbortCheck::kSubjectsPerQuestion;
  for (std::int32_t begin = 0; begin < observed.patternCount;) {
    const std::uint64_t first = UniformsOf(observed, begin);
    if (first > groupSize) {
      if (!DrawLargePattern(observed, begin, first, &abortCheck)) return false;
      ++begin;
      continue;
    }
    const std::int32_t end = GroupOfPatterns(
        begin, observed.patternCount, groupSize,
        [&](std::int32_t p) { return UniformsOf(observed, p); }, &m_firstUniform);
    const std::uint64_t subjects = m_firstUniform.back();
    m_groupUniforms.resize(static_cast<std::size_t>(subjects));
    DrawUniforms(m_groupUniforms.data(), m_groupUniforms.size());
    DrawGroup(observed, begin, end);
    if (abortCheck.Drawn(subjects)) return false;
    begin = end;
  }
  Rebuild(observed.itemCount, completed);
  return true;
}

void MissingResponseDraw::Rebuild(std::int32_t itemCount, input::PatternTable* completed) {
  const std::size_t items = Size(itemCount);
  // Distinct patterns in increasing complete cell index. The index itself is the sort key when
  // it fits 64 bits, and then equal keys are equal patterns; otherwise patterns are compared
  // from the last item, the most significant digit, down, which gives the same order.
  const std::size_t rowCount = m_rowFrequencies.size();
  const std::int32_t* rows = m_rows.data();
  const auto before = [rows, items](std::size_t a, std::size_t b) {
    const std::int32_t* ya = rows + a * items;
    const std::int32_t* yb = rows + b * items;
    for (std::size_t i = items; i-- > 0;) {
      if (ya[i] != yb[i]) return ya[i] < yb[i];
    }
    return false;
  };
  m_keys.resize(rowCount);
  for (std::size_t r = 0; r < rowCount; ++r) {
    std::uint64_t key = 0;
    if (m_keysFit) {
      const std::int32_t* y = rows + r * items;
      for (std::size_t i = 0; i < items; ++i) {
        key += static_cast<std::uint64_t>(y[i] - 1) * m_cellRadix[i];
      }
    }
    m_keys[r] = {key, r};
  }
  // Equal patterns keep the order of their rows, so that their frequencies are summed in it.
  if (m_keysFit) {
    SortKeys(&m_keys, &m_keyScratch, &m_digitCounts);
  } else {
    std::sort(m_keys.begin(), m_keys.end(), [&before](const auto& a, const auto& b) {
      if (before(a.second, b.second)) return true;
      if (before(b.second, a.second)) return false;
      return a.second < b.second;
    });
  }
  const auto same = [this, &before](const std::pair<std::uint64_t, std::size_t>& a,
                                    const std::pair<std::uint64_t, std::size_t>& b) {
    return m_keysFit ? a.first == b.first : !before(a.second, b.second);
  };

  completed->itemCount = itemCount;
  completed->responses.clear();
  completed->frequencies.clear();
  completed->subjectCount = 0.0;
  for (std::size_t k = 0; k < rowCount;) {
    const std::size_t first = k;
    double frequency = 0.0;
    for (; k < rowCount && same(m_keys[first], m_keys[k]); ++k) {
      frequency += m_rowFrequencies[m_keys[k].second];
    }
    const std::size_t row = m_keys[first].second;
    completed->responses.insert(completed->responses.end(), rows + row * items,
                                rows + (row + 1) * items);
    completed->frequencies.push_back(frequency);
    completed->subjectCount += frequency;
  }
  completed->patternCount = static_cast<std::int32_t>(completed->frequencies.size());
}

}  // namespace kov::da
