// What the number reader and the two number writers (integers in the compact
// writer, floats in format_float) share.
#pragma once

#include <array>
#include <cstddef>

namespace trellune::json_internal {

// The 128-bit products of the powers-of-ten table, in both directions.
__extension__ typedef unsigned __int128 Uint128;

// "00" "01" ... "99".
inline constexpr std::array<char, 200> kTwoDigits = [] {
  std::array<char, 200> table{};
  for (std::size_t i = 0; i < 100; ++i) {
    table[2 * i] = static_cast<char>('0' + i / 10);
    table[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return table;
}();

}  // namespace trellune::json_internal
