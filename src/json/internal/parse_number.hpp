// Reading JSON number literals: the counterpart of format_float.
//
// A literal is scanned once into a 64-bit decimal significand and a power of
// ten, eight digits at a time where it can be, and becomes an integer when
// it is one, else the binary64 value nearest to it (ties to even) by the
// first route that can decide it: Clinger's exact small-exponent route, then
// Eisel-Lemire with the 128-bit powers of ten that the writer uses too, then
// libstdc++'s correctly rounded std::from_chars on the text (parse_number.cpp).
//
// The scan is inline because the parser calls it for every number it meets;
// the fallback is out of line because it almost never runs.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "json/internal/number_basics.hpp"
#include "json/internal/pow10_table.hpp"
#include "json/json_value.hpp"

namespace trellune::json_internal {

// Converts `literal`, a whole JSON number and nothing else, exactly as
// parse_json would; false if it is not one or overflows binary64. For tests
// and benchmarks.
bool parse_number_literal(std::string_view literal, JsonNumber& number);

// 1e0 .. 1e22 are exact in binary64 (5^22 < 2^53), so each product is too.
inline constexpr int kMaxExactPowerOfTen = 22;
inline constexpr std::array<double, kMaxExactPowerOfTen + 1> kExactPowersOfTen = [] {
  std::array<double, kMaxExactPowerOfTen + 1> powers{};
  double power = 1.0;
  for (double& p : powers) {
    p = power;
    power *= 10.0;
  }
  return powers;
}();

// Integers up to 2^53 convert to binary64 exactly.
inline constexpr std::uint64_t kMaxExactSignificand = std::uint64_t{1} << 53;
// significand * 10 + digit stays below 2^64 while significand is below this,
// or equal to it with a digit of at most 5.
inline constexpr std::uint64_t kMaxSignificandBeforeDigit = 1844674407370955161;
// The same test for a 31-bit exponent: below, or equal with a digit up to 7.
inline constexpr std::int32_t kMaxExponentBeforeDigit = 214748364;

inline constexpr bool is_digit(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c) - '0') < 10; }

inline constexpr bool fits_another_digit(std::uint64_t significand, unsigned digit) {
  return significand < kMaxSignificandBeforeDigit || (significand == kMaxSignificandBeforeDigit && digit <= 5);
}

// Eight digits at once (SWAR), for the long digit runs of floats. Bytes are
// little-endian, so the first digit is the lowest byte.
inline constexpr std::uint64_t kEightOnes = 0x0101010101010101;

// Flags (in its high nibble) every byte of w that is not "0".."9": a digit
// has high nibble 3, and adding 6 to it does not carry out of the low
// nibble. A carry out of a non-digit byte can only flag the bytes above it,
// so the lowest flag is always a true non-digit.
inline std::uint64_t non_digit_bytes(std::uint64_t w) {
  constexpr std::uint64_t kHighNibbles = 0xF0 * kEightOnes;
  return ((w & kHighNibbles) ^ (0x30 * kEightOnes)) | (((w + 0x06 * kEightOnes) & kHighNibbles) ^ (0x30 * kEightOnes));
}

// The value of eight digit bytes: adjacent lanes are merged pairwise, each
// step multiplying the earlier (lower) lane by 10, 100 and then 10000.
inline std::uint64_t eight_digits_value(std::uint64_t w) {
  w -= 0x30 * kEightOnes;
  w = (w * 10 + (w >> 8)) & 0x00FF00FF00FF00FF;      // 4 lanes of 0..99
  w = (w * 100 + (w >> 16)) & 0x0000FFFF0000FFFF;    // 2 lanes of 0..9999
  return (w * 10000 + (w >> 32)) & 0xFFFFFFFF;       // 0..99999999
}

// A significand below this takes eight more digits without passing 2^64 - 1.
inline constexpr std::uint64_t kMaxSignificandBeforeEightDigits = 100000000000;

// 10^0 .. 10^8: the scale of a partial group of up to eight digits.
inline constexpr auto kIntegerPowersOfTen =
    std::to_array<std::uint64_t>({1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000});
static_assert(kIntegerPowersOfTen.size() == 9, "one power for every digit count of a group, 0 to 8");

