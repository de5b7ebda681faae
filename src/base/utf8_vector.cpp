// UTF-8 checked a block at a time, by the method of Keiser and Lemire,
// "Validating UTF-8 In Less Than One Instruction Per Byte" (Software:
// Practice and Experience, 2021): on x86-64 with SSSE3, sixteen bytes at a
// time, or with AVX2, thirty-two; on arm64 with NEON, sixteen.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <string_view>

#include "base/internal/utf8_checks.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace trellune::base_internal {
namespace {

// Every rule of RFC 3629 but one is about two adjacent bytes, and each such
// rule reads only three nibbles: the first byte's high and low nibble and the
// second byte's high nibble. So each rule gets a bit, and three tables of
// sixteen entries give for each nibble value the rules whose nibble set holds
// it: one byte shuffle per table looks up sixteen bytes at once, and the AND
// of the three lookups is the set of rules the pair breaks.
//
//   ... byte i-3  byte i-2  byte i-1  byte i ...
//                           high low  high
//                            |    |    |
//                 kFirstHigh[] & kFirstLow[] & kSecondHigh[]  = rules broken
//
// The rule left over: a continuation byte after a continuation byte is
// right only as the third or fourth byte of a sequence, that is when byte
// i-2 is E0..FF or byte i-3 is F0..FF. The pair tables give every such pair
// the last bit, and the check expects that bit exactly there.
using NibbleSet = std::uint16_t;  // bit n: nibble value n

constexpr NibbleSet nibbles(unsigned low, unsigned high) {
  NibbleSet set = 0;
  for (unsigned n = low; n <= high; ++n) set = static_cast<NibbleSet>(set | 1u << n);
  return set;
}

constexpr NibbleSet kAnyNibble = nibbles(0x0, 0xF);
constexpr NibbleSet kAsciiHigh = nibbles(0x0, 0x7);         // 00..7F
constexpr NibbleSet kContinuationHigh = nibbles(0x8, 0xB);  // 80..BF
constexpr NibbleSet kLeadHigh = nibbles(0xC, 0xF);          // C0..FF

struct PairRule {
  NibbleSet first_high;
  NibbleSet first_low;
  NibbleSet second_high;
};

// The pairs no well-formed text holds, a bit each in this order.
constexpr PairRule kPairRules[] = {
    // C0..FF then 00..7F or C0..FF: a sequence cut short.
    {kLeadHigh, kAnyNibble, kAsciiHigh | kLeadHigh},
    // 00..7F then 80..BF: a continuation byte without a lead byte.
    {kAsciiHigh, kAnyNibble, kContinuationHigh},
    // C0..C1 then 80..BF: two bytes for U+0000..U+007F.
    {nibbles(0xC, 0xC), nibbles(0x0, 0x1), kContinuationHigh},
    // E0 then 80..9F: three bytes for U+0000..U+07FF.
    {nibbles(0xE, 0xE), nibbles(0x0, 0x0), nibbles(0x8, 0x9)},
    // ED then A0..BF: a surrogate, U+D800..U+DFFF.
    {nibbles(0xE, 0xE), nibbles(0xD, 0xD), nibbles(0xA, 0xB)},
    // F0 then 80..8F: four bytes for U+0000..U+FFFF. F5..FF then 80..8F:
    // above U+10FFFF.
    {nibbles(0xF, 0xF), nibbles(0x0, 0x0) | nibbles(0x5, 0xF), nibbles(0x8, 0x8)},
    // F4..FF then 90..BF: above U+10FFFF.
    {nibbles(0xF, 0xF), nibbles(0x4, 0xF), nibbles(0x9, 0xB)},
    // 80..BF then 80..BF: an error unless the second is a third or fourth
    // byte. Its bit must be the last.
    {kContinuationHigh, kAnyNibble, kContinuationHigh},
};
static_assert(std::size(kPairRules) == 8, "a rule a bit of a byte");
constexpr std::uint8_t kTwoContinuations = 0x80;

// Bytes at or above these are followed by a third, or a fourth, byte that
// is a continuation. (F5..FF, which no text holds, break a pair rule anyway.)
constexpr unsigned char kThreeOrMoreBytes = 0xE0;
constexpr unsigned char kFourBytes = 0xF0;

using NibbleTable = std::array<std::uint8_t, 16>;

constexpr NibbleTable nibble_table(NibbleSet PairRule::*nibble) {
  NibbleTable table{};
  for (std::size_t bit = 0; bit < std::size(kPairRules); ++bit) {
    for (unsigned n = 0; n < 16; ++n) {
      if ((kPairRules[bit].*nibble >> n) & 1u) table[n] = static_cast<std::uint8_t>(table[n] | 1u << bit);
    }
  }
  return table;
}

constexpr NibbleTable kFirstHigh = nibble_table(&PairRule::first_high);
constexpr NibbleTable kFirstLow = nibble_table(&PairRule::first_low);
constexpr NibbleTable kSecondHigh = nibble_table(&PairRule::second_high);

// The tables against the rule of RFC 3629 that the automaton and the
// decoder use, for every pair of bytes: a broken rule other than the last
// where the lead byte's rule refuses the pair, the last for two continuation
// bytes.
constexpr bool is_continuation(unsigned byte) { return byte >= 0x80 && byte <= 0xBF; }

constexpr bool lead_byte_rule_allows(unsigned first, unsigned second) {
  if (first < 0x80) return !is_continuation(second);
  if (is_continuation(first)) return true;  // decided by the bytes before
  const LeadByte rule = lead_byte_rule(static_cast<unsigned char>(first));
  return rule.continuation_count > 0 && second >= rule.second_low && second <= rule.second_high;
}

constexpr bool pair_tables_follow_the_lead_byte_rule() {
  for (unsigned first = 0; first < 256; ++first) {
    const LeadByte rule = lead_byte_rule(static_cast<unsigned char>(first));
    if (rule.continuation_count >= 2 && first < kThreeOrMoreBytes) return false;
    if (rule.continuation_count == 3 && first < kFourBytes) return false;
    // The bounds fall on nibble boundaries, as do those of 80..BF, so one
    // second byte of each high nibble stands for all sixteen.
    if (rule.continuation_count > 0 && ((rule.second_low & 0xF) != 0x0 || (rule.second_high & 0xF) != 0xF)) {
      return false;
    }
    for (unsigned second = 0; second < 256; second += 16) {
      const unsigned broken = kFirstHigh[first >> 4] & kFirstLow[first & 0xF] & kSecondHigh[second >> 4];
      if (((broken & ~kTwoContinuations) == 0) != lead_byte_rule_allows(first, second)) return false;
      if (((broken & kTwoContinuations) != 0) != (is_continuation(first) && is_continuation(second))) return false;
    }
  }
  return true;
}
static_assert(pair_tables_follow_the_lead_byte_rule());

// A block ends inside a sequence when its last byte is C0..FF, the one
// before E0..FF or the one before that F0..FF: the bytes above these limits.
// A block of ASCII after it is then an error. Thirty-two bytes for AVX2; the
// sixteen-byte blocks take the second half.
constexpr std::array<std::uint8_t, 32> kUnfinishedAbove = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,           0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,           0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, kFourBytes - 1, kThreeOrMoreBytes - 1, 0xBF};
constexpr const std::uint8_t* kUnfinishedAbove16 = kUnfinishedAbove.data() + 16;


