// Parser and value model: grammar, failure kinds, numbers, strings, nesting,
// key order.
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "json/internal/parse_number.hpp"
#include "json/json_test_support.hpp"
#include "json/json_value.hpp"

namespace trellune {
namespace {

using namespace std::string_view_literals;
using Kind = JsonParseErrorKind;

using test::compact_form;
using test::expect_parsed_as;
using test::printable;

// `inner` wrapped in `levels` pairs of `open` and `close`.
std::string nested(std::string_view open, std::string_view close, int levels, std::string_view inner = "") {
  std::string text;
  for (int i = 0; i < levels; ++i) text += open;
  text += inner;
  for (int i = 0; i < levels; ++i) text += close;
  return text;
}

struct ErrorCase {
  std::string_view text;
  Kind kind;
};

constexpr ErrorCase kErrorCases[] = {
    {"", Kind::EndInValue},
    {" \t\r\n", Kind::EndInValue},
    {"[", Kind::EndInArray},
    {"[1", Kind::EndInArray},
    {"[1,", Kind::EndInValue},
    {"[,1]", Kind::NotAValue},
    {"[1,,2]", Kind::NotAValue},
    {"[1,]", Kind::CommaBeforeClose},
    {"[1 , ]", Kind::CommaBeforeClose},
    {"[1 2]", Kind::MissingCommaOrBracket},
    {"[nullx]", Kind::MissingCommaOrBracket},
    {"{", Kind::EndInObject},
    {"{\"a\"", Kind::EndInObject},
    {"{\"a\":", Kind::EndInValue},
    {"{\"a\":1", Kind::EndInObject},
    {"{\"a\":1,", Kind::EndInValue},
    {"{\"a\":}", Kind::NotAValue},
    {"{\"a\":1,}", Kind::CommaBeforeClose},
    {"{1:2}", Kind::KeyNotString},
    {"{,}", Kind::KeyNotString},
    {"{\"a\":1,2}", Kind::KeyNotString},
    {"{\"a\":1,,}", Kind::KeyNotString},
    {"{\"a\" 1}", Kind::MissingColon},
    {"{\"a\"}", Kind::MissingColon},
    {"{\"a\":1 \"b\":2}", Kind::MissingCommaOrBrace},
    {"truex", Kind::TrailingText},
    {"{} x", Kind::TrailingText},
    {"[1]]", Kind::TrailingText},
    {"1 2", Kind::TrailingText},
    {"nul", Kind::EndInValue},
    {"tru", Kind::EndInValue},
    {"fals", Kind::EndInValue},
    {"nulL", Kind::BadLiteral},
    {"nx", Kind::BadLiteral},
    {"True", Kind::NotAValue},
    // Only space, tab, line feed and carriage return are white space.
    {"\f1", Kind::NotAValue},
    {"1\f", Kind::TrailingText},
    {"\v1", Kind::NotAValue},
    {"\xC2\xA0"
     "1",
     Kind::NotAValue},
    {"1\xC2\xA0", Kind::TrailingText},
    {"\xEF\xBB\xBF"
     "1",
     Kind::NotAValue},
    {"1\xEF\xBB\xBF", Kind::TrailingText},
    // Numbers.
    {"01", Kind::BadNumber},
    {"-01", Kind::BadNumber},
    {"00", Kind::BadNumber},
    {"1.", Kind::EndInValue},
    {"-", Kind::EndInValue},
    {"1e", Kind::EndInValue},
    {"1e+", Kind::EndInValue},
    {"1E-", Kind::EndInValue},
    {"1.e5", Kind::BadNumber},
    {"1.x", Kind::BadNumber},
    {"[1.]", Kind::BadNumber},
    {"1ex", Kind::BadNumber},
    {"1e+x", Kind::BadNumber},
    {"-x", Kind::BadNumber},
    {"-.5", Kind::BadNumber},
    {"- 1", Kind::BadNumber},
    {".5", Kind::NotAValue},
    {"+1", Kind::NotAValue},
    {"1.5x", Kind::TrailingText},
    {"10e308", Kind::NumberTooLarge},
    {"1e400", Kind::NumberTooLarge},
    {"-1e400", Kind::NumberTooLarge},
    {"1.8e308", Kind::NumberTooLarge},
    {"1.7976931348623159e308", Kind::NumberTooLarge},
    {"1e2147483647", Kind::NumberTooLarge},
    {"1e2147483648", Kind::NumberTooLarge},
    {"0.1e99999999999999", Kind::NumberTooLarge},
    // Strings.
    {"\"abc", Kind::EndInString},
    {"\"abcdefghijklmnopqrstuvwxyz", Kind::EndInString},
    {"\"\\", Kind::EndInString},
    {"\"\\u12", Kind::EndInString},
    {"\"\\u12\"", Kind::EndInString},
    {"\"\\u12\"]", Kind::BadEscape},
    {"\"\\u00G0\"", Kind::BadEscape},
    {"\"\\x\"", Kind::BadEscape},
    {"\"\\U0041\"", Kind::BadEscape},
    {"\"\\ud83d\"", Kind::IncompleteSurrogatePair},
    {"\"\\ud83dx\"", Kind::IncompleteSurrogatePair},
    {"\"\\ud83d\\n\"", Kind::IncompleteSurrogatePair},
    {"\"\\ud83d", Kind::EndInString},
    {"\"\\ud83d\\", Kind::EndInString},
    {"\"\\ud83d\\u12", Kind::EndInString},
    {"\"\\ude00\"", Kind::LoneSurrogate},
    {"\"\\ud83d\\u0041\"", Kind::LoneSurrogate},
    {"\"\\ud83d\\ud83d\"", Kind::LoneSurrogate},
    {"\"\\ud83d\\uZZZZ\"", Kind::BadEscape},
    {"\"a\tb\"", Kind::ControlCharInString},
    {"\"a\nb\"", Kind::ControlCharInString},
    {"\"\x1F\"", Kind::ControlCharInString},
    {"\"0123456789\x01\"", Kind::ControlCharInString},
    {"\"\0\""sv, Kind::ControlCharInString},
};

TEST(ParseJson, FailsWithTheKindOfTheFirstFault) {
  for (const ErrorCase& c : kErrorCases) {
    SCOPED_TRACE(printable(c.text));
    JsonParseResult result = parse_json(c.text);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(json_parse_error_kind_name(result.error().kind), json_parse_error_kind_name(c.kind));
  }
}

// A text that parses, and what it shows: its compact form or its string.
struct ShownCase {
  std::string_view text;
  std::string_view shown;
};

constexpr ShownCase kAcceptCases[] = {
    {"1", "1"},
    {"\"x\"", "\"x\""},
    {"null", "null"},
    {"true", "true"},
    {"false", "false"},
    {"[]", "[]"},
    {"{}", "{}"},
    {" \t\r\n[ 1 ,\t2 ,\r\n3 ] \t\r\n", "[1,2,3]"},
    {" { \"a\" : [ ] , \"b\" : { } } ", "{\"a\":[],\"b\":{}}"},
    {"[null,true,false,\"\",[[]],{\"\":{}}]", "[null,true,false,\"\",[[]],{\"\":{}}]"},
    {"[-0,0,-1,1.5]", "[-0.0,0,-1,1.5]"},
};

TEST(ParseJson, AcceptsEveryKindOfValueWithWhiteSpaceAround) {
  for (const ShownCase& c : kAcceptCases) expect_parsed_as(c.text, compact_form, c.shown);
}

struct NumberCase {
  std::string_view text;
  JsonNumber expected;
};

constexpr double kTwoTo64 = 18446744073709551616.0;

constexpr NumberCase kNumberCases[] = {
    {"0", JsonNumber::from_uint64(0)},
    {"42", JsonNumber::from_uint64(42)},
    {"18446744073709551615", JsonNumber::from_uint64(UINT64_MAX)},
    {"-1", JsonNumber::from_int64(-1)},
    {"-9223372036854775807", JsonNumber::from_int64(-9223372036854775807)},
    {"-9223372036854775808", JsonNumber::from_int64(INT64_MIN)},
    {"-0", JsonNumber::from_float64(-0.0)},
    {"-0.0", JsonNumber::from_float64(-0.0)},
    {"0.0", JsonNumber::from_float64(0.0)},
    {"-9223372036854775809", JsonNumber::from_float64(-9223372036854775808.0)},
    {"-18446744073709551615", JsonNumber::from_float64(-kTwoTo64)},
    {"18446744073709551616", JsonNumber::from_float64(kTwoTo64)},
    {"-18446744073709551616", JsonNumber::from_float64(-kTwoTo64)},
    {"123456789012345678901234567890", JsonNumber::from_float64(123456789012345678901234567890.0)},
    {"1.0", JsonNumber::from_float64(1.0)},
    {"1e2", JsonNumber::from_float64(100.0)},
    {"1E2", JsonNumber::from_float64(100.0)},
    {"1e+2", JsonNumber::from_float64(100.0)},
    {"1e-2", JsonNumber::from_float64(0.01)},
    {"1e002", JsonNumber::from_float64(100.0)},
    {"0.10", JsonNumber::from_float64(0.1)},
    {"0.1", JsonNumber::from_float64(0.1)},
    {"0.3", JsonNumber::from_float64(0.3)},
    {"-1.5", JsonNumber::from_float64(-1.5)},
    {"1e22", JsonNumber::from_float64(1e22)},
    {"1e23", JsonNumber::from_float64(1e23)},
    {"3e23", JsonNumber::from_float64(3e23)},
    {"9007199254740993", JsonNumber::from_uint64(9007199254740993)},
    // 2^53 + 1 is halfway between two doubles; the even one wins.
    {"9007199254740993.0", JsonNumber::from_float64(9007199254740992.0)},
    {"9007199254740995.0", JsonNumber::from_float64(9007199254740996.0)},
    {"0.1000000000000000055511151231257827021181583404541015625", JsonNumber::from_float64(0.1)},
    {"100000000000000000000000e-23", JsonNumber::from_float64(1.0)},
    {"0.000000000000000000000000000001e30", JsonNumber::from_float64(1.0)},
    {"1e308", JsonNumber::from_float64(1e308)},
    {"1.7976931348623157e308", JsonNumber::from_float64(DBL_MAX)},
    {"1.7976931348623158e308", JsonNumber::from_float64(DBL_MAX)},
    {"2.2250738585072011e-308", JsonNumber::from_float64(2.2250738585072011e-308)},
    {"2.2250738585072014e-308", JsonNumber::from_float64(DBL_MIN)},
    {"4.9e-324", JsonNumber::from_float64(4.9406564584124654e-324)},
    // Just above and just below half the smallest subnormal.
    {"2.4703282292062328e-324", JsonNumber::from_float64(4.9406564584124654e-324)},
    {"2.4703282292062327e-324", JsonNumber::from_float64(0.0)},
    {"-2.4703282292062327e-324", JsonNumber::from_float64(-0.0)},
    {"1e-400", JsonNumber::from_float64(0.0)},
    {"-1e-400", JsonNumber::from_float64(-0.0)},
    {"0e999999999999", JsonNumber::from_float64(0.0)},
    {"-0e999999999999", JsonNumber::from_float64(-0.0)},
    {"1e-2147483647", JsonNumber::from_float64(0.0)},
    {"1e-2147483648", JsonNumber::from_float64(0.0)},
    {"-1e-2147483648", JsonNumber::from_float64(-0.0)},
};

TEST(ParseJson, NumbersGetTheirVariantAndNearestValue) {
  for (const NumberCase& c : kNumberCases) {
    SCOPED_TRACE(c.text);
    JsonParseResult result = parse_json(c.text);
    ASSERT_TRUE(result.ok()) << json_parse_error_kind_name(result.error().kind);
    const JsonNumber number = result.value().as_number();
    ASSERT_EQ(number.kind(), c.expected.kind());
    switch (number.kind()) {
      case JsonNumber::Kind::UInt64:
        EXPECT_EQ(number.uint64(), c.expected.uint64());
        break;
      case JsonNumber::Kind::Int64:
        EXPECT_EQ(number.int64(), c.expected.int64());
        break;
      case JsonNumber::Kind::Float64:
        // Bits, so that the sign of zero counts.
        EXPECT_EQ(std::bit_cast<std::uint64_t>(number.float64()), std::bit_cast<std::uint64_t>(c.expected.float64()))
            << number.float64();
        break;
    }
  }
}

// The number routine on its own agrees with the parser on every case, and
// refuses what the parser refuses.
TEST(ParseNumberLiteral, MatchesTheParser) {
  for (const NumberCase& c : kNumberCases) {
    SCOPED_TRACE(c.text);
    JsonNumber number = JsonNumber::from_uint64(12345);
    ASSERT_TRUE(json_internal::parse_number_literal(c.text, number));
    const JsonNumber parsed = parse_json(c.text).value().as_number();
    ASSERT_EQ(number.kind(), parsed.kind());
    EXPECT_EQ(number.kind() == JsonNumber::Kind::Float64 ? std::bit_cast<std::uint64_t>(number.float64()) : number.uint64(),
              parsed.kind() == JsonNumber::Kind::Float64 ? std::bit_cast<std::uint64_t>(parsed.float64()) : parsed.uint64());
  }
  constexpr std::string_view kNotNumbers[] = {"", "-", "01", "1.", "1e", "1e+", ".5", "+1", "1.5x", "1 ", " 1", "1e400", "--1"};
  for (std::string_view text : kNotNumbers) {
    SCOPED_TRACE(printable(text));
    JsonNumber number = JsonNumber::from_uint64(0);
    EXPECT_FALSE(json_internal::parse_number_literal(text, number));
  }
}

TEST(ParseJson, LongDigitRunsAreReadWhole) {
  const std::string zeros(400, '0');
  struct Case {
    std::string text;
    bool ok;
    double value;
  };
  const Case cases[] = {
      {"1" + zeros, false, 0},
      {"0." + zeros + "1", true, 0.0},
      {"1" + zeros + "e-400", true, 1.0},
      {"0." + zeros + "1e401", true, 1.0},
      // The deciding digit sits after 400 others.
      {"9007199254740993." + zeros + "1", true, 9007199254740994.0},
      {"9007199254740993." + zeros, true, 9007199254740992.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    JsonParseResult result = parse_json(c.text);
    ASSERT_EQ(result.ok(), c.ok);
    if (c.ok) {
      EXPECT_EQ(result.value().as_number().float64(), c.value);
    } else {
      EXPECT_EQ(result.error().kind, Kind::NumberTooLarge);
    }
  }
}

constexpr ShownCase kStringCases[] = {
    {"\"\"", ""},
    {"\"a\\u00e9\"", "a\xC3\xA9"},
    {"\"\\u00E9\\u00e9\"", "\xC3\xA9\xC3\xA9"},
    {"\"\\ud83d\\ude00\"", "\xF0\x9F\x98\x80"},
    {"\"\\uD800\\uDC00\"", "\xF0\x90\x80\x80"},
    {"\"\\uDBFF\\uDFFF\"", "\xF4\x8F\xBF\xBF"},
    {"\"\\u0000\"", "\0"sv},
    {"\"\\u0041\"", "A"},
    {"\"\\u007f\\u0080\"", "\x7F\xC2\x80"},
    {"\"\\u07FF\\u0800\"", "\xDF\xBF\xE0\xA0\x80"},
    {"\"\\uFFFF\"", "\xEF\xBF\xBF"},
    {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
    {"\"\xC3\xA9\x7F/\"", "\xC3\xA9\x7F/"},
    {"\"ab\\ncd\\\"ef\"", "ab\ncd\"ef"},
};

TEST(ParseJson, StringsAreDecoded) {
  const auto decoded = [](const JsonValue& value) { return value.as_string(); };
  for (const ShownCase& c : kStringCases) expect_parsed_as(c.text, decoded, c.shown);
}

// Every byte after a reverse solidus: the eight one-letter escapes decode,
// "u" needs digits, anything else is a bad escape found right after it.
TEST(ParseJson, EveryByteAfterAReverseSolidus) {
  constexpr std::string_view kLetters = "\"\\/bfnrt";
  constexpr std::string_view kDecoded = "\"\\/\b\f\n\r\t";
  for (int byte = 0; byte < 256; ++byte) {
    SCOPED_TRACE(byte);
    std::string text = "\"\\";
    text += static_cast<char>(byte);
    text += "x\"";
    JsonParseResult result = parse_json(text);
    const std::size_t letter = kLetters.find(static_cast<char>(byte));
    if (letter != std::string_view::npos) {
      ASSERT_TRUE(result.ok()) << json_parse_error_kind_name(result.error().kind);
      EXPECT_EQ(result.value().as_string(), std::string(1, kDecoded[letter]) + "x");
    } else if (byte == 'u') {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().kind, Kind::EndInString);
    } else {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().kind, Kind::BadEscape);
      EXPECT_EQ(result.error().offset, 3u);
    }
  }
}

// UTF-8 of a code point below 0x10000, spelled out per length for the check.
std::string utf8_of_bmp(std::uint32_t unit) {
  std::string out;
  if (unit < 0x80) {
    out += static_cast<char>(unit);
  } else if (unit < 0x800) {
    out += static_cast<char>(0xC0 + unit / 64);
    out += static_cast<char>(0x80 + unit % 64);
  } else {
    out += static_cast<char>(0xE0 + unit / 4096);
    out += static_cast<char>(0x80 + unit / 64 % 64);
    out += static_cast<char>(0x80 + unit % 64);
  }
  return out;
}

// Every byte in each of the four digit places of "\u0041": hex digits of
// either case give their value there, anything else is a bad escape.
TEST(ParseJson, EveryByteInEachDigitOfAUnicodeEscape) {
  for (std::size_t place = 0; place < 4; ++place) {
    for (int byte = 0; byte < 256; ++byte) {
      SCOPED_TRACE(testing::Message() << "place " << place << " byte " << byte);
      std::string digits = "0041";
      digits[place] = static_cast<char>(byte);
      JsonParseResult result = parse_json("\"\\u" + digits + "\"");
      int value = -1;
      if (byte >= '0' && byte <= '9') value = byte - '0';
      if (byte >= 'a' && byte <= 'f') value = byte - 'a' + 10;
      if (byte >= 'A' && byte <= 'F') value = byte - 'A' + 10;
      if (value < 0) {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().kind, Kind::BadEscape);
        continue;
      }
      const std::uint32_t shift = 4 * (3 - static_cast<std::uint32_t>(place));
      const std::uint32_t unit = (0x0041u & ~(0xFu << shift)) | (static_cast<std::uint32_t>(value) << shift);
      ASSERT_TRUE(result.ok()) << json_parse_error_kind_name(result.error().kind);
      EXPECT_EQ(printable(result.value().as_string()), printable(utf8_of_bmp(unit)));
    }
  }
}

// Strings with escapes far longer than any first buffer, with long plain
// runs and dense escapes, several in one text so that later strings reuse
// what earlier ones grew: each decodes to exactly its content.
TEST(ParseJson, LongEscapedStringsDecodeWhole) {
  struct Piece {
    std::string_view raw;
    std::string_view decoded;
  };
  constexpr Piece kPieces[] = {
      {"a", "a"},
      {"\\n", "\n"},
      {"\\\"", "\""},
      {"\\u00e9", "\xC3\xA9"},
      {"\\u20AC", "\xE2\x82\xAC"},
      {"\\ud83d\\ude00", "\xF0\x9F\x98\x80"},
      {"\xE6\x97\xA5", "\xE6\x97\xA5"},
      {"0123456789abcdefghijklmnopqrstuv", "0123456789abcdefghijklmnopqrstuv"},
  };
  std::mt19937 random(11);
  std::string text = "[";
  std::vector<std::string> expected;
  for (const std::size_t pieces : {3000u, 10u, 0u, 1u, 20000u, 500u}) {
    std::string raw;
    std::string decoded;
    if (pieces == 1) {
      // One escape after a plain run longer than the buffer has grown to.
      raw = std::string(300000, 'p') + "\\t";
      decoded = std::string(300000, 'p') + "\t";
    }
    for (std::size_t i = 0; i < pieces; ++i) {
      const Piece& piece = kPieces[random() % std::size(kPieces)];
      raw += piece.raw;
      decoded += piece.decoded;
    }
    // Every string holds at least one escape, so none is the input itself.
    raw += "\\/";
    decoded += "/";
    if (expected.size() != 0) text += ',';
    text += '"' + raw + '"';
    expected.push_back(decoded);
  }
  text += ']';
  JsonParseResult result = parse_json(text);
  ASSERT_TRUE(result.ok()) << json_parse_error_kind_name(result.error().kind);
  const JsonArray& strings = result.value().as_array();
  ASSERT_EQ(strings.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(strings[i].as_string() == expected[i]) << "sizes " << strings[i].as_string().size() << " and "
                                                        << expected[i].size();
  }
}

// The word-at-a-time scan must stop at the first quotation mark, reverse
// solidus or control byte wherever it falls in a group of eight, and never
// at UTF-8 bytes.
TEST(ParseJson, StringScanFindsEveryStopPosition) {
  struct Stop {
    std::string_view name;
    std::string_view raw;
    std::string_view decoded;
    bool ok;
  };
  constexpr Stop kStops[] = {
      {"escaped quote", "\\\"", "\"", true},
      {"escaped backslash", "\\\\", "\\", true},
      {"raw control byte", "\x1F", "", false},
      {"raw NUL", "\0"sv, "", false},
  };
  for (const Stop& stop : kStops) {
    for (std::size_t length = 0; length < 40; ++length) {
      for (std::size_t at = 0; at <= length; ++at) {
        SCOPED_TRACE(std::string(stop.name) + " at " + std::to_string(at) + " of " + std::to_string(length));
        // Two-byte UTF-8 letters around the stop: their bytes are >= 0x80.
        std::string prefix;
        for (std::size_t i = 0; i < at; ++i) prefix += i % 3 == 0 ? "\xC3\xA9" : "a";
        std::string suffix(length - at, 'b');
        JsonParseResult result = parse_json("\"" + prefix + std::string(stop.raw) + suffix + "\"");
        ASSERT_EQ(result.ok(), stop.ok);
        if (stop.ok) {
          EXPECT_EQ(result.value().as_string(), prefix + std::string(stop.decoded) + suffix);
        } else {
          EXPECT_EQ(result.error().kind, Kind::ControlCharInString);
        }
      }
    }
  }
}

TEST(ParseJson, NestingIsLimitedTo127LevelsOnOnePath) {
  struct Case {
    std::string name;
    std::string text;
    bool ok;
  };
  const Case cases[] = {
      {"127 arrays", nested("[", "]", 127), true},
      {"128 arrays", nested("[", "]", 128), false},
      {"127 objects", nested("{\"a\":", "}", 126, "{}"), true},
      {"128 objects", nested("{\"a\":", "}", 127, "{}"), false},
      {"127 mixed", nested("[{\"k\":", "}]", 63, "[]"), true},
      {"128 mixed", nested("[{\"k\":", "}]", 64, "1"), false},
      {"siblings do not add up", "[" + nested("[", "]", 126) + "," + nested("[", "]", 126) + "]", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JsonParseResult result = parse_json(c.text);
    if (c.ok) {
      EXPECT_TRUE(result.ok()) << json_parse_error_kind_name(result.error().kind);
    } else {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().kind, Kind::NestingTooDeep);
    }
  }
}

TEST(ParseJson, WideContainersParse) {
  std::string text = "[";
  for (int i = 0; i < 10000; ++i) text += i == 0 ? "0" : ",0";
  text += "]";
  JsonParseResult result = parse_json(text);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value().as_array().size(), 10000u);
}

