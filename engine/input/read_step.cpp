#include "read_step.h"

#include <charconv>
#include <cmath>

#include "../base/result_codes.h"

namespace kov::input {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
bool EndsUnquoted(char c) { return IsBlank(c) || c == ','; }

}  // namespace

std::int32_t ParseInt(std::string_view token, std::int32_t* value) {
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  if (token.empty()) return kBadValue;
  std::int32_t result = 0;
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), result);
  if (error != std::errc() || end != token.data() + token.size()) return kBadValue;
  *value = result;
  return kStatusOk;
}

std::int32_t ParseReal(std::string_view token, double* value) {
  // The estimates writer puts every value in fixed-point form: the largest double takes 309
  // digits before the point, then the point and the decimals.
  constexpr std::size_t kLongestReal = 400;
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  if (token.empty() || token.size() > kLongestReal) return kBadValue;
  // Fortran writes double-precision exponents with D; from_chars knows only E.
  char buffer[kLongestReal + 1];
  std::size_t n = 0;
  for (char c : token) buffer[n++] = (c == 'd' || c == 'D') ? 'e' : c;
  // from_chars would take "inf" and "nan"; a parameter or frequency never is one.
  const char first = buffer[0] == '-' ? (n > 1 ? buffer[1] : '\0') : buffer[0];
  if (!(first == '.' || (first >= '0' && first <= '9'))) return kBadValue;
  double result = 0.0;
  const auto [end, error] = std::from_chars(buffer, buffer + n, result);
  if (error != std::errc() || end != buffer + n || !std::isfinite(result)) return kBadValue;
  *value = result;
  return kStatusOk;
}

std::string FitText(std::string_view text, std::size_t width) {
  std::string result(text.substr(0, width));
  result.resize(width, ' ');
  return result;
}

std::int32_t ReadStep::NextToken(std::string_view* token, bool* quoted) {
  for (;;) {
    if (!m_haveLine) {
      const long position = m_lines.Position();
      const std::int32_t status = m_lines.NextLine(&m_line);
      if (status != kStatusOk) return status;
      m_haveLine = true;
      m_cursor = 0;
      m_linePosition = position;
      // The end of a line separates values just as a blank does.
      m_pendingSeparator = false;
    }
    while (m_cursor < m_line.size() && IsBlank(m_line[m_cursor])) ++m_cursor;
    if (m_cursor >= m_line.size()) {
      m_haveLine = false;
      continue;
    }
    if (m_line[m_cursor] == ',') {
      // One comma may follow a value; a comma with no value before it leaves a value out.
      if (!m_pendingSeparator) return kBadValue;
      m_pendingSeparator = false;
      ++m_cursor;
      continue;
    }
    break;
  }

  const char first = m_line[m_cursor];
  if (first == '\'' || first == '"') {
    // Quoted text: the quote written twice stands for itself. A text left open at the end of
    // its line runs to the end of that line.
    m_unquoted.clear();
    std::size_t i = m_cursor + 1;
    while (i < m_line.size()) {
      if (m_line[i] == first) {
        if (i + 1 < m_line.size() && m_line[i + 1] == first) {
          m_unquoted.push_back(first);
          i += 2;
          continue;
        }
        ++i;
        break;
      }
      m_unquoted.push_back(m_line[i++]);
    }
    m_cursor = i;
    *token = m_unquoted;
    *quoted = true;
  } else {
    std::size_t i = m_cursor;
    while (i < m_line.size() && !EndsUnquoted(m_line[i])) ++i;
    *token = m_line.substr(m_cursor, i - m_cursor);
    m_cursor = i;
    *quoted = false;
  }
  // The separator after this value: blanks, then at most one comma.
  m_pendingSeparator = true;
  while (m_cursor < m_line.size() && IsBlank(m_line[m_cursor])) ++m_cursor;
  if (m_cursor < m_line.size() && m_line[m_cursor] == ',') {
    ++m_cursor;
    m_pendingSeparator = false;
  }
  return kStatusOk;
}

std::int32_t ReadStep::Int(std::int32_t* value) {
  std::string_view token;
  bool quoted = false;
  const std::int32_t status = NextToken(&token, &quoted);
  if (status != kStatusOk) return status;
  return quoted ? kBadValue : ParseInt(token, value);
}

std::int32_t ReadStep::Real(double* value) {
  std::string_view token;
  bool quoted = false;
  const std::int32_t status = NextToken(&token, &quoted);
  if (status != kStatusOk) return status;
  return quoted ? kBadValue : ParseReal(token, value);
}

std::int32_t ReadStep::Flag(bool* value) {
  std::int32_t number = 0;
  const std::int32_t status = Int(&number);
  if (status == kStatusOk) *value = number != 0;
  return status;
}

std::int32_t ReadStep::Text(std::size_t width, std::string* value) {
  std::string_view token;
  bool quoted = false;
  const std::int32_t status = NextToken(&token, &quoted);
  if (status != kStatusOk) return status;
  *value = FitText(token, width);
  return kStatusOk;
}

}  // namespace kov::input
