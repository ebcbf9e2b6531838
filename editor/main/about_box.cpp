#include "about_box.h"

#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

#include "widget_ui.h"

namespace kov::editor {

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  setModal(true);
  setWindowTitle(QStringLiteral("About ") + kProgramTitle);
  lblTitle = new QLabel(kProgramTitle);
  QFont titleFont = lblTitle->font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
  lblTitle->setFont(titleFont);
  lblVersion = new QLabel(VersionText());
  auto* description = new QLabel(QStringLiteral(
      "Latent class and latent transition models of longitudinal categorical data."));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lblTitle, 0, Qt::AlignHCenter);
  layout->addWidget(lblVersion, 0, Qt::AlignHCenter);
  layout->addWidget(description, 0, Qt::AlignHCenter);
  layout->addWidget(buttons);
}

QString AboutBox::VersionText() {
  return QStringLiteral("Version ") + QString::number(MARNEL_VERSION_MAJOR) + QStringLiteral(".") +
         QString::number(MARNEL_VERSION_MINOR);
}

void AboutBox::showEvent(QShowEvent* event) {
  // Centred on the screen, not on the frame.
  if (const QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
  }
  QDialog::showEvent(event);
}

}  // namespace kov::editor
