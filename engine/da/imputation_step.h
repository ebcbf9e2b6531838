// The imputation step of data augmentation: every subject's latent class and latent statuses
// drawn from their posterior given the subject's responses and the current parameters, and the
// completed-data counts that the posterior step turns into new parameters.
//
// The latent table of a pattern (class slowest, then the status at occasion 1, 2, ..., T, the
// status of the last occasion fastest) is never built. Walking its cells in that order with one
// uniform u, and taking the first cell whose running sum of P(pattern, cell) / P(pattern)
// exceeds u, picks the same cell as drawing the class from P(class | pattern), then the status
// at occasion 1 from P(s1 | class, pattern), then s2 from P(s2 | class, s1, pattern), and so
// on, each level by the same walk over its own
// conditional probabilities with u rescaled to its place inside the interval just chosen:
// u' = (u - running sum before the chosen cell) / (the chosen cell's probability). The
// conditionals come from forward and backward recursions over the occasions (for a
// second-order process over pairs of statuses), so a pattern costs C x T x S^(order+1) and a
// subject C + T x S, whatever the size of the latent table. The two walks agree except where u
// lies within rounding of a boundary between cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "completed_data.h"
#include "em/estep.h"
#include "input/data_file.h"
#include "input/model.h"
#include "uniform.h"

namespace kov::run {
class BlockPool;
}  // namespace kov::run

namespace kov::da {

// The latent values of one subject, 0-based: the class, and a status per occasion of the latent
// process.
struct LatentCell {
  std::int32_t latentClass = 0;
  std::vector<std::int32_t> statuses;
};

// The most cells a latent table may have in data augmentation: a subject's cell is tallied by
// its number in the table, which must fit in 63 bits.
inline constexpr std::uint64_t kMaxLatentCells = std::uint64_t{1} << 63;

// True when the latent table of the model, C x S^T cells (T the occasions of the latent
// process, 1 without status items), has at most kMaxLatentCells cells.
bool LatentCellsCountable(const input::ModelDimensions& dims);

// The cells of a latent table numbered in table order: class c with statuses s_1 .. s_T is cell
// c S^T + s_1 S^(T-1) + ... + s_T. Exact while the table has at most kMaxLatentCells cells.
class LatentCellNumbering {
 public:
  LatentCellNumbering(std::int32_t statuses, std::int32_t occasions);

  std::uint64_t Index(std::int32_t latentClass, const std::int32_t* statuses) const;
  // The class of cell `index`; its statuses go to statuses[0, occasions).
  std::int32_t Decode(std::uint64_t index, std::int32_t* statuses) const;

 private:
  std::uint64_t m_statuses = 1;
  std::int32_t m_occasions = 1;
};

// The number of subjects a pattern of this frequency stands for: the frequency rounded to the
// nearest whole number (halves away from zero); 0 for a frequency that is not positive. A
// frequency beyond the 64-bit range gives the largest 64-bit number.
std::int64_t SubjectsOf(double frequency);

// The most subjects one pattern may stand for in data augmentation: the period of the uniform
// stream. The subjects of a pattern draw consecutive uniforms; past the period the stream comes
// round again, and later subjects would repeat the draws of earlier ones instead of drawing
// their own.
inline constexpr std::int64_t kMaxPatternSubjects = kGeneratorPeriod;

// The next n uniforms of the engine's generator into out[0, n), and the generator left after
// them: exactly what n calls of NextUniform(0) give, by 64-bit arithmetic instead of the 32-bit
// splitting (the same residue for every state from 1 to 2^31 - 2; any other state takes the
// calls themselves).
void DrawUniforms(float* out, std::size_t n);

// The longest run of patterns from `begin` (before `count`) whose uniforms, uniformsOf(p) for
// pattern p, fit one group of at most `limit`: returns its end, and leaves each pattern's first
// uniform in *first, followed by the group's total.
template <typename UniformsOf>
std::int32_t GroupOfPatterns(std::int32_t begin, std::int32_t count, std::uint64_t limit,
                             UniformsOf uniformsOf, std::vector<std::size_t>* first) {
  std::uint64_t subjects = 0;
  std::int32_t end = begin;
  first->clear();
  while (end < count) {
    const std::uint64_t more = uniformsOf(end);
    if (subjects + more > limit) break;
    first->push_back(static_cast<std::size_t>(subjects));
    subjects += more;
    ++end;
  }
  first->push_back(static_cast<std::size_t>(subjects));
  return end;
}

// True when no frequency of the table stands for more than kMaxPatternSubjects subjects.
bool SubjectsFitTheDraws(const input::PatternTable& patterns);

// Asks whether the run is to be aborted once every 2^16 subjects that one step draws: the
// question takes a lock, which costs far more than one subject's draw, while 2^16 draws take a
// few milliseconds. A step of fewer subjects never asks, and leaves the question to the chain.
class AbortCheck {
 public:
  static constexpr std::uint64_t kSubjectsPerQuestion = std::uint64_t{1} << 16;

