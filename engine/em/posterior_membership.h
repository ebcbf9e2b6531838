// Who belongs where: each subject's posterior probabilities of the classes and of the statuses
// at every occasion, their modal values, and the most likely joint path of class and statuses,
// written as a CSV file after an EM run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "input/model.h"
#include "missingness.h"

namespace kov::em {

// One pattern's memberships. Indices are 0-based here; the file numbers them from 1.
struct Membership {
  bool possible = false;               // the model gives the observed part a probability > 0
  std::vector<double> classPosterior;  // c
  std::int32_t modalClass = 0;
  std::vector<double> statusPosterior;    // (t, s) as t * S + s
  std::vector<std::int32_t> modalStatus;  // t
  std::int32_t pathClass = 0;             // the most likely (class, statuses) path
  std::vector<std::int32_t> pathStatus;   // t
};

// The recursions for one parameter set, in log space, so that patterns of many items neither
// underflow nor need the E-step's scaling. A missing response (0) is summed out, which for rows
// that sum to one is leaving it out. A second-order process is walked over pairs of statuses;
// the path is still one status per occasion.
class MembershipRecursion {
 public:
  MembershipRecursion(const input::ModelDimensions& dims, const input::ParameterSet& values);

  // Occasions with statuses (0 without status items), and whether classes are reported.
  std::int32_t Occasions() const { return m_occasions; }
  std::int32_t Classes() const { return m_dims.classes; }
  std::int32_t Statuses() const { return m_dims.statuses; }

  // The memberships of one pattern of dims.ItemCount() responses. Ties go to the lowest number.
  void Compute(const std::int32_t* responses, Membership* out);

 private:
  void Emissions(const std::int32_t* responses);
  double LogTransition(std::int32_t c, std::int32_t t, std::int32_t before, std::int32_t from,
                       std::int32_t to) const;
  std::int32_t States(std::int32_t t) const;
  void Forward(std::int32_t c, bool viterbi);
  void Backward(std::int32_t c);

  input::ModelDimensions m_dims;
  const input::ParameterSet& m_values;
  std::int32_t m_occasions = 0;
  bool m_pairs = false;  // states of occasions after the first are (previous, current) pairs
  std::int32_t m_maxStates = 1;
  std::vector<double> m_logClass;               // c: ln gamma + the class items
  std::vector<double> m_logEmission;            // ((c, t), s)
  double& LogEmission(std::int32_t c, std::int32_t t, std::int32_t s) {
    return m_logEmission[(static_cast<std::size_t>(c) * static_cast<std::size_t>(m_occasions) +
                          static_cast<std::size_t>(t)) *
                             static_cast<std::size_t>(m_dims.statuses) +
                         static_cast<std::size_t>(s)];
  }
  std::vector<double> m_alpha;                  // (t, state): forward, or Viterbi scores
  std::vector<double> m_beta;                   // (t, state)
  std::vector<std::int32_t> m_back;             // (t, state): the Viterbi predecessor
  std::vector<double> m_classPath;              // c: the best path's log score
  std::vector<std::int32_t> m_classPathStatus;  // (c, t)
};

// Where the memberships go: the file (empty: none) and whether one row stands for each distinct
// response pattern instead of each data record.
struct PosteriorTarget {
  std::string file;
  bool byPattern = false;
};

// A terminal run's choice, in place of the control file's for the runs that follow; an empty
// file name keeps the control file's.
void SetPosteriorOverride(const PosteriorTarget& target);
PosteriorTarget CurrentPosteriorOverride();

// The target of a run: the override, else the control file's line; a relative name is taken in
// the control file's folder.
PosteriorTarget PosteriorTargetOf(const input::Model& model, const std::string& controlFile);

// The column names of a file for these dimensions.
std::vector<std::string> PosteriorHeader(const MembershipRecursion& recursion);

// Writes the file whole under a temporary name and renames it at the end. Records are the
// patterns in data-file order (grouped.order), or with byPattern the distinct patterns with
// their summed frequencies, in order of first appearance. Success, or the failure to open or
// write the file.
Status WritePosteriorFile(const std::string& path, bool byPattern,
                          const input::ModelDimensions& dims, const input::ParameterSet& values,
                          const GroupedPatterns& grouped);

// The run's call: the file of PosteriorTargetOf, if any.
Status WritePosteriorMembership(const input::Model& model, const std::string& controlFile,
                                const input::ParameterSet& values, const GroupedPatterns& grouped);

}  // namespace kov::em
