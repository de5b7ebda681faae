// Shortest round-trip text of a binary64 value.
//
// The digits come from Schubfach (Raffaello Giulietti, "The Schubfach way to
// render doubles"). A finite positive value is v = c * 2^q. Its
// rounding interval R holds every real that reads back as v:
//
//          v - 2^(q-1)        v        v + 2^(q-1)
//     ---------[--------------+--------------]---------
//              <---------------- R ---------------->
//
// (for a power of two above 2^-1022 the lower half is half as wide).
// The ends belong to R when c is even, since a tie there rounds to v.
// With k = floor(log10(2^q)), the interval measured in units of 10^k is at
// least 1 and less than 10 wide. So either R holds exactly one multiple of
// 10^(k+1), which then is the unique shortest decimal in R, or no decimal
// shorter than the integers (units of 10^k) is in R, and the one nearest to
// v is among floor(v / 10^k) and the next integer. Everything is decided on
// v, and on the ends of R, scaled by 10^-k in fixed point; the paper shows
// that 128 bits of 10^-k and a rounding to odd keep every comparison exact.
#include "json/format_float.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/fatal.hpp"
#include "json/internal/number_basics.hpp"
#include "json/internal/pow10_table.hpp"

namespace trellune {
namespace {

static_assert(std::endian::native == std::endian::little,
              "digit blocks are assembled in integer registers and stored as little-endian bytes");

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << 52) - 1;
constexpr std::uint64_t kHiddenBit = std::uint64_t{1} << 52;
constexpr std::uint64_t kInfinityBits = std::uint64_t{0x7FF} << 52;
constexpr int kSubnormalExponent = -1074;  // q of the subnormals and of E = 1
constexpr int kExponentBias = 1075;        // q = E - 1075 for E > 0

using json_internal::kMaxPow10;
using json_internal::kMinPow10;
using json_internal::kPow10;
using json_internal::kTwoDigits;
using json_internal::Pow10;
using json_internal::Uint128;

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
// gives the same answer as comparing the exact product. As in the paper, g is
// the table entry plus one, above 10^-k (scaled) by at most one unit, so the
// 192-bit product is at most cp (< 2^59) above the exact one: an exact
// integer leaves a middle word of 0, and the paper's analysis shows that a
// fraction that is not zero always shows in the middle word as more than 1.
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
// 128 x 64-bit product with the truncated table entry. The product gives v
// scaled by 10^-k as an integer part and a 64-bit fraction; the distances
// from v to the multiples of ten around it, and half the width of R, are all
// below 10 and are compared in 4.60 fixed point:
//
//      lower10               v              lower10 + 10
//   ------|------------------+-----------------|------
//         <----- below ----->                   (above = 10 - below)
//                 <---- w ---+---- w ---->      (R)
//
// below is underestimated by less than 1.01 units of 2^-60, and so is w;
// a multiple of ten is surely inside R when its distance is at least 3 units
// below w, surely outside when at least 3 above. Nearer than that (an end of
// R on the multiple, or next to it), and when no multiple is inside and the
// fraction is within 1 unit of 2^-64 of one half (a tie, or next to one), it
// returns false and leaves the decision to the exact route.
bool fast_schubfach(std::uint64_t c, int h, int k, std::uint64_t& result) {
  const Uint128 g = pow10_entry(-k);
  const std::uint64_t cs = c << h;
  const Uint128 low = Uint128{cs} * static_cast<std::uint64_t>(g);
  const Uint128 x = Uint128{cs} * static_cast<std::uint64_t>(g >> 64) + (low >> 64);
  const auto integer = static_cast<std::uint64_t>(x >> 64);
  const auto fraction = static_cast<std::uint64_t>(x);
  const std::uint64_t lower10 = integer / 10 * 10;
  const std::uint64_t below = (integer - lower10) << 60 | fraction >> 4;
  const std::uint64_t above = (std::uint64_t{10} << 60) - below;
  // 2^(q-1) * 10^-k * 2^60 = g * 2^(h - 69), and h - 69 = (h - 5) - 64.
  const std::uint64_t w = static_cast<std::uint64_t>(g >> 64) >> (5 - h);
  const bool below_inside = below < w;
  const bool above_inside = above < w;
  constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
  const bool ambiguous = below - w + 2 <= 4 || above - w + 2 <= 4 ||
                         (fraction - (kHalf - 1) <= 1 && !below_inside && !above_inside);
  if (ambiguous) [[unlikely]] {
    return false;
  }
  // R is narrower than 10, so at most one multiple of ten is inside, and at
  // least 1 wide, so without one the nearest integer is inside.
  // Whether a multiple of ten is inside is a coin toss for varied input, so
  // the choice is made with masks rather than branches.
  const std::uint64_t nearest = integer + (fraction > kHalf ? 1 : 0);
  const std::uint64_t take_below = 0 - static_cast<std::uint64_t>(below_inside);
  const std::uint64_t take_above = 0 - static_cast<std::uint64_t>(above_inside);
  result = (lower10 & take_below) | ((lower10 + 10) & take_above) | (nearest & ~(take_below | take_above));
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

// The digits of a 16- or 17-digit decimal as 17 characters in reading order
// (a 16-digit one gets a '0' appended, harmless since it is a trailing zero),
// kept in registers so the layout can place them with fixed-size stores.
struct DigitText {
  std::uint64_t first;   // characters 0..7, the first in the lowest byte
  std::uint64_t second;  // characters 8..15
  std::uint64_t last;    // character 16
  int significant;       // the count without trailing zeros
};

// Two numbers below 10^8 become sixteen digit bytes (0..9), the first
// number's digits in bytes 0..7, most significant first. Each step halves
// the lane width and splits every lane into quotient and remainder, the
// divisions done by multiplication:
//
//   64-bit lanes  [        12345678        |        87654321        ]
//   32-bit lanes  [  1234  |  5678  |  8765  |  4321  ]   x / 10^4 = x * 3518437209 >> 45
//   16-bit lanes  [12|34|56|78|87|65|43|21]               y / 100  = (y * 5243 >> 16) >> 3
//    8-bit lanes  [1|2|3|4|5|6|7|8|8|7|6|5|4|3|2|1]       z / 10   = (z * 52429 >> 16) >> 3
//
// x * m >> s equals x / d for every x below n when the rounding up in
// m = ceil(2^s / d) stays under one part in n: (m * d - 2^s) * n <= 2^s.
constexpr bool divides_exactly(std::uint64_t m, int s, std::uint64_t d, std::uint64_t n) {
  return m * d >= (std::uint64_t{1} << s) && (m * d - (std::uint64_t{1} << s)) * n <= (std::uint64_t{1} << s);
}

struct DigitBytes {
  std::uint64_t first;   // bytes 0..7: the first number's digits
  std::uint64_t second;  // bytes 8..15: the second number's digits
};

#if defined(__SSE2__)
static_assert(divides_exactly(3518437209, 45, 10000, 100'000'000));
static_assert(divides_exactly(5243, 19, 100, 10000));
static_assert(divides_exactly(52429, 19, 10, 100));

DigitBytes sixteen_digits(std::uint32_t a, std::uint32_t b) {
  const __m128i x = _mm_set_epi64x(b, a);
  const __m128i quads_high = _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi64x(3518437209)), 45);
  const __m128i quads_low = _mm_sub_epi64(x, _mm_mul_epu32(quads_high, _mm_set1_epi64x(10000)));
  const __m128i quads = _mm_or_si128(quads_high, _mm_slli_epi64(quads_low, 32));
  const __m128i pairs_high = _mm_srli_epi16(_mm_mulhi_epu16(quads, _mm_set1_epi16(5243)), 3);
  const __m128i pairs_low = _mm_sub_epi16(quads, _mm_mullo_epi16(pairs_high, _mm_set1_epi16(100)));
  const __m128i pairs = _mm_or_si128(pairs_high, _mm_slli_epi32(pairs_low, 16));
  const __m128i tens = _mm_srli_epi16(_mm_mulhi_epu16(pairs, _mm_set1_epi16(-13107)), 3);  // 52429
  const __m128i ones = _mm_sub_epi16(pairs, _mm_mullo_epi16(tens, _mm_set1_epi16(10)));
  const __m128i digits = _mm_or_si128(tens, _mm_slli_epi16(ones, 8));
  return {static_cast<std::uint64_t>(_mm_cvtsi128_si64(digits)),
          static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(digits, digits)))};
}
#else
// The same steps on the lanes of one 64-bit word, for each number in turn.
// A lane's product stays below its lane's top, so no carry reaches the next
// lane, and the mask after each shift drops what the upper lane's product
// brought down.
static_assert(divides_exactly(5243, 19, 100, 10000));
static_assert(divides_exactly(103, 10, 10, 100));

