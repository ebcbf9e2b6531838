#include "check_reports.h"

#include <charconv>
#include <initializer_list>
#include <string>
#include <string_view>

#include "base/result_codes.h"

namespace kov::report {

namespace {

using input::RestrictionFinding;
using input::RowName;
using input::StartValueFailure;

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

std::int32_t WriteMessage(input::TextOutput& report, std::initializer_list<std::string> lines,
                          bool emptyLineAfter) {
  for (const std::string& line : lines) {
    if (const std::int32_t status = report.WriteLine(line); status != kStatusOk) return status;
  }
  return emptyLineAfter ? report.WriteEmptyLine() : kStatusOk;
}

const std::string kNotOneLine = " *** ERROR *** START VALUES DO NOT SUM TO ONE";

std::int32_t WriteStartValueFailure(input::TextOutput& report, const StartValueFailure& f) {
  const std::size_t c = f.latentClass;
  switch (f.vector) {
    case StartValueFailure::Vector::kDelta:
      return WriteMessage(report,
                          {kNotOneLine, "                      FOR LATENT CLASS " + Ordinal(c),
                           "                      OF THE DELTA MATRIX"},
                          true);
    case StartValueFailure::Vector::kTau:
      return WriteMessage(report,
                          {kNotOneLine,
                           "               FOR ROW " + Ordinal(f.row) + " LATENT CLASS " + Ordinal(c),
                           "               OF THE TAU MATRIX"},
                          true);
    case StartValueFailure::Vector::kBigRho:
      return WriteMessage(report,
                          {kNotOneLine,
                           "               FOR LATENT CLASS " + Ordinal(c) + " LATENT STATUS " +
                               Ordinal(f.row) + ", ITEM " + Ordinal(f.item),
                           "               IN THE RH0 MATRIX FOR LATENT STATUS INDICATORS"},
                          true);
    case StartValueFailure::Vector::kLittleRho:
      return WriteMessage(report,
                          {kNotOneLine,
                           "               FOR LATENT CLASS " + Ordinal(c) + ", ITEM " + Ordinal(f.item),
                           "               IN THE RHO MATRIX FOR LATENT CLASS INDICATORS"},
                          true);
    case StartValueFailure::Vector::kGamma:
      break;
  }
  return WriteMessage(report,
                      {" *** ERROR *** START VALUES FOR THE GAMMA PARAMTERS DO NOT",
                       "               SUM TO ONE"},
                      false);
}

std::int32_t WriteLittleRhoMessage(input::TextOutput& report, const RestrictionFinding& f) {
  const RowName& a = f.rowA;
  const RowName& b = f.rowB;
  if (!f.memberCount) {
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

std::int32_t WriteBigRhoMessage(input::TextOutput& report, const RestrictionFinding& f) {
  const RowName& a = f.rowA;
  const RowName& b = f.rowB;
  if (!f.memberCount) {
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

std::int32_t WriteTauMessage(input::TextOutput& report, const RestrictionFinding& f) {
  const RowName& a = f.rowA;
  const RowName& b = f.rowB;
  if (!f.memberCount) {
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

std::int32_t WriteDeltaMessage(input::TextOutput& report, const RestrictionFinding& f) {
  const RowName& a = f.rowA;
  const RowName& b = f.rowB;
  if (!f.memberCount) {
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

std::int32_t WriteStartValueFailures(input::TextOutput& report,
                                     const std::vector<StartValueFailure>& failures) {
  for (const StartValueFailure& failure : failures) {
    if (const std::int32_t status = WriteStartValueFailure(report, failure); status != kStatusOk) {
      return status;
    }
  }
  return kStatusOk;
}

std::int32_t WriteRestrictionFinding(input::TextOutput& report, const RestrictionFinding& finding) {
  if (finding.check == 0) return kStatusOk;
  switch (finding.array) {
    case RestrictionFinding::Array::kLittleRho: return WriteLittleRhoMessage(report, finding);
    case RestrictionFinding::Array::kBigRho: return WriteBigRhoMessage(report, finding);
    case RestrictionFinding::Array::kTau: return WriteTauMessage(report, finding);
    case RestrictionFinding::Array::kDelta: break;
  }
  return WriteDeltaMessage(report, finding);
}

}  // namespace kov::report