#if defined(__x86_64__)

// SSSE3 is asked for function by function, so that the rest of the program
// runs on any x86-64; available_utf8_checks lets these run only where the
// processor has it.
#define TRELLUNE_SSSE3 [[gnu::target("ssse3")]]

TRELLUNE_SSSE3 inline __m128i load(const std::uint8_t* bytes) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

TRELLUNE_SSSE3 inline __m128i lookup(const NibbleTable& table, __m128i nibble_values) {
  return _mm_shuffle_epi8(load(table.data()), nibble_values);
}

// SSE has no byte shift: shift 16-bit lanes and drop what crossed bytes.
TRELLUNE_SSSE3 inline __m128i high_nibbles(__m128i bytes) {
  return _mm_and_si128(_mm_srli_epi16(bytes, 4), _mm_set1_epi8(0x0F));
}

TRELLUNE_SSSE3 inline __m128i low_nibbles(__m128i bytes) { return _mm_and_si128(bytes, _mm_set1_epi8(0x0F)); }

// Non-zero exactly at the bytes at or above `bound`, and then at most
// 0x100 - 0xE0: positive as a signed byte.
TRELLUNE_SSSE3 inline __m128i at_or_above(__m128i bytes, unsigned char bound) {
  return _mm_subs_epu8(bytes, _mm_set1_epi8(static_cast<char>(bound - 1)));
}

// What the blocks checked so far leave for the next one.
struct Ssse3State {
  __m128i previous;    // the last block
  __m128i unfinished;  // non-zero where it ends inside a sequence
  __m128i errors;      // non-zero once any byte has broken a rule
};

