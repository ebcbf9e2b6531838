#include "protocol.h"

#include <QIODevice>

namespace kov::automation::protocol {

namespace {

bool WriteRecord(QIODevice* device, const QByteArray& record) {
  return device->write(record) == record.size();
}

}  // namespace

QByteArray EncodeRunKovArguments(const RunKovArguments& arguments) {
  QByteArray bytes;
  QDataStream out(&bytes, QIODevice::WriteOnly);
  out.setVersion(kStreamVersion);
  out << static_cast<qint16>(arguments.eRunType) << arguments.sControlFile
      << arguments.sCurrentDirectory << arguments.bBatch.has_value()
      << arguments.bBatch.value_or(false);
  return bytes;
}

bool DecodeRunKovArguments(const QByteArray& bytes, RunKovArguments* arguments) {
  QDataStream in(bytes);
  in.setVersion(kStreamVersion);
  qint16 runType = 0;
  bool hasBatch = false;
  bool batch = false;
  in >> runType >> arguments->sControlFile >> arguments->sCurrentDirectory >> hasBatch >> batch;
  if (in.status() != QDataStream::Ok) return false;
  arguments->eRunType = runType;
  arguments->bBatch = hasBatch ? std::optional<bool>(batch) : std::nullopt;
  return true;
}

QByteArray EncodeInt32(std::int32_t value) {
  QByteArray bytes;
  QDataStream out(&bytes, QIODevice::WriteOnly);
  out.setVersion(kStreamVersion);
  out << static_cast<qint32>(value);
  return bytes;
}

bool DecodeInt32(const QByteArray& bytes, std::int32_t* value) {
  QDataStream in(bytes);
  in.setVersion(kStreamVersion);
  qint32 decoded = 0;
  in >> decoded;
  if (in.status() != QDataStream::Ok) return false;
  *value = decoded;
  return true;
}

bool WriteRequest(QIODevice* device, const Request& request) {
  QByteArray record;
  QDataStream out(&record, QIODevice::WriteOnly);
  out.setVersion(kStreamVersion);
  out << static_cast<qint32>(request.method) << request.arguments;
  return WriteRecord(device, record);
}

bool WriteReply(QIODevice* device, const Reply& reply) {
  QByteArray record;
  QDataStream out(&record, QIODevice::WriteOnly);
  out.setVersion(kStreamVersion);
  out << static_cast<qint32>(reply.errorNumber) << reply.description << reply.result;
  return WriteRecord(device, record);
}

bool ReadRequest(QIODevice* device, Request* request) {
  QDataStream in(device);
  in.setVersion(kStreamVersion);
  in.startTransaction();
  qint32 method = 0;
  QByteArray arguments;
  in >> method >> arguments;
  if (!in.commitTransaction()) return false;
  request->method = method;
  request->arguments = arguments;
  return true;
}

bool ReadReply(QIODevice* device, Reply* reply) {
  QDataStream in(device);
  in.setVersion(kStreamVersion);
  in.startTransaction();
  qint32 number = 0;
  QString description;
  QByteArray result;
  in >> number >> description >> result;
  if (!in.commitTransaction()) return false;
  reply->errorNumber = number;
  reply->description = description;
  reply->result = result;
  return true;
}

}  // namespace kov::automation::protocol
