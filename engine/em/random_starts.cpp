#include "random_starts.h"

#include <cmath>
#include <random>
#include <vector>

#include "estep.h"

namespace kov::em {

namespace {

using input::ArrayRestrictions;

// How far from one a set of tied values may sum and still be taken as summing to one.
constexpr double kSumTolerance = 1e-9;

// An exponential variate from 53 random bits: -ln U with U in (0, 1], never infinite.
double Exponential(std::mt19937_64& generator) {
  const double u = static_cast<double>((generator() >> 11) + 1) * 0x1.0p-53;
  return -std::log(u);
}

bool IsTied(const ArrayRestrictions& array, std::size_t offset) {
  const std::int32_t g = array.groupOf[offset];
  return g != input::kNoGroup && array.groups[static_cast<std::size_t>(g)].hasHead;
}

// Entries whose start value a draw replaces: free ones, and members of a group that the
// M-step estimates. Members of a group without a head stay where the file put them.
bool IsDrawn(const ArrayRestrictions& array, std::size_t offset) {
  return array.codes[offset] == 1 || IsTied(array, offset);
}

// One array drawn in place; false (values unchanged) when its ties cannot keep every set
// summing to one.
bool DrawArray(const ArrayRestrictions& array, std::mt19937_64& generator,
               std::vector<double>* values) {
  const input::ParameterSets& sets = array.sets;
  std::vector<double> share(values->size(), 0.0);
  std::vector<double> kept(sets.sets, 0.0);
  for (std::size_t q = 0; q < sets.sets; ++q) {
    double total = 0.0;
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t offset = sets.At(q, e);
      if (!IsDrawn(array, offset)) {
        kept[q] += (*values)[offset];
        continue;
      }
      share[offset] = Exponential(generator);
      total += share[offset];
    }
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t offset = sets.At(q, e);
      if (IsDrawn(array, offset)) share[offset] = share[offset] / total * (1.0 - kept[q]);
    }
  }
  std::vector<double> groupValue(array.groups.size(), 0.0);
  for (std::size_t g = 0; g < array.groups.size(); ++g) {
    if (!array.groups[g].hasHead) continue;
    double sum = 0.0;
    for (const std::size_t member : array.groups[g].members) sum += share[member];
    groupValue[g] = sum / static_cast<double>(array.groups[g].members.size());
  }
  std::vector<double> next = *values;
  for (std::size_t q = 0; q < sets.sets; ++q) {
    double tied = 0.0, freeShare = 0.0;
    bool hasFree = false;
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t offset = sets.At(q, e);
      if (IsTied(array, offset)) {
        next[offset] = groupValue[static_cast<std::size_t>(array.groupOf[offset])];
        tied += next[offset];
      } else if (array.codes[offset] == 1) {
        hasFree = true;
        freeShare += share[offset];
      }
    }
    const double rest = 1.0 - kept[q] - tied;
    if (hasFree ? rest < -kSumTolerance : std::fabs(rest) > kSumTolerance) return false;
    for (std::size_t e = 0; e < sets.size && hasFree; ++e) {
      const std::size_t offset = sets.At(q, e);
      if (array.codes[offset] == 1 && !IsTied(array, offset)) {
        next[offset] = rest > 0.0 ? share[offset] / freeShare * rest : 0.0;
      }
    }
  }
  *values = std::move(next);
  return true;
}

}  // namespace

std::uint64_t StartSeed(std::int32_t runSeed, std::int32_t start) {
  std::uint64_t z = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(runSeed)) << 32) +
                    static_cast<std::uint32_t>(start) + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  // 63 bits, so that the seed reads back as a signed integer wherever it is shown.
  return (z ^ (z >> 31)) >> 1;
}

void DrawStartValues(const input::RestrictionStructure& restrictions, std::uint64_t seed,
                     const input::ParameterSet& fileValues, input::ParameterSet* values) {
  *values = fileValues;
  std::mt19937_64 generator(seed);
  const input::ModelDimensions& d = restrictions.dims;
  // The arrays in file order, each only when the model estimates it.
  if (d.HasClasses()) DrawArray(restrictions.gamma, generator, &values->gamma);
  if (d.HasStatuses()) {
    DrawArray(restrictions.delta, generator, &values->delta);
    DrawArray(restrictions.tau, generator, &values->tau);
  }
  if (d.HasClasses()) DrawArray(restrictions.littleRho, generator, &values->littleRho);
  if (d.HasStatuses()) DrawArray(restrictions.bigRho, generator, &values->bigRho);
  DeriveOccasionPrevalences(d, values);
}

}  // namespace kov::em