TRELLUNE_SSSE3 inline void check_block(Ssse3State& state, __m128i block) {
  if (_mm_movemask_epi8(block) == 0) {
    // ASCII breaks no rule; only a sequence left unfinished before it can.
    state.errors = _mm_or_si128(state.errors, state.unfinished);
    state.unfinished = _mm_setzero_si128();
    state.previous = block;
    return;
  }
  const __m128i before_1 = _mm_alignr_epi8(block, state.previous, 15);
  const __m128i before_2 = _mm_alignr_epi8(block, state.previous, 14);
  const __m128i before_3 = _mm_alignr_epi8(block, state.previous, 13);
  const __m128i broken = _mm_and_si128(
      _mm_and_si128(lookup(kFirstHigh, high_nibbles(before_1)), lookup(kFirstLow, low_nibbles(before_1))),
      lookup(kSecondHigh, high_nibbles(block)));
  const __m128i third_or_fourth =
      _mm_or_si128(at_or_above(before_2, kThreeOrMoreBytes), at_or_above(before_3, kFourBytes));
  const __m128i expected = _mm_and_si128(_mm_cmpgt_epi8(third_or_fourth, _mm_setzero_si128()),
                                         _mm_set1_epi8(static_cast<char>(kTwoContinuations)));
  state.errors = _mm_or_si128(state.errors, _mm_xor_si128(broken, expected));
  state.unfinished = _mm_subs_epu8(block, load(kUnfinishedAbove16));
  state.previous = block;
}

TRELLUNE_SSSE3 bool check_blocks_ssse3(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kBlock = 16;
  // Before the text, as if after ASCII.
  Ssse3State state{_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  std::size_t i = 0;
  for (; size - i >= kBlock; i += kBlock) check_block(state, load(data + i));
  if (i < size) {
    // The rest padded with NUL, which follows nothing unfinished.
    std::uint8_t last[kBlock] = {};
    std::memcpy(last, data + i, size - i);
    check_block(state, load(last));
  }
  const __m128i errors = _mm_or_si128(state.errors, state.unfinished);
  return _mm_movemask_epi8(_mm_cmpeq_epi8(errors, _mm_setzero_si128())) == 0xFFFF;
}

// The same with AVX2, thirty-two bytes at a time. Its byte shuffle and its
// alignr work within each 128-bit half: the tables sit in both halves, and
// the bytes before each byte come from the block joined with the high half
// of the one before.
#define TRELLUNE_AVX2 [[gnu::target("avx2")]]

TRELLUNE_AVX2 inline __m256i load_256(const std::uint8_t* bytes) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
}

TRELLUNE_AVX2 inline __m256i lookup_256(const NibbleTable& table, __m256i nibble_values) {
  return _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(load(table.data())), nibble_values);
}

TRELLUNE_AVX2 inline __m256i high_nibbles_256(__m256i bytes) {
  return _mm256_and_si256(_mm256_srli_epi16(bytes, 4), _mm256_set1_epi8(0x0F));
}

TRELLUNE_AVX2 inline __m256i low_nibbles_256(__m256i bytes) {
  return _mm256_and_si256(bytes, _mm256_set1_epi8(0x0F));
}

TRELLUNE_AVX2 inline __m256i at_or_above_256(__m256i bytes, unsigned char bound) {
  return _mm256_subs_epu8(bytes, _mm256_set1_epi8(static_cast<char>(bound - 1)));
}

struct Avx2State {
  __m256i previous;
  __m256i unfinished;
  __m256i errors;
};

TRELLUNE_AVX2 inline void check_block(Avx2State& state, __m256i block) {
  if (_mm256_movemask_epi8(block) == 0) {
    state.errors = _mm256_or_si256(state.errors, state.unfinished);
    state.unfinished = _mm256_setzero_si256();
    state.previous = block;
    return;
  }
  // The previous block's high half, then this block's low half.
  const __m256i straddle = _mm256_permute2x128_si256(state.previous, block, 0x21);
  const __m256i before_1 = _mm256_alignr_epi8(block, straddle, 15);
  const __m256i before_2 = _mm256_alignr_epi8(block, straddle, 14);
  const __m256i before_3 = _mm256_alignr_epi8(block, straddle, 13);
  const __m256i broken = _mm256_and_si256(
      _mm256_and_si256(lookup_256(kFirstHigh, high_nibbles_256(before_1)),
                       lookup_256(kFirstLow, low_nibbles_256(before_1))),
      lookup_256(kSecondHigh, high_nibbles_256(block)));
  const __m256i third_or_fourth =
      _mm256_or_si256(at_or_above_256(before_2, kThreeOrMoreBytes), at_or_above_256(before_3, kFourBytes));
  const __m256i expected = _mm256_and_si256(_mm256_cmpgt_epi8(third_or_fourth, _mm256_setzero_si256()),
                                            _mm256_set1_epi8(static_cast<char>(kTwoContinuations)));
  state.errors = _mm256_or_si256(state.errors, _mm256_xor_si256(broken, expected));
  state.unfinished = _mm256_subs_epu8(block, load_256(kUnfinishedAbove.data()));
  state.previous = block;
}

