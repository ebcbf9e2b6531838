// Fixed-format data records: a parenthesised list of field descriptors, as in (12I1,F6.0).
//
// Descriptors: Iw (integer in w columns), Fw.d (real in w columns; d implied decimals when the
// field holds no decimal point, an exponent allowed), nX (skip n columns), Tc (continue at
// column c), a repeat count before a descriptor or a parenthesised group, nested groups, and /
// (continue at the start of the next line). Descriptors are separated by commas, which may be
// left out next to "/" and ")". Blanks inside the format are ignored; letters may be lower case.
//
// Fields follow the classic rules of formatted input: blanks inside a numeric field are ignored,
// an all-blank field reads as 0, and a line shorter than the format is read as if padded with
// blanks. When the list of descriptors runs out before the record's values are read, reading
// continues on the next line with the last top-level parenthesised group (or the whole list when
// there is none).
//
// Also accepted, since they read exactly like F on input: Ew.d, Dw.d and Gw.d, and any of these
// without ".d" (d = 0); a bare X skips one column. An F field's exponent may be written with E or
// D ("1.5E2", "1.5D+2") or, in the old form, as a signed number right after the digits ("1.5+2").
// Only blanks count as blank; a tab inside a field is a bad value, since it means the columns do
// not line up with the format. Repeat counts, widths, skips and columns above 100000, groups
// nested more than 32 deep, and a group without I or F fields that would take more than a million
// steps are refused as malformed.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "text_input.h"

namespace kov::input {

class FixedFormat {
 public:
  // Parses a format text (leading and trailing blanks allowed). kStatusOk or kBadDataFormat.
  // A format without any I or F descriptor is refused, since it could never read a value.
  static std::int32_t Parse(std::string_view text, FixedFormat* format);

  // Reads one record: `count` integers into responses, then one real into *frequency.
  // Values are taken from the I and F fields in order; an F field may give a response when it
  // holds a whole number, an I field may give the frequency. The record starts on the next line
  // of `lines` and the rest of its last line is left unread. Returns kStatusOk, kEndOfFile when
  // the source has no line left where the record starts, or a positive status: kBadValue for a
  // field that does not hold its type (a letter or a point in an I field, a fraction in an F
  // field read as a response, an integer beyond 32 bits), kBadDataFormat when the format was
  // never parsed or its reversion part reads no value, a read status of the line source, or
  // kEndOfFile (-1) when the source ends inside a record. Responses read before a failure are
  // left in place.
  std::int32_t ReadRecord(LineSource& lines, std::int32_t* responses, std::int32_t count,
                          double* frequency) const;

  // One step of the parsed format. The parser flattens the nested groups into a list in which
  // a group is bracketed by kGroupStart and kGroupEnd, so reading walks a flat array with a
  // small fixed stack of repeat counters and allocates nothing per record.
  // Public only so that the parser's helpers in the source file can build it.
  struct Item {
    enum class Kind : std::uint8_t {
      kInteger, kReal, kSkip, kTab, kNextLine, kGroupStart, kGroupEnd
    };
    Kind kind = Kind::kInteger;
    std::int32_t repeat = 1;    // I, F, /, group start: times the step (or group) is taken
    std::int32_t width = 0;     // I, F: field width; X: columns skipped; T: target column
    std::int32_t decimals = 0;  // F only
    std::int32_t groupStart = 0;  // group end only: index of its kGroupStart
  };

 private:
  std::vector<Item> m_items;
  std::size_t m_reversionStart = 0;  // index into m_items where reading continues on reversion
  bool m_reversionReads = false;     // whether m_items[m_reversionStart..] reads any value
};

}  // namespace kov::input
