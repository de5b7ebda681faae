// A one-pass recursive-descent parser for RFC 8259 JSON text.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <iterator>
#include <memory>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/internal/number_literal.hpp"
#include "json/internal/pow10_table.hpp"
#include "json/internal/string_scan.hpp"
#include "json/internal/tree_build.hpp"
#include "json/json_value.hpp"

namespace trellune {
namespace {

using json_internal::find_string_stop;
using json_internal::Slot;
using json_internal::TreeAccess;
using Kind = JsonParseErrorKind;

// 1e0 .. 1e22 are exact in binary64 (5^22 < 2^53), so each product is too.
constexpr std::array<double, 23> kExactPowersOfTen = [] {
  std::array<double, 23> powers{};
  double power = 1.0;
  for (double& p : powers) {
    p = power;
    power *= 10.0;
  }
  return powers;
}();

// Integers up to 2^53 convert to binary64 exactly.
constexpr std::uint64_t kMaxExactSignificand = std::uint64_t{1} << 53;
// significand * 10 + digit stays below 2^64 while significand is below this,
// or equal to it with a digit of at most 5.
constexpr std::uint64_t kMaxSignificandBeforeDigit = 1844674407370955161;
// The same test for a 31-bit exponent: below, or equal with a digit up to 7.
constexpr std::int32_t kMaxExponentBeforeDigit = 214748364;
// Nesting budget: the 128th nested container on one path fails.
constexpr std::uint8_t kDepthBudget = 128;
// Slots of the parse stack kept inside the parser, on the caller's stack:
// enough for most requests, so that they need no heap block for it.
constexpr std::size_t kInlineSlots = 128;

constexpr bool is_digit(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c) - '0') < 10; }

constexpr bool fits_another_digit(std::uint64_t significand, unsigned digit) {
  return significand < kMaxSignificandBeforeDigit || (significand == kMaxSignificandBeforeDigit && digit <= 5);
}

// Per byte: its value as a hex digit, or 0xFF, whose high nibble no digit has.
constexpr std::array<std::uint8_t, 256> kHexValue = [] {
  std::array<std::uint8_t, 256> table{};
  for (auto& value : table) value = 0xFF;
  for (int c = '0'; c <= '9'; ++c) table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'A' + 10);
  return table;
}();

// Per byte after a reverse solidus: the byte it stands for, or 0 ('u' and
// anything not an escape).
constexpr std::array<char, 256> kEscapeDecoded = [] {
  std::array<char, 256> table{};
  for (const json_internal::ShortEscape& escape : json_internal::kShortEscapes) {
    table[static_cast<unsigned char>(escape.letter)] = escape.byte;
  }
  table['/'] = '/';
  return table;
}();

// UTF-8 per RFC 3629; `code_point` is a scalar value. Returns the end.
char* put_utf8(char* out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    *out++ = static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    *out++ = static_cast<char>(0xC0 | (code_point >> 6));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (code_point >> 12));
    *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (code_point >> 18));
    *out++ = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  }
  return out;
}

// Eight digits at once (SWAR), for the long digit runs of floats. Bytes are
// little-endian, so the first digit is the lowest byte.
constexpr std::uint64_t kEightOnes = 0x0101010101010101;

// Flags (in its high nibble) every byte of w that is not "0".."9": a digit
// has high nibble 3, and adding 6 to it does not carry out of the low
// nibble. A carry out of a non-digit byte can only flag the bytes above it,
// so the lowest flag is always a true non-digit.
std::uint64_t non_digit_bytes(std::uint64_t w) {
  constexpr std::uint64_t kHighNibbles = 0xF0 * kEightOnes;
  return ((w & kHighNibbles) ^ (0x30 * kEightOnes)) | (((w + 0x06 * kEightOnes) & kHighNibbles) ^ (0x30 * kEightOnes));
}

// The value of eight digit bytes: adjacent lanes are merged pairwise, each
// step multiplying the earlier (lower) lane by 10, 100 and then 10000.
std::uint64_t eight_digits_value(std::uint64_t w) {
  w -= 0x30 * kEightOnes;
  w = (w * 10 + (w >> 8)) & 0x00FF00FF00FF00FF;      // 4 lanes of 0..99
  w = (w * 100 + (w >> 16)) & 0x0000FFFF0000FFFF;    // 2 lanes of 0..9999
  return (w * 10000 + (w >> 32)) & 0xFFFFFFFF;       // 0..99999999
}

