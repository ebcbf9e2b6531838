#include "enumeration.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include "base/block_pool.h"
#include "base/engine_status.h"
#include "base/result_codes.h"
#include "base/status_record.h"
#include "em_step.h"
#include "estep.h"
#include "input/control_file.h"
#include "input/restriction_structure.h"
#include "parameter_count.h"
#include "random_starts.h"
#include "report/compare_file.h"
#include "report/results_file.h"

namespace kov::em {

namespace {

using input::ModelDimensions;
using input::ParameterSet;

std::mutex g_optionsLock;
EnumerationOptions g_options;

std::int32_t Magnitude(std::int32_t code) { return code < 0 ? -code : code; }
bool IsTie(std::int32_t code) { return Magnitude(code) >= 2; }
bool SameTie(std::int32_t a, std::int32_t b) { return IsTie(a) && Magnitude(a) == Magnitude(b); }

std::int32_t CategoriesOf(const std::vector<std::int32_t>& categories, std::int32_t item) {
  return categories[static_cast<std::size_t>(item)];
}

// Entries that share a key share one value; a key of one entry is simply free.
class TieBuilder {
 public:
  void Add(std::vector<std::int32_t> key, std::size_t at) {
    m_groups[std::move(key)].push_back(at);
  }
  void Apply(std::vector<std::int32_t>* codes) const {
    std::int32_t next = 2;
    for (const auto& [key, members] : m_groups) {
      const std::int32_t code = members.size() > 1 ? next++ : 1;
      for (const std::size_t at : members) (*codes)[at] = code;
    }
  }

