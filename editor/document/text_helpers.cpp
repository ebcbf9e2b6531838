#include "text_helpers.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string>
#include <system_error>
#include <type_traits>

namespace kov::document {

namespace {

constexpr QChar kApostrophe = u'\'';

bool IsBlank(QChar c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// The token as plain ASCII bytes for std::from_chars; false when it holds anything else, which
// no number can.
bool ToAscii(QStringView token, std::string* bytes) {
  if (!token.isEmpty() && token.front() == u'+') token = token.mid(1);
  // "+-5" is not a number.
  if (token.isEmpty() || token.front() == u'+') return false;
  bytes->clear();
  for (QChar c : token) {
    if (c.unicode() > 0x7F) return false;
    bytes->push_back(static_cast<char>(c.unicode()));
  }
  return true;
}

template <typename Number>
bool ParseWhole(QStringView token, Number* value) {
  std::string bytes;
  if (!ToAscii(token, &bytes)) return false;
  Number parsed{};
  const char* end = bytes.data() + bytes.size();
  const auto [at, error] = std::from_chars(bytes.data(), end, parsed);
  if (error != std::errc() || at != end) return false;
  if constexpr (std::is_floating_point_v<Number>) {
    if (!std::isfinite(parsed)) return false;
  }
  *value = parsed;
  return true;
}

qsizetype LastSeparator(const QString& path) { return path.lastIndexOf(u'/'); }

}  // namespace

QString Quote(const QString& text) {
  QString doubled = text;
  doubled.replace(kApostrophe, QStringLiteral("''"));
  return kApostrophe + doubled + kApostrophe;
}

QString Unquote(const QString& text) {
  QString result = text;
  if (result.startsWith(kApostrophe)) result.remove(0, 1);
  if (result.endsWith(kApostrophe)) result.chop(1);
  return result;
}

QString UndoubleApostrophes(const QString& text) {
  QString result = text;
  result.replace(QStringLiteral("''"), QString(kApostrophe));
  return result;
}

QStringList SplitAtBlanks(const QString& line) {
  QStringList tokens;
  qsizetype start = -1;
  for (qsizetype i = 0; i <= line.size(); ++i) {
    const bool blank = i == line.size() || IsBlank(line[i]);
    if (!blank && start < 0) start = i;
    if (blank && start >= 0) {
      tokens << line.mid(start, i - start);
      start = -1;
    }
  }
  return tokens;
}

QStringList SplitValues(const QString& line) {
  QStringList tokens;
  qsizetype i = 0;
  const qsizetype n = line.size();
  while (i < n) {
    if (IsBlank(line[i])) {
      ++i;
      continue;
    }
    const qsizetype start = i;
    if (line[i] == kApostrophe) {
      // A quoted text ends at an apostrophe that is not doubled; an unclosed one runs to the end.
      ++i;
      while (i < n) {
        if (line[i] == kApostrophe) {
          if (i + 1 < n && line[i + 1] == kApostrophe) {
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        ++i;
      }
    } else {
      while (i < n && !IsBlank(line[i])) ++i;
    }
    tokens << line.mid(start, i - start);
  }
  return tokens;
}

QString TextValue(const QString& token) {
  if (token.size() >= 2 && token.front() == kApostrophe && token.back() == kApostrophe) {
    return UndoubleApostrophes(token.mid(1, token.size() - 2));
  }
  return token;
}

bool ParseInt16(QStringView token, qint16* value) { return ParseWhole(token, value); }
bool ParseInt32(QStringView token, qint32* value) { return ParseWhole(token, value); }
bool ParseSingle(QStringView token, float* value) { return ParseWhole(token, value); }
bool ParseReal(QStringView token, double* value) { return ParseWhole(token, value); }

QString FormatReal(double value) {
  // Fixed notation of the largest double takes 309 digits before the point.
  std::array<char, 400> buffer{};
  const auto [end, error] =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
  if (error != std::errc()) return QString();
  return QString::fromLatin1(buffer.data(), end - buffer.data());
}

QString FolderPart(const QString& path) { return path.left(LastSeparator(path) + 1); }

QString FilePart(const QString& path) { return path.mid(LastSeparator(path) + 1); }

QString Extension(const QString& path) {
  const QString file = FilePart(path);
  const qsizetype dot = file.lastIndexOf(u'.');
  return dot < 0 ? QString() : file.mid(dot);
}

QString FileTitle(const QString& path) {
  const QString file = FilePart(path);
  const qsizetype dot = file.lastIndexOf(u'.');
  return dot < 0 ? file : file.left(dot);
}

}  // namespace kov::document
