// What the fuzz targets share: a scratch file per process for the readers that take a path,
// and a small cursor that takes the leading bytes of an input as the target's settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kov::fuzz {

// Replaces the named file in this process's scratch folder with bytes and returns its path.
// The folder is made once and removed when the process ends.
std::string WriteScratchFile(std::string_view name, const std::uint8_t* data, std::size_t size);

// Takes settings from the front of a fuzz input; the rest is the file's text. An input that runs
// out gives zeros, so every input is usable.
class InputCursor {
 public:
  InputCursor(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
  // A value from 0 to limit - 1 taken from one byte.
  std::int32_t Take(std::int32_t limit) {
    if (m_size == 0) return 0;
    const std::int32_t value = static_cast<std::int32_t>(*m_data % static_cast<unsigned>(limit));
    ++m_data;
    --m_size;
    return value;
  }
  const std::uint8_t* Rest() const { return m_data; }
  std::size_t RestSize() const { return m_size; }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
};

}  // namespace kov::fuzz
