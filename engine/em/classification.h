// How clearly an estimated model places the subjects: the posterior probabilities of each
// latent variable's values, their relative entropy and the average posterior probability of
// each modal value.
#pragma once

#include "estep.h"
#include "input/model.h"
#include "missingness.h"
#include "report/fit_report.h"

namespace kov::em {

// Classifies every subject on each latent variable with two values or more: the class (with
// class items) and the status at each occasion (with status items), each on its own. The
// statuses are taken occasion by occasion, as a user assigns them, rather than the class and
// status sequence as one variable: its C x S^T values would make the entropy grow with the
// number of occasions and say little about the assignments actually made.
//
// The posterior of value v given pattern y is P(y, v) / sum over v' of P(y, v'). P(y, v) is
// the pattern probability under the values with every other value made impossible: the other
// classes' gamma set to 0, or at occasion t the other statuses' big rho rows set to 0 (no
// response, and no missing one, can come from them). One E-step pass per value: linear in the
// patterns. The E-step is left set to other values; its caller sets its own again.
report::ClassificationQuality ClassifySubjects(EStep& estep, const input::ModelDimensions& dims,
                                               const input::ParameterSet& values,
                                               const GroupedPatterns& grouped);

}  // namespace kov::em
