// A report (or any text file a run wrote) shown inside the program: read-only, monospaced and
// unwrapped, so that the report's fixed-width columns line up as the engine wrote them.
#pragma once

#include <QDialog>
#include <QString>

class QPlainTextEdit;

namespace kov::gui {

class ReportDialog final : public QDialog {
  Q_OBJECT

 public:
  explicit ReportDialog(QWidget* parent = nullptr);

  // Shows the file's text; false, with the reason in the view, when it cannot be read.
  bool Load(const QString& path);

  QString Path() const { return m_path; }
  QPlainTextEdit* Text() const { return m_text; }

 private:
  QString m_path;
  QPlainTextEdit* m_text = nullptr;
};

}  // namespace kov::gui