constexpr ShownCase kOrderCases[] = {
    {"{\"b\":1,\"a\":2}", "{\"a\":2,\"b\":1}"},
    {"{\"a\":1,\"a\":2}", "{\"a\":2}"},
    {"{\"b\":1,\"a\":2,\"b\":3,\"a\":4,\"b\":5}", "{\"a\":4,\"b\":5}"},
    {"{\"a\":1,\"B\":2,\"ab\":3}", "{\"B\":2,\"a\":1,\"ab\":3}"},
    {"{\"\xC3\xA9\":1,\"z\":2}", "{\"z\":2,\"\xC3\xA9\":1}"},
    {"{\"tokens\":1,\"token\":2,\"tok\":3,\"\":4}", "{\"\":4,\"tok\":3,\"token\":2,\"tokens\":1}"},
    {"{\"a\\u0000\":1,\"a\":2}", "{\"a\":2,\"a\\u0000\":1}"},
    // A repeated key's earlier value is dropped even when it is a container.
    {"{\"x\":{\"y\":[1,2]},\"x\":null}", "{\"x\":null}"},
};

TEST(JsonObject, MembersAreHeldInByteOrderAndTheLastValueWins) {
  for (const ShownCase& c : kOrderCases) expect_parsed_as(c.text, compact_form, c.shown);
}

