#include "base/unicode_class.hpp"

#include <algorithm>

namespace trellune {
namespace {

#include "base/unicode_tables.inc"

bool in_ranges(std::span<const CodepointRange> ranges, char32_t code_point) {
  // The first range that starts after the code point; the one before it is
  // the only candidate because the ranges are sorted and disjoint.
  const auto after = std::upper_bound(ranges.begin(), ranges.end(), code_point,
                                      [](char32_t cp, const CodepointRange& range) { return cp < range.first; });
  return after != ranges.begin() && code_point <= std::prev(after)->last;
}

}  // namespace

bool is_grapheme_extender(char32_t code_point) { return in_ranges(kGraphemeExtendRanges, code_point); }

bool is_printable(char32_t code_point) { return in_ranges(kPrintableRanges, code_point); }

std::span<const CodepointRange> grapheme_extend_ranges() { return kGraphemeExtendRanges; }

std::span<const CodepointRange> printable_ranges() { return kPrintableRanges; }

}  // namespace trellune
