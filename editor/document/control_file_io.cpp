#include "control_file_io.h"

#include <algorithm>
#include <array>
#include <limits>
#include <span>

#include "grid_section.h"
#include "interface_values.h"
#include "text_helpers.h"

namespace kov::document {

namespace {

const QString kLineBreak = QStringLiteral("\n");
const QString kCarriageReturn = QStringLiteral("\r");
const QString kEmptyFileName = QStringLiteral("..");

// The comment block is at most this many lines; a further comment line is taken as the first
// line of the model information.
constexpr int kMaxCommentLines = 21;
// Values on the first model line: the count tells the current layout from the previous one.
constexpr int kCurrentFirstLineValues = 9;
constexpr int kPreviousFirstLineValues = 10;
constexpr int kCurrentEmLineValues = 4;
constexpr int kPreviousEmLineValues = 5;
constexpr int kDaLineValues = 4;

constexpr qint32 kInt16Max = std::numeric_limits<qint16>::max();
constexpr qint32 kInt32Max = std::numeric_limits<qint32>::max();

// The settings lines after the last section, each named by its first value.
const QString kStartsKeyword = QStringLiteral("STARTS");
const QString kStopKeyword = QStringLiteral("STOP");
const QString kPosteriorKeyword = QStringLiteral("POSTERIOR");
const QString kEnumerateKeyword = QStringLiteral("ENUMERATE");
constexpr qint32 kMaxStarts = 10000;
// The engine's limits of a comparison of sizes.
constexpr qint32 kMaxEnumeratedSize = 50;
constexpr qint32 kMaxBootstrapSamples = 10000;
constexpr std::array<int, 4> kStartsLineValues = {kStartCount, kFinalStartCount, kFirstStageIterations,
                                                  kStartSeed};
constexpr std::array<int, 1> kStopLineValues = {kLogLikelihoodCriterion};
constexpr std::array<int, 4> kEnumerateLineValues = {kEnumerationKind, kSmallestSize, kLargestSize,
                                                     kBootstrapSamples};
const QString kStartsProblem =
    QStringLiteral("Invalid random start settings in the control file: ");
const QString kEnumerateProblem =
    QStringLiteral("Invalid comparison of sizes in the control file: ");

bool IsBlankLine(const QString& line) { return line.trimmed().isEmpty(); }

// The values of a settings line. The engine reads these lines free-format, so a comma separates
// values as a blank does.
QStringList SettingsValues(const QString& line) {
  QStringList values;
  for (const QString& token : SplitValues(line)) {
    if (token.startsWith(u'\'')) {
      values << token;
    } else {
      values << token.split(u',', Qt::SkipEmptyParts);
    }
  }
  return values;
}

// The keyword of a settings line in upper case: its first value, bare or in apostrophes or
// double quotes.
QString SettingsKeyword(const QStringList& values) {
  if (values.isEmpty()) return {};
  QString keyword = values.front();
  if (keyword.size() >= 2 && keyword.front() == u'"' && keyword.back() == u'"') {
    keyword = keyword.mid(1, keyword.size() - 2);
  } else {
    keyword = TextValue(keyword);
  }
  while (keyword.endsWith(u' ')) keyword.chop(1);
  return keyword.toUpper();
}

class Reader {
 public:
  Reader(const QStringList& lines, int cursor, ControlFileData* data,
         std::vector<Diagnostic>* diagnostics)
      : m_lines(lines), m_cursor(cursor), m_data(*data), m_diagnostics(*diagnostics) {}

  // Everything before the grids' sections: the comments, the model information and the
  // response-category lines. False at the first finding that stops the reading.
  bool ReadHead() {
    ReadComments();
    if (!ReadModelInformation()) return false;
    if (!ReadCategoryLine(kClassItemCount, kClassItems, QStringLiteral("class"))) return false;
    if (!ReadCategoryLine(kStatusItemCount, kStatusItems, QStringLiteral("status"))) return false;
    m_data.sectionsStart = m_cursor;
    return true;
  }

