#include "parameter_series.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

namespace kov::series {

namespace {

const QString kFailureTitle = QStringLiteral("Unexpected Error");

// A failed step of the read: which of the messages it shows, and its error text.
struct ReadError {
  enum Stage { kIncomplete, kOpening, kReading, kOther } stage = kReading;
  std::int32_t number = 0;
  QString description;
};

ReadError Error(ReadError::Stage stage, std::int32_t number, const QString& description) {
  return ReadError{stage, number, description};
}

// The whole file, or the errno of the failed open or read. The file is closed on return.
bool LoadFile(const QString& path, QByteArray* bytes, int* error) {
  const QByteArray name = QFile::encodeName(path);
  errno = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(name.constData(), "rb"),
                                                       &std::fclose);
  if (!file) {
    *error = errno != 0 ? errno : EIO;
    return false;
  }
  char buffer[1 << 16];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
    bytes->append(buffer, static_cast<qsizetype>(got));
    if (got < sizeof buffer) break;
  }
  if (std::ferror(file.get())) {
    *error = errno != 0 ? errno : EIO;
    return false;
  }
  return true;
}

// Hands out the file's lines one at a time, without their line ends.
class LineReader {
 public:
  explicit LineReader(const QByteArray& bytes) : m_text(bytes.constData(), bytes.size()) {}

  bool Next(std::string_view* line) {
    if (m_position >= m_text.size()) return false;
    std::size_t end = m_text.find('\n', m_position);
    if (end == std::string_view::npos) end = m_text.size();
    *line = m_text.substr(m_position, end - m_position);
    m_position = end + 1;
    ++m_lineNumber;
    return true;
  }
  int LineNumber() const { return m_lineNumber; }

 private:
  std::string_view m_text;
  std::size_t m_position = 0;
  int m_lineNumber = 0;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// The line's words; runs of blanks count as one separator.
void SplitAtBlanks(std::string_view line, std::vector<std::string_view>* tokens) {
  tokens->clear();
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (i > start) tokens->push_back(line.substr(start, i - start));
  }
}

std::string_view WithoutPlus(std::string_view token) {
  return token.size() > 1 && token.front() == '+' ? token.substr(1) : token;
}

bool ParseInteger(std::string_view token, std::int32_t* value) {
  token = WithoutPlus(token);
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), *value);
  return error == std::errc() && end == token.data() + token.size();
}

bool ParseValue(std::string_view token, double* value) {
  token = WithoutPlus(token);
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), *value);
  return error == std::errc() && end == token.data() + token.size() && std::isfinite(*value);
}

QString Text(std::string_view token) {
  return QString::fromLatin1(token.data(), static_cast<qsizetype>(token.size()));
}

}  // namespace

int TimeSeriesStep(int iterations) {
  if (iterations <= kMaxTimeSeriesPoints) return 1;
  return (iterations - 1) / kMaxTimeSeriesPoints + 1;
}

const QStringList& ParameterSeries::varVariableNames() {
  static const QStringList names = {QStringLiteral("Gamma"), QStringLiteral("Delta"),
                                    QStringLiteral("Tau"), QStringLiteral("Little Rho"),
                                    QStringLiteral("Big Rho")};
  return names;
}

QString ParameterSeries::FamilyName(int family) {
  return family >= 1 && family <= kFamilyCount ? varVariableNames().at(family - 1) : QString();
}

bool ParameterSeries::FamilyExists(int family) const {
  switch (family) {
    case kGamma:
    case kLittleRho:
      return bHasClasses();
    case kDelta:
    case kTau:
    case kBigRho:
      return bHasStatuses();
    default:
      return false;
  }
}

bool ParameterSeries::OpenSeries(const QString& path) {
  if (!Read(path)) return false;
  bSetTimeSeriesInfo();
  emit DataChanged();
  return true;
}

void ParameterSeries::Clear() {
  m_filename.clear();
  m_imputations = m_between = m_classes = m_statuses = m_iterations = 0;
  m_valid = false;
  for (std::vector<double>& values : m_values) {
    values.clear();
    values.shrink_to_fit();
  }
  m_ranges = {};
  m_notice.clear();
}