  // Counts `subjects` more draws; true when the count reached a question and an abort was
  // requested.
  bool Drawn(std::uint64_t subjects);

 private:
  std::uint64_t m_sinceQuestion = 0;
};

// The subjects of one pattern counted by the cell of the latent table they were drawn into.
// Open addressing over the cell index: the room taken follows the distinct cells drawn, never
// the number of subjects.
class CellTally {
 public:
  void Add(std::uint64_t cell);
  // The cells counted since the last call and their counts, in increasing cell index; the
  // tally is empty again afterwards.
  const std::vector<std::pair<std::uint64_t, std::uint64_t>>& TakeSorted();

 private:
  struct Slot {
    std::uint64_t cell = 0;
    std::uint64_t count = 0;  // 0: the slot is free
  };
  std::size_t SlotOf(std::uint64_t cell) const;
  void Grow();

  std::vector<Slot> m_slots;  // a power of two of them, at most half in use
  int m_bits = 0;             // log2 of the number of slots
  std::vector<std::size_t> m_used;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> m_sorted;
};

// One level of a nested categorical draw. total is W, the sum of the n weights in order. Walks
// the running sum of weights[i] * (1 / W) and returns the first i with *u below it; *u is then
// rescaled to (*u - the running sum before i) / (weights[i] / W), its place inside cell i, for
// the next level. Cells of weight 0 are never chosen. When *u is not below the final running
// sum (a u of 1.0, or a sum that rounding leaves short of 1) the last cell of positive weight is
// taken, so every subject of a possible pattern gets a cell; *u is then rescaled the same way
// (to 1 or a little above), which sends every later level to its last positive cell as well,
// just as the flat walk would place a u at the top of the interval. Returns n when W is not
// positive or not finite.
std::size_t ChooseAndRescale(const double* weights, std::size_t n, double total, double* u);

// The parameters laid out for the recursions (the status index contiguous), and the forward
// and backward messages of one pattern. Response tables keep slot 0 for a missing response:
// the sum of the row over the item's own categories, so a missing response is summed out.
// Work arrays are sized once, from the model.
class LatentRecursions {
 public:
  explicit LatentRecursions(const input::Model& model);

  void SetParameters(const input::ParameterSet& values);

  // Emissions and backward messages of a pattern (0 = missing response); returns P(pattern),
  // the probability of its observed part, as a value to be multiplied by 2^TotalExponent().
  // The latent draw needs nothing more: each conditional weighs a status by what leads into it
  // (already chosen) and the backward message.
  // With observedEmission, also the emissions of the observed items alone, in the layout of
  // Emission (per class and occasion, S values), each (class, occasion) scaled by
  // 2^observedExponent[(class, occasion)].
  //
  // Every product and message is scaled by powers of two (em/scaling.h), each with the binary
  // exponent its accessor gives: no pattern underflows whatever the number of items, a draw
  // weighs values of one scale against each other only, and where nothing needed rescaling
  // every value and every draw is exactly that of unscaled recursions.
  double Prepare(const std::int32_t* responses, double* observedEmission = nullptr,
                 int* observedExponent = nullptr);
  // The same with the emissions taken from a table of occasion codes (CodeEmissions): codes[t]
  // is the pattern's code at occasion t. The values are those Prepare computes.
  // With own tables (CodeEmissions' observed-only emissions) also the observed emissions, as
  // Prepare gives them.
  double PrepareCoded(const std::int32_t* responses, const std::int32_t* codes,
                      const double* table, const int* tableExponent,
                      const double* ownTable = nullptr, const int* ownTableExponent = nullptr,
                      double* observedEmission = nullptr, int* observedExponent = nullptr);
  // The emissions of every code of the table's occasions, ((code, c), s), each (code, c) scaled
  // by 2^exponent[(code, c)], computed as Prepare computes a pattern's.
  // With own tables, also the emissions of each code's observed items alone.
  void CodeEmissions(const em::OccasionCodes& codes, std::size_t begin, std::size_t end,
                     double* table, int* exponent, double* ownTable = nullptr,
                     int* ownExponent = nullptr);
  double Total() const { return m_total; }
  int TotalExponent() const { return m_totalExponent; }
  // P(pattern, class) of the prepared pattern, on the scale of Total.
  const double* ClassWeights() const { return m_classWeight.data(); }
  // The forward messages of the prepared pattern at occasions 0 .. occasions - 1.
  void Forward(std::int32_t occasions);