  // 'STARTS' N K STAGE SEED, then 'STOP' CRITERION, 'POSTERIOR' FILE BY-PATTERN and 'ENUMERATE'
  // KIND FROM TO BOOTSTRAP, each optional, in that order; whatever else follows the last section
  // is not read, as the engine does not read it. A line that cannot be run is reported, and kept
  // as it was so that saving does not lose it.
  void ReadSettingsLines() {
    if (SettingsKeyword(SettingsValues(NextLineAhead())) == kStartsKeyword) {
      ReadSettingsLine(kRandomStarts, kStartsLineValues, kStartsProblem);
    }
    if (SettingsKeyword(SettingsValues(NextLineAhead())) == kStopKeyword) {
      ReadSettingsLine(kLogLikelihoodStop, kStopLineValues, kStartsProblem);
    }
    if (SettingsKeyword(SettingsValues(NextLineAhead())) == kPosteriorKeyword) ReadPosteriorLine();
    if (SettingsKeyword(SettingsValues(NextLineAhead())) == kEnumerateKeyword) {
      ReadSettingsLine(kCompareSizes, kEnumerateLineValues, kEnumerateProblem);
    }
  }

 private:
  // Stored as the document would store it: converted to the identifier's type when it converts.
  void Set(int id, const QVariant& value) {
    const InterfaceValueInfo* info = FindInterfaceValue(id);
    if (info == nullptr) return;
    QVariant stored;
    if (!ConvertToType(info->type, value, &stored)) stored = value.toString();
    m_data.values[id] = stored;
  }

  // The value read so far, or the one a new document has.
  QVariant Value(int id) const {
    const auto found = m_data.values.find(id);
    return found == m_data.values.end() ? DefaultInterfaceValue(id) : found->second;
  }

  // A finding about the line last read (the first line when none was).
  void Report(const QString& field, const QString& message) {
    m_diagnostics.push_back({std::max(m_cursor, 1), field, message});
  }

  // The line at the cursor, moving past it; past the end of the file an empty line.
  QString NextLine() { return m_cursor < m_lines.size() ? m_lines[m_cursor++] : QString(); }

  void ReadComments() {
    QStringList comments;
    while (comments.size() < kMaxCommentLines && m_cursor < m_lines.size()) {
      const QString text = Unquote(m_lines[m_cursor].trimmed());
      qsizetype star = 0;
      while (star < text.size() && text[star] == u' ') ++star;
      if (star == text.size() || text[star] != u'*') break;
      QString body = text.mid(star + 1);
      if (body.startsWith(u' ')) body.remove(0, 1);
      comments << UndoubleApostrophes(body);
      ++m_cursor;
    }
    Set(kComments, comments.join(kLineBreak));
  }

  bool ReadModelInformation() {
    const bool current =
        m_cursor < m_lines.size() && SplitAtBlanks(m_lines[m_cursor]).size() == kCurrentFirstLineValues;
    if (current) {
      return ReadBlock(&Reader::ReadCommonBlock, QStringLiteral("Error parsing common model info.")) &&
             ReadBlock(&Reader::ReadEmBlock, QStringLiteral("Error parsing EM model info.")) &&
             ReadBlock(&Reader::ReadDaBlock, QStringLiteral("Error parsing DA model info."));
    }
    // The previous layout has no data-augmentation block: those settings keep their defaults.
    m_previous = true;
    if (!ReadCommonBlock() || !ReadEmBlock()) return false;
    Report(QStringLiteral("layout"),
           QStringLiteral("This control file was saved by a previous version.") + kLineBreak +
               QStringLiteral("It will be converted if you choose to save it."));
    m_data.previousVersion = true;
    return true;
  }

  bool ReadBlock(bool (Reader::*read)(), const QString& failure) {
    if ((this->*read)()) return true;
    Report(QStringLiteral("model information"),
           failure + kLineBreak + QStringLiteral("Cannot open this control file."));
    return false;
  }

