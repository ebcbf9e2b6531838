// Pieces of the messages that name a file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "text_input.h"

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

// The name as the control file wrote it, followed by the full path tried when the name is
// relative: it was looked up in the run's working folder, which the user may not have in mind.
inline std::string NameWithFullPath(std::string_view name) {
  std::string text(name);
  const std::filesystem::path written(text);
  if (text.empty() || written.is_absolute()) return text;
  std::error_code error;
  const std::filesystem::path full = std::filesystem::absolute(written, error);
  if (error) return text;
  return text.append(" (").append(full.lexically_normal().string()).append(")");
}

// The message for a file that TextInput::Open refused for what it is (a pipe or device, UTF-16
// text), naming its role ("control file") and name; empty for every other status, which the
// caller reports with its own open message.
inline std::string RefusedFileMessage(std::string_view role, std::string_view name,
                                      std::int32_t status) {
  std::string text;
  if (status != kNotARegularFile && status != kUtf16Text) return text;
  text.append("The ").append(role).append(" ").append(name);
  if (status == kNotARegularFile) {
    text.append(" is not a regular file but a pipe, device or socket, which the engine cannot "
                "read to its end and again; please name a file on disk.");
  } else {
    text.append(" is saved as UTF-16; please save it as plain text (UTF-8 or ASCII).");
  }
  return text;
}

// The refused-file message when there is one, else the caller's own open message.
inline std::string OpenFailureMessage(std::string_view role, std::string_view name,
                                      std::int32_t status, std::string_view prefix,
                                      std::string_view suffix) {
  std::string refused = RefusedFileMessage(role, name, status);
  return refused.empty() ? Message(prefix, NameWithFullPath(name), suffix) : refused;
}

}  // namespace kov::input
