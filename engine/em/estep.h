// The E-step: expected counts of the latent variables and the responses, given the parameters.
//
// Computed with forward-backward recursions over the occasions (for a second-order process over
// pairs of statuses), so the cost per pattern grows with C x T x S^(order+1), never with the
// C x S^T cells of the latent table. Missing responses are summed out where they stand: a
// missing item contributes the sum of its response probabilities over its own categories (1 for
// a row that sums to one) to the probability of the observed part, and its expected response
// counts are spread in proportion to rho. The counts equal those defined over the full latent
// table and the complete contingency table.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "input/model.h"
#include "missingness.h"
#include "base/block_pool.h"

namespace kov::em {

// Expected counts in the index orders of the parameter arrays (0-based, first index fastest).
struct ExpectedCounts {
  double total = 0.0;                     // N, the sum of all frequencies
  std::vector<double> classCounts;        // E(c); N for the single class of a model without one
  std::vector<double> statusMargins;      // m(c, s, t), shape DeltaShape
  std::vector<double> transitionCounts;   // tau row r -> status j in class c, shape TauShape
  std::vector<double> littleRhoCounts;    // (k, i, c), shape LittleRhoShape
  std::vector<double> bigRhoCounts;       // (k, i, s, c, t), shape BigRhoShape
};

// The work arrays of the recursions, sized once per run from the model; Run allocates nothing
// once the counts and probabilities have their sizes.
//
// Without status items the latent process has one occasion: the status margins of later
// occasions stay 0 and DeriveOccasionPrevalences leaves delta alone. With one status the joint
// prior is GAMMA alone (DELTA and TAU enter as 1).
//
// The recursions are scaled by powers of two (scaling.h): class factors, emissions, forward and
// backward messages each carry a binary exponent, so that no pattern probability underflows
// whatever the number of items, and a pattern whose products stay in range gets exactly the
// values of unscaled recursions.
class EStep {
 public:
  // The per-pattern work arrays and the accumulators of one run over a block of patterns. A
  // block may be given its own Work, so that blocks can run side by side and their counts be
  // added in block order; its arrays share no cache line with another block's.
  struct Work {
    run::BlockVector<double> classFactor;  // c, scaled by 2^classExponent[c]
    run::BlockVector<int> classExponent;   // c
    run::BlockVector<double> emission;     // ((c, t), s): emissions computed for one pattern
    // The emissions the recursions use, per (c, t): the pattern's own above, or the row of its
    // occasion's code in the run's table; scaled by 2^emissionExponent[(c, t)].
    run::BlockVector<const double*> emissionRow;
    run::BlockVector<int> emissionExponent;  // (c, t)
    run::BlockVector<int> statusExponent;    // s: the exponents of one occasion's products
    run::BlockVector<double> alpha;          // ((c, t), state), scaled by 2^alphaExponent[(c, t)]
    run::BlockVector<int> alphaExponent;     // (c, t)
    run::BlockVector<double> classProbability;  // c: P(pattern, c) scaled by 2^patternExponent
    run::BlockVector<double> classPosterior;    // c: the class terms times n / P
    int patternExponent = 0;
    run::BlockVector<double> beta, betaNext, scaled, pairPosterior, posterior;
    run::BlockVector<double> origin;  // 3 S: a backward step's origin factors, sums and terms
    run::BlockVector<const double*> itemRows;  // per status item: its response's row of rho
    // The status responses (or their codes) whose emissions and forward messages a class's
    // arrays hold, so that the next pattern recomputes them only from its first occasion that
    // differs (sorted patterns share their first occasions). Valid only where known[c].
    run::BlockVector<std::int32_t> knownResponses;  // (c, (t, i))
    run::BlockVector<std::int32_t> knownCodes;      // (c, t)
    run::BlockVector<char> known;                   // c

