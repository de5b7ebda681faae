#include "base/utf8.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>

#include "base/internal/utf8_checks.hpp"

namespace trellune {
namespace {

using namespace std::string_view_literals;

struct ValidityCase {
  std::string_view name;
  std::string_view bytes;
  bool valid;
};

constexpr ValidityCase kValidityCases[] = {
    {"empty", "", true},
    {"ascii longer than a word", "The quick brown fox jumps over the lazy dog", true},
    {"nul", "a\0b"sv, true},
    {"two bytes", "\xc3\xa9", true},
    {"smallest two bytes", "\xc2\x80", true},
    {"three bytes", "\xe2\x82\xac", true},
    {"smallest three bytes", "\xe0\xa0\x80", true},
    {"last before surrogates", "\xed\x9f\xbf", true},
    {"first after surrogates", "\xee\x80\x80", true},
    {"four bytes", "\xf0\x9f\x98\x80", true},
    {"smallest four bytes", "\xf0\x90\x80\x80", true},
    {"last code point", "\xf4\x8f\xbf\xbf", true},
    {"noncharacter is still valid", "\xef\xbf\xbf", true},
    {"stray continuation", "\x80", false},
    {"overlong nul", "\xc0\x80", false},
    {"overlong c1", "\xc1\xbf", false},
    {"overlong three bytes", "\xe0\x80\x80", false},
    {"overlong three bytes high", "\xe0\x9f\xbf", false},
    {"overlong four bytes", "\xf0\x80\x80\x80", false},
    {"overlong four bytes high", "\xf0\x8f\xbf\xbf", false},
    {"first surrogate", "\xed\xa0\x80", false},
    {"last surrogate", "\xed\xbf\xbf", false},
    {"above last code point", "\xf4\x90\x80\x80", false},
    {"lead f5", "\xf5\x80\x80\x80", false},
    {"byte fe", "\xfe", false},
    {"byte ff", "\xff", false},
    {"truncated two bytes", "\xc2", false},
    {"truncated three bytes", "\xe2\x82", false},
    {"truncated four bytes", "\xf0\x9f\x98", false},
    {"ascii in place of continuation", "\xc2\x41", false},
    {"lead in place of continuation", "\xe2\x28\xa1", false},
    {"invalid after a long ascii run", "0123456789abcdef\xff", false},
    {"valid after a long ascii run", "0123456789abcdef\xc3\xa9", true},
};

// is_valid_utf8 runs one of these; each must give every verdict.
std::span<const base_internal::Utf8Check> checks() { return base_internal::available_utf8_checks(); }

TEST(Utf8Test, Validity) {
  // The vector check must be among them wherever the processor can run it.
#if defined(__aarch64__)
  EXPECT_EQ(checks().back().name, "neon");
#elif defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) {
    EXPECT_EQ(checks().back().name, "avx2");
  } else if (__builtin_cpu_supports("ssse3")) {
    EXPECT_EQ(checks().back().name, "ssse3");
  }
#endif
  for (const ValidityCase& c : kValidityCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
    for (const base_internal::Utf8Check& check : checks()) {
      EXPECT_EQ(check.check(c.bytes), c.valid) << check.name;
    }
  }
}

// The checks go by blocks of sixteen or thirty-two bytes and words of
// eight: put a sequence at every offset of a longer text, so that it
// straddles every block boundary and ends at every distance from the text's
// end, after ASCII and after a block that is not ASCII.
TEST(Utf8Test, SequencesAtEveryOffset) {
  for (const ValidityCase& c : kValidityCases) {
    if (c.bytes.empty()) continue;
    for (const std::string_view before : {"x"sv, "\xc3\xa9"sv}) {
      for (std::size_t offset = 0; offset < 68; ++offset) {
        std::string text;
        while (text.size() < offset) text.append(before);
        text.append(c.bytes);
        for (const std::size_t tail : {std::size_t{0}, 68 - offset}) {
          const std::string tailed = text + std::string(tail, 'y');
          for (const base_internal::Utf8Check& check : checks()) {
            SCOPED_TRACE(testing::Message() << c.name << " at " << text.size() - c.bytes.size() << " after " << before.size()
                                            << "-byte characters, " << tail << " bytes before the end, " << check.name);
            EXPECT_EQ(check.check(tailed), c.valid);
          }
        }
      }
    }
  }
}

// Fed in pieces, every text gets the verdict of the whole, wherever the cuts
// fall: in a sequence, between sequences, around an ASCII run that the whole
// text's check would skip.
TEST(Utf8Test, ValidatorGivesTheVerdictOfTheWholeWhereverThePiecesEnd) {
  for (const ValidityCase& c : kValidityCases) {
    const std::string text = "0123456789abcd\xc3\xa9" + std::string(c.bytes) + "\xe2\x82\xacghijklmnopqrstuvwxyz";
    for (std::size_t first = 0; first <= text.size(); ++first) {
      for (std::size_t second = first; second <= text.size(); ++second) {
        SCOPED_TRACE(testing::Message() << c.name << " cut at " << first << " and " << second);
        Utf8Validator validator;
        validator.feed(std::string_view(text).substr(0, first));
        validator.feed(std::string_view(text).substr(first, second - first));
        validator.feed(std::string_view(text).substr(second));
        EXPECT_EQ(validator.valid(), c.valid);
      }
    }
  }
}

// An independent reading of RFC 3629: decode by the bit pattern of the lead
// byte, then reject overlongs, surrogates and values past U+10FFFF by value.
bool reference_is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<std::uint8_t>(bytes[i]);
    std::size_t length;
    std::uint32_t value;
    std::uint32_t minimum;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, value = lead & 0x1Fu, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, value = lead & 0x0Fu, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, value = lead & 0x07u, minimum = 0x10000;
    } else {
      return false;
    }
    if (bytes.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto byte = static_cast<std::uint8_t>(bytes[i + k]);
      if ((byte & 0xC0) != 0x80) return false;
      value = (value << 6) | (byte & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

TEST(Utf8Test, AgreesWithReferenceOnRandomText) {
  // Bytes drawn mostly from the interesting edges, so that a good share of
  // the texts are valid and the invalid ones fail in many different ways.
  constexpr std::uint8_t kAlphabet[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                        0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF3, 0xF4, 0xF5, 0xFF};
  std::mt19937 random(20240601);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(kAlphabet) - 1);
  std::uniform_int_distribution<std::size_t> length(0, 24);
  std::uniform_int_distribution<std::size_t> ascii_run(0, 12);
  std::uniform_int_distribution<std::size_t> piece_length(0, 7);
  int valid_count = 0;
  for (int round = 0; round < 100000; ++round) {
    std::string text(ascii_run(random), 'a');
    for (std::size_t n = length(random); n > 0; --n) text.push_back(static_cast<char>(kAlphabet[pick(random)]));
    text.append(ascii_run(random), 'z');
    const bool expected = reference_is_valid_utf8(text);
    valid_count += expected ? 1 : 0;
    for (const base_internal::Utf8Check& check : checks()) {
      ASSERT_EQ(check.check(text), expected) << "round " << round << ", " << check.name;
    }
    Utf8Validator pieces;
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t piece = std::min(text.size() - at, piece_length(random));
      pieces.feed(std::string_view(text).substr(at, piece));
      at += piece;
    }
    ASSERT_EQ(pieces.valid(), expected) << "round " << round << ", in pieces";
    // A valid text is left alone; an invalid one comes out valid.
    const std::string replaced = replace_invalid_utf8(text);
    ASSERT_TRUE(reference_is_valid_utf8(replaced)) << "round " << round;
    if (expected) {
      ASSERT_EQ(replaced, text) << "round " << round;
    }
  }
  // The alphabet must give both outcomes often, or the comparison says little.
  EXPECT_GT(valid_count, 1000);
  EXPECT_LT(valid_count, 99000);
}