// Parses an object whose i-th member is keys[i]: i, and checks its members
// against std::map: byte order, one member per key, the last value kept.
// Built by hand through set_member, it must give the same text.
void expect_members_match_ordered_map(const std::vector<std::string>& keys) {
  std::map<std::string, std::uint64_t> expected;
  std::string text = "{";
  JsonObject built;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    expected[keys[i]] = i;
    text += (i == 0 ? "\"" : ",\"");
    for (char c : keys[i]) text += c == '\0' ? std::string("\\u0000") : std::string(1, c);
    text += "\":" + std::to_string(i);
    (void)built.set_member(keys[i], JsonValue(JsonNumber::from_uint64(i)));
  }
  text += "}";
  JsonParseResult result = parse_json(text);
  ASSERT_TRUE(result.ok());
  const JsonObject& object = result.value().as_object();
  ASSERT_EQ(object.size(), expected.size());
  auto want = expected.begin();
  for (const JsonMember& member : object.members()) {
    EXPECT_EQ(printable(member.key), printable(want->first));
    EXPECT_EQ(member.value.as_number().uint64(), want->second);
    ++want;
  }
  EXPECT_EQ(serialize_compact(JsonValue(std::move(built))), serialize_compact(result.value()));
}

// Beyond the insertion-sort size: shuffled keys with repeats against std::map.
TEST(JsonObject, LargeObjectsMatchAnOrderedMap) {
  std::mt19937_64 random(20240611);
  for (int n : {25, 100, 5000}) {
    SCOPED_TRACE(n);
    std::vector<std::string> keys;
    for (int i = 0; i < n; ++i) keys.push_back("k" + std::to_string(random() % static_cast<unsigned>(n / 2 + 1)));
    expect_members_match_ordered_map(keys);
  }
}

