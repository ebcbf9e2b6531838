#include "report/restrictions_report.h"

#include <string>
#include <vector>

#include "base/result_codes.h"
#include "report/fields.h"
#include "report/report_lines.h"
#include "report/table_bodies.h"

namespace kov::report {

namespace {

using input::Model;
using input::RestrictionSet;
using input::TextOutput;

constexpr int kCellWidth = 5;
constexpr int kGammaWidth = 3;
constexpr std::string_view kNoCode = "  -  ";

// A code the array does not hold (codes sized for other dimensions) shows as "?".
std::string CodeAt(const std::vector<std::int32_t>& codes, std::size_t offset, int width) {
  if (offset >= codes.size()) return std::string(static_cast<std::size_t>(width - 1), ' ') + '?';
  return FormatIntegerAtLeast(codes[offset], width);
}

std::int32_t WriteLittleRho(TextOutput& out, const Model& model, const RestrictionSet& codes) {
  const std::int32_t status = WriteLittleRhoHeading(out);
  if (status != kStatusOk) return status;
  const auto shape = input::LittleRhoShape(model.dims);
  return WriteLittleRhoBody(out, model, [&](std::int32_t k, std::int32_t i, std::int32_t c) {
    return CodeAt(codes.littleRho, shape(k, i, c), kCellWidth);
  });
}

std::int32_t WriteBigRho(TextOutput& out, const Model& model, const RestrictionSet& codes) {
  const std::int32_t status =
      WriteLines(out, {kRule, "", " BIG RHO PARAMETER RESTRICTIONS",
                       " BIG RHOS ARE PROBABILITIES OF RESPONSE",
                       " TO ITEMS MEASURING THE DYNAMIC LATENT VARIABLE",
                       " CONDITIONAL ON LATENT STATUS AND TIME"});
  if (status != kStatusOk) return status;
  const auto shape = input::BigRhoShape(model.dims);
  return WriteBigRhoBody(
      out, model,
      [&](std::int32_t c, std::int32_t t) {
        const std::string indent(10, ' ');
        if (model.dims.classes == 1) {
          return indent + "BIG RHO PARAMETER RESTRICTIONS FOR TIME " + FormatInteger(t + 1, 2);
        }
        return indent + "BIG RHO PARAMETER RESTRICTIONS FOR LATENT CLASS " +
               QuotedLabel(LabelAt(model.classLabels, c)) + " AT TIME " + FormatInteger(t + 1, 2);
      },
      [&](std::int32_t k, std::int32_t i, std::int32_t s, std::int32_t c, std::int32_t t) {
        return CodeAt(codes.bigRho, shape(k, i, s, c, t), kCellWidth);
      });
}

std::int32_t WriteGamma(TextOutput& out, const Model& model, const RestrictionSet& codes) {
  const std::int32_t status =
      WriteLines(out, {kRule, "", " GAMMA PARAMETER RESTRICTIONS",
                       " GAMMAS ARE UNCONDITIONAL PROBABILITIES OF MEMBERSHIP",
                       " IN EACH LATENT CLASS OF THE STATIC LATENT VARIABLE", ""});
  if (status != kStatusOk) return status;
  const auto shape = input::GammaShape(model.dims);
  return WriteGammaBody(out, model, [&](std::int32_t c) {
    return CodeAt(codes.gamma, shape(c), kGammaWidth);
  });
}

std::int32_t WriteDelta(TextOutput& out, const Model& model, const RestrictionSet& codes) {
  const std::int32_t status = WriteLines(
      out, {kRule, "", " DELTA PARAMETER RESTRICTIONS",
            " DELTAS ARE PROBABILITIES OF LATENT STATUS MEMBERSHIP"});
  if (status != kStatusOk) return status;
  const auto shape = input::DeltaCodeShape(model.dims);
  return WriteDeltaBody(out, model, " DELTA PARAMETER RESTRICTIONS FOR LATENT CLASS ",
                        [&](std::int32_t s, std::int32_t t, std::int32_t c) {
                          if (t > 0) return std::string(kNoCode);
                          return CodeAt(codes.delta, shape(c, s), kCellWidth);
                        });
}

std::int32_t WriteTau(TextOutput& out, const Model& model, const RestrictionSet& codes) {
  const bool oneClass = model.dims.classes == 1;
  std::vector<std::string> heading = {
      std::string(kRule), "", " TAU PARAMETER RESTRICTIONS",
      " TAUS ARE PROBABILITIES OF LATENT STATUS MEMBERSHIP AT TIME T+1 (COLUMNS)",
      model.dims.order == 2 ? " CONDITIONAL ON LATENT STATUS MEMBERSHIP AT TIMES T-1 AND T (ROWS)"
                            : " CONDITIONAL ON LATENT STATUS MEMBERSHIP AT TIME T (ROWS)"};
  if (!oneClass) heading.emplace_back(" AND ON LATENT CLASS MEMBERSHIP");
  if (const std::int32_t status = WriteLines(out, heading); status != kStatusOk) return status;
  const auto shape = input::TauShape(model.dims);
  return WriteTauBody(
      out, model,
      [&](std::int32_t c) -> std::vector<std::string> {
        // A single class needs no introduction: its grids follow the heading directly.
        if (oneClass) return {};
        return {" ", " TRANSITION PROBABILITIES FOR LATENT CLASS " +
                         QuotedLabel(LabelAt(model.classLabels, c))};
      },
      [&](std::int32_t r, std::int32_t j, std::int32_t c) {
        return CodeAt(codes.tau, shape(r, j, c), kCellWidth);
      });
}

}  // namespace

std::int32_t WriteRestrictionsReport(TextOutput& out, const Model& model,
                                     const RestrictionSet& codes) {
  std::int32_t status =
      WriteLines(out, {"", " THE FOLLOWING PARAMETER RESTRICTIONS HAVE BEEN SPECIFIED",
                       " WHERE 0=FIXED TO START VALUE", "       1=FREE",
                       "       2 OR GREATER MEANS CONSTRAINED EQUAL TO ANY OTHER",
                       "         PARAMETER WITH THE SAME DESIGNATION", ""});
  const bool classes = model.dims.HasClasses();
  const bool statuses = model.dims.HasStatuses();
  if (status == kStatusOk && classes) status = WriteLittleRho(out, model, codes);
  if (status == kStatusOk && statuses) status = WriteBigRho(out, model, codes);
  if (status == kStatusOk && classes) status = WriteGamma(out, model, codes);
  if (status == kStatusOk && statuses) status = WriteDelta(out, model, codes);
  if (status == kStatusOk && statuses) status = WriteTau(out, model, codes);
  return status;
}

}  // namespace kov::report
