// What crosses the private socket between an automation object and its server.
//
// A call is one request and one reply, each a QDataStream record:
//   request: qint32 method, QByteArray arguments (a QDataStream record of the method's own)
//   reply:   qint32 error number (0: none), QString description, QByteArray result
// The arguments travel as one byte array so that a server can answer a method it does not know
// without understanding its arguments.
#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QString>

#include <cstdint>
#include <optional>

class QIODevice;

namespace kov::automation::protocol {

inline constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_6_4;

enum Method : std::int32_t { kMethodRunKov = 1 };

struct Request {
  std::int32_t method = 0;
  QByteArray arguments;
};

struct Reply {
  std::int32_t errorNumber = 0;
  QString description;
  QByteArray result;
};

// lRunKov's arguments; bBatch is optional.
struct RunKovArguments {
  std::int16_t eRunType = 0;
  QString sControlFile;
  QString sCurrentDirectory;
  std::optional<bool> bBatch;
};

QByteArray EncodeRunKovArguments(const RunKovArguments& arguments);
// False when the bytes are not a whole argument record.
bool DecodeRunKovArguments(const QByteArray& bytes, RunKovArguments* arguments);

QByteArray EncodeInt32(std::int32_t value);
bool DecodeInt32(const QByteArray& bytes, std::int32_t* value);

// Writing: false when the device did not take every byte.
bool WriteRequest(QIODevice* device, const Request& request);
bool WriteReply(QIODevice* device, const Reply& reply);

// Reading from a device that may hold only part of a record: true and the record when a whole
// one has arrived (its bytes are consumed), false with nothing consumed otherwise.
bool ReadRequest(QIODevice* device, Request* request);
bool ReadReply(QIODevice* device, Reply* reply);

}  // namespace kov::automation::protocol