// Every size around the insertion-sort limit, keys drawn from a few so that
// some objects repeat one and others do not, in shuffled, ascending and
// ascending-then-repeated orders: the members match std::map with the last
// value kept.
TEST(JsonObject, RepeatedKeysAreMergedAtEverySize) {
  std::mt19937_64 random(977);
  for (int n = 1; n <= 70; ++n) {
    for (int form = 0; form < 4; ++form) {
      SCOPED_TRACE(testing::Message() << "size " << n << " form " << form);
      std::vector<std::string> keys;
      for (int i = 0; i < n; ++i) {
        // Form 0 repeats often, form 1 rarely; 2 ascends strictly except for
        // its last key, a copy of one before; 3 ascends with one key twice.
        const int pool = form == 0 ? n / 2 + 1 : 4 * n;
        keys.push_back(form < 2 ? "key" + std::to_string(random() % static_cast<unsigned>(pool))
                                : "key" + std::to_string(1000 + i));
      }
      if (form == 2) keys.back() = keys[random() % keys.size()];
      if (form == 3 && n > 1) keys[static_cast<std::size_t>(n / 2)] = keys[static_cast<std::size_t>(n / 2 - 1)];
      expect_members_match_ordered_map(keys);
    }
  }
}

// Descending keys: a quadratic build would take minutes, not milliseconds.
TEST(JsonObject, ReverseOrderedObjectsBuildInLogLinearTime) {
  constexpr int kMembers = 200000;
  std::string text = "{";
  for (int i = kMembers; i > 0; --i) text += "\"" + std::to_string(1000000 + i) + "\":0" + (i > 1 ? "," : "");
  text += "}";
  JsonParseResult result = parse_json(text);
  ASSERT_TRUE(result.ok());
  const JsonObject& object = result.value().as_object();
  ASSERT_EQ(object.size(), static_cast<std::size_t>(kMembers));
  EXPECT_EQ(object.members().front().key, "1000001");
  EXPECT_EQ(object.members().back().key, "1200000");
}

