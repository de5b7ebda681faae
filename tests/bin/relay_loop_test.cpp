#include "bin/trellune-mcp/relay_loop.hpp"

#include <gtest/gtest.h>

namespace trellune {
namespace {

struct BlankCase {
  const char* name;
  std::string_view line;
  bool blank;
};

constexpr BlankCase kBlankCases[] = {
    {"empty", "", true},
    {"spaces", "   ", true},
    {"tab to carriage return", "\t\n\v\f\r", true},
    {"next line U+0085", "\xc2\x85", true},
    {"no-break space U+00A0", "\xc2\xa0", true},
    {"ogham space mark U+1680", "\xe1\x9a\x80", true},
    {"en quad U+2000 .. hair space U+200A", "\xe2\x80\x80\xe2\x80\x8a", true},
    {"line and paragraph separators", "\xe2\x80\xa8\xe2\x80\xa9", true},
    {"narrow no-break and medium math space", "\xe2\x80\xaf\xe2\x81\x9f", true},
    {"ideographic space U+3000", "\xe3\x80\x80", true},
    {"zero width space U+200B is not white space", "\xe2\x80\x8b", false},
    {"byte order mark U+FEFF is not white space", "\xef\xbb\xbf", false},
    {"NUL is not white space", std::string_view("\0", 1), false},
    {"text between spaces", "  x  ", false},
    {"U+00A1 right after white space", " \xc2\xa1", false},
};

TEST(BlankLineTest, UsesTheUnicodeWhiteSpaceSet) {
  for (const BlankCase& c : kBlankCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_blank_line(c.line), c.blank);
  }
}

}  // namespace
}  // namespace trellune
