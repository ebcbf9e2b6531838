#include "results_model.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <functional>

namespace kov::results {

namespace {

// Two log-likelihoods within this relative distance are the same maximum, as the engine counts.
constexpr double kReplicationTolerance = 1e-6;

Value NumberOf(const QJsonValue& value) {
  if (!value.isDouble()) return std::nullopt;
  const double number = value.toDouble();
  return std::isfinite(number) ? Value(number) : std::nullopt;
}

std::optional<bool> FlagOf(const QJsonValue& value) {
  if (!value.isBool()) return std::nullopt;
  return value.toBool();
}

QJsonValue At(QJsonValue value, const std::vector<int>& path) {
  for (int index : path) {
    if (!value.isArray()) return QJsonValue(QJsonValue::Undefined);
    value = value.toArray().at(index);
  }
  return value;
}

bool ReadFile(const QString& path, QByteArray* bytes, QString* error) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    if (error != nullptr)
      *error = QStringLiteral("Unable to open %1: %2").arg(path, file.errorString());
    return false;
  }
  *bytes = file.readAll();
  return true;
}

QJsonDocument ParseDocument(const QByteArray& json, QString* error) {
  QJsonParseError parse{};
  QJsonDocument document = QJsonDocument::fromJson(json, &parse);
  if (document.isNull() && error != nullptr) {
    *error = QStringLiteral("Not a results file: %1 at byte %2")
                 .arg(parse.errorString())
                 .arg(parse.offset);
  }
  return document;
}

// How deep the arrays nest under value, following first elements.
int DepthOf(QJsonValue value) {
  int depth = 0;
  while (value.isArray() && !value.toArray().isEmpty()) {
    value = value.toArray().at(0);
    ++depth;
  }
  return depth;
}

struct TableShape {
  QString key;
  QString title;
  QStringList axes;  // one name per index; the last names the columns
};

// The axes of each array; delta may also come per occasion.
std::vector<TableShape> ShapesFor(const QJsonObject& estimates) {
  const bool deltaByOccasion = DepthOf(estimates.value(QStringLiteral("delta"))) >= 3;
  QStringList deltaAxes{QStringLiteral("Class"), QStringLiteral("Status")};
  if (deltaByOccasion) deltaAxes.insert(1, QStringLiteral("Occasion"));
  return {
      {QStringLiteral("gamma"),
       QStringLiteral("Class prevalences (gamma)"),
       {QStringLiteral("Class")}},
      {QStringLiteral("delta"), QStringLiteral("Status prevalences (delta)"), deltaAxes},
      {QStringLiteral("tau"),
       QStringLiteral("Transition probabilities (tau)"),
       {QStringLiteral("Class"), QStringLiteral("From status"), QStringLiteral("Status")}},
      {QStringLiteral("little_rho"),
       QStringLiteral("Class item-response probabilities (little rho)"),
       {QStringLiteral("Class"), QStringLiteral("Item"), QStringLiteral("Category")}},
      {QStringLiteral("big_rho"),
       QStringLiteral("Status item-response probabilities (big rho)"),
       {QStringLiteral("Class"), QStringLiteral("Occasion"), QStringLiteral("Item"),
        QStringLiteral("Status"), QStringLiteral("Category")}},
  };
}

Matrix MatrixOfTable(const ParameterTable& table, int firstRow, int rows, const QString& title) {
  Matrix matrix;
  matrix.title = title;
  matrix.columnLabels = table.columnLabels;
  for (int r = firstRow; r < firstRow + rows && r < table.Rows(); ++r) {
    matrix.rowLabels << table.rowLabels[r].section(QStringLiteral(", "), -1);
    std::vector<double> row;
    for (int c = 0; c < table.Columns(); ++c) row.push_back(table.At(r, c).estimate.value_or(0.0));
    matrix.values.push_back(std::move(row));
  }
  return matrix;
}

// The rows of a table whose leading indices are these, in order.
std::vector<int> RowsWithPrefix(const ParameterTable& table, const std::vector<int>& prefix) {
  std::vector<int> rows;
  for (int r = 0; r < table.Rows(); ++r) {
    const std::vector<int>& index = table.rowIndices[static_cast<std::size_t>(r)];
    if (index.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), index.begin()))
      rows.push_back(r);
  }
  return rows;
}

}  // namespace

bool Results::Read(const QString& path, QString* error) {
  QByteArray bytes;
  if (!ReadFile(path, &bytes, error) || !Parse(bytes, error)) return false;
  m_path = QFileInfo(path).absoluteFilePath();
  return true;
}

