#include "parameter_checks.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <unordered_map>
#include <vector>

#include "../run/result_codes.h"

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

// The rows (probability vectors) of one array, copied out entry by entry in index order, each
// with the 0-based indices that name it in a message.
struct RowTable {
  std::size_t entries = 0;
  std::vector<double> values;
  std::vector<std::int32_t> codes;
  std::vector<std::array<std::size_t, 4>> names;

  std::size_t Rows() const { return names.size(); }
  std::int32_t Code(std::size_t row, std::size_t entry) const {
    return codes[row * entries + entry];
  }
};

std::int64_t Magnitude(std::int32_t code) { return std::abs(static_cast<std::int64_t>(code)); }

enum class Inconsistency { kNone, kFixedSum, kMemberCount };

struct Finding {
  Inconsistency kind = Inconsistency::kNone;
  std::size_t rowA = 0;
  std::size_t rowB = 0;
  std::int64_t equivalenceClass = 0;  // y
};

// Finds the first pair of rows A, B whose equality link (an entry of A that starts an
// equivalence class x, an entry of B in class x) joins rows with different fixed sums, or with a
// different number of members of some class y that occurs in A.
Finding FindInconsistency(const RowTable& table) {
  const std::size_t rows = table.Rows();
  std::vector<double> fixedSum(rows, 0.0);
  // Rows holding at least one member of each equivalence class, in index order: every entry of
  // B with magnitude x leads to the same comparison, so one visit per row suffices.
  std::unordered_map<std::int64_t, std::vector<std::size_t>> rowsWithClass;
  for (std::size_t row = 0; row < rows; ++row) {
    for (std::size_t e = 0; e < table.entries; ++e) {
      const std::int32_t code = table.Code(row, e);
      if (code == 0) fixedSum[row] += table.values[row * table.entries + e];
      const std::int64_t magnitude = Magnitude(code);
      if (magnitude > 1) {
        std::vector<std::size_t>& list = rowsWithClass[magnitude];
        if (list.empty() || list.back() != row) list.push_back(row);
      }
    }
  }
  auto members = [&table](std::size_t row, std::int64_t magnitude) {
    std::size_t n = 0;
    for (std::size_t e = 0; e < table.entries; ++e) n += Magnitude(table.Code(row, e)) == magnitude;
    return n;
  };
  // A value seen at an earlier entry of the row repeats comparisons that already passed.
  auto seenBefore = [&table](std::size_t row, std::size_t entry, auto&& key) {
    for (std::size_t e = 0; e < entry; ++e) {
      if (key(table.Code(row, e)) == key(table.Code(row, entry))) return true;
    }
    return false;
  };
  auto signedCode = [](std::int32_t code) { return static_cast<std::int64_t>(code); };

  for (std::size_t a = 0; a < rows; ++a) {
    for (std::size_t ex = 0; ex < table.entries; ++ex) {
      const std::int64_t x = table.Code(a, ex);
      if (x <= 1 || seenBefore(a, ex, signedCode)) continue;
      for (std::size_t ey = 0; ey < table.entries; ++ey) {
        const std::int64_t y = Magnitude(table.Code(a, ey));
        if (y <= 1 || seenBefore(a, ey, Magnitude)) continue;
        const std::size_t countA = members(a, y);
        for (std::size_t b : rowsWithClass[x]) {
          if (fixedSum[a] != fixedSum[b]) return {Inconsistency::kFixedSum, a, b, y};
          if (members(b, y) != countA) return {Inconsistency::kMemberCount, a, b, y};
        }
      }
    }
  }
  return {};
}

// Little rho rows (item i, class c) over categories; names {i, c}.
RowTable LittleRhoRows(const ModelDimensions& dims, const ParameterSet& values,
                       const RestrictionSet& codes) {
  const MultiIndex<3> at = LittleRhoShape(dims);
  RowTable table;
  table.entries = at.Extent(0);
  for (std::size_t c = 0; c < at.Extent(2); ++c) {
    for (std::size_t i = 0; i < at.Extent(1); ++i) {
      for (std::size_t k = 0; k < at.Extent(0); ++k) {
        table.values.push_back(values.littleRho[at(k, i, c)]);
        table.codes.push_back(codes.littleRho[at(k, i, c)]);
      }
      table.names.push_back({i, c, 0, 0});
    }
  }
  return table;
}

