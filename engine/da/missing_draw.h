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
// unchanged. So a pattern costs one forward-backward pass and a subject the forward steps over
// the occasions that hold its missing status items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imputation_step.h"
#include "input/data_file.h"
#include "input/model.h"

namespace kov::da {

// Constructed once per run; its work arrays are sized from the model and keep their room
// between iterations.
class MissingResponseDraw {
 public:
  explicit MissingResponseDraw(const input::Model& model);

  // Completes the observed patterns (0 = missing) into *completed. Patterns with no missing
  // response keep their frequencies and draw nothing. Every other pattern, in order, draws one
  // uniform for each of its subjects (the frequency rounded to the nearest whole number) and
  // contributes a complete pattern of frequency 1 for each; a subject whose observed part has
  // probability 0 under the parameters has no completion and is left out of the iteration.
  // The result holds each distinct complete pattern once, with the summed frequency, in
  // increasing order of its complete cell index (the last item most significant).
  void DrawMissingResponses(const input::ParameterSet& values, const input::PatternTable& observed,
                            input::PatternTable* completed);

  // The same one pattern at a time: SetParameters, then Prepare a pattern (returns the
  // probability of its observed part), then DrawCompletion with a subject's u writes the
  // completed responses (all N items) and returns false when there is nothing to draw from.
  void SetParameters(const input::ParameterSet& values);
  double Prepare(const std::int32_t* responses);
  bool DrawCompletion(double u, std::int32_t* completed);

 private:
  std::size_t Size(std::int32_t n) const { return static_cast<std::size_t>(n > 0 ? n : 0); }
  bool DrawClassItems(double* u, std::int32_t* completed);
  bool DrawStatusItems(double* u, std::int32_t* completed);

  LatentRecursions m_latent;
  std::int32_t m_items = 0;
  std::int32_t m_classes = 1;
  std::int32_t m_statuses = 1;

  // The prepared pattern.
  std::vector<std::int32_t> m_pattern;
  double m_total = 0.0;
  std::vector<std::int32_t> m_missingClassItems;    // item numbers, increasing
  std::vector<std::int32_t> m_missingStatusItems;   // status item numbers within the occasion
  std::vector<std::int32_t> m_occasionMissing;      // per occasion + 1: start in the list above
  std::int32_t m_firstMissingOccasion = 0;
  std::int32_t m_lastMissingOccasion = -1;
  std::vector<double> m_classBase;        // c: GAMMA x the observed class items' LITTLE RHO
  std::vector<double> m_classSuffix;      // (q, c): row sums of the missing class items after q
  std::vector<double> m_observedEmission; // (t, c, s): the observed status items of occasion t
  std::vector<double> m_statusSuffix;     // (q, c, s): row sums of the occasion's later missing

  // One subject.
  std::vector<double> m_base;       // c: the class part with the items drawn so far
  std::vector<double> m_weights;    // categories of the item being drawn
  std::vector<double> m_before;     // (c, state): forward message before the emission
  std::vector<double> m_after;      // (c, state): forward message after it
  std::vector<double> m_emission;   // (c, s): the occasion's emission with the items drawn so far
  std::vector<double> m_reach;      // (c, s): everything but the occasion's emission

  // The rebuilt table.
  std::vector<std::int32_t> m_rows;      // complete patterns before merging
  std::vector<double> m_rowFrequencies;
  std::vector<std::size_t> m_order;
};

}  // namespace kov::da
