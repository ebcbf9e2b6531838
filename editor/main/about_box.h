// The About box: the program's title and version, modal and centred on the screen.
#pragma once

#include <QDialog>

class QLabel;

namespace kov::editor {

class AboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit AboutBox(QWidget* parent = nullptr);

  static QString VersionText();

  QLabel* TitleLabel() const { return lblTitle; }
  QLabel* VersionLabel() const { return lblVersion; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QLabel* lblTitle = nullptr;
  QLabel* lblVersion = nullptr;
};

}  // namespace kov::editor
