// The draw of missing item responses that starts a data-augmentation iteration when the data
// have them: every subject's missing responses replaced by a completion drawn from its
// distribution given the subject's observed responses and the current parameters, the latent
// variables summed out.
//
// The completions of a pattern are ordered lexicographically over its missing items in pattern
// order: the first missing item varies slowest, the last fastest. One uniform u per subject
// picks the completion whose interval of running sums P(completion) / P(observed part) holds
// u. The completions are never enumerated: the items are drawn one after the other in that
// order, item m from P(item m = k | observed responses, the items drawn before m), each by a
// walk over its categories with u rescaled inside the interval just chosen (ChooseAndRescale),
// which picks the same completion as the walk over all of them except where u lies within
// rounding of a boundary. A class item's conditional needs the class weights only; a status
// item's needs the forward message up to its occasion, carried along with the items drawn so
// far, and the pattern's backward message, which items drawn at or before its occasion leave
// unchanged.
//
// The subjects of a pattern go down this tree of partial completions together: their uniforms,
// drawn in subject order, are sorted, so that at every node the subjects of each category are
// a contiguous run (rescaling keeps a run sorted). A node's weights and forward message are
// computed once for all its subjects, and each subject's path is still decided by its own u
// exactly as a walk of its own would decide it. So a pattern costs one backward pass plus the
// forward steps of the distinct partial completions its subjects reach, never more than one
// forward pass per subject. A pattern of many subjects goes down the tree in batches of 2^16
// consecutive uniforms, and the counts of its completions are added up over the batches, so
// that its room follows the distinct completions drawn rather than its frequency.
//
// The uniforms of the other patterns are drawn from the generator in pattern and subject order,
// a group of at most 2^16 subjects at a time, before any is used; the patterns of a group are
// split into fixed blocks that go down their trees on the engine's threads, and the blocks'
// completions are joined in block order. Every subject keeps the uniform it would have had one
// after the other, and the completed table does not depend on the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "imputation_step.h"
#include "input/data_file.h"
#include "input/model.h"

namespace kov::run {
class BlockPool;
}  // namespace kov::run

namespace kov::da {

// Constructed once per run; its work arrays are sized from the model and keep their room
// between iterations.
class MissingResponseDraw {
 public:
  explicit MissingResponseDraw(const input::Model& model);
  ~MissingResponseDraw();

  // Completes the observed patterns (0 = missing) into *completed. Patterns with no missing
  // response keep their frequencies and draw nothing. Every other pattern, in order, draws one
  // uniform for each of its subjects (the frequency rounded to the nearest whole number) and
  // contributes a complete pattern of frequency 1 for each; a subject whose observed part has
  // probability 0 under the parameters has no completion and is left out of the iteration.
  // The result holds each distinct complete pattern once, with the summed frequency, in
  // increasing order of its complete cell index (the last item most significant). Returns
  // false, with *completed left unfinished, when an abort was requested during the draw
  // (AbortCheck).
  //
  // codes, when given, are the occasion codes of this very table (numbered once per run): each
  // code's emissions are then computed once per draw instead of once per pattern.
  bool DrawMissingResponses(const input::ParameterSet& values, const input::PatternTable& observed,
                            input::PatternTable* completed,
                            const em::OccasionCodes* codes = nullptr);

  // The same one pattern at a time: SetParameters, then Prepare a pattern (returns the
  // probability of its observed part), then DrawCompletion with a subject's u writes the
  // completed responses (all N items) and returns false when there is nothing to draw from.
  void SetParameters(const input::ParameterSet& values);
  double Prepare(const std::int32_t* responses);
  bool DrawCompletion(double u, std::int32_t* completed);

 private:
  // One missing item of the prepared pattern: a level of the tree.
  struct Level {
    std::int32_t item = 0;       // position in the pattern
    std::int32_t occasion = -1;  // -1 for a class item
    std::int32_t index = 0;      // the class item, or the status item within its occasion
  };

  std::size_t Size(std::int32_t n) const { return static_cast<std::size_t>(n > 0 ? n : 0); }
  // The emissions of every occasion code of the draw's table, full and of the observed items
  // alone, which the blocks read.
  struct CodeTables {
    const em::OccasionCodes* codes = nullptr;
    const double* emission = nullptr;
    const int* exponent = nullptr;
    const double* own = nullptr;
    const int* ownExponent = nullptr;
  };
  // Prepares pattern p of the table, from the code tables when the draw has them.
  void PreparePattern(const input::PatternTable& observed, std::int32_t p);
  void ComputeCodeEmissions(const em::OccasionCodes& codes);
  // The levels of the pattern in m_pattern, once its recursions are prepared.
  double PrepareLevels();
  // The uniforms pattern p of the table draws: none when it is complete.
  std::uint64_t UniformsOf(const input::PatternTable& observed, std::int32_t p) const;
  // The rows of patterns [begin, end) of the table, in order, into m_rows: complete patterns as
  // they are, the others completed with the uniforms from `uniforms` on.
  void DrawPatterns(const input::PatternTable& observed, std::int32_t begin, std::int32_t end,
                    const float* uniforms);
  // A group of patterns whose uniforms are in m_groupUniforms, over the blocks.
  void DrawGroup(const input::PatternTable& observed, std::int32_t begin, std::int32_t end);
  // One pattern of more subjects than a group holds, on this thread, in batches of 2^16
  // uniforms. False when an abort was requested.
  bool DrawLargePattern(const input::PatternTable& observed, std::int32_t p,
                        std::uint64_t subjects, AbortCheck* abortCheck);
  MissingResponseDraw& BlockDraw(std::size_t b);
  // The distinct rows of m_rows with their summed frequencies, in increasing complete cell
  // index.
  void Rebuild(std::int32_t itemCount, input::PatternTable* completed);
  // Draws every level for the subjects whose uniforms are m_uniforms[begin, end), sorted.
  void Descend(std::size_t begin, std::size_t end);
  // Level q's weights for the subjects m_uniforms[begin, end) (rescaled to the level), and its
  // frame; at the last level's end, the completion of those subjects. False when the level has
  // nothing to walk.
  bool EnterLevel(std::size_t q, std::size_t begin, std::size_t end);
  bool NextBranch(std::size_t q, std::size_t* begin, std::size_t* end);
  // The state of level q + 1 once level q has taken category k.
  void Advance(std::size_t q, std::int32_t k);
  // Level q's forward message before the emission of occasion t, reached from the forward
  // message after occasion `from` in m_after (from < 0: from the pattern's own), and what
  // follows from it.
  void EnterOccasion(std::size_t q, std::int32_t t, std::int32_t from);
  void Complete(std::size_t begin, std::size_t end);
  // The rows from firstRow on, one pattern's completions from several batches, each in
  // lexicographic order: equal completions become one row with the summed count, in the
  // lexicographic order that a single batch gives.
  void MergeBatches(std::size_t firstRow);

