#include "results_file.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <cctype>
#include <cmath>

#include "input/multi_index.h"
#include "marnel_version.h"

namespace kov::report {

namespace {

using nlohmann::json;

// A number, or null for one that is not a number or not finite (JSON has neither).
json Number(double value) { return std::isfinite(value) ? json(value) : json(nullptr); }

json FileName(const std::string& field) {
  const std::string name = input::TrimRight(field);
  return name.empty() || name == ".." ? json(nullptr) : json(name);
}

json Dimensions(const input::ModelDimensions& d) {
  return {{"classes", d.classes},           {"statuses", d.statuses},
          {"class_items", d.classItems},    {"status_items", d.statusItems},
          {"occasions", d.occasions},       {"order", d.order}};
}

// The arrays the report's tables show: gamma and little rho with class items; delta at
// occasion 1, tau and big rho with status items.
json Estimates(const input::Model& model, const input::ParameterSet& v) {
  const input::ModelDimensions& d = model.dims;
  json estimates = json::object();
  if (d.HasClasses()) {
    const auto rho = input::LittleRhoShape(d);
    json gamma = json::array();
    json littleRho = json::array();
    for (std::int32_t c = 0; c < d.classes; ++c) {
      gamma.push_back(v.gamma[static_cast<std::size_t>(c)]);
      json items = json::array();
      for (std::int32_t i = 0; i < d.classItems; ++i) {
        json categories = json::array();
        for (std::int32_t k = 0; k < model.classItemCategories[static_cast<std::size_t>(i)]; ++k) {
          categories.push_back(v.littleRho[rho(k, i, c)]);
        }
        items.push_back(std::move(categories));
      }
      littleRho.push_back(std::move(items));
    }
    estimates["gamma"] = std::move(gamma);
    estimates["little_rho"] = std::move(littleRho);
  }
  if (d.HasStatuses()) {
    const auto deltaAt = input::DeltaShape(d);
    const auto tauAt = input::TauShape(d);
    const auto rho = input::BigRhoShape(d);
    // The rows of the estimates file: the first transition's, then with three occasions or
    // more those of the later ones.
    const std::int32_t rows = d.occasions >= 3 ? d.TransitionRows() : d.statuses;
    json delta = json::array();
    json tau = json::array();
    json bigRho = json::array();
    for (std::int32_t c = 0; c < d.classes; ++c) {
      json statuses = json::array();
      for (std::int32_t s = 0; s < d.statuses; ++s) statuses.push_back(v.delta[deltaAt(c, s, 0)]);
      delta.push_back(std::move(statuses));
      json transitions = json::array();
      for (std::int32_t r = 0; r < rows; ++r) {
        json row = json::array();
        for (std::int32_t j = 0; j < d.statuses; ++j) row.push_back(v.tau[tauAt(r, j, c)]);
        transitions.push_back(std::move(row));
      }
      tau.push_back(std::move(transitions));
      json occasions = json::array();
      for (std::int32_t t = 0; t < d.OccasionExtent(); ++t) {
        json items = json::array();
        for (std::int32_t i = 0; i < d.statusItems; ++i) {
          json byStatus = json::array();
          for (std::int32_t s = 0; s < d.statuses; ++s) {
            json categories = json::array();
            for (std::int32_t k = 0; k < model.statusItemCategories[static_cast<std::size_t>(i)];
                 ++k) {
              categories.push_back(v.bigRho[rho(k, i, s, c, t)]);
            }
            byStatus.push_back(std::move(categories));
          }
          items.push_back(std::move(byStatus));
        }
        occasions.push_back(std::move(items));
      }
      bigRho.push_back(std::move(occasions));
    }
    estimates["delta"] = std::move(delta);
    estimates["tau"] = std::move(tau);
    estimates["big_rho"] = std::move(bigRho);
  }
  return estimates;
}

json Starts(const std::vector<StartSummary>& starts) {
  json list = json::array();
  for (const StartSummary& start : starts) {
    list.push_back({{"start", start.start},
                    {"seed", start.seed ? json(*start.seed) : json(nullptr)},
                    {"loglik", Number(start.logLikelihood)},
                    {"iterations", start.iterations},
                    {"converged", start.converged}});
  }
  return list;
}

// The average posterior probability of each modal class, and of each modal status per
// occasion ([occasion][status]); absent for a variable with fewer than two values.
json TrimmedLabels(const std::vector<std::string>& labels) {
  json list = json::array();
  for (const std::string& label : labels) list.push_back(input::TrimRight(label));
  return list;
}

json TrimmedLabelLists(const std::vector<std::vector<std::string>>& lists) {
  json list = json::array();
  for (const std::vector<std::string>& labels : lists) list.push_back(TrimmedLabels(labels));
  return list;
}

// The names the control file gives, so that scripts and charts can say "Smoker" for status 2.
json Labels(const input::Model& model) {
  return {{"classes", TrimmedLabels(model.classLabels)},
          {"statuses", TrimmedLabels(model.statusLabels)},
          {"class_items", TrimmedLabels(model.classItemLabels)},
          {"class_categories", TrimmedLabelLists(model.classCategoryLabels)},
          {"status_items", TrimmedLabels(model.statusItemLabels)},
          {"status_categories", TrimmedLabelLists(model.statusCategoryLabels)}};
}

json ModalPosteriors(const input::ModelDimensions& d, const ClassificationQuality& quality) {
  json modal = json::object();
  if (!quality.classAverage.empty()) {
    json classes = json::array();
    for (double value : quality.classAverage) classes.push_back(Number(value));
    modal["classes"] = std::move(classes);
  }
  if (!quality.statusAverage.empty() && d.statuses > 0) {
    json occasions = json::array();
    const auto statuses = static_cast<std::size_t>(d.statuses);
    for (std::size_t first = 0; first + statuses <= quality.statusAverage.size(); first += statuses) {
      json row = json::array();
      for (std::size_t s = 0; s < statuses; ++s) row.push_back(Number(quality.statusAverage[first + s]));
      occasions.push_back(std::move(row));
    }
    modal["statuses"] = std::move(occasions);
  }
  return modal;
}

}  // namespace

std::string ResultsFileName(const std::string& reportName) {
  constexpr std::string_view kReportExtension = ".out";
  if (reportName.size() > kReportExtension.size()) {
    std::string extension = reportName.substr(reportName.size() - kReportExtension.size());
    for (char& ch : extension) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (extension == kReportExtension) {
      return reportName.substr(0, reportName.size() - kReportExtension.size()) + ".json";
    }
  }
  return reportName + ".json";
}

std::int32_t WriteResultsFile(input::TextOutput& out, const input::Model& model,
                              const input::ParameterSet& estimates, const EmResults& results) {
  const std::optional<FitIndices>& fit = results.fit;
  const json null = nullptr;
  json document = {
      {"program_version", MARNEL_VERSION},
      {"run_type", fit ? "EM" : "EM crossvalidation"},
      {"files",
       {{"control", results.controlFile},
        {"data", FileName(model.dataFile)},
        {"report", results.reportFile},
        {"start_values", model.startValuesFromFile ? FileName(model.emStartValuesFile) : null},
        {"estimates", model.writeEstimates ? FileName(model.emEstimatesFile) : null}}},
      {"dimensions", Dimensions(model.dims)},
      {"labels", Labels(model)},
      {"subjects", Number(results.subjects)},
      {"patterns", results.patterns},
      {"iterations", results.iterations},
      {"converged", results.converged},
      {"loglik", Number(results.logLikelihood)},
      {"npar", fit ? json(fit->parameters) : null},
      {"df", fit ? Number(fit->degreesOfFreedom) : null},
      {"G2", Number(results.gSquared)},
      {"X2", fit ? Number(fit->pearson) : null},
      {"p_G2", fit ? Number(fit->gSquaredP) : null},
      {"p_X2", fit ? Number(fit->pearsonP) : null},
      {"AIC", fit ? Number(fit->aic) : null},
      {"BIC", fit ? Number(fit->bic) : null},
      {"aBIC", fit ? Number(fit->adjustedBic) : null},
      {"CAIC", fit ? Number(fit->caic) : null},
      {"entropy", results.quality ? Number(results.quality->relativeEntropy) : null},
      {"modal_posterior",
       results.quality ? ModalPosteriors(model.dims, *results.quality) : json::object()},
      {"starts", Starts(results.starts)},
      {"best_replicated", results.bestReplicated ? json(*results.bestReplicated) : null},
      {"estimates", Estimates(model, estimates)},
      {"identified", results.identified ? json(*results.identified) : null},
      {"non_identified_directions",
       results.identified ? json(results.nonIdentifiedDirections) : null},
      // Same keys and shapes as the estimates; an entry without an error is null.
      {"standard_errors",
       results.standardErrors ? Estimates(model, *results.standardErrors) : null}};
  // File names are bytes of the file system: any that are not UTF-8 are replaced, not refused.
  return out.WriteLine(document.dump(2, ' ', false, json::error_handler_t::replace));
}

bool ReportIsFileOnDisk(const std::string& name) {
  struct stat info {};
  return ::stat(name.c_str(), &info) != 0 || S_ISREG(info.st_mode);
}

std::int32_t WriteDaResultsFile(input::TextOutput& out, const input::Model& model,
                                const DaResults& results) {
  const json null = nullptr;
  const std::int64_t chain =
      static_cast<std::int64_t>(model.imputations) * model.iterationsBetweenImputations;
  json document = {
      {"program_version", MARNEL_VERSION},
      {"run_type", "DA"},
      {"files",
       {{"control", results.controlFile},
        {"data", FileName(model.dataFile)},
        {"report", results.reportFile},
        {"start_values", FileName(model.daStartValuesFile)},
        {"series", FileName(model.seriesFile)},
        {"individual_estimates",
         model.writeIndividualEstimates ? FileName(model.individualEstimatesFile) : null}}},
      {"dimensions", Dimensions(model.dims)},
      {"labels", Labels(model)},
      {"subjects", Number(results.subjects)},
      {"patterns", results.patterns},
      {"imputations", model.imputations},
      {"iterations_between_imputations", model.iterationsBetweenImputations},
      {"iterations", chain},
      {"seed", model.seed},
      {"estimates", Estimates(model, results.estimates)},
      {"standard_errors", Estimates(model, results.standardErrors)},
      {"lower", Estimates(model, results.lowerBounds)},
      {"upper", Estimates(model, results.upperBounds)},
      {"fmi", Estimates(model, results.missingInformation)}};
  return out.WriteLine(document.dump(2, ' ', false, json::error_handler_t::replace));
}

}  // namespace kov::report