bool Results::Parse(const QByteArray& json, QString* error) {
  const QJsonDocument document = ParseDocument(json, error);
  if (!document.isObject()) {
    if (!document.isNull() && error != nullptr)
      *error = QStringLiteral("Not a results file: no object at the top");
    return false;
  }
  *this = Results();
  const QJsonObject root = document.object();
  m_runType = root.value(QStringLiteral("run_type")).toString();
  m_reportFile =
      root.value(QStringLiteral("files")).toObject().value(QStringLiteral("report")).toString();
  const QJsonObject dimensions = root.value(QStringLiteral("dimensions")).toObject();
  m_classes = dimensions.value(QStringLiteral("classes")).toInt();
  m_statuses = dimensions.value(QStringLiteral("statuses")).toInt();
  m_occasions = dimensions.value(QStringLiteral("occasions")).toInt();
  const QJsonObject labels = root.value(QStringLiteral("labels")).toObject();
  const auto names = [&](const char* key) {
    QStringList list;
    for (const QJsonValue& name : labels.value(QLatin1String(key)).toArray())
      list << name.toString();
    return list;
  };
  m_classNames = names("classes");
  m_statusNames = names("statuses");
  m_classItemNames = names("class_items");
  m_statusItemNames = names("status_items");

  FitSummary& fit = m_fit;
  fit.logLikelihood = NumberOf(root.value(QStringLiteral("loglik")));
  fit.parameters = NumberOf(root.value(QStringLiteral("npar")));
  fit.degreesOfFreedom = NumberOf(root.value(QStringLiteral("df")));
  fit.gSquared = NumberOf(root.value(QStringLiteral("G2")));
  fit.pearson = NumberOf(root.value(QStringLiteral("X2")));
  fit.gSquaredP = NumberOf(root.value(QStringLiteral("p_G2")));
  fit.pearsonP = NumberOf(root.value(QStringLiteral("p_X2")));
  fit.aic = NumberOf(root.value(QStringLiteral("AIC")));
  fit.bic = NumberOf(root.value(QStringLiteral("BIC")));
  fit.adjustedBic = NumberOf(root.value(QStringLiteral("aBIC")));
  fit.caic = NumberOf(root.value(QStringLiteral("CAIC")));
  fit.entropy = NumberOf(root.value(QStringLiteral("entropy")));
  fit.bestReplicated = FlagOf(root.value(QStringLiteral("best_replicated")));
  fit.identified = FlagOf(root.value(QStringLiteral("identified")));
  fit.converged = FlagOf(root.value(QStringLiteral("converged")));
  std::vector<double> starts;
  for (const QJsonValue& start : root.value(QStringLiteral("starts")).toArray()) {
    if (const Value value = NumberOf(start.toObject().value(QStringLiteral("loglik"))))
      starts.push_back(*value);
  }
  fit.starts = static_cast<int>(root.value(QStringLiteral("starts")).toArray().size());
  if (!starts.empty()) {
    const double best = *std::max_element(starts.begin(), starts.end());
    fit.startsAtBest =
        static_cast<int>(std::count_if(starts.begin(), starts.end(), [best](double value) {
          return std::fabs(value - best) <= kReplicationTolerance * std::fabs(best);
        }));
  }
  ReadTables(root);
  return true;
}