// Keys that agree on their first 8 or 16 bytes, of lengths on both sides of
// the 14 bytes held inline, with NUL bytes where padding would be: every
// pair must keep the order std::string gives (unsigned bytes, prefix first).
TEST(JsonObject, KeysAroundTheInlineLengthKeepByteOrder) {
  const std::string stems[] = {"", "profile_", "profile_backgrou", "abcdefghijklmn"};
  const std::string tails[] = {"", "a", "b", std::string(1, '\0'), "\xC3\xA9", "aa", "a" + std::string(1, '\0')};
  std::vector<std::string> keys;
  for (const std::string& stem : stems) {
    for (const std::string& tail : tails) {
      for (const std::string& more : {std::string(), std::string("x"), std::string("xyz"), std::string(10, 'q')}) {
        keys.push_back(stem + tail + more);
      }
    }
  }
  std::mt19937_64 random(99);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    std::shuffle(keys.begin(), keys.end(), random);
    expect_members_match_ordered_map(keys);
  }
}

// Text up to 14 bytes lives in the handle, longer text in a block; both must
// read back whole, wherever the string ends relative to the end of the input.
TEST(JsonValue, TextOfEveryLengthNearTheEndOfTheInput) {
  for (std::size_t length = 0; length <= 40; ++length) {
    for (std::size_t trailing = 0; trailing <= 20; ++trailing) {
      SCOPED_TRACE(std::to_string(length) + " bytes, then " + std::to_string(trailing) + " spaces");
      std::string content;
      for (std::size_t i = 0; i < length; ++i) content += static_cast<char>('a' + i % 26);
      JsonParseResult result = parse_json("\"" + content + "\"" + std::string(trailing, ' '));
      ASSERT_TRUE(result.ok());
      EXPECT_EQ(result.value().as_string(), content);
      EXPECT_EQ(JsonValue(content).as_string(), content);
      EXPECT_EQ(JsonString(content).view(), content);
      // A key of the same text, and the text moved to another handle.
      JsonParseResult object = parse_json("{\"" + content + "\":[\"" + content + "\"]}" + std::string(trailing, ' '));
      ASSERT_TRUE(object.ok());
      const std::span<const JsonMember> members = object.value().as_object().members();
      ASSERT_EQ(members.size(), 1u);
      EXPECT_EQ(members.front().key, content);
      JsonValue moved = std::move(object.value().as_object().find(content)->as_array()[0]);
      EXPECT_EQ(moved.as_string(), content);
      EXPECT_EQ(serialize_compact(moved), "\"" + content + "\"");
    }
  }
}

