// The one document of the editor: the model, data and run settings of one control file, the
// commands that open and save it, and the prompts that protect unsaved changes.
#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <map>

#include "control_file_data.h"
#include "grid_section.h"
#include "interface_values.h"
#include "user_interface.h"

namespace kov::document {

// The filter of the open and save dialogs.
inline const QString kControlFileFilter = QStringLiteral("Control File (*.cnt);;All Files (*)");

class Document : public QObject {
  Q_OBJECT

 public:
  // Broadcast through DocumentEvent.
  enum Event : int { kEventNew = 0, kEventOpened = 1, kEventAboutToChange = 3, kEventSaved = 4 };

  Document(gui::MessageSink& messages, FileDialogs& dialogs, QObject* parent = nullptr);

  // The window registers each of its fourteen grids once; the document does not own them.
  void AttachGrid(GridSection& grid);
  GridSection* Grid(int identity) const;
  gui::MessageSink& Messages() const { return m_messages; }

  QString Path() const { return m_path; }
  bool IsModified() const { return m_modified; }
  // True while a file is read or written: edits then neither mark the document modified nor
  // should trigger the window's own change handling.
  bool IsLoading() const { return m_loading; }
  int BusyCount() const { return m_busyCount; }

  // Called after any edit of a grid or a field; ignored while loading.
  void MarkModified();

  // The stored value: normally of the identifier's type (qint16, qint32, double, QString, bool),
  // or the text the window gave when it did not convert. Empty for an unknown identifier.
  QVariant vGetInterfaceValue(int id) const;
  // Stores the value, converted to the identifier's type when it converts (otherwise as given,
  // so that saving reports it), marks the document modified when the value changed and not
  // loading, and broadcasts InterfaceValueChanged. A grid identity stores nothing and only
  // broadcasts, so that the grids that depend on it follow. False for an unknown identifier.
  bool SetInterfaceValue(int id, const QVariant& value = {});
  // The value converted to the identifier's type; false when it does not convert.
  bool TypedInterfaceValue(int id, QVariant* value) const;

  // Brings the settings that contradict others back in line, each through SetInterfaceValue: no
  // class items without classes; no status items and no occasions without statuses; a
  // second-order process needs three occasions, so fewer force first order; no iterations when
  // nothing is estimated.
  void ApplyConsistencyRules();

  // Why the engine would refuse an EM run of these settings, or empty when it would not: a new
  // estimation needs at least one iteration (with none, the restriction lines would be read as
  // start values).
  QString EmRunRefusal() const;

  // The commands. Each returns true when it did what it was asked; false when the user
  // abandoned it or it failed (after its message).
  bool New();
  bool Open(const QString& path = {});
  bool Save();
  bool SaveAs(const QString& path = {});
  // A name from the save dialog typed without an extension gets ".cnt", as the filter promises.
  static QString WithControlFileExtension(const QString& path);
  // Before a run: true to go on (saved, or the user chose not to save), false to stop.
  bool SaveBeforeProceeding();
  // File menu "Exit": true when the program may close.
  bool QueryExit();

  // Every interface value back to its default (a fresh random seed), every grid cleared, no
  // path, not modified. Broadcasts nothing.
  void ResetToNew();

  using KeptLine = document::KeptLine;
  // The settings line the opened file held, by the identifier of the check box that turns the
  // line on; cleared by ResetToNew.
  const KeptLine* FindKeptLine(int id) const {
    const auto found = m_keptLines.find(id);
    return found == m_keptLines.end() ? nullptr : &found->second;
  }

  // What saving writes: the values, the settings lines kept from the opened file, the
  // response-category cells of the items grids and each grid's section, collected in file
  // order (a grid sizes itself to the counts as it gives its section).
  ControlFileData CollectControlFile();
  // The text of the control file the document describes, in the current layout; false after the
  // message of the first value that cannot be written.
  bool ComposeControlFile(QByteArray* text);

  // Long operations; the pointer is busy while the count is above zero.
  void BeginBusy();
  void EndBusy(bool force = false);

  // Brackets a read or a write of the file.
  class LoadingScope {
   public:
    explicit LoadingScope(Document& document)
        : m_document(document), m_wasLoading(document.m_loading) {
      m_document.m_loading = true;
    }
    ~LoadingScope() { m_document.m_loading = m_wasLoading; }
    LoadingScope(const LoadingScope&) = delete;
    LoadingScope& operator=(const LoadingScope&) = delete;

   private:
    Document& m_document;
    bool m_wasLoading;
  };

 signals:
  void DocumentEvent(int event);
  // An interface value or a grid (by identity) changed, also while loading.
  void InterfaceValueChanged(int id);
  // A path was opened or saved: for the recent-files list.
  void FileUsed(const QString& path);
  // Before writing: the window commits every pending edit into the document.
  void FlushRequested();
  void BusyPointerChanged(bool busy);
  // The unsaved-changes state changed: the window marks its title.
  void ModifiedChanged(bool modified);

 private:
  bool ConfirmDiscard();
  // The value as a whole number; one that is not a number counts as none.
  qint32 CountValue(int id) const;
  // Takes what the reader found, has the grids read their sections and reads the settings lines
  // after them, showing every diagnostic once, in file order. Values the grids replaced are
  // asked about once, after the sections: false when the user stops there or the file cannot be
  // opened.
  bool ApplyControlFile(const ControlFileRead& read);
  // The one question about the values the grids left empty: true to go on loading.
  bool AcceptReplacedValues(const std::vector<Diagnostic>& replaced);
  // A grid stopped the reading: the values read past before it, together as the question would
  // list them, then the failure that stopped it (the last finding).
  void ShowStoppedReading(const std::vector<Diagnostic>& findings);
  // Replaces the file at path with text atomically; false after the message.
  bool SaveText(const QString& path, const QByteArray& text);
  void ShowDiagnostics(const std::vector<Diagnostic>& diagnostics);
  void SetModified(bool modified);
  static qint32 FreshSeed();

  gui::MessageSink& m_messages;
  FileDialogs& m_dialogs;
  std::map<int, GridSection*> m_grids;
  std::map<int, QVariant> m_values;
  std::map<int, KeptLine> m_keptLines;
  QString m_path;
  bool m_modified = false;
  bool m_loading = false;
  int m_busyCount = 0;
};

}  // namespace kov::document
