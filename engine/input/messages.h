// Pieces of the messages that name a file.
#pragma once

#include <string>
#include <string_view>

namespace kov::input {

inline constexpr std::string_view kVerifyPath = "; Please verify that this is a valid file name and path.";
inline constexpr std::string_view kVerifyPathAndFormat =
    "; Please verify that this is a valid file name and path, and that the file is properly formatted.";

inline std::string Message(std::string_view prefix, std::string_view name, std::string_view suffix) {
  std::string text;
  text.reserve(prefix.size() + name.size() + suffix.size());
  text.append(prefix).append(name).append(suffix);
  return text;
}

}  // namespace kov::input