  // The cell of the latent table that u falls in, by the nested walk above, after Prepare; the
  // cell's statuses are sized to the occasions (without allocating once they have been).
  // False when the pattern has probability 0 (nothing to choose from).
  bool DrawCell(double u, LatentCell* cell);

  std::int32_t Classes() const { return m_classes; }
  std::int32_t Statuses() const { return m_statuses; }
  std::int32_t ClassItems() const { return m_classItems; }
  std::int32_t StatusItems() const { return m_statusItems; }
  std::int32_t ItemOccasions() const { return m_itemOccasions; }  // occasions with status items
  std::int32_t Occasions() const { return m_occasions; }          // of the latent process, >= 1
  bool SecondOrder() const { return m_secondOrder; }
  std::int32_t MaxStates() const { return m_stateStride; }
  // States of occasion t in the recursion: statuses at occasion 1 (t = 0) and in a first-order
  // process, pairs (previous, current) as previous * S + current otherwise.
  std::int32_t States(std::int32_t t) const { return t == 0 ? m_statuses : m_stateStride; }
  // The categories of item n of a pattern that its rows can hold.
  std::int32_t OwnCategories(std::int32_t item) const { return m_ownCategories[Size(item)]; }

  double Gamma(std::int32_t c) const { return m_gamma[Size(c)]; }
  const double* Delta(std::int32_t c) const { return m_delta.data() + Size(c) * Size(m_statuses); }
  // LITTLE RHO of class item j in class c: slot 0 the row sum, slot y category y.
  const double* ClassRho(std::int32_t c, std::int32_t j) const {
    return m_classRho.data() + (Size(c) * Size(m_classItems) + Size(j)) * Size(m_classSlots);
  }
  // BIG RHO of status item i at occasion t in class c: entry y * S + s for category y (slot 0
  // the row sum) and status s.
  const double* StatusRho(std::int32_t c, std::int32_t t, std::int32_t i) const {
    return m_statusRho.data() + StatusRhoOffset(c, t, i);
  }

  // After Prepare: per class c and latent occasion t, the emission of each status (the product
  // of its status items' probabilities) and the backward message (P of the responses after t
  // given the state at t and c); after Forward, the forward message (P of the responses up to
  // t and the state at t, given c, without the class factor).
  const double* Emission(std::int32_t c, std::int32_t t) const { return m_emissionAt[Slot(c, t)]; }
  const double* Alpha(std::int32_t c, std::int32_t t) const {
    return m_alpha.data() + Slot(c, t) * Size(m_stateStride);
  }
  const double* Beta(std::int32_t c, std::int32_t t) const {
    return m_beta.data() + Slot(c, t) * Size(m_stateStride);
  }
  // P(status responses | c).
  double Dynamic(std::int32_t c) const { return m_dynamic[Size(c)]; }
  // The binary exponents of the values above: GAMMA x the class items' LITTLE RHO of class c,
  // Dynamic(c), and Emission, Alpha and Beta of class c at occasion t.
  int ClassExponent(std::int32_t c) const { return m_classExponent[Size(c)]; }
  int DynamicExponent(std::int32_t c) const { return m_dynamicExponent[Size(c)]; }
  int EmissionExponent(std::int32_t c, std::int32_t t) const { return m_emissionExponent[Slot(c, t)]; }
  int AlphaExponent(std::int32_t c, std::int32_t t) const { return m_alphaExponent[Slot(c, t)]; }
  int BetaExponent(std::int32_t c, std::int32_t t) const { return m_betaExponent[Slot(c, t)]; }

