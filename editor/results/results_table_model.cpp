#include "results_table_model.h"

#include <array>

namespace kov::results {

namespace {

// Probabilities and their errors read well at four decimals; fit statistics at two.
constexpr int kEstimateDecimals = 4;
constexpr int kFitDecimals = 2;

QVariant Rounded(const Value& value, int decimals) {
  if (!value) return QString();
  return QString::number(*value, 'f', decimals);
}

}  // namespace

ParameterTableModel::ParameterTableModel(const ParameterTable& table, Extras extras,
                                         QObject* parent)
    : QAbstractTableModel(parent), m_table(table), m_extras(extras) {}

ParameterTableModel::Extras ParameterTableModel::ExtrasFor(const Results& results,
                                                           const ParameterTable& table) {
  if (results.HasIntervals()) {
    for (const auto& row : table.cells) {
      for (const Cell& cell : row) {
        if (cell.fmi) return Extras::kIntervalAndFmi;
      }
    }
    return Extras::kInterval;
  }
  return results.HasErrors() ? Extras::kStandardError : Extras::kNone;
}

int ParameterTableModel::Span() const {
  switch (m_extras) {
    case Extras::kNone: return 1;
    case Extras::kStandardError: return 2;
    case Extras::kInterval: return 3;
    case Extras::kIntervalAndFmi: return 4;
  }
  return 1;
}

int ParameterTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : m_table.Rows();
}

int ParameterTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : m_table.Columns() * Span();
}

Value ParameterTableModel::ValueAt(int row, int column) const {
  const Cell& cell = m_table.At(row, column / Span());
  switch (column % Span()) {
    case 0: return cell.estimate;
    case 1: return m_extras == Extras::kStandardError ? cell.error : cell.lower;
    case 2: return cell.upper;
    default: return cell.fmi;
  }
}

QVariant ParameterTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
  const Value value = ValueAt(index.row(), index.column());
  switch (role) {
    case Qt::DisplayRole: return Rounded(value, kEstimateDecimals);
    case Qt::UserRole: return value ? QVariant(*value) : QVariant();
    case Qt::TextAlignmentRole: return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    case Qt::ToolTipRole:
      if (index.column() % Span() != 0 && !value &&
          m_table.At(index.row(), index.column() / Span()).estimate) {
        return QStringLiteral("Fixed: no error");
      }
      return value ? QVariant(NumberText(value)) : QVariant();
    default: return {};
  }
}

QVariant ParameterTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Vertical)
    return section < m_table.Rows() ? m_table.rowLabels[section] : QVariant();
  if (section >= columnCount()) return {};
  const QString name = m_table.columnLabels[section / Span()];
  static const std::array<QString, 4> kEmSuffix{QString(), QStringLiteral(" SE")};
  static const std::array<QString, 4> kDaSuffix{QString(), QStringLiteral(" lower"),
                                                QStringLiteral(" upper"), QStringLiteral(" FMI")};
  const int part = section % Span();
  return name + (m_extras == Extras::kStandardError ? kEmSuffix[part] : kDaSuffix[part]);
}

namespace {

struct CompareColumn {
  const char* title;
  Value CompareRow::*value;
  int decimals;
};

const std::array<CompareColumn, 10> kCompareColumns{{
    {"Log-likelihood", &CompareRow::logLikelihood, kFitDecimals},
    {"Parameters", &CompareRow::parameters, 0},
    {"df", &CompareRow::degreesOfFreedom, 0},
    {"G-squared", &CompareRow::gSquared, kFitDecimals},
    {"AIC", &CompareRow::aic, kFitDecimals},
    {"BIC", &CompareRow::bic, kFitDecimals},
    {"Adjusted BIC", &CompareRow::adjustedBic, kFitDecimals},
    {"CAIC", &CompareRow::caic, kFitDecimals},
    {"Entropy", &CompareRow::entropy, 3},
    {"Smallest class", &CompareRow::smallestShare, 3},
}};
// After the numeric columns: best replicated, then the bootstrap p.
constexpr int kReplicatedColumn = static_cast<int>(kCompareColumns.size());
constexpr int kBlrtColumn = kReplicatedColumn + 1;

}  // namespace

ComparisonModel::ComparisonModel(std::vector<CompareRow> rows, QObject* parent)
    : QAbstractTableModel(parent), m_rows(std::move(rows)) {}

int ComparisonModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ComparisonModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kBlrtColumn + 1;
}

QVariant ComparisonModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
  const CompareRow& row = m_rows[static_cast<std::size_t>(index.row())];
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
  if (role != Qt::DisplayRole && role != Qt::UserRole) return {};
  if (index.column() == kReplicatedColumn) {
    if (!row.bestReplicated) return QString();
    return *row.bestReplicated ? QStringLiteral("yes") : QStringLiteral("no");
  }
  Value value = row.blrtP;
  int decimals = 3;
  if (index.column() < kReplicatedColumn) {
    const CompareColumn& column = kCompareColumns[static_cast<std::size_t>(index.column())];
    value = row.*column.value;
    decimals = column.decimals;
  }
  if (role == Qt::UserRole) return value ? QVariant(*value) : QVariant();
  return Rounded(value, decimals);
}

QVariant ComparisonModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Vertical) {
    return section < rowCount() ? QVariant(QStringLiteral("%1 classes")
                                               .arg(m_rows[static_cast<std::size_t>(section)].size))
                                : QVariant();
  }
  if (section < kReplicatedColumn)
    return QString::fromLatin1(kCompareColumns[static_cast<std::size_t>(section)].title);
  if (section == kReplicatedColumn) return QStringLiteral("Best replicated");
  if (section == kBlrtColumn) return QStringLiteral("Bootstrap LRT p");
  return {};
}

QByteArray ModelCsv(const QAbstractItemModel& model, const QString& rowHeaderTitle) {
  std::vector<QStringList> rows;
  QStringList header{rowHeaderTitle};
  for (int c = 0; c < model.columnCount(); ++c)
    header << model.headerData(c, Qt::Horizontal).toString();
  rows.push_back(header);
  for (int r = 0; r < model.rowCount(); ++r) {
    QStringList fields{model.headerData(r, Qt::Vertical).toString()};
    for (int c = 0; c < model.columnCount(); ++c) {
      const QModelIndex index = model.index(r, c);
      const QVariant full = model.data(index, Qt::UserRole);
      fields << (full.typeId() == QMetaType::Double ? NumberText(full.toDouble())
                                                    : model.data(index).toString());
    }
    rows.push_back(fields);
  }
  return CsvText(rows);
}

}  // namespace kov::results