std::uint64_t eight_digits(std::uint32_t x) {
  const std::uint64_t quads_high = x / 10000;
  const std::uint64_t quads = quads_high | (x - quads_high * 10000) << 32;
  const std::uint64_t pairs_high = (quads * 5243 >> 19) & 0x0000'007F'0000'007F;
  const std::uint64_t pairs = pairs_high | (quads - pairs_high * 100) << 16;
  const std::uint64_t tens = (pairs * 103 >> 10) & 0x000F'000F'000F'000F;
  return tens | (pairs - tens * 10) << 8;
}

DigitBytes sixteen_digits(std::uint32_t a, std::uint32_t b) { return {eight_digits(a), eight_digits(b)}; }
#endif

DigitText digit_text(std::uint64_t digits) {
  // The lead digit and the two blocks of eight are found side by side, not
  // one after the other.
  const auto lead = static_cast<std::uint32_t>(digits / 10'000'000'000'000'000);  // 0 for 16 digits
  const auto high = static_cast<std::uint32_t>(digits / 100'000'000);
  const auto low = static_cast<std::uint32_t>(digits - std::uint64_t{high} * 100'000'000);
  const DigitBytes values = sixteen_digits(high - lead * 100'000'000, low);
  // Trailing zero digits: the run of zero bytes at the top, all sixteen for
  // a lone lead digit.
  const int trailing_zeros =
      values.second != 0 ? std::countl_zero(values.second) / 8 : 8 + std::countl_zero(values.first) / 8;
  constexpr std::uint64_t kZeros = 0x3030'3030'3030'3030;
  const std::uint64_t middle = values.first | kZeros;
  const std::uint64_t tail = values.second | kZeros;
  // With 17 digits everything moves up one character behind the lead digit.
  // Both lengths are common, so this is arithmetic rather than a branch.
  const auto seventeen = static_cast<int>((lead + 15) >> 4);  // lead <= 9
  const std::uint64_t if_seventeen = 0 - static_cast<std::uint64_t>(seventeen);
  const int shift = 8 * seventeen;
  const std::uint64_t lead_character = ('0' + lead) & if_seventeen;
  return {middle << shift | lead_character, tail << shift | (middle >> 56 & if_seventeen),
          (tail >> 56 & if_seventeen) | ('0' & ~if_seventeen), 16 + seventeen - trailing_zeros};
}

// Stores the 17 characters with "." inserted after the first `i` of them
// (1 <= i <= 16): 18 bytes at `out`.
void store_with_point(char* out, const DigitText& digits, int i) {
  const Uint128 text = Uint128{digits.second} << 64 | digits.first;
  Uint128 placed = text;
  std::uint64_t seventeenth = '.';
  if (i < 16) {
    const Uint128 kept = (Uint128{1} << (8 * i)) - 1;
    placed = (text & kept) | Uint128{'.'} << (8 * i) | (text & ~kept) << 8;
    seventeenth = digits.second >> 56;
  }
  const auto placed_low = static_cast<std::uint64_t>(placed);
  const auto placed_high = static_cast<std::uint64_t>(placed >> 64);
  std::memcpy(out, &placed_low, 8);
  std::memcpy(out + 8, &placed_high, 8);
  out[16] = static_cast<char>(seventeenth);
  out[17] = static_cast<char>(digits.last);
}

// The decimal text of every exponent magnitude 0..324 that exponent notation
// can show, from the two-digit table: up to three characters in the low
// bytes, first character lowest, and the count in the top byte.
constexpr std::array<std::uint32_t, 325> kExponentText = [] {
  std::array<std::uint32_t, 325> texts{};
  for (std::uint32_t m = 0; m < texts.size(); ++m) {
    const std::uint32_t pair = static_cast<unsigned char>(kTwoDigits[2 * (m % 100)]) |
                               std::uint32_t{static_cast<unsigned char>(kTwoDigits[2 * (m % 100) + 1])} << 8;
    if (m >= 100) {
      texts[m] = (3u << 24) | pair << 8 | ('0' + m / 100);
    } else if (m >= 10) {
      texts[m] = (2u << 24) | pair;
    } else {
      texts[m] = (1u << 24) | pair >> 8;
    }
  }
  return texts;
}();
static_assert(kExponentText[7] == (1u << 24 | '7'));
static_assert(kExponentText[308] == (3u << 24 | '8' << 16 | '0' << 8 | '3'));

// "e", the sign, and the one to three digits of the exponent `e`.
char* write_exponent(char* out, int e) {
  const std::uint32_t text = kExponentText[static_cast<std::size_t>(e < 0 ? -e : e)];
  const std::uint32_t head = 'e' | (e < 0 ? '-' : '+') << 8 | text << 16;  // "e", sign, two characters
  std::memcpy(out, &head, 4);
  out[4] = static_cast<char>(text >> 16);
  return out + 2 + (text >> 24);
}

// Lays out the significant digits d1 d2 ... dn of d1.d2...dn x 10^e at `out`
// and returns the end of the text. Bytes past the end may be overwritten, up
// to out + 23.
//
//   e in [-5, 15]   plain:    "1000.0"  "12.5"  "0.00015"
//   otherwise       exponent: "1e+16"   "1.5e-7"  "5e-324"
char* write_layout(char* out, const DigitText& digits, int e) {
  const int n = digits.significant;
  if (e < -5 || e > 15) {
    store_with_point(out, digits, 1);
    // A single digit has no point; "e" overwrites it.
    return write_exponent(out + n + (n > 1 ? 1 : 0), e);
  }
  if (e < 0) {
    std::memcpy(out, "0.000000", 8);
    char* const first = out + 1 - e;
    std::memcpy(first, &digits.first, 8);
    std::memcpy(first + 8, &digits.second, 8);
    first[16] = static_cast<char>(digits.last);
    return first + n;
  }
  // With n <= e + 1 the characters after the point are trailing zeros, of
  // which the first one stays: "100.0". The end is n + 1 with digits after
  // the point and e + 3 without, the larger of the two either way.
  store_with_point(out, digits, e + 1);
  return out + std::max(n + 1, e + 3);
}

}  // namespace

namespace json_internal {

char* write_float(double value, char* out) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const std::uint64_t magnitude = bits & ~kSignBit;
  TRELLUNE_CHECK(magnitude < kInfinityBits);
  *out = '-';
  char* const text = out + (bits >> 63);
  if (magnitude == 0) {
    std::memcpy(text, "0.0", 3);
    return text + 3;
  }
  const Decimal decimal = to_decimal(magnitude);
  return write_layout(text, digit_text(decimal.digits), decimal.exponent);
}

}  // namespace json_internal

std::string_view format_float(double value, std::span<char, kFloatScratchSize> scratch) {
  return {scratch.data(), json_internal::write_float(value, scratch.data())};
}

}  // namespace trellune
