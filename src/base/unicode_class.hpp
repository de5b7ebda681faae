// The two Unicode classes the quoting of error texts needs, from tables
// generated out of the Unicode Character Database.
#pragma once

#include <span>

namespace trellune {

// An inclusive range of code points.
struct CodepointRange {
  char32_t first;
  char32_t last;
};

// Grapheme_Extend: combining marks and the like, which would fuse with the
// character before them if written as themselves.
bool is_grapheme_extender(char32_t code_point);

// Assigned and visible: not a control, format character, surrogate, private
// use, line or paragraph separator, or space other than U+0020.
bool is_printable(char32_t code_point);

// The tables themselves, sorted and disjoint.
std::span<const CodepointRange> grapheme_extend_ranges();
std::span<const CodepointRange> printable_ranges();

}  // namespace trellune
