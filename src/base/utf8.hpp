// UTF-8 as RFC 3629 defines it: at most four bytes, no overlong forms, no
// surrogates (U+D800..U+DFFF), nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Whether all of `bytes` is well-formed UTF-8. A block at a time with vector
// instructions where the processor has them (SSSE3 or AVX2, NEON); elsewhere
// a table-driven automaton, a shift per byte, skipping blocks of ASCII.
bool is_valid_utf8(std::string_view bytes);

// The same check over a text that arrives in pieces: after any number of
// feeds, valid() is is_valid_utf8 of everything fed, joined. A piece may end
// inside a sequence; the next one finishes it. Each piece goes through
// is_valid_utf8's check but for a few bytes at its ends. Once the text has
// gone wrong, further feeds cost nothing.
class Utf8Validator {
 public:
  void feed(std::string_view bytes);
  // Whether everything fed so far is well-formed and ends between sequences.
  bool valid() const;

 private:
  // The automaton's state after the last byte fed, as is_valid_utf8 keeps it.
  std::uint64_t state_ = 0;
};

// `bytes` with each maximal subpart of an ill-formed sequence replaced by one
// U+FFFD, the substitution practice the Unicode Standard recommends (chapter 3,
// "U+FFFD Substitution of Maximal Subparts") and the WHATWG Encoding Standard
// requires: "\xE2\x82A" gives one U+FFFD then "A"; "\xF0\x80" gives two.
// Allocates once.
std::string replace_invalid_utf8(std::string_view bytes);

}  // namespace trellune
