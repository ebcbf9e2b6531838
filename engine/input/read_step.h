// Read steps: the free-format reading of control files, estimates files and free-field data.
//
// A step begins at the start of a new line, takes as many values as it needs from that line and
// the lines after it, and leaves the rest of its last line unread. Values are separated by
// blanks or by one comma (with or without blanks around it). Text may be quoted with
// apostrophes (or double quotes), the quote doubled inside; unquoted text runs to the next blank
// or comma.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "text_input.h"

namespace kov::input {

class ReadStep {
 public:
  explicit ReadStep(LineSource& lines) : m_lines(lines) {}

  // Each returns kStatusOk, kEndOfFile when the source ends before the value, kBadValue when
  // the value is not of the type, or a read status of the line source.
  std::int32_t Int(std::int32_t* value);
  std::int32_t Real(double* value);
  // A yes/no flag, written as an integer: anything but 0 is yes.
  std::int32_t Flag(bool* value);
  // Text cut or blank-padded to exactly `width` characters.
  std::int32_t Text(std::size_t width, std::string* value);

  // Where the line holding the last value read begins (to read that line again).
  long ValueLinePosition() const { return m_linePosition; }

 private:
  std::int32_t NextToken(std::string_view* token, bool* quoted);

  LineSource& m_lines;
  std::string_view m_line;
  std::size_t m_cursor = 0;
  bool m_haveLine = false;
  bool m_pendingSeparator = false;  // a value was read and no separator consumed after it yet
  long m_linePosition = 0;
  std::string m_unquoted;  // a quoted text with its doubled quotes made single
};

// Parses whole tokens; kStatusOk or kBadValue.
std::int32_t ParseInt(std::string_view token, std::int32_t* value);
std::int32_t ParseReal(std::string_view token, double* value);

// A text cut or padded with blanks to width.
std::string FitText(std::string_view text, std::size_t width);

}  // namespace kov::input