struct ReplaceCase {
  std::string_view name;
  std::string_view bytes;
  std::string_view replaced;
};

#define FFFD "\xef\xbf\xbd"

constexpr ReplaceCase kReplaceCases[] = {
    {"empty", "", ""},
    {"valid", "caf\xc3\xa9 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xf0\x9f\x98\x80"},
    // The worked example of the Unicode Standard's chapter 3 on U+FFFD
    // substitution of maximal subparts.
    {"unicode example", "\x61\xf1\x80\x80\xe1\x80\xc2\x62\x80\x63\x80\xbf\x64",
     "a" FFFD FFFD FFFD "b" FFFD "c" FFFD FFFD "d"},
    {"truncated three bytes then ascii", "\xe2\x82" "A", FFFD "A"},
    {"f0 then bad second byte", "\xf0\x80", FFFD FFFD},
    {"overlong two bytes", "\xc0\xaf", FFFD FFFD},
    {"surrogate", "\xed\xa0\x80", FFFD FFFD FFFD},
    {"above last code point", "\xf4\x90\x80\x80", FFFD FFFD FFFD FFFD},
    {"truncated four bytes at end", "ab\xf0\x9f\x98", "ab" FFFD},
    {"lead then lead", "\xe2\xe2\x82\xac", FFFD "\xe2\x82\xac"},
    {"fe ff", "\xfe\xff", FFFD FFFD},
    {"nul kept", "a\0\xff"sv, "a\0" FFFD ""sv},
};

#undef FFFD

TEST(Utf8Test, ReplacesEachMaximalSubpart) {
  for (const ReplaceCase& c : kReplaceCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(replace_invalid_utf8(c.bytes), c.replaced);
  }
}

struct DecodeCase {
  std::string_view name;
  std::string_view bytes;
  char32_t code_point;
  std::size_t length;
  bool well_formed;
};

constexpr DecodeCase kDecodeCases[] = {
    {"ascii", "A rest", U'A', 1, true},
    {"two bytes", "\xc3\xa9rest", U'\u00e9', 2, true},
    {"three bytes", "\xe2\x82\xac", U'\u20ac', 3, true},
    {"four bytes", "\xf0\x9f\x98\x80", U'\U0001F600', 4, true},
    {"last code point", "\xf4\x8f\xbf\xbf", U'\U0010FFFF', 4, true},
    {"stray continuation", "\xbf", 0, 1, false},
    {"bad second byte", "\xe0\x9f\xbf", 0, 1, false},
    {"bad third byte", "\xe2\x82\x41", 0, 2, false},
    {"bad fourth byte", "\xf0\x9f\x98\x41", 0, 3, false},
    {"cut short", "\xf0\x9f", 0, 2, false},
};

TEST(Utf8Test, DecodesOneSequence) {
  for (const DecodeCase& c : kDecodeCases) {
    SCOPED_TRACE(c.name);
    const Utf8Sequence sequence = decode_utf8_sequence(c.bytes);
    EXPECT_EQ(sequence.well_formed, c.well_formed);
    EXPECT_EQ(sequence.length, c.length);
    if (c.well_formed) {
      EXPECT_EQ(sequence.code_point, c.code_point);
    }
  }
}

}  // namespace
}  // namespace trellune