TEST(JsonArray, PushBackGrowsAndKeepsOrder) {
  for (std::size_t count : {0u, 1u, 4u, 5u, 33u, 1000u}) {
    SCOPED_TRACE(count);
    JsonArray array;
    std::string expected = "[";
    for (std::size_t i = 0; i < count; ++i) {
      if (i % 3 == 0) {
        array.push_back(JsonValue(JsonNumber::from_uint64(i)));
        expected += std::to_string(i);
      } else if (i % 3 == 1) {
        array.push_back(JsonValue("a string longer than fourteen bytes " + std::to_string(i)));
        expected += "\"a string longer than fourteen bytes " + std::to_string(i) + "\"";
      } else {
        JsonArray inner;
        inner.push_back(JsonValue(true));
        array.push_back(JsonValue(std::move(inner)));
        expected += "[true]";
      }
      expected += i + 1 < count ? "," : "";
    }
    expected += "]";
    ASSERT_EQ(array.size(), count);
    EXPECT_EQ(array.empty(), count == 0);
    EXPECT_EQ(static_cast<std::size_t>(array.end() - array.begin()), count);
    JsonArray moved = std::move(array);
    EXPECT_EQ(array.size(), 0u);
    EXPECT_EQ(serialize_compact(JsonValue(std::move(moved))), expected);
  }
}

