#include "report/parameter_tables.h"

#include <limits>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "report/fields.h"
#include "report/report_lines.h"
#include "report/table_bodies.h"

namespace kov::report {

namespace {

using input::Model;
using input::ParameterSet;
using input::TextOutput;

// A value the array does not hold (a set sized for other dimensions) shows as undefined
// rather than being read past the end.
std::string CellAt(const std::vector<double>& values, std::size_t offset) {
  return FormatCell(offset < values.size() ? values[offset]
                                           : std::numeric_limits<double>::quiet_NaN());
}

std::int32_t WriteLittleRhoTable(TextOutput& out, const Model& model, const ParameterSet& values) {
  const std::int32_t status = WriteLittleRhoHeading(out);
  if (status != kStatusOk) return status;
  const auto shape = input::LittleRhoShape(model.dims);
  return WriteLittleRhoBody(out, model, [&](std::int32_t k, std::int32_t i, std::int32_t c) {
    return CellAt(values.littleRho, shape(k, i, c));
  });
}

std::int32_t WriteBigRhoTable(TextOutput& out, const Model& model, const ParameterSet& values) {
  const bool oneClass = model.dims.classes == 1;
  const std::int32_t status =
      WriteLines(out, {kRule, "", " BIG RHO PARAMETERS", " BIG RHOS ARE PROBABILITIES OF RESPONSES",
                       " TO ITEMS MEASURING THE DYNAMIC LATENT VARIABLE",
                       oneClass ? " CONDITIONAL ON LATENT STATUS AND TIME"
                                : " CONDITIONAL ON LATENT STATUS, LATENT CLASS, AND TIME"});
  if (status != kStatusOk) return status;
  const auto shape = input::BigRhoShape(model.dims);
  return WriteBigRhoBody(
      out, model,
      [&](std::int32_t c, std::int32_t t) {
        const std::string indent(10, ' ');
        if (oneClass) return indent + "RHO PARAMETERS FOR TIME " + FormatInteger(t + 1, 2);
        return indent + "RHO PARAMETERS FOR LATENT CLASS " +
               QuotedLabel(LabelAt(model.classLabels, c)) + " AT TIME " + FormatInteger(t + 1, 2);
      },
      [&](std::int32_t k, std::int32_t i, std::int32_t s, std::int32_t c, std::int32_t t) {
        return CellAt(values.bigRho, shape(k, i, s, c, t));
      });
}

std::int32_t WriteGammaTable(TextOutput& out, const Model& model, const ParameterSet& values) {
  const std::int32_t status = WriteLines(
      out, {kRule, "", " GAMMA PARAMETERS",
            " GAMMAS ARE UNCONDITIONAL PROBABILITIES OF MEMBERSHIP IN EACH LATENT CLASS",
            " OF THE STATIC LATENT VARIABLE", ""});
  if (status != kStatusOk) return status;
  const auto shape = input::GammaShape(model.dims);
  return WriteGammaBody(out, model,
                        [&](std::int32_t c) { return CellAt(values.gamma, shape(c)); });
}

std::int32_t WriteDeltaTable(TextOutput& out, const Model& model, const ParameterSet& values) {
  std::int32_t status = WriteLines(out, {kRule, "", " DELTA PARAMETERS",
                                         " DELTAS ARE PROBABILITIES OF LATENT STATUS MEMBERSHIP"});
  if (status == kStatusOk && model.dims.classes > 1) {
    status = out.WriteLine("  CONDITIONAL ON LATENT CLASS");
  }
  if (status != kStatusOk) return status;
  const auto shape = input::DeltaShape(model.dims);
  return WriteDeltaBody(out, model, " DELTA PARAMETERS FOR LATENT CLASS ",
                        [&](std::int32_t s, std::int32_t t, std::int32_t c) {
                          return CellAt(values.delta, shape(c, s, t));
                        });
}

std::int32_t WriteTauTable(TextOutput& out, const Model& model, const ParameterSet& values) {
  const bool oneClass = model.dims.classes == 1;
  std::vector<std::string> heading = {
      std::string(kRule), "", " TAU PARAMETERS",
      " TAUS ARE PROBABILITIES OF LATENT STATUS MEMBERSHIP AT TIME T+1 (COLUMNS)"};
  // A process of any other order has no rows the heading could describe.
  if (model.dims.order == 1) {
    heading.emplace_back(" CONDITIONAL ON LATENT STATUS MEMBERSHIP AT TIME T (ROWS)");
  } else if (model.dims.order == 2) {
    heading.emplace_back(" CONDITIONAL ON LATENT STATUS MEMBERSHIP AT TIMES T-1 AND T (ROWS)");
  }
  if (!oneClass) heading.emplace_back("  AND ON LATENT CLASS MEMBERSHIP");
  if (const std::int32_t status = WriteLines(out, heading); status != kStatusOk) return status;
  const auto shape = input::TauShape(model.dims);
  return WriteTauBody(
      out, model,
      [&](std::int32_t c) -> std::vector<std::string> {
        if (oneClass) return {" ", "  TRANSITION PROBABILITIES"};
        return {" ", " TRANSITION PROBABILITIES FOR LATENT CLASS " +
                         QuotedLabel(LabelAt(model.classLabels, c))};
      },
      [&](std::int32_t r, std::int32_t j, std::int32_t c) {
        return CellAt(values.tau, shape(r, j, c));
      });
}

// The warning before the final rho tables; kind is "CLASSES" or "STATUSES".
std::int32_t WriteInterpretationWarning(TextOutput& out, std::string_view kind) {
  const std::string first =
      "  **WARNING**: BE SURE TO INTERPRET THE LATENT " + std::string(kind) + " CAREFULLY ";
  const std::string fourth =
      "               TO THE LATENT " + std::string(kind) + " IN ORDER TO MAKE THEM";
  return WriteLines(out, {first,
                          "               BASED ON THE ESTIMATED RHO PARAMETERS REPORTED BELOW.",
                          "               YOU MAY WISH TO CHANGE THE LABELS YOU PREVIOUSLY ASSIGNED",
                          fourth, "               CONSISTENT WITH YOUR INTERPRETATION.", " "});
}

}  // namespace

std::int32_t WriteParameterTables(TextOutput& out, const Model& model, const ParameterSet& values) {
  std::int32_t status = out.Status();
  const bool classes = model.dims.HasClasses();
  const bool statuses = model.dims.HasStatuses();
  if (status == kStatusOk && classes) status = WriteLittleRhoTable(out, model, values);
  if (status == kStatusOk && statuses) status = WriteBigRhoTable(out, model, values);
  if (status == kStatusOk && classes) status = WriteGammaTable(out, model, values);
  if (status == kStatusOk && statuses) status = WriteDeltaTable(out, model, values);
  if (status == kStatusOk && statuses) status = WriteTauTable(out, model, values);
  return status;
}

std::int32_t WriteStartValues(TextOutput& out, const Model& model, const ParameterSet& values) {
  std::int32_t status = WriteLines(out, {kRule, "", "          START VALUES", ""});
  if (status == kStatusOk && model.startValuesFromFile) {
    status = WriteLines(out, {" NOTE: THESE START VALUES ARE PARAMETER ESTIMATES",
                              " FROM A PREVIOUS RUN", ""});
  }
  if (status != kStatusOk) return status;
  return WriteParameterTables(out, model, values);
}

std::int32_t WriteFinalEstimates(TextOutput& out, const Model& model, const ParameterSet& values) {
  std::int32_t status = out.Status();
  const bool classes = model.dims.HasClasses();
  const bool statuses = model.dims.HasStatuses();
  if (status == kStatusOk && classes) {
    status = WriteInterpretationWarning(out, "CLASSES");
    if (status == kStatusOk) status = WriteLittleRhoTable(out, model, values);
  }
  if (status == kStatusOk && statuses) {
    status = WriteInterpretationWarning(out, "STATUSES");
    if (status == kStatusOk) status = WriteBigRhoTable(out, model, values);
  }
  if (status == kStatusOk && classes) status = WriteGammaTable(out, model, values);
  if (status == kStatusOk && statuses) status = WriteDeltaTable(out, model, values);
  if (status == kStatusOk && statuses) status = WriteTauTable(out, model, values);
  return status;
}

}  // namespace kov::report
