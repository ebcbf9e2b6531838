#include "restriction_structure.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <unordered_set>

namespace kov::input {

namespace {

// Sets whose first entries form runs of innerSets adjacent offsets (one run for delta, one per
// class for tau, runs of one for gamma and rho); inside a set the entries lie innerSets apart.
ParameterSets Sets(std::size_t sets, std::size_t size, std::size_t innerSets,
                   bool categoryOneRedundant) {
  ParameterSets result;
  result.sets = sets;
  result.size = size;
  result.stride = std::max<std::size_t>(innerSets, 1);
  result.innerSets = result.stride;
  result.outerStride = result.innerSets * size;
  result.categoryOneRedundant = categoryOneRedundant;
  return result;
}

std::int64_t Magnitude(std::int32_t code) { return std::llabs(static_cast<std::int64_t>(code)); }

// The first entry in storage with each code k >= 2 heads its group and keeps k; every later one
// gets -k. Codes that are already negative stay as they are.
void MarkHeads(std::vector<std::int32_t>* codes) {
  std::unordered_set<std::int32_t> seen;
  for (std::int32_t& code : *codes) {
    if (code >= 2 && !seen.insert(code).second) code = -code;
  }
}

void CollectGroups(ArrayRestrictions* array) {
  const ParameterSets& sets = array->sets;
  std::map<std::int64_t, std::int32_t> index;
  for (std::size_t q = 0; q < sets.sets; ++q) {
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t offset = sets.At(q, e);
      const std::int32_t code = array->codes[offset];
      if (Magnitude(code) < 2) continue;
      auto [at, added] =
          index.emplace(Magnitude(code), static_cast<std::int32_t>(array->groups.size()));
      if (added) array->groups.emplace_back().code = Magnitude(code);
      EqualityGroup& group = array->groups[static_cast<std::size_t>(at->second)];
      array->groupOf[offset] = at->second;
      group.members.push_back(offset);
      group.memberSets.push_back(q);
      if (group.sets.empty() || group.sets.back() != q) group.sets.push_back(q);
      if (code >= 2) {
        group.hasHead = true;
        group.head = offset;
        group.headSet = q;
      }
    }
  }
}

// Marks the estimated entries and returns how many distinct parameters they stand for.
std::int32_t MarkEstimatedEntries(ArrayRestrictions* array) {
  const ParameterSets& sets = array->sets;
  std::int32_t count = 0;
  for (std::size_t q = 0; q < sets.sets; ++q) {
    bool redundantSeen = false, freeSeen = false;
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t offset = sets.At(q, e);
      const std::int32_t code = array->codes[offset];
      // A head closing a set with no free entry before it is fixed by that set's sum to one.
      if (code >= 2 && !sets.categoryOneRedundant && e + 1 == sets.size && !freeSeen) --count;
      freeSeen = freeSeen || code == 1;
      if (code <= 0) continue;
      if (sets.categoryOneRedundant ? e == 0 : (code == 1 && !redundantSeen)) {
        redundantSeen = true;
        continue;
      }
      array->estimated[offset] = 1;
      ++count;
    }
  }
  return count;
}

}  // namespace

ParameterSets GammaSets(const ModelDimensions& dims) {
  return Sets(1, GammaShape(dims).Extent(0), 1, false);
}

ParameterSets DeltaSets(const ModelDimensions& dims) {
  const MultiIndex<2> shape = DeltaCodeShape(dims);
  const std::size_t classes = shape.Extent(0), statuses = shape.Extent(1);
  return Sets(classes, statuses, classes, false);
}

ParameterSets TauSets(const ModelDimensions& dims) {
  const MultiIndex<3> shape = TauShape(dims);
  const std::size_t rows = shape.Extent(0), statuses = shape.Extent(1), classes = shape.Extent(2);
  return Sets(rows * classes, statuses, rows, false);
}

ParameterSets LittleRhoSets(const ModelDimensions& dims) {
  const MultiIndex<3> shape = LittleRhoShape(dims);
  return Sets(shape.Size() / std::max<std::size_t>(shape.Extent(0), 1), shape.Extent(0), 1, true);
}

ParameterSets BigRhoSets(const ModelDimensions& dims) {
  const MultiIndex<5> shape = BigRhoShape(dims);
  return Sets(shape.Size() / std::max<std::size_t>(shape.Extent(0), 1), shape.Extent(0), 1, true);
}

std::size_t ArrayRestrictions::MembersIn(std::size_t g, std::size_t q) const {
  const std::vector<std::size_t>& memberSets = groups[g].memberSets;
  return static_cast<std::size_t>(std::count(memberSets.begin(), memberSets.end(), q));
}

ArrayRestrictions CompileArray(const ParameterSets& sets, const std::vector<std::int32_t>& codes,
                               const std::vector<double>& start) {
  ArrayRestrictions array;
  array.sets = sets;
  const std::size_t entries = std::max(sets.Entries(), codes.size());
  array.codes = codes;
  array.codes.resize(entries, 0);  // codes never read mean fixed entries
  MarkHeads(&array.codes);
  array.start.assign(entries, 0.0);
  std::copy_n(start.begin(), std::min(start.size(), entries), array.start.begin());
  array.groupOf.assign(entries, kNoGroup);
  CollectGroups(&array);
  array.fixedSum.assign(sets.sets, 0.0);
  for (std::size_t q = 0; q < sets.sets; ++q) {
    for (std::size_t e = 0; e < sets.size; ++e) {
      const std::size_t offset = sets.At(q, e);
      if (array.codes[offset] == 0) array.fixedSum[q] += array.start[offset];
    }
  }
  array.estimated.assign(entries, 0);
  array.estimatedParameters = MarkEstimatedEntries(&array);
  array.work.assign(sets.size + array.groups.size(), 0.0);
  return array;
}

RestrictionStructure::RestrictionStructure(const ModelDimensions& dims, const RestrictionSet& codes,
                                           const ParameterSet& start)
    : dims(dims),
      gamma(CompileArray(GammaSets(dims), codes.gamma, start.gamma)),
      delta(CompileArray(DeltaSets(dims), codes.delta, start.delta)),
      tau(CompileArray(TauSets(dims), codes.tau, start.tau)),
      littleRho(CompileArray(LittleRhoSets(dims), codes.littleRho, start.littleRho)),
      bigRho(CompileArray(BigRhoSets(dims), codes.bigRho, start.bigRho)),
      markedCodes(codes) {
  struct Estimated {
    bool estimated;
    const ArrayRestrictions* array;
    std::vector<std::int32_t>* marked;
  };
  const Estimated arrays[] = {
      {dims.HasClasses(), &gamma, &markedCodes.gamma},
      {dims.HasStatuses(), &delta, &markedCodes.delta},
      {dims.HasStatuses(), &tau, &markedCodes.tau},
      {dims.HasClasses(), &littleRho, &markedCodes.littleRho},
      {dims.HasStatuses(), &bigRho, &markedCodes.bigRho},
  };
  for (const Estimated& a : arrays) {
    if (!a.estimated) continue;
    std::copy_n(a.array->codes.begin(), a.marked->size(), a.marked->begin());
    estimatedParameters += a.array->estimatedParameters;
  }
}

}  // namespace kov::input
