// Shortest round-trip text of a binary64 value.
//
// The digits come from Schubfach (Raffaello Giulietti, "The Schubfach way to
// render doubles", 2020). A finite positive value is v = c * 2^q. Its
// rounding interval R holds every real that reads back as v:
//
//          v - 2^(q-1)        v        v + 2^(q-1)
//     ---------[--------------+--------------]---------
//              <---------------- R ---------------->
//
// (for a power of two above the subnormals the lower half is half as wide).
// The ends belong to R when c is even, since a tie there rounds to v.
// With k = floor(log10(2^q)), the interval measured in units of 10^k is at
// least 1 and less than 10 wide. So either R holds exactly one multiple of
// 10^(k+1), which then is the unique shortest decimal in R, or no decimal
// shorter than the integers (units of 10^k) is in R, and the one nearest to
// v is among floor(v / 10^k) and the next integer. Everything is decided on
// v, and on the ends of R, scaled by 10^-k in fixed point; the paper shows
// that 128 bits of 10^-k and a rounding to odd keep every comparison exact.
#include "json/format_float.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "io_error/fatal.hpp"

namespace trellune {
namespace {

static_assert(std::endian::native == std::endian::little,
              "digit blocks are assembled in integer registers and stored as little-endian bytes");

__extension__ typedef unsigned __int128 Uint128;

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << 52) - 1;
constexpr std::uint64_t kHiddenBit = std::uint64_t{1} << 52;
constexpr std::uint64_t kInfinityBits = std::uint64_t{0x7FF} << 52;
constexpr int kSubnormalExponent = -1074;  // q of the subnormals and of E = 1
constexpr int kExponentBias = 1075;        // q = E - 1075 for E > 0

// 10^m for m = kMinPow10..kMaxPow10, each the leading 128 bits, truncated,
// highest bit set.
struct Pow10 {
  std::uint64_t high;
  std::uint64_t low;
};
constexpr int kMinPow10 = -292;
constexpr int kMaxPow10 = 324;
constexpr Pow10 kPow10[kMaxPow10 - kMinPow10 + 1] = {
#include "json/pow10_table.inc"
};

// Fixed-point logarithms; the table generator checks them exactly over every
// exponent used here.
constexpr int floor_log10_pow2(int q) { return (q * 315653) >> 20; }
// floor(log10(3/4 * 2^q)): the scale for a power of two whose lower
// neighbour is only half as far away as its upper one.
constexpr int floor_log10_three_quarters_pow2(int q) { return (q * 315653 - 131072) >> 20; }
constexpr int floor_log2_pow10(int m) { return (m * 1741647) >> 19; }

// The left shift that puts 4c (or c) times the table entry of 10^-k at the
// scale of 10^k after dropping 128 bits: 2^h * entry / 2^128 = 2^q * 10^-k.
constexpr int scale_shift(int q, int k) { return q + floor_log2_pow10(-k) + 1; }

constexpr int binary_exponent(int biased) { return biased == 0 ? kSubnormalExponent : biased - kExponentBias; }

// scale_shift for the values that are not powers of two, by biased exponent.
constexpr std::array<std::uint8_t, 2048> kFastShift = [] {
  std::array<std::uint8_t, 2048> shifts{};
  for (int e = 0; e < 2048; ++e) {
    const int q = binary_exponent(e);
    shifts[static_cast<std::size_t>(e)] = static_cast<std::uint8_t>(scale_shift(q, floor_log10_pow2(q)));
  }
  return shifts;
}();

// The fast route's error bounds assume c << h < 2^57.
constexpr bool fast_shifts_are_small() {
  for (const std::uint8_t h : kFastShift) {
    if (h < 1 || h > 4) {
      return false;
    }
  }
  return true;
}
static_assert(fast_shifts_are_small());

constexpr Uint128 pow10_entry(int m) {
  const Pow10& p = kPow10[m - kMinPow10];
  return (Uint128{p.high} << 64) | p.low;
}

// cp * g / 2^128 rounded to odd: the integer part, with its lowest bit set
// when the fraction is not zero, so that comparing it with even integers
// gives the same answer as comparing the exact product. g is the table entry
// plus one, a strict overestimate; its excess adds less than 2^64 to the
// 192-bit product, which is why a middle word of 1 still counts as exact.
std::uint64_t round_to_odd(Uint128 g, std::uint64_t cp) {
  const Uint128 low = Uint128{cp} * static_cast<std::uint64_t>(g);
  const Uint128 high = Uint128{cp} * static_cast<std::uint64_t>(g >> 64) + (low >> 64);
  const auto middle = static_cast<std::uint64_t>(high);
  return static_cast<std::uint64_t>(high >> 64) | (middle > 1 ? 1u : 0u);
}

// The decimal of R nearest to c * 2^q, shortest first, in units of 10^k.
// `narrow_below` marks a power of two with its closer lower neighbour.
std::uint64_t schubfach(std::uint64_t c, int q, int k, bool narrow_below) {
  const int h = scale_shift(q, k);
  const Uint128 g = pow10_entry(-k) + 1;
  // v and the ends of R, in units of 10^k / 4.
  const std::uint64_t cb = c << 2;
  const std::uint64_t vb = round_to_odd(g, cb << h);
  std::uint64_t lower = round_to_odd(g, (cb - (narrow_below ? 1 : 2)) << h);
  std::uint64_t upper = round_to_odd(g, (cb + 2) << h);
  if ((c & 1) != 0) {
    ++lower;
    --upper;
  }
  // The multiple of 10^(k+1) at or below the upper end.
  const std::uint64_t tens = upper / 40;
  if (tens * 40 >= lower) {
    return tens * 10;
  }
  const std::uint64_t s = vb >> 2;
  if ((s << 2) < lower) {
    return s + 1;
  }
  const std::uint64_t midpoint = (s << 2) + 2;
  if (vb < midpoint) {
    return s;
  }
  if (vb > midpoint) {
    return s + 1;
  }
  return s + (s & 1);
}

// The same answer as schubfach() for c that is not a power of two, from one
// 128 x 64-bit product with the truncated table entry, in 64.64 fixed point:
//
//   x = v * 10^-k * 2^64,     underestimated by less than 1.01
//   w = 2^(q-1) * 10^-k * 2^64 (half of R), underestimated by less than 1.01
//
//      lower10          x           lower10 + 10
//   ------|-------------+-------------------|------
//         <-- below --->                     <- above -> (to x)
//
// A multiple of ten is in R when its distance to v is below w, out when it is
// above; the only ambiguous cases are distances within 3 of w (an end of R on
// or next to the multiple) and, failing a multiple, a fraction within 1 of
// one half (a tie or close to it). Those return false, for the exact route.
bool fast_schubfach(std::uint64_t c, int h, int k, std::uint64_t& result) {
  const Uint128 g = pow10_entry(-k);
  const std::uint64_t cs = c << h;
  const Uint128 low = Uint128{cs} * static_cast<std::uint64_t>(g);
  const Uint128 x = Uint128{cs} * static_cast<std::uint64_t>(g >> 64) + (low >> 64);
  const Uint128 w = g >> (65 - h);
  const auto integer = static_cast<std::uint64_t>(x >> 64);
  const std::uint64_t lower10 = integer / 10 * 10;
  const Uint128 below = x - (Uint128{lower10} << 64);
  const Uint128 above = (Uint128{lower10 + 10} << 64) - x;
  constexpr Uint128 kSlack = 3;
  const bool below_near = below + kSlack > w && below < w + kSlack;
  const bool above_near = above + kSlack > w && above < w + kSlack;
  if (below_near || above_near) [[unlikely]] {
    return false;
  }
  // R is narrower than 10, so at most one of the two is inside.
  if (below < w) {
    result = lower10;
    return true;
  }
  if (above < w) {
    result = lower10 + 10;
    return true;
  }
  // R is at least 1 wide, so the nearest integer is inside.
  constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
  const auto fraction = static_cast<std::uint64_t>(x);
  if (fraction - (kHalf - 1) <= 1) [[unlikely]] {
    return false;
  }
  result = integer + (fraction > kHalf ? 1 : 0);
  return true;
}

struct Decimal {
  std::uint64_t digits;  // 16 or 17 decimal digits, trailing zeros included
  int exponent;          // of the first digit
};

// `bits` is a finite value above zero.
Decimal to_decimal(std::uint64_t bits) {
  const auto biased = static_cast<int>(bits >> 52);
  const std::uint64_t fraction = bits & kFractionMask;
  const int q = binary_exponent(biased);
  const std::uint64_t c = biased == 0 ? fraction : fraction | kHiddenBit;
  std::uint64_t v = 0;
  int k = 0;
  if (fraction != 0) {
    k = floor_log10_pow2(q);
    if (!fast_schubfach(c, kFastShift[static_cast<std::size_t>(biased)], k, v)) {
      v = schubfach(c, q, k, false);
    }
  } else if (biased > 1) {
    k = floor_log10_three_quarters_pow2(q);
    v = schubfach(c, q, k, true);
  } else {
    // 2^-1022: the largest subnormal is its lower neighbour, as far away as
    // the upper one, so R is symmetric.
    k = floor_log10_pow2(q);
    v = schubfach(c, q, k, false);
  }
  constexpr std::uint64_t kMin17Digits = 10'000'000'000'000'000;
  if (biased == 0) [[unlikely]] {
    while (v < kMin17Digits) {
      v *= 10;
      --k;
    }
  }
  return {v, k + 15 + (v >= kMin17Digits ? 1 : 0)};
}

constexpr std::array<char, 200> kTwoDigits = [] {
  std::array<char, 200> table{};
  for (std::size_t i = 0; i < 100; ++i) {
    table[2 * i] = static_cast<char>('0' + i / 10);
    table[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return table;
}();

// Spreads x < 10^8 over the eight bytes of a word, one decimal digit (0..9)
// per byte, the first digit in the lowest byte: stored little-endian, the
// bytes come out in reading order. Division by 100 and by 10 run on all lanes
// at once, by multiplication, since no lane's product reaches the next lane:
//
//   x          = 12345678
//   32-bit lanes   [   1234   |   5678   ]      x / 10^4, x % 10^4
//   16-bit lanes   [ 12 | 34  | 56 | 78  ]      y * 5243 >> 19 = y / 100
//   8-bit lanes    [1|2|3|4|5|6|7|8]            z * 103 >> 10 = z / 10
constexpr std::uint64_t digit_bytes(std::uint32_t x) {
  const std::uint64_t quads = x / 10000 | std::uint64_t{x % 10000} << 32;
  const std::uint64_t hundreds = (quads * 5243 >> 19) & 0x0000'007F'0000'007F;
  const std::uint64_t pairs = hundreds | (quads - hundreds * 100) << 16;
  const std::uint64_t tens = (pairs * 103 >> 10) & 0x000F'000F'000F'000F;
  return tens | (pairs - tens * 10) << 8;
}

// The multiply-shift divisions above, over every lane value they see.
constexpr bool lane_divisions_are_exact() {
  for (std::uint64_t y = 0; y < 10000; ++y) {
    if ((y * 5243 >> 19) != y / 100) {
      return false;
    }
  }
  for (std::uint64_t z = 0; z < 100; ++z) {
    if ((z * 103 >> 10) != z / 10) {
      return false;
    }
  }
  return true;
}
static_assert(lane_divisions_are_exact());
static_assert(digit_bytes(12345678) == 0x0807'0605'0403'0201);

constexpr std::uint64_t kAsciiZeros = 0x3030'3030'3030'3030;

// Writes the 16 or 17 digits of `digits` at `out` (17 bytes are written in
// either case) and returns how many remain without the trailing zeros.
int write_digits(std::uint64_t digits, char* out) {
  const auto high = static_cast<std::uint32_t>(digits / 100'000'000);  // 8 or 9 digits
  const auto low = static_cast<std::uint32_t>(digits - std::uint64_t{high} * 100'000'000);
  const std::uint32_t lead = high / 100'000'000;  // 0 for 16 digits
  const std::uint32_t middle = high - lead * 100'000'000;
  const int seventeen = lead != 0 ? 1 : 0;
  const std::uint64_t middle_bytes = digit_bytes(middle);
  const std::uint64_t low_bytes = digit_bytes(low);
  // With 16 digits the lead byte is overwritten by the middle block.
  out[0] = static_cast<char>('0' + lead);
  const std::uint64_t middle_text = middle_bytes | kAsciiZeros;
  const std::uint64_t low_text = low_bytes | kAsciiZeros;
  std::memcpy(out + seventeen, &middle_text, 8);
  std::memcpy(out + seventeen + 8, &low_text, 8);
  // Trailing zero digits are the zero bytes at the top of the last blocks.
  const int trailing_zeros = low != 0 ? std::countl_zero(low_bytes) / 8 : 8 + std::countl_zero(middle_bytes) / 8;
  return 16 + seventeen - trailing_zeros;
}

// Lays out the significant digits `digits[0..n)` (no leading or trailing
// zeros, 1 <= n <= 17) of a value d1.d2...dn x 10^e at `out` and returns the
// end of the text. `digits` may lie inside the output area at or after `out`
// (the copies are memmove-safe).
//
//   e in [-5, 15]   plain:    "1000.0"  "12.5"  "0.00015"
//   otherwise       exponent: "1e+16"   "1.5e-7"  "5e-324"
char* write_layout(char* out, const char* digits, int n, int e) {
  if (e >= -5 && e <= 15) {
    if (e >= n - 1) {
      std::memmove(out, digits, static_cast<std::size_t>(n));
      out += n;
      std::memset(out, '0', static_cast<std::size_t>(e - n + 1));
      out += e - n + 1;
      std::memcpy(out, ".0", 2);
      return out + 2;
    }
    if (e < 0) {
      const int zeros = -e - 1;
      // Move the digits first: they may sit where the "0.000" goes.
      std::memmove(out + 2 + zeros, digits, static_cast<std::size_t>(n));
      std::memcpy(out, "0.", 2);
      std::memset(out + 2, '0', static_cast<std::size_t>(zeros));
      return out + 2 + zeros + n;
    }
    std::memmove(out + e + 2, digits + e + 1, static_cast<std::size_t>(n - e - 1));
    std::memmove(out, digits, static_cast<std::size_t>(e + 1));
    out[e + 1] = '.';
    return out + n + 1;
  }
  std::memmove(out + 2, digits + 1, static_cast<std::size_t>(n - 1));
  out[0] = digits[0];
  if (n > 1) {
    out[1] = '.';
    out += n + 1;
  } else {
    out += 1;
  }
  *out++ = 'e';
  unsigned magnitude = 0;
  if (e < 0) {
    *out++ = '-';
    magnitude = static_cast<unsigned>(-e);
  } else {
    *out++ = '+';
    magnitude = static_cast<unsigned>(e);
  }
  if (magnitude >= 100) {
    *out++ = static_cast<char>('0' + magnitude / 100);
    magnitude %= 100;
  } else if (magnitude < 10) {
    *out = static_cast<char>('0' + magnitude);
    return out + 1;
  }
  std::memcpy(out, &kTwoDigits[2 * magnitude], 2);
  return out + 2;
}

}  // namespace

std::string_view format_float(double value, std::span<char, kFloatScratchSize> scratch) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const std::uint64_t magnitude = bits & ~kSignBit;
  TRELLUNE_CHECK(magnitude < kInfinityBits);
  char* const text = scratch.data() + 1;
  scratch[0] = '-';
  char* const begin = (bits & kSignBit) != 0 ? scratch.data() : text;
  if (magnitude == 0) {
    std::memcpy(text, "0.0", 3);
    return {begin, text + 3};
  }
  const Decimal decimal = to_decimal(magnitude);
  // Digits go one byte in, where exponent notation wants all but the first.
  const int n = write_digits(decimal.digits, text + 1);
  return {begin, write_layout(text, text + 1, n, decimal.exponent)};
}

}  // namespace trellune
