#include "report/fields.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace kov::report {

namespace {

std::string RightAlign(std::string_view text, int width) {
  const auto size = static_cast<int>(text.size());
  if (size >= width) return std::string(text);
  return std::string(static_cast<std::size_t>(width - size), ' ').append(text);
}

std::string Digits(std::int64_t value) {
  std::array<char, 24> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string(buffer.data(), result.ptr);
}

// Zero-padded two-digit field of the clock time.
std::string TwoDigits(int value) {
  if (value < 0 || value > 99) return "**";
  return std::string{static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
}

}  // namespace

std::string FormatInteger(std::int64_t value, int width) {
  const std::string text = Digits(value);
  if (static_cast<int>(text.size()) > width) {
    return std::string(static_cast<std::size_t>(width), '*');
  }
  return RightAlign(text, width);
}

std::string FormatIntegerAtLeast(std::int64_t value, int width) {
  return RightAlign(Digits(value), width);
}

std::string FormatFixed(double value, int width, int decimals) {
  const std::string stars(static_cast<std::size_t>(width), '*');
  if (!std::isfinite(value)) {
    const std::string_view text = std::isnan(value) ? "NaN" : (value > 0 ? "Inf" : "-Inf");
    return static_cast<int>(text.size()) > width ? stars : RightAlign(text, width);
  }
  // Room for the 309 integer digits of the largest double, the sign, the point and decimals.
  std::array<char, 400> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::fixed, decimals);
  if (result.ec != std::errc()) return stars;
  std::string text(buffer.data(), result.ptr);
  if (static_cast<int>(text.size()) == width + 1) {
    if (text.starts_with("0.")) {
      text.erase(0, 1);
    } else if (text.starts_with("-0.")) {
      text.erase(1, 1);
    }
  }
  if (static_cast<int>(text.size()) > width) return stars;
  return RightAlign(text, width);
}

std::string FormatCell(double value) {
  if (value == 9.0) return "  -  ";
  if (std::isnan(value)) return " UND ";
  if (std::isinf(value)) return "*****";
  const double thousandths = std::floor(value * 1000.0 + 0.5);
  if (thousandths < 0.0) {
    // Probabilities are never negative; a negative start value still shows its fraction when
    // it is above -1, the most a 5-character cell can hold with its sign.
    if (thousandths <= -1000.0) return "*****";
    const auto fraction = static_cast<int>(-thousandths);
    return "-." + std::string{static_cast<char>('0' + fraction / 100),
                              static_cast<char>('0' + fraction / 10 % 10),
                              static_cast<char>('0' + fraction % 10)};
  }
  const auto units = static_cast<int>(std::fmod(std::floor(thousandths / 1000.0), 10.0));
  const auto fraction = static_cast<int>(std::fmod(thousandths, 1000.0));
  return std::string{static_cast<char>('0' + units),
                     '.',
                     static_cast<char>('0' + fraction / 100),
                     static_cast<char>('0' + fraction / 10 % 10),
                     static_cast<char>('0' + fraction % 10)};
}

std::string FormatDateTime(const std::tm& time) {
  static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const bool dayKnown = time.tm_wday >= 0 && time.tm_wday < 7;
  const bool monthKnown = time.tm_mon >= 0 && time.tm_mon < 12;
  std::string text = dayKnown ? kDays[static_cast<std::size_t>(time.tm_wday)] : "???";
  text += ' ';
  text += monthKnown ? kMonths[static_cast<std::size_t>(time.tm_mon)] : "???";
  text += ' ';
  text += FormatInteger(time.tm_mday, 2);
  text += ' ';
  text += TwoDigits(time.tm_hour);
  text += ':';
  text += TwoDigits(time.tm_min);
  text += ':';
  text += TwoDigits(time.tm_sec);
  text += ' ';
  text += FormatInteger(static_cast<std::int64_t>(time.tm_year) + 1900, 4);
  return text;
}

std::int64_t RoundHalfEven(double value) {
  if (std::isnan(value)) return 0;
  // Beyond this every double is an integer already, and the clamp keeps the cast defined.
  constexpr double kLimit = 9.0e18;
  if (value >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (value <= -kLimit) return std::numeric_limits<std::int64_t>::min();
  const double below = std::floor(value);
  const double rest = value - below;
  auto rounded = static_cast<std::int64_t>(below);
  if (rest > 0.5 || (rest == 0.5 && rounded % 2 != 0)) ++rounded;
  return rounded;
}

std::string Fit(std::string_view text, std::size_t width) {
  std::string fitted(text.substr(0, width));
  fitted.resize(width, ' ');
  return fitted;
}

void PadToColumn(std::string* line, std::size_t column) {
  if (line->size() + 1 < column) line->resize(column - 1, ' ');
}

}  // namespace kov::report