 private:
  std::map<std::vector<std::int32_t>, std::vector<std::size_t>> m_groups;
};

// Which of the file's ties run across every class and every occasion, array by array.
struct TieReach {
  bool deltaClasses = false;
  bool tauClasses = false, tauOccasions = false;
  bool littleRhoClasses = false;
  bool bigRhoClasses = false, bigRhoOccasions = false;
};

TieReach FindTieReach(const input::Model& m) {
  const ModelDimensions& d = m.dims;
  const input::RestrictionSet& codes = m.codes;
  TieReach reach;
  const std::int32_t C = d.classes, S = d.statuses, T = d.OccasionExtent();
  if (d.HasClasses() && C > 1) {
    const auto shape = input::LittleRhoShape(d);
    reach.littleRhoClasses = d.classItems > 0;
    for (std::int32_t i = 0; i < d.classItems; ++i) {
      for (std::int32_t k = 0; k < CategoriesOf(m.classItemCategories, i); ++k) {
        for (std::int32_t c = 0; c < C; ++c) {
          reach.littleRhoClasses =
              reach.littleRhoClasses &&
              SameTie(codes.littleRho[shape(k, i, 0)], codes.littleRho[shape(k, i, c)]);
        }
      }
    }
  }
  if (!d.HasStatuses()) return reach;
  const auto deltaShape = input::DeltaCodeShape(d);
  const auto tauShape = input::TauShape(d);
  const auto rhoShape = input::BigRhoShape(d);
  reach.deltaClasses = C > 1;
  reach.tauClasses = C > 1 && S > 1;
  reach.tauOccasions = S > 1 && d.order == 1 && d.occasions >= 3;
  reach.bigRhoClasses = C > 1;
  reach.bigRhoOccasions = T > 1;
  for (std::int32_t c = 0; c < C; ++c) {
    for (std::int32_t s = 0; s < S; ++s) {
      reach.deltaClasses = reach.deltaClasses &&
                           SameTie(codes.delta[deltaShape(0, s)], codes.delta[deltaShape(c, s)]);
    }
    for (std::int32_t r = 0; r < d.TransitionRows() && S > 1; ++r) {
      for (std::int32_t j = 0; j < S; ++j) {
        const std::int32_t code = codes.tau[tauShape(r, j, c)];
        reach.tauClasses = reach.tauClasses && SameTie(codes.tau[tauShape(r, j, 0)], code);
        if (r >= S) {
          reach.tauOccasions =
              reach.tauOccasions && SameTie(codes.tau[tauShape(r % S, j, c)], code);
        }
      }
    }
    for (std::int32_t t = 0; t < T; ++t) {
      for (std::int32_t s = 0; s < S; ++s) {
        for (std::int32_t i = 0; i < d.statusItems; ++i) {
          for (std::int32_t k = 0; k < CategoriesOf(m.statusItemCategories, i); ++k) {
            const std::int32_t code = codes.bigRho[rhoShape(k, i, s, c, t)];
            reach.bigRhoClasses =
                reach.bigRhoClasses && SameTie(codes.bigRho[rhoShape(k, i, s, 0, t)], code);
            reach.bigRhoOccasions =
                reach.bigRhoOccasions && SameTie(codes.bigRho[rhoShape(k, i, s, c, 0)], code);
          }
        }
      }
    }
  }
  return reach;
}

std::int32_t ExtraRows(const ModelDimensions& d) {
  if (d.occasions < 3) return 0;
  std::int32_t power = 1;
  for (std::int32_t i = 0; i < d.order; ++i) power *= d.statuses;
  return (d.occasions - 2) * power;
}

// A class or status in the key when the tie does not run across it; -1 stands for "any".
std::int32_t KeyPart(bool across, std::int32_t index) { return across ? -1 : index; }

void DeriveCodes(const input::Model& m, const TieReach& reach, input::RestrictionSet* codes) {
  const ModelDimensions& d = m.dims;
  const std::int32_t C = d.classes, S = d.statuses, T = d.OccasionExtent();
  std::fill(codes->gamma.begin(), codes->gamma.end(), 1);
  {
    TieBuilder ties;
    const auto shape = input::LittleRhoShape(d);
    for (std::int32_t c = 0; c < C; ++c) {
      for (std::int32_t i = 0; i < d.classItems; ++i) {
        for (std::int32_t k = 0; k < d.maxClassCategories; ++k) {
          if (k >= CategoriesOf(m.classItemCategories, i)) {
            codes->littleRho[shape(k, i, c)] = 0;
          } else {
            ties.Add({k, i, KeyPart(reach.littleRhoClasses, c)}, shape(k, i, c));
          }
        }
      }
    }
    ties.Apply(&codes->littleRho);
  }
  if (!d.HasStatuses()) return;
  TieBuilder deltaTies, tauTies, rhoTies;
  const auto deltaShape = input::DeltaCodeShape(d);
  const auto tauShape = input::TauShape(d);
  const auto rhoShape = input::BigRhoShape(d);
  for (std::int32_t c = 0; c < C; ++c) {
    for (std::int32_t s = 0; s < S; ++s) {
      deltaTies.Add({s, KeyPart(reach.deltaClasses, c)}, deltaShape(c, s));
    }
    for (std::int32_t r = 0; r < d.TransitionRows(); ++r) {
      for (std::int32_t j = 0; j < S; ++j) {
        tauTies.Add({reach.tauOccasions ? r % S : r, j, KeyPart(reach.tauClasses, c)},
                    tauShape(r, j, c));
      }
    }
    for (std::int32_t t = 0; t < T; ++t) {
      for (std::int32_t s = 0; s < S; ++s) {
        for (std::int32_t i = 0; i < d.statusItems; ++i) {
          for (std::int32_t k = 0; k < d.maxStatusCategories; ++k) {
            if (k >= CategoriesOf(m.statusItemCategories, i)) {
              codes->bigRho[rhoShape(k, i, s, c, t)] = 0;
            } else {
              rhoTies.Add(
                  {k, i, s, KeyPart(reach.bigRhoClasses, c), KeyPart(reach.bigRhoOccasions, t)},
                  rhoShape(k, i, s, c, t));
            }
          }
        }
      }
    }
  }
  deltaTies.Apply(&codes->delta);
  tauTies.Apply(&codes->tau);
  rhoTies.Apply(&codes->bigRho);
}

void FillUniform(const input::Model& m, ParameterSet* values) {
  const ModelDimensions& d = m.dims;
  std::fill(values->gamma.begin(), values->gamma.end(), 1.0 / d.classes);
  std::fill(values->delta.begin(), values->delta.end(), 1.0 / d.statuses);
  std::fill(values->tau.begin(), values->tau.end(), 1.0 / d.statuses);
  const auto little = input::LittleRhoShape(d);
  for (std::int32_t c = 0; c < d.classes; ++c) {
    for (std::int32_t i = 0; i < d.classItems; ++i) {
      const std::int32_t n = CategoriesOf(m.classItemCategories, i);
      for (std::int32_t k = 0; k < d.maxClassCategories; ++k) {
        values->littleRho[little(k, i, c)] = k < n ? 1.0 / n : 0.0;
      }
    }
  }
  const auto big = input::BigRhoShape(d);
  for (std::int32_t t = 0; t < d.OccasionExtent(); ++t) {
    for (std::int32_t c = 0; c < d.classes; ++c) {
      for (std::int32_t s = 0; s < d.statuses; ++s) {
        for (std::int32_t i = 0; i < d.statusItems; ++i) {
          const std::int32_t n = CategoriesOf(m.statusItemCategories, i);
          for (std::int32_t k = 0; k < d.maxStatusCategories; ++k) {
            values->bigRho[big(k, i, s, c, t)] = k < n ? 1.0 / n : 0.0;
          }
        }
      }
    }
  }
}

std::string Label(const char* stem, std::int32_t number) {
  std::string label = stem + std::to_string(number);
  label.resize(input::kLabelWidth, ' ');
  return label;
}

// ---- The control file of one size --------------------------------------------------------

std::string Quoted(const std::string& text) { return "'" + input::TrimRight(text) + "'"; }

std::string Real(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// The value groups in the order and line breaks the control file is read in.
template <typename Value, typename Format>
void AppendGroups(std::vector<std::string>* lines, const ModelDimensions& d, bool allOccasions,
                  bool littleRhoNeedsCategories, const std::vector<Value>& gamma,
                  const std::vector<Value>& delta, bool deltaHasOccasions,
                  const std::vector<Value>& tau, const std::vector<Value>& littleRho,
                  const std::vector<Value>& bigRho, Format format) {
  const std::int32_t C = d.classes, S = d.statuses;
  auto join = [&](std::string* line, Value value) {
    *line += (line->empty() ? "" : " ") + format(value);
  };
  if (d.HasClasses()) {
    std::string line;
    for (std::int32_t c = 0; c < C; ++c) join(&line, gamma[input::GammaShape(d)(c)]);
    lines->push_back(line);
  }
  if (d.HasStatuses()) {
    std::string line;
    for (std::int32_t c = 0; c < C; ++c) {
      for (std::int32_t s = 0; s < S; ++s) {
        join(&line, delta[deltaHasOccasions ? input::DeltaShape(d)(c, s, 0)
                                            : input::DeltaCodeShape(d)(c, s)]);
      }
    }
    lines->push_back(line);
    const auto shape = input::TauShape(d);
    for (std::int32_t c = 0; c < C; ++c) {
      const std::int32_t blocks[][2] = {{0, S}, {S, S + d.extraTransitionRows}};
      for (std::int32_t b = 0; b < (d.occasions >= 3 ? 2 : 1); ++b) {
        std::string row;
        for (std::int32_t r = blocks[b][0]; r < blocks[b][1]; ++r) {
          for (std::int32_t j = 0; j < S; ++j) join(&row, tau[shape(r, j, c)]);
        }
        lines->push_back(row);
      }
    }
  }
  if (d.HasClasses() && (!littleRhoNeedsCategories || d.maxClassCategories > 0)) {
    const auto shape = input::LittleRhoShape(d);
    for (std::int32_t k = 0; k < d.maxClassCategories; ++k) {
      for (std::int32_t c = 0; c < C; ++c) {
        std::string line;
        for (std::int32_t i = 0; i < d.classItems; ++i) join(&line, littleRho[shape(k, i, c)]);
        lines->push_back(line);
      }
    }
  }
  if (d.HasStatuses()) {
    const auto shape = input::BigRhoShape(d);
    const std::int32_t occasions = allOccasions ? d.occasions : std::min(d.occasions, 1);
    for (std::int32_t c = 0; c < C; ++c) {
      for (std::int32_t t = 0; t < occasions; ++t) {
        for (std::int32_t k = 0; k < d.maxStatusCategories; ++k) {
          for (std::int32_t s = 0; s < S; ++s) {
            std::string line;
            for (std::int32_t i = 0; i < d.statusItems; ++i) {
              join(&line, bigRho[shape(k, i, s, c, t)]);
            }
            lines->push_back(line);
          }
        }
      }
    }
  }
}

std::vector<std::string> ControlFileLines(const input::Model& m, const StartSettings& settings) {
  const ModelDimensions& d = m.dims;
  std::vector<std::string> lines;
  for (const std::string& title : m.titles) lines.push_back(Quoted(title));
  lines.push_back(std::to_string(d.classes) + " " + std::to_string(d.statuses) + " " +
                  std::to_string(d.classItems) + " " + std::to_string(d.statusItems) + " " +
                  std::to_string(d.occasions) + " " + std::to_string(d.order) + " " +
                  std::to_string(m.printResiduals) + " " + (m.missingData ? "1" : "0") + " " +
                  (m.fixedFormat ? "1" : "0"));
  lines.push_back(Quoted(m.dataFile) + " " + Quoted(m.dataFormat));
  lines.push_back("1 0 " + std::to_string(m.maxIterations) + " " + Real(m.criterion));
  lines.push_back(Quoted(m.emOutputFile));
  lines.push_back("''");
  lines.push_back("''");
  lines.push_back(std::to_string(m.iterationsBetweenImputations) + " " +
                  std::to_string(m.imputations) + " " + std::to_string(m.seed) + " " +
                  (m.writeIndividualEstimates ? "1" : "0"));
  for (const std::string* name :
       {&m.daOutputFile, &m.daStartValuesFile, &m.seriesFile, &m.individualEstimatesFile}) {
    lines.push_back(Quoted(*name));
  }
  for (const auto* categories : {&m.classItemCategories, &m.statusItemCategories}) {
    if (categories->empty()) continue;
    std::string line;
    for (const std::int32_t n : *categories) line += (line.empty() ? "" : " ") + std::to_string(n);
    lines.push_back(line);
  }
  for (const auto* labels : {&m.classLabels, &m.statusLabels}) {
    if ((labels == &m.classLabels && !d.HasClasses()) ||
        (labels == &m.statusLabels && !d.HasStatuses())) {
      continue;
    }
    std::string line;
    for (const std::string& label : *labels) line += (line.empty() ? "" : " ") + Quoted(label);
    lines.push_back(line);
  }
  const auto itemLines = [&lines](const std::vector<std::string>& items,
                                  const std::vector<std::vector<std::string>>& categories) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      std::string line = Quoted(items[i]);
      for (const std::string& label : categories[i]) line += " " + Quoted(label);
      lines.push_back(line);
    }
  };
  itemLines(m.classItemLabels, m.classCategoryLabels);
  itemLines(m.statusItemLabels, m.statusCategoryLabels);
  const input::RestrictionSet& c = m.codes;
  AppendGroups(&lines, d, true, false, c.gamma, c.delta, false, c.tau, c.littleRho, c.bigRho,
               [](std::int32_t code) { return std::to_string(code); });
  const ParameterSet& v = m.start;
  AppendGroups(&lines, d, false, true, v.gamma, v.delta, true, v.tau, v.littleRho, v.bigRho,
               [](double value) { return Real(value); });
  lines.push_back(
      "'STARTS' " + std::to_string(settings.starts) + " " + std::to_string(settings.finalStarts) +
      " " + std::to_string(settings.firstStageIterations) + " " + std::to_string(settings.seed));
  if (m.logLikelihoodRule) lines.push_back("'STOP' " + Real(m.logLikelihoodCriterion));
  return lines;
}

// ---- Fitting without a report ------------------------------------------------------------

class QuietFit {
 public:
  QuietFit(const input::Model& model, const GroupedPatterns& grouped)
      : m_model(model), m_grouped(grouped) {
    m_restrictions = input::RestrictionStructure(m_model.dims, m_model.codes, m_model.start);
    m_estimated = MarkAndCountEstimatedParameters(m_restrictions, &m_model.codes);
    m_estep = std::make_unique<EStep>(m_model);
  }

