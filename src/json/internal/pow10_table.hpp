// Powers of ten as 128-bit significands, shared by float formatting and by
// number parsing so the program holds one copy of the table.
#pragma once

#include <cstdint>

namespace trellune::json_internal {

struct Pow10 {
  std::uint64_t high;
  std::uint64_t low;
};

inline constexpr int kMinPow10 = -292;
inline constexpr int kMaxPow10 = 324;

// 10^m for m = kMinPow10..kMaxPow10, each the leading 128 bits, truncated,
// highest bit set.
inline constexpr Pow10 kPow10[kMaxPow10 - kMinPow10 + 1] = {
#include "json/pow10_table.inc"
};

}  // namespace trellune::json_internal