  // The values of one model line, or nothing after the message when their number is wrong.
  bool SplitModelLine(const QString& whichLine, int expected, QStringList* tokens) {
    *tokens = SplitAtBlanks(NextLine());
    if (tokens->size() == expected) return true;
    Report(whichLine + QStringLiteral(" model line"),
           QStringLiteral("Invalid number of parameters on ") + whichLine +
               QStringLiteral(" line of model information.") + kCarriageReturn +
               QStringLiteral("Expected ") + QString::number(expected) +
               QStringLiteral(", found ") + QString::number(tokens->size()));
    return false;
  }

  void InvalidValue(int id) {
    const InterfaceValueInfo* info = FindInterfaceValue(id);
    Report(info != nullptr ? QString::fromLatin1(info->caption) : QString(),
           QStringLiteral("Invalid data in model information"));
  }

  // Each Take checks one value and stores it, or shows "Invalid data in model information" and
  // leaves the document's value as it was; reading goes on either way.
  void TakeInteger(const QString& token, int id, qint32 lowest, qint32 highest) {
    qint32 value = 0;
    if (!ParseInt32(token, &value) || value < lowest || value > highest) {
      InvalidValue(id);
      return;
    }
    Set(id, value);
  }

  void TakeFlag(const QString& token, int id) { TakeInteger(token, id, 0, 1); }

  void TakeReal(const QString& token, int id) {
    double value = 0.0;
    if (!ParseReal(token, &value) || value < 0.0) {
      InvalidValue(id);
      return;
    }
    Set(id, value);
  }

  void TakeOrder(const QString& token) {
    qint16 order = 0;
    if (!ParseInt16(token, &order) || (order != 1 && order != 2)) {
      InvalidValue(kFirstOrder);
      return;
    }
    Set(kFirstOrder, order == 1);
  }

  void TakePrintResiduals(const QString& token) {
    qint16 option = 0;
    if (!ParseInt16(token, &option)) {
      InvalidValue(kPrintResiduals);
      return;
    }
    // 1 to 3 choose the table an EM report prints; the document keeps only yes or no.
    if (option < 0 || option > 3) {
      Report(QString::fromLatin1(FindInterfaceValue(kPrintResiduals)->caption),
             QStringLiteral("Invalid data in model information: Print residuals option was ") +
                 QString::number(option));
      return;
    }
    Set(kPrintResiduals, option >= 1);
  }

  // A file name on its own line (or the first text of the line); ".." stands for no name. A
  // name that must be given and is shorter than two characters is refused with its message.
  void TakeFileName(const QString& token, int id, const QString& refusal = {}) {
    const QString name = TextValue(token);
    if (!refusal.isEmpty() && name.size() < 2) {
      Report(QString::fromLatin1(FindInterfaceValue(id)->caption), refusal);
      return;
    }
    Set(id, name == kEmptyFileName ? QString() : name);
  }

  QString FirstValue(const QString& line) {
    const QStringList values = SplitValues(line);
    return values.isEmpty() ? QString() : values.front();
  }

  bool ReadCommonBlock() {
    QStringList t;
    if (!SplitModelLine(QStringLiteral("first"),
                        m_previous ? kPreviousFirstLineValues : kCurrentFirstLineValues, &t)) {
      return false;
    }
    TakeInteger(t[0], kClassCount, 0, kInt16Max);
    TakeInteger(t[1], kStatusCount, 0, kInt16Max);
    TakeInteger(t[2], kClassItemCount, 0, kInt16Max);
    TakeInteger(t[3], kStatusItemCount, 0, kInt16Max);
    TakeInteger(t[4], kTimeCount, 0, kInt16Max);
    TakeOrder(t[5]);
    TakePrintResiduals(t[6]);
    TakeFlag(t[7], kMissingData);
    TakeFlag(t[8], kReadFormat);
    if (m_previous) TakeInteger(t[9], kResponsePatternCount, 0, kInt16Max);

    // The data file and the data format, both texts on one line.
    const QStringList names = SplitValues(NextLine());
    TakeFileName(names.value(0), kDatasetFile, QStringLiteral("Invalid dataset filename."));
    Set(kInputFormat, TextValue(names.value(1)));
    return true;
  }