  struct Start {
    ChainState chain;
    std::int32_t iterations = 0;
    bool ended = false;
    bool failed = false;
    double logLikelihood = -HUGE_VAL;
  };

  Start Begin(std::uint64_t seed) const {
    Start start;
    DrawStartValues(m_restrictions, seed, m_model.start, &start.chain.values);
    return start;
  }

  // Iterates a start up to lastIteration unless it has ended; false on an abort.
  bool Advance(Start* start, std::int32_t lastIteration) {
    const EmStep step(m_model, m_grouped, m_estimated);
    while (!start->ended && !start->failed && start->iterations < lastIteration) {
      if (run::AbortRequested()) return false;
      if (!step.Step(&start->chain, m_restrictions, *m_estep, &m_counts, &m_logProbabilities)
               .IsOk()) {
        start->failed = true;
        break;
      }
      ++start->iterations;
      start->ended = step.StopRuleMet(start->chain) || start->iterations >= m_model.maxIterations;
    }
    start->logLikelihood = start->failed ? -HUGE_VAL
                                         : m_estep->Run(start->chain.values, m_grouped, nullptr,
                                                        &m_probabilities, &m_logProbabilities);
    if (std::isnan(start->logLikelihood)) start->logLikelihood = -HUGE_VAL;
    return true;
  }

