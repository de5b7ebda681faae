// Shortest round-trip text of a binary64 value.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace trellune {

inline constexpr std::size_t kFloatScratchSize = 24;

// Writes the text of a finite `value` into `scratch` and returns it (a view
// into `scratch`): the shortest digits that read back as the same double,
// in plain notation for decimal exponents -5..15 ("1.0", "0.00001",
// "1000000000000000.0") and exponent notation otherwise ("1e+16", "5e-324").
// Negative values, negative zero included, start with "-".
std::string_view format_float(double value, std::span<char, kFloatScratchSize> scratch);

}  // namespace trellune
