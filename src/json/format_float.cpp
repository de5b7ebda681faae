// Shortest round-trip text of a binary64 value.
#include "json/format_float.hpp"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "io_error/fatal.hpp"

namespace trellune {
namespace {

// Lays out the significant digits `digits[0..n)` (no leading or trailing
// zeros, 1 <= n <= 17) of a value d1.d2...dn x 10^e at `out` and returns the
// end of the text. `digits` may lie inside the output area at or after `out`
// (the copies are memmove-safe).
//
//   e in [-5, 15]   plain:    "1000.0"  "12.5"  "0.00015"
//   otherwise       exponent: "1e+16"   "1.5e-7"  "5e-324"
char* write_layout(char* out, const char* digits, int n, int e) {
  if (e >= -5 && e <= 15) {
    if (e >= n - 1) {
      std::memmove(out, digits, static_cast<std::size_t>(n));
      out += n;
      std::memset(out, '0', static_cast<std::size_t>(e - n + 1));
      out += e - n + 1;
      std::memcpy(out, ".0", 2);
      return out + 2;
    }
    if (e < 0) {
      const int zeros = -e - 1;
      // Move the digits first: they may sit where the "0.000" goes.
      std::memmove(out + 2 + zeros, digits, static_cast<std::size_t>(n));
      std::memcpy(out, "0.", 2);
      std::memset(out + 2, '0', static_cast<std::size_t>(zeros));
      return out + 2 + zeros + n;
    }
    std::memmove(out + e + 2, digits + e + 1, static_cast<std::size_t>(n - e - 1));
    std::memmove(out, digits, static_cast<std::size_t>(e + 1));
    out[e + 1] = '.';
    return out + n + 1;
  }
  std::memmove(out + 2, digits + 1, static_cast<std::size_t>(n - 1));
  out[0] = digits[0];
  if (n > 1) {
    out[1] = '.';
    out += n + 1;
  } else {
    out += 1;
  }
  *out++ = 'e';
  unsigned magnitude = 0;
  if (e < 0) {
    *out++ = '-';
    magnitude = static_cast<unsigned>(-e);
  } else {
    *out++ = '+';
    magnitude = static_cast<unsigned>(e);
  }
  if (magnitude >= 100) {
    *out++ = static_cast<char>('0' + magnitude / 100);
    magnitude %= 100;
    *out++ = static_cast<char>('0' + magnitude / 10);
  } else if (magnitude >= 10) {
    *out++ = static_cast<char>('0' + magnitude / 10);
  }
  *out++ = static_cast<char>('0' + magnitude % 10);
  return out;
}

}  // namespace

std::string_view format_float(double value, std::span<char, kFloatScratchSize> scratch) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  char* const text = scratch.data() + 1;
  scratch[0] = '-';
  char* const begin = (bits >> 63) != 0 ? scratch.data() : text;
  if ((bits << 1) == 0) {
    std::memcpy(text, "0.0", 3);
    return {begin, text + 3};
  }

  // "d.ddddde+xxx": the shortest round-trip digits in scientific form.
  char sci[32];
  const double magnitude = value < 0 ? -value : value;
  const auto result = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific);
  TRELLUNE_CHECK(result.ec == std::errc{});
  char digits[17];
  int n = 0;
  const char* p = sci;
  for (; *p != 'e'; ++p) {
    if (*p != '.') {
      digits[n++] = *p;
    }
  }
  while (n > 1 && digits[n - 1] == '0') {
    --n;
  }
  ++p;
  const bool negative_exponent = *p == '-';
  int e = 0;
  for (++p; p != result.ptr; ++p) {
    e = e * 10 + (*p - '0');
  }
  if (negative_exponent) {
    e = -e;
  }
  return {begin, write_layout(text, digits, n, e)};
}

}  // namespace trellune
