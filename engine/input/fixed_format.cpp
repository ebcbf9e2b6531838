#include "fixed_format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include "../base/result_codes.h"

namespace kov::input {

namespace {

using Kind = FixedFormat::Item::Kind;

// No data file of ours comes near these; larger numbers are typing slips (a missing comma
// glues two numbers together), and refusing them keeps every column and step count small.
constexpr std::int32_t kMaxNumber = 100000;
constexpr int kMaxDepth = 32;
// Steps a group without I or F fields may take per pass. Such a group only moves the column or
// the line, so anything beyond this would spin without reading a value.
constexpr std::uint64_t kMaxIdleSteps = 1000000;
constexpr std::uint64_t kStepCap = std::uint64_t{1} << 40;  // saturation of step counts
// Beyond any line; the column stops here so that endless skips cannot overflow it.
constexpr std::int64_t kFarColumn = std::int64_t{1} << 40;

constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

constexpr char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::uint64_t SaturatingProduct(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > kStepCap / a) return kStepCap;
  return std::min(a * b, kStepCap);
}

// Recursive descent over the format with its blanks removed and its letters in upper case.
class Parser {
 public:
  Parser(std::string text, std::vector<FixedFormat::Item>* items)
      : m_text(std::move(text)), m_items(items) {}

  // Parses "(list)" and nothing after it. On success *reversionStart is the index of the last
  // top-level group's start, or 0.
  bool ParseFormat(std::size_t* reversionStart) {
    if (Peek() != '(') return false;
    ++m_pos;
    Summary summary;
    if (!ParseList(0, &summary)) return false;
    if (Peek() != ')') return false;
    ++m_pos;
    if (m_pos != m_text.size()) return false;
    if (!summary.reads) return false;
    *reversionStart = m_lastTopGroup;
    return true;
  }

 private:
  struct Summary {
    std::uint64_t steps = 0;  // steps of one pass, saturated at kStepCap
    bool reads = false;       // holds an I or F field
  };

  char Peek() const { return m_pos < m_text.size() ? m_text[m_pos] : '\0'; }

  // An unsigned number of at most kMaxNumber. False when there are no digits or it is larger.
  bool Number(std::int32_t* value) {
    if (!IsDigit(Peek())) return false;
    std::int32_t n = 0;
    while (IsDigit(Peek())) {
      n = n * 10 + (m_text[m_pos] - '0');
      if (n > kMaxNumber) return false;
      ++m_pos;
    }
    *value = n;
    return true;
  }

  // The items of a list up to (not including) its closing parenthesis. `depth` is the number of
  // groups around the list, not counting the format's own parentheses.
  bool ParseList(int depth, Summary* summary) {
    bool any = false;
    bool commaPending = false;
    bool commaOptional = true;  // after "(", "/" or ")"
    for (;;) {
      const char c = Peek();
      if (c == ',') {
        if (!any || commaPending) return false;
        commaPending = true;
        ++m_pos;
        continue;
      }
      if (c == ')' || c == '\0') return any && !commaPending;

      std::int32_t repeat = 1;
      const bool counted = IsDigit(c);
      if (counted && (!Number(&repeat) || repeat == 0)) return false;
      const char letter = Peek();
      if (any && !commaPending && !commaOptional && letter != '/') return false;
      ++m_pos;

      FixedFormat::Item item;
      item.repeat = repeat;
      Summary part;
      switch (letter) {
        case 'I':
          item.kind = Kind::kInteger;
          if (!Number(&item.width) || item.width == 0) return false;
          part = {static_cast<std::uint64_t>(repeat), true};
          break;
        case 'F':
        case 'E':
        case 'D':
        case 'G':
          item.kind = Kind::kReal;
          if (!Number(&item.width) || item.width == 0) return false;
          if (Peek() == '.') {
            ++m_pos;
            if (!Number(&item.decimals) || item.decimals > item.width) return false;
          }
          part = {static_cast<std::uint64_t>(repeat), true};
          break;
        case 'X':
          // The count before X is the number of columns, not a repeat.
          item.kind = Kind::kSkip;
          item.width = repeat;
          item.repeat = 1;
          part = {1, false};
          break;
        case 'T':
          item.kind = Kind::kTab;
          if (counted || !Number(&item.width) || item.width == 0) return false;
          part = {1, false};
          break;
        case '/':
          item.kind = Kind::kNextLine;
          part = {static_cast<std::uint64_t>(repeat), false};
          break;
        case '(': {
          if (depth + 1 > kMaxDepth) return false;
          const std::size_t start = m_items->size();
          if (depth == 0) m_lastTopGroup = start;
          item.kind = Kind::kGroupStart;
          m_items->push_back(item);
          Summary inner;
          if (!ParseList(depth + 1, &inner) || Peek() != ')') return false;
          ++m_pos;
          if (!inner.reads && SaturatingProduct(inner.steps + 1, repeat) > kMaxIdleSteps) {
            return false;
          }
          FixedFormat::Item end;
          end.kind = Kind::kGroupEnd;
          end.groupStart = static_cast<std::int32_t>(start);
          m_items->push_back(end);
          summary->steps =
              std::min(summary->steps + SaturatingProduct(inner.steps + 1, repeat), kStepCap);
          summary->reads = summary->reads || inner.reads;
          any = true;
          commaPending = false;
          commaOptional = true;
          continue;
        }
        default:
          return false;
      }
      m_items->push_back(item);
      summary->steps = std::min(summary->steps + part.steps, kStepCap);
      summary->reads = summary->reads || part.reads;
      any = true;
      commaPending = false;
      commaOptional = letter == '/';
    }
  }