  bool ReadEmBlock() {
    QStringList t;
    if (!SplitModelLine(QStringLiteral("second"),
                        m_previous ? kPreviousEmLineValues : kCurrentEmLineValues, &t)) {
      return false;
    }
    qint16 newStart = 0;
    const bool haveNewStart = ParseInt16(t[0], &newStart);
    if (!haveNewStart) InvalidValue(kEstimationType);
    TakeFlag(t[1], kSaveEmEstimates);
    TakeInteger(t[2], kMaxIterations, 0, kInt32Max);
    TakeReal(t[3], kConvergenceCriterion);
    if (m_previous) TakeInteger(t[4], kSubjectCount, 0, kInt16Max);
    if (haveNewStart) {
      // Only a new start is stored as such; otherwise the iterations tell a continued run from
      // a goodness-of-fit run.
      qint16 type = kNewEstimation;
      if (newStart != 1) {
        type = Value(kMaxIterations).toInt() != 0 ? kContinuePrevious : kNoEstimation;
      }
      Set(kEstimationType, QVariant::fromValue(type));
    }
    TakeFileName(FirstValue(NextLine()), kOutFile, QStringLiteral("Invalid outfile filename."));
    TakeFileName(FirstValue(NextLine()), kEmStartValuesFile);
    TakeFileName(FirstValue(NextLine()), kEmEstimatesFile);
    return true;
  }

  bool ReadDaBlock() {
    QStringList t;
    if (!SplitModelLine(QStringLiteral("second"), kDaLineValues, &t)) return false;
    TakeInteger(t[0], kIterationsBetweenImputations, 1, kInt32Max);
    TakeInteger(t[1], kImputationCount, 1, kInt32Max);
    TakeInteger(t[2], kRandomSeed, std::numeric_limits<qint32>::min(), kInt32Max);
    TakeFlag(t[3], kWriteIndividualEstimates);
    TakeFileName(FirstValue(NextLine()), kDaOutFile);
    TakeFileName(FirstValue(NextLine()), kDaStartValuesFile);
    TakeFileName(FirstValue(NextLine()), kSeriesFile);
    TakeFileName(FirstValue(NextLine()), kIndividualEstimatesFile);
    return true;
  }

  // The numbers of response categories of the class or the status items, for the items grid.
  bool ReadCategoryLine(int countId, int gridIdentity, const QString& kind) {
    const int items = Value(countId).toInt();
    if (items < 1) return true;
    const QStringList t = SplitAtBlanks(NextLine());
    const QString field = kind + QStringLiteral(" response categories");
    if (t.size() != items) {
      Report(field, QStringLiteral("An invalid number of ") + kind +
                        QStringLiteral(" RC's were found.") + kLineBreak +
                        QStringLiteral("Expected:  ") + QString::number(items) +
                        QStringLiteral("  Found: ") + QString::number(t.size()));
      return false;
    }
    QStringList& counts = m_data.categoryCounts[gridIdentity];
    for (int item = 1; item <= items; ++item) {
      qint16 count = 0;
      if (!ParseInt16(t[item - 1], &count)) {
        Report(field, QStringLiteral("Invalid number of response categories for") + kind +
                          QString::number(item));
        return false;
      }
      counts << QString::number(count);
    }
    return true;
  }

  // 'POSTERIOR' FILE BY-PATTERN. Kept as read, so that a file saved unchanged keeps the line's
  // own spelling.
  void ReadPosteriorLine() {
    const QString line = NextLine();
    const QStringList values = SettingsValues(line);
    if (values.size() < 3) {
      Report(kPosteriorKeyword,
             QStringLiteral("The POSTERIOR line needs a file name and 0 or 1, found: ") + line);
    }
    Set(kPosteriorFile, TextValue(values.value(1)).trimmed());
    Set(kPosteriorByPattern, values.value(2).trimmed() == u"1");
    m_data.keptLines[kPosteriorFile] = {line, {Value(kPosteriorFile), Value(kPosteriorByPattern)}};
  }

