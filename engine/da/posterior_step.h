// The posterior step of data augmentation: new parameter values drawn from their posterior
// given the completed-data counts, under the restrictions (fixed cells, equality groups).
//
// Every probability vector is Dirichlet with parameters count + prior; a fixed cell keeps its
// value and leaves 1 - F (F the sum of the row's fixed values) to the others, and an equality
// group acts as one cell whose mass its members share equally. Rows of one family that share an
// equality group are drawn together, since the group's common value must leave every one of
// them summing to one.
//
// Order of the draws, which fixes the results for a given generator state: GAMMA, LITTLE RHO,
// TAU, DELTA, BIG RHO. GAMMA is one grouped Dirichlet draw (its groups in cell order). Each
// other family is drawn in phases:
//   1. row sums: F(row), the fixed values' sum, and X(row), the posterior parameters of the
//      free cells;
//   2. row links, computed once per run: rows in storage order; a row without a link that holds
//      a cell of code 2 or more opens link D (D = 1, 2, ... in opening order) as its head (+D);
//      then every row without a link that holds any equality code (in either sign) of a row of
//      link D joins it (-D), until no row joins. Rows without equality codes keep 0;
//   3. linked draw, for D = 1, 2, ...: G_free = GammaVariate(sum of X over the link's rows) when
//      that shape is positive, else 0; then for each equality group of the link, in the order
//      of its first cell in the head row (then of its first cell in the link's later rows), G_k
//      = GammaVariate(sum of the posterior parameters of all its cells). With the sum of the
//      draws and M = 1 - F(head row), every cell of group k gets M G_k / (n_k sum), n_k its
//      member count in the head row (in the first row holding it, for a group the head row
//      lacks), and every row of the link has the free mass M G_free / sum;
//   4. free cells, row by row: G_i = GammaVariate(posterior parameter) for each free cell in
//      cell order, and each gets G_i / (their sum) times the row's free mass (1 - F(row) for an
//      unlinked row). A row without free cells draws nothing.
// Rows are the sets of ParameterSets, numbered in the storage order of their first cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "em/estep.h"
#include "input/model.h"
#include "input/restriction_structure.h"
#include "series_file.h"

namespace kov::da {

// The prior count of every cell of every family.
inline constexpr double kPriorCount = 0.5;

// Arrays in the shapes of the parameter arrays, every entry kPriorCount.
input::ParameterSet PriorArrays(const input::ModelDimensions& dims);

// The families whose rows are drawn in phases.
enum class RowFamily { kDelta, kTau, kLittleRho, kBigRho };

class PosteriorStep {
 public:
  // Computes the row links from the run's restriction structure, which must outlive the step.
  explicit PosteriorStep(const input::RestrictionStructure& restrictions);

  // Draws the families in order into *values and returns the five series values: for each
  // drawn family the sum of weight x new value over the family in storage order; 0 for a
  // family the model does not draw. Without class items GAMMA and LITTLE RHO are not drawn and
  // every GAMMA value is set to 1.0; without status items TAU, DELTA and BIG RHO are not drawn.
  // After DELTA the status prevalences of occasions 2 to T are derived again from GAMMA, DELTA
  // and TAU. counts: completed-data counts (DELTA's at occasion 1 of the status margins);
  // priors and weights: shaped like the parameter arrays.
  SeriesValues Run(const em::ExpectedCounts& counts, const input::ParameterSet& priors,
                   const input::ParameterSet& weights, input::ParameterSet* values);

  // The link number of every row of a family: 0 unlinked, +D the head of link D, -D a member.
  const std::vector<std::int32_t>& RowLinks(RowFamily family) const;

 private:
  struct Group {
    std::size_t group = 0;    // in the array's equality groups, whose members are its cells
    std::size_t members = 0;  // n_k
  };
  struct Link {
    std::size_t head = 0;
    std::vector<std::size_t> rows;  // in storage order
    std::vector<Group> groups;
  };
  struct Rows {
    const input::ArrayRestrictions* array = nullptr;
    std::vector<std::int32_t> links;                    // per row
    std::vector<Link> linked;                           // link D at D - 1
    std::vector<double> fixedSum, freeShape, freeMass;  // per row, work of one draw
  };

  static Rows MakeRows(const input::ArrayRestrictions& array);
  void DrawRows(Rows& rows, const std::vector<double>& counts, const std::vector<double>& priors,
                std::vector<double>* values);

  const input::RestrictionStructure& m_restrictions;
  input::ModelDimensions m_dims;
  Rows m_delta, m_tau, m_littleRho, m_bigRho;
  std::vector<double> m_alpha;         // GAMMA's posterior parameters
  std::vector<double> m_gammaWeights;  // GAMMA's series weights, one per class
  std::vector<double> m_draws;         // one row's gamma variates
};

}  // namespace kov::da
