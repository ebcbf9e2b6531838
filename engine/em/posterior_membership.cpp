#include "posterior_membership.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <mutex>

#include "base/result_codes.h"
#include "base/text_output.h"
#include "csv_writer.h"
#include "run/run_support.h"

namespace kov::em {

namespace {

constexpr double kMinusInfinity = -HUGE_VAL;

double LogOf(double p) { return p > 0.0 ? std::log(p) : kMinusInfinity; }

// ln(e^a + e^b) without overflow; minus infinity stays absorbing.
double LogAdd(double a, double b) {
  if (a < b) std::swap(a, b);
  if (a == kMinusInfinity) return a;
  return a + std::log1p(std::exp(b - a));
}

std::mutex g_overrideLock;
PosteriorTarget g_override;

}  // namespace

MembershipRecursion::MembershipRecursion(const input::ModelDimensions& dims,
                                         const input::ParameterSet& values)
    : m_dims(dims), m_values(values) {
  m_occasions = dims.HasStatuses() ? dims.OccasionExtent() : 0;
  m_pairs = dims.order == 2 && m_occasions > 1;
  m_maxStates = m_pairs ? dims.statuses * dims.statuses : dims.statuses;
  const auto c = static_cast<std::size_t>(dims.classes);
  const auto t = static_cast<std::size_t>(std::max(m_occasions, 1));
  const auto states = static_cast<std::size_t>(m_maxStates);
  m_logClass.resize(c);
  m_logEmission.resize(c * t * static_cast<std::size_t>(dims.statuses));
  m_alpha.resize(t * states);
  m_beta.resize(t * states);
  m_back.resize(t * states);
  m_classPath.resize(c);
  m_classPathStatus.resize(c * t);
}

std::int32_t MembershipRecursion::States(std::int32_t t) const {
  return t > 0 && m_pairs ? m_maxStates : m_dims.statuses;
}

void MembershipRecursion::Emissions(const std::int32_t* responses) {
  const input::ModelDimensions& d = m_dims;
  const auto little = input::LittleRhoShape(d);
  const auto big = input::BigRhoShape(d);
  for (std::int32_t c = 0; c < d.classes; ++c) {
    double sum = LogOf(m_values.gamma[static_cast<std::size_t>(c)]);
    for (std::int32_t j = 0; j < d.classItems; ++j) {
      if (responses[j] > 0) sum += LogOf(m_values.littleRho[little(responses[j] - 1, j, c)]);
    }
    m_logClass[static_cast<std::size_t>(c)] = sum;
    for (std::int32_t t = 0; t < m_occasions; ++t) {
      const std::int32_t* y = responses + d.classItems + t * d.statusItems;
      for (std::int32_t s = 0; s < d.statuses; ++s) {
        double e = 0.0;
        for (std::int32_t i = 0; i < d.statusItems; ++i) {
          if (y[i] > 0) e += LogOf(m_values.bigRho[big(y[i] - 1, i, s, c, t)]);
        }
        LogEmission(c, t, s) = e;
      }
    }
  }
}

// ln tau of the step from occasion t to t + 1 (0-based), from status `from` (after `before`
// in a second-order process) to `to`. The first step has its own S rows; every later step has
// S rows in first order, S x S rows (one per pair) in second order.
double MembershipRecursion::LogTransition(std::int32_t c, std::int32_t t, std::int32_t before,
                                          std::int32_t from, std::int32_t to) const {
  const std::int32_t S = m_dims.statuses;
  std::int32_t row = from;
  if (t > 0) row = m_pairs ? S + (t - 1) * S * S + before * S + from : t * S + from;
  return LogOf(m_values.tau[input::TauShape(m_dims)(row, to, c)]);
}

// Forward messages of class c (sums, or with viterbi maxima and their predecessors). A state
// of occasion t > 0 in a second-order process is (previous, current) as previous * S + current.
void MembershipRecursion::Forward(std::int32_t c, bool viterbi) {
  const std::int32_t S = m_dims.statuses;
  const std::size_t stride = static_cast<std::size_t>(m_maxStates);
  const auto emission = [&](std::int32_t t, std::int32_t s) { return LogEmission(c, t, s); };
  const auto delta = input::DeltaShape(m_dims);
  for (std::int32_t s = 0; s < S; ++s) {
    m_alpha[static_cast<std::size_t>(s)] = LogOf(m_values.delta[delta(c, s, 0)]) + emission(0, s);
  }
  for (std::int32_t t = 1; t < m_occasions; ++t) {
    const double* previous = &m_alpha[static_cast<std::size_t>(t - 1) * stride];
    double* current = &m_alpha[static_cast<std::size_t>(t) * stride];
    std::int32_t* back = &m_back[static_cast<std::size_t>(t) * stride];
    for (std::int32_t state = 0; state < States(t); ++state) {
      const std::int32_t to = m_pairs ? state % S : state;
      const std::int32_t from = m_pairs ? state / S : -1;
      // The predecessors: statuses a (first order), or pairs (a, from) (second order after the
      // first step); the first step of a second-order process comes from status `from` alone.
      double best = kMinusInfinity;
      std::int32_t bestState = 0;
      double sum = kMinusInfinity;
      const bool single = m_pairs && t == 1;
      const std::int32_t candidates = single ? 1 : S;
      for (std::int32_t a = 0; a < candidates; ++a) {
        const std::int32_t predecessor = single ? from : m_pairs ? a * S + from : a;
        const double score = previous[predecessor] +
                             LogTransition(c, t - 1, m_pairs ? a : -1, m_pairs ? from : a, to);
        if (score > best) {
          best = score;
          bestState = predecessor;
        }
        sum = LogAdd(sum, score);
      }
      current[state] = (viterbi ? best : sum) + emission(t, to);
      back[state] = bestState;
    }
  }
}

void MembershipRecursion::Backward(std::int32_t c) {
  const std::int32_t S = m_dims.statuses;
  const std::size_t stride = static_cast<std::size_t>(m_maxStates);
  const auto emission = [&](std::int32_t t, std::int32_t s) { return LogEmission(c, t, s); };
  const std::int32_t last = m_occasions - 1;
  for (std::int32_t state = 0; state < States(last); ++state) {
    m_beta[static_cast<std::size_t>(last) * stride + static_cast<std::size_t>(state)] = 0.0;
  }
  for (std::int32_t t = last - 1; t >= 0; --t) {
    const double* next = &m_beta[static_cast<std::size_t>(t + 1) * stride];
    double* current = &m_beta[static_cast<std::size_t>(t) * stride];
    for (std::int32_t state = 0; state < States(t); ++state) {
      const std::int32_t status = m_pairs && t > 0 ? state % S : state;
      const std::int32_t before = m_pairs && t > 0 ? state / S : -1;
      double sum = kMinusInfinity;
      for (std::int32_t to = 0; to < S; ++to) {
        const std::int32_t successor = m_pairs ? status * S + to : to;
        sum = LogAdd(
            sum, LogTransition(c, t, before, status, to) + emission(t + 1, to) + next[successor]);
      }
      current[state] = sum;
    }
  }
}

void MembershipRecursion::Compute(const std::int32_t* responses, Membership* out) {
  const std::int32_t C = m_dims.classes;
  const std::int32_t S = m_dims.statuses;
  const std::int32_t T = m_occasions;
  const std::size_t stride = static_cast<std::size_t>(m_maxStates);
  Emissions(responses);
  out->classPosterior.assign(static_cast<std::size_t>(C), 0.0);
  out->statusPosterior.assign(static_cast<std::size_t>(T) * static_cast<std::size_t>(S), 0.0);
  out->modalStatus.assign(static_cast<std::size_t>(T), 0);
  out->pathStatus.assign(static_cast<std::size_t>(T), 0);

  // ln P(y, c), and per class the status log posteriors kept as ln P(y, c, s_t) in place.
  std::vector<double>& joint = out->classPosterior;
  std::vector<double> statusJoint(
      static_cast<std::size_t>(C) * static_cast<std::size_t>(T) * static_cast<std::size_t>(S),
      kMinusInfinity);
  for (std::int32_t c = 0; c < C; ++c) {
    const double base = m_logClass[static_cast<std::size_t>(c)];
    if (T == 0) {
      joint[static_cast<std::size_t>(c)] = base;
      m_classPath[static_cast<std::size_t>(c)] = base;
      continue;
    }
    // Viterbi first: its back pointers are read before the sums overwrite the scores.
    Forward(c, /*viterbi=*/true);
    const double* final = &m_alpha[static_cast<std::size_t>(T - 1) * stride];
    std::int32_t bestState = 0;
    for (std::int32_t state = 1; state < States(T - 1); ++state) {
      if (final[state] > final[bestState]) bestState = state;
    }
    m_classPath[static_cast<std::size_t>(c)] = base + final[bestState];
    std::int32_t* path =
        &m_classPathStatus[static_cast<std::size_t>(c) * static_cast<std::size_t>(T)];
    for (std::int32_t t = T - 1; t >= 0; --t) {
      path[t] = m_pairs && t > 0 ? bestState % S : bestState;
      if (t > 0)
        bestState =
            m_back[static_cast<std::size_t>(t) * stride + static_cast<std::size_t>(bestState)];
    }

    Forward(c, /*viterbi=*/false);
    Backward(c);
    double total = kMinusInfinity;
    for (std::int32_t state = 0; state < States(T - 1); ++state)
      total = LogAdd(total, final[state]);
    joint[static_cast<std::size_t>(c)] = base + total;
    for (std::int32_t t = 0; t < T; ++t) {
      for (std::int32_t state = 0; state < States(t); ++state) {
        const std::size_t at =
            static_cast<std::size_t>(t) * stride + static_cast<std::size_t>(state);
        const std::int32_t s = m_pairs && t > 0 ? state % S : state;
        double& cell = statusJoint[(static_cast<std::size_t>(c) * static_cast<std::size_t>(T) +
                                    static_cast<std::size_t>(t)) *
                                       static_cast<std::size_t>(S) +
                                   static_cast<std::size_t>(s)];
        cell = LogAdd(cell, base + m_alpha[at] + m_beta[at]);
      }
    }
  }

  double logPattern = kMinusInfinity;
  for (double value : joint) logPattern = LogAdd(logPattern, value);
  out->possible = std::isfinite(logPattern);
  if (!out->possible) return;
  out->modalClass = 0;
  out->pathClass = 0;
  for (std::int32_t c = 0; c < C; ++c) {
    joint[static_cast<std::size_t>(c)] = std::exp(joint[static_cast<std::size_t>(c)] - logPattern);
    if (joint[static_cast<std::size_t>(c)] > joint[static_cast<std::size_t>(out->modalClass)]) {
      out->modalClass = c;
    }
    if (m_classPath[static_cast<std::size_t>(c)] >
        m_classPath[static_cast<std::size_t>(out->pathClass)]) {
      out->pathClass = c;
    }
  }
  for (std::int32_t t = 0; t < T; ++t) {
    double* row = &out->statusPosterior[static_cast<std::size_t>(t) * static_cast<std::size_t>(S)];
    for (std::int32_t c = 0; c < C; ++c) {
      for (std::int32_t s = 0; s < S; ++s) {
        row[s] += std::exp(statusJoint[(static_cast<std::size_t>(c) * static_cast<std::size_t>(T) +
                                        static_cast<std::size_t>(t)) *
                                           static_cast<std::size_t>(S) +
                                       static_cast<std::size_t>(s)] -
                           logPattern);
      }
    }
    std::int32_t modal = 0;
    for (std::int32_t s = 1; s < S; ++s) modal = row[s] > row[modal] ? s : modal;
    out->modalStatus[static_cast<std::size_t>(t)] = modal;
    out->pathStatus[static_cast<std::size_t>(t)] =
        m_classPathStatus[static_cast<std::size_t>(out->pathClass) * static_cast<std::size_t>(T) +
                          static_cast<std::size_t>(t)];
  }
}

void SetPosteriorOverride(const PosteriorTarget& target) {
  std::lock_guard<std::mutex> lock(g_overrideLock);
  g_override = target;
}

PosteriorTarget CurrentPosteriorOverride() {
  std::lock_guard<std::mutex> lock(g_overrideLock);
  return g_override;
}

PosteriorTarget PosteriorTargetOf(const input::Model& model, const std::string& controlFile) {
  PosteriorTarget target = CurrentPosteriorOverride();
  if (target.file.empty()) target = {model.posteriorFile, model.posteriorByPattern};
  if (target.file.empty()) return target;
  const std::filesystem::path name(target.file);
  if (name.is_relative()) {
    target.file = (std::filesystem::path(controlFile).parent_path() / name).string();
  }
  return target;
}

std::vector<std::string> PosteriorHeader(const MembershipRecursion& recursion) {
  std::vector<std::string> names;
  if (recursion.Classes() > 1) {
    for (std::int32_t c = 1; c <= recursion.Classes(); ++c) {
      names.push_back("p_class" + std::to_string(c));
    }
    names.push_back("class");
  }
  for (std::int32_t t = 1; t <= recursion.Occasions(); ++t) {
    const std::string occasion = "t" + std::to_string(t);
    for (std::int32_t s = 1; s <= recursion.Statuses(); ++s) {
      names.push_back("p_" + occasion + "_status" + std::to_string(s));
    }
    names.push_back("status_" + occasion);
  }
  if (recursion.Classes() > 1) names.push_back("path_class");
  for (std::int32_t t = 1; t <= recursion.Occasions(); ++t) {
    names.push_back("path_t" + std::to_string(t));
  }
  return names;
}

namespace {

// The membership columns of one row, in the header's order; empty fields for a pattern the
// model cannot produce.
void AppendMembership(const MembershipRecursion& recursion, const Membership& m,
                      std::vector<std::string>* row) {
  const auto number = [&](std::int32_t k) { return m.possible ? std::to_string(k + 1) : ""; };
  const auto probability = [&](double p) { return m.possible ? CsvNumber(p) : ""; };
  if (recursion.Classes() > 1) {
    for (double p : m.classPosterior) row->push_back(probability(p));
    row->push_back(number(m.modalClass));
  }
  const auto S = static_cast<std::size_t>(recursion.Statuses());
  for (std::size_t t = 0; t < static_cast<std::size_t>(recursion.Occasions()); ++t) {
    for (std::size_t s = 0; s < S; ++s) row->push_back(probability(m.statusPosterior[t * S + s]));
    row->push_back(number(m.modalStatus[t]));
  }
  if (recursion.Classes() > 1) row->push_back(number(m.pathClass));
  for (std::int32_t status : m.pathStatus) row->push_back(number(status));
}

// One row: a record of the data file, or a distinct pattern with its responses.
struct Row {
  std::int32_t number = 0;  // record or pattern, 1-based
  double frequency = 0.0;
  std::int32_t pattern = 0;  // its sorted pattern
};

std::vector<Row> RowsOf(const GroupedPatterns& grouped, bool byPattern) {
  const input::PatternTable& table = grouped.patterns;
  const auto count = static_cast<std::size_t>(table.patternCount);
  std::vector<std::int32_t> byRecord(count);
  for (std::size_t q = 0; q < count; ++q) {
    byRecord[static_cast<std::size_t>(grouped.order[q])] = static_cast<std::int32_t>(q);
  }
  std::vector<Row> rows;
  if (!byPattern) {
    for (std::size_t r = 0; r < count; ++r) {
      const std::int32_t q = byRecord[r];
      rows.push_back(
          {static_cast<std::int32_t>(r) + 1, table.frequencies[static_cast<std::size_t>(q)], q});
    }
    return rows;
  }
  const auto items = static_cast<std::size_t>(table.itemCount);
  std::map<std::vector<std::int32_t>, std::size_t> seen;
  for (std::size_t r = 0; r < count; ++r) {
    const std::int32_t q = byRecord[r];
    const std::int32_t* y = table.Pattern(q);
    const auto [where, added] = seen.emplace(std::vector<std::int32_t>(y, y + items), rows.size());
    if (added) {
      rows.push_back({static_cast<std::int32_t>(rows.size()) + 1, 0.0, q});
    }
    rows[where->second].frequency += table.frequencies[static_cast<std::size_t>(q)];
  }
  return rows;
}

}  // namespace

Status WritePosteriorFile(const std::string& path, bool byPattern,
                          const input::ModelDimensions& dims, const input::ParameterSet& values,
                          const GroupedPatterns& grouped) {
  input::TextOutput out;
  if (const std::int32_t status = out.CreateReplacing(path); status != kStatusOk) {
    return run::OpenFailure(status, "Unable to open posterior membership file for writing: ", path,
                            run::kValidPathAndName);
  }
  MembershipRecursion recursion(dims, values);
  const std::int32_t items = grouped.patterns.itemCount;
  std::vector<std::string> header = {byPattern ? "pattern" : "record", "frequency"};
  if (byPattern) {
    for (std::int32_t k = 1; k <= items; ++k) header.push_back("item" + std::to_string(k));
  }
  const std::vector<std::string> membership = PosteriorHeader(recursion);
  header.insert(header.end(), membership.begin(), membership.end());
  std::int32_t status = WriteCsvRow(out, header);

  Membership m;
  std::vector<std::string> row;
  for (const Row& r : RowsOf(grouped, byPattern)) {
    if (status != kStatusOk) break;
    const std::int32_t* y = grouped.patterns.Pattern(r.pattern);
    row = {std::to_string(r.number), CsvNumber(r.frequency)};
    if (byPattern) {
      for (std::int32_t k = 0; k < items; ++k) row.push_back(std::to_string(y[k]));
    }
    recursion.Compute(y, &m);
    AppendMembership(recursion, m, &row);
    status = WriteCsvRow(out, row);
  }
  if (status == kStatusOk) status = out.Commit();
  if (status != kStatusOk) return run::WriteFailure(status, path);
  return {};
}

Status WritePosteriorMembership(const input::Model& model, const std::string& controlFile,
                                const input::ParameterSet& values, const GroupedPatterns& grouped) {
  const PosteriorTarget target = PosteriorTargetOf(model, controlFile);
  if (target.file.empty()) return {};
  return WritePosteriorFile(target.file, target.byPattern, model.dims, values, grouped);
}

}  // namespace kov::em
