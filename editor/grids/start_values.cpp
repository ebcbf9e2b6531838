#include "start_values.h"

#include <cmath>
#include <map>
#include <random>

#include "document/interface_values.h"
#include "document/text_helpers.h"

namespace kov::grids {

namespace {

using namespace kov::document;

// The engine's tolerance: the float nearest 0.01.
constexpr float kSumTolerance = 0.01f;
// Random rows draw each weight from this range, so that no starting probability is near zero,
// where EM would be slow to leave it.
constexpr double kLowestWeight = 0.1;
constexpr double kHighestWeight = 1.0;

constexpr int kStartValueGrids[] = {kGammaStartingValues, kDeltaStartingValues, kTauStartingValues,
                                    kLittleRhoStartingValues, kBigRhoStartingValues};

bool IsFixed(const QString& code) { return code == QStringLiteral("0"); }
bool IsAbsent(const QString& code) { return code == kNoCategoryCode; }
bool IsEqualityCode(const QString& code) {
  qint16 value = 0;
  return ParseInt16(code, &value) && value > 1;
}

QString ValueText(double value) { return QString::number(value, 'g', 6); }

template <typename Visit>
void ForEachStartGrid(const GridHost& host, Visit visit) {
  for (int identity : kStartValueGrids) {
    if (auto* grid = dynamic_cast<GridBase*>(host.Grid(identity))) visit(*grid);
  }
}

}  // namespace

QString VectorProblem(const GridBase::ProbabilityVector& vector) {
  // Summed as the engine sums: each partial sum rounded to single precision.
  float sum = 0.0f;
  for (std::size_t n = 0; n < vector.cells.size(); ++n) {
    const QString text = vector.Text(n);
    if (text.isEmpty()) return QStringLiteral("a value is missing");
    float value = 0.0f;
    if (!ParseSingle(text, &value)) return QStringLiteral("\"") + text + QStringLiteral("\" is not a number");
    if (value < 0.0f || value > 1.0f) return text + QStringLiteral(" is not a probability (0 to 1)");
    sum = static_cast<float>(static_cast<double>(sum) + value);
  }
  if (std::fabs(1.0f - sum) <= kSumTolerance) return {};
  return QStringLiteral("the values sum to ") + QString::number(sum, 'g', 6) + QStringLiteral(", not 1");
}

QStringList FindStartValueProblems(const GridHost& host) {
  QStringList problems;
  ForEachStartGrid(host, [&problems](const GridBase& grid) {
    for (const GridBase::ProbabilityVector& vector : grid.ProbabilityVectors()) {
      const QString problem = VectorProblem(vector);
      if (!problem.isEmpty()) {
        problems << TableName(grid.iIdentity()) + QStringLiteral(", row ") + vector.name +
                        QStringLiteral(": ") + problem;
      }
    }
  });
  return problems;
}

bool HasTypedStartValues(const GridHost& host) {
  bool typed = false;
  ForEachStartGrid(host, [&typed](const GridBase& grid) {
    for (const GridBase::ProbabilityVector& vector : grid.ProbabilityVectors()) {
      for (std::size_t n = 0; n < vector.cells.size(); ++n) {
        const bool written = !IsFixed(vector.codes[n]) && !IsAbsent(vector.codes[n]);
        typed = typed || (written && !vector.Text(n).isEmpty());
      }
    }
  });
  return typed;
}

int FillStartValues(GridHost& host, FillKind kind, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<double> weightOf(kLowestWeight, kHighestWeight);
  int changed = 0;
  for (int identity : kStartValueGrids) {
    auto* grid = dynamic_cast<GridBase*>(host.Grid(identity));
    if (grid == nullptr) continue;
    // Equality codes tie entries within one table, across its rows.
    std::map<QString, double> tied;
    int changedHere = 0;
    for (GridBase::ProbabilityVector& vector : grid->ProbabilityVectors()) {
      const std::size_t size = vector.cells.size();
      std::vector<double> values(size, 0.0);
      std::vector<bool> open(size, false);
      double left = 1.0;
      // A code first met in this row is one unit whatever its number of members here.
      std::map<QString, double> weightOfCode;
      double weightTotal = 0.0;
      std::vector<double> weights(size, 0.0);
      for (std::size_t n = 0; n < size; ++n) {
        const QString& code = vector.codes[n];
        if (IsAbsent(code)) {
          continue;
        } else if (IsFixed(code)) {
          float value = 0.0f;
          if (ParseSingle(vector.Text(n), &value)) left -= value;
        } else if (IsEqualityCode(code) && tied.count(code) != 0) {
          values[n] = tied[code];
          left -= values[n];
        } else {
          open[n] = true;
          double weight = 1.0;
          if (kind == FillKind::kRandom) {
            if (IsEqualityCode(code)) {
              if (weightOfCode.count(code) == 0) weightOfCode[code] = weightOf(generator);
              weight = weightOfCode[code];
            } else {
              weight = weightOf(generator);
            }
          }
          weights[n] = weight;
          weightTotal += weight;
        }
      }
      left = std::max(left, 0.0);
      for (std::size_t n = 0; n < size; ++n) {
        if (IsFixed(vector.codes[n])) continue;
        if (open[n]) {
          values[n] = weightTotal > 0.0 ? left * weights[n] / weightTotal : 0.0;
          if (IsEqualityCode(vector.codes[n])) tied[vector.codes[n]] = values[n];
        }
        const QString text = ValueText(values[n]);
        if (vector.Text(n) == text) continue;
        vector.stores[n]->SetValue(vector.cells[n].first, vector.cells[n].second, text);
        ++changedHere;
      }
    }
    if (changedHere > 0) grid->DataChanged();
    changed += changedHere;
  }
  return changed;
}

}  // namespace kov::grids