void Results::ReadTables(const QJsonObject& root) {
  const QJsonObject estimates = root.value(QStringLiteral("estimates")).toObject();
  const QJsonObject errors = root.value(QStringLiteral("standard_errors")).toObject();
  const QJsonObject lower = root.value(QStringLiteral("lower")).toObject();
  const QJsonObject upper = root.value(QStringLiteral("upper")).toObject();
  const QJsonObject fmi = root.value(QStringLiteral("fmi")).toObject();
  m_hasIntervals = !lower.isEmpty() || !upper.isEmpty();
  m_hasErrors = !errors.isEmpty();
  const int tauRows =
      DepthOf(estimates.value(QStringLiteral("tau"))) >= 2
          ? static_cast<int>(At(estimates.value(QStringLiteral("tau")), {0}).toArray().size())
          : 0;

  for (const TableShape& shape : ShapesFor(estimates)) {
    const QJsonValue values = estimates.value(shape.key);
    if (!values.isArray() || values.toArray().isEmpty()) continue;
    ParameterTable table;
    table.key = shape.key;
    table.title = shape.title;
    const int rowDepth = static_cast<int>(shape.axes.size()) - 1;
    int columns = 0;
    // Every path of leading indices that leads to an array of columns.
    std::function<void(const QJsonValue&, std::vector<int>&)> walk = [&](const QJsonValue& value,
                                                                         std::vector<int>& path) {
      if (static_cast<int>(path.size()) == rowDepth) {
        if (!value.isArray()) return;
        QStringList label;
        for (std::size_t a = 0; a < path.size(); ++a) {
          label << IndexLabel(shape.axes[static_cast<int>(a)], path[a], tauRows, shape.key);
        }
        table.rowLabels << (label.isEmpty() ? QStringLiteral("Estimate")
                                            : label.join(QStringLiteral(", ")));
        table.rowIndices.push_back(path);
        std::vector<Cell> row;
        const QJsonArray array = value.toArray();
        for (int c = 0; c < array.size(); ++c) {
          std::vector<int> at = path;
          at.push_back(c);
          row.push_back(Cell{NumberOf(array.at(c)), NumberOf(At(errors.value(shape.key), at)),
                             NumberOf(At(lower.value(shape.key), at)),
                             NumberOf(At(upper.value(shape.key), at)),
                             NumberOf(At(fmi.value(shape.key), at))});
        }
        columns = std::max(columns, static_cast<int>(row.size()));
        table.cells.push_back(std::move(row));
        return;
      }
      const QJsonArray array = value.toArray();
      for (int i = 0; i < array.size(); ++i) {
        path.push_back(i);
        walk(array.at(i), path);
        path.pop_back();
      }
    };
    std::vector<int> path;
    walk(values, path);
    if (table.cells.empty()) continue;
    for (std::vector<Cell>& row : table.cells) row.resize(static_cast<std::size_t>(columns));
    for (int c = 0; c < columns; ++c)
      table.columnLabels << IndexLabel(shape.axes.last(), c, 0, shape.key);
    m_tables.push_back(std::move(table));
  }
}

QString Results::Name(const QString& axis, int index, const QString& table) const {
  const QStringList* names = nullptr;
  if (axis == QLatin1String("Class")) names = &m_classNames;
  if (axis == QLatin1String("Status")) names = &m_statusNames;
  if (axis == QLatin1String("Item")) {
    names = table == QLatin1String("little_rho") ? &m_classItemNames : &m_statusItemNames;
  }
  const QString name = names != nullptr ? names->value(index).trimmed() : QString();
  return name.isEmpty() ? QStringLiteral("%1 %2").arg(axis).arg(index + 1) : name;
}

// "Transition 2, from status 1" when later transitions have rows of their own.
QString Results::IndexLabel(const QString& axis, int index, int tauRows,
                            const QString& table) const {
  if (axis == QLatin1String("From status") && m_statuses > 0) {
    const QString name = m_statusNames.value(index % m_statuses).trimmed();
    const QString from = name.isEmpty()
                             ? QStringLiteral("from status %1").arg(index % m_statuses + 1)
                             : QStringLiteral("from ") + name;
    if (tauRows > m_statuses)
      return QStringLiteral("Transition %1, ").arg(index / m_statuses + 1) + from;
    return from.left(1).toUpper() + from.mid(1);
  }
  return Name(axis, index, table);
}

const ParameterTable* Results::Table(const QString& key) const {
  for (const ParameterTable& table : m_tables) {
    if (table.key == key) return &table;
  }
  return nullptr;
}

QStringList Results::Warnings() const {
  QStringList warnings;
  if (m_fit.identified == false) {
    warnings << QStringLiteral(
        "The model is not identified: some parameters cannot be estimated from these data.");
  }
  if (m_fit.converged == false) warnings << QStringLiteral("The estimation did not converge.");
  if (m_fit.bestReplicated == false) {
    warnings << QStringLiteral(
        "The best log-likelihood was reached by one start only: it may be a local maximum.");
  }
  return warnings;
}