  QString NextLineAhead() const { return m_cursor < m_lines.size() ? m_lines[m_cursor] : QString(); }

  void ReadSettingsLine(int switchId, std::span<const int> ids, const QString& problem) {
    const QString line = NextLine();
    const QStringList values = SettingsValues(line);
    const QString why = RefusedSettingsLine(values, ids);
    if (why.isEmpty()) {
      auto value = values.begin() + 1;
      for (int id : ids) Set(id, *value++);
    } else {
      Report(SettingsKeyword(values), problem + why);
    }
    Set(switchId, true);
    KeptLine kept{line, {}};
    for (int id : ids) kept.values << Value(id);
    m_data.keptLines[switchId] = kept;
  }

  // Each value is checked against the counts of the same line.
  static QString RefusedSettingsLine(const QStringList& values, std::span<const int> ids) {
    if (values.size() <= static_cast<qsizetype>(ids.size())) {
      return QStringLiteral("The ") + values.front() + QStringLiteral(" line needs ") +
             QString::number(ids.size()) + QStringLiteral(" values, found ") +
             QString::number(values.size() - 1) + u'.';
    }
    qint32 starts = 0;
    qint32 finalStarts = 0;
    ParseInt32(values.value(1), &starts);
    ParseInt32(values.value(2), &finalStarts);
    auto value = values.begin() + 1;
    for (int id : ids) {
      if (QString why = RefusedStartSetting(id, *value++, starts, finalStarts); !why.isEmpty()) return why;
    }
    qint32 from = 0;
    qint32 to = 0;
    if (ids.front() == kEnumerationKind && ParseInt32(values.value(2), &from) &&
        ParseInt32(values.value(3), &to) && to < from) {
      return QStringLiteral("The largest size (") + QString::number(to) +
             QStringLiteral(") cannot be below the smallest size (") + QString::number(from) +
             QStringLiteral(").");
    }
    return {};
  }

  const QStringList& m_lines;
  int m_cursor = 0;
  bool m_previous = false;
  ControlFileData& m_data;
  std::vector<Diagnostic>& m_diagnostics;
};

class Writer {
 public:
  explicit Writer(const ControlFileData& data) : m_data(data) {}

  // The lines of the file, or false at the first diagnostic, which is then the last one added.
  bool Compose(QStringList* lines, std::vector<Diagnostic>* diagnostics) {
    m_lines = lines;
    m_diagnostics = diagnostics;
    WriteComments();
    if (!WriteCommonBlock() || !WriteEmBlock() || !WriteDaBlock()) return false;
    if (!WriteCategoryLine(kClassItemCount, kClassItems, QStringLiteral("Class")) ||
        !WriteCategoryLine(kStatusItemCount, kStatusItems, QStringLiteral("Status"))) {
      return false;
    }
    for (int identity : kGridFileOrder) {
      if (!WriteSection(identity)) return false;
    }
    return WriteSettingsLine(kRandomStarts, kStartsKeyword, kStartsLineValues) &&
           WriteSettingsLine(kLogLikelihoodStop, kStopKeyword, kStopLineValues) &&
           WritePosteriorLine() &&
           WriteSettingsLine(kCompareSizes, kEnumerateKeyword, kEnumerateLineValues);
  }

 private:
  // The stored value, or the one a new document has.
  QVariant Value(int id) const {
    const auto found = m_data.values.find(id);
    return found == m_data.values.end() ? DefaultInterfaceValue(id) : found->second;
  }

  bool TypedValue(int id, QVariant* value) const {
    const InterfaceValueInfo* info = FindInterfaceValue(id);
    return info != nullptr && ConvertToType(info->type, Value(id), value);
  }

  // Values of one block converted to their types; false when any of them does not convert.
  bool Typed(std::initializer_list<std::pair<int, QVariant*>> values) const {
    for (const auto& [id, value] : values) {
      if (!TypedValue(id, value)) return false;
    }
    return true;
  }