  std::string m_text;
  std::size_t m_pos = 0;
  std::vector<FixedFormat::Item>* m_items;
  std::size_t m_lastTopGroup = 0;
};

// Walks the non-blank characters of a field.
class FieldCursor {
 public:
  explicit FieldCursor(std::string_view field) : m_field(field) { SkipBlanks(); }
  char Peek() const { return m_pos < m_field.size() ? m_field[m_pos] : '\0'; }
  bool AtEnd() const { return m_pos >= m_field.size(); }
  void Next() {
    ++m_pos;
    SkipBlanks();
  }

 private:
  void SkipBlanks() {
    while (m_pos < m_field.size() && m_field[m_pos] == ' ') ++m_pos;
  }
  std::string_view m_field;
  std::size_t m_pos = 0;
};

// An I field: an optional sign and digits. All blank reads as 0.
std::int32_t ReadInteger(std::string_view field, std::int32_t* value) {
  FieldCursor cursor(field);
  if (cursor.AtEnd()) {
    *value = 0;
    return kStatusOk;
  }
  bool negative = false;
  if (cursor.Peek() == '+' || cursor.Peek() == '-') {
    negative = cursor.Peek() == '-';
    cursor.Next();
  }
  if (cursor.AtEnd()) return kBadValue;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; !cursor.AtEnd(); cursor.Next()) {
    const char c = cursor.Peek();
    if (!IsDigit(c)) return kBadValue;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > kLimit) return kBadValue;
  }
  if (!negative && magnitude == kLimit) return kBadValue;
  *value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return kStatusOk;
}

