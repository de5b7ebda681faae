// Compact serializer and token injection.
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "json/internal/compact_writer.hpp"
#include "json/json_value.hpp"
#include "json/json_test_support.hpp"

namespace trellune {
namespace {

using namespace std::string_view_literals;

using test::compact_form;
using test::expect_parsed_as;
using test::printable;

JsonObject parse_object(std::string_view text, JsonParseOptions options = {}) {
  JsonParseResult result = parse_json(text, options);
  EXPECT_TRUE(result.ok()) << printable(text);
  if (!result.ok() || !result.value().is_object()) return JsonObject();
  return std::move(result.value().as_object());
}

struct InjectCase {
  std::string_view name;
  std::string_view request;
  std::string_view token;
  std::string_view sent;
};

constexpr InjectCase kInjectCases[] = {
    {"members sorted around the token", "{\"zeta\":1,\"alpha\":2}", "T", "{\"alpha\":2,\"token\":\"T\",\"zeta\":1}"},
    {"empty object", "{}", "T", "{\"token\":\"T\"}"},
    {"string token replaced", "{\"token\":\"old\",\"a\":1}", "T", "{\"a\":1,\"token\":\"T\"}"},
    {"null token replaced", "{\"token\":null}", "T", "{\"token\":\"T\"}"},
    {"number token replaced", "{\"token\":-1.5}", "T", "{\"token\":\"T\"}"},
    {"array token replaced", "{\"token\":[1,{\"token\":2}]}", "T", "{\"token\":\"T\"}"},
    {"object token replaced", "{\"token\":{\"a\":1}}", "T", "{\"token\":\"T\"}"},
    {"case matters", "{\"token\":1,\"id\":2,\"Token\":3}", "T", "{\"Token\":3,\"id\":2,\"token\":\"T\"}"},
    {"tokens after token", "{\"tokens\":1}", "T", "{\"token\":\"T\",\"tokens\":1}"},
    {"non-ASCII key last", "{\"\xC3\xA9t\xC3\xA9\":1,\"~\":2}", "T", "{\"token\":\"T\",\"~\":2,\"\xC3\xA9t\xC3\xA9\":1}"},
    {"nested token kept, nested keys sorted, arrays kept",
     "{\"params\":{\"token\":\"mine\",\"b\":[3,1,2],\"a\":{\"y\":1,\"x\":2}}}", "T",
     "{\"params\":{\"a\":{\"x\":2,\"y\":1},\"b\":[3,1,2],\"token\":\"mine\"},\"token\":\"T\"}"},
    {"token quote and backslash escaped", "{}", "a\"b\\c", "{\"token\":\"a\\\"b\\\\c\"}"},
    {"token slash DEL and UTF-8 unchanged", "{}", "/\x7F\xC3\xA9", "{\"token\":\"/\x7F\xC3\xA9\"}"},
    {"escapes normalised", "{\"s\":\"\\u0041\\/\\u00e9\"}", "T", "{\"s\":\"A/\xC3\xA9\",\"token\":\"T\"}"},
    {"numbers normalised",
     "{\"a\":-0,\"b\":1e2,\"c\":1E2,\"d\":0.10,\"e\":18446744073709551616,\"f\":3e23,\"g\":0,\"h\":42,\"i\":-7}", "T",
     "{\"a\":-0.0,\"b\":100.0,\"c\":100.0,\"d\":0.1,\"e\":1.8446744073709552e+19,\"f\":3e+23,\"g\":0,\"h\":42,\"i\":-7,"
     "\"token\":\"T\"}"},
    // The writer releases the tree as it goes: every kind of heap block,
    // and the empty containers that have none.
    {"long texts and empty containers released on the way",
     "{\"a key longer than fourteen\":[\"a value longer than fourteen\",[],{}],"
     "\"escaped\":{\"text\":\"tab\\tand a long run after it\",\"k\":[[\"x\"],{\"kk\":{}}]}}",
     "T",
     "{\"a key longer than fourteen\":[\"a value longer than fourteen\",[],{}],"
     "\"escaped\":{\"k\":[[\"x\"],{\"kk\":{}}],\"text\":\"tab\\tand a long run after it\"},\"token\":\"T\"}"},
    {"literals everywhere", "{\"a\":[true,false,null],\"b\":{\"c\":null}}", "T",
     "{\"a\":[true,false,null],\"b\":{\"c\":null},\"token\":\"T\"}"},
};

// Each case parsed both ways: with the member slot and the text's size that
// the relay reserves for the token, and without them, when the token's
// insertion grows the storage and the text grows as it is written. Each is
// also written over a string: the request line itself, as the relay writes
// it, whose bytes and spare capacity it takes first, and an empty one.
TEST(InjectToken, StampsTheTopLevelObjectAndWritesItCompactly) {
  for (const InjectCase& c : kInjectCases) {
    for (const bool reserve : {true, false}) {
      SCOPED_TRACE(testing::Message() << c.name << (reserve ? ", slot reserved" : ", no slot reserved"));
      JsonObject object = parse_object(c.request, {.reserve_one_member = reserve});
      const std::size_t members_before = object.size() + (object.find("token") == nullptr ? 1 : 0);
      const std::size_t expected_size = reserve ? c.request.size() + c.token.size() + 16 : 0;
      const JsonText sent = inject_token(std::move(object), c.token, expected_size);
      EXPECT_EQ(printable(sent), printable(c.sent));
      for (std::string text : {std::string(c.request), std::string()}) {
        const std::size_t bytes_before = text.size();
        inject_token_into(parse_object(c.request, {.reserve_one_member = reserve}), c.token, text);
        EXPECT_EQ(printable(text), printable(c.sent)) << "written over " << bytes_before << " bytes";
      }
      // The text reads back as an object with one more member at most.
      JsonParseResult again = parse_json(sent);
      ASSERT_TRUE(again.ok());
      EXPECT_EQ(again.value().as_object().size(), members_before);
    }
  }
}

struct ValueCase {
  std::string_view name;
  std::string_view text;
  std::string_view compact;
};

constexpr ValueCase kValueCases[] = {
    {"byte 0x1F", "\"\\u001F\"", "\"\\u001f\""},
    {"NUL", "\"\\u0000\"", "\"\\u0000\""},
    {"tab", "\"\\t\"", "\"\\t\""},
    {"DEL", "\"\x7F\"", "\"\x7F\""},
    {"line breaks", "\"\\n\\r\\u2028\"", "\"\\n\\r\xE2\x80\xA8\""},
    {"zero", "0", "0"},
    {"largest unsigned", "18446744073709551615", "18446744073709551615"},
    {"most negative signed", "-9223372036854775808", "-9223372036854775808"},
    {"one", "1.0", "1.0"},
    {"ten to the 15", "1e15", "1000000000000000.0"},
    {"ten to the 16", "1e16", "1e+16"},
    {"ten to the -5", "1e-5", "0.00001"},
    {"ten to the -6", "1e-6", "1e-6"},
    {"largest finite", "1.7976931348623157e308", "1.7976931348623157e+308"},
    {"rounds to largest finite", "1.7976931348623158e308", "1.7976931348623157e+308"},
    {"smallest subnormal", "5e-324", "5e-324"},
    {"negative zero", "-0.0", "-0.0"},
    {"negative", "-1.5", "-1.5"},
    {"nearest double of 3e23", "3e23", "3e+23"},
};

TEST(SerializeCompact, WritesEachKindInItsFixedForm) {
  for (const ValueCase& c : kValueCases) {
    SCOPED_TRACE(c.name);
    expect_parsed_as(c.text, compact_form, c.compact);
  }
}

TEST(SerializeCompact, HandBuiltValuesOutsideTheParsersRange) {
  struct Case {
    std::string_view name;
    JsonNumber number;
    std::string_view text;
  };
  const Case cases[] = {
      {"infinity", JsonNumber::from_float64(std::numeric_limits<double>::infinity()), "null"},
      {"negative infinity", JsonNumber::from_float64(-std::numeric_limits<double>::infinity()), "null"},
      {"NaN", JsonNumber::from_float64(std::numeric_limits<double>::quiet_NaN()), "null"},
      {"negative NaN", JsonNumber::from_float64(-std::numeric_limits<double>::quiet_NaN()), "null"},
      {"non-negative Int64", JsonNumber::from_int64(5), "5"},
      {"zero Int64", JsonNumber::from_int64(0), "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(serialize_compact(JsonValue(c.number)), c.text);
    // Elements and member values take a shortcut for floats; the stamping
    // writer is a second instance of it.
    JsonArray array;
    array.push_back(JsonValue(c.number));
    EXPECT_EQ(serialize_compact(JsonValue(std::move(array))), "[" + std::string(c.text) + "]");
    JsonObject object;
    (void)object.set_member("v", JsonValue(c.number));
    EXPECT_EQ(inject_token(std::move(object), "T"), "{\"token\":\"T\",\"v\":" + std::string(c.text) + "}");
  }
}

// Every byte value on its own, against the escape rules written out per range.
TEST(SerializeCompact, EscapesExactlyControlBytesQuoteAndBackslash) {
  struct Range {
    unsigned first;
    unsigned last;
    std::string_view escape;  // empty: the byte itself; "u": \u00xx
  };
  constexpr Range kRanges[] = {
      {0x00, 0x07, "u"},   {0x08, 0x08, "\\b"},  {0x09, 0x09, "\\t"}, {0x0A, 0x0A, "\\n"},
      {0x0B, 0x0B, "u"},   {0x0C, 0x0C, "\\f"},  {0x0D, 0x0D, "\\r"}, {0x0E, 0x1F, "u"},
      {0x20, 0x21, ""},    {0x22, 0x22, "\\\""}, {0x23, 0x5B, ""},    {0x5C, 0x5C, "\\\\"},
      {0x5D, 0xFF, ""},
  };
  unsigned covered = 0;
  for (const Range& range : kRanges) {
    for (unsigned byte = range.first; byte <= range.last; ++byte, ++covered) {
      SCOPED_TRACE(byte);
      const std::string raw(1, static_cast<char>(byte));
      std::string expected = range.escape == "u" ? std::string("\\u00") + "0123456789abcdef"[byte >> 4] +
                                                       "0123456789abcdef"[byte & 0xF]
                                                 : std::string(range.escape.empty() ? raw : range.escape);
      json_internal::CompactSerializer serializer;
      serializer.write_escaped_string("x" + raw + "yyyyyyyyyy");
      EXPECT_EQ(std::move(serializer).finish(), "\"x" + expected + "yyyyyyyyyy\"");
    }
  }
  EXPECT_EQ(covered, 256u);
}

// Runs between escapes are block copies found eight bytes at a time; an
// escape at any offset of a group must come out in its place.
TEST(SerializeCompact, EscapesAtEveryOffsetOfLongRuns) {
  constexpr std::string_view kSpecials[] = {"\n", "\"", "\\", "\x01", "\0"sv};
  for (std::string_view special : kSpecials) {
    const JsonText escaped = serialize_compact(JsonValue(special));
    const std::string_view inner = std::string_view(escaped).substr(1, escaped.size() - 2);
    for (std::size_t length = 0; length < 30; ++length) {
      for (std::size_t at = 0; at <= length; ++at) {
        SCOPED_TRACE(printable(special) + " at " + std::to_string(at) + " of " + std::to_string(length));
        const std::string before(at, 'a');
        const std::string after = std::string(length - at, 'b') + "\xC3\xA9";
        const JsonText text = serialize_compact(JsonValue(before + std::string(special) + after));
        EXPECT_EQ(printable(text), printable("\"" + before + std::string(inner) + after + "\""));
      }
    }
  }
}

TEST(SerializeCompact, OutputIsOneLineWhateverTheStrings) {
  std::string all_bytes_below_0x80;
  for (int byte = 0; byte < 0x80; ++byte) all_bytes_below_0x80 += static_cast<char>(byte);
  JsonObject object;
  (void)object.set_member(all_bytes_below_0x80, JsonValue(all_bytes_below_0x80));
  const JsonText text = inject_token(std::move(object), "line\nbreak\r");
  EXPECT_EQ(text.view().find('\n'), std::string::npos);
  EXPECT_EQ(text.view().find('\r'), std::string::npos);
  JsonParseResult again = parse_json(text);
  ASSERT_TRUE(again.ok());
  ASSERT_NE(again.value().as_object().find(all_bytes_below_0x80), nullptr);
  EXPECT_EQ(again.value().as_object().find("token")->as_string(), "line\nbreak\r");
}

TEST(SerializeCompact, LongOutputGrowsPastTheFirstBuffer) {
  std::string text = "[";
  for (int i = 0; i < 5000; ++i) text += (i ? ",\"" : "\"") + std::to_string(i) + "\\n\"";
  text += "]";
  expect_parsed_as(text, compact_form, text);
}

// Integers of one to three digits, either sign, in arrays whose output
// crosses the first buffer's end at every offset: the text comes back as
// written.
TEST(SerializeCompact, SmallIntegersRoundTripAtEveryBufferOffset) {
  for (int value = -120; value <= 120; ++value) {
    SCOPED_TRACE(value);
    const std::string literal = std::to_string(value);
    expect_parsed_as(literal, compact_form, literal);
    for (std::size_t count = 20; count <= 70; count += 7) {
      std::string text = "[";
      for (std::size_t i = 0; i < count; ++i) text += (i == 0 ? "" : ",") + literal;
      text += ']';
      expect_parsed_as(text, compact_form, text);
    }
  }
  for (std::size_t prefix = 0; prefix < 140; ++prefix) {
    SCOPED_TRACE(prefix);
    const std::string text = "[\"" + std::string(prefix, 'x') + "\",7,42,0]";
    expect_parsed_as(text, compact_form, text);
  }
}

// The reference: std::to_chars's digits.
template <class Integer>
std::string to_chars_text(Integer value) {
  char text[24];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// The digits the writer gives an unsigned integer: format_integer from 10^8
// up, the writer's own routes in registers below that.
std::string integer_text(std::uint64_t value) {
  if (value < 100000000) return std::string(serialize_compact(JsonValue(JsonNumber::from_uint64(value))).view());
  std::array<char, json_internal::kIntegerScratchSize> scratch;
  const std::size_t first = json_internal::format_integer(value, scratch);
  return std::string(&scratch[first], scratch.size() - first);
}

TEST(FormatInteger, WritesPlainDecimalDigits) {
  constexpr std::uint64_t kValues[] = {0,          1,           9,          10,        99,
                                       100,        999,         1000,       9999,      10000,
                                       10001,      99999,       100000,     12345678,  100000000,
                                       4294967296, 10000000000, 1ull << 63, UINT64_MAX};
  for (std::uint64_t value : kValues) {
    SCOPED_TRACE(value);
    EXPECT_EQ(integer_text(value), std::to_string(value));
  }
  // Against std::to_chars on random magnitudes of every length.
  std::mt19937_64 random(7);
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t value = random() >> (random() % 64);
    ASSERT_EQ(integer_text(value), to_chars_text(value));
  }
}

// The writer forms short integers in registers and longer ones through
// format_integer: both kinds, both signs, every length and the boundaries
// between its routes, against std::to_chars.
TEST(SerializeCompact, IntegersMatchToChars) {
  std::vector<std::uint64_t> magnitudes = {0, 9, 10, 99, 100, 101, 9999999, 10000000, 99999999, 100000000, 100000001,
                                           1ull << 63, UINT64_MAX};
  std::mt19937_64 random(11);
  for (int i = 0; i < 100000; ++i) magnitudes.push_back(random() >> (random() % 64));
  for (std::uint64_t magnitude : magnitudes) {
    SCOPED_TRACE(magnitude);
    ASSERT_EQ(serialize_compact(JsonValue(JsonNumber::from_uint64(magnitude))), to_chars_text(magnitude));
    if (magnitude <= (1ull << 63)) {
      const std::int64_t negative = static_cast<std::int64_t>(0 - magnitude);
      ASSERT_EQ(serialize_compact(JsonValue(JsonNumber::from_int64(negative))), to_chars_text(negative));
    }
    if (magnitude < (1ull << 63)) {
      const auto positive = static_cast<std::int64_t>(magnitude);
      ASSERT_EQ(serialize_compact(JsonValue(JsonNumber::from_int64(positive))), to_chars_text(positive));
    }
  }
}

// Every value below 2 x 10^6, and the thousand on each side of every power
// of ten, against std::to_chars: each digit place takes every digit, and
// every length and block boundary is crossed.
TEST(FormatInteger, MatchesToCharsOnGrids) {
  std::vector<std::uint64_t> values;
  for (std::uint64_t value = 0; value < 2000000; ++value) values.push_back(value);
  for (std::uint64_t power = 1000; power <= 10000000000000000000ull; power *= 10) {
    for (std::uint64_t delta = 0; delta <= 1000; ++delta) {
      values.push_back(power - delta);
      values.push_back(power + delta);
      values.push_back(2 * power - delta);
    }
    if (power > UINT64_MAX / 10) break;
  }
  for (std::uint64_t delta = 0; delta <= 1000; ++delta) values.push_back(UINT64_MAX - delta);
  for (const std::uint64_t value : values) ASSERT_EQ(integer_text(value), to_chars_text(value)) << value;
}

TEST(FormatInteger, TwoDigitTableHoldsEveryPair) {
  for (std::size_t i = 0; i < 100; i += 11) {
    SCOPED_TRACE(i);
    char expected[3];
    std::snprintf(expected, sizeof expected, "%02zu", i);
    EXPECT_EQ(std::string_view(&json_internal::kTwoDigits[2 * i], 2), expected);
  }
}

}  // namespace
}  // namespace trellune
