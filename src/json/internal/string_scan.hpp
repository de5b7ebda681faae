// Finding the bytes that end a run of plain string content. The parser stops
// at them (quotation mark, reverse solidus, raw control byte) and the writer
// escapes exactly the same set.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace trellune::json_internal {

static_assert(std::endian::native == std::endian::little, "the word scan reads bytes little-endian");

constexpr bool is_string_stop(unsigned char byte) { return byte < 0x20 || byte == '"' || byte == '\\'; }

// The escapes of one letter after the reverse solidus, and the byte each
// stands for. The writer uses them for these bytes and "\u00XX" for the
// other control bytes; the parser reads them, "\/" and "\u" escapes.
struct ShortEscape {
  char letter;
  char byte;
};
inline constexpr ShortEscape kShortEscapes[] = {
    {'"', '"'}, {'\\', '\\'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}};

// The first byte in [p, end) that is a string stop, or `end`.
//
// With SSE2 (every x86-64), whole groups of sixteen bytes are tested at once:
// a byte is below 0x20 exactly when its unsigned minimum with 0x1F is
// itself. The groups of eight that are left are tested as one word each
// (SWAR). For a byte b,
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
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i below_space = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i stops = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                       _mm_cmpeq_epi8(_mm_min_epu8(v, below_space), v));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(stops));
    if (mask != 0) return p + std::countr_zero(mask);
    p += 16;
  }
#endif
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