    // Accumulators, in the layouts of the parameters below.
    run::BlockVector<double> classCount;
    run::BlockVector<double> marginCount;     // ((c, t), s)
    run::BlockVector<double> tauCount;        // per class, in the layout of m_tauForward
    run::BlockVector<double> classRhoCount;   // ((j, y - 1), c)
    run::BlockVector<double> statusRhoCount;  // ((((c, t), i), y - 1), s)
    // The block's part of the run's code posteriors: ((place in the block's list, c), s).
    double* codePosterior = nullptr;
    run::BlockVector<double> spreadCopies;  // kSpreadCopies copies of statusRhoCount
    run::BlockVector<double> codeSum;       // one code's posteriors, (c, s)

    // The recursions of four patterns side by side (estep_lanes.cpp): each entry below is four
    // doubles or ints, one a lane.
    run::BlockVector<double> laneAlpha;          // ((c, t), state)
    run::BlockVector<int> laneAlphaExponent;     // (c, t)
    run::BlockVector<double> laneEmission;       // ((c, t), s)
    run::BlockVector<int> laneEmissionExponent;  // (c, t)
    run::BlockVector<double> laneFactor;         // c
    run::BlockVector<int> laneFactorExponent;    // c
    run::BlockVector<double> laneClass;          // c: the class terms
    run::BlockVector<int> laneTermExponent;      // c
    run::BlockVector<double> laneK;              // c: weight x class factor
    run::BlockVector<int> laneKExponent;         // c
    run::BlockVector<double> laneStates;         // five arrays of one occasion's states
    run::BlockVector<double> laneTauCount;       // ((c, row), j), without TAU
    run::BlockVector<const double*> laneRows;    // t: each lane's row of the emission table
    run::BlockVector<int> laneRowExponent;       // t
  };

  // What a block adds to the run's totals.
  struct BlockSums {
    double frequency = 0.0;      // sum of n_q
    double logLikelihood = 0.0;  // sum of n_q ln P(q) over P(q) > 0, n_q > 0
  };

  static constexpr std::size_t kSpreadCopies = 4;

  // threads: those its runs over several blocks may use, the caller's own among them (0: the
  // engine's count). The counts are the same for any number.
  explicit EStep(const input::Model& model, std::int32_t threads = 0);

  // Accumulates the expected counts of every pattern and stores the probability of each
  // pattern's observed part in probabilities[q] (sorted order) and its natural logarithm in
  // logProbabilities[q] (minus infinity for probability 0). The logarithm is computed without
  // underflow: a pattern of many items may have a probability that is 0 as a double and a
  // finite logarithm, and its expected counts are added all the same. A pattern whose
  // probability is 0 adds nothing. Any output may be null: with counts null only the
  // probabilities are computed. With logProbabilities given, returns the log-likelihood sum
  // n_q ln P(q) over the patterns with P(q) > 0 and n_q > 0; without, the logarithms are not
  // taken (an EM iteration needs none) and the result is not a number.
  double Run(const input::ParameterSet& values, const GroupedPatterns& grouped,
             ExpectedCounts* counts, std::vector<double>* probabilities,
             std::vector<double>* logProbabilities = nullptr);

  // Work arrays sized for this model, with the accumulators at 0.
  void PrepareWork(Work* work) const;

  // The probability of one pattern's observed part (0 = missing), under the values; 0 when it
  // is below the smallest double.
  double PatternProbability(const input::ParameterSet& values, const std::int32_t* responses);

  // For many probabilities under the same values (the cells of a table): SetParameters once,
  // then Probability per pattern; the result equals PatternProbability's.
  void SetParameters(const input::ParameterSet& values);
  double Probability(const std::int32_t* responses);

