// Finding the bytes that end a run of plain string content. The parser stops
// at them (quotation mark, reverse solidus, raw control byte) and the writer
// escapes exactly the same set.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace trellune::json_internal {

static_assert(std::endian::native == std::endian::little, "the word scan reads bytes little-endian");

constexpr bool is_string_stop(unsigned char byte) { return byte < 0x20 || byte == '"' || byte == '\\'; }

// The first byte in [p, end) that is a string stop, or `end`.
//
// Whole groups of eight bytes are tested at once (SWAR). For a byte b,
// (b - 0x20) borrows into bit 7 when b < 0x20, and (b ^ c) - 0x01 does so
// when b == c; "& ~w" keeps only bytes whose own bit 7 was clear, so UTF-8
// bytes (0x80 and up) never flag. A borrow can spill into the byte above a
// true stop and flag it falsely, but never below one, so the lowest flag is
// always a true stop.
inline const char* find_string_stop(const char* p, const char* end) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighBits = 0x8080808080808080;
  // Short and empty strings are common; the first byte alone often decides.
  if (p == end || is_string_stop(static_cast<unsigned char>(*p))) return p;
  ++p;
  while (end - p >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    const std::uint64_t flags =
        ((w - 0x20 * kOnes) | ((w ^ (0x22 * kOnes)) - kOnes) | ((w ^ (0x5C * kOnes)) - kOnes)) & ~w & kHighBits;
    if (flags != 0) return p + (std::countr_zero(flags) >> 3);
    p += 8;
  }
  while (p != end && !is_string_stop(static_cast<unsigned char>(*p))) ++p;
  return p;
}

}  // namespace trellune::json_internal