  // The forward step into occasion t >= 1 of class c before the emission of t:
  // current(state at t) = sum over the states at t - 1 of previous x the transition.
  void ForwardStep(std::int32_t c, std::int32_t t, const double* previous, double* current) const;

 private:
  static std::size_t Size(std::int32_t n) { return static_cast<std::size_t>(n > 0 ? n : 0); }
  void Emissions(std::int32_t c, const std::int32_t* responses, double* observedEmission,
                 int* observedExponent);
  // The emissions of status responses y of occasion t in class c into e (S values), with
  // their exponent; own (when not null) gets those of the observed items alone.
  int OccasionEmissions(std::int32_t c, std::int32_t t, const std::int32_t* y, double* e,
                        double* own, int* ownExponent);
  // Backward messages, P(status responses | class) and the class weights, once the emissions
  // of every class are in place.
  double FinishPrepare(const std::int32_t* responses);
  std::size_t Slot(std::int32_t c, std::int32_t t) const {
    return Size(c) * Size(m_occasions) + Size(t);
  }
  std::size_t StatusRhoOffset(std::int32_t c, std::int32_t t, std::int32_t i) const {
    return ((Size(c) * Size(m_itemOccasions) + Size(t)) * Size(m_statusItems) + Size(i)) *
           Size(m_statusSlots) * Size(m_statuses);
  }
  const double* TauRow(std::int32_t c, std::int32_t row) const {
    return m_tau.data() + (Size(c) * Size(m_rows) + Size(row)) * Size(m_statuses);
  }
  void Backward(std::int32_t c);

  input::ModelDimensions m_dims;
  std::vector<std::int32_t> m_ownCategories;  // per item of a pattern
  std::int32_t m_classes = 1;
  std::int32_t m_statuses = 1;
  std::int32_t m_classItems = 0;
  std::int32_t m_statusItems = 0;
  std::int32_t m_itemOccasions = 0;
  std::int32_t m_occasions = 1;
  bool m_secondOrder = false;
  bool m_classesOnly = false;  // one status and no status items: a latent class model
  std::int32_t m_stateStride = 1;
  std::int32_t m_rows = 0;         // transition rows the occasions use
  std::int32_t m_classSlots = 1;   // Kc + 1
  std::int32_t m_statusSlots = 1;  // Ks + 1

  std::vector<double> m_gamma, m_delta, m_tau, m_classRho, m_statusRho;

  std::vector<double> m_classWeight;  // c: P(pattern, class)
  std::vector<double> m_dynamic;      // c: P(status responses | class)
  std::vector<double> m_emission, m_alpha, m_beta;
  // Per (c, t): the emissions in use, m_emission's own or a row of a code table, which is read
  // where it is rather than copied for every pattern.
  std::vector<const double*> m_emissionAt;
  std::vector<int> m_classExponent, m_dynamicExponent;                 // c
  std::vector<int> m_emissionExponent, m_alphaExponent, m_betaExponent;  // (c, t)
  std::vector<int> m_statusExponent, m_ownExponent;                    // s: one occasion's products
  std::vector<double> m_weights;
  // Per status item of an occasion: its response's row of BIG RHO, the observed items first,
  // then the row sums of the missing ones.
  std::vector<const double*> m_itemRows;
  double m_total = 0.0;
  int m_totalExponent = 0;
};

// The emissions of every occasion code of a table, ((code, c), s) with an exponent per
// (code, c), and with own those of each code's observed items alone. Computed in fixed slices
// of the codes, slice b on the recursions recursions(b) (each asked for once on the calling
// thread first, so that it may be made then), on the pool's threads when there are several
// slices.
struct CodeEmissionTable {
  std::vector<double> emission, own;
  std::vector<int> exponent, ownExponent;

  void Compute(const em::OccasionCodes& codes, std::int32_t classes, std::int32_t statuses,
               bool withOwn, const std::function<LatentRecursions&(std::size_t)>& recursions,
               std::unique_ptr<run::BlockPool>* pool);
};

// The latent draw of every subject and the completed-data counts, one iteration at a time.
// Constructed once per run, for a model whose latent table is countable (LatentCellsCountable);
// Run allocates nothing once its arrays have grown to the data.
//
// The subjects' uniforms are drawn from the generator in pattern and subject order, a group of
// at most 2^16 subjects at a time, before any is used; the patterns of a group are then split
// into fixed blocks, drawn on the engine's threads, and their records and counts joined in block
// order. Every subject thus keeps the uniform it would have had one after the other, and the
// files of a run do not depend on the number of threads.
class ImputationStep {
 public:
  explicit ImputationStep(const input::Model& model);
  ~ImputationStep();

