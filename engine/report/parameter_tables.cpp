#include "report/parameter_tables.h"

#include <cmath>
#include <limits>
#include <string_view>
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

using Array = std::vector<double> ParameterSet::*;

// A value the array does not hold (a set sized for other dimensions) shows as undefined
// rather than being read past the end.
std::string CellAt(const std::vector<double>& values, std::size_t offset) {
  return FormatCell(offset < values.size() ? values[offset]
                                           : std::numeric_limits<double>::quiet_NaN());
}

// What a table shows: the estimates, or their standard errors ("-" where there is none).
struct TableSource {
  const ParameterSet& values;
  const StandardErrorTables* errors = nullptr;

  bool ShowsErrors() const { return errors != nullptr; }
  std::string Cell(Array array, std::size_t offset) const {
    if (!ShowsErrors()) return CellAt(values.*array, offset);
    const std::vector<double>& column = errors->errors.*array;
    if (offset >= column.size() || std::isnan(column[offset])) return FormatCell(9.0);
    return FormatCell(column[offset]);
  }
  // The heading of an estimates table, or the caption of its standard errors.
  std::vector<std::string> Heading(std::string_view name,
                                   std::vector<std::string> estimateLines) const {
    if (!ShowsErrors()) return estimateLines;
    return {std::string(kRule), "", " STANDARD ERRORS OF THE " + std::string(name) + " PARAMETERS"};
  }
  // After a table of standard errors: the note on estimates that have none because they lie on
  // the boundary of the parameter space, where the information says nothing about them.
  std::int32_t WriteBoundaryNote(TextOutput& out, Array array) const {
    if (!ShowsErrors()) return kStatusOk;
    bool any = false;
    for (const double flag : errors->onBoundary.*array) any = any || flag != 0.0;
    if (!any) return kStatusOk;
    return WriteLines(out, {" NOTE: \"-\" ALSO MARKS AN ESTIMATE ON THE BOUNDARY (BELOW 1E-6",
                            "       OR ABOVE 1 - 1E-6), WHICH HAS NO STANDARD ERROR.",
                            ""});
  }
};

std::int32_t WriteLittleRhoTable(TextOutput& out, const Model& model, const TableSource& source) {
  const std::int32_t status = source.ShowsErrors()
                                  ? WriteLines(out, source.Heading("LITTLE RHO", {}))
                                  : WriteLittleRhoHeading(out);
  if (status != kStatusOk) return status;
  const auto shape = input::LittleRhoShape(model.dims);
  const std::int32_t body =
      WriteLittleRhoBody(out, model, [&](std::int32_t k, std::int32_t i, std::int32_t c) {
        return source.Cell(&ParameterSet::littleRho, shape(k, i, c));
      });
  return body == kStatusOk ? source.WriteBoundaryNote(out, &ParameterSet::littleRho) : body;
}

std::int32_t WriteBigRhoTable(TextOutput& out, const Model& model, const TableSource& source) {
  const bool oneClass = model.dims.classes == 1;
  const std::int32_t status = WriteLines(
      out, source.Heading("BIG RHO",
                          {std::string(kRule), "", " BIG RHO PARAMETERS",
                           " BIG RHOS ARE PROBABILITIES OF RESPONSES",
                           " TO ITEMS MEASURING THE DYNAMIC LATENT VARIABLE",
                           oneClass ? " CONDITIONAL ON LATENT STATUS AND TIME"
                                    : " CONDITIONAL ON LATENT STATUS, LATENT CLASS, AND TIME"}));
  if (status != kStatusOk) return status;
  const auto shape = input::BigRhoShape(model.dims);
  const std::int32_t body = WriteBigRhoBody(
      out, model,
      [&](std::int32_t c, std::int32_t t) {
        const std::string indent(10, ' ');
        if (oneClass) return indent + "RHO PARAMETERS FOR TIME " + FormatInteger(t + 1, 2);
        return indent + "RHO PARAMETERS FOR LATENT CLASS " +
               QuotedLabel(LabelAt(model.classLabels, c)) + " AT TIME " + FormatInteger(t + 1, 2);
      },
      [&](std::int32_t k, std::int32_t i, std::int32_t s, std::int32_t c, std::int32_t t) {
        return source.Cell(&ParameterSet::bigRho, shape(k, i, s, c, t));
      });
  return body == kStatusOk ? source.WriteBoundaryNote(out, &ParameterSet::bigRho) : body;
}

