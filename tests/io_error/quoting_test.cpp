#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "io_error/io_error.hpp"

namespace trellune {
namespace {

using namespace std::string_view_literals;

struct QuoteCase {
  std::string_view name;
  std::string_view text;
  std::string_view quoted;
};

constexpr QuoteCase kQuoteCases[] = {
    {"empty", "", R"("")"},
    {"printable ascii", "Hello, world's ~{}!", R"("Hello, world's ~{}!")"},
    {"double quote", "say \"hi\"", R"("say \"hi\"")"},
    {"backslash", "C:\\dir", R"("C:\\dir")"},
    {"tab", "a\tb", R"("a\tb")"},
    {"line feed", "a\nb", R"("a\nb")"},
    {"carriage return", "a\rb", R"("a\rb")"},
    {"nul", "a\0b"sv, R"("a\0b")"},
    {"nul then digit", "\0" "1"sv, R"("\01")"},
    {"escape", "\x1b[0m", R"("\u{1b}[0m")"},
    {"start of heading", "\x01", R"("\u{1}")"},
    {"unit separator", "\x1f", R"("\u{1f}")"},
    {"vertical tab", "\v", R"("\u{b}")"},
    {"delete", "\x7f", R"("\u{7f}")"},
    {"e acute", "caf\u00e9", "\"caf\u00e9\""},
    {"combining acute", "e\u0301", R"("e\u{301}")"},
    {"combining acute alone", "\u0301", R"("\u{301}")"},
    {"no-break space", "a\u00a0b", R"("a\u{a0}b")"},
    {"next line control", "\u0085", R"("\u{85}")"},
    {"soft hyphen", "\u00ad", R"("\u{ad}")"},
    {"zero width non-joiner", "\u200c", R"("\u{200c}")"},
    {"zero width joiner", "\u200d", R"("\u{200d}")"},
    {"line separator", "\u2028", R"("\u{2028}")"},
    {"ideographic space", "\u3000", R"("\u{3000}")"},
    {"byte order mark", "\ufeff", R"("\u{feff}")"},
    {"private use", "\ue000", R"("\u{e000}")"},
    {"unassigned", "\u0378", R"("\u{378}")"},
    {"replacement character", "\ufffd", "\"\ufffd\""},
    {"cjk", "\u4e00\u4e8c", "\"\u4e00\u4e8c\""},
    {"emoji", "\U0001F600", "\"\U0001F600\""},
    {"variation selector 17", "\U000E0100", R"("\u{e0100}")"},
    {"last code point", "\U0010FFFF", R"("\u{10ffff}")"},
    {"mixed", "\u00e9\t\u0301x", "\"\u00e9\\t\\u{301}x\""},
    // Not UTF-8: each byte of a maximal ill-formed subpart as \xNN.
    {"stray continuation", "a\x80z", R"("a\x80z")"},
    {"byte ff", "\xff", R"("\xff")"},
    {"truncated sequence", "a\xe2\x82z", R"("a\xe2\x82z")"},
    {"overlong", "\xc0\xaf", R"("\xc0\xaf")"},
    {"surrogate", "\xed\xa0\x80", R"("\xed\xa0\x80")"},
    {"low byte", "\xc2\x05", R"("\xc2\u{5}")"},
};

TEST(WriteQuotedTest, Escapes) {
  for (const QuoteCase& c : kQuoteCases) {
    SCOPED_TRACE(c.name);
    StringSink sink;
    EXPECT_TRUE(write_quoted(sink, c.text));
    EXPECT_EQ(sink.text(), c.quoted);
  }
}

class FailAfterSink final : public TextSink {
 public:
  explicit FailAfterSink(int accepted) : remaining_(accepted) {}
  bool append(std::string_view text) override {
    ++calls_;
    if (remaining_-- <= 0) return false;
    text_.append(text);
    return true;
  }
  int calls_ = 0;
  std::string text_;

 private:
  int remaining_;
};

TEST(WriteQuotedTest, StopsAtTheFirstFailedAppend) {
  for (const QuoteCase& c : kQuoteCases) {
    SCOPED_TRACE(c.name);
    for (int accepted = 0;; ++accepted) {
      FailAfterSink sink(accepted);
      const bool ok = write_quoted(sink, c.text);
      if (ok) {
        EXPECT_EQ(sink.text_, c.quoted);
        break;
      }
      EXPECT_EQ(sink.calls_, accepted + 1) << "appended after a failure";
      EXPECT_TRUE(c.quoted.starts_with(sink.text_));
      ASSERT_LT(accepted, 64) << "never succeeds";
    }
  }
}

}  // namespace
}  // namespace trellune
