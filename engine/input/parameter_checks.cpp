#include "parameter_checks.h"

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "restriction_structure.h"

namespace kov::input {

namespace {

// --- Start-value sums ------------------------------------------------------------------------

// The float nearest 0.01; a vector whose difference from one equals it still passes.
constexpr float kSumTolerance = 0.01f;

// A running sum kept in single precision: each partial sum is rounded to float, so a vector
// passes or fails exactly as it always has, including values near the tolerance (0.99 passes
// here, while in double |1 - 0.99| is just above 0.01). A vector is a probability vector only
// when every value lies in [0, 1] too: (1.5, -0.5) sums to one, but as start values it gives
// negative probabilities and a starting G-squared that is not a number. Such a vector fails
// like one that does not sum to one, with the same message.
class SinglePrecisionSum {
 public:
  void Add(double value) {
    m_sum = static_cast<float>(static_cast<double>(m_sum) + value);
    m_probabilities = m_probabilities && value >= 0.0 && value <= 1.0;
  }
  bool Passes() const { return m_probabilities && std::fabs(1.0f - m_sum) <= kSumTolerance; }

 private:
  float m_sum = 0.0f;
  bool m_probabilities = true;
};

// --- Restriction consistency -----------------------------------------------------------------

enum class Inconsistency { kNone, kFixedSum, kMemberCount };

struct Finding {
  Inconsistency kind = Inconsistency::kNone;
  std::size_t rowA = 0;
  std::size_t rowB = 0;
  std::int64_t equivalenceClass = 0;  // y
};

// Finds the first pair of rows A, B whose equality link (an entry of A that starts an
// equivalence class x, an entry of B in class x) joins rows with different fixed sums, or with a
// different number of members of some class y that occurs in A. Rows are the array's sets; an
// entry starts comparisons when its code as given is above 1.
Finding FindInconsistency(const ArrayRestrictions& array, const std::vector<std::int32_t>& given) {
  const ParameterSets& sets = array.sets;
  auto startCode = [&](std::size_t row, std::size_t entry) -> std::int32_t {
    const std::size_t offset = sets.At(row, entry);
    return offset < given.size() ? given[offset] : 0;
  };
  auto groupAt = [&](std::size_t row, std::size_t entry) {
    return array.groupOf[sets.At(row, entry)];
  };
  // A code or class seen at an earlier entry of the row repeats comparisons that already passed.
  auto seenBefore = [&](std::size_t row, std::size_t entry, auto&& key) {
    for (std::size_t e = 0; e < entry; ++e) {
      if (key(row, e) == key(row, entry)) return true;
    }
    return false;
  };

  for (std::size_t a = 0; a < sets.sets; ++a) {
    for (std::size_t ex = 0; ex < sets.size; ++ex) {
      if (startCode(a, ex) <= 1 || seenBefore(a, ex, startCode)) continue;
      const EqualityGroup& x = array.groups[static_cast<std::size_t>(groupAt(a, ex))];
      for (std::size_t ey = 0; ey < sets.size; ++ey) {
        const std::int32_t y = groupAt(a, ey);
        if (y == kNoGroup || seenBefore(a, ey, groupAt)) continue;
        const std::size_t g = static_cast<std::size_t>(y);
        const std::size_t countA = array.MembersIn(g, a);
        for (const std::size_t b : x.sets) {
          if (array.fixedSum[a] != array.fixedSum[b]) {
            return {Inconsistency::kFixedSum, a, b, array.groups[g].code};
          }
          if (array.MembersIn(g, b) != countA) {
            return {Inconsistency::kMemberCount, a, b, array.groups[g].code};
          }
        }
      }
    }
  }
  return {};
}

template <std::size_t N>
RowName NameOf(const MultiIndex<N>& shape, std::size_t firstIndex, std::size_t q) {
  RowName name{};
  for (std::size_t k = firstIndex, n = 0; k < N; ++k, ++n) {
    name[n] = q % shape.Extent(k);
    q /= shape.Extent(k);
  }
  return name;
}

}  // namespace

std::vector<StartValueFailure> FindStartValueSumFailures(const ModelDimensions& dims,
                                                       const ParameterSet& start) {
  std::vector<StartValueFailure> failures;
  const MultiIndex<1> gammaAt = GammaShape(dims);
  const MultiIndex<3> deltaAt = DeltaShape(dims);
  const MultiIndex<3> tauAt = TauShape(dims);
  const MultiIndex<3> littleRhoAt = LittleRhoShape(dims);
  const MultiIndex<5> bigRhoAt = BigRhoShape(dims);
  using Vector = StartValueFailure::Vector;

  SinglePrecisionSum gammaSum;
  for (std::size_t c = 0; c < gammaAt.Extent(0); ++c) {
    gammaSum.Add(start.gamma[gammaAt(c)]);
    if (dims.HasStatuses()) {
      SinglePrecisionSum delta;
      for (std::size_t s = 0; s < deltaAt.Extent(1); ++s) delta.Add(start.delta[deltaAt(c, s, 0)]);
      if (!delta.Passes()) failures.push_back({Vector::kDelta, c});
      for (std::size_t r = 0; r < tauAt.Extent(0); ++r) {
        SinglePrecisionSum tau;
        for (std::size_t j = 0; j < tauAt.Extent(1); ++j) tau.Add(start.tau[tauAt(r, j, c)]);
        if (!tau.Passes()) failures.push_back({Vector::kTau, c, r});
      }
      for (std::size_t i = 0; i < bigRhoAt.Extent(1); ++i) {
        for (std::size_t s = 0; s < bigRhoAt.Extent(2); ++s) {
          SinglePrecisionSum rho;
          for (std::size_t k = 0; k < bigRhoAt.Extent(0); ++k) {
            rho.Add(start.bigRho[bigRhoAt(k, i, s, c, 0)]);
          }
          if (!rho.Passes()) failures.push_back({Vector::kBigRho, c, s, i});
        }
      }
    }
    if (dims.HasClasses()) {
      for (std::size_t i = 0; i < littleRhoAt.Extent(1); ++i) {
        SinglePrecisionSum rho;
        for (std::size_t k = 0; k < littleRhoAt.Extent(0); ++k) {
          rho.Add(start.littleRho[littleRhoAt(k, i, c)]);
        }
        if (!rho.Passes()) failures.push_back({Vector::kLittleRho, c, 0, i});
      }
    }
  }
  if (dims.HasClasses() && !gammaSum.Passes()) failures.push_back({Vector::kGamma});
  return failures;
}

RestrictionFinding FindRestrictionInconsistency(const ModelDimensions& dims,
                                                const ParameterSet& values,
                                                const RestrictionSet& codes) {
  const RestrictionStructure structure(dims, codes, values);
  using Array = RestrictionFinding::Array;
  struct Block {
    bool applies;
    Array array;
    const ArrayRestrictions& restrictions;
    const std::vector<std::int32_t>& given;
    RowName (*name)(const ModelDimensions&, std::size_t);
    std::int32_t sumCheck;  // the count check is the next number
  };
  const Block blocks[] = {
      {dims.HasClasses(), Array::kLittleRho, structure.littleRho, codes.littleRho,
       [](const ModelDimensions& d, std::size_t q) { return NameOf(LittleRhoShape(d), 1, q); }, 2},
      {dims.HasStatuses(), Array::kBigRho, structure.bigRho, codes.bigRho,
       [](const ModelDimensions& d, std::size_t q) { return NameOf(BigRhoShape(d), 1, q); }, 4},
      {dims.HasStatuses(), Array::kTau, structure.tau, codes.tau,
       [](const ModelDimensions& d, std::size_t q) {
         const MultiIndex<3> shape = TauShape(d);
         return RowName{q % shape.Extent(0), q / shape.Extent(0), 0, 0};
       },
       6},
      {dims.HasStatuses(), Array::kDelta, structure.delta, codes.delta,
       [](const ModelDimensions&, std::size_t q) { return RowName{q, 0, 0, 0}; }, 8},
  };
  for (const Block& block : blocks) {
    if (!block.applies) continue;
    const Finding finding = FindInconsistency(block.restrictions, block.given);
    if (finding.kind == Inconsistency::kNone) continue;
    const bool memberCount = finding.kind == Inconsistency::kMemberCount;
    return {block.sumCheck + (memberCount ? 1 : 0), block.array, memberCount,
            block.name(dims, finding.rowA), block.name(dims, finding.rowB),
            finding.equivalenceClass};
  }
  return {};
}

}  // namespace kov::input