  const KeptLine* FindKeptLine(int id) const {
    const auto found = m_data.keptLines.find(id);
    return found == m_data.keptLines.end() ? nullptr : &found->second;
  }

  // A finding about the line about to be written.
  bool Fail(const QString& field, const QString& message) {
    m_diagnostics->push_back({static_cast<int>(m_lines->size()) + 1, field, message});
    return false;
  }

  bool PrepareFailed(const QString& block) {
    return Fail(block, QStringLiteral("Error preparing to save file: ") + kLineBreak +
                           QStringLiteral("Invalid data type in ") + block + u'.');
  }

  static QString Number(const QVariant& value) { return QString::number(value.toLongLong()); }
  static QString Flag(const QVariant& value) { return value.toBool() ? QStringLiteral("1") : QStringLiteral("0"); }
  static QString FileName(const QVariant& value) {
    const QString name = value.toString();
    return Quote(name.isEmpty() ? kEmptyFileName : name);
  }
  static bool OneOf(const QVariant& value, std::initializer_list<int> allowed) {
    return std::find(allowed.begin(), allowed.end(), value.toInt()) != allowed.end();
  }

  void WriteComments() {
    const QString comments = Value(kComments).toString();
    if (comments.isEmpty()) return;
    for (QString line : comments.split(u'\n')) {
      if (line.endsWith(u'\r')) line.chop(1);
      *m_lines << Quote(QStringLiteral("* ") + line);
    }
  }

  bool WriteCommonBlock() {
    QVariant classes, statuses, classItems, statusItems, times, firstOrder, residuals, missing,
        readFormat, dataset, format;
    if (!Typed({{kClassCount, &classes}, {kStatusCount, &statuses}, {kClassItemCount, &classItems},
                {kStatusItemCount, &statusItems}, {kTimeCount, &times}, {kFirstOrder, &firstOrder},
                {kPrintResiduals, &residuals}, {kMissingData, &missing}, {kReadFormat, &readFormat},
                {kDatasetFile, &dataset}, {kInputFormat, &format}}) ||
        !OneOf(missing, {0, 1}) || !OneOf(readFormat, {0, 1})) {
      return PrepareFailed(QStringLiteral("common model information"));
    }
    *m_lines << QStringList{Number(classes),
                            Number(statuses),
                            Number(classItems),
                            Number(statusItems),
                            Number(times),
                            firstOrder.toBool() ? QStringLiteral("1") : QStringLiteral("2"),
                            Flag(residuals),
                            Number(missing),
                            Number(readFormat)}
                    .join(u' ');
    // The data format is written only when the data are read with it.
    *m_lines << FileName(dataset) + u' ' +
                    Quote(readFormat.toInt() == 1 ? format.toString() : QString());
    return true;
  }

  bool WriteEmBlock() {
    QVariant type, saveEstimates, maxIterations, criterion, outFile, startValues, estimates;
    if (!Typed({{kEstimationType, &type}, {kSaveEmEstimates, &saveEstimates},
                {kMaxIterations, &maxIterations}, {kConvergenceCriterion, &criterion},
                {kOutFile, &outFile}, {kEmStartValuesFile, &startValues},
                {kEmEstimatesFile, &estimates}}) ||
        !OneOf(type, {kNewEstimation, kContinuePrevious, kNoEstimation})) {
      return PrepareFailed(QStringLiteral("EM model information"));
    }
    *m_lines << QStringList{Number(type), Flag(saveEstimates), Number(maxIterations),
                            FormatReal(criterion.toDouble())}
                    .join(u' ');
    *m_lines << FileName(outFile) << FileName(startValues) << FileName(estimates);
    return true;
  }

