// The comparison of an enumeration: one row per model size, read from the results file of each
// size's run, written as JSON and as CSV for scripts and spreadsheets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/text_output.h"

namespace kov::report {

// The columns of both files, in order; a public interface that changes only by adding.
inline constexpr const char* kCompareKeys[] = {"size",
                                               "loglik",
                                               "npar",
                                               "df",
                                               "G2",
                                               "p_G2",
                                               "AIC",
                                               "BIC",
                                               "aBIC",
                                               "CAIC",
                                               "entropy",
                                               "smallest_share",
                                               "best_replicated",
                                               "blrt_p"};

// A figure the run did not produce is empty (null in JSON, an empty field in CSV).
struct CompareRow {
  std::int32_t size = 0;
  std::optional<double> loglik, npar, df, gSquared, pGSquared, aic, bic, adjustedBic, caic, entropy,
      smallestShare, blrtP;
  std::optional<bool> bestReplicated;
};

// Fills the row from a results file (its size is left alone). statusShares: the smallest share
// is that of a status at the first occasion, else that of a class. False when the file cannot
// be read or parsed.
bool ReadCompareRow(const std::string& resultsPath, bool statusShares, CompareRow* row);

// kind is "classes" or "statuses". kStatusOk or the write status.
std::int32_t WriteCompareJson(input::TextOutput& out, const std::string& kind,
                              std::int32_t bootstrapSamples, const std::vector<CompareRow>& rows);
std::int32_t WriteCompareCsv(input::TextOutput& out, const std::vector<CompareRow>& rows);

}  // namespace kov::report
