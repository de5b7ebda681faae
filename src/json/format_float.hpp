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

namespace json_internal {

// format_float's text written straight to `out`, which has room for
// kFloatScratchSize bytes (all of which may be written); returns its end.
// The writer formats into its output this way, with no copy from a scratch
// area that would have to wait for the stores of the text to complete.
char* write_float(double value, char* out);

}  // namespace json_internal

}  // namespace trellune