  bool WriteDaBlock() {
    QVariant between, imputations, seed, writeIndividual, outFile, startValues, series, individual;
    if (!Typed({{kIterationsBetweenImputations, &between}, {kImputationCount, &imputations},
                {kRandomSeed, &seed}, {kWriteIndividualEstimates, &writeIndividual},
                {kDaOutFile, &outFile}, {kDaStartValuesFile, &startValues}, {kSeriesFile, &series},
                {kIndividualEstimatesFile, &individual}})) {
      return PrepareFailed(QStringLiteral("DA model information"));
    }
    *m_lines << QStringList{Number(between), Number(imputations), Number(seed),
                            Flag(writeIndividual)}
                    .join(u' ');
    *m_lines << FileName(outFile) << FileName(startValues) << FileName(series)
             << FileName(individual);
    return true;
  }

  bool WriteCategoryLine(int countId, int gridIdentity, const QString& kind) {
    const int items = Value(countId).toInt();
    if (items < 1) return true;
    const auto found = m_data.categoryCounts.find(gridIdentity);
    const QStringList cells = found == m_data.categoryCounts.end() ? QStringList() : found->second;
    QStringList counts;
    for (int item = 1; item <= items; ++item) {
      qint16 count = 0;
      if (!ParseInt16(cells.value(item - 1).trimmed(), &count)) {
        return Fail(kind + QStringLiteral(" response categories"),
                    QStringLiteral("An invalid number of response categories was entered for ") +
                        kind + u' ' + QString::number(item));
      }
      counts << QString::number(count);
    }
    *m_lines << counts.join(u' ');
    return true;
  }

  bool WriteSection(int identity) {
    const auto found = m_data.sections.find(identity);
    if (found == m_data.sections.end()) return true;
    const SectionLines& section = found->second;
    if (section.problem) {
      Diagnostic problem = *section.problem;
      problem.line += static_cast<int>(m_lines->size());
      m_diagnostics->push_back(problem);
      return false;
    }
    *m_lines << section.lines;
    return true;
  }

  // An unedited line goes back exactly as it was read; an edited one keeps the file's spelling
  // of its keyword, and a new one is written as the help shows it.
  bool WriteSettingsLine(int switchId, const QString& keyword, std::span<const int> ids) {
    const auto failed = [this] { return PrepareFailed(QStringLiteral("random start settings")); };
    QVariant on;
    if (!TypedValue(switchId, &on)) return failed();
    if (!on.toBool()) return true;
    QVariantList values;
    QStringList texts;
    for (int id : ids) {
      QVariant value;
      if (!TypedValue(id, &value)) return failed();
      values << value;
      texts << (value.typeId() == QMetaType::Double ? FormatReal(value.toDouble()) : Number(value));
    }
    const KeptLine* kept = FindKeptLine(switchId);
    if (kept != nullptr && kept->values == values) {
      *m_lines << kept->text;
      return true;
    }
    texts.prepend(kept != nullptr ? SettingsValues(kept->text).front() : Quote(keyword));
    *m_lines << texts.join(u' ');
    return true;
  }

  bool WritePosteriorLine() {
    QVariant file, byPattern;
    if (!Typed({{kPosteriorFile, &file}, {kPosteriorByPattern, &byPattern}})) {
      return PrepareFailed(QStringLiteral("posterior membership file"));
    }
    if (file.toString().trimmed().isEmpty()) return true;
    const KeptLine* kept = FindKeptLine(kPosteriorFile);
    if (kept != nullptr && kept->values == QVariantList{file, byPattern}) {
      *m_lines << kept->text;
      return true;
    }
    *m_lines << QStringList{Quote(kPosteriorKeyword), Quote(file.toString().trimmed()),
                            Flag(byPattern)}
                    .join(u' ');
    return true;
  }

  const ControlFileData& m_data;
  QStringList* m_lines = nullptr;
  std::vector<Diagnostic>* m_diagnostics = nullptr;
};

}  // namespace

QStringList SplitIntoLines(const QByteArray& bytes) {
  QStringList lines;
  const QString text = QString::fromLatin1(bytes);
  qsizetype start = 0;
  for (qsizetype i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != u'\n' && text[i] != u'\r') continue;
    const QString line = text.mid(start, i - start);
    if (!IsBlankLine(line)) lines << line;
    // A carriage return followed by a line feed ends one line, not two.
    if (i + 1 < text.size() && text[i] == u'\r' && text[i + 1] == u'\n') ++i;
    start = i + 1;
  }
  return lines;
}

