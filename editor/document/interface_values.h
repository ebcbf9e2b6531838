// The document's scalar settings, each addressed by an integer identifier: positive identifiers
// are text fields of the main window, negative ones its option groups and check boxes.
#pragma once

#include <QString>
#include <QVariant>
#include <span>

namespace kov::document {

enum InterfaceValueId : int {
  kClassCount = 1000,
  kClassItemCount = 1001,
  kStatusCount = 1002,
  kStatusItemCount = 1003,
  kTimeCount = 1004,
  kConvergenceCriterion = 1005,
  kMaxIterations = 1006,
  kDatasetFile = 1007,
  kInputFormat = 1008,
  kEmStartValuesFile = 1009,
  kComments = 1010,
  kResponsePatternCount = 1011,
  kMissingData = 1012,
  kSubjectCount = 1013,
  kOutFile = 1014,
  kEmEstimatesFile = 1015,
  kIterationsBetweenImputations = 1016,
  kImputationCount = 1017,
  kRandomSeed = 1018,
  kDaStartValuesFile = 1019,
  kSeriesFile = 1020,
  kIndividualEstimatesFile = 1021,
  kDaOutFile = 1022,
  kStartCount = 1023,  // random starts: N, K, the first stage and the seed
  kFinalStartCount = 1024,
  kFirstStageIterations = 1025,
  kStartSeed = 1026,
  kLogLikelihoodCriterion = 1027,
  kPosteriorFile = 1028,  // the 'POSTERIOR' line is written when it names a file
  kSmallestSize = 1029,   // comparison of sizes: from, to and the bootstrap samples
  kLargestSize = 1030,
  kBootstrapSamples = 1031,
  kFirstOrder = -1,  // true "First Order", false "Second Order"
  kSaveEmEstimates = -2,
  kPrintResiduals = -3,
  kEstimationType = -4,  // EstimationType
  kReadFormat = -5,      // 0 free field, 1 the input format of kInputFormat
  kWriteIndividualEstimates = -6,
  kRandomStarts = -7,        // the 'STARTS' line is written
  kLogLikelihoodStop = -8,   // the 'STOP' line is written
  kPosteriorByPattern = -9,  // the posterior file has one row per response pattern
  kCompareSizes = -10,       // the 'ENUMERATE' line is written
  kEnumerationKind = -11,    // EnumerationKind
};

// Values of kEstimationType; they are also the codes the engine reads.
enum EstimationType : qint16 { kNewEstimation = 1, kContinuePrevious = 2, kNoEstimation = 4 };
// Values of kEnumerationKind, the codes the engine reads.
enum EnumerationKind : qint16 { kCompareClasses = 1, kCompareStatuses = 2 };

enum class ValueType { kInt16, kInt32, kReal, kText, kBoolean };

struct InterfaceValueInfo {
  int id;
  ValueType type;
  const char* caption;  // the window's caption of the field (empty for the comments box)
};

// Every interface value, in identifier order of the table the window is built from.
std::span<const InterfaceValueInfo> InterfaceValues();
// Null for an identifier that is not an interface value.
const InterfaceValueInfo* FindInterfaceValue(int id);

// The value of a new document; the random seed has none (it is drawn afresh by New).
QVariant DefaultInterfaceValue(int id);

// Converts a value to the type (a qint16, qint32, double, QString or bool in the variant).
// Numbers given as text are parsed without the locale; a Boolean also takes 0 and 1. False when
// the value does not convert.
bool ConvertToType(ValueType type, const QVariant& value, QVariant* converted);

}  // namespace kov::document