  // For each pattern in order and each of its subjects (the frequency rounded): one uniform,
  // then the latent cell by the nested walk. A pattern of frequency 0 draws nothing; a pattern
  // of probability 0 draws its uniforms but places nobody. Fills *completed with the patterns
  // and, pattern by pattern, a record for every cell that received subjects, in latent-table
  // order; fills *counts from the records (TallyCompletedCounts). The patterns should be
  // complete (the missing-response draw comes first); a missing response is summed out of the
  // latent draw and adds to no response count. Returns false, with *completed and *counts
  // unfinished, when an abort was requested during the step (AbortCheck).
  //
  // codes, when given, are the occasion codes of this very table (the table of a run without
  // missing responses, numbered once): each code's emissions are then computed once per step.
  bool Run(const input::ParameterSet& values, const input::PatternTable& patterns,
           CompletedData* completed, em::ExpectedCounts* counts,
           const em::OccasionCodes* codes = nullptr);

 private:
  // The work of one block of patterns: its own recursions, tally and records.
  struct Block {
    explicit Block(const LatentRecursions& prototype);
    LatentRecursions latent;
    CellTally drawn;
    CompletedData records;  // of the block's patterns: records and statuses only
    bool parametersSet = false;
    // The class walk of a model without statuses: its running sums and the subjects per class.
    std::vector<double> running;
    std::vector<std::uint64_t> classSubjects;
    std::vector<std::int32_t> noStatuses;
  };

  // Draws the subjects of patterns [begin, end), whose uniforms start at `uniforms`, and
  // appends the records of each pattern to block->records.
  void DrawPatterns(const input::PatternTable& patterns, std::int32_t begin, std::int32_t end,
                    const float* uniforms, Block* block) const;
  // Draws a group of patterns whose uniforms are in m_uniforms, over the blocks.
  void DrawGroup(const input::PatternTable& patterns, std::int32_t begin, std::int32_t end);
  // One pattern of more subjects than a group holds, on this thread, its uniforms drawn 2^16 at
  // a time. False when an abort was requested.
  bool DrawLargePattern(const input::PatternTable& patterns, std::int32_t p,
                        AbortCheck* abortCheck);
  void AppendRecords(std::int32_t pattern, Block* block) const;
  // The classes of a prepared pattern's subjects in a model without statuses, where a subject's
  // cell is its class, and their records.
  void DrawClasses(std::int32_t pattern, std::int64_t subjects, const float* uniforms,
                   Block* block) const;
  // TallyCompletedCounts over the engine's threads.
  void TallyInBlocks(const CompletedData& data, em::ExpectedCounts* counts);
  Block& BlockAt(std::size_t b);

  // Prepares pattern p in the block's recursions, its emissions from the codes' table when
  // the step has codes.
  void PrepareBlockPattern(const input::PatternTable& patterns, std::int32_t p,
                           Block* block) const;
  void ComputeCodeEmissions();

  input::ModelDimensions m_dims;
  const input::ParameterSet* m_values = nullptr;  // of the running step
  const em::OccasionCodes* m_codes = nullptr;     // of the running step, or none
  CodeEmissionTable m_codeTable;
  LatentRecursions m_latent;                      // laid out, never prepared: the blocks' model
  LatentCellNumbering m_numbering;
  std::vector<std::unique_ptr<Block>> m_blocks;
  std::vector<float> m_uniforms;                  // of one group
  std::vector<std::size_t> m_firstUniform;        // per pattern of the group, and its end
  std::unique_ptr<run::BlockPool> m_pool;
  std::vector<em::ExpectedCounts> m_blockCounts;
  CompletedData* m_completed = nullptr;
};

// The completed-data counts of the records, in the shapes of the parameter arrays: per class
// (GAMMA); per class, status and occasion (DELTA's counts at occasion 1); per class, TAU row and
// destination status; per class item, class and response (LITTLE RHO); per status item, status,
// class, occasion and response (BIG RHO). total is the number of subjects in the records.
void TallyCompletedCounts(const input::ModelDimensions& dims, const CompletedData& data,
                          em::ExpectedCounts* counts);

}  // namespace kov::da