 private:
  input::Model m_model;
  const GroupedPatterns& m_grouped;
  input::RestrictionStructure m_restrictions;
  std::int32_t m_estimated = 0;
  std::unique_ptr<EStep> m_estep;
  ExpectedCounts m_counts;
  std::vector<double> m_probabilities, m_logProbabilities;
};

// ---- Simulation -----------------------------------------------------------------------------

double Uniform(std::mt19937_64& generator) {
  return static_cast<double>(generator() >> 11) * 0x1.0p-53;
}

// An index drawn with probabilities p(0), p(1), ... p(n - 1) (the last takes any rounding).
template <typename Probability>
std::int32_t Draw(std::mt19937_64& generator, std::int32_t n, Probability p) {
  double u = Uniform(generator);
  for (std::int32_t k = 0; k + 1 < n; ++k) {
    u -= p(k);
    if (u < 0.0) return k;
  }
  return n - 1;
}

std::uint64_t Mix(std::uint64_t a, std::uint64_t b) {
  std::uint64_t z = a * 0x9E3779B97F4A7C15ull + b + 0x632BE59BD9B4E019ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::int32_t SeedOf(std::uint64_t mixed) { return static_cast<std::int32_t>(mixed >> 33); }

std::string ReportStem(const std::string& reportName) {
  const std::string results = report::ResultsFileName(reportName);
  return results.substr(0, results.size() - 5);  // ".json"
}

std::string PathField(const std::string& path) {
  std::string field = path;
  field.resize(run::kPathBytes, ' ');
  return field;
}

Status WriteLines(const std::string& path, const std::vector<std::string>& lines) {
  input::TextOutput out;
  std::int32_t status = out.CreateReplacing(path);
  for (std::size_t i = 0; status == kStatusOk && i < lines.size(); ++i) {
    status = out.WriteLine(lines[i]);
  }
  if (status == kStatusOk) status = out.Commit();
  if (status != kStatusOk) return Status(status, "Unable to write to output file: " + path);
  return {};
}

}  // namespace

void SetEnumerationOptions(const EnumerationOptions& options) {
  std::lock_guard<std::mutex> lock(g_optionsLock);
  g_options = options;
}

EnumerationOptions CurrentEnumerationOptions() {
  std::lock_guard<std::mutex> lock(g_optionsLock);
  return g_options;
}

EnumerationOptions EnumerationOfModel(const input::Model& model) {
  if (model.enumerationKind == 0) return {};
  return {static_cast<EnumerationKind>(model.enumerationKind), model.enumerationFrom,
          model.enumerationTo, model.enumerationBootstrap};
}

input::Model DeriveModelOfSize(const input::Model& file, EnumerationKind kind, std::int32_t size) {
  const TieReach reach = FindTieReach(file);
  input::Model m = file;
  ModelDimensions& d = m.dims;
  if (kind == EnumerationKind::kClasses) d.classes = size;
  if (kind == EnumerationKind::kStatuses) d.statuses = size;
  d.extraTransitionRows = ExtraRows(d);
  m.estimationType = 1;
  m.startValuesFromFile = false;
  m.startIteration = 0;
  m.writeEstimates = false;
  m.classLabels.clear();
  m.statusLabels.clear();
  for (std::int32_t c = 1; c <= d.classes; ++c) m.classLabels.push_back(Label("Class", c));
  for (std::int32_t s = 1; s <= d.statuses; ++s) m.statusLabels.push_back(Label("Status", s));
  m.codes = {};
  m.start = {};
  input::AllocateRestrictions(d, &m.codes);
  input::AllocateParameters(d, &m.start);
  DeriveCodes(m, reach, &m.codes);
  FillUniform(m, &m.start);
  m.restrictionsRead = true;
  return m;
}

SizeFit FitWithRandomStarts(const input::Model& model, const GroupedPatterns& grouped,
                            const StartSettings& settings, std::int32_t seed) {
  QuietFit fit(model, grouped);
  std::vector<QuietFit::Start> starts;
  for (std::int32_t i = 1; i <= std::max(settings.starts, 1); ++i) {
    starts.push_back(fit.Begin(StartSeed(seed, i)));
  }
  const std::int32_t firstStage = std::min(settings.firstStageIterations, model.maxIterations);
  for (auto& start : starts) {
    if (!fit.Advance(&start, firstStage)) return {};
  }
  const auto better = [](const QuietFit::Start& a, const QuietFit::Start& b) {
    return a.logLikelihood > b.logLikelihood;
  };
  std::stable_sort(starts.begin(), starts.end(), better);
  starts.resize(static_cast<std::size_t>(std::clamp(settings.finalStarts, 1, settings.starts)));
  for (auto& start : starts) {
    if (!fit.Advance(&start, model.maxIterations)) return {};
  }
  std::stable_sort(starts.begin(), starts.end(), better);
  SizeFit result;
  result.fitted = std::isfinite(starts.front().logLikelihood);
  result.logLikelihood = starts.front().logLikelihood;
  result.values = std::move(starts.front().chain.values);
  return result;
}

bool SimulationSupported(const ModelDimensions& dims) {
  return !dims.HasStatuses() || dims.order == 1 || dims.occasions < 3;
}

input::PatternTable SimulatePatterns(const input::Model& model, const ParameterSet& values,
                                     std::int64_t subjects, const input::PatternTable* missingness,
                                     std::uint64_t seed) {
  const ModelDimensions& d = model.dims;
  const std::int32_t items = d.ItemCount();
  std::mt19937_64 generator(seed);
  const auto deltaShape = input::DeltaShape(d);
  const auto tauShape = input::TauShape(d);
  const auto little = input::LittleRhoShape(d);
  const auto big = input::BigRhoShape(d);
  double missingTotal = 0.0;
  if (missingness != nullptr) {
    for (const double f : missingness->frequencies) missingTotal += f;
  }
  std::map<std::vector<std::int32_t>, double> counts;
  std::vector<std::int32_t> record(static_cast<std::size_t>(items));
  for (std::int64_t n = 0; n < subjects; ++n) {
    const std::int32_t c =
        d.HasClasses() ? Draw(generator, d.classes, [&](std::int32_t k) { return values.gamma[k]; })
                       : 0;
    std::size_t at = 0;
    for (std::int32_t i = 0; i < d.classItems; ++i) {
      record[at++] = 1 + Draw(generator, CategoriesOf(model.classItemCategories, i),
                              [&](std::int32_t k) { return values.littleRho[little(k, i, c)]; });
    }
    std::int32_t s = 0;
    for (std::int32_t t = 0; t < d.occasions && d.HasStatuses(); ++t) {
      if (t == 0) {
        s = Draw(generator, d.statuses,
                 [&](std::int32_t j) { return values.delta[deltaShape(c, j, 0)]; });
      } else if (d.statuses > 1) {
        const std::int32_t row = (t - 1) * d.statuses + s;
        s = Draw(generator, d.statuses,
                 [&](std::int32_t j) { return values.tau[tauShape(row, j, c)]; });
      }
      for (std::int32_t i = 0; i < d.statusItems; ++i) {
        record[at++] = 1 + Draw(generator, CategoriesOf(model.statusItemCategories, i),
                                [&](std::int32_t k) { return values.bigRho[big(k, i, s, c, t)]; });
      }
    }
    if (missingness != nullptr && missingTotal > 0.0) {
      const std::int32_t q = Draw(generator, missingness->patternCount, [&](std::int32_t p) {
        return missingness->frequencies[static_cast<std::size_t>(p)] / missingTotal;
      });
      const std::int32_t* observed = missingness->Pattern(q);
      for (std::int32_t i = 0; i < items; ++i) {
        if (observed[i] == 0) record[static_cast<std::size_t>(i)] = 0;
      }
    }
    counts[record] += 1.0;
  }
  input::PatternTable table;
  table.itemCount = items;
  table.patternCount = static_cast<std::int32_t>(counts.size());
  table.subjectCount = static_cast<double>(subjects);
  for (const auto& [responses, frequency] : counts) {
    table.responses.insert(table.responses.end(), responses.begin(), responses.end());
    table.frequencies.push_back(frequency);
  }
  return table;
}

BootstrapTest BootstrapLikelihoodRatio(const input::Model& smaller, const input::Model& larger,
                                       const input::PatternTable& observed,
                                       const StartSettings& settings, std::int32_t samples,
                                       std::int32_t seed) {
  BootstrapTest test;
  test.p = std::numeric_limits<double>::quiet_NaN();
  const GroupedPatterns smallGroups = GroupByMissingness(observed, smaller);
  const GroupedPatterns largeGroups = GroupByMissingness(observed, larger);
  const SizeFit null = FitWithRandomStarts(smaller, smallGroups, settings, seed);
  const SizeFit alternative = FitWithRandomStarts(larger, largeGroups, settings, seed);
  if (!null.fitted || !alternative.fitted) {
    test.aborted = run::AbortRequested();
    return test;
  }
  test.observedRatio = 2.0 * (alternative.logLikelihood - null.logLikelihood);
  bool incomplete = false;
  for (const std::int32_t response : observed.responses) incomplete = incomplete || response == 0;
  double total = 0.0;
  for (const double f : observed.frequencies) total += f;
  const auto subjects = static_cast<std::int64_t>(std::llround(total));

  // Each sample's draws follow from the run's seed and its own number alone, and its ratio has
  // its own slot: the count below is the same for any number of threads.
  std::vector<double> ratios(static_cast<std::size_t>(samples),
                             std::numeric_limits<double>::quiet_NaN());
  std::atomic<std::int32_t> done{0};
  std::atomic<bool> aborted{false};
  const std::uint64_t size = static_cast<std::uint64_t>(larger.dims.classes) * 1000 +
                             static_cast<std::uint64_t>(larger.dims.statuses);
  const std::uint64_t base = Mix(static_cast<std::uint64_t>(seed), size);
  run::BlockPool pool(run::EngineThreadCount());
  pool.Run(ratios.size(), [&](std::size_t b) {
    if (aborted.load()) return;
    const std::uint64_t sampleSeed = Mix(base, b + 1);
    const input::PatternTable sample = SimulatePatterns(
        smaller, null.values, subjects, incomplete ? &observed : nullptr, sampleSeed);
    const GroupedPatterns small = GroupByMissingness(sample, smaller);
    const GroupedPatterns large = GroupByMissingness(sample, larger);
    const std::int32_t fitSeed = SeedOf(Mix(sampleSeed, 7));
    const SizeFit h0 = FitWithRandomStarts(smaller, small, settings, fitSeed);
    const SizeFit h1 = FitWithRandomStarts(larger, large, settings, fitSeed);
    if (run::AbortRequested()) {
      aborted.store(true);
      return;
    }
    if (h0.fitted && h1.fitted) ratios[b] = 2.0 * (h1.logLikelihood - h0.logLikelihood);
    run::PublishProgress(++done, static_cast<double>(b));
  });
  if (aborted.load()) {
    test.aborted = true;
    return test;
  }
  std::int32_t atLeast = 0;
  for (const double ratio : ratios) atLeast += ratio >= test.observedRatio ? 1 : 0;
  test.p = (1.0 + atLeast) / (samples + 1.0);
  return test;
}

std::int32_t RunEnumeration(const char* controlFilePath, const EnumerationOptions& options) {
  const std::string pathField(controlFilePath, run::kPathBytes);
  input::Model file;
  Status titleFailure;
  if (Status read = input::ReadControlFile(pathField, &file, &titleFailure); !read.IsOk()) {
    return run::Record(read);
  }
  run::RecordAndGoOn(titleFailure);
  const bool classes = options.kind == EnumerationKind::kClasses;
  if ((classes && !file.dims.HasClasses()) || (!classes && !file.dims.HasStatuses())) {
    return run::Record(Status(
        kBadRunSetting, std::string("An enumeration of ") + (classes ? "classes" : "statuses") +
                            " needs a model with " + (classes ? "class" : "status") + " items."));
  }
  if (file.maxIterations <= 0) {
    return run::Record(Status(kBadRunSetting,
                              "An enumeration estimates each model: the control file must allow "
                              "at least one EM iteration."));
  }
  input::Model startsModel = file;
  startsModel.startsBlock = true;
  startsModel.estimationType = 1;
  const StartSettings settings = RandomStartSettings(startsModel, CurrentStartOverrides());

  const input::DataLayout layout = input::DataLayoutOf(file);
  std::int32_t patternCount = 0;
  double subjectCount = 0.0;
  if (Status counted = input::CountDataRecords(layout, &patternCount, &subjectCount);
      !counted.IsOk()) {
    return run::Record(counted);
  }
  input::DataFileReader reader;
  if (Status opened = input::OpenDataFile(layout, &reader); !opened.IsOk()) {
    return run::Record(opened);
  }
  input::PatternTable observed;
  if (Status loaded = input::LoadPatterns(reader, file, layout, patternCount, &observed);
      !loaded.IsOk()) {
    return run::Record(loaded);
  }

  const std::string stem = ReportStem(input::TrimRight(file.emOutputFile));
  std::vector<report::CompareRow> rows;
  for (std::int32_t size = options.from; size <= options.to; ++size) {
    if (run::AbortRequested()) {
      return run::Record(Status(kRunAborted, "The enumeration was aborted."));
    }
    input::Model model = DeriveModelOfSize(file, options.kind, size);
    const std::string name = stem + ".k" + std::to_string(size);
    model.emOutputFile = name + ".out";
    // The file's start values are a random start too, so that no size favours its first start.
    const input::RestrictionStructure structure(model.dims, model.codes, model.start);
    ParameterSet drawn;
    DrawStartValues(structure, StartSeed(settings.seed, 1), model.start, &drawn);
    model.start = drawn;
    if (Status written = WriteLines(name + ".cnt", ControlFileLines(model, settings));
        !written.IsOk()) {
      return run::Record(written);
    }
    const std::int32_t result = RunEmDriver(PathField(name + ".cnt").c_str(), run::kPathBytes);
    if (result != kRunCompleted) return result;
    report::CompareRow row;
    row.size = size;
    report::ReadCompareRow(name + ".json", !classes, &row);
    if (options.bootstrap > 0 && size >= 2 && SimulationSupported(model.dims)) {
      const input::Model smaller = DeriveModelOfSize(file, options.kind, size - 1);
      const BootstrapTest test = BootstrapLikelihoodRatio(smaller, model, observed, settings,
                                                          options.bootstrap, settings.seed);
      if (test.aborted) return run::Record(Status(kRunAborted, "The enumeration was aborted."));
      if (std::isfinite(test.p)) row.blrtP = test.p;
    }
    rows.push_back(row);
  }

  const char* kind = classes ? "classes" : "statuses";
  for (const bool json : {true, false}) {
    const std::string path = stem + (json ? ".compare.json" : ".compare.csv");
    input::TextOutput out;
    std::int32_t status = out.CreateReplacing(path);
    if (status == kStatusOk) {
      status = json ? report::WriteCompareJson(out, kind, options.bootstrap, rows)
                    : report::WriteCompareCsv(out, rows);
    }
    if (status == kStatusOk) status = out.Commit();
    if (status != kStatusOk) {
      return run::Record(Status(status, "Unable to write to output file: " + path));
    }
  }
  return run::Record(Status{});
}

}  // namespace kov::em
