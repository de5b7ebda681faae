// Number conversion against trusted oracles: libstdc++'s std::from_chars and
// glibc's strtod (both correctly rounded) for decimal text to double, and
// format_float for the text written back.
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "json/format_float.hpp"
#include "json/json_value.hpp"

namespace trellune {
namespace {

// Compares one decimal literal's parse with both oracles.
void expect_parses_like_oracles(const std::string& text) {
  double oracle = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), oracle);
  ASSERT_EQ(end, text.data() + text.size()) << text;
  errno = 0;
  const double libc = std::strtod(text.c_str(), nullptr);
  const bool overflow = errno == ERANGE && std::isinf(libc);
  if (ec == std::errc::result_out_of_range) oracle = libc;  // from_chars leaves it unspecified
  ASSERT_EQ(std::bit_cast<std::uint64_t>(oracle), std::bit_cast<std::uint64_t>(libc)) << text;

  JsonParseResult result = parse_json(text);
  if (overflow) {
    ASSERT_FALSE(result.ok()) << text;
    ASSERT_EQ(result.error().kind, JsonParseErrorKind::NumberTooLarge) << text;
    return;
  }
  ASSERT_TRUE(result.ok()) << text << " " << json_parse_error_kind_name(result.error().kind);
  const JsonNumber number = result.value().as_number();
  double parsed = 0.0;
  switch (number.kind()) {
    case JsonNumber::Kind::UInt64:
      parsed = static_cast<double>(number.uint64());
      ASSERT_EQ(std::to_string(number.uint64()), text);
      break;
    case JsonNumber::Kind::Int64:
      parsed = static_cast<double>(number.int64());
      ASSERT_EQ(std::to_string(number.int64()), text);
      break;
    case JsonNumber::Kind::Float64:
      parsed = number.float64();
      break;
  }
  ASSERT_EQ(std::bit_cast<std::uint64_t>(parsed), std::bit_cast<std::uint64_t>(oracle)) << text;
}

// Random JSON number literals: up to 25 significant digits split anywhere
// between integer part and fraction, with or without an exponent in
// -350..350, leading zeros in the fraction included.
std::string random_literal(std::mt19937_64& random) {
  std::string text;
  if (random() % 2) text += '-';
  const int digits = 1 + static_cast<int>(random() % 25);
  std::string significant;
  significant += static_cast<char>('1' + random() % 9);
  for (int i = 1; i < digits; ++i) significant += static_cast<char>('0' + random() % 10);
  switch (random() % 3) {
    case 0:  // integer
      text += significant;
      break;
    case 1: {  // integer part and fraction
      const auto split = 1 + random() % static_cast<unsigned>(digits);
      text += significant.substr(0, split);
      text += '.';
      text += split < significant.size() ? significant.substr(split) : "0";
      break;
    }
    default:  // "0.000ddd"
      text += "0.";
      text.append(random() % 20, '0');
      text += significant;
      break;
  }
  if (random() % 4 != 0) {
    text += "eE"[random() % 2];
    const long exponent = static_cast<long>(random() % 701) - 350;
    if (exponent >= 0 && random() % 2) text += '+';
    text += std::to_string(exponent);
  }
  return text;
}

TEST(NumberDifferential, RandomDecimalTextsRoundLikeFromChars) {
  std::mt19937_64 random(0x5eed);
  for (int i = 0; i < 1000000; ++i) {
    expect_parses_like_oracles(random_literal(random));
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Texts at, just below and just above the midpoint between two neighbouring
// doubles, where a conversion that drops digits rounds the wrong way.
TEST(NumberDifferential, NearHalfwayTextsRoundLikeFromChars) {
  std::mt19937_64 random(0xa1f);
  int cases = 0;
  while (cases < 100000) {
    const double low = std::abs(std::bit_cast<double>(random()));
    const double high = std::nextafter(low, INFINITY);
    if (!std::isfinite(high) || low < 1e-300) continue;  // long double holds normal midpoints exactly
    const long double midpoint = (static_cast<long double>(low) + high) / 2;
    for (int precision : {17, 20, 24, 60}) {
      std::array<char, 128> buffer;
      const auto end =
          std::to_chars(buffer.data(), buffer.data() + buffer.size(), midpoint, std::chars_format::scientific, precision)
              .ptr;
      std::string text(buffer.data(), end);
      expect_parses_like_oracles(text);
      // One unit up and down in the last significant digit.
      const std::size_t last = text.find('e') - 1;
      for (char step : {'+', '-'}) {
        std::string nudged = text;
        char& digit = nudged[last];
        if (step == '+' && digit < '9') ++digit;
        if (step == '-' && digit > '0') --digit;
        expect_parses_like_oracles(nudged);
      }
      ++cases;
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// Shortest text of a random double -> parse -> write: the same digits in the
// writer's own layout.
TEST(NumberDifferential, ShortestTextOfRandomDoublesReadsBackToTheSameValue) {
  std::mt19937_64 random(0xd0b1e);
  for (int i = 0; i < 1000000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    std::array<char, 64> buffer;
    const auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value).ptr;
    std::string text(buffer.data(), end);
    // Integral texts such as "123" would parse as integers.
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    JsonParseResult result = parse_json(text);
    ASSERT_TRUE(result.ok()) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(result.value().as_number().float64()), std::bit_cast<std::uint64_t>(value))
        << text;
    std::array<char, kFloatScratchSize> scratch;
    ASSERT_EQ(serialize_compact(result.value()), format_float(value, scratch)) << text;
  }
}

}  // namespace
}  // namespace trellune