TEST(JsonObject, SetMemberReplacesInPlaceOrInsertsInOrder) {
  JsonObject object;
  EXPECT_FALSE(object.set_member("m", JsonValue(JsonNumber::from_uint64(1))).has_value());
  EXPECT_FALSE(object.set_member("a", JsonValue("first")).has_value());
  EXPECT_FALSE(object.set_member("z", JsonValue()).has_value());
  std::optional<JsonValue> old = object.set_member("m", JsonValue(true));
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(old->as_number().uint64(), 1u);
  EXPECT_EQ(object.size(), 3u);
  ASSERT_NE(object.find("m"), nullptr);
  EXPECT_TRUE(object.find("m")->as_bool());
  EXPECT_EQ(object.find("M"), nullptr);
  EXPECT_EQ(serialize_compact(JsonValue(std::move(object))), "{\"a\":\"first\",\"m\":true,\"z\":null}");
}

TEST(JsonValue, MovingLeavesNullAndAssigningFromOwnChildWorks) {
  JsonParseResult result = parse_json("[[1,[2]],3]");
  ASSERT_TRUE(result.ok());
  JsonValue tree = std::move(result.value());
  EXPECT_EQ(result.value().kind(), JsonValue::Kind::Null);
  // The source lives inside the target's own payload.
  tree = std::move(tree.as_array()[0]);
  EXPECT_EQ(serialize_compact(tree), "[1,[2]]");
}

}  // namespace
}  // namespace trellune