std::vector<Matrix> Results::ItemProfiles() const {
  std::vector<Matrix> profiles;
  if (const ParameterTable* rho = Table(QStringLiteral("little_rho"))) {
    for (int c = 0; c < m_classes || (m_classes == 0 && c == 0 && rho->Rows() > 0); ++c) {
      const std::vector<int> rows = RowsWithPrefix(*rho, {c});
      if (rows.empty()) break;
      profiles.push_back(
          MatrixOfTable(*rho, rows.front(), static_cast<int>(rows.size()),
                        Name(QStringLiteral("Class"), c) + QStringLiteral(": class items")));
    }
  }
  if (const ParameterTable* rho = Table(QStringLiteral("big_rho"))) {
    // Rows run class, occasion, item, status: pick each class, occasion and status in turn.
    std::vector<std::vector<int>> groups;
    for (const std::vector<int>& index : rho->rowIndices) {
      if (index.size() != 4) continue;
      const std::vector<int> group{index[0], index[1], index[3]};
      if (std::find(groups.begin(), groups.end(), group) == groups.end()) groups.push_back(group);
    }
    std::sort(groups.begin(), groups.end());
    // Items tied equal across occasions (the usual measurement invariance) need one chart per
    // class and status, not one per occasion.
    bool byOccasion = false;
    for (int r = 0; r < rho->Rows() && !byOccasion; ++r) {
      const std::vector<int>& index = rho->rowIndices[static_cast<std::size_t>(r)];
      if (index.size() != 4 || index[1] == 0) continue;
      const std::vector<int> first{index[0], 0, index[2], index[3]};
      const auto same = std::find(rho->rowIndices.begin(), rho->rowIndices.end(), first);
      if (same == rho->rowIndices.end()) {
        byOccasion = true;
        break;
      }
      const int f = static_cast<int>(same - rho->rowIndices.begin());
      for (int k = 0; k < rho->Columns(); ++k) {
        if (rho->At(r, k).estimate != rho->At(f, k).estimate) byOccasion = true;
      }
    }
    for (const std::vector<int>& group : groups) {
      if (!byOccasion && group[1] > 0) continue;
      Matrix matrix;
      const QString status = m_statusNames.value(group[2]).trimmed();
      matrix.title = Name(QStringLiteral("Class"), group[0]) + QStringLiteral(", ") +
                     (status.isEmpty() ? QStringLiteral("status %1").arg(group[2] + 1) : status);
      if (byOccasion) matrix.title += QStringLiteral(", occasion %1").arg(group[1] + 1);
      matrix.columnLabels = rho->columnLabels;
      for (int r = 0; r < rho->Rows(); ++r) {
        const std::vector<int>& index = rho->rowIndices[static_cast<std::size_t>(r)];
        if (index.size() != 4 || index[0] != group[0] || index[1] != group[1] ||
            index[3] != group[2])
          continue;
        matrix.rowLabels << Name(QStringLiteral("Item"), index[2], QStringLiteral("big_rho"));
        std::vector<double> row;
        for (int k = 0; k < rho->Columns(); ++k)
          row.push_back(rho->At(r, k).estimate.value_or(0.0));
        matrix.values.push_back(std::move(row));
      }
      profiles.push_back(std::move(matrix));
    }
  }
  return profiles;
}

std::vector<Matrix> Results::TransitionMatrices() const {
  std::vector<Matrix> matrices;
  const ParameterTable* tau = Table(QStringLiteral("tau"));
  if (tau == nullptr || m_statuses <= 0) return matrices;
  for (int c = 0;; ++c) {
    const std::vector<int> rows = RowsWithPrefix(*tau, {c});
    if (rows.empty()) break;
    const int transitions = static_cast<int>(rows.size()) / m_statuses;
    for (int t = 0; t < transitions; ++t) {
      QString title = Name(QStringLiteral("Class"), c);
      if (transitions > 1) {
        // The last matrix also serves every later transition.
        title += t + 1 < transitions ? QStringLiteral(", transition %1").arg(t + 1)
                                     : QStringLiteral(", transitions %1 on").arg(t + 1);
      }
      Matrix matrix = MatrixOfTable(*tau, rows.front() + t * m_statuses, m_statuses, title);
      for (QString& label : matrix.rowLabels) {
        if (label.startsWith(QLatin1String("from "))) label[0] = QLatin1Char('F');
      }
      matrices.push_back(std::move(matrix));
    }
  }
  return matrices;
}

