// Small results files written by hand, in the shapes a run writes: a model with classes only,
// a model with statuses and transitions over three occasions (EM, then the same with the
// intervals of data augmentation), and comparisons of sizes in both layouts.
#pragma once

#include <QByteArray>

namespace kov::results::test {

// Two classes, two binary class items; best value reached by one start of three.
inline const QByteArray kClassOnlyEm = R"({
  "run_type": "EM",
  "files": {"report": "lca.out"},
  "dimensions": {"classes": 2, "statuses": 0, "class_items": 2, "status_items": 0, "occasions": 0},
  "loglik": -1234.5, "npar": 5, "df": 10, "G2": 12.25, "X2": 13.5, "p_G2": 0.2687, "p_X2": 0.1968,
  "AIC": 2479, "BIC": 2500.5, "aBIC": 2490.25, "CAIC": 2505.5, "entropy": 0.8125,
  "starts": [{"start": 1, "loglik": -1234.5}, {"start": 2, "loglik": -1240.0}, {"start": 3, "loglik": -1250.0}],
  "best_replicated": false, "identified": true, "converged": true,
  "estimates": {"gamma": [0.25, 0.75],
                "little_rho": [[[0.9, 0.1], [0.8, 0.2]], [[0.3, 0.7], [0.125, 0.875]]]},
  "standard_errors": {"gamma": [0.0125, 0.0125],
                      "little_rho": [[[0.01, 0.01], [null, null]], [[0.02, 0.02], [0.03, 0.03]]]}
})";

// Two classes, two statuses, three occasions; the second transition has rows of its own
// (rows 3 and 4 of tau), so prevalences go through two different matrices.
inline const QByteArray kStatusesEm = R"({
  "run_type": "EM",
  "dimensions": {"classes": 2, "statuses": 2, "class_items": 0, "status_items": 2, "occasions": 3},
  "loglik": -800.0, "npar": 12, "df": 51, "G2": 40.5, "p_G2": 0.85, "AIC": 1624, "BIC": 1680, "aBIC": 1650,
  "CAIC": 1692, "entropy": 0.7, "starts": [], "best_replicated": null, "identified": false, "converged": true,
  "estimates": {
    "delta": [[0.6, 0.4], [0.8, 0.2]],
    "tau": [[[0.9, 0.1], [0.2, 0.8], [0.5, 0.5], [0.5, 0.5]],
            [[1.0, 0.0], [0.0, 1.0], [0.75, 0.25], [0.25, 0.75]]],
    "big_rho": [[[[[0.9, 0.1], [0.2, 0.8]], [[0.7, 0.3], [0.4, 0.6]]]],
                [[[[0.9, 0.1], [0.2, 0.8]], [[0.7, 0.3], [0.4, 0.6]]]]]},
  "standard_errors": null
})";

// The same model from data augmentation: intervals and the fraction of missing information.
inline const QByteArray kStatusesDa = R"({
  "run_type": "DA",
  "dimensions": {"classes": 1, "statuses": 2, "class_items": 0, "status_items": 1, "occasions": 2},
  "estimates": {"delta": [[0.6, 0.4]], "tau": [[[0.9, 0.1], [0.2, 0.8]]],
                "big_rho": [[[[[0.9, 0.1], [0.2, 0.8]]], [[[0.9, 0.1], [0.2, 0.8]]]]]},
  "standard_errors": {"delta": [[0.05, 0.05]], "tau": [[[0.01, 0.01], [0.02, 0.02]]]},
  "lower": {"delta": [[0.5, 0.3]], "tau": [[[0.85, 0.05], [0.15, 0.75]]]},
  "upper": {"delta": [[0.7, 0.5]], "tau": [[[0.95, 0.15], [0.25, 0.85]]]},
  "fmi": {"delta": [[0.125, 0.125]], "tau": [[[0.25, 0.25], [0.5, 0.5]]]}
})";

// Sizes out of order, as rows under an object; then the same rows as a bare array.
inline const QByteArray kCompareObject = R"({"kind": "classes", "rows": [
  {"size": 3, "loglik": -1200, "npar": 11, "df": 4, "G2": 3.5, "AIC": 2422, "BIC": 2480, "aBIC": 2445,
   "CAIC": 2491, "entropy": 0.81, "smallest_share": 0.12, "best_replicated": true, "blrt_p": 0.04},
  {"size": 1, "loglik": -1300, "npar": 3, "df": 12, "G2": 203.5, "AIC": 2606, "BIC": 2622, "aBIC": 2612,
   "CAIC": 2625, "entropy": null, "smallest_share": 1, "best_replicated": true, "blrt_p": null},
  {"size": 2, "loglik": -1210, "npar": 7, "df": 8, "G2": 23.5, "AIC": 2434, "BIC": 2471, "aBIC": 2449,
   "CAIC": 2478, "entropy": 0.9, "smallest_share": 0.3, "best_replicated": false, "blrt_p": 0.001}]})";

inline QByteArray CompareArray() {
  QByteArray text = kCompareObject;
  text = text.mid(text.indexOf('['));
  return text.left(text.lastIndexOf(']') + 1);
}

}  // namespace kov::results::test