TRELLUNE_AVX2 bool check_blocks_avx2(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kBlock = 32;
  Avx2State state{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
  std::size_t i = 0;
  for (; size - i >= kBlock; i += kBlock) check_block(state, load_256(data + i));
  if (i < size) {
    std::uint8_t last[kBlock] = {};
    std::memcpy(last, data + i, size - i);
    check_block(state, load_256(last));
  }
  const __m256i errors = _mm256_or_si256(state.errors, state.unfinished);
  return _mm256_testz_si256(errors, errors) != 0;
}

#elif defined(__aarch64__)

inline uint8x16_t lookup(const NibbleTable& table, uint8x16_t nibble_values) {
  return vqtbl1q_u8(vld1q_u8(table.data()), nibble_values);
}

inline uint8x16_t low_nibbles(uint8x16_t bytes) { return vandq_u8(bytes, vdupq_n_u8(0x0F)); }

// As on x86-64, with NEON's byte shift and unsigned byte comparisons.
struct NeonState {
  uint8x16_t previous;
  uint8x16_t unfinished;
  uint8x16_t errors;
};

inline void check_block(NeonState& state, uint8x16_t block) {
  if (vmaxvq_u8(block) < 0x80) {
    state.errors = vorrq_u8(state.errors, state.unfinished);
    state.unfinished = vdupq_n_u8(0);
    state.previous = block;
    return;
  }
  const uint8x16_t before_1 = vextq_u8(state.previous, block, 15);
  const uint8x16_t before_2 = vextq_u8(state.previous, block, 14);
  const uint8x16_t before_3 = vextq_u8(state.previous, block, 13);
  const uint8x16_t broken =
      vandq_u8(vandq_u8(lookup(kFirstHigh, vshrq_n_u8(before_1, 4)), lookup(kFirstLow, low_nibbles(before_1))),
               lookup(kSecondHigh, vshrq_n_u8(block, 4)));
  const uint8x16_t third_or_fourth =
      vorrq_u8(vcgeq_u8(before_2, vdupq_n_u8(kThreeOrMoreBytes)), vcgeq_u8(before_3, vdupq_n_u8(kFourBytes)));
  const uint8x16_t expected = vandq_u8(third_or_fourth, vdupq_n_u8(kTwoContinuations));
  state.errors = vorrq_u8(state.errors, veorq_u8(broken, expected));
  state.unfinished = vqsubq_u8(block, vld1q_u8(kUnfinishedAbove16));
  state.previous = block;
}

bool check_blocks_neon(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kBlock = 16;
  NeonState state{vdupq_n_u8(0), vdupq_n_u8(0), vdupq_n_u8(0)};
  std::size_t i = 0;
  for (; size - i >= kBlock; i += kBlock) check_block(state, vld1q_u8(data + i));
  if (i < size) {
    std::uint8_t last[kBlock] = {};
    std::memcpy(last, data + i, size - i);
    check_block(state, vld1q_u8(last));
  }
  return vmaxvq_u8(vorrq_u8(state.errors, state.unfinished)) == 0;
}

#endif

}  // namespace

#if defined(__x86_64__)

bool check_with_ssse3(std::string_view bytes) {
  return check_blocks_ssse3(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

bool check_with_avx2(std::string_view bytes) {
  return check_blocks_avx2(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::span<const Utf8Check> available_utf8_checks() {
  static constexpr Utf8Check kChecks[] = {
      {"automaton", check_with_automaton}, {"ssse3", check_with_ssse3}, {"avx2", check_with_avx2}};
  static const std::size_t count = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3") == 0) return 1;
    // Reported only where the system also saves the registers' upper
    // halves (XCR0), as AVX2 needs.
    return __builtin_cpu_supports("avx2") != 0 ? 3 : 2;
  }();
  return std::span(kChecks, count);
}

#elif defined(__aarch64__)

bool check_with_neon(std::string_view bytes) {
  return check_blocks_neon(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::span<const Utf8Check> available_utf8_checks() {
  static constexpr Utf8Check kChecks[] = {{"automaton", check_with_automaton}, {"neon", check_with_neon}};
  return kChecks;
}

#else

std::span<const Utf8Check> available_utf8_checks() {
  static constexpr Utf8Check kChecks[] = {{"automaton", check_with_automaton}};
  return kChecks;
}

#endif

}  // namespace trellune::base_internal