QString RefusedStartSetting(int id, const QVariant& value, qint32 starts, qint32 finalStarts) {
  if (id == kLogLikelihoodCriterion) {
    QVariant criterion;
    // NaN fails the comparison too.
    if (ConvertToType(ValueType::kReal, value, &criterion) && criterion.toDouble() > 0.0) return {};
    return QStringLiteral("The log-likelihood stop criterion must be a number above 0.");
  }
  if (id == kEnumerationKind) {
    QVariant kind;
    if (ConvertToType(ValueType::kInt16, value, &kind) &&
        (kind.toInt() == kCompareClasses || kind.toInt() == kCompareStatuses)) {
      return {};
    }
    return QStringLiteral("The sizes compared must be of classes (1) or of statuses (2).");
  }
  // The engine's limits; a count of starts of 0 asks for its default.
  struct Limit {
    int id;
    qint32 lowest;
    qint32 highest;
    const char* zero;
  };
  static constexpr Limit kLimits[] = {
      {kStartCount, 0, kMaxStarts, " (0 takes 20)"},
      {kFinalStartCount, 0, kMaxStarts, " (0 takes a quarter of the starts)"},
      {kFirstStageIterations, 0, kInt32Max, " (0 takes 50)"},
      {kStartSeed, 0, kInt32Max, ""},
      {kSmallestSize, 1, kMaxEnumeratedSize, ""},
      {kLargestSize, 1, kMaxEnumeratedSize, ""},
      {kBootstrapSamples, 0, kMaxBootstrapSamples, " (0: no test)"}};
  const Limit* limit = std::find_if(std::begin(kLimits), std::end(kLimits),
                                    [id](const Limit& l) { return l.id == id; });
  if (limit == std::end(kLimits)) return {};
  QVariant typed;
  if (!ConvertToType(ValueType::kInt32, value, &typed) || typed.toInt() < limit->lowest ||
      typed.toInt() > limit->highest) {
    QString caption = QString::fromLatin1(FindInterfaceValue(id)->caption);
    caption.chop(1);  // its colon
    return caption + QStringLiteral(" must be a whole number from ") +
           QString::number(limit->lowest) + QStringLiteral(" to ") +
           QString::number(limit->highest) + QString::fromLatin1(limit->zero) + u'.';
  }
  if (id == kStartCount) starts = typed.toInt();
  if (id == kFinalStartCount) finalStarts = typed.toInt();
  if ((id == kStartCount || id == kFinalStartCount) && starts > 0 && finalStarts > starts) {
    return QStringLiteral("The starts run to convergence (") + QString::number(finalStarts) +
           QStringLiteral(") cannot be more than the number of starts (") + QString::number(starts) +
           QStringLiteral(").");
  }
  return {};
}

ControlFileRead ReadControlFile(const QByteArray& bytes) {
  ControlFileRead read;
  read.data.lines = SplitIntoLines(bytes);
  read.complete = Reader(read.data.lines, 0, &read.data, &read.diagnostics).ReadHead();
  if (!read.complete) read.data.previousVersion = false;
  return read;
}

ControlFileRead ReadSettingsLines(const QStringList& lines, int from) {
  ControlFileRead read;
  read.data.lines = lines;
  Reader(read.data.lines, from, &read.data, &read.diagnostics).ReadSettingsLines();
  // A line that cannot be run is kept as it was: it stops nothing.
  read.complete = true;
  return read;
}

ControlFileText WriteControlFile(const ControlFileData& data) {
  ControlFileText written;
  QStringList lines;
  if (!Writer(data).Compose(&lines, &written.diagnostics)) return written;
  for (const QString& line : lines) {
    written.text += line.toLatin1();
    written.text += '\n';
  }
  return written;
}

}  // namespace kov::document
