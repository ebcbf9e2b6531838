#include "registry.h"

#include <QtEndian>

#include <cstdint>

#include "marnel_settings.h"

namespace kov::runhost {

namespace {

constexpr int kValueBufferBytes = 128;

}  // namespace

std::optional<QString> RegValueText(const QVariant& value) {
  switch (value.metaType().id()) {
    case QMetaType::QString: {
      const QString text = value.toString();
      // The text and its terminating zero must fit the buffer the value is read into.
      if (text.toLocal8Bit().size() + 1 > kValueBufferBytes) return std::nullopt;
      return text;
    }
    case QMetaType::Int:
    case QMetaType::UInt: {
      const auto number = static_cast<std::uint32_t>(value.toUInt());
      std::uint8_t bytes[4];
      qToLittleEndian(number, bytes);
      QString text;
      for (int index = 3; index >= 0; --index) text += QString::number(bytes[index]);
      return text;
    }
    default:
      return std::nullopt;
  }
}

std::optional<QString> QueryRegValue(const QString& section, const QString& valueName) {
  const auto settings = automation::OpenMarnelSettings();
  const QVariant value = settings->value(section + QLatin1Char('/') + valueName);
  if (!value.isValid()) return std::nullopt;
  return RegValueText(value);
}

kovos::Priority RunPriorityFromSetting(const std::optional<QString>& setting) {
  if (setting == QStringLiteral("LOWEST")) return kovos::Priority::kLowest;
  if (setting == QStringLiteral("LOWER")) return kovos::Priority::kBelowNormal;
  return kovos::Priority::kNormal;
}

bool SetRunPriority(kovos::Handle worker) {
  return kovos::SetThreadPriority(
      worker, RunPriorityFromSetting(QueryRegValue(QStringLiteral("Settings"),
                                                   QStringLiteral("RunPriority"))));
}

void ApplyThreadSetting() {
  const std::optional<QString> setting =
      QueryRegValue(QStringLiteral("Settings"), QStringLiteral("Threads"));
  if (!setting) return;
  bool ok = false;
  const int threads = setting->toInt(&ok);
  if (ok && threads >= 1 && threads <= 256) qputenv("MARNEL_THREADS", QByteArray::number(threads));
}

}  // namespace kov::runhost
