#include "report_dialog.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace kov::gui {

namespace {

constexpr int kWidth = 760;
constexpr int kHeight = 560;

// The report's columns line up only in a font of one pitch. The system's fixed font family may
// resolve to one that is not (some "monospace" fonts carry a few glyphs of double width); then
// the first installed family of one pitch stands in.
QFont FixedPitchFont() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  if (QFontInfo(font).fixedPitch()) return font;
  for (const QString& family : QFontDatabase::families()) {
    if (!QFontDatabase::isFixedPitch(family)) continue;
    QFont candidate = font;
    candidate.setFamily(family);
    if (QFontInfo(candidate).fixedPitch()) return candidate;
  }
  return font;
}

}  // namespace

ReportDialog::ReportDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("ReportDialog"));
  m_text = new QPlainTextEdit(this);
  m_text->setObjectName(QStringLiteral("txtReport"));
  m_text->setReadOnly(true);
  m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_text->setFont(FixedPitchFont());
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_text, 1);
  layout->addWidget(buttons);
  resize(kWidth, kHeight);
}

bool ReportDialog::Load(const QString& path) {
  m_path = path;
  setWindowTitle(path);
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    m_text->setPlainText(QStringLiteral("The file cannot be read: ") + file.errorString());
    return false;
  }
  // Reports are written in the engine's 8-bit text; names in them may be in the user's encoding.
  m_text->setPlainText(QString::fromLocal8Bit(file.readAll()));
  return true;
}

}  // namespace kov::gui