// An F field: [sign] digits [. digits] [exponent], or with the point first; the exponent is
// E or D with an optional sign, or a bare sign, followed by digits. Without a point the digits
// carry `decimals` implied decimals. The value is assembled as "<digits>e<power>" and handed to
// from_chars, which rounds correctly and ignores the locale.
std::int32_t ReadReal(std::string_view field, std::int32_t decimals, double* value) {
  // Far more significant digits than a double resolves; digits beyond them only shift the power.
  constexpr int kMaxDigits = 40;
  constexpr std::int64_t kExponentCap = 1000000;
  FieldCursor cursor(field);
  if (cursor.AtEnd()) {
    *value = 0.0;
    return kStatusOk;
  }
  bool negative = false;
  if (cursor.Peek() == '+' || cursor.Peek() == '-') {
    negative = cursor.Peek() == '-';
    cursor.Next();
  }
  char buffer[kMaxDigits + 32];
  int stored = 0;
  int digits = 0;
  bool point = false;
  std::int64_t power = 0;
  for (;; cursor.Next()) {
    const char c = cursor.Peek();
    if (IsDigit(c)) {
      ++digits;
      if (stored == 0 && c == '0') {
        if (point) --power;
      } else if (stored < kMaxDigits) {
        buffer[stored++] = c;
        if (point) --power;
      } else if (!point) {
        ++power;
      }
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return kBadValue;

  const char mark = Upper(cursor.Peek());
  if (mark == 'E' || mark == 'D' || mark == '+' || mark == '-') {
    if (mark == 'E' || mark == 'D') cursor.Next();
    bool exponentNegative = false;
    if (cursor.Peek() == '+' || cursor.Peek() == '-') {
      exponentNegative = cursor.Peek() == '-';
      cursor.Next();
    }
    if (!IsDigit(cursor.Peek())) return kBadValue;
    std::int64_t exponent = 0;
    for (; IsDigit(cursor.Peek()); cursor.Next()) {
      exponent = std::min(exponent * 10 + (cursor.Peek() - '0'), kExponentCap);
    }
    power += exponentNegative ? -exponent : exponent;
  }
  if (!cursor.AtEnd()) return kBadValue;
  if (!point) power -= decimals;

  if (stored == 0) {
    *value = 0.0;
    return kStatusOk;
  }
  char* const end = buffer + sizeof buffer;
  buffer[stored] = 'e';
  const std::to_chars_result written = std::to_chars(buffer + stored + 1, end, power);
  if (written.ec != std::errc()) return kBadValue;
  double magnitude = 0.0;
  const std::from_chars_result parsed = std::from_chars(buffer, written.ptr, magnitude);
  if (parsed.ec == std::errc::result_out_of_range && power < 0) {
    magnitude = 0.0;  // below the smallest double: as good as zero for a count of subjects
  } else if (parsed.ec != std::errc() || parsed.ptr != written.ptr) {
    return kBadValue;
  }
  *value = negative ? -magnitude : magnitude;
  return kStatusOk;
}

std::string_view FieldAt(std::string_view line, std::int64_t column, std::int32_t width) {
  // Columns past the end of the line are blanks, and blanks are ignored, so the part of the
  // field that lies on the line is all there is to read.
  if (column >= static_cast<std::int64_t>(line.size())) return {};
  return line.substr(static_cast<std::size_t>(column), static_cast<std::size_t>(width));
}

}  // namespace

std::int32_t FixedFormat::Parse(std::string_view text, FixedFormat* format) {
  std::string compact;
  compact.reserve(text.size());
  for (const char c : text) {
    if (c != ' ' && c != '\t') compact.push_back(Upper(c));
  }
  FixedFormat parsed;
  Parser parser(std::move(compact), &parsed.m_items);
  if (!parser.ParseFormat(&parsed.m_reversionStart)) return kBadDataFormat;
  for (std::size_t i = parsed.m_reversionStart; i < parsed.m_items.size(); ++i) {
    const Kind kind = parsed.m_items[i].kind;
    if (kind == Kind::kInteger || kind == Kind::kReal) parsed.m_reversionReads = true;
  }
  *format = std::move(parsed);
  return kStatusOk;
}

std::int32_t FixedFormat::ReadRecord(LineSource& lines, std::int32_t* responses,
                                     std::int32_t count, double* frequency) const {
  if (m_items.empty()) return kBadDataFormat;
  count = std::max(count, 0);
  std::string_view line;
  std::int32_t status = lines.NextLine(&line);
  if (status != kStatusOk) return status;

  std::int64_t column = 0;  // 0-based; may run past the end of the line
  std::int32_t read = 0;
  std::int32_t remaining[kMaxDepth];  // passes left of each open group, innermost last
  int depth = 0;
  std::size_t i = 0;
  for (;;) {
    if (i == m_items.size()) {
      if (!m_reversionReads) return kBadDataFormat;
      status = lines.NextLine(&line);
      if (status != kStatusOk) return status;
      column = 0;
      depth = 0;
      i = m_reversionStart;
      continue;
    }
    const Item& item = m_items[i];
    switch (item.kind) {
      case Kind::kInteger:
      case Kind::kReal:
        for (std::int32_t r = 0; r < item.repeat; ++r) {
          const std::string_view field = FieldAt(line, column, item.width);
          column = std::min(column + item.width, kFarColumn);
          if (read < count) {
            if (item.kind == Kind::kInteger) {
              status = ReadInteger(field, &responses[read]);
            } else {
              double real = 0.0;
              status = ReadReal(field, item.decimals, &real);
              // A response is a category number: only a whole number in 32 bits will do.
              if (status == kStatusOk) {
                if (real != std::floor(real) || real < std::numeric_limits<std::int32_t>::min() ||
                    real > std::numeric_limits<std::int32_t>::max()) {
                  return kBadValue;
                }
                responses[read] = static_cast<std::int32_t>(real);
              }
            }
            if (status != kStatusOk) return status;
            ++read;
            continue;
          }
          if (item.kind == Kind::kInteger) {
            std::int32_t whole = 0;
            status = ReadInteger(field, &whole);
            if (status == kStatusOk) *frequency = whole;
            return status;
          }
          return ReadReal(field, item.decimals, frequency);
        }
        break;
      case Kind::kSkip:
        column = std::min(column + item.width, kFarColumn);
        break;
      case Kind::kTab:
        column = item.width - 1;
        break;
      case Kind::kNextLine:
        for (std::int32_t r = 0; r < item.repeat; ++r) {
          status = lines.NextLine(&line);
          if (status != kStatusOk) return status;
        }
        column = 0;
        break;
      case Kind::kGroupStart:
        remaining[depth++] = item.repeat;
        break;
      case Kind::kGroupEnd:
        if (--remaining[depth - 1] > 0) {
          i = static_cast<std::size_t>(item.groupStart) + 1;
          continue;
        }
        --depth;
        break;
    }
    ++i;
  }
}

}  // namespace kov::input
