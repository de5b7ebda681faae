// format_float: exact texts, the generated powers-of-ten table, and a
// differential check of the digits against libstdc++'s shortest std::to_chars
// and of the round trip through std::from_chars (both correctly rounded).
#include "json/format_float.hpp"
#include "json/internal/pow10_table.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "base/sanitizers.hpp"

namespace trellune {
namespace {

using Limits = std::numeric_limits<double>;

// Differential volumes: the full count in optimised builds; sanitizers and
// unoptimised builds run a tenth of it to stay within the test time limit.
#if TRELLUNE_ANY_SANITIZER || !defined(__OPTIMIZE__)
constexpr std::size_t kVolume = 10;
#else
constexpr std::size_t kVolume = 1;
#endif

std::string_view format(double value, std::array<char, kFloatScratchSize>& scratch) {
  scratch.fill('#');
  return format_float(value, scratch);
}

struct TextCase {
  const char* name;
  double value;
  const char* text;
};

constexpr TextCase kTextCases[] = {
    {"one", 1.0, "1.0"},
    {"hundred", 100.0, "100.0"},
    {"twelve and a half", 12.5, "12.5"},
    {"tenth", 0.1, "0.1"},
    {"0.1 + 0.2", 0.1 + 0.2, "0.30000000000000004"},
    {"1e15, largest plain power of ten", 1e15, "1000000000000000.0"},
    {"1e16, smallest exponent power of ten", 1e16, "1e+16"},
    {"1e100", 1e100, "1e+100"},
    {"1e-5, smallest plain power of ten", 1e-5, "0.00001"},
    {"1e-6, largest negative exponent notation", 1e-6, "1e-6"},
    {"1.5e-7", 1.5e-7, "1.5e-7"},
    {"2^53", 9007199254740992.0, "9007199254740992.0"},
    {"2^64", 18446744073709551616.0, "1.8446744073709552e+19"},
    {"1234567890123456.75 rounds to its nearest 17 digits", 1234567890123456.75, "1234567890123456.8"},
    {"tie between 16-digit candidates, even below", 562949953421312.25, "562949953421312.2"},
    {"tie between 16-digit candidates, even above", 562949953421312.75, "562949953421312.8"},
    {"largest finite", Limits::max(), "1.7976931348623157e+308"},
    {"smallest normal", Limits::min(), "2.2250738585072014e-308"},
    {"smallest subnormal", Limits::denorm_min(), "5e-324"},
    {"minus one and a half", -1.5, "-1.5"},
    {"negative zero", -0.0, "-0.0"},
    {"positive zero", 0.0, "0.0"},
    {"largest subnormal", std::bit_cast<double>(std::uint64_t{0x000F'FFFF'FFFF'FFFF}), "2.225073858507201e-308"},
    {"two smallest subnormals", 2 * Limits::denorm_min(), "1e-323"},
    {"three smallest subnormals", 3 * Limits::denorm_min(), "1.5e-323"},
    {"2^53 - 1", 9007199254740991.0, "9007199254740991.0"},
    {"2^53 + 2", 9007199254740994.0, "9007199254740994.0"},
    {"2^53 + 4", 9007199254740996.0, "9007199254740996.0"},
    {"2^54 + 4, 17 digits in exponent notation", 18014398509481988.0, "1.8014398509481988e+16"},
    {"2^63", 9223372036854775808.0, "9.223372036854776e+18"},
    {"largest double below 1e16, plain", 9999999999999998.0, "9999999999999998.0"},
    {"17 digits just at 1e16", 12345678901234568.0, "1.2345678901234568e+16"},
    {"17 digits at the plain limit, exponent 15", 1234567890123456.8, "1234567890123456.8"},
    {"just below 1e-5", 9.99999e-6, "9.99999e-6"},
    {"17 digits at exponent -5", 1.2345678901234568e-5, "0.000012345678901234568"},
    {"longest negative plain text", -1.2345678901234568e-5, "-0.000012345678901234568"},
    {"longest negative exponent text", -Limits::max(), "-1.7976931348623157e+308"},
    {"exponent -1", 0.25, "0.25"},
    {"exponent 0 with fraction", 9.5, "9.5"},
    {"1e21", 1e21, "1e+21"},
    {"1e22", 1e22, "1e+22"},
    {"1e23, the double nearest", 1e23, "1e+23"},
    {"3e23, the double nearest", 3e23, "3e+23"},
    {"the double below the one nearest 3e23", 2.9999999999999997e23, "2.9999999999999997e+23"},
    {"three-digit exponent with a zero middle digit", 1e105, "1e+105"},
    {"three-digit negative exponent", 1e-100, "1e-100"},
    {"two-digit negative exponent", 1e-10, "1e-10"},
    {"one-digit negative exponent with digits", 5.5e-7, "5.5e-7"},
    {"0.001", 0.001, "0.001"},
    {"4.35", 4.35, "4.35"},
    {"123456.789", 123456.789, "123456.789"},
    {"negative integer", -42.0, "-42.0"},
    {"negative small", -0.00015, "-0.00015"},
};

TEST(FormatFloatText, ExactTexts) {
  std::array<char, kFloatScratchSize> scratch{};
  for (const TextCase& test : kTextCases) {
    SCOPED_TRACE(test.name);
    const std::string_view text = format(test.value, scratch);
    EXPECT_EQ(text, test.text);
    // The text is a view into the scratch, from its first byte.
    const bool negative = std::signbit(test.value);
    EXPECT_EQ(text.data(), scratch.data());
    EXPECT_LE(text.data() + text.size(), scratch.data() + scratch.size());
    // The opposite sign only adds or drops the "-".
    // Compared in two parts: GCC 12 at -O3 warns falsely (-Wrestrict) on "-" + std::string.
    const std::string_view expected(test.text);
    const std::string_view flipped = format(-test.value, scratch);
    if (negative) {
      EXPECT_EQ(flipped, expected.substr(1));
    } else {
      EXPECT_EQ(flipped.substr(0, 1), "-");
      EXPECT_EQ(flipped.substr(1), expected);
    }
  }
}

TEST(FormatFloatDeathTest, NonFiniteIsAnInvariantBreach) {
  for (const double value : {Limits::infinity(), -Limits::infinity(), Limits::quiet_NaN()}) {
    SCOPED_TRACE(value);
    std::array<char, kFloatScratchSize> scratch{};
    EXPECT_DEATH(format_float(value, scratch), "internal invariant failed");
  }
}

// The generated table, re-derived in full with plain multiprecision
// arithmetic (a different method from the generator's).

using json_internal::kMaxPow10;
using json_internal::kMinPow10;
using json_internal::kPow10;
using json_internal::Pow10;

// Little-endian 32-bit limbs, no leading zero limb.
using Big = std::vector<std::uint32_t>;

Big big_pow10(int m) {
  Big b{1};
  for (int i = 0; i < m; ++i) {
    std::uint64_t carry = 0;
    for (std::uint32_t& limb : b) {
      const std::uint64_t x = std::uint64_t{limb} * 10 + carry;
      limb = static_cast<std::uint32_t>(x);
      carry = x >> 32;
    }
    if (carry != 0) b.push_back(static_cast<std::uint32_t>(carry));
  }
  return b;
}

int bit_length(const Big& b) { return static_cast<int>(32 * (b.size() - 1)) + std::bit_width(b.back()); }

bool bit_at(const Big& b, int i) { return ((b[static_cast<std::size_t>(i / 32)] >> (i % 32)) & 1) != 0; }

bool big_less(const Big& a, const Big& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  for (std::size_t i = a.size(); i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i];
  }
  return false;
}

void big_subtract(Big& a, const Big& b) {
  std::int64_t borrow = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::int64_t x = std::int64_t{a[i]} - borrow - (i < b.size() ? std::int64_t{b[i]} : 0);
    borrow = x < 0 ? 1 : 0;
    a[i] = static_cast<std::uint32_t>(x + (borrow << 32));
  }
  while (a.size() > 1 && a.back() == 0) a.pop_back();
}

void big_double_plus(Big& a, bool one) {
  std::uint32_t carry = one ? 1 : 0;
  for (std::uint32_t& limb : a) {
    const std::uint32_t next = limb >> 31;
    limb = (limb << 1) | carry;
    carry = next;
  }
  if (carry != 0) a.push_back(carry);
  if (a.size() > 1 && a.back() == 0) a.pop_back();
}

// The leading 128 bits of 10^m, truncated, as (high, low).
Pow10 derive_pow10(int m) {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  const auto push_bit = [&](bool b) {
    high = (high << 1) | (low >> 63);
    low = (low << 1) | (b ? 1 : 0);
  };
  if (m >= 0) {
    const Big p = big_pow10(m);
    const int n = bit_length(p);
    for (int i = 0; i < 128; ++i) push_bit(n - 1 - i >= 0 && bit_at(p, n - 1 - i));
    return {high, low};
  }
  // floor(2^(127 + L) / 10^-m), L the bit length of 10^-m, bit by bit.
  const Big d = big_pow10(-m);
  const int steps = 128 + bit_length(d);
  Big remainder{0};
  for (int i = 0; i < steps; ++i) {
    big_double_plus(remainder, i == 0);
    const bool fits = !big_less(remainder, d);
    if (fits) big_subtract(remainder, d);
    push_bit(fits);
  }
  return {high, low};
}

TEST(FormatFloatPow10Table, EveryEntryRederived) {
  for (int m = kMinPow10; m <= kMaxPow10; ++m) {
    SCOPED_TRACE("10^" + std::to_string(m));
    const Pow10& entry = kPow10[m - kMinPow10];
    const Pow10 expected = derive_pow10(m);
    EXPECT_EQ(entry.high >> 63, 1u);
    EXPECT_EQ(entry.high, expected.high);
    EXPECT_EQ(entry.low, expected.low);
  }
}

// Significant digits (no trailing zeros) and the decimal exponent of the
// first one.
struct DigitsExponent {
  char digits[18];
  int count;
  int exponent;
};

// From std::to_chars's shortest scientific form, "d[.ddd]e(+|-)xx".
DigitsExponent reference(double magnitude) {
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  DigitsExponent out{};
  const char* p = buffer;
  for (; *p != 'e'; ++p) {
    if (*p != '.') out.digits[out.count++] = *p;
  }
  while (out.count > 1 && out.digits[out.count - 1] == '0') --out.count;
  ++p;
  const bool negative = *p == '-';
  int exponent = 0;
  for (++p; p != result.ptr; ++p) exponent = exponent * 10 + (*p - '0');
  out.exponent = negative ? -exponent : exponent;
  return out;
}

// The text these digits should have, built independently of the formatter:
// plain for exponents -5..15 (integral part, ".", fraction or "0"),
// d.ddd e(+|-)x otherwise. Returns the length.
std::size_t expected_text(bool negative, const DigitsExponent& d, char* out) {
  std::size_t n = 0;
  if (negative) out[n++] = '-';
  const int e = d.exponent;
  if (e < -5 || e > 15) {
    out[n++] = d.digits[0];
    if (d.count > 1) {
      out[n++] = '.';
      for (int i = 1; i < d.count; ++i) out[n++] = d.digits[i];
    }
    const int length = std::snprintf(out + n, 8, "e%c%d", e < 0 ? '-' : '+', e < 0 ? -e : e);
    return n + static_cast<std::size_t>(length);
  }
  // Digit i stands for 10^(e - i); print positions from max(e, 0) down.
  const auto digit_at = [&](int power) {
    const int i = e - power;
    return i >= 0 && i < d.count ? d.digits[i] : '0';
  };
  for (int power = std::max(e, 0); power >= 0; --power) out[n++] = digit_at(power);
  out[n++] = '.';
  const int last = std::min(e - d.count + 1, -1);
  for (int power = -1; power >= last; --power) out[n++] = digit_at(power);
  return n;
}

// A family of inputs; `make` returns the i-th value, or NaN to skip it.
struct Family {
  const char* name;
  std::size_t count;
  double (*make)(std::mt19937_64& rng, std::size_t i);
};

double random_bits(std::mt19937_64& rng, std::size_t) { return std::bit_cast<double>(rng()); }

double random_subnormal(std::mt19937_64& rng, std::size_t) {
  // Spread over all magnitudes, not only the top few binades.
  const std::uint64_t fraction = rng() >> (12 + rng() % 52);
  return std::bit_cast<double>(fraction | (rng() & (std::uint64_t{1} << 63)));
}

double power_of_two(std::mt19937_64&, std::size_t i) {
  const int q = static_cast<int>(i / 2) - 1074;
  return std::ldexp(i % 2 == 0 ? 1.0 : -1.0, q);
}

double edge_significand(std::mt19937_64& rng, std::size_t i) {
  // Every biased exponent with the extreme and some random fractions.
  constexpr std::uint64_t kMask = (std::uint64_t{1} << 52) - 1;
  const std::uint64_t biased = i / 8;
  const std::uint64_t fractions[8] = {0, 1, 2, 3, kMask, kMask - 1, std::uint64_t{1} << 51, rng() & kMask};
  return std::bit_cast<double>(biased << 52 | fractions[i % 8]);
}

double power_of_ten(std::mt19937_64&, std::size_t i) {
  char text[16];
  const int length = std::snprintf(text, sizeof text, "1e%d", static_cast<int>(i) - 323);
  double value = 0;
  std::from_chars(text, text + length, value);
  return value;
}

double random_integer(std::mt19937_64& rng, std::size_t) {
  const std::uint64_t n = rng() >> (11 + rng() % 53);
  return static_cast<double>(n);
}

// Short decimal strings, read as the nearest double.
double random_decimal(std::mt19937_64& rng, std::size_t) {
  char text[40];
  std::size_t n = 0;
  const int digits = 1 + static_cast<int>(rng() % 17);
  for (int i = 0; i < digits; ++i) {
    text[n++] = static_cast<char>('0' + rng() % 10);
    if (i == 0 && digits > 1) text[n++] = '.';
  }
  // Mostly near the plain range, sometimes anywhere.
  const int exponent = rng() % 4 == 0 ? static_cast<int>(rng() % 634) - 325 : static_cast<int>(rng() % 30) - 10;
  n += static_cast<std::size_t>(std::snprintf(text + n, 12, "e%d", exponent));
  double value = 0;
  const auto result = std::from_chars(text, text + n, value);
  return result.ec == std::errc{} ? value : Limits::quiet_NaN();
}

// floor(q * log10(2)), for the two exact-case families below; q * log10(2)
// is never within 10^-3 of an integer for 0 < |q| < 2000.
int floor_log10_pow2(int q) { return static_cast<int>(std::floor(q * std::log10(2.0L))); }

// c * 2^q with q < 0 whose scaled value c * 2^q / 10^k, k = floor(q log10 2),
// has a fraction of exactly one half: a tie between two 16/17-digit
// candidates. With j = -k and b = -(q + j) > 0, that is c * 5^j * 2^-b with an
// odd multiple of 2^(b-1) for c * 5^j, so c = 2^(b-1) * odd.
double exact_tie(std::mt19937_64& rng, std::size_t) {
  for (;;) {
    const int q = -1 - static_cast<int>(rng() % 80);
    const int b = -(q - floor_log10_pow2(q));
    if (b < 1 || b > 53) continue;
    const std::uint64_t odd = (rng() | 1) & ((std::uint64_t{1} << (54 - b)) - 1);
    const std::uint64_t c = odd << (b - 1);
    if (c >> 52 != 1) continue;
    return std::ldexp(static_cast<double>(c), q);
  }
}

// c * 2^q whose rounding interval has an end exactly on a multiple of
// 10^(k+1): (2c -+ 1) * 2^(q-1) = 10^(k+1) * m needs 5^(k+1) to divide the
// odd number 2c -+ 1 (the twos are there for q >= k + 2).
double interval_end_on_ten(std::mt19937_64& rng, std::size_t) {
  for (;;) {
    const int q = 2 + static_cast<int>(rng() % 72);
    const int k = floor_log10_pow2(q);
    if (q < k + 2) continue;
    std::uint64_t five = 1;
    for (int i = 0; i <= k; ++i) five *= 5;
    if (five > (std::uint64_t{1} << 53)) continue;
    const std::uint64_t low_t = (std::uint64_t{1} << 53) / five + 1;
    const std::uint64_t high_t = (std::uint64_t{1} << 54) / five;
    const std::uint64_t t = (low_t + rng() % (high_t - low_t)) | 1;
    const std::uint64_t odd = five * t;
    const std::uint64_t c = rng() % 2 == 0 ? (odd - 1) / 2 : (odd + 1) / 2;
    if (c >> 52 != 1) continue;
    return std::ldexp(static_cast<double>(c), q);
  }
}

const Family kFamilies[] = {
    {"random bit patterns", 10'000'000 / kVolume, random_bits},
    {"random subnormals", 500'000 / kVolume, random_subnormal},
    {"every power of two, both signs", 2 * 2098, power_of_two},
    {"every biased exponent with edge fractions", 2047 * 8, edge_significand},
    {"powers of ten 1e-323..1e308", 632, power_of_ten},
    {"random integers below 2^53", 1'000'000 / kVolume, random_integer},
    {"random short decimals", 2'000'000 / kVolume, random_decimal},
    {"exact ties between candidates", 500'000 / kVolume, exact_tie},
    {"interval ends on multiples of ten", 500'000 / kVolume, interval_end_on_ten},
};

TEST(FormatFloatDifferential, MatchesShortestRoundTripDigits) {
  std::array<char, kFloatScratchSize> scratch{};
  for (const Family& family : kFamilies) {
    SCOPED_TRACE(family.name);
    std::mt19937_64 rng(0x7E11'0E5E'ED00'0001);
    std::size_t checked = 0;
    std::size_t failures = 0;
    for (std::size_t i = 0; i < family.count; ++i) {
      const double value = family.make(rng, i);
      if (!std::isfinite(value) || value == 0) continue;
      ++checked;
      const std::string_view text = format_float(value, scratch);
      char expected[40];
      const std::size_t length = expected_text(std::signbit(value), reference(std::fabs(value)), expected);
      double back = 0;
      const auto parsed = std::from_chars(text.data(), text.data() + text.size(), back);
      const bool round_trips = parsed.ec == std::errc{} && parsed.ptr == text.data() + text.size() &&
                               std::bit_cast<std::uint64_t>(back) == std::bit_cast<std::uint64_t>(value);
      if (text != std::string_view(expected, length) || !round_trips) {
        if (++failures <= 10) {
          ADD_FAILURE() << "bits 0x" << std::hex << std::bit_cast<std::uint64_t>(value) << std::dec << ": got \""
                        << text << "\", expected \"" << std::string_view(expected, length) << "\"";
        }
      }
    }
    EXPECT_EQ(failures, 0u) << "of " << checked;
    EXPECT_GT(checked, family.count / 2);
  }
}

}  // namespace
}  // namespace trellune
