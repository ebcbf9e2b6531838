// The parameter series file of one data-augmentation run, read whole: for every iteration the
// five weighted sums of the parameter draws (gamma, delta, tau, little rho, big rho), and the
// header's counts that tell which families exist and where the imputations were taken.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <vector>

namespace kov::series {

// Families in the order of the file's columns, numbered as the window's options are.
enum Family : int { kGamma = 1, kDelta = 2, kTau = 3, kLittleRho = 4, kBigRho = 5 };
inline constexpr int kFamilyCount = 5;

inline const QString kSeriesFileFilter = QStringLiteral("Parameter Series (*.ser)");

// Error numbers shown with a failed read, in the way the engine numbers its read failures: an
// open failure shows the system's errno, the end of the file -1, a value that does not parse
// 5001 and an allocation that failed 5007.
inline constexpr std::int32_t kSeriesEndOfFile = -1;
inline constexpr std::int32_t kSeriesBadValue = 5001;
inline constexpr std::int32_t kSeriesOutOfMemory = 5007;

// The plots' ranges in iterations (1-based) and the longest lag of the autocorrelation.
struct SeriesRanges {
  int timeSeriesFirst = 1;
  int timeSeriesLast = 0;
  int acfFirst = 1;
  int acfLast = 0;
  int maxLag = 0;
};

// The time-series plot draws at most this many points, the autocorrelation this many lags.
inline constexpr int kMaxTimeSeriesPoints = 10000;
inline constexpr int kMaxLag = 100;

// Every how many iterations the time-series plot draws one, so that a span of `iterations`
// iterations needs at most kMaxTimeSeriesPoints points: 1 up to that many, then the smallest k
// with ceil(iterations / k) <= kMaxTimeSeriesPoints. A chain thinned evenly keeps its trends and
// excursions, which is what the plot is read for; a chain cut after its first stretch hides them.
int TimeSeriesStep(int iterations);

class ParameterSeries : public QObject {
  Q_OBJECT

 public:
  explicit ParameterSeries(QObject* parent = nullptr) : QObject(parent) {}

  // Reads a file. True on success, which raises DataChanged. A failed read drops the data
  // held and keeps its message in LastFailure(). Asking the user for a file is the window's
  // business (kSeriesFileFilter): this class has no widgets.
  bool OpenSeries(const QString& path);

  // The modal message that a failed read shows: title "Unexpected Error" and the text.
  struct Failure {
    QString title;
    QString text;
    bool IsEmpty() const { return text.isEmpty(); }
  };
  const Failure& LastFailure() const { return m_failure; }
  // Set when the file read ends before the header's last iteration, as the series of an aborted
  // run does: what was read is kept and this says how much of it there is. Not a failure.
  const QString& Notice() const { return m_notice; }

  // Sets the plots' initial ranges from the counts: the time series over iterations 1 to N
  // (thinned by TimeSeriesStep when drawn), the autocorrelation over the first k iterations up to
  // lag k (at most kMaxLag). False without valid data.
  bool bSetTimeSeriesInfo();
  const SeriesRanges& Ranges() const { return m_ranges; }

  const QString& sFilename() const { return m_filename; }
  std::int32_t lClasses() const { return m_classes; }
  std::int32_t lStatuses() const { return m_statuses; }
  // The header counts every model as at least one class and one status, so a latent variable
  // exists when it has more than one.
  bool bHasClasses() const { return m_classes > 1; }
  bool bHasStatuses() const { return m_statuses > 1; }
  // Whether the family's series means anything in this model.
  bool FamilyExists(int family) const;
  bool bValidData() const { return m_valid; }

  std::int32_t lNumberOfIterations() const { return m_iterations; }
  std::int32_t lNumberOfSeries() const { return m_imputations; }
  std::int32_t lNumberOfVariables() const { return kFamilyCount; }
  std::int32_t lKthIterationSaved() const { return m_between; }

  // "Gamma", "Delta", "Tau", "Little Rho", "Big Rho".
  static const QStringList& varVariableNames();
  static QString FamilyName(int family);

  // The value of a family (1..5) at an iteration (1..N).
  double varParameterData(int iteration, int family) const {
    return m_values[family - 1][iteration - 1];
  }
  // A family's whole series, index 0 holding iteration 1.
  const std::vector<double>& FamilyValues(int family) const { return m_values[family - 1]; }

 signals:
  void DataChanged();

 private:
  bool Read(const QString& path);
  void Clear();

  Failure m_failure;
  QString m_notice;
  QString m_filename;
  std::int32_t m_imputations = 0;
  std::int32_t m_between = 0;
  std::int32_t m_classes = 0;
  std::int32_t m_statuses = 0;
  std::int32_t m_iterations = 0;
  bool m_valid = false;
  std::array<std::vector<double>, kFamilyCount> m_values;
  SeriesRanges m_ranges;
};

}  // namespace kov::series