  double* LevelBase(std::size_t q) { return m_base.data() + q * Size(m_classes); }
  double* LevelBefore(std::size_t q) { return m_before.data() + q * m_classStates; }
  double* LevelEmission(std::size_t q) { return m_emission.data() + q * m_classStatuses; }
  double* LevelReach(std::size_t q) { return m_reach.data() + q * m_classStatuses; }

  LatentRecursions m_latent;
  std::int32_t m_items = 0;
  std::int32_t m_classes = 1;
  std::int32_t m_statuses = 1;
  std::size_t m_classStates = 0;    // C x the largest number of states
  std::size_t m_classStatuses = 0;  // C x S

  // The prepared pattern.
  std::vector<std::int32_t> m_pattern;
  double m_total = 0.0;
  std::vector<Level> m_levels;
  std::vector<double> m_classSuffix;       // (q, c): row sums of the missing class items after q
  std::vector<double> m_statusSuffix;      // (q, c, s): row sums of the occasion's later missing
  std::vector<double> m_observedEmission;  // (c, t, s): the observed status items of occasion t
  // (c, t): where the observed emissions of (c, t) are, m_observedEmission or a code's row.
  std::vector<const double*> m_observedAt;
  // The binary exponents of the scaled values (em/scaling.h): of m_total, of each observed
  // emission (c, t), of each level's base (c; the drawn items never take it out of range), of
  // each level's forward message (q, c) and of m_after (c). A level's reach carries them all,
  // taken relative to m_total's, so that the weights of all classes share one scale.
  int m_totalExponent = 0;
  std::vector<int> m_observedExponent, m_baseExponent, m_beforeExponent, m_afterExponent;

  // Per level: the state before its item is drawn. base: GAMMA x the class items' LITTLE RHO
  // so far (the missing ones not yet drawn left out); before: the forward message before the
  // occasion's emission; emission: the occasion's observed and drawn items; reach: base x the
  // backward message, summed over the states that end in each status.
  std::vector<double> m_base, m_before, m_emission, m_reach;
  std::vector<double> m_weights;  // (q, category)
  // Where the walk of a level stands while the subjects of one of its categories go down.
  struct Frame {
    std::size_t end = 0;       // of the level's subjects
    std::size_t next = 0;      // the first subject not yet sent down
    std::size_t category = 0;  // the next category to look at
    double running = 0.0;      // the running sum of the categories looked at, times scale
    double scale = 1.0;        // 1 / the level's total weight
  };
  std::vector<Frame> m_frames;
  std::vector<double> m_shared;  // (s): a status level's product before the category's rho
  std::size_t m_maxCategories = 1;
  std::vector<double> m_after, m_step;  // (c, state): forward messages between occasions
  std::vector<std::int32_t> m_current;  // the completion being built

  // The subjects of one batch of a pattern, and where the completions go.
  std::vector<double> m_uniforms;
  std::int32_t* m_single = nullptr;  // DrawCompletion's output, or null for m_rows
  bool m_singleDone = false;

  // The rebuilt table.
  std::vector<std::int32_t> m_rows;  // complete patterns before merging
  std::vector<double> m_rowFrequencies;
  std::vector<std::size_t> m_batchOrder;  // MergeBatches' work
  std::vector<std::int32_t> m_mergedRows;
  std::vector<double> m_mergedFrequencies;
  std::vector<std::pair<std::uint64_t, std::size_t>> m_keys;  // (complete cell index, row)
  std::vector<std::pair<std::uint64_t, std::size_t>> m_keyScratch;  // the sort's
  std::vector<std::size_t> m_digitCounts;                           // the sort's
  std::vector<std::uint64_t> m_cellRadix;                     // per item
  bool m_keysFit = true;  // the complete cell index fits 63 bits

  // The blocks of a group, each its own draw of the same model.
  input::Model m_model;
  const input::ParameterSet* m_values = nullptr;  // of the running draw
  bool m_parametersSet = false;                   // for m_values, as a block
  std::vector<std::unique_ptr<MissingResponseDraw>> m_blockDraws;
  CodeTables m_tables;  // of the running draw; the blocks get a copy
  CodeEmissionTable m_codeTable;
  std::vector<float> m_groupUniforms;
  std::vector<std::size_t> m_firstUniform;  // per pattern of the group, and its end
  std::unique_ptr<run::BlockPool> m_pool;
};

}  // namespace kov::da
