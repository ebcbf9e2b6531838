#include "document.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <chrono>
#include <exception>
#include <random>
#include <span>

#include "control_file_io.h"

namespace kov::document {

namespace {

const QString kLineBreak = QStringLiteral("\n");

bool IsGridIdentity(int id) { return id >= 0 && id < kGridCount; }

// The findings' texts, one a line, as one message box shows them.
QString JoinedMessages(std::span<const Diagnostic> findings) {
  QStringList texts;
  for (const Diagnostic& finding : findings) texts << finding.message;
  return texts.join(kLineBreak);
}

// Ends the busy pointer unconditionally, however the command leaves.
class BusyScope {
 public:
  explicit BusyScope(Document& document) : m_document(document) { m_document.BeginBusy(); }
  ~BusyScope() { m_document.EndBusy(/*force=*/true); }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  Document& m_document;
};

}  // namespace

Document::Document(gui::MessageSink& messages, FileDialogs& dialogs, QObject* parent)
    : QObject(parent), m_messages(messages), m_dialogs(dialogs) {
  ResetToNew();
}

void Document::AttachGrid(GridSection& grid) { m_grids[grid.iIdentity()] = &grid; }

GridSection* Document::Grid(int identity) const {
  const auto found = m_grids.find(identity);
  return found == m_grids.end() ? nullptr : found->second;
}

void Document::MarkModified() {
  if (!m_loading) SetModified(true);
}

void Document::SetModified(bool modified) {
  if (m_modified == modified) return;
  m_modified = modified;
  emit ModifiedChanged(modified);
}

QVariant Document::vGetInterfaceValue(int id) const {
  const auto found = m_values.find(id);
  return found == m_values.end() ? QVariant() : found->second;
}

qint32 Document::CountValue(int id) const {
  QVariant typed;
  return TypedInterfaceValue(id, &typed) ? typed.toInt() : 0;
}

void Document::ApplyConsistencyRules() {
  if (CountValue(kClassCount) < 1 && CountValue(kClassItemCount) != 0) {
    SetInterfaceValue(kClassItemCount, 0);
  }
  if (CountValue(kStatusCount) < 1) {
    if (CountValue(kStatusItemCount) != 0) SetInterfaceValue(kStatusItemCount, 0);
    if (CountValue(kTimeCount) != 0) SetInterfaceValue(kTimeCount, 0);
  }
  if (CountValue(kTimeCount) < 3 && !vGetInterfaceValue(kFirstOrder).toBool()) {
    SetInterfaceValue(kFirstOrder, true);
  }
  if (CountValue(kEstimationType) == kNoEstimation && CountValue(kMaxIterations) != 0) {
    SetInterfaceValue(kMaxIterations, 0);
  }
}

QString Document::EmRunRefusal() const {
  QVariant type;
  QVariant iterations;
  if (TypedInterfaceValue(kEstimationType, &type) && type.toInt() == kNewEstimation &&
      TypedInterfaceValue(kMaxIterations, &iterations) && iterations.toLongLong() == 0) {
    return QStringLiteral(
        "A new estimation needs at least one EM iteration: raise the maximum number of "
        "iterations, or choose \"No estimation, goodness-of-fit only\" to evaluate the "
        "starting values.");
  }
  return {};
}

bool Document::SetInterfaceValue(int id, const QVariant& value) {
  if (IsGridIdentity(id)) {
    emit InterfaceValueChanged(id);
    return true;
  }
  const InterfaceValueInfo* info = FindInterfaceValue(id);
  if (info == nullptr) return false;
  QVariant stored;
  if (!ConvertToType(info->type, value, &stored)) stored = value.toString();
  QVariant& slot = m_values[id];
  if (slot.typeId() == stored.typeId() && slot == stored) return true;
  slot = stored;
  MarkModified();
  emit InterfaceValueChanged(id);
  return true;
}

bool Document::TypedInterfaceValue(int id, QVariant* value) const {
  const InterfaceValueInfo* info = FindInterfaceValue(id);
  return info != nullptr && ConvertToType(info->type, vGetInterfaceValue(id), value);
}

qint32 Document::FreshSeed() {
  // Seeded from the clock; the seed is a uniform draw on [0, 1) scaled to 0 .. 999 999.
  std::mt19937 generator(static_cast<std::mt19937::result_type>(
      std::chrono::system_clock::now().time_since_epoch().count()));
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  return static_cast<qint32>(uniform(generator) * 1000000.0);
}

void Document::ResetToNew() {
  LoadingScope loading(*this);
  m_values.clear();
  for (const InterfaceValueInfo& info : InterfaceValues()) {
    m_values[info.id] = DefaultInterfaceValue(info.id);
  }
  m_values[kRandomSeed] = QVariant::fromValue(FreshSeed());
  m_keptLines.clear();
  for (int identity : kGridFileOrder) {
    if (GridSection* grid = Grid(identity)) grid->Clear();
  }
  m_path.clear();
  SetModified(false);
}

bool Document::ConfirmDiscard() {
  return AskQuestion(m_messages,
                     QStringLiteral("The current control file has not been saved.") + kLineBreak +
                         QStringLiteral("Are you sure you want to discard changes?"),
                     gui::MessageButtons::kYesNo) == gui::MessageAnswer::kYes;
}

void Document::ShowDiagnostics(const std::vector<Diagnostic>& diagnostics) {
  for (const Diagnostic& diagnostic : diagnostics) ShowFailure(m_messages, diagnostic.message);
}

bool Document::ApplyControlFile(const ControlFileRead& read) {
  LoadingScope loading(*this);
  const ControlFileData& data = read.data;
  for (const auto& [id, value] : data.values) SetInterfaceValue(id, value);
  ShowDiagnostics(read.diagnostics);
  if (!read.complete) return false;
  for (const auto& [identity, counts] : data.categoryCounts) {
    GridSection* grid = Grid(identity);
    if (grid == nullptr) return false;
    grid->Setup();
    for (qsizetype item = 0; item < counts.size(); ++item) {
      grid->SetCellValue(static_cast<int>(item) + 1, kResponseCategoryColumn, counts[item]);
    }
  }
  int cursor = data.sectionsStart;
  std::vector<Diagnostic> findings;
  for (int identity : kGridFileOrder) {
    GridSection* grid = Grid(identity);
    if (grid == nullptr) return false;
    int next = cursor;
    if (!grid->bReadData(data.lines, cursor, next, findings)) {
      ShowStoppedReading(findings);
      return false;
    }
    cursor = next;
  }
  if (!AcceptReplacedValues(findings)) return false;
  const ControlFileRead settings = ReadSettingsLines(data.lines, cursor);
  for (const auto& [id, value] : settings.data.values) SetInterfaceValue(id, value);
  m_keptLines = settings.data.keptLines;
  ShowDiagnostics(settings.diagnostics);
  return true;
}

bool Document::AcceptReplacedValues(const std::vector<Diagnostic>& replaced) {
  if (replaced.empty()) return true;
  const QString question =
      JoinedMessages(replaced) + kLineBreak + QStringLiteral("Continue loading control file?");
  return AskQuestion(m_messages, question, gui::MessageButtons::kYesNo) == gui::MessageAnswer::kYes;
}

void Document::ShowStoppedReading(const std::vector<Diagnostic>& findings) {
  if (findings.empty()) return;
  // Asking whether to go on would be pointless once the file cannot be opened, but the values
  // read past still need fixing, so they are listed before the failure.
  if (findings.size() > 1) {
    ShowFailure(m_messages, JoinedMessages(std::span(findings).first(findings.size() - 1)));
  }
  ShowFailure(m_messages, findings.back().message);
}

ControlFileData Document::CollectControlFile() {
  LoadingScope loading(*this);
  ControlFileData data;
  data.values = m_values;
  data.keptLines = m_keptLines;
  for (const auto& [countId, identity] :
       {std::pair{kClassItemCount, kClassItems}, std::pair{kStatusItemCount, kStatusItems}}) {
    const GridSection* grid = Grid(identity);
    QStringList& cells = data.categoryCounts[identity];
    for (int item = 1; grid != nullptr && item <= CountValue(countId); ++item) {
      cells << grid->vCellValue(item, kResponseCategoryColumn).toString();
    }
  }
  for (int identity : kGridFileOrder) {
    if (GridSection* grid = Grid(identity)) data.sections[identity] = grid->WriteData();
  }
  return data;
}

bool Document::ComposeControlFile(QByteArray* text) {
  const ControlFileText written = WriteControlFile(CollectControlFile());
  ShowDiagnostics(written.diagnostics);
  *text = written.text;
  return written.diagnostics.empty();
}

bool Document::SaveText(const QString& path, const QByteArray& text) {
  // QSaveFile writes beside the target and renames over it only at commit, so that a failed or
  // interrupted save never leaves a truncated control file.
  QSaveFile file(path);
  const auto fail = [&] {
    ShowFailure(m_messages, QStringLiteral("Could not write to ") + path + kLineBreak +
                                QStringLiteral("Error: ") + QString::number(file.error()) +
                                QStringLiteral(" - ") + file.errorString());
    file.cancelWriting();
    return false;
  };
  if (!file.open(QIODevice::WriteOnly)) return fail();
  if (file.write(text) != text.size()) return fail();
  if (!file.commit()) return fail();
  return true;
}

bool Document::New() {
  if (m_modified && !ConfirmDiscard()) return false;
  emit DocumentEvent(kEventAboutToChange);
  ResetToNew();
  emit DocumentEvent(kEventNew);
  return true;
}

bool Document::Open(const QString& givenPath) {
  if (m_modified && !ConfirmDiscard()) return false;
  emit DocumentEvent(kEventAboutToChange);
  const QString path = givenPath.isEmpty() ? m_dialogs.AskOpenPath(kControlFileFilter) : givenPath;
  if (path.isEmpty()) return false;

  BusyScope busy(*this);
  ResetToNew();
  const auto failOpen = [&](const QString& description) {
    ShowFailure(m_messages, QStringLiteral("Could not successfully open ") + path + kLineBreak +
                                QStringLiteral("Error: ") + description);
    ResetToNew();
    emit DocumentEvent(kEventNew);
    return false;
  };
  try {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return failOpen(file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) return failOpen(file.errorString());

    const ControlFileRead read = ReadControlFile(bytes);
    if (!ApplyControlFile(read)) {
      ShowFailure(
          m_messages,
          QStringLiteral("At least one error was encountered in reading the control file."));
      ResetToNew();
      emit DocumentEvent(kEventNew);
      return false;
    }
    // A converted previous-version file differs from what is on disk until it is saved.
    m_path = path;
    SetModified(read.data.previousVersion);
  } catch (const std::exception& error) {
    return failOpen(QString::fromLocal8Bit(error.what()));
  }
  // Only a file that opened is worth offering again.
  emit FileUsed(path);
  emit DocumentEvent(kEventOpened);
  return true;
}

bool Document::Save() { return SaveAs(m_path); }

QString Document::WithControlFileExtension(const QString& path) {
  // Only a name typed without any extension: "model.v2" is the user's choice.
  if (path.isEmpty() || !QFileInfo(path).suffix().isEmpty()) return path;
  return path + QStringLiteral(".cnt");
}

bool Document::SaveAs(const QString& givenPath) {
  const QString path = givenPath.isEmpty()
                           ? WithControlFileExtension(m_dialogs.AskSavePath(kControlFileFilter, m_path))
                           : givenPath;
  if (path.isEmpty()) return false;

  BusyScope busy(*this);
  emit FlushRequested();
  try {
    QByteArray text;
    if (!ComposeControlFile(&text) || !SaveText(path, text)) return false;
  } catch (const std::exception& error) {
    ShowFailure(m_messages, QStringLiteral("Could not successfully save ") + path + kLineBreak +
                                QStringLiteral("Error: ") + QString::fromLocal8Bit(error.what()));
    return false;
  }
  emit FileUsed(path);
  m_path = path;
  SetModified(false);
  emit DocumentEvent(kEventSaved);
  return true;
}

bool Document::SaveBeforeProceeding() {
  if (!m_modified) return true;
  switch (AskQuestion(m_messages,
                      QStringLiteral("The current control file has been modified.") + kLineBreak +
                          QStringLiteral("Save before proceeding?"),
                      gui::MessageButtons::kYesNoCancel)) {
    case gui::MessageAnswer::kYes: return Save();
    case gui::MessageAnswer::kNo: return true;
    default: return false;
  }
}

bool Document::QueryExit() {
  if (!m_modified) return true;
  const QString question =
      QStringLiteral("Do you wish to save changes to \"") + m_path + QStringLiteral("\"?");
  switch (AskQuestion(m_messages, question, gui::MessageButtons::kYesNoCancel)) {
    case gui::MessageAnswer::kYes: return Save();
    case gui::MessageAnswer::kNo: return true;
    default: return false;
  }
}

void Document::BeginBusy() {
  if (m_busyCount++ == 0) emit BusyPointerChanged(true);
}

void Document::EndBusy(bool force) {
  if (m_busyCount == 0) return;
  m_busyCount = force ? 0 : m_busyCount - 1;
  if (m_busyCount == 0) emit BusyPointerChanged(false);
}

}  // namespace kov::document