// The binary64 value nearest to w x 10^q, by the Eisel-Lemire method
// (D. Lemire, "Number Parsing at a Gigabyte per Second", Software: Practice
// and Experience 51(8), 2021). w is non-zero. Returns false, leaving the work
// to a full conversion, where the 128-bit product cannot decide: an exact
// halfway case, a product whose low word might be off by a carry, a
// subnormal or overflowing result, or q outside the table.
//
//   w normalised (top bit set) x 128-bit 10^q
//        -> top 54 bits: 52 fraction bits, the implicit 1, one rounding bit
//        -> binary exponent from floor(log2(10^q)) = (217706 q) >> 16
[[gnu::always_inline]] inline bool eisel_lemire(std::uint64_t w, std::int64_t decimal_exponent, double& value) {
  if (decimal_exponent < kMinPow10 || decimal_exponent > 308) return false;
  const auto q = static_cast<int>(decimal_exponent);
  const Pow10& power = kPow10[q - kMinPow10];
  const int leading_zeros = std::countl_zero(w);
  w <<= leading_zeros;
  Uint128 product = Uint128{w} * power.high;
  std::uint64_t high = static_cast<std::uint64_t>(product >> 64);
  std::uint64_t low = static_cast<std::uint64_t>(product);
  // Only when the 9 bits below the 55 kept ones are all set can the low half
  // of the table entry carry into them.
  constexpr std::uint64_t kBelowKept = 0x1FF;
  if ((high & kBelowKept) == kBelowKept) {
    const Uint128 correction = Uint128{w} * power.low;
    const auto correction_high = static_cast<std::uint64_t>(correction >> 64);
    low += correction_high;
    if (low < correction_high) ++high;
    if (low == ~std::uint64_t{0}) return false;
  }
  const int upper_bit = static_cast<int>(high >> 63);
  std::uint64_t mantissa = high >> (upper_bit + 9);
  // Ties need the rounding bit set and nothing below it.
  if (low <= 1 && (mantissa & 3) == 1 && (mantissa << (upper_bit + 9)) == high) return false;
  int biased_exponent = ((217706 * q) >> 16) + 63 + upper_bit - leading_zeros + 1023;
  if (biased_exponent <= 0) return false;
  mantissa += mantissa & 1;
  mantissa >>= 1;
  if (mantissa >= std::uint64_t{2} << 52) {
    mantissa = std::uint64_t{1} << 52;
    ++biased_exponent;
  }
  if (biased_exponent >= 0x7FF) return false;
  mantissa &= ~(std::uint64_t{1} << 52);
  value = std::bit_cast<double>(mantissa | static_cast<std::uint64_t>(biased_exponent) << 52);
  return true;
}

// Consumes digits from `p` (in the text [begin, end)) eight at a time while
// the significand can take them, ending with the group that holds the first
// non-digit, whose leading digits are read in one step too. Lowers
// `exponent` (a fraction's) per digit when given. Returns where it stopped;
// what it could not take is left to the caller's loop.
[[gnu::always_inline]] inline const char* take_digit_groups(const char* begin, const char* p, const char* end,
                                                           std::uint64_t& significand, std::int64_t* exponent) {
  while (significand < kMaxSignificandBeforeEightDigits) {
    std::uint64_t w;
    if (end - p >= 8) {
      std::memcpy(&w, p, sizeof w);
    } else if (end - begin >= 8 && p != end) {
      // The last bytes of the input: the eight ending there, shifted so
      // that p's byte is lowest. Zero bytes move in above, and zero is
      // not a digit.
      std::memcpy(&w, end - 8, sizeof w);
      w >>= 8 * (8 - (end - p));
    } else {
      return p;
    }
    const std::uint64_t non_digits = non_digit_bytes(w);
    if (non_digits == 0) {
      significand = significand * 100000000 + eight_digits_value(w);
      p += 8;
      if (exponent != nullptr) *exponent -= 8;
      continue;
    }
    const int digits = std::countr_zero(non_digits) >> 3;
    if (digits > 0) {
      // Shift the digits to the top and fill below with "0"s: "00012345".
      const std::uint64_t padded = (w << (8 * (8 - digits))) | ((0x30 * kEightOnes) >> (8 * digits));
      significand = significand * kIntegerPowersOfTen[static_cast<std::size_t>(digits)] + eight_digits_value(padded);
      p += digits;
      if (exponent != nullptr) *exponent -= digits;
    }
    return p;
  }
  return p;
}

// The value of a literal that the fast routes cannot decide (the text
// [start, end), scanned into `significand` x 10^`exponent`, possibly
// truncated); false when it overflows. Out of line: it is rarely taken.
bool slow_to_double(const char* start, const char* end, std::uint64_t significand, std::int64_t exponent,
                    double& value);

// The binary64 value nearest to the unsigned literal [start, end), ties to
// even; false when that overflows. Unless digits were truncated, the literal
// is exactly `significand` x 10^`exponent`.
[[gnu::always_inline]] inline bool to_double(const char* start, const char* end, std::uint64_t significand,
                                             std::int64_t exponent, bool truncated, double& value) {
  if (significand == 0) {
    // All digits were zero (a dropped digit implies a non-zero one kept).
    value = 0.0;
    return true;
  }
  // Clinger's fast path: both operands exact, so the one IEEE operation
  // rounds the exact quotient or product correctly.
  if (!truncated && significand <= kMaxExactSignificand && exponent >= -kMaxExactPowerOfTen && exponent <= kMaxExactPowerOfTen) {
    // Signed: one instruction, where an unsigned conversion needs a branch.
    const double f = static_cast<double>(static_cast<std::int64_t>(significand));
    value = exponent >= 0 ? f * kExactPowersOfTen[static_cast<std::size_t>(exponent)]
                          : f / kExactPowersOfTen[static_cast<std::size_t>(-exponent)];
    return true;
  }
  if (!truncated && eisel_lemire(significand, exponent, value)) return true;
  return slow_to_double(start, end, significand, exponent, value);
}

