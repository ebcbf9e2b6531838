// Offsets into the parameter arrays, whose first index varies fastest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kov::input {

// The extents of an N-index array stored first index fastest. Indices are 0-based.
template <std::size_t N>
class MultiIndex {
 public:
  constexpr MultiIndex() = default;
  template <typename... Extents>
  constexpr explicit MultiIndex(Extents... extents)
      : m_extents{static_cast<std::size_t>(extents > 0 ? extents : 0)...} {
    static_assert(sizeof...(Extents) == N, "one extent per index");
  }

  template <typename... Indices>
  constexpr std::size_t operator()(Indices... indices) const {
    static_assert(sizeof...(Indices) == N, "one value per index");
    const std::array<std::size_t, N> index{static_cast<std::size_t>(indices)...};
    std::size_t offset = 0;
    for (std::size_t d = N; d-- > 0;) offset = offset * m_extents[d] + index[d];
    return offset;
  }

  constexpr std::size_t Extent(std::size_t d) const { return m_extents[d]; }

  constexpr std::size_t Size() const {
    std::size_t size = 1;
    for (std::size_t extent : m_extents) size *= extent;
    return size;
  }

 private:
  std::array<std::size_t, N> m_extents{};
};

}  // namespace kov::input
