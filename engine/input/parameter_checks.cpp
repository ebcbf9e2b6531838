#include "parameter_checks.h"

#include <array>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <string>
#include <vector>

#include "../run/result_codes.h"
#include "restriction_structure.h"

namespace kov::input {

namespace {

// The report's numbers sit in 2-column fields. A wider number (a tau row beyond 99 in a large
// second-order model) is written whole: cut to asterisks it would not tell the user which row
// to look at.
constexpr int kNumberWidth = 2;

std::string Number(std::int64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  const std::string_view text(digits, static_cast<std::size_t>(result.ptr - digits));
  std::string field;
  if (text.size() < static_cast<std::size_t>(kNumberWidth)) {
    field.assign(kNumberWidth - text.size(), ' ');
  }
  field += text;
  return field;
}

// 1-based number of a 0-based index.
std::string Ordinal(std::size_t index) { return Number(static_cast<std::int64_t>(index) + 1); }

std::int32_t WriteMessage(TextOutput& report, std::initializer_list<std::string> lines,
                          bool emptyLineAfter) {
  for (const std::string& line : lines) {
    if (const std::int32_t status = report.WriteLine(line); status != kStatusOk) return status;
  }
  return emptyLineAfter ? report.WriteEmptyLine() : kStatusOk;
}

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

const std::string kNotOneLine = " *** ERROR *** START VALUES DO NOT SUM TO ONE";

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

// The 0-based indices that name row q in a message, from the shape of its array without the
// entry index: little rho {i, c}, big rho {i, s, c, t}, tau {r, c}, delta {c}.
using RowName = std::array<std::size_t, 4>;
template <std::size_t N>
RowName NameOf(const MultiIndex<N>& shape, std::size_t firstIndex, std::size_t q) {
  RowName name{};
  for (std::size_t k = firstIndex, n = 0; k < N; ++k, ++n) {
    name[n] = q % shape.Extent(k);
    q /= shape.Extent(k);
  }
  return name;
}

std::int32_t WriteLittleRhoMessage(TextOutput& report, const Finding& f, const RowName& a,
                           const RowName& b) {
  if (f.kind == Inconsistency::kFixedSum) {
    return WriteMessage(
        report,
        {"*** ERROR: LITTLE RHO CONSTRAINTS ***",
         "SUM OF THE FIXED PARAMETERS FOR LATENT CLASS " + Ordinal(a[1]),
         "ITEM " + Ordinal(a[0]) + " IS NOT EQUAL TO THE SUM OF THE FIXED PARAMETERS",
         "FOR LATENT CLASS " + Ordinal(b[1]) + " ITEM " + Ordinal(b[0]) + "EVEN THOUGH",
         "PARAMETERS CONDITIONED ON THESE ARE CONSTRAINED TO BE EQUAL."},
        false);
  }
  return WriteMessage(
      report,
      {"*** ERROR: LITTLE RHO PARAMETERS ***",
       "THE NUMBER OF ELEMENTS IN EQUIVALENCE CLASS " + Number(f.equivalenceClass),
       "FOR LATENT CLASS " + Ordinal(a[1]) + " ITEM " + Ordinal(a[0]) + " DIFFERS FROM THE",
       "NUMBER OF ELEMENTS IN THE SAME EQUIVALENCE CLASS FOR",
       "LATENT CLASS " + Ordinal(b[1]) + " ITEM " + Ordinal(b[0])},
      true);
}

std::int32_t WriteBigRhoMessage(TextOutput& report, const Finding& f, const RowName& a,
                           const RowName& b) {
  if (f.kind == Inconsistency::kFixedSum) {
    return WriteMessage(
        report,
        {" *** ERROR: BIG RHO CONSTRAINTS ***",
         " SUM OF THE FIXED RHO PARAMETERS FOR LATENT CLASS " + Ordinal(a[2]) + ",",
         " LATENT STATUS " + Ordinal(a[1]) + " AT TIME " + Ordinal(a[3]) + " FOR ITEM " +
             Ordinal(a[0]),
         " ARE NOT EQUAL TO THE SUM OF THE FIXED RHO PARAMETERS",
         " FOR LATENT CLASS " + Ordinal(b[2]) + ",",
         " LATENT STATUS " + Ordinal(b[1]) + " AT TIME " + Ordinal(b[3]) + " FOR ITEM " +
             Ordinal(b[0]),
         " EVEN THOUGH PARAMETERS CONDITIONED ON THESE ARE", " CONSTRAINED TO BE EQUAL."},
        true);
  }
  return WriteMessage(
      report,
      {" *** ERROR: BIG RHO CONSTRAINTS ***",
       " THE NUMBER OF ELEMENTS IN EQUIVALENCE CLASS " + Number(f.equivalenceClass),
       " FOR LATENT CLASS " + Ordinal(a[2]) + "LATENT STATUS " + Ordinal(a[1]),
       " AT TIME " + Ordinal(a[3]) + " FOR ITEM " + Ordinal(a[0]),
       " DIFFERS FROM THE NUMBER OF ELEMENTS IN THE SAME", " EQUIVALENCE CLASS",
       " FOR LATENT CLASS " + Ordinal(b[2]) + " LATENT STATUS " + Ordinal(b[1]),
       " AT TIME " + Ordinal(b[3]) + " FOR ITEM " + Ordinal(b[0])},
      false);
}

std::int32_t WriteTauMessage(TextOutput& report, const Finding& f, const RowName& a,
                           const RowName& b) {
  if (f.kind == Inconsistency::kFixedSum) {
    return WriteMessage(
        report,
        {" *** ERROR: TAU CONSTRAINTS ***",
         " SUM OF THE FIXED TAU PARAMETERS FOR LATENT CLASS " + Ordinal(a[1]) + ",",
         " ROW " + Ordinal(a[0]) + " ARE NOT EQUAL TO THE SUM OF THE FIXED TAU",
         " PARAMETERS FOR LATENT CLASS " + Ordinal(b[1]) + ", ROW " + Ordinal(b[0]),
         " EVEN THOUGH PARAMETERS CONDITIONED ON THESE ARE", " CONSTRAINED TO BE EQUAL."},
        true);
  }
  return WriteMessage(
      report,
      {" *** ERROR: TAU CONSTRAINTS ***",
       " THE NUMBER OF ELEMENTS IN EQUIVALENCE CLASS " + Number(f.equivalenceClass),
       " FOR LATENT CLASS " + Ordinal(a[1]) + ", ROW " + Ordinal(a[0]) + " DIFFERS FROM THE",
       " NUMBER OF ELEMENTS IN THE SAME EQUIVALENCE CLASS FOR",
       " LATENT CLASS " + Ordinal(b[1]) + ", ROW " + Ordinal(b[0]) + "."},
      true);
}

std::int32_t WriteDeltaMessage(TextOutput& report, const Finding& f, const RowName& a,
                           const RowName& b) {
  if (f.kind == Inconsistency::kFixedSum) {
    return WriteMessage(
        report,
        {" *** ERROR: DELTA PARAMETERS ***",
         " SUM OF THE FIXED DELTA PARAMETERS FOR LATENT CLASS " + Ordinal(a[0]),
         " ARE NOT EQUAL TO THE SUM OF THE FIXED DELTA PARAMETERS ",
         " FOR LATENT CLASS " + Ordinal(b[0]) + ", EVEN THOUGH PARAMETERS CONDITIONED",
         " ON THESE ARE CONSTRAINED TO BE EQUAL."},
        true);
  }
  return WriteMessage(
      report,
      {" *** ERROR: DELTA CONSTRAINTS ***",
       " THE NUMBER OF ELEMENTS IN EQUIVALENCE CLASS " + Number(f.equivalenceClass),
       " FOR LATENT CLASS " + Ordinal(a[0]) + " DIFFERS FROM THE NUMBER OF",
       " ELEMENTS IN THE SAME EQUIVALENCE CLASS FOR LATENT",
       " CLASS " + Ordinal(b[0]) + "."},
      true);
}

}  // namespace

std::int32_t CheckStartValueSums(const ModelDimensions& dims, const ParameterSet& start,
                                 TextOutput& report, std::int32_t* failures) {
  *failures = 0;
  const MultiIndex<1> gammaAt = GammaShape(dims);
  const MultiIndex<3> deltaAt = DeltaShape(dims);
  const MultiIndex<3> tauAt = TauShape(dims);
  const MultiIndex<3> littleRhoAt = LittleRhoShape(dims);
  const MultiIndex<5> bigRhoAt = BigRhoShape(dims);

  auto fail = [&](std::initializer_list<std::string> lines, bool emptyLineAfter) {
    ++*failures;
    return WriteMessage(report, lines, emptyLineAfter);
  };

  SinglePrecisionSum gammaSum;
  for (std::size_t c = 0; c < gammaAt.Extent(0); ++c) {
    gammaSum.Add(start.gamma[gammaAt(c)]);
    std::int32_t status = kStatusOk;
    if (dims.HasStatuses()) {
      SinglePrecisionSum delta;
      for (std::size_t s = 0; s < deltaAt.Extent(1); ++s) delta.Add(start.delta[deltaAt(c, s, 0)]);
      if (!delta.Passes()) {
        status = fail({kNotOneLine, "                      FOR LATENT CLASS " + Ordinal(c),
                       "                      OF THE DELTA MATRIX"},
                      true);
        if (status != kStatusOk) return status;
      }
      for (std::size_t r = 0; r < tauAt.Extent(0); ++r) {
        SinglePrecisionSum tau;
        for (std::size_t j = 0; j < tauAt.Extent(1); ++j) tau.Add(start.tau[tauAt(r, j, c)]);
        if (tau.Passes()) continue;
        status = fail({kNotOneLine,
                       "               FOR ROW " + Ordinal(r) + " LATENT CLASS " + Ordinal(c),
                       "               OF THE TAU MATRIX"},
                      true);
        if (status != kStatusOk) return status;
      }
      for (std::size_t i = 0; i < bigRhoAt.Extent(1); ++i) {
        for (std::size_t s = 0; s < bigRhoAt.Extent(2); ++s) {
          SinglePrecisionSum rho;
          for (std::size_t k = 0; k < bigRhoAt.Extent(0); ++k) {
            rho.Add(start.bigRho[bigRhoAt(k, i, s, c, 0)]);
          }
          if (rho.Passes()) continue;
          status = fail({kNotOneLine,
                         "               FOR LATENT CLASS " + Ordinal(c) + " LATENT STATUS " +
                             Ordinal(s) + ", ITEM " + Ordinal(i),
                         "               IN THE RH0 MATRIX FOR LATENT STATUS INDICATORS"},
                        true);
          if (status != kStatusOk) return status;
        }
      }
    }
    if (dims.HasClasses()) {
      for (std::size_t i = 0; i < littleRhoAt.Extent(1); ++i) {
        SinglePrecisionSum rho;
        for (std::size_t k = 0; k < littleRhoAt.Extent(0); ++k) {
          rho.Add(start.littleRho[littleRhoAt(k, i, c)]);
        }
        if (rho.Passes()) continue;
        status = fail({kNotOneLine,
                       "               FOR LATENT CLASS " + Ordinal(c) + ", ITEM " + Ordinal(i),
                       "               IN THE RHO MATRIX FOR LATENT CLASS INDICATORS"},
                      true);
        if (status != kStatusOk) return status;
      }
    }
  }
  if (dims.HasClasses() && !gammaSum.Passes()) {
    return fail({" *** ERROR *** START VALUES FOR THE GAMMA PARAMTERS DO NOT",
                 "               SUM TO ONE"},
                false);
  }
  return kStatusOk;
}

std::int32_t CheckRestrictions(const ModelDimensions& dims, const ParameterSet& values,
                               const RestrictionSet& codes, TextOutput& report,
                               std::int32_t* failedCheck) {
  *failedCheck = 0;
  const RestrictionStructure structure(dims, codes, values);
  using MessageWriter =
      std::int32_t (*)(TextOutput&, const Finding&, const RowName&, const RowName&);
  struct Block {
    bool applies;
    const ArrayRestrictions& array;
    const std::vector<std::int32_t>& given;
    RowName (*name)(const ModelDimensions&, std::size_t);
    MessageWriter write;
    std::int32_t sumCheck;  // the count check is the next number
  };
  const Block blocks[] = {
      {dims.HasClasses(), structure.littleRho, codes.littleRho,
       [](const ModelDimensions& d, std::size_t q) { return NameOf(LittleRhoShape(d), 1, q); },
       WriteLittleRhoMessage, 2},
      {dims.HasStatuses(), structure.bigRho, codes.bigRho,
       [](const ModelDimensions& d, std::size_t q) { return NameOf(BigRhoShape(d), 1, q); },
       WriteBigRhoMessage, 4},
      {dims.HasStatuses(), structure.tau, codes.tau,
       [](const ModelDimensions& d, std::size_t q) {
         const MultiIndex<3> shape = TauShape(d);
         return RowName{q % shape.Extent(0), q / shape.Extent(0), 0, 0};
       },
       WriteTauMessage, 6},
      {dims.HasStatuses(), structure.delta, codes.delta,
       [](const ModelDimensions&, std::size_t q) { return RowName{q, 0, 0, 0}; },
       WriteDeltaMessage, 8},
  };
  for (const Block& block : blocks) {
    if (!block.applies) continue;
    const Finding finding = FindInconsistency(block.array, block.given);
    if (finding.kind == Inconsistency::kNone) continue;
    *failedCheck = block.sumCheck + (finding.kind == Inconsistency::kMemberCount ? 1 : 0);
    return block.write(report, finding, block.name(dims, finding.rowA),
                       block.name(dims, finding.rowB));
  }
  return kStatusOk;
}

}  // namespace kov::input
