// What a run's results file holds, read without a window: the fit summary and its warnings,
// every parameter table with its standard errors (EM) or intervals (data augmentation), and the
// rows of a comparison of model sizes. The windows only show what these classes computed.
#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace kov::results {

using Value = std::optional<double>;

// One cell of a parameter table. An estimate without an error was fixed (or not estimated).
struct Cell {
  Value estimate;
  Value error;
  Value lower;
  Value upper;
  Value fmi;
};

// A parameter array of any depth laid out as a grid: every index but the last names a row,
// the last one a column.
struct ParameterTable {
  QString key;    // as in the file: gamma, delta, tau, little_rho, big_rho
  QString title;  // what the user reads
  QStringList rowLabels;
  QStringList columnLabels;
  std::vector<std::vector<int>> rowIndices;  // the leading indices of each row
  std::vector<std::vector<Cell>> cells;  // [row][column]; short rows are padded with empty cells

  int Rows() const { return static_cast<int>(rowLabels.size()); }
  int Columns() const { return static_cast<int>(columnLabels.size()); }
  const Cell& At(int row, int column) const {
    return cells[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
  }
};

struct FitSummary {
  Value logLikelihood;
  Value parameters;
  Value degreesOfFreedom;
  Value gSquared;
  Value pearson;
  Value gSquaredP;
  Value pearsonP;
  Value aic;
  Value bic;
  Value adjustedBic;
  Value caic;
  Value entropy;
  int starts = 0;
  int startsAtBest = 0;  // of the starts listed, those that reached the best value
  std::optional<bool> bestReplicated;
  std::optional<bool> identified;
  std::optional<bool> converged;
};

// A matrix of probabilities with its labels, as charts draw them: rows by columns.
struct Matrix {
  QString title;
  QStringList rowLabels;
  QStringList columnLabels;
  std::vector<std::vector<double>> values;
};

class Results {
 public:
  // False, with the reason in error, when the text is not a JSON object.
  bool Parse(const QByteArray& json, QString* error);
  bool Read(const QString& path, QString* error);

  const QString& Path() const { return m_path; }
  const QString& RunType() const { return m_runType; }
  const QString& ReportFile() const { return m_reportFile; }
  const FitSummary& Fit() const { return m_fit; }
  // Intervals rather than standard errors: a data-augmentation run.
  bool HasIntervals() const { return m_hasIntervals; }
  bool HasErrors() const { return m_hasErrors; }
  int Classes() const { return m_classes; }
  int Statuses() const { return m_statuses; }
  int Occasions() const { return m_occasions; }
  const std::vector<ParameterTable>& Tables() const { return m_tables; }
  const ParameterTable* Table(const QString& key) const;
  // What the user should know before reading the estimates, one sentence each.
  QStringList Warnings() const;

  // Probability of each category (columns) by item (rows): one per class from the class items,
  // one per class and status (and occasion, when the items vary by occasion) from the status
  // items.
  std::vector<Matrix> ItemProfiles() const;
  // Per class, the share of each status (columns) at each occasion (rows): the first occasion's
  // prevalences carried forward through the transition matrices.
  std::vector<Matrix> StatusPrevalences() const;
  // Per class, each transition matrix: from status (rows) to status (columns).
  std::vector<Matrix> TransitionMatrices() const;

 private:
  void ReadTables(const QJsonObject& root);
  // The control file's name of a class, status or item ("Class 2" where the file gives none).
  QString Name(const QString& axis, int index, const QString& table = {}) const;
  QString IndexLabel(const QString& axis, int index, int tauRows, const QString& table) const;

  QString m_path;
  QString m_runType;
  QString m_reportFile;
  FitSummary m_fit;
  bool m_hasIntervals = false;
  bool m_hasErrors = false;
  int m_classes = 0;
  int m_statuses = 0;
  int m_occasions = 0;
  QStringList m_classNames;
  QStringList m_statusNames;
  QStringList m_classItemNames;
  QStringList m_statusItemNames;
  std::vector<ParameterTable> m_tables;
};

// One fitted size of a class enumeration.
struct CompareRow {
  int size = 0;
  Value logLikelihood;
  Value parameters;
  Value degreesOfFreedom;
  Value gSquared;
  Value aic;
  Value bic;
  Value adjustedBic;
  Value caic;
  Value entropy;
  Value smallestShare;
  std::optional<bool> bestReplicated;
  Value blrtP;
};

class Comparison {
 public:
  // The rows as an array, or an object holding them under "rows".
  bool Parse(const QByteArray& json, QString* error);
  bool Read(const QString& path, QString* error);

  const QString& Path() const { return m_path; }
  const std::vector<CompareRow>& Rows() const { return m_rows; }
  // X.k<size>.out beside X.compare.json.
  QString ReportOfSize(int size) const;
  QString ResultsOfSize(int size) const;

 private:
  QString m_path;
  std::vector<CompareRow> m_rows;
};

// One field of RFC 4180 CSV: quoted when it holds a comma, a quote or a line break, with its
// quotes doubled.
QString CsvField(const QString& text);
// Rows of fields joined with commas and ended with CRLF.
QByteArray CsvText(const std::vector<QStringList>& rows);
// Shortest text that reads back as the same double, with a point whatever the locale.
QString NumberText(double value);
QString NumberText(const Value& value);

}  // namespace kov::results
