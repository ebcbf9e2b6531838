// The one message sink of the window programs: what a test's recording sink answers, and the
// title a message gets when its caller gives none.

#include <QApplication>
#include <QTest>

#include "message_sink.h"

using kov::gui::MessageAnswer;
using kov::gui::MessageButtons;
using kov::gui::RecordingMessageSink;
using kov::gui::ScopedMessageSink;

Q_DECLARE_METATYPE(kov::gui::MessageButtons)
Q_DECLARE_METATYPE(kov::gui::MessageAnswer)

class MessageSinkTest : public QObject {
  Q_OBJECT

 private slots:
  void answers_data();
  void answers();
  void emptyTitleIsTheProgramsName();
};

void MessageSinkTest::answers_data() {
  QTest::addColumn<MessageButtons>("buttons");
  QTest::addColumn<bool>("queued");
  QTest::addColumn<MessageAnswer>("expected");
  // With nothing queued the sink presses Enter: the first button.
  QTest::newRow("ok, nothing queued") << MessageButtons::kOk << false << MessageAnswer::kOk;
  QTest::newRow("ok cancel, nothing queued")
      << MessageButtons::kOkCancel << false << MessageAnswer::kOk;
  QTest::newRow("yes no, nothing queued") << MessageButtons::kYesNo << false << MessageAnswer::kYes;
  QTest::newRow("yes no cancel, nothing queued")
      << MessageButtons::kYesNoCancel << false << MessageAnswer::kYes;
  QTest::newRow("yes no cancel, No queued")
      << MessageButtons::kYesNoCancel << true << MessageAnswer::kNo;
}

void MessageSinkTest::answers() {
  QFETCH(MessageButtons, buttons);
  QFETCH(bool, queued);
  QFETCH(MessageAnswer, expected);
  RecordingMessageSink sink;
  if (queued) sink.QueueAnswer(expected);
  ScopedMessageSink guard(sink);
  QCOMPARE(kov::gui::ShowMessage(nullptr, QStringLiteral("question"), {}, buttons), expected);
  // A queued answer is used once; the next question gets the first button again.
  QCOMPARE(kov::gui::ShowMessage(nullptr, QStringLiteral("again"), {}, MessageButtons::kYesNo),
           MessageAnswer::kYes);
  QCOMPARE(sink.Texts(), QStringList({QStringLiteral("question"), QStringLiteral("again")}));
}

void MessageSinkTest::emptyTitleIsTheProgramsName() {
  QGuiApplication::setApplicationDisplayName(QStringLiteral("Marnel"));
  RecordingMessageSink sink;
  ScopedMessageSink guard(sink);
  kov::gui::ShowMessage(nullptr, QStringLiteral("text"));
  kov::gui::ShowMessage(nullptr, QStringLiteral("text"), QStringLiteral("Series"));
  QCOMPARE(sink.Messages().at(0).title, QStringLiteral("Marnel"));
  QCOMPARE(sink.Messages().at(1).title, QStringLiteral("Series"));
}

QTEST_MAIN(MessageSinkTest)
#include "message_sink_test.moc"
