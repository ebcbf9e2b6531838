#include "control_file.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <iterator>
#include <limits>
#include <string_view>
#include <utility>

#include "../base/result_codes.h"
#include "messages.h"
#include "read_step.h"

namespace kov::input {

namespace {

constexpr std::string_view kCommonStage = "Unable to read common model information from control file: ";
constexpr std::string_view kEmStage = "Unable to read EM model information from control file: ";
constexpr std::string_view kDaStage = "Unable to read DA model information from control file: ";
constexpr std::string_view kCategoryStage =
    "Unable to read response category information from control file: ";
constexpr std::string_view kLabelStage = "Unable to read label information from control file: ";
constexpr std::string_view kRestrictionStage =
    "Unable to read parameter restrictions from control file: ";
constexpr std::string_view kStartValueStage =
    "Unable to read starting values from parameter estimates file: ";
constexpr std::string_view kStartsStage =
    "Unable to read random start settings from control file: ";
constexpr std::string_view kIterationStage =
    "Unable to read last iteration value from parameter estimates file: ";

std::string Decimal(std::int64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  return std::string(digits, result.ptr);
}

// Why a count was refused, for the stage message: the count, its value and its limit.
std::string NegativeCount(std::string_view what, std::int64_t value) {
  return "The " + std::string(what) + " (" + Decimal(value) + ") is negative.";
}

std::string CountOverLimit(std::string_view what, std::int64_t value, std::int64_t limit) {
  return "The " + std::string(what) + " (" + Decimal(value) + ") is over the limit of " +
         Decimal(limit) + ".";
}

// `values` is exact unless the count behind it saturated, when only "more than" is known.
std::string ArrayOverLimit(std::string_view parameters, std::int64_t values, bool exact) {
  const std::string limit = Decimal(static_cast<std::int64_t>(kMaxArrayValues));
  return "The " + std::string(parameters) + " parameters would take " +
         (exact ? Decimal(values) : "more than " + limit) + " values, over the limit of " + limit +
         " in one parameter array.";
}

// The control-file path as the file system wants it: the 300-character field without its
// padding (and never past a zero byte, which no path can hold).
std::string PathFromField(const std::string& field) {
  std::string path = field.substr(0, std::min(field.size(), kFileNameWidth));
  const std::size_t zero = path.find('\0');
  if (zero != std::string::npos) path.resize(zero);
  return TrimRight(path);
}

std::int32_t ReadTitles(TextInput& in, Model* model) {
  for (;;) {
    ReadStep step(in);
    std::string text;
    const std::int32_t status = step.Text(kTitleWidth, &text);
    if (status == kEndOfFile) return kStatusOk;  // section 2 will meet the end and say so
    if (status != kStatusOk) return status;
    if (text.front() != '*') {
      // Not a title: that line is the first of the model information.
      return in.Rewind(step.ValueLinePosition());
    }
    if (model->titles.size() < kMaxTitleLines) model->titles.push_back(text);
  }
}

// Where the count of extra transition rows stops counting, far above any limit.
constexpr std::int64_t kSaturatedRows = std::int64_t{1} << 40;

// (T - 2) x S^order from the counts as read, saturating at kSaturatedRows.
std::int64_t ExtraTransitionRows(std::int32_t statuses, std::int32_t occasions, std::int32_t order) {
  if (occasions < 3) return 0;
  std::int64_t power = 1;
  // 2^41 passes the saturation, so 41 factors settle it; 0 and 1 statuses never grow.
  for (std::int32_t i = 0; i < order && i <= 41 && power <= kSaturatedRows; ++i) power *= statuses;
  // Without status items T has no occasion limit, so the product can pass 64 bits.
  if (power > kSaturatedRows / (occasions - 2)) return kSaturatedRows;
  return (occasions - 2) * power;
}

// The first parameter array too large to hold; empty when all fit.
std::string ArrayBeyondMemory(const ModelDimensions& d) {
  const struct {
    std::string_view parameters;
    std::size_t values;
  } arrays[] = {{"gamma", GammaShape(d).Size()},
                {"delta", DeltaShape(d).Size()},
                {"tau", TauShape(d).Size()},
                {"little rho", LittleRhoShape(d).Size()},
                {"big rho", BigRhoShape(d).Size()}};
  for (const auto& array : arrays) {
    if (array.values > kMaxArrayValues) {
      return ArrayOverLimit(array.parameters, static_cast<std::int64_t>(array.values), true);
    }
  }
  return {};
}

// The first count of the common model information that cannot be a model, or that is beyond
// what the engine can estimate; empty when all are fine.
std::string RefusedCount(const ModelDimensions& d) {
  constexpr std::int32_t kUnlimited = std::numeric_limits<std::int32_t>::max();
  struct Count {
    std::string_view what;
    std::int32_t value;
    std::int32_t limit;
  };
  const Count counts[] = {
      {"number of latent classes", d.classes, kMaxLatentCount},
      {"number of latent statuses", d.statuses, kMaxLatentCount},
      {"number of items measuring the latent classes", d.classItems, kMaxItems},
      {"number of items per occasion measuring the latent statuses", d.statusItems, kMaxItems},
      // Without status items the occasions size nothing.
      {"number of occasions", d.occasions, d.statusItems > 0 ? kMaxOccasions : kUnlimited},
      {"order of the process", d.order, kUnlimited},
  };
  for (const Count& count : counts) {
    if (count.value < 0) return NegativeCount(count.what, count.value);
    if (count.value > count.limit) return CountOverLimit(count.what, count.value, count.limit);
  }
  return {};
}

std::int32_t ReadCommonInformation(TextInput& in, Model* m, std::string* why) {
  ModelDimensions& d = m->dims;
  std::int32_t status = kStatusOk;
  {
    ReadStep step(in);
    std::int32_t* counts[] = {&d.classes, &d.statuses, &d.classItems, &d.statusItems,
                              &d.occasions, &d.order, &m->printResiduals};
    for (std::int32_t* value : counts) {
      if ((status = step.Int(value)) != kStatusOk) return status;
    }
    if ((status = step.Flag(&m->missingData)) != kStatusOk) return status;
    if ((status = step.Flag(&m->fixedFormat)) != kStatusOk) return status;
  }
  {
    ReadStep step(in);
    if ((status = step.Text(kFileNameWidth, &m->dataFile)) != kStatusOk) return status;
    if ((status = step.Text(kFileNameWidth, &m->dataFormat)) != kStatusOk) return status;
  }

  // Refuse what cannot be a model before anything is sized or looped over from it.
  if (*why = RefusedCount(d); !why->empty()) return kModelTooLarge;
  const std::int64_t extra = ExtraTransitionRows(d.statuses, d.occasions, d.order);
  if (d.classes == 0) d.classes = 1;
  if (d.statuses == 0) d.statuses = 1;
  if (extra > static_cast<std::int64_t>(kMaxArrayValues)) {
    // C, S <= 1000 and E <= 2^40 keep this product within 64 bits.
    const std::int64_t tauValues = (d.statuses + extra) * d.statuses * d.classes;
    *why = ArrayOverLimit("tau", tauValues, extra < kSaturatedRows);
    return kModelTooLarge;
  }
  d.extraTransitionRows = static_cast<std::int32_t>(extra);
  *why = ArrayBeyondMemory(d);
  return why->empty() ? kStatusOk : kModelTooLarge;
}

std::int32_t ReadEmInformation(TextInput& in, Model* m, std::string*) {
  std::int32_t status = kStatusOk;
  {
    ReadStep step(in);
    if ((status = step.Int(&m->estimationType)) != kStatusOk) return status;
    if ((status = step.Flag(&m->writeEstimates)) != kStatusOk) return status;
    if ((status = step.Int(&m->maxIterations)) != kStatusOk) return status;
    if ((status = step.Real(&m->criterion)) != kStatusOk) return status;
  }
  for (std::string* name : {&m->emOutputFile, &m->emStartValuesFile, &m->emEstimatesFile}) {
    ReadStep step(in);
    if ((status = step.Text(kFileNameWidth, name)) != kStatusOk) return status;
  }
  if (m->estimationType == 1) m->emStartValuesFile.assign(kFileNameWidth, ' ');
  if (!m->writeEstimates) m->emEstimatesFile.assign(kFileNameWidth, ' ');
  return kStatusOk;
}

std::int32_t ReadDaInformation(TextInput& in, Model* m, std::string*) {
  std::int32_t status = kStatusOk;
  {
    ReadStep step(in);
    if ((status = step.Int(&m->iterationsBetweenImputations)) != kStatusOk) return status;
    if ((status = step.Int(&m->imputations)) != kStatusOk) return status;
    if ((status = step.Int(&m->seed)) != kStatusOk) return status;
    if ((status = step.Flag(&m->writeIndividualEstimates)) != kStatusOk) return status;
  }
  for (std::string* name :
       {&m->daOutputFile, &m->daStartValuesFile, &m->seriesFile, &m->individualEstimatesFile}) {
    ReadStep step(in);
    if ((status = step.Text(kFileNameWidth, name)) != kStatusOk) return status;
  }
  if (!m->writeIndividualEstimates) m->individualEstimatesFile.assign(kFileNameWidth, ' ');
  return kStatusOk;
}

// `item` names the kind of item in a refusal ("class item").
std::int32_t ReadCategoryCounts(TextInput& in, std::int32_t items, std::string_view item,
                                std::vector<std::int32_t>* counts, std::int32_t* largest,
                                std::string* why) {
  counts->assign(static_cast<std::size_t>(items), 0);
  *largest = 0;
  if (items == 0) return kStatusOk;
  ReadStep step(in);
  for (std::size_t i = 0; i < counts->size(); ++i) {
    std::int32_t& count = (*counts)[i];
    const std::int32_t status = step.Int(&count);
    if (status != kStatusOk) return status;
    if (count < 0 || count > kMaxCategories) {
      const std::string what = "number of response categories of " + std::string(item) + " " +
                               Decimal(static_cast<std::int64_t>(i) + 1);
      *why = count < 0 ? NegativeCount(what, count) : CountOverLimit(what, count, kMaxCategories);
      return kModelTooLarge;
    }
    *largest = std::max(*largest, count);
  }
  return kStatusOk;
}

std::int32_t ReadResponseCategories(TextInput& in, Model* m, std::string* why) {
  ModelDimensions& d = m->dims;
  std::int32_t status = ReadCategoryCounts(in, d.classItems, "class item", &m->classItemCategories,
                                           &d.maxClassCategories, why);
  if (status != kStatusOk) return status;
  status = ReadCategoryCounts(in, d.statusItems, "status item", &m->statusItemCategories,
                              &d.maxStatusCategories, why);
  if (status != kStatusOk) return status;
  *why = ArrayBeyondMemory(d);
  return why->empty() ? kStatusOk : kModelTooLarge;
}

std::int32_t ReadLabelStep(TextInput& in, std::vector<std::string>* labels) {
  ReadStep step(in);
  for (std::string& label : *labels) {
    const std::int32_t status = step.Text(kLabelWidth, &label);
    if (status != kStatusOk) return status;
  }
  return kStatusOk;
}

std::int32_t ReadItemLabels(TextInput& in, const std::vector<std::int32_t>& categories,
                            std::vector<std::string>* itemLabels,
                            std::vector<std::vector<std::string>>* categoryLabels) {
  const std::string blank(kLabelWidth, ' ');
  itemLabels->assign(categories.size(), blank);
  categoryLabels->assign(categories.size(), {});
  for (std::size_t i = 0; i < categories.size(); ++i) {
    (*categoryLabels)[i].assign(static_cast<std::size_t>(categories[i]), blank);
    ReadStep step(in);
    std::int32_t status = step.Text(kLabelWidth, &(*itemLabels)[i]);
    for (std::size_t k = 0; status == kStatusOk && k < (*categoryLabels)[i].size(); ++k) {
      status = step.Text(kLabelWidth, &(*categoryLabels)[i][k]);
    }
    if (status != kStatusOk) return status;
  }
  return kStatusOk;
}

std::int32_t ReadLabels(TextInput& in, Model* m, std::string*) {
  const ModelDimensions& d = m->dims;
  const std::string blank(kLabelWidth, ' ');
  m->classLabels.assign(static_cast<std::size_t>(d.classes), blank);
  m->statusLabels.assign(static_cast<std::size_t>(d.statuses), blank);
  std::int32_t status = kStatusOk;
  if (d.HasClasses() && (status = ReadLabelStep(in, &m->classLabels)) != kStatusOk) return status;
  if (d.HasStatuses() && (status = ReadLabelStep(in, &m->statusLabels)) != kStatusOk) return status;
  status = ReadItemLabels(in, m->classItemCategories, &m->classItemLabels, &m->classCategoryLabels);
  if (status != kStatusOk) return status;
  return ReadItemLabels(in, m->statusItemCategories, &m->statusItemLabels,
                        &m->statusCategoryLabels);
}

// The layout shared by restriction codes and start values: which entry of which array each
// value of the file goes to, group by group. `read` takes one value into an array slot within
// the current read step.
template <typename Value, typename ReadValue>
std::int32_t ReadGroups(LineSource& lines, const ModelDimensions& d, bool allOccasions,
                        bool littleRhoNeedsCategories, std::vector<Value>& gamma,
                        std::vector<Value>& delta, bool deltaHasOccasions, std::vector<Value>& tau,
                        std::vector<Value>& littleRho, std::vector<Value>& bigRho, ReadValue read) {
  const std::int32_t C = d.classes, S = d.statuses, Ic = d.classItems, Is = d.statusItems;
  std::int32_t status = kStatusOk;
  if (d.HasClasses()) {
    ReadStep step(lines);
    for (std::int32_t c = 0; c < C; ++c) {
      if ((status = read(step, gamma[GammaShape(d)(c)])) != kStatusOk) return status;
    }
  }
  if (d.HasStatuses()) {
    ReadStep step(lines);
    for (std::int32_t c = 0; c < C; ++c) {
      for (std::int32_t s = 0; s < S; ++s) {
        const std::size_t at = deltaHasOccasions ? DeltaShape(d)(c, s, 0) : DeltaCodeShape(d)(c, s);
        if ((status = read(step, delta[at])) != kStatusOk) return status;
      }
    }
    const auto tauShape = TauShape(d);
    for (std::int32_t c = 0; c < C; ++c) {
      // Rows of the first transition, then (from three occasions on) all later rows.
      const std::int32_t blocks[][2] = {{0, S}, {S, S + d.extraTransitionRows}};
      for (std::int32_t b = 0; b < (d.occasions >= 3 ? 2 : 1); ++b) {
        ReadStep step(lines);
        for (std::int32_t r = blocks[b][0]; r < blocks[b][1]; ++r) {
          for (std::int32_t j = 0; j < S; ++j) {
            if ((status = read(step, tau[tauShape(r, j, c)])) != kStatusOk) return status;
          }
        }
      }
    }
  }
  if (d.HasClasses() && (!littleRhoNeedsCategories || d.maxClassCategories > 0)) {
    const auto shape = LittleRhoShape(d);
    for (std::int32_t k = 0; k < d.maxClassCategories; ++k) {
      for (std::int32_t c = 0; c < C; ++c) {
        ReadStep step(lines);
        for (std::int32_t i = 0; i < Ic; ++i) {
          if ((status = read(step, littleRho[shape(k, i, c)])) != kStatusOk) return status;
        }
      }
    }
  }
  if (d.HasStatuses()) {
    const auto shape = BigRhoShape(d);
    const std::int32_t occasions = allOccasions ? d.occasions : std::min(d.occasions, 1);
    for (std::int32_t c = 0; c < C; ++c) {
      for (std::int32_t t = 0; t < occasions; ++t) {
        for (std::int32_t k = 0; k < d.maxStatusCategories; ++k) {
          for (std::int32_t s = 0; s < S; ++s) {
            ReadStep step(lines);
            for (std::int32_t i = 0; i < Is; ++i) {
              if ((status = read(step, bigRho[shape(k, i, s, c, t)])) != kStatusOk) return status;
            }
          }
        }
      }
    }
  }
  return kStatusOk;
}

// Restriction codes run from -kMaxRestrictionCode to kMaxRestrictionCode. A code's magnitude
// names its equivalence class (a negative code joins the class of its magnitude), so every
// code must have a magnitude that is a code too; -2^31 has none in 32 bits, and negating it
// would overflow wherever classes are marked or looked up.
constexpr std::int32_t kMaxRestrictionCode = std::numeric_limits<std::int32_t>::max();

std::int32_t ReadRestrictionCodes(TextInput& in, const ModelDimensions& d, RestrictionSet* codes,
                                  std::string* why) {
  return ReadGroups(in, d, /*allOccasions=*/true, /*littleRhoNeedsCategories=*/false, codes->gamma,
                    codes->delta, /*deltaHasOccasions=*/false, codes->tau, codes->littleRho,
                    codes->bigRho, [why](ReadStep& step, std::int32_t& code) {
                      const std::int32_t status = step.Int(&code);
                      if (status != kStatusOk || code >= -kMaxRestrictionCode) return status;
                      *why = "The restriction code " + Decimal(code) + " is outside the range " +
                             Decimal(-kMaxRestrictionCode) + " to " +
                             Decimal(kMaxRestrictionCode) + ".";
                      return kBadValue;
                    });
}

// The iteration stored with start values leaves room for every iteration the run may still do
// (its maximum counts over all continued runs, but a simple sum keeps the counter clear of the
// 32-bit overflow whatever the driver does with it).
bool IterationLeavesRoom(std::int32_t iteration, std::int32_t maxIterations) {
  return iteration >= 0 && static_cast<std::int64_t>(iteration) + std::max(maxIterations, 0) <=
                               std::numeric_limits<std::int32_t>::max();
}

// The stage message; a refusal that knows its reason gives it in place of the general advice.
Status Fail(std::int32_t status, std::string_view stage, const std::string& name,
            const std::string& why = {}) {
  return Status(status, why.empty() ? Message(stage, name, kVerifyPathAndFormat)
                                    : Message(stage, name, "; " + why));
}

// The settings lines after the last section are named by a keyword in their first field.
constexpr std::string_view kStartsKeyword = "STARTS";
constexpr std::string_view kStopKeyword = "STOP";
constexpr std::string_view kPosteriorKeyword = "POSTERIOR";
constexpr std::string_view kEnumerateKeyword = "ENUMERATE";
constexpr std::size_t kKeywordWidth = 16;
constexpr std::int32_t kMaxStarts = 10000;

// The keyword of the next line in upper case, or empty at the end of the file.
std::int32_t ReadKeyword(TextInput& in, ReadStep& step, std::string* keyword) {
  keyword->clear();
  if (in.AtEndIgnoringBlankLines()) return kStatusOk;
  // Wide enough for the longest keyword whole; a longer word matches none either way.
  const std::int32_t status = step.Text(kKeywordWidth, keyword);
  if (status != kStatusOk) return status;
  *keyword = TrimRight(*keyword);
  for (char& c : *keyword) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return kStatusOk;
}

// Why the random start counts cannot be used; empty when they can.
std::string RefusedStartCounts(const Model& m) {
  const struct {
    std::string_view what;
    std::int32_t value;
    std::int32_t limit;
  } counts[] = {{"number of random starts", m.starts, kMaxStarts},
                {"number of starts run to convergence", m.finalStarts, kMaxStarts},
                {"number of first-stage iterations", m.firstStageIterations,
                 std::numeric_limits<std::int32_t>::max()},
                {"random start seed", m.startSeed, std::numeric_limits<std::int32_t>::max()}};
  for (const auto& count : counts) {
    if (count.value < 0) return NegativeCount(count.what, count.value);
    if (count.value > count.limit) return CountOverLimit(count.what, count.value, count.limit);
  }
  if (m.starts > 0 && m.finalStarts > m.starts) {
    return "The number of starts run to convergence (" + Decimal(m.finalStarts) +
           ") is over the number of random starts (" + Decimal(m.starts) + ").";
  }
  return {};
}

// The optional block after the last section: a line 'STARTS' N K STAGE SEED, a line 'STOP'
// CRITERION, a line 'POSTERIOR' FILE BY-PATTERN and a line 'ENUMERATE' KIND FROM TO BOOTSTRAP,
// each optional, in that order. A file that ends before it (or goes on with anything else, which
// older versions never read) has no block.
std::int32_t ReadStopCriterion(ReadStep& step, Model* m, std::string* why) {
  if (const std::int32_t status = step.Real(&m->logLikelihoodCriterion); status != kStatusOk) {
    return status;
  }
  // NaN fails the test too.
  if (!(m->logLikelihoodCriterion > 0.0)) {
    *why = "The log-likelihood stop criterion must be above 0.";
    return kBadValue;
  }
  m->logLikelihoodRule = true;
  return kStatusOk;
}

std::int32_t ReadStartCounts(ReadStep& step, Model* m, std::string* why) {
  for (std::int32_t* value :
       {&m->starts, &m->finalStarts, &m->firstStageIterations, &m->startSeed}) {
    if (const std::int32_t status = step.Int(value); status != kStatusOk) return status;
  }
  if (*why = RefusedStartCounts(*m); !why->empty()) return kBadValue;
  m->startsBlock = true;
  return kStatusOk;
}

std::int32_t ReadPosteriorTarget(ReadStep& step, Model* m, std::string* why) {
  std::string name;
  std::int32_t status = step.Text(kFileNameWidth, &name);
  if (status == kStatusOk) status = step.Flag(&m->posteriorByPattern);
  if (status != kStatusOk) return status;
  m->posteriorFile = TrimRight(name);
  if (m->posteriorFile.empty()) {
    *why = "The posterior membership line names no file.";
    return kBadValue;
  }
  return kStatusOk;
}

// Why the comparison of sizes cannot be run; empty when it can. The kind is a number as the
// other codes of the file are: 1 classes, 2 statuses.
std::string RefusedEnumeration(const Model& m) {
  if (m.enumerationKind != 1 && m.enumerationKind != 2) {
    return "The kind of the ENUMERATE line (" + Decimal(m.enumerationKind) +
           ") is neither 1 (classes) nor 2 (statuses).";
  }
  if (m.enumerationFrom < 1) {
    return "The smallest size of the ENUMERATE line (" + Decimal(m.enumerationFrom) +
           ") is below 1.";
  }
  if (m.enumerationTo < m.enumerationFrom) {
    return "The largest size of the ENUMERATE line (" + Decimal(m.enumerationTo) +
           ") is below its smallest size (" + Decimal(m.enumerationFrom) + ").";
  }
  if (m.enumerationTo > kMaxEnumeratedSize) {
    return CountOverLimit("largest size of the ENUMERATE line", m.enumerationTo,
                          kMaxEnumeratedSize);
  }
  const std::string_view samples = "number of bootstrap samples of the ENUMERATE line";
  if (m.enumerationBootstrap < 0) return NegativeCount(samples, m.enumerationBootstrap);
  if (m.enumerationBootstrap > kMaxBootstrapSamples) {
    return CountOverLimit(samples, m.enumerationBootstrap, kMaxBootstrapSamples);
  }
  return {};
}

std::int32_t ReadEnumeration(ReadStep& step, Model* m, std::string* why) {
  for (std::int32_t* value :
       {&m->enumerationKind, &m->enumerationFrom, &m->enumerationTo, &m->enumerationBootstrap}) {
    if (const std::int32_t status = step.Int(value); status != kStatusOk) return status;
  }
  if (*why = RefusedEnumeration(*m); !why->empty()) return kBadValue;
  return kStatusOk;
}

std::int32_t ReadStartsBlock(TextInput& in, Model* m, std::string* why) {
  struct Line {
    std::string_view keyword;
    std::int32_t (*read)(ReadStep&, Model*, std::string*);
  };
  static constexpr Line kLines[] = {{kStartsKeyword, ReadStartCounts},
                                    {kStopKeyword, ReadStopCriterion},
                                    {kPosteriorKeyword, ReadPosteriorTarget},
                                    {kEnumerateKeyword, ReadEnumeration}};
  std::string keyword;
  std::size_t next = 0;  // the first line that may still come
  while (next < std::size(kLines)) {
    ReadStep step(in);
    if (const std::int32_t status = ReadKeyword(in, step, &keyword); status != kStatusOk) {
      return status;
    }
    const Line* line =
        std::find_if(std::begin(kLines) + static_cast<std::ptrdiff_t>(next), std::end(kLines),
                     [&](const Line& l) { return l.keyword == keyword; });
    if (line == std::end(kLines)) return kStatusOk;
    if (const std::int32_t status = line->read(step, m, why); status != kStatusOk) return status;
    next = static_cast<std::size_t>(line - std::begin(kLines)) + 1;
  }
  return kStatusOk;
}

}  // namespace

std::int32_t ReadParameterGroups(LineSource& lines, const ModelDimensions& dims, bool allOccasions,
                                 ParameterSet* values) {
  return ReadGroups(lines, dims, allOccasions, /*littleRhoNeedsCategories=*/true, values->gamma,
                    values->delta, /*deltaHasOccasions=*/true, values->tau, values->littleRho,
                    values->bigRho,
                    [](ReadStep& step, double& value) { return step.Real(&value); });
}

void FillAbsentLatentVariables(const ModelDimensions& d, ParameterSet* values) {
  if (!d.HasClasses()) values->gamma[GammaShape(d)(0)] = 1.0;
  if (!d.HasStatuses()) {
    for (std::int32_t c = 0; c < d.classes; ++c) {
      for (std::int32_t t = 0; t < d.OccasionExtent(); ++t) {
        values->delta[DeltaShape(d)(c, 0, t)] = 1.0;
      }
      values->tau[TauShape(d)(0, 0, c)] = 1.0;
    }
  }
}

std::int32_t ReadParameterSet(LineSource& lines, const ModelDimensions& dims, ParameterSet* values,
                              std::int32_t* iteration) {
  const std::int32_t status = ReadParameterGroups(lines, dims, /*allOccasions=*/true, values);
  if (status != kStatusOk) return status;
  ReadStep step(lines);
  return step.Int(iteration);
}

Status ReadStartValuesFile(const std::string& name, const ModelDimensions& dims,
                           ParameterSet* values, std::int32_t* lastIteration) {
  TextInput in;
  std::int32_t status = in.Open(name);
  if (status != kStatusOk) {
    return Status(status,
                  OpenFailureMessage("parameter estimates file", name, status,
                                     "Unable to open parameter estimates file: ", kVerifyPath));
  }
  if ((status = ReadParameterGroups(in, dims, /*allOccasions=*/true, values)) != kStatusOk) {
    return Fail(status, kStartValueStage, name);
  }
  ReadStep step(in);
  if ((status = step.Int(lastIteration)) != kStatusOk) return Fail(status, kIterationStage, name);
  return {};
}

Status ReadControlFile(const std::string& path, Model* model, Status* titleFailure) {
  if (titleFailure != nullptr) *titleFailure = Status{};
  const std::string name = PathFromField(path);
  TextInput in;
  std::int32_t status = in.Open(name);
  if (status != kStatusOk) {
    return Status(status, OpenFailureMessage("control file", name, status,
                                             "Unable to open control file: ", kVerifyPath));
  }
  *model = Model{};
  // The titles only label the reports: the rest of the file is still worth reading.
  Status titles;
  if ((status = ReadTitles(in, model)) != kStatusOk) titles = Status(status, "Error Reading Title");

  struct Stage {
    std::string_view message;
    std::int32_t (*read)(TextInput&, Model*, std::string* why);
  };
  const Stage stages[] = {{kCommonStage, ReadCommonInformation},
                          {kEmStage, ReadEmInformation},
                          {kDaStage, ReadDaInformation},
                          {kCategoryStage, ReadResponseCategories},
                          {kLabelStage, ReadLabels}};
  std::string why;
  for (const Stage& stage : stages) {
    if ((status = stage.read(in, model, &why)) != kStatusOk) {
      return Fail(status, stage.message, name, why);
    }
  }

  const ModelDimensions& d = model->dims;
  AllocateRestrictions(d, &model->codes);
  AllocateParameters(d, &model->start);
  if (model->maxIterations > 0) {
    if ((status = ReadRestrictionCodes(in, d, &model->codes, &why)) != kStatusOk) {
      return Fail(status, kRestrictionStage, name, why);
    }
    model->restrictionsRead = true;
  }

  model->startValuesFromFile = model->estimationType != 1;
  if (!model->startValuesFromFile) {
    if ((status = ReadParameterGroups(in, d, /*allOccasions=*/false, &model->start)) != kStatusOk) {
      return Fail(status, kStartValueStage, name);
    }
  } else {
    const std::string startName = TrimRight(model->emStartValuesFile);
    Status read = ReadStartValuesFile(startName, d, &model->start, &model->startIteration);
    if (!read.IsOk()) return read;
    if (!IterationLeavesRoom(model->startIteration, model->maxIterations)) {
      return Fail(kBadValue, kIterationStage, startName);
    }
  }
  FillAbsentLatentVariables(d, &model->start);
  if ((status = ReadStartsBlock(in, model, &why)) != kStatusOk) {
    return Fail(status, kStartsStage, name, why);
  }
  if (titleFailure != nullptr) *titleFailure = std::move(titles);
  return {};
}

}  // namespace kov::input