bool ParameterSeries::Read(const QString& path) {
  Clear();
  m_failure = {};

  const auto steps = [&]() -> std::optional<ReadError> {
    QByteArray bytes;
    int error = 0;
    if (!LoadFile(path, &bytes, &error)) {
      return Error(ReadError::kOpening, error, qt_error_string(error));
    }
    LineReader lines(bytes);
    std::string_view line;
    std::vector<std::string_view> tokens;

    // Whatever blank lines come before the header.
    do {
      if (!lines.Next(&line)) return Error(ReadError::kIncomplete, 0, {});
      SplitAtBlanks(line, &tokens);
    } while (tokens.empty());
    const int headerLine = lines.LineNumber();
    std::int32_t counts[4] = {};
    bool countsRead = tokens.size() >= 4;
    for (std::size_t i = 0; countsRead && i < 4; ++i) {
      countsRead = ParseInteger(tokens[i], &counts[i]);
    }
    if (!countsRead) {
      return Error(
          ReadError::kReading, kSeriesBadValue,
          QStringLiteral("The header (line %1) does not hold four whole numbers").arg(headerLine));
    }
    const auto [imputations, between, classes, statuses] = counts;
    if (imputations < 1 || between < 1 || classes < 0 || statuses < 0 ||
        imputations > std::numeric_limits<std::int32_t>::max() / between) {
      return Error(ReadError::kReading, kSeriesBadValue,
                   QStringLiteral("The header (line %1) gives %2 imputations %3 iterations "
                                  "apart, %4 classes and %5 statuses")
                       .arg(headerLine)
                       .arg(imputations)
                       .arg(between)
                       .arg(classes)
                       .arg(statuses));
    }
    // The column names carry nothing the columns' order does not already say.
    if (!lines.Next(&line)) return Error(ReadError::kIncomplete, 0, {});

    const std::int32_t rows = imputations * between;
    for (std::vector<double>& values : m_values) {
      values.reserve(static_cast<std::size_t>(std::min(rows, 1 << 20)));
    }
    std::int32_t row = 0;
    for (; row < rows; ++row) {
      if (!lines.Next(&line)) {
        // A run that was aborted stops after its last completed iteration: what is there is
        // worth plotting. A file without a single row is not.
        if (row > 0) break;
        return Error(
            ReadError::kReading, kSeriesEndOfFile,
            QStringLiteral("Input past end of file: %1 of %2 iteration rows").arg(row).arg(rows));
      }
      SplitAtBlanks(line, &tokens);
      if (tokens.size() < 1 + kFamilyCount) {
        return Error(ReadError::kReading, kSeriesBadValue,
                     QStringLiteral("Line %1 holds fewer than %2 values")
                         .arg(lines.LineNumber())
                         .arg(1 + kFamilyCount));
      }
      // The first word numbers the iteration; the row's position already does.
      for (int f = 0; f < kFamilyCount; ++f) {
        double value = 0.0;
        if (!ParseValue(tokens[1 + f], &value)) {
          return Error(ReadError::kReading, kSeriesBadValue,
                       QStringLiteral("Line %1: \"%2\" is not a number")
                           .arg(lines.LineNumber())
                           .arg(Text(tokens[1 + f])));
        }
        m_values[f].push_back(value);
      }
    }
    m_imputations = imputations;
    m_between = between;
    m_classes = classes;
    m_statuses = statuses;
    m_iterations = row;
    if (row < rows) {
      m_notice = QStringLiteral("The series file ends early: %1 of %2 iteration rows read; the "
                                "run ended early (it was aborted or failed).")
                     .arg(row)
                     .arg(rows);
    }
    return std::nullopt;
  };

  std::optional<ReadError> failed;
  try {
    failed = steps();
  } catch (const std::bad_alloc&) {
    failed = Error(ReadError::kOther, kSeriesOutOfMemory, QStringLiteral("Out of memory"));
  }

  if (!failed) {
    m_filename = path;
    m_valid = true;
    return true;
  }
  Clear();
  const ReadError& outcome = *failed;
  const QString errorText = QStringLiteral("%1 - %2").arg(outcome.number).arg(outcome.description);
  m_failure.title = kFailureTitle;
  switch (outcome.stage) {
    case ReadError::kIncomplete:
      m_failure.text = QStringLiteral("Series data file \"") + path +
                       QStringLiteral("\"\nis incomplete or corrupt.  Cannot display series data.");
      break;
    case ReadError::kOpening:
      m_failure.text = QStringLiteral("Unexpected error reading file: \n") + path +
                       QStringLiteral("\n") + errorText;
      break;
    case ReadError::kReading:
      m_failure.text = QStringLiteral("Series information missing or corrupt: \n") + errorText;
      break;
    case ReadError::kOther:
      m_failure.text = QStringLiteral("Unexpected error: ") + errorText;
      break;
  }
  return false;
}

bool ParameterSeries::bSetTimeSeriesInfo() {
  if (!m_valid) {
    m_ranges = {};
    return false;
  }
  m_ranges.timeSeriesFirst = 1;
  m_ranges.timeSeriesLast = m_iterations;
  m_ranges.acfFirst = 1;
  // A chain cut short may hold fewer iterations than one imputation interval.
  m_ranges.acfLast = std::min(m_between, m_iterations);
  m_ranges.maxLag = std::min(m_ranges.acfLast, kMaxLag);
  return true;
}

}  // namespace kov::series