// Big rho rows (item i, status s, class c, occasion t) over categories; names {i, s, c, t}.
RowTable BigRhoRows(const ModelDimensions& dims, const ParameterSet& values,
                    const RestrictionSet& codes) {
  const MultiIndex<5> at = BigRhoShape(dims);
  RowTable table;
  table.entries = at.Extent(0);
  for (std::size_t t = 0; t < at.Extent(4); ++t) {
    for (std::size_t c = 0; c < at.Extent(3); ++c) {
      for (std::size_t s = 0; s < at.Extent(2); ++s) {
        for (std::size_t i = 0; i < at.Extent(1); ++i) {
          for (std::size_t k = 0; k < at.Extent(0); ++k) {
            table.values.push_back(values.bigRho[at(k, i, s, c, t)]);
            table.codes.push_back(codes.bigRho[at(k, i, s, c, t)]);
          }
          table.names.push_back({i, s, c, t});
        }
      }
    }
  }
  return table;
}

// Tau rows (row r, class c) over target statuses; names {r, c}.
RowTable TauRows(const ModelDimensions& dims, const ParameterSet& values,
                 const RestrictionSet& codes) {
  const MultiIndex<3> at = TauShape(dims);
  RowTable table;
  table.entries = at.Extent(1);
  for (std::size_t c = 0; c < at.Extent(2); ++c) {
    for (std::size_t r = 0; r < at.Extent(0); ++r) {
      for (std::size_t j = 0; j < at.Extent(1); ++j) {
        table.values.push_back(values.tau[at(r, j, c)]);
        table.codes.push_back(codes.tau[at(r, j, c)]);
      }
      table.names.push_back({r, c, 0, 0});
    }
  }
  return table;
}

// Delta rows (class c) over statuses at occasion 1; names {c}.
RowTable DeltaRows(const ModelDimensions& dims, const ParameterSet& values,
                   const RestrictionSet& codes) {
  const MultiIndex<3> valueAt = DeltaShape(dims);
  const MultiIndex<2> codeAt = DeltaCodeShape(dims);
  RowTable table;
  table.entries = codeAt.Extent(1);
  for (std::size_t c = 0; c < codeAt.Extent(0); ++c) {
    for (std::size_t s = 0; s < codeAt.Extent(1); ++s) {
      table.values.push_back(values.delta[valueAt(c, s, 0)]);
      table.codes.push_back(codes.delta[codeAt(c, s)]);
    }
    table.names.push_back({c, 0, 0, 0});
  }
  return table;
}

std::int32_t WriteLittleRhoMessage(TextOutput& report, const Finding& f, const RowTable& t) {
  const auto& a = t.names[f.rowA];
  const auto& b = t.names[f.rowB];
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

std::int32_t WriteBigRhoMessage(TextOutput& report, const Finding& f, const RowTable& t) {
  const auto& a = t.names[f.rowA];  // {i, s, c, t}
  const auto& b = t.names[f.rowB];
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

std::int32_t WriteTauMessage(TextOutput& report, const Finding& f, const RowTable& t) {
  const auto& a = t.names[f.rowA];  // {r, c}
  const auto& b = t.names[f.rowB];
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

std::int32_t WriteDeltaMessage(TextOutput& report, const Finding& f, const RowTable& t) {
  const auto& a = t.names[f.rowA];  // {c}
  const auto& b = t.names[f.rowB];
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
  using RowBuilder = RowTable (*)(const ModelDimensions&, const ParameterSet&,
                                  const RestrictionSet&);
  using MessageWriter = std::int32_t (*)(TextOutput&, const Finding&, const RowTable&);
  struct Block {
    bool applies;
    RowBuilder rows;
    MessageWriter write;
    std::int32_t sumCheck;  // the count check is the next number
  };
  const Block blocks[] = {
      {dims.HasClasses(), LittleRhoRows, WriteLittleRhoMessage, 2},
      {dims.HasStatuses(), BigRhoRows, WriteBigRhoMessage, 4},
      {dims.HasStatuses(), TauRows, WriteTauMessage, 6},
      {dims.HasStatuses(), DeltaRows, WriteDeltaMessage, 8},
  };
  for (const Block& block : blocks) {
    if (!block.applies) continue;
    const RowTable table = block.rows(dims, values, codes);
    const Finding finding = FindInconsistency(table);
    if (finding.kind == Inconsistency::kNone) continue;
    *failedCheck = block.sumCheck + (finding.kind == Inconsistency::kMemberCount ? 1 : 0);
    return block.write(report, finding, table);
  }
  return kStatusOk;
}

}  // namespace kov::input
