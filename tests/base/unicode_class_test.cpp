// The generated Unicode class tables: well-known code points, the shape of
// the tables, and the search at every range boundary.
#include "base/unicode_class.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace trellune {
namespace {

struct ClassCase {
  char32_t code_point;
  std::string_view what;
  bool extender;
  bool printable;
};

// Well-known Unicode 15.0 facts, checked against the generated tables.
constexpr ClassCase kClassCases[] = {
    {0x0020, "space", false, true},
    {0x0041, "A", false, true},
    {0x007E, "tilde", false, true},
    {0x001B, "escape (Cc)", false, false},
    {0x007F, "delete (Cc)", false, false},
    {0x0085, "next line (Cc)", false, false},
    {0x00A0, "no-break space (Zs)", false, false},
    {0x00AD, "soft hyphen (Cf)", false, false},
    {0x00E9, "e acute", false, true},
    {0x0300, "combining grave", true, true},
    {0x0301, "combining acute", true, true},
    {0x036F, "combining latin small x", true, true},
    {0x0377, "greek small pamphylian digamma", false, true},
    {0x0378, "unassigned (Cn)", false, false},
    {0x0488, "combining cyrillic hundred thousands (Me)", true, true},
    {0x200B, "zero width space (Cf)", false, false},
    {0x200C, "zero width non-joiner (Cf, Other_Grapheme_Extend)", true, false},
    {0x200D, "zero width joiner (Cf, not Grapheme_Extend)", false, false},
    {0x2028, "line separator (Zl)", false, false},
    {0x2029, "paragraph separator (Zp)", false, false},
    {0x3000, "ideographic space (Zs)", false, false},
    {0x4E00, "first cjk ideograph", false, true},
    {0x9FFF, "last cjk ideograph of the main block", false, true},
    {0xD800, "surrogate (Cs)", false, false},
    {0xE000, "private use (Co)", false, false},
    {0xFEFF, "byte order mark (Cf)", false, false},
    {0xFF9E, "halfwidth voiced sound mark (Lm, extender)", true, true},
    {0xFFFD, "replacement character", false, true},
    {0xFFFE, "noncharacter", false, false},
    {0x1F3FB, "emoji modifier (Sk, not an extender in 15.0)", false, true},
    {0x1F600, "grinning face", false, true},
    {0x2A6DF, "last of cjk extension b", false, true},
    {0x2A6E0, "unassigned after extension b", false, false},
    {0x31350, "first of cjk extension h, new in 15.0", false, true},
    {0xE0001, "language tag (Cf)", false, false},
    {0xE0020, "tag space (Cf, extender)", true, false},
    {0xE0100, "variation selector 17", true, true},
    {0xF0000, "supplementary private use (Co)", false, false},
    {0x10FFFF, "last code point", false, false},
};

TEST(UnicodeClassTest, WellKnownCodePoints) {
  for (const ClassCase& c : kClassCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(is_grapheme_extender(c.code_point), c.extender);
    EXPECT_EQ(is_printable(c.code_point), c.printable);
  }
}

// Each generated table with the predicate that searches it.
struct ClassTable {
  std::string_view name;
  std::span<const CodepointRange> ranges;
  bool (*contains)(char32_t);
};

std::array<ClassTable, 2> class_tables() {
  return {{
      {"grapheme extend", grapheme_extend_ranges(), is_grapheme_extender},
      {"printable", printable_ranges(), is_printable},
  }};
}

TEST(UnicodeClassTest, TablesAreSortedDisjointAndMerged) {
  for (const ClassTable& table : class_tables()) {
    SCOPED_TRACE(table.name);
    const std::span<const CodepointRange> ranges = table.ranges;
    ASSERT_FALSE(ranges.empty());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      EXPECT_LE(ranges[i].first, ranges[i].last) << "range " << i;
      EXPECT_LE(ranges[i].last, char32_t{0x10FFFF}) << "range " << i;
      // Adjacent ranges would have been merged by the generator.
      if (i > 0) {
        EXPECT_GT(ranges[i].first, ranges[i - 1].last + 1) << "range " << i;
      }
    }
  }
}

TEST(UnicodeClassTest, RangeEdgesAreFound) {
  // Both ends of every range are in it and the code points just outside are
  // not, which exercises the binary search at every boundary.
  for (const auto& [name, ranges, contains] : class_tables()) {
    SCOPED_TRACE(name);
    for (const CodepointRange& range : ranges) {
      SCOPED_TRACE(testing::Message() << std::hex << static_cast<std::uint32_t>(range.first) << ".."
                                      << static_cast<std::uint32_t>(range.last));
      EXPECT_TRUE(contains(range.first));
      EXPECT_TRUE(contains(range.last));
      if (range.first > 0) {
        EXPECT_FALSE(contains(range.first - 1));
      }
      EXPECT_FALSE(contains(range.last + 1));
    }
  }
}

}  // namespace
}  // namespace trellune
