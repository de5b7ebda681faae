// UTF-8 as RFC 3629 defines it: at most four bytes, no overlong forms, no
// surrogates (U+D800..U+DFFF), nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace trellune {

// One step of decoding. For an ill-formed start, `length` is the maximal
// subpart: the longest prefix that a well-formed sequence could have begun
// with, and at least 1 byte.
struct Utf8Sequence {
  char32_t code_point = 0;
  std::size_t length = 0;
  bool well_formed = false;
};

// Decodes the sequence at the start of `bytes`, which must not be empty.
Utf8Sequence decode_utf8_sequence(std::string_view bytes);

// Whether all of `bytes` is well-formed UTF-8. Blocks of ASCII are skipped
// sixteen bytes at a time; other text goes through a table-driven automaton,
// a shift per byte.
bool is_valid_utf8(std::string_view bytes);

// `bytes` with each maximal subpart of an ill-formed sequence replaced by one
// U+FFFD, the substitution practice the Unicode Standard recommends (chapter 3,
// "U+FFFD Substitution of Maximal Subparts") and the WHATWG Encoding Standard
// requires: "\xE2\x82A" gives one U+FFFD then "A"; "\xF0\x80" gives two.
// Allocates once.
std::string replace_invalid_utf8(std::string_view bytes);

}  // namespace trellune
