#include "interface_values.h"

#include <array>
#include <cmath>
#include <limits>

#include "text_helpers.h"

namespace kov::document {

namespace {

constexpr std::array<InterfaceValueInfo, 43> kValues = {{
    {kClassCount, ValueType::kInt16, "Number of latent classes:"},
    {kClassItemCount, ValueType::kInt16, "Number of items measuring latent classes:"},
    {kStatusCount, ValueType::kInt16, "Number of latent statuses:"},
    {kStatusItemCount, ValueType::kInt16, "Number of items measuring latent statuses:"},
    {kTimeCount, ValueType::kInt16, "Number of times:"},
    {kConvergenceCriterion, ValueType::kReal, "Convergence Criterion:"},
    {kMaxIterations, ValueType::kInt32, "Maximum iterations for this run:"},
    {kDatasetFile, ValueType::kText, "File name of dataset:"},
    {kInputFormat, ValueType::kText, "Use this input format:"},
    {kEmStartValuesFile, ValueType::kText, "File containing parameter estimates:"},
    {kComments, ValueType::kText, ""},
    {kResponsePatternCount, ValueType::kInt16, "Number of Response Patterns:"},
    {kMissingData, ValueType::kInt16, "Dataset contains missing data?"},
    {kSubjectCount, ValueType::kInt16, "Number of Subjects:"},
    {kOutFile, ValueType::kText, "File name of outfile:"},
    {kEmEstimatesFile, ValueType::kText, "File name for parameters:"},
    {kIterationsBetweenImputations, ValueType::kInt32, "Number of iterations between imputations:"},
    {kImputationCount, ValueType::kInt32, "Number of imputations:"},
    {kRandomSeed, ValueType::kInt32, "Random seed:"},
    {kDaStartValuesFile, ValueType::kText, "Starting values file (from EM run):"},
    {kSeriesFile, ValueType::kText, "File to contain parameter series:"},
    {kIndividualEstimatesFile, ValueType::kText, "File to contain indvidual parameter estimates:"},
    {kDaOutFile, ValueType::kText, "File to contain data augmentation output:"},
    {kFirstOrder, ValueType::kBoolean, "Order of process:"},
    {kSaveEmEstimates, ValueType::kBoolean, "Send parameter estimates to a file to be used later?"},
    {kPrintResiduals, ValueType::kBoolean, "Print residuals to outfile?"},
    {kEstimationType, ValueType::kInt16, "Type of Estimation"},
    {kReadFormat, ValueType::kInt16, "Read data as follows:"},
    {kWriteIndividualEstimates, ValueType::kBoolean,
     "Write individual parameter estimates to file"},
    {kStartCount, ValueType::kInt32, "Number of starts:"},
    {kFinalStartCount, ValueType::kInt32, "Starts run to convergence:"},
    {kFirstStageIterations, ValueType::kInt32, "First-stage iterations:"},
    {kStartSeed, ValueType::kInt32, "Seed of the random starts:"},
    {kLogLikelihoodCriterion, ValueType::kReal, "Stop when the log-likelihood changes less than:"},
    {kRandomStarts, ValueType::kBoolean, "Random starts"},
    {kLogLikelihoodStop, ValueType::kBoolean, "Stop when the log-likelihood changes less than:"},
    {kPosteriorFile, ValueType::kText, "Posterior membership file (CSV):"},
    {kPosteriorByPattern, ValueType::kBoolean, "One row per pattern"},
    {kCompareSizes, ValueType::kBoolean, "Compare sizes"},
    {kEnumerationKind, ValueType::kInt16, "Sizes of"},
    {kSmallestSize, ValueType::kInt32, "Smallest size:"},
    {kLargestSize, ValueType::kInt32, "Largest size:"},
    {kBootstrapSamples, ValueType::kInt32, "Bootstrap samples per test:"},
}};

// A whole number held by a variant of any numeric type, or by text.
bool WholeNumber(const QVariant& value, qint64* number) {
  switch (value.typeId()) {
    case QMetaType::Bool:
      return false;
    case QMetaType::Double:
    case QMetaType::Float: {
      const double real = value.toDouble();
      if (!std::isfinite(real) || real != std::floor(real) || std::fabs(real) > 1e15) return false;
      *number = static_cast<qint64>(real);
      return true;
    }
    case QMetaType::QString: {
      qint32 parsed = 0;
      if (!ParseInt32(value.toString().trimmed(), &parsed)) return false;
      *number = parsed;
      return true;
    }
    default: {
      bool ok = false;
      *number = value.toLongLong(&ok);
      return ok;
    }
  }
}

template <typename Int>
bool ConvertInteger(const QVariant& value, QVariant* converted) {
  qint64 number = 0;
  if (!WholeNumber(value, &number) || number < std::numeric_limits<Int>::min() ||
      number > std::numeric_limits<Int>::max()) {
    return false;
  }
  *converted = QVariant::fromValue(static_cast<Int>(number));
  return true;
}

}  // namespace

std::span<const InterfaceValueInfo> InterfaceValues() { return kValues; }

const InterfaceValueInfo* FindInterfaceValue(int id) {
  for (const InterfaceValueInfo& info : kValues) {
    if (info.id == id) return &info;
  }
  return nullptr;
}

QVariant DefaultInterfaceValue(int id) {
  switch (id) {
    case kConvergenceCriterion: return 0.000001;
    case kMaxIterations: return QVariant::fromValue(qint32{5000});
    case kIterationsBetweenImputations: return QVariant::fromValue(qint32{100});
    case kImputationCount: return QVariant::fromValue(qint32{10});
    case kRandomSeed: return QVariant::fromValue(qint32{0});
    // What the engine takes for 0, written out so that the user sees the numbers that run.
    case kStartCount: return QVariant::fromValue(qint32{20});
    case kFinalStartCount: return QVariant::fromValue(qint32{5});
    case kFirstStageIterations: return QVariant::fromValue(qint32{50});
    case kLogLikelihoodCriterion: return 1e-10;
    case kEnumerationKind: return QVariant::fromValue(qint16{kCompareClasses});
    case kSmallestSize: return QVariant::fromValue(qint32{1});
    case kLargestSize: return QVariant::fromValue(qint32{4});
    case kFirstOrder: return true;
    case kEstimationType: return QVariant::fromValue(qint16{kNewEstimation});
    default: break;
  }
  const InterfaceValueInfo* info = FindInterfaceValue(id);
  if (info == nullptr) return {};
  switch (info->type) {
    case ValueType::kInt16: return QVariant::fromValue(qint16{0});
    case ValueType::kInt32: return QVariant::fromValue(qint32{0});
    case ValueType::kReal: return 0.0;
    case ValueType::kText: return QString();
    case ValueType::kBoolean: return false;
  }
  return {};
}

bool ConvertToType(ValueType type, const QVariant& value, QVariant* converted) {
  switch (type) {
    case ValueType::kInt16:
      return ConvertInteger<qint16>(value, converted);
    case ValueType::kInt32:
      return ConvertInteger<qint32>(value, converted);
    case ValueType::kReal: {
      double real = 0.0;
      if (value.typeId() == QMetaType::QString) {
        if (!ParseReal(value.toString().trimmed(), &real)) return false;
      } else {
        bool ok = false;
        real = value.toDouble(&ok);
        if (!ok || value.typeId() == QMetaType::Bool || !std::isfinite(real)) return false;
      }
      *converted = real;
      return true;
    }
    case ValueType::kText:
      if (!value.isValid()) {
        *converted = QString();
        return true;
      }
      if (!value.canConvert<QString>()) return false;
      *converted = value.toString();
      return true;
    case ValueType::kBoolean: {
      if (value.typeId() == QMetaType::Bool) {
        *converted = value.toBool();
        return true;
      }
      qint64 number = 0;
      if (!WholeNumber(value, &number) || (number != 0 && number != 1)) return false;
      *converted = number == 1;
      return true;
    }
  }
  return false;
}

}  // namespace kov::document
