// Starting values as the engine will take them: every probability vector of a starting-value grid
// must hold numbers from 0 to 1 that sum to one (within 0.01, summed in single precision as the
// engine sums them). The editor checks this before a run and can fill the vectors for a new model.
#pragma once

#include <QStringList>

#include <cstdint>

#include "grid_base.h"

namespace kov::grids {

// What is wrong with one vector ("a value is missing", "the values sum to 0.8, not 1"); empty
// when the engine will take it.
QString VectorProblem(const GridBase::ProbabilityVector& vector);

// One line for each vector the engine would refuse, naming the table and the row:
// "Tau starting value, row LS 2 (class LC 1, time 1x2): the values sum to 0.9, not 1".
QStringList FindStartValueProblems(const GridHost& host);

enum class FillKind {
  kEqual,   // the free share of each row spread evenly
  kRandom,  // random rows, drawn from the seed
};

// Writes every starting value that is not fixed: fixed entries (restriction 0) keep their value
// and the rest of the row shares what they leave of one; entries tied by an equality code take
// the same value throughout their table. Returns the number of cells that changed.
int FillStartValues(GridHost& host, FillKind kind, std::uint32_t seed = 0);

// Whether any starting value that the fill would write already holds a value.
bool HasTypedStartValues(const GridHost& host);

}  // namespace kov::grids