// One number literal; `cursor` is after the minus sign, if any, where the
// first digit is due, in the text [begin, end). Sets `number` and moves
// `cursor` past the literal, or sets `error` and moves `cursor` to where the
// fault was found. The scan works on a local copy of the cursor: stored
// through a reference, it would be written back after every byte, since a
// char may alias anything.
[[gnu::always_inline]] inline bool scan_number(const char* begin, const char*& cursor, const char* end, bool negative,
                                               JsonNumber& number, JsonParseErrorKind& error) {
  const char* const start = cursor;
  const char* p = cursor;
  const auto fail_at = [&](const char* at, JsonParseErrorKind kind) {
    cursor = at;
    error = kind;
    return false;
  };
  if (p == end) return fail_at(p, JsonParseErrorKind::EndInValue);
  const char first = *p++;
  if (!is_digit(first)) return fail_at(p, JsonParseErrorKind::BadNumber);
  std::uint64_t significand = static_cast<unsigned>(first - '0');
  // Power of ten that scales the significand: lowered per fraction digit
  // kept, raised per integer digit dropped. 64 bits cannot overflow for
  // any text that fits in memory.
  std::int64_t exponent = 0;
  // Digits were dropped: the significand alone no longer gives the value.
  bool truncated = false;
  if (first == '0') {
    if (p != end && is_digit(*p)) return fail_at(p, JsonParseErrorKind::BadNumber);
  } else {
    // Integer parts are mostly short: up to three digits one at a time
    // finish sooner than a whole group.
    for (int i = 0; i < 2 && p != end && is_digit(*p); ++i) significand = significand * 10 + static_cast<unsigned>(*p++ - '0');
    if (p != end && is_digit(*p)) p = take_digit_groups(begin, p, end, significand, nullptr);
    while (p != end && is_digit(*p)) {
      const auto digit = static_cast<unsigned>(*p - '0');
      if (!fits_another_digit(significand, digit)) {
        truncated = true;
        for (; p != end && is_digit(*p); ++p) ++exponent;
        break;
      }
      significand = significand * 10 + digit;
      ++p;
    }
  }
  bool integer = true;
  if (p != end && *p == '.') {
    integer = false;
    ++p;
    const char* digits = p;
    p = take_digit_groups(begin, p, end, significand, &exponent);
    for (; p != end && is_digit(*p); ++p) {
      const auto digit = static_cast<unsigned>(*p - '0');
      if (truncated || !fits_another_digit(significand, digit)) {
        truncated = true;
        continue;
      }
      significand = significand * 10 + digit;
      --exponent;
    }
    if (p == digits) return fail_at(p, p == end ? JsonParseErrorKind::EndInValue : JsonParseErrorKind::BadNumber);
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    integer = false;
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
    if (p == end) return fail_at(p, JsonParseErrorKind::EndInValue);
    if (!is_digit(*p)) return fail_at(p + 1, JsonParseErrorKind::BadNumber);
    std::int32_t written = 0;
    for (; p != end && is_digit(*p); ++p) {
      const int digit = *p - '0';
      if (written > kMaxExponentBeforeDigit || (written == kMaxExponentBeforeDigit && digit > 7)) {
        // |exponent| >= 2^31: any non-zero significand is out of range.
        if (significand != 0 && !exponent_negative) return fail_at(p, JsonParseErrorKind::NumberTooLarge);
        while (p != end && is_digit(*p)) ++p;
        cursor = p;
        number = JsonNumber::from_float64(negative ? -0.0 : 0.0);
        return true;
      }
      written = written * 10 + digit;
    }
    exponent += exponent_negative ? -std::int64_t{written} : std::int64_t{written};
  }
  cursor = p;

  if (integer && !truncated) {
    if (!negative) {
      number = JsonNumber::from_uint64(significand);
    } else if (significand == 0) {
      number = JsonNumber::from_float64(-0.0);
    } else if (significand <= std::uint64_t{1} << 63) {
      // Two's complement: 2^63 becomes INT64_MIN.
      number = JsonNumber::from_int64(static_cast<std::int64_t>(0 - significand));
    } else {
      // One correctly rounded conversion of an exact integer.
      number = JsonNumber::from_float64(-static_cast<double>(significand));
    }
    return true;
  }
  double magnitude = 0.0;
  if (!to_double(start, p, significand, exponent, truncated, magnitude)) return fail_at(p, JsonParseErrorKind::NumberTooLarge);
  number = JsonNumber::from_float64(negative ? -magnitude : magnitude);
  return true;
}

}  // namespace trellune::json_internal
