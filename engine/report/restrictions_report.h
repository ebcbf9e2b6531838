// The list of restriction codes that an EM or data-augmentation run prints before it
// estimates, so that the user can check which parameters are fixed, free or tied. It shows the
// codes as the control file gave them, before the second and later members of an equality
// class are marked negative.
//
// The grids are those of the parameter tables, with codes in place of probabilities:
// - every code sits right-aligned in the 5-character cell of the probability it restricts, so
//   the tables read alike; a code with more digits than its cell (gamma: 3 columns) is printed
//   whole and pushes the rest of its row to the right, because a code the user cannot read
//   defeats the purpose of the list;
// - tau grids keep the labels spelled downwards above "|" bars, as in the tau parameter table,
//   rather than a line of cut or horizontal labels: every cell stands under its full label
//   whatever the label's length, and the layout is the same for single-status and pair rows;
// - delta codes exist for occasion 1 only; the columns of occasions 2 to T show the centred "-"
//   that the parameter tables use for an entry that does not apply.
#pragma once

#include <cstdint>

#include "base/text_output.h"
#include "input/model.h"

namespace kov::report {

// The heading and the tables of little rho and big rho (with their latent variable), gamma
// (with latent classes), delta and tau (with latent statuses). Returns kStatusOk or the status
// of the first failed write, after which nothing more is written.
std::int32_t WriteRestrictionsReport(input::TextOutput& out, const input::Model& model,
                                     const input::RestrictionSet& codes);

}  // namespace kov::report