 private:
  // The recursions take the number of statuses as kStatuses when it is one of the small counts
  // compiled for (their loops then run on whole vectors), as m_statuses when it is 0.
  //
  // The pattern probability as a value to be multiplied by 2^work.patternExponent.
  // One pattern's recursion, its emissions computed from the responses (Probability's).
  template <int kStatuses>
  double Forward(const std::int32_t* responses, Work& work) const;
  // A model with latent classes only needs no recursion: each class's term is its prevalence
  // times the product of its item probabilities.
  bool ClassesOnly() const { return m_itemOccasions == 0 && m_statuses == 1 && m_occasions == 1; }
  template <int kClasses>
  double ClassTerms(const std::int32_t* responses, Work& work) const;
  double ClassTermsScaled(const std::int32_t* responses, Work& work) const;
  // Scales the class terms to the largest class exponent and returns their sum.
  double CombineClasses(const int* exponents, Work& work) const;
  template <int kStatuses>
  void Emissions(const std::int32_t* responses, std::int32_t c, std::int32_t t,
                 Work& work) const;
  // The product over an occasion's status items y[0..I) of class c at occasion t, per status,
  // into e scaled by 2^*exponent.
  template <int kStatuses>
  void OccasionProduct(const std::int32_t* y, std::int32_t c, std::int32_t t, double* e,
                       int* exponent, Work& work) const;
  void ScaledEmissions(const double* const* rows, double* e, int* exponent, Work& work) const;
  // The emissions of codes [begin, end) of the run's codes into the run's table.
  void TableEmissions(std::size_t begin, std::size_t end, Work& work);
  // The first occasion whose status responses differ from those that class c's arrays hold
  // (m_occasions when none does); records the pattern's responses as the held ones.
  std::int32_t FirstNewOccasion(const std::int32_t* responses, std::int32_t c, Work& work) const;
  // The place of TAU row `row`, destination j, in m_tauForward's layout within one class.
  std::size_t ForwardIndex(std::int32_t row, std::int32_t j) const;
  template <int kClasses>
  void AccumulateClasses(const std::int32_t* responses, double weight, Work& work) const;
  // The posteriors of codes [begin, end), each the sum of its blocks' parts in block order,
  // added to work's status margins and item counts.
  void SpreadCodePosteriors(std::size_t begin, std::size_t end, Work& work) const;
  template <int kStatuses>
  void SpreadCodePosteriorsOf(std::size_t begin, std::size_t end, Work& work) const;
  void AccumulateClassItems(const std::int32_t* responses, std::int32_t c, double posterior,
                            Work& work) const;
  void StoreCounts(double total, const Work& work, ExpectedCounts* counts) const;
  // One block's patterns, in order, under the values of the last SetParameters: their
  // probabilities and logarithms into probabilities[q] and logProbabilities[q] when those are
  // not null (the log-likelihood only with logarithms), and, with accumulate, their expected
  // counts added to work's accumulators.
  struct BlockTask {
    const input::PatternTable* patterns = nullptr;
    std::size_t block = 0, begin = 0, end = 0;
    bool accumulate = false;
    double* probabilities = nullptr;
    double* logProbabilities = nullptr;
  };
  BlockSums RunBlock(const BlockTask& task, Work* work) const;
  // body(b) for every block b, on the pool's threads when there are several.
  void ForEachBlock(std::size_t blocks, const run::BlockPool::Work& body);
  // The patterns of a model with latent classes only, compiled once per instruction set it
  // may use; kClasses is the compiled number of classes (0: read at run time).
  template <int kClasses>
  BlockSums RunClasses(const BlockTask& task, Work* work) const;
  template <int kClasses>
  __attribute__((target("avx2"))) BlockSums RunClassesWide(const BlockTask& task,
                                                           Work* work) const;
  template <int kClasses>
  BlockSums RunClassesPlain(const BlockTask& task, Work* work) const;