std::vector<Matrix> Results::StatusPrevalences() const {
  std::vector<Matrix> prevalences;
  const ParameterTable* delta = Table(QStringLiteral("delta"));
  if (delta == nullptr || m_statuses <= 0) return prevalences;
  const std::vector<Matrix> transitions = TransitionMatrices();
  const int occasions = std::max(m_occasions, 1);
  for (int c = 0;; ++c) {
    const std::vector<int> rows = RowsWithPrefix(*delta, {c});
    if (rows.empty()) break;
    Matrix matrix;
    matrix.title = Name(QStringLiteral("Class"), c);
    matrix.columnLabels = delta->columnLabels;
    std::vector<const Matrix*> classTransitions;
    const QString classTitle = matrix.title;
    for (const Matrix& m : transitions) {
      if (m.title == classTitle || m.title.startsWith(classTitle + QLatin1Char(',')))
        classTransitions.push_back(&m);
    }
    for (int t = 0; t < occasions; ++t) {
      std::vector<double> share(static_cast<std::size_t>(delta->Columns()), 0.0);
      if (static_cast<int>(rows.size()) > 1) {
        // Delta given for every occasion.
        if (t >= static_cast<int>(rows.size())) break;
        for (int s = 0; s < delta->Columns(); ++s)
          share[s] = delta->At(rows[t], s).estimate.value_or(0.0);
      } else if (t == 0) {
        for (int s = 0; s < delta->Columns(); ++s)
          share[s] = delta->At(rows[0], s).estimate.value_or(0.0);
      } else {
        if (classTransitions.empty()) break;
        const Matrix& tau =
            *classTransitions[std::min<std::size_t>(t - 1, classTransitions.size() - 1)];
        const std::vector<double>& before = matrix.values.back();
        // The share at the next occasion: the row vector of shares times the transition matrix.
        for (std::size_t from = 0; from < tau.values.size() && from < before.size(); ++from) {
          for (std::size_t to = 0; to < tau.values[from].size() && to < share.size(); ++to) {
            share[to] += before[from] * tau.values[from][to];
          }
        }
      }
      matrix.rowLabels << QStringLiteral("Occasion %1").arg(t + 1);
      matrix.values.push_back(std::move(share));
    }
    prevalences.push_back(std::move(matrix));
  }
  return prevalences;
}

bool Comparison::Read(const QString& path, QString* error) {
  QByteArray bytes;
  if (!ReadFile(path, &bytes, error) || !Parse(bytes, error)) return false;
  m_path = QFileInfo(path).absoluteFilePath();
  return true;
}

bool Comparison::Parse(const QByteArray& json, QString* error) {
  const QJsonDocument document = ParseDocument(json, error);
  if (document.isNull()) return false;
  const QJsonArray rows = document.isArray()
                              ? document.array()
                              : document.object().value(QStringLiteral("rows")).toArray();
  if (rows.isEmpty()) {
    if (error != nullptr) *error = QStringLiteral("The comparison holds no fitted sizes.");
    return false;
  }
  m_rows.clear();
  for (const QJsonValue& value : rows) {
    const QJsonObject row = value.toObject();
    CompareRow compare;
    compare.size = row.value(QStringLiteral("size")).toInt();
    compare.logLikelihood = NumberOf(row.value(QStringLiteral("loglik")));
    compare.parameters = NumberOf(row.value(QStringLiteral("npar")));
    compare.degreesOfFreedom = NumberOf(row.value(QStringLiteral("df")));
    compare.gSquared = NumberOf(row.value(QStringLiteral("G2")));
    compare.aic = NumberOf(row.value(QStringLiteral("AIC")));
    compare.bic = NumberOf(row.value(QStringLiteral("BIC")));
    compare.adjustedBic = NumberOf(row.value(QStringLiteral("aBIC")));
    compare.caic = NumberOf(row.value(QStringLiteral("CAIC")));
    compare.entropy = NumberOf(row.value(QStringLiteral("entropy")));
    compare.smallestShare = NumberOf(row.value(QStringLiteral("smallest_share")));
    compare.bestReplicated = FlagOf(row.value(QStringLiteral("best_replicated")));
    compare.blrtP = NumberOf(row.value(QStringLiteral("blrt_p")));
    m_rows.push_back(compare);
  }
  std::sort(m_rows.begin(), m_rows.end(),
            [](const CompareRow& a, const CompareRow& b) { return a.size < b.size; });
  return true;
}

QString Comparison::ResultsOfSize(int size) const {
  const QString suffix = QStringLiteral(".compare.json");
  QString base = m_path;
  if (base.endsWith(suffix, Qt::CaseInsensitive)) base.chop(suffix.size());
  return base + QStringLiteral(".k%1.json").arg(size);
}

QString Comparison::ReportOfSize(int size) const {
  QString results = ResultsOfSize(size);
  results.chop(4);
  return results + QStringLiteral("out");
}

QString CsvField(const QString& text) {
  if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
      !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r'))) {
    return text;
  }
  QString quoted = text;
  quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
  return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QByteArray CsvText(const std::vector<QStringList>& rows) {
  QByteArray text;
  for (const QStringList& row : rows) {
    QStringList fields;
    for (const QString& field : row) fields << CsvField(field);
    text += fields.join(QLatin1Char(',')).toUtf8() + "\r\n";
  }
  return text;
}

QString NumberText(double value) {
  return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

QString NumberText(const Value& value) { return value ? NumberText(*value) : QString(); }

}  // namespace kov::results
