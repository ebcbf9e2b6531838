#include "fit_report.h"

#include <cmath>
#include <string>

#include "base/result_codes.h"
#include "fields.h"
#include "grid.h"
#include "report_lines.h"
#include "table_bodies.h"

namespace kov::report {

namespace {

// Every value of the fit blocks ends in column 51: a label of 30 characters after the leading
// blank, then a field of 20 columns.
constexpr std::size_t kLabelWidth = 31;
constexpr int kFieldWidth = 20;
constexpr int kStatisticDecimals = 3;
constexpr int kProbabilityDecimals = 4;

std::string GSquaredField(double value) { return FormatFixed(value, kFieldWidth, kStatisticDecimals); }

// A whole number in 20 columns; asterisks when it has more digits or is not finite.
std::string DegreesOfFreedomField(double value) {
  if (!std::isfinite(value)) return std::string(kFieldWidth, '*');
  // A difference of equal doubles is +0, but keep a stray -0 from printing its sign.
  return FormatFixed(value == 0.0 ? 0.0 : value, kFieldWidth, 0);
}

// A statistic that is not defined reads "UND", as an undefined parameter does in the tables.
std::string ValueField(double value, int decimals) {
  if (std::isnan(value)) return Fit(std::string(kFieldWidth - 3, ' ') + "UND", kFieldWidth);
  return FormatFixed(value, kFieldWidth, decimals);
}

std::string LabelledLine(std::string_view label, const std::string& field) {
  return Fit(label, kLabelWidth) + field;
}

std::vector<std::string> FitIndicesLines(const FitIndices& fit) {
  std::vector<std::string> lines = {
      " FIT INDICES",
      "",
      LabelledLine(" Log-Likelihood:", ValueField(fit.logLikelihood, kStatisticDecimals)),
      LabelledLine(" Estimated Parameters:", FormatInteger(fit.parameters, kFieldWidth))};
  if (fit.pearsonSkip == PearsonSkip::kComputed) {
    lines.push_back(LabelledLine(" Pearson X-Squared:", ValueField(fit.pearson, kStatisticDecimals)));
  } else {
    lines.push_back(PearsonSkippedLine(fit.pearsonSkip, fit.cellLimit));
  }
  lines.push_back(
      LabelledLine(" p-Value of G-Squared:", ValueField(fit.gSquaredP, kProbabilityDecimals)));
  if (fit.pearsonSkip == PearsonSkip::kComputed) {
    lines.push_back(
        LabelledLine(" p-Value of X-Squared:", ValueField(fit.pearsonP, kProbabilityDecimals)));
  }
  lines.push_back(LabelledLine(" AIC:", ValueField(fit.aic, kStatisticDecimals)));
  lines.push_back(LabelledLine(" BIC:", ValueField(fit.bic, kStatisticDecimals)));
  lines.push_back(
      LabelledLine(" Sample-Size Adjusted BIC:", ValueField(fit.adjustedBic, kStatisticDecimals)));
  lines.push_back(LabelledLine(" CAIC:", ValueField(fit.caic, kStatisticDecimals)));
  lines.insert(lines.end(), {"", ""});
  return lines;
}

// One row per class, as in the gamma table: one blank, the label, two blanks, the cell.
std::vector<std::string> ClassAverageLines(const input::Model& model,
                                           const std::vector<double>& average) {
  std::vector<std::string> lines = {" AVERAGE POSTERIOR PROBABILITY OF THE MODAL LATENT CLASS", ""};
  for (std::size_t c = 0; c < average.size(); ++c) {
    lines.push_back(GridRow(LabelAt(model.classLabels, static_cast<std::int32_t>(c)),
                            {FormatCell(average[c])}, 2));
  }
  lines.insert(lines.end(), {"", ""});
  return lines;
}

// One row per status and a column per occasion, in blocks of occasions as in the delta table.
std::vector<std::string> StatusAverageLines(const input::Model& model,
                                            const std::vector<double>& average) {
  const auto statuses = static_cast<std::size_t>(model.dims.statuses);
  const std::size_t occasions = statuses > 0 ? average.size() / statuses : 0;
  std::vector<std::string> lines = {" AVERAGE POSTERIOR PROBABILITY OF THE MODAL LATENT STATUS"};
  for (std::string& line : OccasionColumnLines(
           model, static_cast<std::int32_t>(occasions), [&](std::int32_t s, std::int32_t t) {
             return FormatCell(
                 average[static_cast<std::size_t>(t) * statuses + static_cast<std::size_t>(s)]);
           })) {
    lines.push_back(std::move(line));
  }
  lines.insert(lines.end(), {"", ""});
  return lines;
}

}  // namespace

std::int32_t WriteModelFitBlock(input::TextOutput& out, double value, double degreesOfFreedom) {
  return WriteLines(out, {"", "", kRule, "", " MODEL FIT", "",
                          " G-Squared Test of Model Fit:  " + GSquaredField(value),
                          " Degrees of Freedom:           " + DegreesOfFreedomField(degreesOfFreedom),
                          "", ""});
}

std::int32_t WriteObservedPatternsFitBlock(input::TextOutput& out, double value) {
  return WriteLines(out, {"", "", kRule, "", " MODEL FIT", "",
                          " G-Squared, Observed Patterns: " + GSquaredField(value),
                          " This value includes the missingness of the patterns and, without the",
                          " saturated model, is no test of the model's fit.",
                          "", ""});
}

std::int32_t WriteMcarBlock(input::TextOutput& out, double saturatedGSquared,
                            double degreesOfFreedom) {
  return WriteLines(out, {" G-Squared Test for MCAR =     " + GSquaredField(saturatedGSquared),
                          " Degrees of Freedom:           " + DegreesOfFreedomField(degreesOfFreedom),
                          "", ""});
}

std::int32_t WriteCrossValidationBlock(input::TextOutput& out, double value,
                                       std::optional<double> saturatedGSquared) {
  const std::int32_t status = WriteLines(
      out, {" CROSSVALIDATION", "", " G-Squared Test of Model Fit:  " + GSquaredField(value), ""});
  if (status != kStatusOk || !saturatedGSquared) return status;
  return WriteLines(out,
                    {" G-Squared Test for MCAR =     " + GSquaredField(*saturatedGSquared), ""});
}

std::string SaturatedTooLargeLine(double maxCompletions) {
  return " SATURATED MODEL NOT ESTIMATED: THE RESPONSE PATTERNS HAVE MORE THAN " +
         FormatIntegerAtLeast(static_cast<std::int64_t>(maxCompletions), 1) + " COMPLETIONS";
}

std::string PearsonSkippedLine(PearsonSkip why, double cellLimit) {
  if (why == PearsonSkip::kNoSaturatedModel) {
    return " X-SQUARED NOT COMPUTED: THE SATURATED MODEL WAS NOT ESTIMATED";
  }
  return " X-SQUARED NOT COMPUTED: THE COMPLETE TABLE HAS MORE THAN " +
         FormatIntegerAtLeast(static_cast<std::int64_t>(cellLimit), 1) + " CELLS";
}

std::int32_t WriteFitIndicesBlock(input::TextOutput& out, const input::Model& model,
                                  const FitIndices& fit, const ClassificationQuality& quality) {
  std::int32_t status = WriteLines(out, FitIndicesLines(fit));
  if (status != kStatusOk || !quality.Defined()) return status;
  status = WriteLines(out, {" CLASSIFICATION QUALITY", "",
                            LabelledLine(" Relative Entropy:",
                                         ValueField(quality.relativeEntropy, kProbabilityDecimals)),
                            "", ""});
  if (status == kStatusOk && !quality.classAverage.empty()) {
    status = WriteLines(out, ClassAverageLines(model, quality.classAverage));
  }
  if (status == kStatusOk && !quality.statusAverage.empty()) {
    status = WriteLines(out, StatusAverageLines(model, quality.statusAverage));
  }
  return status;
}

std::int32_t WriteIdentificationWarning(input::TextOutput& out, std::int32_t directions) {
  return WriteLines(out, {"  ****WARNING: THE MODEL IS NOT LOCALLY IDENTIFIED****",
                          "  THE INFORMATION MATRIX AT THE ESTIMATES IS SINGULAR IN " +
                              std::to_string(directions) +
                              (directions == 1 ? " DIRECTION;" : " DIRECTIONS;"),
                          "  NO STANDARD ERRORS ARE REPORTED.", ""});
}

std::int32_t WriteStandardErrorsSkipped(input::TextOutput& out, std::int32_t limit) {
  return WriteLines(out, {"  NOTE: MORE THAN " + std::to_string(limit) +
                              " ESTIMATED PARAMETERS: NO STANDARD ERRORS AND NO",
                          "  CHECK OF IDENTIFICATION ARE COMPUTED.",
                          ""});
}

}  // namespace kov::report