// A significand below this takes eight more digits without passing 2^64 - 1.
constexpr std::uint64_t kMaxSignificandBeforeEightDigits = 100000000000;

constexpr std::array<std::uint64_t, 9> kIntegerPowersOfTen = {
    1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

int decimal_digit_count(std::uint64_t value) {
  int count = 1;
  while (value >= 10) {
    value /= 10;
    ++count;
  }
  return count;
}

__extension__ typedef unsigned __int128 Uint128;

using json_internal::kMaxPow10;
using json_internal::kMinPow10;
using json_internal::kPow10;
using json_internal::Pow10;

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

// The value of a literal that the fast routes cannot decide: libstdc++'s
// correctly rounded conversion of the whole text; false when it overflows.
// The span has passed the grammar, so none of the forms from_chars accepts
// beyond JSON ("inf", "nan", hex) can occur.
[[gnu::noinline]] bool slow_to_double(const char* start, const char* end, std::uint64_t significand,
                                      std::int64_t exponent, double& value) {
  const auto [stop, ec] = std::from_chars(start, end, value, std::chars_format::general);
  TRELLUNE_CHECK(stop == end);
  if (ec == std::errc()) return true;
  TRELLUNE_CHECK(ec == std::errc::result_out_of_range);
  // Out of range means the rounded value is zero or infinite (and the
  // output is left unspecified). The decimal exponent of the leading digit
  // tells which: overflow needs at least 308, underflow at most -324.
  if (decimal_digit_count(significand) - 1 + exponent >= 0) return false;
  value = 0.0;
  return true;
}

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
  if (!truncated && significand <= kMaxExactSignificand && exponent >= -22 && exponent <= 22) {
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
                                               JsonNumber& number, Kind& error) {
  const char* const start = cursor;
  const char* p = cursor;
  const auto fail_at = [&](const char* at, Kind kind) {
    cursor = at;
    error = kind;
    return false;
  };
  if (p == end) return fail_at(p, Kind::EndInValue);
  const char first = *p++;
  if (!is_digit(first)) return fail_at(p, Kind::BadNumber);
  std::uint64_t significand = static_cast<unsigned>(first - '0');
  // Power of ten that scales the significand: lowered per fraction digit
  // kept, raised per integer digit dropped. 64 bits cannot overflow for
  // any text that fits in memory.
  std::int64_t exponent = 0;
  // Digits were dropped: the significand alone no longer gives the value.
  bool truncated = false;
  if (first == '0') {
    if (p != end && is_digit(*p)) return fail_at(p, Kind::BadNumber);
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
    if (p == digits) return fail_at(p, p == end ? Kind::EndInValue : Kind::BadNumber);
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    integer = false;
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
    if (p == end) return fail_at(p, Kind::EndInValue);
    if (!is_digit(*p)) return fail_at(p + 1, Kind::BadNumber);
    std::int32_t written = 0;
    for (; p != end && is_digit(*p); ++p) {
      const int digit = *p - '0';
      if (written > kMaxExponentBeforeDigit || (written == kMaxExponentBeforeDigit && digit > 7)) {
        // |exponent| >= 2^31: any non-zero significand is out of range.
        if (significand != 0 && !exponent_negative) return fail_at(p, Kind::NumberTooLarge);
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
  if (!to_double(start, p, significand, exponent, truncated, magnitude)) return fail_at(p, Kind::NumberTooLarge);
  number = JsonNumber::from_float64(negative ? -magnitude : magnitude);
  return true;
}


// The parse keeps every finished value on one stack of handle slots: an
// array's elements, or an object's keys and values in turn, sit on top while
// it is open and move into one exactly sized block when it closes. Slots are
// plain words, so moving them is a copy; the stack owns what they point to
// until then, and releases it if the parse fails.
class Parser {
 public:
  explicit Parser(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), stack_(inline_stack_) {}

  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  ~Parser() {
    for (std::size_t i = 0; i < top_; ++i) {
      if ((stack_[i].meta & TreeAccess::kOwnsBlock) != 0) json_internal::release_words(stack_[i].word, stack_[i].meta);
    }
    if (stack_ != inline_stack_) ::operator delete(stack_);
  }

  JsonParseResult run() {
    if (!parse_value()) return error();
    skip_white_space();
    if (p_ != end_) {
      fail(Kind::TrailingText);
      return error();
    }
    JsonValue value;
    TreeAccess::set(value, stack_[0].word, stack_[0].meta);
    top_ = 0;
    return JsonParseResult(std::move(value));
  }

 private:
  JsonParseError error() const { return JsonParseError{error_kind_, error_offset_}; }

  bool fail(Kind kind) {
    error_kind_ = kind;
    error_offset_ = static_cast<std::size_t>(p_ - begin_);
    return false;
  }

  void skip_white_space() {
    // Compact text has none: one test for the common case.
    if (p_ == end_ || static_cast<unsigned char>(*p_) > ' ') return;
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  void push(std::uint64_t word, std::uint64_t meta) {
    if (top_ == capacity_) grow_stack();
#if defined(__SSE2__)
    // One 16-byte store: the slot is soon read whole (moved into a block or
    // the result), and a load that spans two separate stores cannot be
    // forwarded from them while they are in flight.
    // Built in registers: a vector built through memory would stall the same way.
    const __m128i slot = _mm_unpacklo_epi64(_mm_cvtsi64_si128(static_cast<long long>(word)),
                                            _mm_cvtsi64_si128(static_cast<long long>(meta)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(stack_ + top_), slot);
    ++top_;
#else
    stack_[top_++] = Slot{word, meta};
#endif
  }

  void push_number(JsonNumber number) {
    push(TreeAccess::number_word(number), TreeAccess::number_meta(number.kind()));
  }

  void grow_stack() {
    const std::size_t capacity = 2 * capacity_;
    auto* stack = static_cast<Slot*>(::operator new(capacity * sizeof(Slot)));
    std::memcpy(stack, stack_, top_ * sizeof(Slot));
    if (stack_ != inline_stack_) ::operator delete(stack_);
    stack_ = stack;
    capacity_ = capacity;
  }

  bool parse_value() {
    skip_white_space();
    if (p_ == end_) return fail(Kind::EndInValue);
    switch (*p_) {
      case '"':
        ++p_;
        return parse_string();
      case '[':
        return parse_array();
      case '{':
        return parse_object();
      case '-':
        ++p_;
        return parse_number(true);
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return parse_number(false);
      case 'n':
        ++p_;
        if (!expect_letters("ull")) return false;
        push(0, TreeAccess::kNullMeta);
        return true;
      case 't':
        ++p_;
        if (!expect_letters("rue")) return false;
        push(1, TreeAccess::kBoolMeta);
        return true;
      case 'f':
        ++p_;
        if (!expect_letters("alse")) return false;
        push(0, TreeAccess::kBoolMeta);
        return true;
      default:
        return fail(Kind::NotAValue);
    }
  }

  // A value inside a container, p_ on its first byte. Numbers and strings,
  // the bulk of most documents, go straight to their routines rather than
  // through the recursive parse_value, whose frame costs more than they do.
  bool parse_element() {
    const char first = *p_;
    if (is_digit(first)) return parse_number(false);
    if (first == '-') {
      ++p_;
      return parse_number(true);
    }
    if (first == '"') {
      ++p_;
      return parse_string();
    }
    return parse_value();
  }

  // The rest of a literal; the byte after it is left for the caller.
  bool expect_letters(std::string_view letters) {
    for (char letter : letters) {
      if (p_ == end_) return fail(Kind::EndInValue);
      if (*p_++ != letter) return fail(Kind::BadLiteral);
    }
    return true;
  }

  // p_ is after the minus sign, if any, where the first digit is due.
  bool parse_number(bool negative) {
    JsonNumber number = JsonNumber::from_uint64(0);
    Kind kind = Kind::EndInValue;
    const bool ok = scan_number(begin_, p_, end_, negative, number, kind);
    if (!ok) return fail(kind);
    push_number(number);
    return true;
  }

  // The opening quotation mark is consumed. Pushes the string's slot and
  // leaves p_ after the closing one.
  bool parse_string() {
    const char* const start = p_;
    const char* stop = find_string_stop(p_, end_);
    if (stop != end_ && *stop == '"') [[likely]] {
      // No escape: the content is the input, which held no byte to escape.
      p_ = stop + 1;
      push_input_text(start, static_cast<std::size_t>(stop - start));
      return true;
    }
    // Bytes are written through a raw cursor; room is made once per run of
    // plain bytes and the escape after it (which decodes to at most four).
    char* decoded = scratch_.data();
    char* out = decoded;
    const char* segment = start;
    for (;;) {
      p_ = stop;
      if (stop == end_) return fail(Kind::EndInString);
      const auto byte = static_cast<unsigned char>(*stop);
      ++p_;
      const auto run = static_cast<std::size_t>(stop - segment);
      const auto used = static_cast<std::size_t>(out - decoded);
      if (scratch_.size() - used < run + 4) {
        scratch_.resize(std::max(used + run + 4, 2 * scratch_.size()));
        decoded = scratch_.data();
        out = decoded + used;
      }
      std::memcpy(out, segment, run);
      out += run;
      if (byte == '"') {
        const auto size = static_cast<std::size_t>(out - decoded);
        std::uint64_t word;
        std::uint64_t meta;
        TreeAccess::make_text(decoded, size, TreeAccess::plain_bit(decoded, size), word, meta);
        push(word, meta);
        return true;
      }
      if (byte < 0x20) return fail(Kind::ControlCharInString);
      if (!parse_escape(out)) return false;
      segment = p_;
      stop = find_string_stop(p_, end_);
    }
  }

  // A member's key, the opening quotation mark consumed. Keys are short and
  // rarely escaped: the plain case is decided here, without a call.
  bool parse_key() {
    const char* const stop = find_string_stop(p_, end_);
    if (stop == end_ || *stop != '"') [[unlikely]] return parse_string();
    const char* const start = p_;
    p_ = stop + 1;
    push_input_text(start, static_cast<std::size_t>(stop - start));
    return true;
  }

  // Text without escapes, taken from the input, which held no byte that
  // needs one.
  void push_input_text(const char* text, std::size_t size) {
    std::uint64_t word;
    std::uint64_t meta;
    // Short text straight from the input when 16 bytes can be read there.
    if (size <= TreeAccess::kMaxInline && end_ - text >= 16) {
      TreeAccess::inline_text_from_16(text, size, TreeAccess::kPlainText, word, meta);
    } else {
      TreeAccess::make_text(text, size, TreeAccess::kPlainText, word, meta);
    }
    push(word, meta);
  }

  // The reverse solidus is consumed; writes the escaped text at `out` and
  // moves it past.
  bool parse_escape(char*& out) {
    if (p_ == end_) return fail(Kind::EndInString);
    const char letter = *p_++;
    if (letter == 'u') return parse_unicode_escape(out);
    const char decoded = kEscapeDecoded[static_cast<unsigned char>(letter)];
    if (decoded == 0) return fail(Kind::BadEscape);
    *out++ = decoded;
    return true;
  }

  // After "\\u": one BMP code point, or a UTF-16 surrogate pair in two escapes.
  bool parse_unicode_escape(char*& out) {
    std::uint32_t unit = 0;
    if (!parse_hex4(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(Kind::LoneSurrogate);
    if (unit < 0xD800 || unit > 0xDBFF) {
      out = put_utf8(out, unit);
      return true;
    }
    for (char expected : {'\\', 'u'}) {
      if (p_ == end_) return fail(Kind::EndInString);
      if (*p_++ != expected) return fail(Kind::IncompleteSurrogatePair);
    }
    std::uint32_t low = 0;
    if (!parse_hex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail(Kind::LoneSurrogate);
    out = put_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    return true;
  }

  bool parse_hex4(std::uint32_t& unit) {
    if (end_ - p_ < 4) {
      p_ = end_;
      return fail(Kind::EndInString);
    }
    const char* digits = p_;
    p_ += 4;
    const std::uint32_t a = kHexValue[static_cast<unsigned char>(digits[0])];
    const std::uint32_t b = kHexValue[static_cast<unsigned char>(digits[1])];
    const std::uint32_t c = kHexValue[static_cast<unsigned char>(digits[2])];
    const std::uint32_t d = kHexValue[static_cast<unsigned char>(digits[3])];
    if (((a | b | c | d) & 0xF0) != 0) return fail(Kind::BadEscape);
    unit = (a << 12) | (b << 8) | (c << 4) | d;
    return true;
  }

  bool enter_container() {
    if (--remaining_depth_ == 0) return fail(Kind::NestingTooDeep);
    ++p_;
    return true;
  }

  bool parse_array() {
    if (!enter_container()) return false;
    const std::size_t base = top_;
    skip_white_space();
    if (p_ == end_) return fail(Kind::EndInArray);
    if (*p_ != ']') {
      for (;;) {
        // p_ is on the element's first byte here.
        if (!parse_element()) return false;
        skip_white_space();
        if (p_ == end_) return fail(Kind::EndInArray);
        if (*p_ == ',') {
          ++p_;
          skip_white_space();
          if (p_ == end_) return fail(Kind::EndInValue);
          if (*p_ == ']') return fail(Kind::CommaBeforeClose);
          continue;
        }
        if (*p_ == ']') break;
        return fail(Kind::MissingCommaOrBracket);
      }
    }
    ++remaining_depth_;
    ++p_;
    const Slot made = json_internal::make_array(stack_ + base, top_ - base);
    top_ = base;
    push(made.word, made.meta);
    return true;
  }

  bool parse_object() {
    if (!enter_container()) return false;
    const std::size_t base = top_;
    skip_white_space();
    if (p_ == end_) return fail(Kind::EndInObject);
    if (*p_ != '}') {
      if (*p_ != '"') return fail(Kind::KeyNotString);
      for (;;) {
        ++p_;
        if (!parse_key()) return false;
        skip_white_space();
        if (p_ == end_) return fail(Kind::EndInObject);
        if (*p_ != ':') return fail(Kind::MissingColon);
        ++p_;
        skip_white_space();
        if (p_ == end_) return fail(Kind::EndInValue);
        if (!parse_element()) return false;
        skip_white_space();
        if (p_ == end_) return fail(Kind::EndInObject);
        if (*p_ == ',') {
          ++p_;
          skip_white_space();
          if (p_ == end_) return fail(Kind::EndInValue);
          if (*p_ == '"') continue;
          return fail(*p_ == '}' ? Kind::CommaBeforeClose : Kind::KeyNotString);
        }
        if (*p_ == '}') break;
        return fail(Kind::MissingCommaOrBrace);
      }
    }
    ++remaining_depth_;
    ++p_;
    // A top-level object is usually a request that is about to gain its
    // "token" member: keep a place for it.
    const std::size_t spare = remaining_depth_ == kDepthBudget ? 1 : 0;
    const Slot made = json_internal::make_object(stack_ + base, (top_ - base) / 2, spare);
    top_ = base;
    push(made.word, made.meta);
    return true;
  }

  const char* const begin_;
  const char* p_;
  const char* const end_;
  std::uint8_t remaining_depth_ = kDepthBudget;
  Kind error_kind_ = Kind::EndInValue;
  std::size_t error_offset_ = 0;
  Slot* stack_;
  std::size_t top_ = 0;
  std::size_t capacity_ = kInlineSlots;
  // Assembles strings that contain escapes; its capacity serves the whole call.
  std::string scratch_;
  Slot inline_stack_[kInlineSlots];
};

}  // namespace

JsonParseResult parse_json(std::string_view text) { return Parser(text).run(); }

namespace json_internal {

bool parse_number_literal(std::string_view literal, JsonNumber& number) {
  const char* const begin = literal.data();
  const char* const end = begin + literal.size();
  const char* p = begin;
  const bool negative = p != end && *p == '-';
  if (negative) ++p;
  Kind error = Kind::EndInValue;
  return scan_number(begin, p, end, negative, number, error) && p == end;
}

}  // namespace json_internal

}  // namespace trellune
