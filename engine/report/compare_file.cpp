#include "compare_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

#include <nlohmann/json.hpp>

#include "base/result_codes.h"

namespace kov::report {

namespace {

using nlohmann::json;

std::optional<double> NumberAt(const json& document, const char* key) {
  const auto found = document.find(key);
  if (found == document.end() || !found->is_number()) return std::nullopt;
  return found->get<double>();
}

// Class shares are gamma; a status's share at the first occasion weighs each class's delta by
// the class's share (one class, without gamma, weighs 1).
std::optional<double> SmallestShare(const json& estimates, bool statusShares) {
  const json* gamma = estimates.contains("gamma") ? &estimates["gamma"] : nullptr;
  std::vector<double> shares;
  if (statusShares) {
    if (!estimates.contains("delta")) return std::nullopt;
    const json& delta = estimates["delta"];
    for (std::size_t c = 0; c < delta.size(); ++c) {
      const double weight = gamma != nullptr && c < gamma->size() && (*gamma)[c].is_number()
                                ? (*gamma)[c].get<double>()
                                : 1.0;
      for (std::size_t s = 0; s < delta[c].size(); ++s) {
        if (shares.size() <= s) shares.resize(s + 1, 0.0);
        if (delta[c][s].is_number()) shares[s] += weight * delta[c][s].get<double>();
      }
    }
  } else if (gamma != nullptr) {
    for (const json& value : *gamma) {
      if (value.is_number()) shares.push_back(value.get<double>());
    }
  }
  if (shares.empty()) return std::nullopt;
  return *std::min_element(shares.begin(), shares.end());
}

// Numbers at full precision, so that a script reads back the doubles the run computed.
std::string CsvNumber(const std::optional<double>& value) {
  if (!value || !std::isfinite(*value)) return {};
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", *value);
  return text;
}

json JsonNumber(const std::optional<double>& value) {
  return value && std::isfinite(*value) ? json(*value) : json(nullptr);
}

std::vector<json> RowValues(const CompareRow& row) {
  return {row.size,
          JsonNumber(row.loglik),
          JsonNumber(row.npar),
          JsonNumber(row.df),
          JsonNumber(row.gSquared),
          JsonNumber(row.pGSquared),
          JsonNumber(row.aic),
          JsonNumber(row.bic),
          JsonNumber(row.adjustedBic),
          JsonNumber(row.caic),
          JsonNumber(row.entropy),
          JsonNumber(row.smallestShare),
          row.bestReplicated ? json(*row.bestReplicated) : json(nullptr),
          JsonNumber(row.blrtP)};
}

}  // namespace

bool ReadCompareRow(const std::string& resultsPath, bool statusShares, CompareRow* row) {
  std::ifstream in(resultsPath);
  if (!in) return false;
  const json document = json::parse(in, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded() || !document.is_object()) return false;
  row->loglik = NumberAt(document, "loglik");
  row->npar = NumberAt(document, "npar");
  row->df = NumberAt(document, "df");
  row->gSquared = NumberAt(document, "G2");
  row->pGSquared = NumberAt(document, "p_G2");
  row->aic = NumberAt(document, "AIC");
  row->bic = NumberAt(document, "BIC");
  row->adjustedBic = NumberAt(document, "aBIC");
  row->caic = NumberAt(document, "CAIC");
  row->entropy = NumberAt(document, "entropy");
  if (const auto found = document.find("best_replicated");
      found != document.end() && found->is_boolean()) {
    row->bestReplicated = found->get<bool>();
  }
  if (const auto found = document.find("estimates"); found != document.end()) {
    row->smallestShare = SmallestShare(*found, statusShares);
  }
  return true;
}

std::int32_t WriteCompareJson(input::TextOutput& out, const std::string& kind,
                              std::int32_t bootstrapSamples, const std::vector<CompareRow>& rows) {
  json list = json::array();
  for (const CompareRow& row : rows) {
    const std::vector<json> values = RowValues(row);
    json object = json::object();
    for (std::size_t k = 0; k < values.size(); ++k) object[kCompareKeys[k]] = values[k];
    list.push_back(std::move(object));
  }
  const json document = {
      {"kind", kind}, {"bootstrap_samples", bootstrapSamples}, {"rows", std::move(list)}};
  return out.WriteLine(document.dump(2, ' ', false, json::error_handler_t::replace));
}

std::int32_t WriteCompareCsv(input::TextOutput& out, const std::vector<CompareRow>& rows) {
  std::string header;
  for (const char* key : kCompareKeys) header += (header.empty() ? "" : ",") + std::string(key);
  std::int32_t status = out.WriteLine(header);
  for (const CompareRow& row : rows) {
    if (status != kStatusOk) break;
    const std::optional<double> numbers[] = {
        row.loglik, row.npar,        row.df,   row.gSquared, row.pGSquared,    row.aic,
        row.bic,    row.adjustedBic, row.caic, row.entropy,  row.smallestShare};
    std::string line = std::to_string(row.size);
    for (const auto& number : numbers) line += "," + CsvNumber(number);
    line += "," + std::string(row.bestReplicated ? (*row.bestReplicated ? "true" : "false") : "");
    line += "," + CsvNumber(row.blrtP);
    status = out.WriteLine(line);
  }
  return status;
}

}  // namespace kov::report