std::int32_t WriteGammaTable(TextOutput& out, const Model& model, const TableSource& source) {
  std::vector<std::string> heading = source.Heading(
      "GAMMA", {std::string(kRule), "", " GAMMA PARAMETERS",
                " GAMMAS ARE UNCONDITIONAL PROBABILITIES OF MEMBERSHIP IN EACH LATENT CLASS",
                " OF THE STATIC LATENT VARIABLE"});
  heading.emplace_back("");
  const std::int32_t status = WriteLines(out, heading);
  if (status != kStatusOk) return status;
  const auto shape = input::GammaShape(model.dims);
  const std::int32_t body = WriteGammaBody(out, model, [&](std::int32_t c) {
    return source.Cell(&ParameterSet::gamma, shape(c));
  });
  return body == kStatusOk ? source.WriteBoundaryNote(out, &ParameterSet::gamma) : body;
}

std::int32_t WriteDeltaTable(TextOutput& out, const Model& model, const TableSource& source) {
  std::vector<std::string> heading = source.Heading(
      "DELTA", {std::string(kRule), "", " DELTA PARAMETERS",
                " DELTAS ARE PROBABILITIES OF LATENT STATUS MEMBERSHIP"});
  if (!source.ShowsErrors() && model.dims.classes > 1) {
    heading.emplace_back("  CONDITIONAL ON LATENT CLASS");
  }
  if (const std::int32_t status = WriteLines(out, heading); status != kStatusOk) return status;
  const auto shape = input::DeltaShape(model.dims);
  const std::int32_t body = WriteDeltaBody(out, model, " DELTA PARAMETERS FOR LATENT CLASS ",
                                           [&](std::int32_t s, std::int32_t t, std::int32_t c) {
                                             return source.Cell(&ParameterSet::delta,
                                                                shape(c, s, t));
                                           });
  return body == kStatusOk ? source.WriteBoundaryNote(out, &ParameterSet::delta) : body;
}

std::int32_t WriteTauTable(TextOutput& out, const Model& model, const TableSource& source) {
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
  if (const std::int32_t status = WriteLines(out, source.Heading("TAU", heading));
      status != kStatusOk) {
    return status;
  }
  const auto shape = input::TauShape(model.dims);
  const std::int32_t body = WriteTauBody(
      out, model,
      [&](std::int32_t c) -> std::vector<std::string> {
        if (oneClass) return {" ", "  TRANSITION PROBABILITIES"};
        return {" ", " TRANSITION PROBABILITIES FOR LATENT CLASS " +
                         QuotedLabel(LabelAt(model.classLabels, c))};
      },
      [&](std::int32_t r, std::int32_t j, std::int32_t c) {
        return source.Cell(&ParameterSet::tau, shape(r, j, c));
      });
  return body == kStatusOk ? source.WriteBoundaryNote(out, &ParameterSet::tau) : body;
}

// The table of the estimates, then, when there are standard errors, the table of theirs.
using TableWriter = std::int32_t (*)(TextOutput&, const Model&, const TableSource&);
std::int32_t WriteWithErrors(TextOutput& out, const Model& model, TableWriter write,
                             const ParameterSet& values, const StandardErrorTables* errors) {
  const std::int32_t status = write(out, model, TableSource{values});
  if (status != kStatusOk || errors == nullptr) return status;
  return write(out, model, TableSource{values, errors});
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
  const TableSource source{values};
  if (status == kStatusOk && classes) status = WriteLittleRhoTable(out, model, source);
  if (status == kStatusOk && statuses) status = WriteBigRhoTable(out, model, source);
  if (status == kStatusOk && classes) status = WriteGammaTable(out, model, source);
  if (status == kStatusOk && statuses) status = WriteDeltaTable(out, model, source);
  if (status == kStatusOk && statuses) status = WriteTauTable(out, model, source);
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

std::int32_t WriteFinalEstimates(TextOutput& out, const Model& model, const ParameterSet& values,
                                 const StandardErrorTables* errors) {
  std::int32_t status = out.Status();
  const bool classes = model.dims.HasClasses();
  const bool statuses = model.dims.HasStatuses();
  if (status == kStatusOk && classes) {
    status = WriteInterpretationWarning(out, "CLASSES");
    if (status == kStatusOk) {
      status = WriteWithErrors(out, model, WriteLittleRhoTable, values, errors);
    }
  }
  if (status == kStatusOk && statuses) {
    status = WriteInterpretationWarning(out, "STATUSES");
    if (status == kStatusOk) status = WriteWithErrors(out, model, WriteBigRhoTable, values, errors);
  }
  if (status == kStatusOk && classes) {
    status = WriteWithErrors(out, model, WriteGammaTable, values, errors);
  }
  if (status == kStatusOk && statuses) {
    status = WriteWithErrors(out, model, WriteDeltaTable, values, errors);
  }
  if (status == kStatusOk && statuses) {
    status = WriteWithErrors(out, model, WriteTauTable, values, errors);
  }
  return status;
}

}  // namespace kov::report