  // The patterns of a model with statuses, four at a time (estep_lanes.cpp).
  void PrepareLanes(Work* work) const;
  BlockSums RunStatusBlock(const BlockTask& task, Work* work) const;
  template <int kStatuses>
  BlockSums RunLanes(const BlockTask& task, Work* work) const;
  template <int kStatuses>
  __attribute__((target("avx2"))) BlockSums RunLanesWide(const BlockTask& task,
                                                         Work* work) const;
  template <int kStatuses>
  BlockSums RunLanesPlain(const BlockTask& task, Work* work) const;
  template <int kStatuses>
  void GatherEmissions(std::int32_t c, const double* const* rows, const int* exponents,
                       Work& work) const;
  // Leaves the four lanes' class terms of class c in work.laneClass.
  template <int kStatuses>
  void ForwardLanes(std::int32_t c, Work& work) const;
  template <int kStatuses>
  void BackwardLanes(std::int32_t c, const double* k, const int* kExponent,
                     const std::int32_t* const* locals, const std::int32_t* const* responses,
                     Work& work) const;
  void FoldLaneTransitions(Work* work) const;

  input::ModelDimensions m_dims;
  std::vector<std::int32_t> m_categories;  // per item of a pattern

  std::int32_t m_classes = 1;          // C
  std::int32_t m_statuses = 1;         // S
  std::int32_t m_classItems = 0;       // J
  std::int32_t m_statusItems = 0;      // I
  std::int32_t m_itemOccasions = 0;    // occasions whose status items a pattern holds
  std::int32_t m_occasions = 1;        // occasions of the latent process, at least 1
  bool m_secondOrder = false;          // a second-order process with at least 2 occasions
  std::int32_t m_stateStride = 1;      // states per occasion in the recursion: S or S x S
  std::int32_t m_rows = 0;             // transition rows the recursion walks
  std::int32_t m_tableRows = 0;        // R, the rows that TAU holds
  std::int32_t m_classCategories = 0;  // Kc
  std::int32_t m_statusCategories = 0; // Ks

  // The values laid out for the recursion, with the status index contiguous. Response tables
  // keep slot 0 for a missing response: the sum of the row over the item's own categories.
  std::vector<double> m_gamma;            // c
  std::vector<double> m_delta;            // (c, s) as c * S + s
  std::vector<double> m_tau;              // ((c, row), j)
  // TAU again, each transition's block transposed so that the forward step reads the origins
  // of one destination contiguously: first order (d, a), second order ((b, d), a) for row
  // (a, b) of the block; the first S rows of a second-order process as in first order.
  std::vector<double> m_tauForward;
  std::vector<double> m_classRho;         // ((c, j), y), y = 0..Kc
  std::vector<double> m_classRhoByClass;  // ((j, y), c): the classes of one response side by side
  std::vector<double> m_classSpread;      // ((c, j), y - 1): rho over its row sum
  std::vector<double> m_statusRho;        // ((((c, t), i), y), s), y = 0..Ks
  std::vector<double> m_statusSpread;     // ((((c, t), i), y - 1), s)

  // The occasion codes of the table being run (its own, or numbered here for a table made
  // without them) and the emissions of every code: ((code, c), s) scaled by
  // 2^m_codeExponent[(code, c)].
  const OccasionCodes* m_codes = nullptr;
  OccasionCodes m_ownCodes;
  std::vector<double> m_codeEmission;
  std::vector<int> m_codeExponent;
  // The posteriors of each block's codes, ((entry of blockCodes, c), s).
  std::vector<double> m_codePosterior;

  Work m_work;  // Run's and Probability's
  // Run splits the patterns into fixed blocks (their number depends on the patterns alone),
  // each with its own Work, and adds the blocks' sums in block order: the counts are the same
  // for any number of threads.
  std::vector<Work> m_blockWork;
  std::int32_t m_threads = 0;
  std::unique_ptr<run::BlockPool> m_pool;
};

// The derived status prevalences of occasions 2..T in delta: for each class c, status s and
// occasion t, the sum of the joint prior over all sequences with s at t, divided by GAMMA(c)
// (not a number when GAMMA(c) is 0, as that quotient is).
void DeriveOccasionPrevalences(const input::ModelDimensions& dims, input::ParameterSet* values);

}  // namespace kov::em
