// Grids over the results: a parameter table with its errors or intervals beside each estimate,
// and the rows of a comparison of sizes. Display text is rounded; Qt::UserRole holds the full
// number, which is what CSV export writes.
#pragma once

#include <QAbstractTableModel>

#include "results_model.h"

namespace kov::results {

class ParameterTableModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  // What stands beside each estimate.
  enum class Extras { kNone, kStandardError, kInterval, kIntervalAndFmi };

  ParameterTableModel(const ParameterTable& table, Extras extras, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  static Extras ExtrasFor(const Results& results, const ParameterTable& table);

 private:
  int Span() const;
  Value ValueAt(int row, int column) const;

  ParameterTable m_table;
  Extras m_extras;
};

class ComparisonModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit ComparisonModel(std::vector<CompareRow> rows, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  std::vector<CompareRow> m_rows;
};

// The whole model as CSV: a header row of the column titles after the row-header title, then
// each row's header and values (full numbers where the model has them).
QByteArray ModelCsv(const class QAbstractItemModel& model, const QString& rowHeaderTitle);

}  // namespace kov::results
