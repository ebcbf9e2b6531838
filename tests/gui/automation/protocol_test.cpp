// The automation layer's wire format: a request is read only once the whole record is there.

#include <QBuffer>
#include <QTest>

#include "protocol.h"

class ProtocolTest : public QObject {
  Q_OBJECT

 private slots:
  void readsWholeRecordsOnly();
};

void ProtocolTest::readsWholeRecordsOnly() {
  namespace protocol = kov::automation::protocol;
  QBuffer written;
  QVERIFY(written.open(QIODevice::WriteOnly));
  const protocol::RunKovArguments sent{2, QStringLiteral("/a b/c.cnt"), QString(), std::nullopt};
  QVERIFY(protocol::WriteRequest(&written,
                                 {protocol::kMethodRunKov, protocol::EncodeRunKovArguments(sent)}));
  const QByteArray record = written.data();

  // Half a record is left where it is for the rest to arrive.
  QBuffer half;
  half.setData(record.left(record.size() / 2));
  QVERIFY(half.open(QIODevice::ReadOnly));
  protocol::Request request;
  QVERIFY(!protocol::ReadRequest(&half, &request));
  QCOMPARE(half.pos(), 0);

  QBuffer whole;
  whole.setData(record + record.left(3));
  QVERIFY(whole.open(QIODevice::ReadOnly));
  QVERIFY(protocol::ReadRequest(&whole, &request));
  QCOMPARE(request.method, protocol::kMethodRunKov);
  protocol::RunKovArguments received;
  QVERIFY(protocol::DecodeRunKovArguments(request.arguments, &received));
  QCOMPARE(received.eRunType, std::int16_t{2});
  QCOMPARE(received.sControlFile, sent.sControlFile);
  // "not given" must not turn into false: it keeps the batch mode of the server.
  QVERIFY(!received.bBatch.has_value());
  QVERIFY(!protocol::ReadRequest(&whole, &request));
}

QTEST_GUILESS_MAIN(ProtocolTest)
#include "protocol_test.moc"
